# The installer as it is shipped: its version record and resources read back
# under Wine, and the release command (scripts/release.sh) checked for what
# it refuses and run once end to end with throw-away keys: release build,
# Authenticode signature and its verification, size, deployment values.
if(TARGET kavimor_installer)
  add_executable(release_file_tests ${CMAKE_CURRENT_SOURCE_DIR}/release/version_info_test.cpp)
  target_include_directories(release_file_tests PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(release_file_tests PRIVATE gtest gtest_main version)
  target_link_options(release_file_tests PRIVATE ${KAVIMOR_TEST_LINK})

  set(KAVIMOR_RELEASE_CHECK_DIR ${CMAKE_BINARY_DIR}/release-check)
  set(release_command ${CMAKE_CURRENT_SOURCE_DIR}/release/release_command_test.sh)
  add_test(NAME Release.CommandOptions COMMAND bash ${release_command} options)
  # A whole second build of the program: only the installer, two jobs.
  add_test(NAME Release.SignedBuild COMMAND bash ${release_command} build ${KAVIMOR_RELEASE_CHECK_DIR})
  set_tests_properties(Release.CommandOptions Release.SignedBuild PROPERTIES TIMEOUT 1800)
  set_tests_properties(Release.SignedBuild PROPERTIES FIXTURES_SETUP release_exe)

  add_test(NAME Release.TestBuildFile COMMAND release_file_tests)
  set_tests_properties(Release.TestBuildFile PROPERTIES TIMEOUT 120
    ENVIRONMENT "KAVIMOR_CHECKED_EXE=Z:$<TARGET_FILE:kavimor_installer>")
  add_test(NAME Release.ReleaseBuildFile COMMAND release_file_tests)
  set_tests_properties(Release.ReleaseBuildFile PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED release_exe
    ENVIRONMENT "KAVIMOR_CHECKED_EXE=Z:${KAVIMOR_RELEASE_CHECK_DIR}/kavimor_installer.exe")

  # The standard streams would bring the locale machinery back into the
  # program; the test build keeps its symbols, so they show.
  add_test(NAME Release.ProgramWithoutStandardStreams COMMAND sh -c [[
    symbols=$(x86_64-w64-mingw32-nm -C "$1") && [ -n "$symbols" ] || exit 1
    ! printf '%s\n' "$symbols" | grep -E 'std::(basic_[a-z]*stream|ios_base|locale)\b'
    ]] sh $<TARGET_FILE:kavimor_installer>)
endif()
