# Files the reporter reads back that others may have written: the index of
# a kept report and bugreport.txt beside the program.
#   scripts/fuzz.sh kept_index    scripts/fuzz.sh bug_report_merge
corvan_fuzzer(kept_index
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/kept_index_fuzzer.cpp
  DEPS corvan_crash_core)
corvan_fuzzer(bug_report_merge
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bug_report_merge_fuzzer.cpp
  DEPS corvan_crash_core)
