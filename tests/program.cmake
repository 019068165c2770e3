# The finished program end to end: the built installer started under Wine
# against tools/oss_server.py serving the generated package set (e2e.cmake
# makes it at build time), on the endpoint the program was built for. The
# same driver plays the demo (scripts/demo.sh). It moves the real cursor and
# uses the machine-wide install locations and the endpoint's port: it runs
# alone.
if(TARGET kavimor_installer AND TARGET e2e_packages)
  string(REGEX MATCH "[0-9]+$" KAVIMOR_PROGRAM_PORT "${KAVIMOR_OSS_ENDPOINT}")

  # A planted SHCore.dll that marks every process that loads it, and a probe
  # that loads SHCore.dll by name with and without the program's start-up
  # limit on the DLL search.
  add_library(planted_shcore SHARED ${CMAKE_CURRENT_SOURCE_DIR}/program/planted_shcore.cpp)
  set_target_properties(planted_shcore PROPERTIES OUTPUT_NAME "SHCore" PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/planted)
  target_link_options(planted_shcore PRIVATE ${KAVIMOR_TEST_LINK})
  add_executable(dll_search_probe ${CMAKE_CURRENT_SOURCE_DIR}/program/dll_search_probe.cpp)
  target_link_libraries(dll_search_probe PRIVATE kavimor_core)
  target_link_options(dll_search_probe PRIVATE ${KAVIMOR_TEST_LINK} -municode)

  add_executable(installer_program_tests
    ${CMAKE_CURRENT_SOURCE_DIR}/program/installer_program_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/program/installer_run.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/program/unattended_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/window/screen_image.cpp
    ${KAVIMOR_TEST_SUPPORT})
  target_include_directories(installer_program_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(installer_program_tests PRIVATE kavimor_core gtest)
  target_link_options(installer_program_tests PRIVATE ${KAVIMOR_TEST_LINK})
  target_compile_definitions(installer_program_tests PRIVATE
    KAVIMOR_E2E_BUCKET="${KAVIMOR_E2E_BUCKET}"
    KAVIMOR_E2E_TREE="${KAVIMOR_E2E_TREE}"
    KAVIMOR_E2E_CMAKE_CACHE="${CMAKE_BINARY_DIR}/CMakeCache.txt"
    KAVIMOR_E2E_PORT=${KAVIMOR_PROGRAM_PORT}
    KAVIMOR_E2E_PLANTED_DLL="$<TARGET_FILE:planted_shcore>")
  add_dependencies(installer_program_tests kavimor_installer stand_in_client e2e_packages
    planted_shcore dll_search_probe handover_victim)
  gtest_discover_tests(installer_program_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 400 RUN_SERIAL TRUE)
endif()

# The program once more on Taiwanese, Hong Kong and Japanese systems
# (ANSI code pages 950, 950 and 932): install, then "Open", with the user's
# Local AppData folder (and so the install folder) in a folder named in that
# script, with a character whose second byte is 0x5C.
if(TARGET installer_program_tests)
  foreach(case "zh_TW.UTF-8:許功" "zh_HK.UTF-8:功許" "ja_JP.UTF-8:ソ表")
    string(REPLACE ":" ";" parts "${case}")
    list(GET parts 0 locale)
    list(GET parts 1 user)
    add_test(NAME InstallerProgramLocale.${locale} COMMAND installer_program_tests
      --gtest_filter=InstallerProgram.InstallsThePackageSetRegistersAndOpensTheClient)
    set_tests_properties(InstallerProgramLocale.${locale} PROPERTIES
      ENVIRONMENT "KAVIMOR_LOCALE=${locale};KAVIMOR_PROFILE_NAME=${user}" TIMEOUT 400 RUN_SERIAL TRUE)
  endforeach()
endif()

# The unattended install once more on a Taiwanese system: /D= names a folder
# in its script whose characters end in the byte 0x5C.
if(TARGET installer_program_tests)
  add_test(NAME UnattendedLocale.zh_TW.UTF-8 COMMAND installer_program_tests
    --gtest_filter=Unattended.SilentInstallOpensNoWindowAndInstallsWhatAClickedOneDoes)
  set_tests_properties(UnattendedLocale.zh_TW.UTF-8 PROPERTIES
    ENVIRONMENT "KAVIMOR_LOCALE=zh_TW.UTF-8" TIMEOUT 400 RUN_SERIAL TRUE)
endif()
