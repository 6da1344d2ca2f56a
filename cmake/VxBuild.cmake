# Build settings shared by every module.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "" FORCE)
endif()

option(VX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(VX_BUILD_BENCH "Build the benchmarks under bench/" OFF)
option(VX_BUILD_FUZZ "Build the fuzz targets under fuzz/ (clang only)" OFF)

add_compile_options(-Wall -Wextra -Werror)
# GCC 12 reports std::string copies as overlapping memcpy at -O3 (a known
# false positive of -Wrestrict); keep it a warning rather than a build stop.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wno-error=restrict)
endif()
if(VX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # GCC 12 reports maybe-uninitialized inside std::function once ASan
  # instruments it (false positives in library code).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
include(GoogleTest)

# Programs are laid out under <build>/bin with the names the suite uses for
# each other (VXAgent.exe, Imprinter.dll, ...).
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(VX_BIN_DIR ${CMAKE_BINARY_DIR}/bin)

# vx_test(NAME SOURCES... LIBS ...): one GoogleTest executable registered with ctest.
function(vx_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    PROPERTIES ENVIRONMENT "VX_BIN_DIR=${VX_BIN_DIR};VX_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
               LABELS "${T_LABELS}"
    DISCOVERY_TIMEOUT 30)
endfunction()

# vx_bench(NAME SOURCES... LIBS ...): one benchmark program in <build>/bench.
function(vx_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()
