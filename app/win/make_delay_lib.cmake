# Script mode (cmake -P): a delay-import library for one system DLL, made from MinGW's ordinary
# import library, so that every function that library names is delay-loaded instead.
#   -DNM=... -DDLLTOOL=... -DIMPORT_LIB=libX.a -DDLL=x.dll -DDEF=out.def -DOUT=libX.a
execute_process(COMMAND "${NM}" -g "${IMPORT_LIB}" OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${IMPORT_LIB}")
endif()
string(REGEX MATCHALL " I __imp_[A-Za-z0-9_@?$]+" imports "${symbols}")
list(TRANSFORM imports REPLACE "^ I __imp_" "")
list(REMOVE_DUPLICATES imports)
list(SORT imports)
if(NOT imports)
  message(FATAL_ERROR "${IMPORT_LIB} names no functions")
endif()
list(JOIN imports "\n" exports)
file(WRITE "${DEF}" "LIBRARY ${DLL}\nEXPORTS\n${exports}\n")
execute_process(COMMAND "${DLLTOOL}" --input-def "${DEF}" --dllname "${DLL}" --output-delaylib "${OUT}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} could not make ${OUT}")
endif()
