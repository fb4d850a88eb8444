# A Windows program with its symbol map, run under Wine by bench/tracer.sh.
if(CORVAN_WINDOWS)
  add_executable(bench_tracer ${CMAKE_CURRENT_LIST_DIR}/tracer_threads.cpp)
  corvan_target_flags(bench_tracer)
  target_link_libraries(bench_tracer PRIVATE corvan_crash_trace)
  corvan_symbol_map(bench_tracer)
endif()
