# Symbol map readers: they read files beside a module, which may be damaged
# or hostile. scripts/fuzz.sh compact_map | text_map | td32 | jdbg
corvan_fuzzer(compact_map
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/compact_map_fuzzer.cpp
  DEPS corvan_crash_maps)
corvan_fuzzer(text_map
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/text_map_fuzzer.cpp
  DEPS corvan_crash_maps)
corvan_fuzzer(td32
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/td32_fuzzer.cpp
  DEPS corvan_crash_maps)
corvan_fuzzer(jdbg
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/jdbg_fuzzer.cpp
  DEPS corvan_crash_maps)
