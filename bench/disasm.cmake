# x86 decoding speed against Zydis's decode-only call, and function parsing:
# scripts/bench.sh x86 (native only).
if(NOT CORVAN_WINDOWS)
  find_library(ZYDIS_LIBRARY Zydis)
  if(ZYDIS_LIBRARY)
    corvan_benchmark(x86
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/x86_decode_bench.cpp
      DEPS corvan_x86 ${ZYDIS_LIBRARY})
  endif()
endif()
