include_guard(GLOBAL)
# corvan_settings_resource(TARGET SOURCE)
# Compiles the settings source file into the binary stream with the
# build machine's own compiler (also in the cross build) and links it into
# TARGET as the RCDATA resource TZELEXCEPT through a generated .rc file.
set(CORVAN_MKSETTINGS_SOURCES
    ${PROJECT_SOURCE_DIR}/tools/mksettings/mksettings.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/core/DefaultSettings.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/core/MiniDump.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/core/SettingsPassword.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/core/SettingsSource.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/core/SettingsStream.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/util/TextParts.cpp)
find_program(CORVAN_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
set(CORVAN_MKSETTINGS ${CMAKE_BINARY_DIR}/tools/mksettings/mksettings CACHE INTERNAL "")
add_custom_command(
  OUTPUT ${CORVAN_MKSETTINGS}
  COMMAND ${CORVAN_HOST_CXX} -std=c++20 -O1 -I${PROJECT_SOURCE_DIR}/src
          ${CORVAN_MKSETTINGS_SOURCES} -o ${CORVAN_MKSETTINGS}
  DEPENDS ${CORVAN_MKSETTINGS_SOURCES}
  COMMENT "Building the settings compiler (host)"
  VERBATIM)
add_custom_target(mksettings ALL DEPENDS ${CORVAN_MKSETTINGS})

function(corvan_settings_resource target source)
  get_filename_component(name ${source} NAME_WE)
  set(bin ${CMAKE_CURRENT_BINARY_DIR}/${name}.bin)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
  add_custom_command(
    OUTPUT ${bin}
    COMMAND ${CORVAN_MKSETTINGS} ${source} ${bin}
    DEPENDS ${CORVAN_MKSETTINGS} ${source}
    COMMENT "Writing the settings resource of ${target}"
    VERBATIM)
  file(WRITE ${rc}.in "TZELEXCEPT RCDATA \"${bin}\"\n")
  configure_file(${rc}.in ${rc} COPYONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${bin})
  target_sources(${target} PRIVATE ${rc})
  add_dependencies(${target} mksettings)
endfunction()
