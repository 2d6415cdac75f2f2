# Shared build helpers.

set(VELMORA_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

add_library(velmora_options INTERFACE)
target_compile_options(velmora_options INTERFACE
  -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
if(VELMORA_SANITIZE)
  target_compile_options(velmora_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(velmora_options INTERFACE -fsanitize=address,undefined)
endif()
if(VELMORA_TSAN)
  target_compile_options(velmora_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(velmora_options INTERFACE -fsanitize=thread)
endif()
if(VELMORA_WERROR)
  target_compile_options(velmora_options INTERFACE -Werror)
endif()
if(FUZZ)
  # A fuzzer run stops at the first undefined behaviour, as at a crash.
  target_compile_options(velmora_options INTERFACE -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
  target_link_options(velmora_options INTERFACE -fsanitize=address,undefined)
endif()

# Sanitizer builds exist to run the tests, so they are built lean by default:
# - line tables only (-g1): all a sanitizer report or a backtrace needs, and far
#   cheaper to compile and link than full debug info;
# - test, benchmark and fuzz-entry code at -O1 (velmora_lean_test_code, called
#   before those folders are added); the libraries and tools under test keep the
#   build type's optimisation.
if(VELMORA_SANITIZE OR VELMORA_TSAN)
  set(lean_default ON)
else()
  set(lean_default OFF)
endif()
option(VELMORA_LEAN_TEST_BUILD "Line-table debug info, and test code at -O1 (default in sanitizer builds)"
       ${lean_default})
if(VELMORA_LEAN_TEST_BUILD)
  add_compile_options($<$<CONFIG:RelWithDebInfo,Debug>:-g1>)
endif()

# lld links the many sanitizer-instrumented test programs much faster than ld.bfd.
include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=lld VELMORA_HAVE_LLD)
if(VELMORA_HAVE_LLD)
  add_link_options(-fuse-ld=lld)
endif()

# Called in the top folder before the test, bench and fuzz folders are added:
# their code is compiled at -O1 in a lean build.
macro(velmora_lean_test_code)
  if(VELMORA_LEAN_TEST_BUILD)
    add_compile_options($<$<CONFIG:RelWithDebInfo,Release,MinSizeRel>:-O1>)
  endif()
endmacro()

# Adds every subfolder of DIR that has a CMakeLists.txt; a subfolder without one
# is searched further down. So each area (tools/x, tests/x/y, bench/x, fuzz/x)
# keeps its build rules to itself.
function(velmora_add_children dir)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${child})
      if(EXISTS ${child}/CMakeLists.txt)
        add_subdirectory(${child})
      elseif(NOT child MATCHES "/(data|node_modules)$")
        file(RELATIVE_PATH rel ${CMAKE_CURRENT_SOURCE_DIR} ${child})
        velmora_add_children(${rel})
      endif()
    endif()
  endforeach()
endfunction()

# Precompiled headers (cmake/pch). A library parses its common headers once
# (velmora_pch); the test, fuzz and benchmark programs, one source or a few
# each, share one compiled header per kind (velmora_shared_pch). Off under a
# compiler launcher such as ccache, which would then cache nothing.
if(CMAKE_CXX_COMPILER_LAUNCHER)
  set(pch_default OFF)
else()
  set(pch_default ON)
endif()
option(VELMORA_PCH "Precompiled headers (default: on, unless a compiler launcher such as ccache is set)"
       ${pch_default})
set(VELMORA_PCH_DIR ${CMAKE_CURRENT_LIST_DIR}/pch)

# velmora_pch(target header): TARGET's C++ sources start with cmake/pch/HEADER,
# compiled once for the target. A source with options of its own (say -mavx)
# could not use the header: it is left out, once the folder has set them.
function(velmora_pch target header)
  if(VELMORA_PCH)
    target_precompile_headers(${target} PRIVATE ${VELMORA_PCH_DIR}/${header})
    cmake_language(EVAL CODE "cmake_language(DEFER CALL velmora_pch_skip_own_flags [[${target}]])")
  endif()
endfunction()
function(velmora_pch_skip_own_flags target)
  get_target_property(srcs ${target} SOURCES)
  foreach(src IN LISTS srcs)
    get_source_file_property(opts ${src} COMPILE_OPTIONS)
    get_source_file_property(flags ${src} COMPILE_FLAGS)
    if(opts OR flags)
      set_source_files_properties(${src} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
    endif()
  endforeach()
endfunction()

# velmora_shared_pch(target kind): TARGET reuses the compiled header of KIND:
# test (std.h, gtest), qt_test (qt.h, Qt Test, gtest), lean (std.h, for fuzz
# entries and benchmarks) or tool (std.h, for the programs and libraries under
# tools/). A header is only valid with the same optimisation (GCC may even
# crash on a mismatch), code model and thread macros: the first user's folder
# sets the level (tools/ at the build type's, the test, bench and fuzz folders
# at the lean one: each kind stays on one side), -fPIC as Qt asks and -pthread
# as GStreamer does. A program that still differs gets a warning and parses
# the header as usual.
function(velmora_shared_pch target kind)
  if(NOT VELMORA_PCH)
    return()
  endif()
  set(pch velmora_${kind}_pch)
  if(NOT TARGET ${pch})
    file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/${pch}.cpp CONTENT "int main() { return 0; }\n")
    add_executable(${pch} ${CMAKE_BINARY_DIR}/${pch}.cpp)
    target_link_libraries(${pch} PRIVATE velmora_options Threads::Threads)
    target_compile_options(${pch} PRIVATE -fPIC -pthread)
    if(kind STREQUAL "test")
      target_link_libraries(${pch} PRIVATE GTest::gtest)
      target_precompile_headers(${pch} PRIVATE ${VELMORA_PCH_DIR}/test.h)
    elseif(kind STREQUAL "qt_test")
      find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
      target_link_libraries(${pch} PRIVATE GTest::gtest Qt6::Widgets Qt6::Test)
      target_precompile_headers(${pch} PRIVATE ${VELMORA_PCH_DIR}/qt_test.h)
    else()
      target_precompile_headers(${pch} PRIVATE ${VELMORA_PCH_DIR}/std.h)
    endif()
  endif()
  target_compile_options(${target} PRIVATE -fPIC -pthread -Wno-error=invalid-pch)
  target_precompile_headers(${target} REUSE_FROM ${pch})
endfunction()

# velmora_add_test(name SOURCES a.cpp ... LIBS lib ... [LABELS l ...] [TIMEOUT s] [RESOURCE_LOCK r]
#                  [OWN_NETNS] [PER_CASE])
# One GoogleTest executable. By default it is one CTest test, named after the
# program, that runs every case in one process: a sanitizer start-up and leak
# scan per program instead of per case. Its output names every case and every
# failure; run one case with `prog --gtest_filter=Suite.Case`. TIMEOUT is per
# case; the program as a whole gets VELMORA_TEST_PROGRAM_TIMEOUT or more.
# PER_CASE makes each case a CTest test of its own (found when ctest starts);
# OWN_NETNS (each case in a network namespace of its own with only loopback up,
# for P2P code and the processes it starts) and RESOURCE_LOCK imply it.
# -DVELMORA_TEST_PER_CASE=ON does it for every program.
option(VELMORA_TEST_PER_CASE "One CTest test per GoogleTest case (default: one per program)" OFF)
set(VELMORA_TEST_PROGRAM_TIMEOUT 600 CACHE STRING "CTest time-out of a test program that runs all its cases")
function(velmora_add_test name)
  cmake_parse_arguments(T "OWN_NETNS;PER_CASE" "TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(T_OWN_NETNS)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${VELMORA_ROOT}/tests/p2p/own_netns.sh)
  endif()
  target_link_libraries(${name} PRIVATE ${T_LIBS} velmora_options GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${VELMORA_ROOT})
  # gtest's header and the standard ones, parsed once for every test program;
  # Qt Test programs share one with the Qt headers too.
  if("Qt6::Test" IN_LIST T_LIBS)
    velmora_shared_pch(${name} qt_test)
  else()
    velmora_shared_pch(${name} test)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(T_LABELS)
    # Every label also goes to the folder, whose tests all get it.
    set_property(DIRECTORY APPEND PROPERTY LABELS ${T_LABELS})
  endif()
  if(NOT (T_PER_CASE OR T_OWN_NETNS OR T_RESOURCE_LOCK OR VELMORA_TEST_PER_CASE))
    add_test(NAME ${name} COMMAND ${name} --gtest_color=no WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    set(timeout ${VELMORA_TEST_PROGRAM_TIMEOUT})
    if(T_TIMEOUT GREATER timeout)
      set(timeout ${T_TIMEOUT})
    endif()
    # COST: a whole program is among the longer tests; on a first run (no
    # timings yet) it starts before the many short ones instead of trailing.
    set_tests_properties(${name} PROPERTIES TIMEOUT ${timeout} COST 100)
    if(T_LABELS)
      set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
    return()
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    # gtest_discover_tests flattens list values, so a test case carries the
    # first label (and the folder's).
    list(GET T_LABELS 0 first)
    list(APPEND props LABELS ${first})
  endif()
  if(T_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES ${props}
    EXTRA_ARGS --gtest_color=no)
endfunction()

# velmora_add_bench(name SOURCES a.cpp ... LIBS lib ...)
function(velmora_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} velmora_options benchmark::benchmark Threads::Threads)
  target_include_directories(${name} PRIVATE ${VELMORA_ROOT})
  velmora_shared_pch(${name} lean)
endfunction()

# velmora_add_fuzzer(name SOURCES a.cpp ... LIBS lib ... [CORPUS dir] [RUNS n])
# With FUZZ=ON a libFuzzer binary; otherwise the same entry point linked with a
# replay driver that runs the corpus and seeded random mutations as a CTest test.
function(velmora_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS;RUNS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS} velmora_options Threads::Threads)
  target_include_directories(${name} PRIVATE ${VELMORA_ROOT})
  velmora_shared_pch(${name} lean)
  if(FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    # The replay driver, compiled once for every fuzz target.
    if(NOT TARGET velmora_fuzz_replay)
      add_library(velmora_fuzz_replay STATIC ${VELMORA_ROOT}/fuzz/replay_driver.cpp)
      target_link_libraries(velmora_fuzz_replay PRIVATE velmora_options)
    endif()
    target_link_libraries(${name} PRIVATE velmora_fuzz_replay)
    if(NOT F_RUNS)
      set(F_RUNS 2000)
    endif()
    set(args --runs=${F_RUNS})
    if(F_CORPUS)
      list(APPEND args ${F_CORPUS})
    endif()
    if(VELMORA_TESTS)
      add_test(NAME fuzz.${name} COMMAND ${name} ${args})
      # COST: as a whole test program (see velmora_add_test).
      set_tests_properties(fuzz.${name} PROPERTIES TIMEOUT 300 LABELS fuzz COST 100)
    endif()
  endif()
endfunction()

# velmora_add_library(name DIRS dir ... [LIBS lib ...] [PCH header])
# A static library from every .c/.cpp under the given folders (relative to the
# calling folder). Sources are globbed so new files need no build edit. PCH:
# the precompiled header from cmake/pch (default std.h).
function(velmora_add_library name)
  cmake_parse_arguments(L "" "PCH" "DIRS;LIBS" ${ARGN})
  set(srcs)
  foreach(d ${L_DIRS})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${d}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/${d}/*.c)
    list(APPEND srcs ${found})
  endforeach()
  if(NOT srcs)
    set(empty ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${empty} "// no sources yet\n")
    set(srcs ${empty})
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${VELMORA_ROOT})
  target_link_libraries(${name} PUBLIC ${L_LIBS} Threads::Threads PRIVATE velmora_options)
  if(NOT L_PCH)
    set(L_PCH std.h)
  endif()
  velmora_pch(${name} ${L_PCH})
endfunction()
