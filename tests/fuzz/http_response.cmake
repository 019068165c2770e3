# The HTTP answer reader of the socket and WinHTTP transports.
kavimor_fuzz_target(http_response SOURCES network/http_response.cpp)
