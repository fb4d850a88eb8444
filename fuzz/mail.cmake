# Report delivery reads what servers send: DNS replies and SMTP replies.
#   scripts/fuzz.sh dns_reply    scripts/fuzz.sh smtp_reply
corvan_fuzzer(dns_reply
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dns_reply_fuzzer.cpp
  DEPS corvan_crash_delivery)
corvan_fuzzer(smtp_reply
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/smtp_reply_fuzzer.cpp
  DEPS corvan_crash_delivery)
