# x86 decoding speed against Zydis's decode-only call, and function parsing:
# scripts/bench.sh x86
if(NOT CORVAN_WINDOWS)
  find_library(ZYDIS_LIBRARY Zydis)
endif()
if(ZYDIS_LIBRARY AND NOT CORVAN_WINDOWS)
  corvan_benchmark(x86
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/x86_decode_bench.cpp
    DEPS corvan_x86 ${ZYDIS_LIBRARY})
endif()
