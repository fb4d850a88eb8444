# Codecs of the crash reporter against libpng, libimagequant and zip -6 on
# a captured 1920 x 1080 desktop: scripts/bench.sh codecs
if(CORVAN_WINDOWS)
  return()
endif()
find_package(PkgConfig REQUIRED)
pkg_check_modules(CODECS_BENCH_LIBS REQUIRED IMPORTED_TARGET libpng imagequant)
corvan_benchmark(codecs
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/codecs_bench.cpp
  DEPS corvan_crash_codecs PkgConfig::CODECS_BENCH_LIBS)
target_compile_definitions(bench_codecs PRIVATE
  CORVAN_BENCH_DATA_DIR="${CMAKE_CURRENT_LIST_DIR}/data")
