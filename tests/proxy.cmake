# The object-store layer behind the user's proxy settings, against
# tools/proxy_server.py and the TLS test certificates (oss.cmake). The tests
# change the prefix's per-user proxy settings, which every other network
# test would read: they run alone.
if(TARGET oss_tests)
  add_executable(proxy_tests
    ${CMAKE_CURRENT_SOURCE_DIR}/proxy/proxy_route_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/oss/oss_fixture.cpp
    ${KAVIMOR_TEST_SUPPORT})
  target_link_libraries(proxy_tests PRIVATE kavimor_core gtest gtest_main)
  target_include_directories(proxy_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_options(proxy_tests PRIVATE ${KAVIMOR_TEST_LINK})
  target_compile_definitions(proxy_tests PRIVATE KAVIMOR_OSS_TLS_DIR="${KAVIMOR_OSS_TLS_DIR}")
  gtest_discover_tests(proxy_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
endif()
