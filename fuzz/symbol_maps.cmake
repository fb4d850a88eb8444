# Symbol map readers: they read files beside a module, which may be damaged
# or hostile. scripts/fuzz.sh compact_map | text_map
corvan_fuzzer(compact_map
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/compact_map_fuzzer.cpp
  DEPS corvan_crash_maps)
corvan_fuzzer(text_map
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/text_map_fuzzer.cpp
  DEPS corvan_crash_maps)
