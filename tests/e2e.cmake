# The finished program end to end: the built installer started under Wine
# against tools/oss_server.py serving the package set that
# tools/make_packages.py generates at build time, on the endpoint the
# program was built for. The same driver plays the demo (scripts/demo.sh).
# It moves the real cursor and uses the machine-wide install locations and
# the endpoint's port: it runs alone.
if(TARGET kavimor_installer AND EXISTS ${CMAKE_SOURCE_DIR}/tools/make_packages.py)
  string(REGEX MATCH "[0-9]+$" KAVIMOR_E2E_PORT "${KAVIMOR_OSS_ENDPOINT}")
  set(KAVIMOR_E2E_BUCKET ${CMAKE_BINARY_DIR}/e2e_bucket)
  find_program(KAVIMOR_PYTHON3 python3 REQUIRED)
  add_custom_command(
    OUTPUT ${KAVIMOR_E2E_BUCKET}/expected_tree.txt
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${KAVIMOR_E2E_BUCKET}
    COMMAND ${KAVIMOR_PYTHON3} ${CMAKE_SOURCE_DIR}/tools/make_packages.py
            --out ${KAVIMOR_E2E_BUCKET} --client-exe $<TARGET_FILE:stand_in_client>
    DEPENDS stand_in_client ${CMAKE_SOURCE_DIR}/tools/make_packages.py
    COMMENT "Generating the end-to-end package set")
  add_custom_target(e2e_packages DEPENDS ${KAVIMOR_E2E_BUCKET}/expected_tree.txt)

  add_executable(installer_e2e_tests
    ${CMAKE_CURRENT_SOURCE_DIR}/e2e/installer_e2e_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/e2e/installer_run.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/window/screen_image.cpp
    ${KAVIMOR_TEST_SUPPORT})
  target_include_directories(installer_e2e_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(installer_e2e_tests PRIVATE kavimor_core gtest)
  target_link_options(installer_e2e_tests PRIVATE ${KAVIMOR_TEST_LINK})
  target_compile_definitions(installer_e2e_tests PRIVATE
    KAVIMOR_E2E_BUCKET="${KAVIMOR_E2E_BUCKET}"
    KAVIMOR_E2E_CMAKE_CACHE="${CMAKE_BINARY_DIR}/CMakeCache.txt"
    KAVIMOR_E2E_PORT=${KAVIMOR_E2E_PORT})
  # A planted SHCore.dll that marks every process that loads it, and a probe
  # that loads SHCore.dll by name with and without the program's start-up
  # limit on the DLL search.
  add_library(planted_shcore SHARED ${CMAKE_CURRENT_SOURCE_DIR}/e2e/planted_shcore.cpp)
  set_target_properties(planted_shcore PROPERTIES OUTPUT_NAME "SHCore" PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/planted)
  target_link_options(planted_shcore PRIVATE ${KAVIMOR_TEST_LINK})
  add_executable(dll_search_probe ${CMAKE_CURRENT_SOURCE_DIR}/e2e/dll_search_probe.cpp)
  target_link_libraries(dll_search_probe PRIVATE kavimor_core)
  target_link_options(dll_search_probe PRIVATE ${KAVIMOR_TEST_LINK} -municode)
  target_compile_definitions(installer_e2e_tests PRIVATE
    KAVIMOR_E2E_PLANTED_DLL="$<TARGET_FILE:planted_shcore>")
  add_dependencies(installer_e2e_tests kavimor_installer stand_in_client e2e_packages
    planted_shcore dll_search_probe)
  gtest_discover_tests(installer_e2e_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 400 RUN_SERIAL TRUE)
endif()
