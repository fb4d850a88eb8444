# Compile options and helpers shared by every target of the project.
include(CheckCXXCompilerFlag)

set(CORVAN_WINDOWS OFF)
if(WIN32)
  set(CORVAN_WINDOWS ON)
endif()

# The crash reporter turns hardware faults in our own code into C++
# exceptions and walks our stacks: that needs unwind tables everywhere,
# frame pointers and functions kept in one piece.
set(CORVAN_CODE_FLAGS -g -fnon-call-exceptions -fasynchronous-unwind-tables
    -fno-omit-frame-pointer)
check_cxx_compiler_flag(-fno-reorder-blocks-and-partition CORVAN_HAS_NO_REORDER)
if(CORVAN_HAS_NO_REORDER)
  list(APPEND CORVAN_CODE_FLAGS -fno-reorder-blocks-and-partition)
endif()
set(CORVAN_WARNING_FLAGS -Wall -Wextra -Werror)
# GCC 12's -Wrestrict misfires inside libstdc++'s string concatenation once
# it is inlined at -O3 (GCC bug 105329): the optimised benchmark build would
# stop on code that copies nothing overlapping.
if(CORVAN_BENCH AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND CORVAN_WARNING_FLAGS -Wno-restrict)
endif()

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "" FORCE)
endif()

if(CORVAN_WINDOWS)
  # One self-contained executable: no libgcc, libstdc++ or winpthread DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601
                          WINVER=0x0601)
elseif(CORVAN_FUZZ)
  # Coverage for libFuzzer in every library, sanitizers everywhere.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(CORVAN_SANITIZE AND NOT CORVAN_BENCH)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Applies the project's flags to a target of our own code.
function(corvan_target_flags target)
  target_compile_options(${target} PRIVATE ${CORVAN_CODE_FLAGS} ${CORVAN_WARNING_FLAGS})
endfunction()

# corvan_library(NAME PORTABLE src... WINDOWS src... DEPS lib...)
# PORTABLE sources build in both builds; WINDOWS sources only in the
# Windows build. The library's public include root is src/.
function(corvan_library name)
  cmake_parse_arguments(ARG "" "" "PORTABLE;WINDOWS;DEPS;WINDOWS_DEPS" ${ARGN})
  set(sources ${ARG_PORTABLE})
  if(CORVAN_WINDOWS)
    list(APPEND sources ${ARG_WINDOWS})
  endif()
  if(NOT sources)
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  corvan_target_flags(${name})
  if(ARG_DEPS)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
  if(CORVAN_WINDOWS AND ARG_WINDOWS_DEPS)
    target_link_libraries(${name} PUBLIC ${ARG_WINDOWS_DEPS})
  endif()
endfunction()

# GoogleTest from Debian's sources, built with the project's compiler, so
# the same tests run natively and (cross-compiled) under Wine.
macro(corvan_add_googletest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endmacro()

# corvan_test(NAME SOURCES src... DEPS lib... [WINDOWS_ONLY] [BOTH_PREFIXES])
# Registers a GoogleTest program. In the Windows build ctest runs it under
# Wine through scripts/wine-run.sh, in the 64-bit prefix (WOW64) and, with
# BOTH_PREFIXES, also in the 32-bit one.
function(corvan_test name)
  cmake_parse_arguments(ARG "WINDOWS_ONLY;BOTH_PREFIXES" "" "SOURCES;DEPS" ${ARGN})
  if(ARG_WINDOWS_ONLY AND NOT CORVAN_WINDOWS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  corvan_target_flags(${name})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest_main)
  corvan_symbol_map(${name})
  set(results ${CMAKE_BINARY_DIR}/test-results)
  if(CORVAN_WINDOWS)
    # Wine sees the build folder through drive Z:.
    string(REPLACE "/" "\\" results "Z:${results}")
    set(runner ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh)
    add_test(NAME ${name}.wow64
             COMMAND ${runner} win64 $<TARGET_FILE:${name}>
                     --gtest_output=xml:${results}\\${name}.wow64.xml)
    set_tests_properties(${name}.wow64 PROPERTIES LABELS wine)
    if(ARG_BOTH_PREFIXES)
      add_test(NAME ${name}.win32
               COMMAND ${runner} win32 $<TARGET_FILE:${name}>
                       --gtest_output=xml:${results}\\${name}.win32.xml)
      set_tests_properties(${name}.win32 PROPERTIES LABELS wine)
    endif()
  else()
    add_test(NAME ${name}
             COMMAND ${name} --gtest_output=xml:${results}/${name}.xml)
  endif()
endfunction()

# corvan_wine_script_test(NAME SCRIPT [GTEST_PROGRAM exe] [ARGS arg...]
#                         [PROPERTIES prop value...])
# Registers NAME.wow64 and NAME.win32, each running
#   SCRIPT win64|win32 [exe --gtest_output=xml:RESULTS] ARGS...
# for a script that prepares what a Windows program needs (peers, a
# namespace) and runs it in that prefix; PROPERTIES go to both tests.
function(corvan_wine_script_test name script)
  cmake_parse_arguments(ARG "" "GTEST_PROGRAM" "ARGS;PROPERTIES" ${ARGN})
  foreach(prefix win64 win32)
    set(test ${name}.${prefix})
    if(prefix STREQUAL win64)
      set(test ${name}.wow64)
    endif()
    set(program)
    if(ARG_GTEST_PROGRAM)
      string(REPLACE "/" "\\" results "Z:${CMAKE_BINARY_DIR}/test-results/${test}.xml")
      set(program ${ARG_GTEST_PROGRAM} --gtest_output=xml:${results})
    endif()
    add_test(NAME ${test} COMMAND ${script} ${prefix} ${program} ${ARG_ARGS})
    set_tests_properties(${test} PROPERTIES LABELS wine ${ARG_PROPERTIES})
  endforeach()
endfunction()

# corvan_script_gtest(NAME SCRIPT DEPS lib... [PROPERTIES prop value...])
# The GoogleTest program NAME.cpp, run by SCRIPT (which starts its peers)
# in both prefixes, as corvan_wine_script_test registers it.
function(corvan_script_gtest name script)
  cmake_parse_arguments(ARG "" "" "DEPS;PROPERTIES" ${ARGN})
  add_executable(${name} ${name}.cpp)
  corvan_target_flags(${name})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest_main)
  corvan_wine_script_test(${name} ${script} GTEST_PROGRAM $<TARGET_FILE:${name}>
                          PROPERTIES ${ARG_PROPERTIES})
endfunction()

# corvan_fuzzer(NAME SOURCES src... DEPS lib...): libFuzzer program fuzz_NAME
# (native clang build with CORVAN_FUZZ; run it with scripts/fuzz.sh NAME).
function(corvan_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(fuzz_${name} ${ARG_SOURCES})
  corvan_target_flags(fuzz_${name})
  target_include_directories(fuzz_${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(fuzz_${name} PRIVATE ${ARG_DEPS})
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# corvan_benchmark(NAME SOURCES src... DEPS lib...): Google Benchmark program
# bench_NAME (native optimised build; run it with scripts/bench.sh NAME).
function(corvan_benchmark name)
  if(CORVAN_WINDOWS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(bench_${name} ${ARG_SOURCES})
  corvan_target_flags(bench_${name})
  target_include_directories(bench_${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/bench)
  target_link_libraries(bench_${name} PRIVATE ${ARG_DEPS} benchmark::benchmark)
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/SymbolMap.cmake)
