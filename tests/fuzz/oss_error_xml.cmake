# The object store's XML error reader.
kavimor_fuzz_target(oss_error_xml SOURCES network/oss_error_xml.cpp)
