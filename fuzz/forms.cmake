# Assistant form resources: scripts/fuzz.sh form_stream
corvan_fuzzer(form_stream
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/form_stream_fuzzer.cpp
  DEPS corvan_crash_forms)
