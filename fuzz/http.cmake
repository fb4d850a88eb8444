corvan_fuzzer(http_response
  SOURCES http_response_fuzzer.cpp ${PROJECT_SOURCE_DIR}/tests/net/http/FakeHttpPeer.cpp
  DEPS corvan_net_http)
target_include_directories(fuzz_http_response PRIVATE ${PROJECT_SOURCE_DIR}/tests/net/http)

corvan_fuzzer(http_chunks
  SOURCES http_chunks_fuzzer.cpp
  DEPS corvan_net_http)

corvan_fuzzer(http_ntlm
  SOURCES http_ntlm_fuzzer.cpp
  DEPS corvan_net_http)
