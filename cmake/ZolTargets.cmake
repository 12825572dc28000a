# Small helpers so every folder declares its tests, benchmarks and fuzz targets the same way.
include(GoogleTest)

# GoogleTest's and GoogleMock's headers take about as long to read as a small test takes to
# compile. In the clang builds (the sanitizer builds of `make test`) they are read once per
# build, into a header that every test program reuses; the definitions below are those that
# every test program is compiled with. GCC 12 is left to read them each time: through a
# precompiled header it reports array-bounds warnings in std::string code that are not there.
set(ZOL_SHARED_TEST_HEADERS OFF)
if(ZOL_TESTS AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(ZOL_SHARED_TEST_HEADERS ON)
  add_library(zol_test_headers OBJECT ${CMAKE_CURRENT_LIST_DIR}/test_headers.cpp)
  target_link_libraries(zol_test_headers PRIVATE GTest::gmock GTest::gtest Threads::Threads)
  target_compile_definitions(zol_test_headers PRIVATE
    ZOL_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    ZOL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    ZOL_BUILD_DIR="${CMAKE_BINARY_DIR}")
  target_precompile_headers(zol_test_headers PRIVATE <gtest/gtest.h> <gmock/gmock.h>)
endif()

# zol_test(NAME SOURCES a.cpp ... LIBS x y ... [PREFIX text] [LABELS l ...])
# A GoogleTest program; each test case becomes a ctest test (its name after PREFIX, if
# given), carrying LABELS. End-to-end tests find the programs under test through ZOL_BIN_DIR.
# The label "tsan" puts the program in `make test-tsan` (target tsan_tests). With ZOL_TESTS
# off it makes nothing.
function(zol_test name)
  cmake_parse_arguments(T "" "PREFIX" "SOURCES;LIBS;LABELS" ${ARGN})
  # Without tests the program is still declared, so the folders' own settings for it apply,
  # but it is never built: nothing depends on it and GoogleTest is not needed.
  if(NOT ZOL_TESTS)
    add_executable(${name} EXCLUDE_FROM_ALL ${T_SOURCES})
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZOL_TEST_BIN_DIR})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    ZOL_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    ZOL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    ZOL_BUILD_DIR="${CMAKE_BINARY_DIR}")
  if(ZOL_SHARED_TEST_HEADERS)
    target_precompile_headers(${name} REUSE_FROM zol_test_headers)
  endif()
  set(properties TIMEOUT 120)
  if(T_LABELS)
    list(APPEND properties LABELS "${T_LABELS}")
  endif()
  # The ThreadSanitizer build makes only these (and the programs they start).
  if("tsan" IN_LIST T_LABELS)
    if(NOT TARGET tsan_tests)
      add_custom_target(tsan_tests)
    endif()
    add_dependencies(tsan_tests ${name})
  endif()
  gtest_discover_tests(${name} TEST_PREFIX "${T_PREFIX}" DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()

# zol_bench(NAME SOURCES ... LIBS ...): a Google Benchmark program, run by `make bench`.
function(zol_bench name)
  if(NOT ZOL_BENCH)
    return()
  endif()
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench-bin)
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    ZOL_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    ZOL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    ZOL_BUILD_DIR="${CMAKE_BINARY_DIR}")
endfunction()

# zol_fuzz(NAME SOURCES ... LIBS ... [SEEDS dir]): a libFuzzer target. In a fuzz build it is
# also a ctest test that fuzzes for ZOL_FUZZ_SECONDS and fails on any finding.
set(ZOL_FUZZ_SECONDS 8 CACHE STRING "Seconds each fuzz target runs under ctest")
function(zol_fuzz name)
  if(NOT ZOL_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "SEEDS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz-bin)
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS} Threads::Threads)
  set(corpus ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
  set(seed_args "")
  if(F_SEEDS)
    set(seed_args ${F_SEEDS})
  endif()
  add_test(NAME fuzz.${name}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
            sh -c "mkdir -p '${corpus}' && exec \"$0\" -max_total_time=${ZOL_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 '${corpus}' ${seed_args}"
            $<TARGET_FILE:${name}>)
  set_tests_properties(fuzz.${name} PROPERTIES TIMEOUT 300 LABELS fuzz)
endfunction()

# zol_library_variant(NAME FROM TARGET [DEFINITIONS d ...] [OPTIONS o ...]): the static
# library TARGET built again from its own source list under NAME, with other compile
# definitions or options, and linking what TARGET links. The player's plain-switch build and
# the coverage-instrumented libraries of the fuzz targets are made this way, so a source file
# added to a library is in every build of it.
function(zol_library_variant name)
  cmake_parse_arguments(V "" "FROM" "DEFINITIONS;OPTIONS" ${ARGN})
  get_target_property(from_sources ${V_FROM} SOURCES)
  get_target_property(from_dir ${V_FROM} SOURCE_DIR)
  set(sources "")
  foreach(src ${from_sources})
    cmake_path(ABSOLUTE_PATH src BASE_DIRECTORY ${from_dir})
    list(APPEND sources ${src})
  endforeach()
  add_library(${name} STATIC ${sources})
  get_target_property(from_libs ${V_FROM} LINK_LIBRARIES)
  if(from_libs)
    target_link_libraries(${name} PUBLIC ${from_libs})
  endif()
  if(V_DEFINITIONS)
    target_compile_definitions(${name} PRIVATE ${V_DEFINITIONS})
  endif()
  if(V_OPTIONS)
    target_compile_options(${name} PRIVATE ${V_OPTIONS})
  endif()
endfunction()

# stapl_assemble(OUT_VAR DESTINATION_DIR SOURCE...): assembles each SOURCE (text form of
# `stapl asm`) into DESTINATION_DIR/<name>.jbc at build time; OUT_VAR gets the file list.
# Byte-code files are never kept in the tree, only their sources.
function(stapl_assemble out_var destination)
  set(outputs "")
  foreach(src ${ARGN})
    get_filename_component(name ${src} NAME_WE)
    set(out ${destination}/${name}.jbc)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${destination}
      COMMAND $<TARGET_FILE:stapl> asm ${src} -o ${out}
      DEPENDS stapl ${src}
      COMMENT "stapl asm ${name}.stapl"
      VERBATIM)
    list(APPEND outputs ${out})
  endforeach()
  set(${out_var} ${outputs} PARENT_SCOPE)
endfunction()
