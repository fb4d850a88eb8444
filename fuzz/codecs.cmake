# The compressed block reader takes bytes from symbol files beside a module:
# scripts/fuzz.sh expand_block
corvan_fuzzer(expand_block
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/expand_block_fuzzer.cpp
  DEPS corvan_crash_util)
