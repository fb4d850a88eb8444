# URL splitting and the socket send chain (portable code of the net layer).
corvan_fuzzer(net_url SOURCES net_url_fuzz.cpp DEPS corvan_net_http)
corvan_fuzzer(net_sendchain SOURCES net_sendchain_fuzz.cpp DEPS corvan_net_socket)
corvan_fuzzer(net_socks SOURCES net_socks_fuzz.cpp DEPS corvan_net_socket)
