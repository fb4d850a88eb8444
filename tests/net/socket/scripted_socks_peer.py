#!/usr/bin/env python3
"""A SOCKS 4/4A/5 proxy for the socket tests, on 127.0.0.1 only.

It relays like a real proxy, and misbehaves on request:
  SOCKS 5 user "close"          closes after reading the credentials
  SOCKS 5 destination port 1    grants with a 255-byte name as bound
                                address, followed by "hello" in the same
                                write, then closes
  SOCKS 4/4A destination port 2 sends the granted reply a byte at a time,
                                then "hello", then closes
  SOCKS 4/4A destination port 3 closes after two bytes of the reply
Destinations other than 127.0.0.1 / localhost are refused.
usage: scripted_socks_peer.py PORT
"""
import socket
import socketserver
import struct
import sys
import threading
import time


def recv_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def recv_until_nul(conn):
    data = b""
    while True:
        c = recv_exact(conn, 1)
        if c == b"\0":
            return data
        data += c


def relay(a, b):
    def pump(src, dst):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
        except OSError:
            pass
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass
    t = threading.Thread(target=pump, args=(b, a), daemon=True)
    t.start()
    pump(a, b)
    t.join()


def local_only(host):
    return host in ("127.0.0.1", "localhost")


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        conn = self.request
        try:
            version = recv_exact(conn, 1)[0]
            if version == 4:
                self.socks4(conn)
            elif version == 5:
                self.socks5(conn)
        except (EOFError, OSError):
            pass

    def socks4(self, conn):
        command, port = struct.unpack(">BH", recv_exact(conn, 3))
        address = recv_exact(conn, 4)
        recv_until_nul(conn)  # user id
        host = socket.inet_ntoa(address)
        if address[:3] == b"\0\0\0" and address[3] != 0:
            host = recv_until_nul(conn).decode()
        if port == 2:
            for b in b"\0\x5a\0\0\0\0\0\0":
                conn.sendall(bytes([b]))
                time.sleep(0.02)
            conn.sendall(b"hello")
            return
        if port == 3:
            conn.sendall(b"\0\x5a")
            return
        if command != 1 or not local_only(host):
            conn.sendall(b"\0\x5b" + b"\0" * 6)
            return
        self.connect_and_relay(conn, host, port, b"\0\x5a" + b"\0" * 6, b"\0\x5c" + b"\0" * 6)

    def socks5(self, conn):
        count = recv_exact(conn, 1)[0]
        methods = recv_exact(conn, count)
        if 2 in methods:
            conn.sendall(b"\x05\x02")
            recv_exact(conn, 1)
            user = recv_exact(conn, recv_exact(conn, 1)[0])
            recv_exact(conn, recv_exact(conn, 1)[0])
            if user == b"close":
                return
            conn.sendall(b"\x01\x00")
        else:
            conn.sendall(b"\x05\x00")
        _, command, _, kind = recv_exact(conn, 4)
        if kind == 1:
            host = socket.inet_ntoa(recv_exact(conn, 4))
        elif kind == 3:
            host = recv_exact(conn, recv_exact(conn, 1)[0]).decode()
        else:
            return
        port = struct.unpack(">H", recv_exact(conn, 2))[0]
        if port == 1:
            name = b"n" * 255
            conn.sendall(b"\x05\x00\x00\x03\xff" + name + b"\x00\x50hello")
            return
        granted = b"\x05\x00\x00\x01\x7f\x00\x00\x01" + struct.pack(">H", self.server.server_address[1])
        if command != 1 or not local_only(host):
            conn.sendall(b"\x05\x02\x00\x01" + b"\0" * 6)
            return
        self.connect_and_relay(conn, host, port, granted, b"\x05\x05\x00\x01" + b"\0" * 6)

    def connect_and_relay(self, conn, host, port, granted, refused):
        try:
            target = socket.create_connection(("127.0.0.1", port))
        except OSError:
            conn.sendall(refused)
            return
        conn.sendall(granted)
        with target:
            relay(conn, target)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


if __name__ == "__main__":
    Server(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
