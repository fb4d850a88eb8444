# Report delivery reads what servers send: DNS replies and SMTP replies.
#   scripts/fuzz.sh dns_reply    scripts/fuzz.sh smtp_reply
corvan_fuzzer(dns_reply
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dns_reply_fuzzer.cpp
  DEPS corvan_crash_delivery)
corvan_fuzzer(smtp_reply
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/smtp_reply_fuzzer.cpp
  DEPS corvan_crash_delivery)
# The upload's answer and relocation, and the mailto link built from the
# report: scripts/fuzz.sh upload_answer | upload_relocation | mailto
corvan_fuzzer(upload_answer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/upload_answer_fuzzer.cpp
  DEPS corvan_crash_delivery)
corvan_fuzzer(upload_relocation
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/upload_relocation_fuzzer.cpp
  DEPS corvan_crash_delivery)
corvan_fuzzer(mailto
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mailto_fuzzer.cpp
  DEPS corvan_crash_delivery)
