# Small helpers shared by every area of the tree.

if(QUON_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUON_BUILD_FUZZ needs clang (use the 'fuzz' preset).")
  endif()
  # Instrument everything for coverage and sanitizers; only the fuzzers
  # themselves link libFuzzer's main.
  add_compile_options(-fsanitize=address,undefined,fuzzer-no-link -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# quon_add_gtest(NAME SOURCES src... [LIBS lib...] [LABELS label...] [RESOURCE_LOCK name])
# Natively each test case becomes its own CTest test; cross-compiled, the
# whole executable is one test run through the emulator (Wine), since
# discovering cases would start Wine once per build.
function(quon_add_gtest name)
  cmake_parse_arguments(ARG "" "RESOURCE_LOCK" "SOURCES;LIBS;LABELS" ${ARGN})
  set(_lock "")
  if(ARG_RESOURCE_LOCK)
    set(_lock RESOURCE_LOCK ${ARG_RESOURCE_LOCK})
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    if(ARG_LABELS)
      set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
  else()
    include(GoogleTest)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}" ${_lock})
  endif()
endfunction()

# quon_add_fuzzer(NAME SOURCES src... [LIBS lib...])
# Built only in a fuzz build; scripts/run-fuzzers runs every fuzz_* binary.
function(quon_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzzers)
endfunction()

# quon_add_bench(NAME SOURCES src... [LIBS lib...] PRINTS regex... [SMOKE command args...])
# A Google Benchmark executable in ${CMAKE_BINARY_DIR}/bench (it may include
# bench/BenchSettings.h), with its smoke run in the test suite
# (quon_bench_smoke): the executable itself with a minimal time per
# benchmark, or the SMOKE command (a run.sh that measures with it).
function(quon_add_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PRINTS;SMOKE" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/bench)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  if(NOT ARG_SMOKE)
    set(ARG_SMOKE $<TARGET_FILE:${name}> --benchmark_min_time=0.001)
  endif()
  quon_bench_smoke(${name} PRINTS ${ARG_PRINTS} COMMAND ${ARG_SMOKE})
endfunction()

# quon_bench_smoke(NAME PRINTS regex... COMMAND command args... [ENVIRONMENT var=value...])
# Every benchmark's smoke run, the CTest test bench_smoke_NAME (label bench):
# bench/smoke.sh runs COMMAND once, small (QUON_BENCH_MIB=1,
# QUON_BENCH_ROUNDS=1, a private QUON_BENCH_DIR), and passes when it ended
# with 0 and printed a line matching each PRINTS regex (its figures); it
# asserts nothing about them. Benchmarks that are not Google Benchmark
# executables (a script, a tool measured from outside) call it themselves.
function(quon_bench_smoke name)
  cmake_parse_arguments(ARG "" "" "PRINTS;COMMAND;ENVIRONMENT" ${ARGN})
  if(NOT ARG_PRINTS OR NOT ARG_COMMAND)
    message(FATAL_ERROR "quon_bench_smoke(${name}): PRINTS and COMMAND are required")
  endif()
  set(_prints "")
  foreach(_regex IN LISTS ARG_PRINTS)
    list(APPEND _prints --prints "${_regex}")
  endforeach()
  add_test(NAME bench_smoke_${name} COMMAND sh ${PROJECT_SOURCE_DIR}/bench/smoke.sh ${_prints} -- ${ARG_COMMAND})
  set_tests_properties(bench_smoke_${name} PROPERTIES LABELS bench TIMEOUT 300 ENVIRONMENT "${ARG_ENVIRONMENT}")
endfunction()
