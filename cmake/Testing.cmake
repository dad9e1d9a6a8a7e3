# Test tiers:
#   unit  - portable core tests, natively (and under the sanitizers with native-asan)
#   wine  - Windows executables run under Wine (the same core tests built for Windows, plus the
#           Win32 adapter tests), in a private prefix with its own Xvfb display
# Further labels (net, e2e) mark slower tests that use a real server or the real exe.
enable_testing()


# Native tools that the Wine-tier tests use (update server, manifest tool): a cross build cannot
# build them, so they come from the native build, which scripts/test.sh builds first.
set(CORLINQ_NATIVE_BUILD_DIR "${CMAKE_SOURCE_DIR}/build/native" CACHE PATH
    "Native build whose tools the Wine-tier tests use")

if(WIN32)
  set(CORLINQ_TIER_LABEL wine)
  # One Wine environment per build folder: started before the first Wine test, torn down after
  # the last, by the process ids the harness recorded.
  add_test(NAME wine_env_start COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine/start.sh ${CORLINQ_WINE_DIR})
  add_test(NAME wine_env_stop COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine/stop.sh ${CORLINQ_WINE_DIR})
  set_tests_properties(wine_env_start PROPERTIES FIXTURES_SETUP wine_env LABELS wine)
  set_tests_properties(wine_env_stop PROPERTIES FIXTURES_CLEANUP wine_env LABELS wine)
else()
  set(CORLINQ_TIER_LABEL unit)
endif()

# corlinq_test(<name> SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s])
# Builds a GoogleTest executable and registers it. On Windows it runs under Wine.
function(corlinq_test name)
  cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(CORLINQ_FUZZ)
    return()  # the fuzz build carries only fuzz targets
  endif()
  add_executable(${name} ${A_SOURCES})
  corlinq_warnings(${name})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest_main GTest::gmock)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${CORLINQ_TIER_LABEL};${A_LABELS}" TIMEOUT ${A_TIMEOUT})
  if(WIN32)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_env)
  endif()
endfunction()

# Registers a test that needs the Wine environment but is not a GoogleTest executable
# (a shell script driving Windows programs, for example).
function(corlinq_wine_script_test name)
  cmake_parse_arguments(A "" "TIMEOUT" "COMMAND;LABELS" ${ARGN})
  add_test(NAME ${name} COMMAND ${A_COMMAND})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "wine;${A_LABELS}" TIMEOUT ${A_TIMEOUT}
                       FIXTURES_REQUIRED wine_env
                       ENVIRONMENT "CORLINQ_WINE_DIR=${CORLINQ_WINE_DIR}")
endfunction()

# corlinq_fuzz(<name> SOURCES ... LIBS ... [SECONDS n])
# A libFuzzer target (LLVMFuzzerTestOneInput). Built only by the fuzz preset (clang), where it is
# registered as a test that fuzzes for a bounded time and fails on any crash or sanitizer report.
function(corlinq_fuzz name)
  cmake_parse_arguments(A "" "SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT CORLINQ_FUZZ)
    return()
  endif()
  if(NOT A_SECONDS)
    set(A_SECONDS 20)
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${name}_corpus)
  file(MAKE_DIRECTORY ${corpus})
  add_test(NAME ${name} COMMAND ${name} -max_total_time=${A_SECONDS} -rss_limit_mb=2048 -print_final_stats=0 ${corpus})
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 300)
endfunction()
