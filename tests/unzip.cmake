# Package extraction under Wine: TUnzip, the overwrite prompt and
# ExtractPackage, built from their own sources so that they do not wait for
# the object-store library (only its shutdown is stubbed).
add_executable(unzip_tests
  ${CMAKE_SOURCE_DIR}/transfer/unzip.cpp
  ${CMAKE_SOURCE_DIR}/transfer/tunzip.cpp
  ${CMAKE_SOURCE_DIR}/engine/client.cpp
  ${CMAKE_SOURCE_DIR}/engine/messages.cpp
  ${CMAKE_SOURCE_DIR}/platform/text.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unzip/object_store_stub.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unzip/extract_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unzip/prompt_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unzip/hostile_archive_test.cpp
  ${KAVIMOR_TEST_SUPPORT})
target_include_directories(unzip_tests PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(unzip_tests PRIVATE gtest gtest_main z user32 shell32 advapi32)
target_link_options(unzip_tests PRIVATE ${KAVIMOR_TEST_LINK})
gtest_discover_tests(unzip_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 300)

# The extraction benchmark's program (bench/extract.sh runs it; no test).
add_executable(extract_bench
  ${CMAKE_SOURCE_DIR}/bench/extract_bench.cpp
  ${CMAKE_SOURCE_DIR}/transfer/unzip.cpp
  ${CMAKE_SOURCE_DIR}/transfer/tunzip.cpp
  ${CMAKE_SOURCE_DIR}/engine/messages.cpp
  ${CMAKE_SOURCE_DIR}/platform/text.cpp)
target_include_directories(extract_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(extract_bench PRIVATE z user32 psapi)
target_link_options(extract_bench PRIVATE ${KAVIMOR_TEST_LINK})
