# The program is built once per bank: BANK_ID picks the row of the bank table, and every name
# formed from the id is derived here as well as at run time.
set(BANK_ID "0x867" CACHE STRING "Bank id of this build (hexadecimal with 0x, or decimal)")
set(BANK_TABLE "${CMAKE_SOURCE_DIR}/app/banks/banks.inc" CACHE FILEPATH
    "Bank table compiled into the program (rows of BankProfile initialisers)")

math(EXPR CORLINQ_BANK_ID_DEC "${BANK_ID}" OUTPUT_FORMAT DECIMAL)
if(CORLINQ_BANK_ID_DEC LESS 0 OR CORLINQ_BANK_ID_DEC GREATER 0xFFFFFF)
  message(FATAL_ERROR "BANK_ID ${BANK_ID} is out of range")
endif()
math(EXPR _hex "${CORLINQ_BANK_ID_DEC}" OUTPUT_FORMAT HEXADECIMAL)
string(TOLOWER "${_hex}" _hex)
string(REGEX REPLACE "^0x" "" CORLINQ_BANK_ID_HEX "${_hex}")     # "%x"
set(CORLINQ_BANK_ID_HEX3 "${CORLINQ_BANK_ID_HEX}")              # "%03x"
string(LENGTH "${CORLINQ_BANK_ID_HEX3}" _len)
while(_len LESS 3)
  set(CORLINQ_BANK_ID_HEX3 "0${CORLINQ_BANK_ID_HEX3}")
  string(LENGTH "${CORLINQ_BANK_ID_HEX3}" _len)
endwhile()

set(CORLINQ_DOWNLOADER_NAME "corlinq_${CORLINQ_BANK_ID_HEX3}")
message(STATUS "Bank 0x${CORLINQ_BANK_ID_HEX} builds ${CORLINQ_DOWNLOADER_NAME}.exe (table ${BANK_TABLE})")

# Compile definitions for the code that needs the build constants.
set(CORLINQ_BANK_DEFINITIONS
    CORLINQ_BANK_ID=${CORLINQ_BANK_ID_DEC}
    CORLINQ_BANK_ID_TEXT="${CORLINQ_BANK_ID_HEX}"
    CORLINQ_BANK_TABLE="${BANK_TABLE}")
