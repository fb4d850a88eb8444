# A Windows program carrying the reporter, run under Wine by bench/report.sh.
if(CORVAN_WINDOWS)
  add_executable(bench_report_fault ${CMAKE_CURRENT_LIST_DIR}/report_fault.cpp
                 $<TARGET_OBJECTS:corvan_crash_ui_pictures>)
  corvan_target_flags(bench_report_fault)
  # A GUI program, as corvan.exe is: faults are shown in the exception box.
  set_target_properties(bench_report_fault PROPERTIES WIN32_EXECUTABLE TRUE)
  target_link_libraries(bench_report_fault PRIVATE corvan_reporter corvan_crash_handler corvan_ui)
  include(${PROJECT_SOURCE_DIR}/tools/ResourceCompilers.cmake)
  corvan_settings_resource(bench_report_fault ${PROJECT_SOURCE_DIR}/src/app/res/crash-settings.txt)
  corvan_symbol_map(bench_report_fault SYMBOL_FILE)
endif()
