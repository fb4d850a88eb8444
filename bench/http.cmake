# A Windows program, run under Wine by bench/http.sh.
if(CORVAN_WINDOWS)
  add_executable(bench_http_download ${CMAKE_CURRENT_LIST_DIR}/http_download.cpp)
  corvan_target_flags(bench_http_download)
  target_link_libraries(bench_http_download PRIVATE corvan_net_http wininet psapi)
endif()
