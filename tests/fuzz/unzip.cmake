kavimor_fuzz_target(unzip SOURCES transfer/unzip.cpp LIBRARIES ZLIB::ZLIB)
