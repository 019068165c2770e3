# The release-key rules of a build, apart so that a script can check them
# (tests/signing/release_keys_check.cmake) without configuring a build.
#
# kavimor_release_keys(<current hex var> <next hex var>) reads
# KAVIMOR_RELEASE_PUBLIC_KEY, KAVIMOR_RELEASE_NEXT_PUBLIC_KEY,
# KAVIMOR_ALLOW_UNSIGNED_RELEASES and KAVIMOR_OSS_ENDPOINT and stops the
# configure step with an error when
#   - a key file does not hold an ECDSA P-256 public key in PEM,
#   - a next key is given without a current one,
#   - there is no key and the endpoint is not this machine (127.0.0.0/8,
#     localhost, ::1), unless KAVIMOR_ALLOW_UNSIGNED_RELEASES is ON:
#     an installer that verifies nothing is never built by accident.
# Needs Python3_EXECUTABLE.

set(KAVIMOR_PUBLISH_TOOL ${CMAKE_CURRENT_LIST_DIR}/../tools/publish.py)

# TRUE in <out> when the endpoint's host is a loopback address.
function(kavimor_endpoint_is_loopback endpoint out)
  string(TOLOWER "${endpoint}" host)
  string(REGEX REPLACE "^[a-z]+://" "" host "${host}")
  string(REGEX REPLACE "/.*$" "" host "${host}")
  if(host MATCHES "^\\[([^]]*)\\](:[0-9]+)?$")
    set(host "${CMAKE_MATCH_1}")
  else()
    string(REGEX REPLACE ":[0-9]+$" "" host "${host}")
  endif()
  if(host STREQUAL "localhost" OR host STREQUAL "::1" OR
     host MATCHES "^127\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

# The point X||Y in hex of one PEM key file, or a fatal error naming `what`.
function(kavimor_release_key_blob what file out)
  execute_process(
    COMMAND ${Python3_EXECUTABLE} ${KAVIMOR_PUBLISH_TOOL} key-blob --public-key ${file}
    OUTPUT_VARIABLE hex ERROR_VARIABLE error RESULT_VARIABLE result
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
  string(LENGTH "${hex}" length)
  if(NOT result EQUAL 0 OR NOT hex MATCHES "^[0-9a-f]+$" OR NOT length EQUAL 128)
    message(FATAL_ERROR "${what} (${file}) is not an ECDSA P-256 public key: ${error}")
  endif()
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()

macro(kavimor_release_keys current_out next_out)
  set(${current_out} "")
  set(${next_out} "")
  if(NOT "${KAVIMOR_RELEASE_PUBLIC_KEY}" STREQUAL "")
    kavimor_release_key_blob(KAVIMOR_RELEASE_PUBLIC_KEY "${KAVIMOR_RELEASE_PUBLIC_KEY}" ${current_out})
  endif()
  if(NOT "${KAVIMOR_RELEASE_NEXT_PUBLIC_KEY}" STREQUAL "")
    if("${KAVIMOR_RELEASE_PUBLIC_KEY}" STREQUAL "")
      message(FATAL_ERROR "KAVIMOR_RELEASE_NEXT_PUBLIC_KEY needs KAVIMOR_RELEASE_PUBLIC_KEY: "
                          "the next key is the second of two")
    endif()
    kavimor_release_key_blob(KAVIMOR_RELEASE_NEXT_PUBLIC_KEY "${KAVIMOR_RELEASE_NEXT_PUBLIC_KEY}" ${next_out})
  endif()
  if("${${current_out}}" STREQUAL "")
    kavimor_endpoint_is_loopback("${KAVIMOR_OSS_ENDPOINT}" _rk_local)
    if(NOT _rk_local AND NOT KAVIMOR_ALLOW_UNSIGNED_RELEASES)
      message(FATAL_ERROR "No KAVIMOR_RELEASE_PUBLIC_KEY for the endpoint ${KAVIMOR_OSS_ENDPOINT}: the "
                          "installer would accept any release. Pass the publisher's public key, or "
                          "-DKAVIMOR_ALLOW_UNSIGNED_RELEASES=ON to build one that verifies nothing.")
    endif()
    if(NOT _rk_local)
      message(WARNING "KAVIMOR_ALLOW_UNSIGNED_RELEASES: this installer verifies no release")
    endif()
  endif()
endmacro()
