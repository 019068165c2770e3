# Tests of the window toolkit: texts, framework, progress bar, resources and
# the display-scaling setting. The program's resources are linked into the
# test programs, because the code under test loads them from its own module.
file(GLOB KAVIMOR_UI_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/ui/*_test.cpp)
add_executable(ui_tests ${KAVIMOR_UI_TEST_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/ui/window_probe.cpp
  ${CMAKE_SOURCE_DIR}/resources/installer.rc)
target_link_libraries(ui_tests PRIVATE kavimor_core gtest gtest_main)
target_include_directories(ui_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_options(ui_tests PRIVATE ${KAVIMOR_TEST_LINK})
gtest_discover_tests(ui_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)

# The language as Wine reports it for a locale: one run per UI language.
add_executable(ui_language_probe ${CMAKE_CURRENT_SOURCE_DIR}/ui/language_probe_main.cpp
  ${CMAKE_SOURCE_DIR}/resources/installer.rc)
target_link_libraries(ui_language_probe PRIVATE kavimor_core gtest)
target_include_directories(ui_language_probe PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_options(ui_language_probe PRIVATE ${KAVIMOR_TEST_LINK})
foreach(case "en_US.UTF-8:1033" "zh_TW.UTF-8:1028" "zh_HK.UTF-8:3076" "zh_CN.UTF-8:2052" "ja_JP.UTF-8:1041")
  string(REPLACE ":" ";" parts "${case}")
  list(GET parts 0 locale)
  list(GET parts 1 ui)
  add_test(NAME UiLanguage.${locale} COMMAND ui_language_probe --expect-ui=${ui})
  set_tests_properties(UiLanguage.${locale} PROPERTIES ENVIRONMENT "KAVIMOR_LOCALE=${locale}" TIMEOUT 120)
endforeach()

# The committed pictures and icon are what the artwork script draws.
find_program(KAVIMOR_PYTHON3 python3)
if(KAVIMOR_PYTHON3)
  add_test(NAME UiArtwork.CommittedFilesMatchTheScript
    COMMAND sh -c "out=$(mktemp -d) && '${KAVIMOR_PYTHON3}' '${CMAKE_SOURCE_DIR}/tools/make_artwork.py' \"$out\" && for f in background_ready.bmp background_installing.bmp kavimor.ico; do cmp \"$out/$f\" '${CMAKE_SOURCE_DIR}/resources/'$f || exit 1; done; rm -rf \"$out\"")
endif()

# The display-scaling setting, with stand-in scaling libraries next to the
# test program.
foreach(variant fake_shcore fake_shcore_partial)
  add_library(${variant} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/dpi/fake_shcore.cpp)
  set_target_properties(${variant} PROPERTIES PREFIX "" OUTPUT_NAME ${variant})
  target_link_options(${variant} PRIVATE ${KAVIMOR_TEST_LINK})
endforeach()
target_compile_definitions(fake_shcore_partial PRIVATE FAKE_SHCORE_WITHOUT_DPI_QUERY)

add_executable(dpi_setting_tests ${CMAKE_CURRENT_SOURCE_DIR}/dpi/dpi_setting_test.cpp ${KAVIMOR_TEST_SUPPORT})
target_link_libraries(dpi_setting_tests PRIVATE kavimor_core gtest gtest_main)
target_include_directories(dpi_setting_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_options(dpi_setting_tests PRIVATE ${KAVIMOR_TEST_LINK})
add_dependencies(dpi_setting_tests fake_shcore fake_shcore_partial)
gtest_discover_tests(dpi_setting_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 300)
