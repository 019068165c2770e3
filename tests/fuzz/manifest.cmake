kavimor_fuzz_target(manifest SOURCES engine/ini_text.cpp engine/manifest_values.cpp)
