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
  # The simulation stays under the sanitizers but out of the coverage feedback: its edges
  # would only lead the fuzzer astray and cost every run a scan of their counters.
  set_source_files_properties(${SIM_SOURCES} PROPERTIES COMPILE_OPTIONS -fno-sanitize=fuzzer-no-link)
  return()
endif()

enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

file(GLOB UNIT_SOURCES CONFIGURE_DEPENDS tests/unit/*.cpp)
add_executable(unit_tests ${UNIT_SOURCES})
target_include_directories(unit_tests PRIVATE src tests)
sorvanel_test_flags(unit_tests)
# The settings example that the release ships is read from the sources.
target_compile_definitions(unit_tests PRIVATE SORVANEL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_libraries(unit_tests PRIVATE sorvanel_system sorvanel_sim sorvanel_common
  GTest::gtest GTest::gtest_main Threads::Threads)
gtest_discover_tests(unit_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit)

# The service for days on its virtual clock (bench/soak_sim.cpp). The test command runs one
# day with a fixed seed; a month runs on demand (soak_sim --days 30 --seed S).
add_executable(soak_sim bench/soak_sim.cpp tests/unit/child_run.cpp)
target_include_directories(soak_sim PRIVATE src tests)
sorvanel_test_flags(soak_sim)
target_link_libraries(soak_sim PRIVATE sorvanel_system sorvanel_sim sorvanel_common Threads::Threads)
add_test(NAME soak_sim_day COMMAND soak_sim --days 1 --seed 21)
set_tests_properties(soak_sim_day PROPERTIES LABELS soak TIMEOUT 120)

# The Linux backend's own tests: they link the real backend instead of the simulation.
include(cmake/linux_backend.cmake)
file(GLOB LINUX_TEST_SOURCES CONFIGURE_DEPENDS tests/linux/*.cpp)
add_executable(linux_backend_tests ${LINUX_TEST_SOURCES})
target_include_directories(linux_backend_tests PRIVATE src tests)
sorvanel_test_flags(linux_backend_tests)
target_link_libraries(linux_backend_tests PRIVATE sorvanel_linux sorvanel_common
  GTest::gtest GTest::gtest_main Threads::Threads)
gtest_discover_tests(linux_backend_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS linux)

# The real programs: the Linux program natively and sorvanel.exe under Wine (e2e), and the
# Windows images' headers, imports, size and reproducibility (image). Not under the
# sanitizers: they test the shipped builds, not this one.
if(NOT SORVANEL_SANITIZE)
  set(E2E_SUPPORT tests/e2e/e2e_support.cpp tests/e2e/wine_debug.cpp)
  set(IMAGE_SOURCES tests/e2e/image_test.cpp tests/e2e/pe_image.cpp)
  file(GLOB E2E_SOURCES CONFIGURE_DEPENDS tests/e2e/*.cpp)
  list(REMOVE_ITEM E2E_SOURCES ${CMAKE_SOURCE_DIR}/tests/e2e/image_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/e2e/pe_image.cpp)
  add_executable(e2e_tests ${E2E_SOURCES})
  target_include_directories(e2e_tests PRIVATE src tests)
  sorvanel_test_flags(e2e_tests)
  target_compile_definitions(e2e_tests PRIVATE SORVANEL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  target_link_libraries(e2e_tests PRIVATE GTest::gtest GTest::gtest_main Threads::Threads)
  # Wine and the real file systems are shared by these tests: one at a time, though beside
  # the unit tests, which a Wine test mostly waits alongside.
  gtest_discover_tests(e2e_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS e2e RESOURCE_LOCK wine-and-mounts TIMEOUT 300)

  # Minutes of the service host under Wine's service manager (bench/soak_wine.sh); the test
  # command runs it for 20 s, beside the Wine tests' lock.
  add_executable(soak_wine bench/soak_wine.cpp ${E2E_SUPPORT})
  target_include_directories(soak_wine PRIVATE src tests)
  sorvanel_test_flags(soak_wine)
  target_compile_definitions(soak_wine PRIVATE SORVANEL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  target_link_libraries(soak_wine PRIVATE Threads::Threads)
  add_test(NAME soak_wine COMMAND sh ${CMAKE_SOURCE_DIR}/bench/soak_wine.sh 20)
  set_tests_properties(soak_wine PROPERTIES LABELS soak RESOURCE_LOCK wine-and-mounts TIMEOUT 300)

  add_executable(image_tests ${IMAGE_SOURCES} ${E2E_SUPPORT})
  target_include_directories(image_tests PRIVATE src tests)
  sorvanel_test_flags(image_tests)
  target_compile_definitions(image_tests PRIVATE SORVANEL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  target_link_libraries(image_tests PRIVATE GTest::gtest GTest::gtest_main Threads::Threads)
  # The second builds use both cores: one test at a time.
  gtest_discover_tests(image_tests DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS image RUN_SERIAL TRUE TIMEOUT 600)

  # The release packages, made twice by scripts/release.sh from the shipped builds (built
  # already when scripts/test.sh runs it) and unpacked and checked.
  add_test(NAME release_packages COMMAND bash ${CMAKE_SOURCE_DIR}/tests/release/release_test.sh)
  set_tests_properties(release_packages PROPERTIES LABELS release RUN_SERIAL TRUE TIMEOUT 900)
  # The same, signed with throw-away keys, and stopped by unusable ones.
  add_test(NAME release_signed COMMAND bash ${CMAKE_SOURCE_DIR}/tests/release/signed_release_test.sh)
  set_tests_properties(release_signed PROPERTIES LABELS release RUN_SERIAL TRUE TIMEOUT 900)
endif()

if(SORVANEL_BENCH)
  find_package(benchmark QUIET)
  file(GLOB BENCH_SOURCES CONFIGURE_DEPENDS bench/*_bench.cpp)
  if(benchmark_FOUND AND BENCH_SOURCES)
    add_executable(benchmarks ${BENCH_SOURCES})
    target_include_directories(benchmarks PRIVATE src tests)
    target_compile_options(benchmarks PRIVATE ${SORVANEL_WARNINGS})
    # The formatter once more, built as the Windows executable builds it (-Oz and the same
    # code-generation options), so that its figures are those of the shipped code and not of
    # a Debug build. Its objects come before the system library on the link line, so the
    # library's Debug copy of the formatter is not linked.
    add_library(bench_shipped_format OBJECT src/support/format.cpp)
    target_include_directories(bench_shipped_format PRIVATE src)
    sorvanel_system_flags(bench_shipped_format)
    target_compile_options(bench_shipped_format PRIVATE -Oz -fno-stack-protector
      -fno-asynchronous-unwind-tables -fno-unwind-tables)
    target_sources(benchmarks PRIVATE $<TARGET_OBJECTS:bench_shipped_format>)
    target_link_libraries(benchmarks PRIVATE sorvanel_system sorvanel_sim sorvanel_common
      benchmark::benchmark benchmark::benchmark_main)
    add_test(NAME benchmarks_run COMMAND benchmarks --benchmark_min_time=0.01)
    set_tests_properties(benchmarks_run PROPERTIES LABELS bench)
  endif()
endif()
