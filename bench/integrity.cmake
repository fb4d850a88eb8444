# The start-up integrity check, run under Wine by bench/integrity.sh.
if(CORVAN_WINDOWS)
  add_executable(bench_integrity ${CMAKE_CURRENT_LIST_DIR}/integrity_check.cpp)
  corvan_target_flags(bench_integrity)
  target_include_directories(bench_integrity PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(bench_integrity PRIVATE corvan_crash_core)
  corvan_symbol_map(bench_integrity)
endif()
