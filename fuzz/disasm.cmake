# x86 decoder, function parser and listing over arbitrary bytes.
corvan_fuzzer(disasm
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/disasm_fuzzer.cpp
  DEPS corvan_x86)
