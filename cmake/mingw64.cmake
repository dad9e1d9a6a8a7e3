# Cross build for 64-bit Windows with MinGW-w64 (posix thread model), run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_host x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_host}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_host}-g++-posix)
set(CMAKE_RC_COMPILER ${_host}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_host})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Libraries cross-built by scripts/deps.sh.
if(DEFINED ENV{CORLINQ_DEPS_DIR})
  set(_deps "$ENV{CORLINQ_DEPS_DIR}")
else()
  set(_deps /var/cache/corlinq-deps)
endif()
if(NOT EXISTS "${_deps}/mingw64/prefixes.cmake")
  message(FATAL_ERROR "Cross-built dependencies missing in ${_deps}: run scripts/deps.sh first")
endif()
include("${_deps}/mingw64/prefixes.cmake")

# Test executables run under Wine through the harness in scripts/wine.
get_filename_component(_src "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CORLINQ_WINE_DIR "${CMAKE_BINARY_DIR}/wine" CACHE PATH "Private Wine prefix and display state")
set(CMAKE_CROSSCOMPILING_EMULATOR "${_src}/scripts/wine/exec.sh;${CORLINQ_WINE_DIR}")
