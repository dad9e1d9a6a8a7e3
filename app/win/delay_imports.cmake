# Delay-loaded system libraries for one executable.
#
# The Windows loader maps an executable's static imports before any of its code runs, and it
# looks for every library that is not a KnownDLL in the executable's own folder first. The
# downloader runs elevated from wherever it was saved (a Downloads folder), so its static imports
# are KnownDLLs only. corlinq_delay_imports(TARGET lib...) makes a delay-import library for each
# named system library into a folder of its own and puts that folder first on TARGET's library
# search path: every "-l<lib>" of TARGET's link (its own and its dependencies', OpenSSL's crypt32
# included) then binds to the delay-loaded version. The delay-load hook in dll_search_win.cc
# loads them from System32 only.
set(_corlinq_delay_script ${CMAKE_CURRENT_LIST_DIR}/make_delay_lib.cmake)

function(corlinq_delay_imports target)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_delayimp)
  set(outputs)
  foreach(lib ${ARGN})
    find_library(_corlinq_import_${lib} NAMES lib${lib}.a REQUIRED NO_CACHE)
    set(out ${dir}/lib${lib}.a)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DDLLTOOL=${CMAKE_DLLTOOL}
              -DIMPORT_LIB=${_corlinq_import_${lib}} -DDLL=${lib}.dll -DDEF=${dir}/${lib}.def
              -DOUT=${out} -P ${_corlinq_delay_script}
      DEPENDS ${_corlinq_delay_script} ${_corlinq_import_${lib}}
      COMMENT "Delay-import library for ${lib}.dll" VERBATIM)
    list(APPEND outputs ${out})
  endforeach()
  file(MAKE_DIRECTORY ${dir})
  add_custom_target(${target}_delayimp DEPENDS ${outputs})
  add_dependencies(${target} ${target}_delayimp)
  target_link_directories(${target} BEFORE PRIVATE ${dir})
  # Relink when one of them changes.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${outputs})
endfunction()
