include_guard(GLOBAL)
# corvan_symbol_map(TARGET): the Windows program TARGET gets its symbol
# maps: NAME.map beside it and the compact map embedded as resource EXCEPT
# of type ZEL, written by tools/mkmap from the first link and added in a
# second link that moves no code (checked; the build fails otherwise). A
# program with the reporter also gets its calibration resource CALIBRATE,
# and every mapped program its PE checksum for the start-up check.
# corvan_symbol_map(TARGET SYMBOL_FILE): also a CodeView record, the DWARF
# moved out into NAME.debug beside the program and a Breakpad symbol file
# under symbols/ of the build (see tools/mkmap/link-with-map.sh).
# The map tool is built with the build machine's own compiler.
set(CORVAN_MKMAP_SOURCES
    ${PROJECT_SOURCE_DIR}/tools/mkmap/mkmap.cpp
    ${PROJECT_SOURCE_DIR}/tools/mkmap/BreakpadSymbols.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/analysis/CompactMap.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/analysis/MapTables.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/analysis/TextMap.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/analysis/zelMapFile.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/analysis/ModuleCalibration.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/analysis/PeChecksum.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/analysis/PeImage.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/analysis/Unmangle.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/util/Crc32.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/util/Deflate.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/util/TextParts.cpp)
find_program(CORVAN_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
set(CORVAN_MKMAP ${CMAKE_BINARY_DIR}/tools/mkmap/mkmap CACHE INTERNAL "")
add_custom_command(
  OUTPUT ${CORVAN_MKMAP}
  COMMAND ${CORVAN_HOST_CXX} -std=c++20 -O1 -I${PROJECT_SOURCE_DIR}/src ${CORVAN_MKMAP_SOURCES}
          -lz -o ${CORVAN_MKMAP}
  DEPENDS ${CORVAN_MKMAP_SOURCES}
  COMMENT "Building the symbol map tool (host)"
  VERBATIM)
add_custom_target(mkmap ALL DEPENDS ${CORVAN_MKMAP})

if(CORVAN_WINDOWS)
  foreach(tool nm objdump windres objcopy)
    string(TOUPPER ${tool} upper)
    find_program(CORVAN_${upper} NAMES i686-w64-mingw32-${tool} REQUIRED)
  endforeach()
  # Every program link of the Windows build runs through the launcher; it
  # maps the programs whose link line carries the marker option below (a
  # define, which the link ignores) and runs the others unchanged.
  set(CMAKE_CXX_LINK_EXECUTABLE
      "${PROJECT_SOURCE_DIR}/tools/mkmap/link-with-map.sh ${CORVAN_MKMAP} ${CORVAN_NM} ${CORVAN_OBJDUMP} ${CORVAN_WINDRES} ${CORVAN_OBJCOPY} ${CMAKE_BINARY_DIR}/symbols ${CMAKE_CXX_LINK_EXECUTABLE}")
endif()

function(corvan_symbol_map target)
  cmake_parse_arguments(ARG "SYMBOL_FILE" "" "" ${ARGN})
  if(NOT CORVAN_WINDOWS)
    return()
  endif()
  target_link_options(${target} PRIVATE -DCORVAN_SYMBOL_MAP)
  if(ARG_SYMBOL_FILE)
    target_link_options(${target} PRIVATE -DCORVAN_SYMBOL_FILE)
  endif()
  add_dependencies(${target} mkmap)
  # Relink when the tool or the launcher changes.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${CORVAN_MKMAP}
               ${PROJECT_SOURCE_DIR}/tools/mkmap/link-with-map.sh)
endfunction()
