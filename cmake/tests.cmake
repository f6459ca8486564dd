# The simulated Windows and everything that runs over it: unit and scenario tests,
# end-to-end tests of the real programs, image checks, benchmarks and fuzz targets.
find_package(Threads REQUIRED)

file(GLOB SIM_SOURCES CONFIGURE_DEPENDS tests/sim/*.cpp)
add_library(sorvanel_sim STATIC ${SIM_SOURCES})
target_include_directories(sorvanel_sim PUBLIC src tests)
target_compile_options(sorvanel_sim PRIVATE ${SORVANEL_WARNINGS})
if(SORVANEL_SANITIZE)
  target_compile_options(sorvanel_sim PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer)
endif()
target_link_libraries(sorvanel_sim PUBLIC sorvanel_common Threads::Threads)

if(SORVANEL_FUZZ)
  include(cmake/fuzz.cmake)
  return()
endif()

enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

file(GLOB UNIT_SOURCES CONFIGURE_DEPENDS tests/unit/*.cpp)
add_executable(unit_tests ${UNIT_SOURCES})
# The mount-table rules of the Linux backend are plain functions over texts; they are
# tested here on sample tables.
target_sources(unit_tests PRIVATE src/platform/linux/mountinfo.cpp)
target_include_directories(unit_tests PRIVATE src tests)
sorvanel_test_flags(unit_tests)
target_link_libraries(unit_tests PRIVATE sorvanel_system sorvanel_sim sorvanel_common
  GTest::gtest GTest::gtest_main Threads::Threads)
gtest_discover_tests(unit_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit)

file(GLOB E2E_SOURCES CONFIGURE_DEPENDS tests/e2e/*.cpp)
if(NOT SORVANEL_SANITIZE AND E2E_SOURCES)
  add_executable(e2e_tests ${E2E_SOURCES})
  target_include_directories(e2e_tests PRIVATE src tests)
  sorvanel_test_flags(e2e_tests)
  target_compile_definitions(e2e_tests PRIVATE SORVANEL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  target_link_libraries(e2e_tests PRIVATE GTest::gtest GTest::gtest_main Threads::Threads)
  # Wine and the real file systems are shared by these tests: run them one at a time.
  gtest_discover_tests(e2e_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS e2e RUN_SERIAL TRUE TIMEOUT 300)
endif()

if(SORVANEL_BENCH)
  find_package(benchmark QUIET)
  file(GLOB BENCH_SOURCES CONFIGURE_DEPENDS bench/*.cpp)
  if(benchmark_FOUND AND BENCH_SOURCES)
    add_executable(benchmarks ${BENCH_SOURCES})
    target_include_directories(benchmarks PRIVATE src tests)
    target_compile_options(benchmarks PRIVATE ${SORVANEL_WARNINGS})
    target_link_libraries(benchmarks PRIVATE sorvanel_system sorvanel_sim sorvanel_common
      benchmark::benchmark benchmark::benchmark_main)
    add_test(NAME benchmarks_run COMMAND benchmarks --benchmark_min_time=0.01)
    set_tests_properties(benchmarks_run PROPERTIES LABELS bench)
  endif()
endif()
