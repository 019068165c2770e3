# A whole installation, headless: the real engine against the local
# object-store server, with a generated package set (tools/make_packages.py).
set(KAVIMOR_E2E_BUCKET ${CMAKE_BINARY_DIR}/e2e_bucket)
set(KAVIMOR_E2E_TREE ${CMAKE_BINARY_DIR}/e2e_expected_tree.txt)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_command(
  OUTPUT ${KAVIMOR_E2E_TREE}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${KAVIMOR_E2E_BUCKET}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/make_packages.py
          --out ${KAVIMOR_E2E_BUCKET} --tree-file ${KAVIMOR_E2E_TREE}
          --client-exe $<TARGET_FILE:stand_in_client>
  DEPENDS stand_in_client ${CMAKE_SOURCE_DIR}/tools/make_packages.py
  COMMENT "Generating the end-to-end package set")
# A release and its update in which 3 % of the runtime package's files
# changed (a new runtime version; the other packages byte for byte the same).
set(KAVIMOR_E2E_UPDATE ${CMAKE_BINARY_DIR}/e2e_update)
add_custom_command(
  OUTPUT ${KAVIMOR_E2E_UPDATE}/after_tree.txt
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${KAVIMOR_E2E_UPDATE}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/make_packages.py
          --out ${KAVIMOR_E2E_UPDATE}/before --tree-file ${KAVIMOR_E2E_UPDATE}/before_tree.txt
          --client-exe $<TARGET_FILE:stand_in_client> --total-mb 4 --runtime-files 100
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/make_packages.py
          --out ${KAVIMOR_E2E_UPDATE}/after --tree-file ${KAVIMOR_E2E_UPDATE}/after_tree.txt
          --client-exe $<TARGET_FILE:stand_in_client> --total-mb 4 --runtime-files 100
          --version 9.5.9.2 --changed-percent 3
  DEPENDS stand_in_client ${CMAKE_SOURCE_DIR}/tools/make_packages.py
  COMMENT "Generating a release and its update")
add_custom_target(e2e_packages ALL DEPENDS ${KAVIMOR_E2E_TREE} ${KAVIMOR_E2E_UPDATE}/after_tree.txt)

add_executable(e2e_tests ${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e_test.cpp ${KAVIMOR_TEST_SUPPORT})
target_link_libraries(e2e_tests PRIVATE kavimor_core gtest gtest_main)
target_include_directories(e2e_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_options(e2e_tests PRIVATE ${KAVIMOR_TEST_LINK})
target_compile_definitions(e2e_tests PRIVATE
  KAVIMOR_E2E_BUCKET="${KAVIMOR_E2E_BUCKET}"
  KAVIMOR_E2E_TREE="${KAVIMOR_E2E_TREE}"
  KAVIMOR_E2E_UPDATE="${KAVIMOR_E2E_UPDATE}"
  KAVIMOR_TEST_KEY_ID="${KAVIMOR_OSS_KEY_ID}"
  KAVIMOR_TEST_KEY_SECRET="${KAVIMOR_OSS_KEY_SECRET}"
  KAVIMOR_TEST_BUCKET="${KAVIMOR_OSS_BUCKET}")
add_dependencies(e2e_tests e2e_packages stand_in_client headless_install)
# It registers the real package identifier (uninstall entry, URL scheme,
# desktop shortcut) in the shared prefix: other tests that do the same take
# the same lock so that they never run at once.
gtest_discover_tests(e2e_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 600 RESOURCE_LOCK kavimor_201805_registration)

# The same run as a program of its own, for bench/install.sh.
add_executable(headless_install ${CMAKE_SOURCE_DIR}/tools/headless_install.cpp)
target_link_libraries(headless_install PRIVATE kavimor_core psapi)
target_link_options(headless_install PRIVATE ${KAVIMOR_TEST_LINK})

# The installation once more on Taiwanese, Hong Kong and Japanese systems
# (ANSI code pages 950, 950 and 932, which Wine takes from the locale), with
# the user's and the install folder named in their scripts.
foreach(locale zh_TW.UTF-8 zh_HK.UTF-8 ja_JP.UTF-8)
  add_test(NAME EndToEndLocale.${locale}
    COMMAND e2e_tests --gtest_filter=EndToEnd.FoldersNamedInTheSystemsScript)
  set_tests_properties(EndToEndLocale.${locale} PROPERTIES ENVIRONMENT "KAVIMOR_LOCALE=${locale}"
    TIMEOUT 600 RESOURCE_LOCK kavimor_201805_registration)
endforeach()
