# The protocol envelope and the version reply (portable). The envelope key pair is compiled in:
# at configure time the components of the ENVELOPE_KEY PEM file are read with the openssl tool
# into a generated header of lowercase hexadecimal constants.
set(ENVELOPE_KEY "${CMAKE_SOURCE_DIR}/keys/envelope.pem" CACHE FILEPATH
    "1024-bit RSA key pair (PEM) compiled in for sealing requests and opening replies")
get_filename_component(_envelope_key "${ENVELOPE_KEY}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
set(CORLINQ_ENVELOPE_KEY_FILE "${_envelope_key}" CACHE INTERNAL "Resolved ENVELOPE_KEY")

find_program(OPENSSL_TOOL openssl REQUIRED)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_envelope_key}")
execute_process(COMMAND "${OPENSSL_TOOL}" rsa -in "${_envelope_key}" -text -noout
                OUTPUT_VARIABLE _key_text ERROR_VARIABLE _key_error RESULT_VARIABLE _key_result)
if(NOT _key_result EQUAL 0)
  message(FATAL_ERROR "Cannot read the envelope key ${_envelope_key}: ${_key_error}")
endif()
if(NOT _key_text MATCHES "Private-Key: \\(1024 bit")
  message(FATAL_ERROR "The envelope key ${_envelope_key} must be a 1024-bit RSA private key")
endif()
if(NOT _key_text MATCHES "publicExponent: 65537 ")
  message(FATAL_ERROR "The envelope key ${_envelope_key} must have the public exponent 65537")
endif()

# One component of the text dump ("label:" then indented "xx:xx:..." lines) as lowercase hex of
# exactly `width` digits.
function(_envelope_component out label width)
  if(NOT _key_text MATCHES "\n${label}:\n(([ \t]+[0-9a-fA-F:]+\n)+)")
    message(FATAL_ERROR "No ${label} in the envelope key ${_envelope_key}")
  endif()
  string(REGEX REPLACE "[ \t:\n]" "" _digits "${CMAKE_MATCH_1}")
  string(TOLOWER "${_digits}" _digits)
  string(REGEX REPLACE "^0+" "" _digits "${_digits}")
  string(LENGTH "${_digits}" _len)
  if(_len GREATER width)
    message(FATAL_ERROR "${label} of the envelope key is longer than ${width} digits")
  endif()
  math(EXPR _pad "${width} - ${_len}")
  if(_pad GREATER 0)
    string(REPEAT "0" ${_pad} _zeros)
    set(_digits "${_zeros}${_digits}")
  endif()
  set(${out} "${_digits}" PARENT_SCOPE)
endfunction()

_envelope_component(ENVELOPE_N modulus 256)
_envelope_component(ENVELOPE_D privateExponent 256)
_envelope_component(ENVELOPE_P prime1 128)
_envelope_component(ENVELOPE_Q prime2 128)
_envelope_component(ENVELOPE_DP exponent1 128)
_envelope_component(ENVELOPE_DQ exponent2 128)
_envelope_component(ENVELOPE_QP coefficient 128)
set(_generated "${CMAKE_BINARY_DIR}/generated/protocol")
file(CONFIGURE OUTPUT "${_generated}/envelope_key_data.h" CONTENT [[
#pragma once
// Generated from @_envelope_key@ at configure time. Do not edit.
namespace corlinq::envelope_key_data {
inline constexpr const char kN[] = "@ENVELOPE_N@";
inline constexpr const char kE[] = "010001";
inline constexpr const char kD[] = "@ENVELOPE_D@";
inline constexpr const char kP[] = "@ENVELOPE_P@";
inline constexpr const char kQ[] = "@ENVELOPE_Q@";
inline constexpr const char kDP[] = "@ENVELOPE_DP@";
inline constexpr const char kDQ[] = "@ENVELOPE_DQ@";
inline constexpr const char kQP[] = "@ENVELOPE_QP@";
}  // namespace corlinq::envelope_key_data
]] @ONLY)

add_library(corlinq_envelope STATIC envelope.cc hex.cc version_reply.cc)
target_include_directories(corlinq_envelope PRIVATE "${CMAKE_BINARY_DIR}/generated")
target_link_libraries(corlinq_envelope PUBLIC corlinq_base PRIVATE dep::mbedcrypto dep::jsoncpp)
corlinq_warnings(corlinq_envelope)

corlinq_test(envelope_tests SOURCES envelope_test.cc version_reply_test.cc
             LIBS corlinq_envelope dep::mbedcrypto)
corlinq_fuzz(envelope_fuzz SOURCES envelope_fuzz.cc LIBS corlinq_envelope SECONDS 20)
if(TARGET envelope_tests AND NOT WIN32)
  # Natively the tests also compare the built-in pair with the key file it came from.
  target_compile_definitions(envelope_tests PRIVATE
                             CORLINQ_ENVELOPE_KEY_FILE="${CORLINQ_ENVELOPE_KEY_FILE}")
endif()
