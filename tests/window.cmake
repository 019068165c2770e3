# The installer window with the real framework, texts, paint, resources and
# platform operations; the engine's start sequence and the object-store
# set-up are stand-ins (tests/window/window_double.cpp), linked before the
# core library so that its own versions are not pulled in. The tests move
# the real cursor and read the screen: they run alone.
add_executable(window_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/window/window_double.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/window/screen_image.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/window/window_test.cpp
  ${KAVIMOR_TEST_SUPPORT}
  ${CMAKE_SOURCE_DIR}/resources/installer.rc)
target_include_directories(window_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(window_tests PRIVATE kavimor_core gtest gtest_main)
target_link_options(window_tests PRIVATE ${KAVIMOR_TEST_LINK})
add_dependencies(window_tests stand_in_client)
gtest_discover_tests(window_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
