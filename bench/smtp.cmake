# A Windows program, run under Wine by bench/smtp.sh.
if(CORVAN_WINDOWS)
  add_executable(bench_smtp_send ${CMAKE_CURRENT_LIST_DIR}/smtp_send.cpp)
  corvan_target_flags(bench_smtp_send)
  target_link_libraries(bench_smtp_send PRIVATE corvan_crash_delivery)
endif()
