# Package extraction under Wine: TUnzip, the overwrite prompt and
# ExtractPackage, built from their own sources so that they do not wait for
# the object-store library (only its shutdown is stubbed).
set(KAVIMOR_EXTRACTION_SOURCES
  ${CMAKE_SOURCE_DIR}/archive/unzip.cpp
  ${CMAKE_SOURCE_DIR}/archive/tunzip.cpp
  ${CMAKE_SOURCE_DIR}/archive/entry_order.cpp
  ${CMAKE_SOURCE_DIR}/archive/unpacked_contents.cpp
  ${CMAKE_SOURCE_DIR}/platform/install_log.cpp
  ${CMAKE_SOURCE_DIR}/platform/process_ops.cpp
  ${CMAKE_SOURCE_DIR}/platform/unattended.cpp
  ${CMAKE_SOURCE_DIR}/platform/text.cpp)
set(KAVIMOR_EXTRACTION_LIBS z user32 shell32 ole32 uuid advapi32 wtsapi32)
add_executable(unzip_tests
  ${KAVIMOR_EXTRACTION_SOURCES}
  ${CMAKE_SOURCE_DIR}/engine/app_context.cpp
  ${CMAKE_SOURCE_DIR}/engine/messages.cpp
  ${CMAKE_SOURCE_DIR}/engine/client.cpp
  ${CMAKE_SOURCE_DIR}/engine/client_extract.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unzip/object_store_stub.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unzip/extract_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unzip/prompt_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unzip/hostile_archive_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unzip/parallel_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unzip/entry_order_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unzip/checked_content_test.cpp
  ${KAVIMOR_TEST_SUPPORT})
target_include_directories(unzip_tests PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(unzip_tests PRIVATE gtest gtest_main ${KAVIMOR_EXTRACTION_LIBS})
target_link_options(unzip_tests PRIVATE ${KAVIMOR_TEST_LINK})
# A folder whose full.bin is /dev/full: writes to it fail as on a full disk.
set(KAVIMOR_FULL_DISK_DIR ${CMAKE_CURRENT_BINARY_DIR}/full-disk)
file(MAKE_DIRECTORY ${KAVIMOR_FULL_DISK_DIR})
file(CREATE_LINK /dev/full ${KAVIMOR_FULL_DISK_DIR}/full.bin SYMBOLIC)
target_compile_definitions(unzip_tests PRIVATE KAVIMOR_FULL_DISK_DIR="${KAVIMOR_FULL_DISK_DIR}")
gtest_discover_tests(unzip_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 300)

# The extraction benchmark's programs (bench/extract.sh runs them; no tests).
add_executable(extract_bench ${CMAKE_SOURCE_DIR}/bench/extract_bench.cpp ${KAVIMOR_EXTRACTION_SOURCES})
target_include_directories(extract_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(extract_bench PRIVATE ${KAVIMOR_EXTRACTION_LIBS} psapi)
target_link_options(extract_bench PRIVATE ${KAVIMOR_TEST_LINK})

# The floor under it: the same files created under Wine, nothing read.
add_executable(floor_bench ${CMAKE_SOURCE_DIR}/bench/floor_bench.cpp ${CMAKE_SOURCE_DIR}/archive/unzip.cpp)
target_include_directories(floor_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(floor_bench PRIVATE z)
target_link_options(floor_bench PRIVATE ${KAVIMOR_TEST_LINK})
