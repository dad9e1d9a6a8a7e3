# Warnings are errors in our own code. Third-party code is built elsewhere (scripts/deps.sh) or
# marked SYSTEM, so its warnings never reach these flags.
option(CORLINQ_WERROR "Treat warnings as errors in our own code" ON)
option(CORLINQ_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(CORLINQ_FUZZ "Build the libFuzzer targets (clang) and nothing else that is tested" OFF)

function(corlinq_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                         -Wcast-align -Wunused -Woverloaded-virtual -Wformat=2)
  if(CORLINQ_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(CORLINQ_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  # One self-contained exe: no MinGW runtime DLLs beside it. Unicode Win32 calls throughout.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()

if(CORLINQ_FUZZ)
  # Instrument every library the fuzz targets link, not only the targets themselves.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
