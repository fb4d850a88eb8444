# URL splitting, the socket send chain and the SOCKS negotiation (portable
# code of the net layer).
corvan_fuzzer(net_url SOURCES net_url_fuzzer.cpp DEPS corvan_net_http)
corvan_fuzzer(net_sendchain SOURCES net_sendchain_fuzzer.cpp DEPS corvan_net_socket)
corvan_fuzzer(net_socks SOURCES net_socks_fuzzer.cpp DEPS corvan_net_socket)
