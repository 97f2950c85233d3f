# Small helpers so each folder's CMakeLists.txt stays a few lines long.

# The shared test data (public print sets) lives beside the source tree; a worktree elsewhere names it.
set(TOV_DATA_DIR "${CMAKE_SOURCE_DIR}/../shared/data" CACHE PATH "Folder of the shared test data")

# tov_library(NAME <target> [SHARED] DEPS <targets...>): a library from every .cpp in this folder.
function(tov_library)
  cmake_parse_arguments(T "SHARED" "NAME" "DEPS;SOURCES" ${ARGN})
  if(NOT T_SOURCES)
    file(GLOB T_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  if(T_SHARED)
    add_library(${T_NAME} SHARED ${T_SOURCES})
  else()
    add_library(${T_NAME} STATIC ${T_SOURCES})
  endif()
  target_link_libraries(${T_NAME} PUBLIC ${T_DEPS})
endfunction()

# Where the fingerprint image sets for tests are; a worktree beside the main tree names it itself.
# Each test's limit: the slowest takes a few seconds (more under ThreadSanitizer), so a hang fails
# in well under a minute rather than holding a CI run for the discovery default of five minutes.
set(TOV_TEST_TIMEOUT 30 CACHE STRING "Time-out of each test in seconds")

# tov_test(NAME <exe> DEPS <targets...> [TIMEOUT <s>] [PROCESSORS <n>]): one GoogleTest binary from
# every .cpp in this folder. Its tests carry the binary's name as label, so a build can run the suites
# of a few binaries. A suite whose tests start processes of their own says how many cores a test
# takes, so that a parallel run does not start more of them than the machine carries.
function(tov_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT;PROCESSORS" "DEPS;SOURCES" ${ARGN})
  if(NOT T_SOURCES)
    file(GLOB T_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  if(NOT T_TIMEOUT OR T_TIMEOUT LESS TOV_TEST_TIMEOUT)
    set(T_TIMEOUT ${TOV_TEST_TIMEOUT})
  endif()
  if(NOT T_PROCESSORS)
    set(T_PROCESSORS 1)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_DEPS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_definitions(${T_NAME} PRIVATE TOV_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                             TOV_DATA_DIR="${TOV_DATA_DIR}")
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT ${T_TIMEOUT} PROCESSORS ${T_PROCESSORS} LABELS ${T_NAME})
endfunction()

# tov_bench(NAME <exe> DEPS <targets...>): a Google Benchmark binary, placed in <build>/bench.
function(tov_bench)
  cmake_parse_arguments(T "" "NAME" "DEPS;SOURCES" ${ARGN})
  if(NOT T_SOURCES)
    file(GLOB T_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_DEPS} benchmark::benchmark Threads::Threads)
  target_compile_definitions(${T_NAME} PRIVATE TOV_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                             TOV_DATA_DIR="${TOV_DATA_DIR}")
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()

# tov_fuzz(NAME <exe> SOURCES <files...> [DEPS <targets...>] [DEFINITIONS <defs...>] ARGS <options...>):
# a libFuzzer target, the code under test among its sources so that it is instrumented for coverage,
# run by CTest with the libFuzzer options given (briefly, from a fixed seed). Only a compiler with
# libFuzzer builds it (clang); elsewhere it is left out.
function(tov_fuzz)
  cmake_parse_arguments(F "" "NAME" "SOURCES;DEPS;DEFINITIONS;ARGS" ${ARGN})
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS -fsanitize=fuzzer)
  set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=fuzzer)
  check_cxx_source_compiles([[
#include <stddef.h>
#include <stdint.h>
extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }
]] TOV_HAVE_LIBFUZZER)
  if(NOT TOV_HAVE_LIBFUZZER)
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_libraries(${F_NAME} PRIVATE ${F_DEPS})
  target_compile_definitions(${F_NAME} PRIVATE ${F_DEFINITIONS})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
  add_test(NAME ${F_NAME} COMMAND ${F_NAME} ${F_ARGS})
endfunction()
