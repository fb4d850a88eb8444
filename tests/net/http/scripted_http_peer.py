#!/usr/bin/env python3
"""A scripted HTTP server for the client's tests: the request path picks
an answer that a well-behaved server would not give (resets, odd status
lines, interim answers, over-long or NUL-bearing header lines, bare HTML,
byte-by-byte delivery). Listens on 127.0.0.1 only.
    scripted_http_peer.py PORT [--truncate-all REQUEST_FILE]
With --truncate-all every request is kept in REQUEST_FILE and answered
with a program whose body breaks off long before its announced length."""
import socket
import struct
import sys
import threading
import time

BODY = b"0123456789" * 10

ANSWERS = {
    "/interim": b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok",
    "/longheader": b"HTTP/1.0 200 OK\r\nX-Long: " + b"a" * 20000 + b"\r\nContent-Length: 4\r\n\r\nbody",
    "/nul": b"HTTP/1.0 200 OK\r\nX-Odd: a\0b\r\nContent-Length: 2\r\n\r\nok",
    "/html": b"<HTML><body>bare</body></HTML>\r\n",
    "/badstatus": b"HTTP/1.0 2x0 Odd\r\nContent-Length: 2\r\n\r\nok",
    "/slow": b"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n" + BODY,
    "/chunked-broken": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel",
    "/chunked-trailer": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n"
                        b"5\r\nhello\r\n6;x=y\r\n world\r\n0\r\nX-T: 1\r\n\r\n",
}


TRUNCATED = b"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\nMZ" + b"\0" * 3000


def serve(conn, record=None):
    with conn:
        request = b""
        while b"\r\n\r\n" not in request:
            chunk = conn.recv(4096)
            if not chunk:
                return
            request += chunk
        path = request.split(b" ")[1].decode("latin-1")
        if record:
            with open(record, "wb") as kept:
                kept.write(request)
            conn.sendall(TRUNCATED)
            return
        if path == "/reset":
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + BODY)
            time.sleep(0.2)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        answer = ANSWERS.get(path, b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")
        if path == "/slow":
            for byte in answer:
                conn.sendall(bytes([byte]))
                time.sleep(0.002)
        else:
            conn.sendall(answer)
        conn.shutdown(socket.SHUT_WR)
        time.sleep(0.1)


def main():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(sys.argv[1])))
    record = sys.argv[3] if len(sys.argv) > 3 and sys.argv[2] == "--truncate-all" else None
    listener.listen(16)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, record), daemon=True).start()


if __name__ == "__main__":
    main()
