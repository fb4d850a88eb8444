include_guard(GLOBAL)
# The two build-time compilers of text sources into resources, built with
# the build machine's own compiler (also in the cross build):
#  - mksettings: a settings source into the binary stream the reporter
#    reads, linked as the RCDATA resource TZELEXCEPT;
#  - mkforms: an assistant form source (NAME.form) into its resource "TZE"
#    + the upper-case NAME.
find_program(CORVAN_HOST_CXX NAMES c++ g++ clang++ REQUIRED)

# corvan_host_tool(NAME VARIABLE SOURCE...): builds tools/NAME from SOURCE...
# (paths below the project) and puts its path into the cache VARIABLE.
function(corvan_host_tool name variable)
  list(TRANSFORM ARGN PREPEND ${PROJECT_SOURCE_DIR}/ OUTPUT_VARIABLE sources)
  set(tool ${CMAKE_BINARY_DIR}/tools/${name}/${name})
  set(${variable} ${tool} CACHE INTERNAL "")
  add_custom_command(
    OUTPUT ${tool}
    COMMAND ${CORVAN_HOST_CXX} -std=c++20 -O1 -I${PROJECT_SOURCE_DIR}/src ${sources} -o ${tool}
    DEPENDS ${sources}
    COMMENT "Building ${name} (host)"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${tool})
endfunction()

corvan_host_tool(mksettings CORVAN_MKSETTINGS
  tools/mksettings/mksettings.cpp src/crash/core/DefaultSettings.cpp src/crash/core/MiniDump.cpp
  src/crash/core/DeliverySecurity.cpp src/crash/core/SettingsPassword.cpp src/crash/core/SettingsSource.cpp
  src/crash/core/SettingsStream.cpp src/crash/util/TextParts.cpp)
corvan_host_tool(mkforms CORVAN_MKFORMS
  tools/mkforms/mkforms.cpp src/crash/ui/FormStream.cpp src/crash/util/TextParts.cpp)

# corvan_compiled_resources(TARGET TOOL GROUP RESOURCE=SOURCE...): each
# SOURCE compiled by the host tool TOOL and linked into TARGET as the RCDATA
# RESOURCE, through the generated TARGET-GROUP.rc.
function(corvan_compiled_resources target compiler group)
  set(tool ${CMAKE_BINARY_DIR}/tools/${compiler}/${compiler})
  set(lines "")
  set(bins "")
  foreach(pair ${ARGN})
    string(REPLACE "=" ";" pair ${pair})
    list(GET pair 0 resource)
    list(GET pair 1 source)
    get_filename_component(name ${source} NAME_WE)
    set(bin ${CMAKE_CURRENT_BINARY_DIR}/${target}-${name}.bin)
    add_custom_command(
      OUTPUT ${bin}
      COMMAND ${tool} ${source} ${bin}
      DEPENDS ${tool} ${source}
      COMMENT "Compiling ${name} into a resource of ${target}"
      VERBATIM)
    string(APPEND lines "${resource} RCDATA \"${bin}\"\n")
    list(APPEND bins ${bin})
  endforeach()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-${group}.rc)
  file(WRITE ${rc}.in "${lines}")
  configure_file(${rc}.in ${rc} COPYONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${bins}")
  target_sources(${target} PRIVATE ${rc})
  add_dependencies(${target} ${compiler})
endfunction()

# corvan_settings_resource(TARGET SOURCE)
function(corvan_settings_resource target source)
  corvan_compiled_resources(${target} mksettings settings TZELEXCEPT=${source})
endfunction()

# corvan_form_resources(TARGET SOURCE...)
function(corvan_form_resources target)
  set(pairs "")
  foreach(source ${ARGN})
    get_filename_component(name ${source} NAME_WE)
    string(TOUPPER ${name} upper)
    list(APPEND pairs TZE${upper}=${source})
  endforeach()
  corvan_compiled_resources(${target} mkforms forms ${pairs})
endfunction()

set(CORVAN_BUILTIN_FORMS
    ${PROJECT_SOURCE_DIR}/src/crash/ui/res/forms/ContactForm.form
    ${PROJECT_SOURCE_DIR}/src/crash/ui/res/forms/DetailsForm.form
    ${PROJECT_SOURCE_DIR}/src/crash/ui/res/forms/ScrShotForm.form
    CACHE INTERNAL "")
