# The program is built once per bank: BANK_ID picks the row of the bank table, and every name
# formed from the id is derived here as well as at run time.
#
# Fail closed: a bank id must be hexadecimal (with or without 0x, any letter case), must have a
# row in the table, and a bank other than the demo bank is never built with the committed demo
# keys unless ALLOW_DEMO_KEYS is on (tests and demos only).
set(BANK_ID "0x867" CACHE STRING "Bank id of this build, hexadecimal (867, 0x867 and 0X867 are one id)")
set(BANK_TABLE "${CMAKE_SOURCE_DIR}/config/banks/banks.inc" CACHE FILEPATH
    "Bank table compiled into the program (rows of BankProfile initialisers)")
# A build folder configured before the table moved to config/ still names its old place.
if(BANK_TABLE STREQUAL "${CMAKE_SOURCE_DIR}/app/banks/banks.inc" AND NOT EXISTS "${BANK_TABLE}")
  set(BANK_TABLE "${CMAKE_SOURCE_DIR}/config/banks/banks.inc" CACHE FILEPATH
      "Bank table compiled into the program (rows of BankProfile initialisers)" FORCE)
endif()
set(MANIFEST_PUBLIC_KEY "${CMAKE_SOURCE_DIR}/keys/manifest-public.pem" CACHE FILEPATH
    "PEM \"RSA PUBLIC KEY\" (PKCS #1) built in as the key every manifest is verified with")
set(ENVELOPE_KEY "${CMAKE_SOURCE_DIR}/keys/envelope.pem" CACHE FILEPATH
    "1024-bit RSA key pair (PEM) compiled in for sealing requests and opening replies")
option(ALLOW_DEMO_KEYS "Allow a bank other than the demo bank to be built with the demo keys (tests and demos only)" OFF)
set(BANK_ARTWORK "" CACHE PATH
    "Folder with the bank's own dialog pictures (picture_174.png ... picture_184.png); empty: drawn from the bank row")

set(CORLINQ_DEMO_BANK_ID_HEX "867")
set(CORLINQ_DEMO_MANIFEST_PUBLIC_KEY "${CMAKE_SOURCE_DIR}/keys/manifest-public.pem")
set(CORLINQ_DEMO_ENVELOPE_KEY "${CMAKE_SOURCE_DIR}/keys/envelope.pem")

# corlinq_parse_bank_id(<text> <out-hex>): the bank id as "%x" (lowercase, no 0x, no leading
# zeros), or stops the configure naming the text.
function(corlinq_parse_bank_id text out)
  string(STRIP "${text}" _t)
  string(REGEX REPLACE "^0[xX]" "" _digits "${_t}")
  if(NOT _digits MATCHES "^[0-9a-fA-F]+$")
    message(FATAL_ERROR "BANK_ID \"${text}\" is not a bank id: give it in hexadecimal, with or "
                        "without 0x (for example 867 or 0x867)")
  endif()
  string(TOLOWER "${_digits}" _digits)
  string(REGEX REPLACE "^0+" "" _digits "${_digits}")
  if(_digits STREQUAL "")
    set(_digits "0")
  endif()
  string(LENGTH "${_digits}" _len)
  if(_len GREATER 6)
    message(FATAL_ERROR "BANK_ID \"${text}\" is out of range (at most ffffff)")
  endif()
  set(${out} "${_digits}" PARENT_SCOPE)
endfunction()

corlinq_parse_bank_id("${BANK_ID}" CORLINQ_BANK_ID_HEX)                    # "%x"
math(EXPR CORLINQ_BANK_ID_DEC "0x${CORLINQ_BANK_ID_HEX}" OUTPUT_FORMAT DECIMAL)
set(CORLINQ_BANK_ID_HEX3 "${CORLINQ_BANK_ID_HEX}")                          # "%03x"
string(LENGTH "${CORLINQ_BANK_ID_HEX3}" _len)
while(_len LESS 3)
  set(CORLINQ_BANK_ID_HEX3 "0${CORLINQ_BANK_ID_HEX3}")
  string(LENGTH "${CORLINQ_BANK_ID_HEX3}" _len)
endwhile()

# The bank's row: its display name is needed here for the artwork.
get_filename_component(BANK_TABLE "${BANK_TABLE}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
if(NOT EXISTS "${BANK_TABLE}" OR IS_DIRECTORY "${BANK_TABLE}")
  message(FATAL_ERROR "BANK_TABLE ${BANK_TABLE} is not a file")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${BANK_TABLE}")
file(STRINGS "${BANK_TABLE}" _table_lines ENCODING UTF-8)
set(CORLINQ_BANK_NAME "")
foreach(_line IN LISTS _table_lines)
  if(_line MATCHES "^[ \t]*BANK_ROW\\([ \t]*(0[xX])?([0-9a-fA-F]+)[ \t]*,[ \t]*\"([^\"]*)\"")
    set(_row_name "${CMAKE_MATCH_3}")
    string(TOLOWER "${CMAKE_MATCH_2}" _row_id)
    string(REGEX REPLACE "^0+(.)" "\\1" _row_id "${_row_id}")
    if(_row_id STREQUAL CORLINQ_BANK_ID_HEX)
      set(CORLINQ_BANK_NAME "${_row_name}")
    endif()
  endif()
endforeach()
if(CORLINQ_BANK_NAME STREQUAL "")
  message(FATAL_ERROR "BANK_ID 0x${CORLINQ_BANK_ID_HEX} has no row in the bank table ${BANK_TABLE}: "
                      "add a BANK_ROW(0x${CORLINQ_BANK_ID_HEX}, \"<bank name>\", ...) line there or "
                      "pass the bank's own table with -DBANK_TABLE=<file> (see OPERATING.md)")
endif()

# Keys: the demo keys are committed and public. A bank ships its own.
get_filename_component(MANIFEST_PUBLIC_KEY "${MANIFEST_PUBLIC_KEY}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
get_filename_component(ENVELOPE_KEY "${ENVELOPE_KEY}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
# True when FILE holds the same bytes as DEMO (a copy of a demo key is still the demo key).
function(_corlinq_is_demo_key file demo out)
  set(${out} FALSE PARENT_SCOPE)
  if(EXISTS "${file}" AND NOT IS_DIRECTORY "${file}")
    file(SHA256 "${file}" _a)
    file(SHA256 "${demo}" _b)
    if(_a STREQUAL _b)
      set(${out} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()
_corlinq_is_demo_key("${MANIFEST_PUBLIC_KEY}" "${CORLINQ_DEMO_MANIFEST_PUBLIC_KEY}" _demo_manifest)
_corlinq_is_demo_key("${ENVELOPE_KEY}" "${CORLINQ_DEMO_ENVELOPE_KEY}" _demo_envelope)
set(_demo_keys "")
if(_demo_manifest)
  list(APPEND _demo_keys "the demo manifest key (MANIFEST_PUBLIC_KEY=${MANIFEST_PUBLIC_KEY})")
endif()
if(_demo_envelope)
  list(APPEND _demo_keys "the demo envelope key (ENVELOPE_KEY=${ENVELOPE_KEY})")
endif()
set(CORLINQ_DEMO_KEYS OFF)
if(_demo_keys)
  set(CORLINQ_DEMO_KEYS ON)
  list(JOIN _demo_keys " and " _demo_text)
  if(CORLINQ_BANK_ID_HEX STREQUAL CORLINQ_DEMO_BANK_ID_HEX)
    message(STATUS "Demo bank 0x${CORLINQ_BANK_ID_HEX} built with ${_demo_text}")
  elseif(ALLOW_DEMO_KEYS)
    message(WARNING "Bank 0x${CORLINQ_BANK_ID_HEX} is built with ${_demo_text}, because "
                    "ALLOW_DEMO_KEYS is on. These keys are public: this build is for tests and "
                    "demos only and must never reach a customer.")
  else()
    message(FATAL_ERROR "Bank 0x${CORLINQ_BANK_ID_HEX} would be built with ${_demo_text}. The demo "
                        "keys are public. Make the bank's own keys (see OPERATING.md) and pass "
                        "-DMANIFEST_PUBLIC_KEY=<public pem> -DENVELOPE_KEY=<key pair pem>; for a "
                        "test or demo build only, pass -DALLOW_DEMO_KEYS=ON.")
  endif()
endif()

# The bank's own dialog pictures, when it brings them (else ui/res draws them from the row).
set(CORLINQ_PICTURE_IDS 174 175 176 177 178 180 184)
set(CORLINQ_BANK_ARTWORK_DIR "")
if(BANK_ARTWORK)
  get_filename_component(CORLINQ_BANK_ARTWORK_DIR "${BANK_ARTWORK}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
  set(_missing "")
  foreach(id ${CORLINQ_PICTURE_IDS})
    if(NOT EXISTS "${CORLINQ_BANK_ARTWORK_DIR}/picture_${id}.png")
      list(APPEND _missing "picture_${id}.png")
    endif()
  endforeach()
  if(_missing)
    list(JOIN _missing ", " _missing)
    message(FATAL_ERROR "BANK_ARTWORK ${CORLINQ_BANK_ARTWORK_DIR} lacks ${_missing} (PNG, 8-bit "
                        "RGBA, the sizes of ui/res/picture_<id>.png)")
  endif()
  message(STATUS "Dialog pictures of bank 0x${CORLINQ_BANK_ID_HEX} from ${CORLINQ_BANK_ARTWORK_DIR}")
endif()

set(CORLINQ_DOWNLOADER_NAME "corlinq_${CORLINQ_BANK_ID_HEX3}")
message(STATUS "Bank 0x${CORLINQ_BANK_ID_HEX} (${CORLINQ_BANK_NAME}) builds "
               "${CORLINQ_DOWNLOADER_NAME}.exe (table ${BANK_TABLE})")

# Compile definitions for the code that needs the build constants.
set(CORLINQ_BANK_DEFINITIONS
    CORLINQ_BANK_ID=${CORLINQ_BANK_ID_DEC}
    CORLINQ_BANK_ID_TEXT="${CORLINQ_BANK_ID_HEX}"
    CORLINQ_BANK_TABLE="${BANK_TABLE}")
