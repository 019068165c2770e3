# The finalisation against the real file system, registry and shell under
# Wine. The version record comes from a stand-in in tests/finalise/ so that
# the hand-over can be exercised on its own; the object-store layer is not
# part of this program.
add_executable(finalise_tests
  ${CMAKE_SOURCE_DIR}/engine/finalise.cpp
  ${CMAKE_SOURCE_DIR}/engine/handover.cpp
  ${CMAKE_SOURCE_DIR}/engine/app_context.cpp
  ${CMAKE_SOURCE_DIR}/engine/client.cpp
  ${CMAKE_SOURCE_DIR}/engine/messages.cpp
  ${CMAKE_SOURCE_DIR}/platform/install_log.cpp
  ${CMAKE_SOURCE_DIR}/platform/process_ops.cpp
  ${CMAKE_SOURCE_DIR}/platform/unattended.cpp
  ${CMAKE_SOURCE_DIR}/platform/trusted_folder.cpp
  ${CMAKE_SOURCE_DIR}/platform/text.cpp
  ${CMAKE_SOURCE_DIR}/platform/shortcut.cpp
  ${CMAKE_SOURCE_DIR}/platform/uninstall_entry.cpp
  ${CMAKE_SOURCE_DIR}/platform/url_protocol.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/finalise/version_record_stand_in.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/finalise/finalise_test.cpp
  ${KAVIMOR_TEST_SUPPORT})
target_include_directories(finalise_tests PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(finalise_tests PRIVATE gtest gtest_main
  shell32 ole32 uuid advapi32 user32 wtsapi32)
target_link_options(finalise_tests PRIVATE ${KAVIMOR_TEST_LINK})
add_dependencies(finalise_tests stand_in_client)
gtest_discover_tests(finalise_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 300)

# A finalisation to kill at a chosen point of the hand-over.
add_executable(handover_victim ${CMAKE_CURRENT_SOURCE_DIR}/finalise/handover_victim.cpp)
target_link_libraries(handover_victim PRIVATE kavimor_core)
target_link_options(handover_victim PRIVATE ${KAVIMOR_TEST_LINK})
add_dependencies(finalise_tests handover_victim)
