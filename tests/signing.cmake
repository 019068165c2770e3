# Signed releases: the release index parser, SHA-256 and ECDSA P-256 through
# BCrypt, and whole installations of a signed package set (and tampered
# copies of it) with the verification on; the publish tool's own tests run
# natively.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(KAVIMOR_PUBLISH ${CMAKE_SOURCE_DIR}/tools/publish.py)

# Throw-away key pairs made once per build folder: the release key the tests
# give the engine, the next key of a rotation, and another one nobody trusts.
set(KAVIMOR_SIGNING_DIR ${CMAKE_BINARY_DIR}/signing)
foreach(name IN ITEMS release next other)
  if(NOT EXISTS ${KAVIMOR_SIGNING_DIR}/${name}.pub.pem)
    file(MAKE_DIRECTORY ${KAVIMOR_SIGNING_DIR})
    file(REMOVE ${KAVIMOR_SIGNING_DIR}/${name}.key.pem)
    execute_process(
      COMMAND ${Python3_EXECUTABLE} ${KAVIMOR_PUBLISH} keygen
              --private-key ${KAVIMOR_SIGNING_DIR}/${name}.key.pem
              --public-key ${KAVIMOR_SIGNING_DIR}/${name}.pub.pem
      COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
  endif()
endforeach()
execute_process(
  COMMAND ${Python3_EXECUTABLE} ${KAVIMOR_PUBLISH} key-blob --public-key ${KAVIMOR_SIGNING_DIR}/release.pub.pem
  OUTPUT_VARIABLE KAVIMOR_TEST_RELEASE_KEY OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
execute_process(
  COMMAND ${Python3_EXECUTABLE} ${KAVIMOR_PUBLISH} key-blob --public-key ${KAVIMOR_SIGNING_DIR}/next.pub.pem
  OUTPUT_VARIABLE KAVIMOR_TEST_NEXT_RELEASE_KEY OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

# The generated package set published with the release key as serial 5
# (expiring in ten years, so that a kept build folder stays usable);
# beside it the signature the other key makes of the same index, and the
# signed index variants the refusals are tested with (older, same serial
# with other bytes, expired, version 1, signed by the next key).
set(KAVIMOR_SIGNED_BUCKET ${KAVIMOR_SIGNING_DIR}/bucket)
set(KAVIMOR_SIGNED_TREE ${KAVIMOR_SIGNING_DIR}/expected_tree.txt)
set(KAVIMOR_SIGNED_INDEX ${KAVIMOR_SIGNED_BUCKET}/9.5KavimorIE/release-index)
add_custom_command(
  OUTPUT ${KAVIMOR_SIGNING_DIR}/variants/other.sig
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${KAVIMOR_SIGNED_BUCKET}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/make_packages.py
          --out ${KAVIMOR_SIGNED_BUCKET} --tree-file ${KAVIMOR_SIGNED_TREE}
          --client-exe $<TARGET_FILE:stand_in_client>
  COMMAND ${Python3_EXECUTABLE} ${KAVIMOR_PUBLISH} publish --root ${KAVIMOR_SIGNED_BUCKET}
          --private-key ${KAVIMOR_SIGNING_DIR}/release.key.pem --serial 5 --expires-in 3650
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/signing/make_variants.py --root ${KAVIMOR_SIGNED_BUCKET}
          --private-key ${KAVIMOR_SIGNING_DIR}/release.key.pem
          --next-private-key ${KAVIMOR_SIGNING_DIR}/next.key.pem
          --other-private-key ${KAVIMOR_SIGNING_DIR}/other.key.pem --out ${KAVIMOR_SIGNING_DIR}/variants
  DEPENDS stand_in_client ${CMAKE_SOURCE_DIR}/tools/make_packages.py ${KAVIMOR_PUBLISH}
          ${CMAKE_CURRENT_SOURCE_DIR}/signing/make_variants.py
  COMMENT "Publishing the signed end-to-end package set" VERBATIM)
add_custom_target(signed_packages ALL DEPENDS ${KAVIMOR_SIGNING_DIR}/variants/other.sig)

file(GLOB KAVIMOR_SIGNING_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/signing/*.cpp)
add_executable(signing_tests ${KAVIMOR_SIGNING_TEST_SOURCES} ${KAVIMOR_TEST_SUPPORT})
target_link_libraries(signing_tests PRIVATE kavimor_core gtest gtest_main)
target_include_directories(signing_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_options(signing_tests PRIVATE ${KAVIMOR_TEST_LINK})
target_compile_definitions(signing_tests PRIVATE
  KAVIMOR_SIGNED_BUCKET="${KAVIMOR_SIGNED_BUCKET}"
  KAVIMOR_SIGNED_TREE="${KAVIMOR_SIGNED_TREE}"
  KAVIMOR_OTHER_KEY_SIGNATURE="${KAVIMOR_SIGNING_DIR}/variants/other.sig"
  KAVIMOR_INDEX_VARIANTS="${KAVIMOR_SIGNING_DIR}/variants"
  KAVIMOR_TEST_RELEASE_KEY="${KAVIMOR_TEST_RELEASE_KEY}"
  KAVIMOR_TEST_NEXT_RELEASE_KEY="${KAVIMOR_TEST_NEXT_RELEASE_KEY}"
  KAVIMOR_TEST_KEY_ID="${KAVIMOR_OSS_KEY_ID}"
  KAVIMOR_TEST_KEY_SECRET="${KAVIMOR_OSS_KEY_SECRET}"
  KAVIMOR_TEST_BUCKET="${KAVIMOR_OSS_BUCKET}")
add_dependencies(signing_tests signed_packages stand_in_client)
# Installations register the real package identifier, and record the
# installed release serial under it: the same lock as the other end-to-end
# tests.
gtest_discover_tests(signing_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 600 RESOURCE_LOCK kavimor_201805_registration)

add_test(NAME publish_tool
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/signing/publish_test.py)
