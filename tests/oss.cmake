# Certificates for the TLS tests: a test authority the tests make the Wine
# prefix trust, a server certificate it signed, and a second authority with
# its own server certificate that nobody trusts; beside them, from the
# trusted authority, one certificate that expired in 2021 and one issued for
# another host name; and a certificate for the address issued by a leaf (no
# authority) that the trusted authority issued for another domain, sent
# with that leaf as its chain; and an authority only the current user
# trusts, with a server certificate of its own. The address is named both as an IP and as a DNS name:
# OpenSSL matches the first, Wine's certificate check only the second.
set(KAVIMOR_OSS_TLS_DIR ${CMAKE_BINARY_DIR}/oss_tls)
if(NOT EXISTS ${KAVIMOR_OSS_TLS_DIR}/v5.stamp)
  find_program(KAVIMOR_OPENSSL openssl REQUIRED)
  file(REMOVE_RECURSE ${KAVIMOR_OSS_TLS_DIR})
  file(MAKE_DIRECTORY ${KAVIMOR_OSS_TLS_DIR})
  set(san_local "IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost")
  set(san_other "DNS:downloads.example.invalid")
  foreach(kind IN ITEMS local other)
    file(WRITE ${KAVIMOR_OSS_TLS_DIR}/${kind}.ext
         "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
         "extendedKeyUsage=serverAuth\nsubjectAltName=${san_${kind}}\n")
  endforeach()
  # "openssl ca" is the one OpenSSL 3.0 command that takes a start date, which
  # an expired certificate needs.
  file(WRITE ${KAVIMOR_OSS_TLS_DIR}/ca.cnf
       "[ca]\ndefault_ca=test\n[test]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\n"
       "default_md=sha256\npolicy=any\nunique_subject=no\n[any]\ncommonName=supplied\n")
  file(WRITE ${KAVIMOR_OSS_TLS_DIR}/index.txt "")
  file(WRITE ${KAVIMOR_OSS_TLS_DIR}/serial "3001\n")
  # name: authority, subject, extensions, serial (or dates for "openssl ca")
  set(server_trusted "trusted;127.0.0.1;local;1001")
  set(server_rogue "rogue;127.0.0.1;local;2001")
  set(server_wronghost "trusted;downloads.example.invalid;other;1002")
  set(server_expired "trusted;127.0.0.1;local;ca")
  set(server_nonca "leaf;127.0.0.1;local;1004")
  set(server_userroot "user;127.0.0.1;local;4001")
  foreach(kind IN ITEMS trusted rogue user)
    execute_process(
      COMMAND ${KAVIMOR_OPENSSL} req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650
              -keyout ${kind}_ca.key -out ${kind}_ca.pem -subj "/CN=Kavimor ${kind} test CA"
              -addext "basicConstraints=critical,CA:TRUE"
              -addext "keyUsage=critical,keyCertSign,cRLSign"
      COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET
      WORKING_DIRECTORY ${KAVIMOR_OSS_TLS_DIR})
  endforeach()
  # The leaf that issues: an ordinary server certificate (CA:FALSE) of the
  # trusted authority, as anyone owning a domain can get one.
  execute_process(
    COMMAND ${KAVIMOR_OPENSSL} req -newkey rsa:2048 -nodes -sha256 -keyout leaf_ca.key -out leaf_ca.csr
            -subj "/CN=downloads.example.invalid"
    COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET
    WORKING_DIRECTORY ${KAVIMOR_OSS_TLS_DIR})
  execute_process(
    COMMAND ${KAVIMOR_OPENSSL} x509 -req -sha256 -days 825 -in leaf_ca.csr -CA trusted_ca.pem
            -CAkey trusted_ca.key -set_serial 1003 -extfile other.ext -out leaf_ca.pem
    COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET
    WORKING_DIRECTORY ${KAVIMOR_OSS_TLS_DIR})
  foreach(name IN ITEMS trusted rogue wronghost expired nonca userroot)
    list(GET server_${name} 0 ca)
    list(GET server_${name} 1 subject)
    list(GET server_${name} 2 ext)
    list(GET server_${name} 3 serial)
    execute_process(
      COMMAND ${KAVIMOR_OPENSSL} req -newkey rsa:2048 -nodes -sha256 -keyout ${name}_server.key
              -out ${name}_server.csr -subj "/CN=${subject}"
      COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET
      WORKING_DIRECTORY ${KAVIMOR_OSS_TLS_DIR})
    if(serial STREQUAL "ca")
      execute_process(
        COMMAND ${KAVIMOR_OPENSSL} ca -batch -config ca.cnf -cert ${ca}_ca.pem -keyfile ${ca}_ca.key
                -in ${name}_server.csr -out ${name}_server.pem -notext -extfile ${ext}.ext
                -startdate 20200101000000Z -enddate 20210101000000Z
        COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET
        WORKING_DIRECTORY ${KAVIMOR_OSS_TLS_DIR})
    else()
      execute_process(
        COMMAND ${KAVIMOR_OPENSSL} x509 -req -sha256 -days 825 -in ${name}_server.csr
                -CA ${ca}_ca.pem -CAkey ${ca}_ca.key -set_serial ${serial}
                -extfile ${ext}.ext -out ${name}_server.pem
        COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET
        WORKING_DIRECTORY ${KAVIMOR_OSS_TLS_DIR})
    endif()
  endforeach()
  # The server sends the issuing leaf along, as a chain.
  file(READ ${KAVIMOR_OSS_TLS_DIR}/nonca_server.pem _nonca_cert)
  file(READ ${KAVIMOR_OSS_TLS_DIR}/leaf_ca.pem _nonca_issuer)
  file(WRITE ${KAVIMOR_OSS_TLS_DIR}/nonca_server.pem "${_nonca_cert}${_nonca_issuer}")
  file(WRITE ${KAVIMOR_OSS_TLS_DIR}/v5.stamp "")
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
