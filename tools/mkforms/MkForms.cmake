include_guard(GLOBAL)
# corvan_form_resources(TARGET SOURCE...)
# Compiles assistant form source files (NAME.form) with the build machine's
# own compiler and links each into TARGET as the RCDATA resource "TZE" +
# the upper-case NAME through a generated .rc file.
set(CORVAN_MKFORMS_SOURCES
    ${PROJECT_SOURCE_DIR}/tools/mkforms/mkforms.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/ui/FormStream.cpp
    ${PROJECT_SOURCE_DIR}/src/crash/util/TextParts.cpp)
find_program(CORVAN_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
set(CORVAN_MKFORMS ${CMAKE_BINARY_DIR}/tools/mkforms/mkforms CACHE INTERNAL "")
add_custom_command(
  OUTPUT ${CORVAN_MKFORMS}
  COMMAND ${CORVAN_HOST_CXX} -std=c++20 -O1 -I${PROJECT_SOURCE_DIR}/src
          ${CORVAN_MKFORMS_SOURCES} -o ${CORVAN_MKFORMS}
  DEPENDS ${CORVAN_MKFORMS_SOURCES}
  COMMENT "Building the form compiler (host)"
  VERBATIM)
add_custom_target(mkforms ALL DEPENDS ${CORVAN_MKFORMS})

function(corvan_form_resources target)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-forms.rc)
  set(lines "")
  set(bins "")
  foreach(source ${ARGN})
    get_filename_component(name ${source} NAME_WE)
    string(TOUPPER ${name} upper)
    set(bin ${CMAKE_CURRENT_BINARY_DIR}/${target}-${name}.bin)
    add_custom_command(
      OUTPUT ${bin}
      COMMAND ${CORVAN_MKFORMS} ${source} ${bin}
      DEPENDS ${CORVAN_MKFORMS} ${source}
      COMMENT "Compiling the assistant form ${name}"
      VERBATIM)
    string(APPEND lines "TZE${upper} RCDATA \"${bin}\"\n")
    list(APPEND bins ${bin})
  endforeach()
  file(WRITE ${rc}.in "${lines}")
  configure_file(${rc}.in ${rc} COPYONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${bins}")
  target_sources(${target} PRIVATE ${rc})
  add_dependencies(${target} mkforms)
endfunction()

set(CORVAN_BUILTIN_FORMS
    ${PROJECT_SOURCE_DIR}/src/crash/ui/res/forms/ContactForm.form
    ${PROJECT_SOURCE_DIR}/src/crash/ui/res/forms/DetailsForm.form
    ${PROJECT_SOURCE_DIR}/src/crash/ui/res/forms/ScrShotForm.form
    CACHE INTERNAL "")
