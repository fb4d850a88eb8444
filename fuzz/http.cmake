include(${PROJECT_SOURCE_DIR}/tests/net/http/FakeHttpPeer.cmake)
corvan_fuzzer(http_response
  SOURCES http_response_fuzzer.cpp
  DEPS corvan_fake_http_peer)

corvan_fuzzer(http_chunks
  SOURCES http_chunks_fuzzer.cpp
  DEPS corvan_net_http)

corvan_fuzzer(http_ntlm
  SOURCES http_ntlm_fuzzer.cpp
  DEPS corvan_net_http)
