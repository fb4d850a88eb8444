include_guard(GLOBAL)
# The HTTP client's scripted peer, for the client's tests, the installer's
# tests and the response fuzzer.
add_library(corvan_fake_http_peer STATIC ${CMAKE_CURRENT_LIST_DIR}/FakeHttpPeer.cpp)
target_include_directories(corvan_fake_http_peer PUBLIC ${CMAKE_CURRENT_LIST_DIR})
corvan_target_flags(corvan_fake_http_peer)
target_link_libraries(corvan_fake_http_peer PUBLIC corvan_net_http)
