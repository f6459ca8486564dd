# libFuzzer targets, one per file in fuzz/, each also registered as a short CTest run.
# Undefined behaviour stops the run like a crash (-fno-sanitize-recover), so a short run
# that meets it fails instead of printing a warning and passing.
file(GLOB FUZZ_SOURCES CONFIGURE_DEPENDS fuzz/*.cpp)
set(SORVANEL_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzz target runs under CTest")
enable_testing()
foreach(source ${FUZZ_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  target_include_directories(${name} PRIVATE src tests)
  target_compile_options(${name} PRIVATE ${SORVANEL_WARNINGS} -fsanitize=fuzzer,address,undefined
    -fno-sanitize-recover=undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE sorvanel_system sorvanel_sim sorvanel_common)
  add_test(NAME ${name} COMMAND ${name} -max_total_time=${SORVANEL_FUZZ_SECONDS} -rss_limit_mb=2048
    -print_final_stats=1)
  set_tests_properties(${name} PROPERTIES LABELS fuzz)
endforeach()
foreach(lib sorvanel_system sorvanel_sim sorvanel_common)
  target_compile_options(${lib} PRIVATE -fsanitize=fuzzer-no-link,address,undefined
    -fno-sanitize-recover=undefined)
endforeach()
