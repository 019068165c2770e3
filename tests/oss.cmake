# Tests of the object-store layer, the downloads and the manifests, over
# real HTTP on loopback against tools/oss_server.py, under Wine.

# Certificates for the TLS tests: a test authority the tests make the Wine
# prefix trust, a server certificate it signed, and a second authority with
# its own server certificate that nobody trusts. The address is named both
# as an IP and as a DNS name: OpenSSL matches the first, Wine's certificate
# check only the second.
set(KAVIMOR_OSS_TLS_DIR ${CMAKE_BINARY_DIR}/oss_tls)
if(NOT EXISTS ${KAVIMOR_OSS_TLS_DIR}/v2.stamp)
  find_program(KAVIMOR_OPENSSL openssl REQUIRED)
  file(MAKE_DIRECTORY ${KAVIMOR_OSS_TLS_DIR})
  file(WRITE ${KAVIMOR_OSS_TLS_DIR}/server.ext
       "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
       "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost\n")
  set(serial_trusted 1001)
  set(serial_rogue 2001)
  foreach(kind IN ITEMS trusted rogue)
    execute_process(
      COMMAND ${KAVIMOR_OPENSSL} req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650
              -keyout ${kind}_ca.key -out ${kind}_ca.pem -subj "/CN=Kavimor ${kind} test CA"
              -addext "basicConstraints=critical,CA:TRUE"
              -addext "keyUsage=critical,keyCertSign,cRLSign"
      COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET
      WORKING_DIRECTORY ${KAVIMOR_OSS_TLS_DIR})
    execute_process(
      COMMAND ${KAVIMOR_OPENSSL} req -newkey rsa:2048 -nodes -sha256 -keyout ${kind}_server.key
              -out ${kind}_server.csr -subj "/CN=127.0.0.1"
      COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET
      WORKING_DIRECTORY ${KAVIMOR_OSS_TLS_DIR})
    execute_process(
      COMMAND ${KAVIMOR_OPENSSL} x509 -req -sha256 -days 825 -in ${kind}_server.csr
              -CA ${kind}_ca.pem -CAkey ${kind}_ca.key -set_serial ${serial_${kind}}
              -extfile server.ext -out ${kind}_server.pem
      COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET
      WORKING_DIRECTORY ${KAVIMOR_OSS_TLS_DIR})
  endforeach()
  file(WRITE ${KAVIMOR_OSS_TLS_DIR}/v2.stamp "")
endif()

file(GLOB KAVIMOR_OSS_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/oss/*.cpp)
add_executable(oss_tests ${KAVIMOR_OSS_TEST_SOURCES} ${KAVIMOR_TEST_SUPPORT})
target_link_libraries(oss_tests PRIVATE kavimor_core gtest gtest_main psapi)
target_include_directories(oss_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_options(oss_tests PRIVATE ${KAVIMOR_TEST_LINK})
# The deployment pair, so that the tests can serve it and check what the
# program unscrambles; only the test program carries it in plain text.
target_compile_definitions(oss_tests PRIVATE
  KAVIMOR_OSS_TLS_DIR="${KAVIMOR_OSS_TLS_DIR}"
  KAVIMOR_TEST_KEY_ID="${KAVIMOR_OSS_KEY_ID}"
  KAVIMOR_TEST_KEY_SECRET="${KAVIMOR_OSS_KEY_SECRET}"
  KAVIMOR_TEST_BUCKET="${KAVIMOR_OSS_BUCKET}")
gtest_discover_tests(oss_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 300)

# The download benchmark's Windows side (bench/download.sh runs it); not a
# test.
add_executable(download_bench ${CMAKE_SOURCE_DIR}/bench/download_bench.cpp)
target_link_libraries(download_bench PRIVATE kavimor_core psapi)
target_link_options(download_bench PRIVATE ${KAVIMOR_TEST_LINK})
