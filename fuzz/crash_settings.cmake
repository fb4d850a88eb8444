# Settings resource parser and PE image reader: both read bytes that may be
# damaged (a patched executable, a foreign module).
corvan_fuzzer(settings_stream
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_stream_fuzzer.cpp
  DEPS corvan_crash_core)
corvan_fuzzer(pe_image
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pe_image_fuzzer.cpp
  DEPS corvan_crash_tools)
# The minidump's stack patch locator reads a dump file back.
corvan_fuzzer(minidump_patch
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/minidump_patch_fuzzer.cpp
  DEPS corvan_crash_core)
