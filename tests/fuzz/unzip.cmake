kavimor_fuzz_target(unzip SOURCES archive/unzip.cpp LIBRARIES ZLIB::ZLIB)
