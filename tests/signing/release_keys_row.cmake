# One configure-time check of the release keys, as a build runs it:
#   cmake -DSOURCE_DIR=<repository> -DPython3_EXECUTABLE=<python>
#         [-DKAVIMOR_OSS_ENDPOINT=...] [-DKAVIMOR_RELEASE_PUBLIC_KEY=...]
#         [-DKAVIMOR_RELEASE_NEXT_PUBLIC_KEY=...]
#         [-DKAVIMOR_ALLOW_UNSIGNED_RELEASES=ON] -P release_keys_row.cmake
# Prints "keys:<current hex>:<next hex>" or fails as the configure step would.
include(${SOURCE_DIR}/cmake/release_keys.cmake)
kavimor_release_keys(current next)
message(STATUS "keys:${current}:${next}")
