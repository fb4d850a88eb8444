#!/usr/bin/env python3
"""A scripted HTTP server for the client's tests: the request path picks
an answer that a well-behaved server would not give (resets, odd status
lines, interim answers, over-long or NUL-bearing header lines, bare HTML,
byte-by-byte delivery, relocations with a page behind them, an answer that
stops halfway without closing). Listens on
127.0.0.1 only.
    scripted_http_peer.py PORT [--truncate-all REQUEST_FILE | --serve-then-reset FILE]
With --truncate-all every request is kept in REQUEST_FILE and answered
with a program whose body breaks off long before its announced length.
With --serve-then-reset every request gets FILE whole, with its length,
and then a reset instead of an orderly close."""
import base64
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


# A page long enough to fill the client's receive buffer more than once.
PAGE = b"<html>\r\n" + b"<p>moved</p>\r\n" * 2000 + b"</html>\r\n"


def chunked(data, size=4096):
    out = b""
    for i in range(0, len(data), size):
        piece = data[i:i + size]
        out += b"%x\r\n" % len(piece) + piece + b"\r\n"
    return out + b"0\r\n\r\n"


# Answers sent in parts, with a pause between them, so that the client
# reads them in separate reads. After the last part the server closes
# unless the path is in KEEP_ALIVE, or resets when it is in RESET_AFTER.
PARTS = {
    "/moved-page": [b"HTTP/1.0 302 Found\r\nLocation: /target.exe\r\n\r\n" + PAGE],
    "/moved-page-later": [b"HTTP/1.0 302 Found\r\nLocation: /target.exe\r\n\r\n", PAGE],
    "/moved-chunked": [b"HTTP/1.1 302 Found\r\nLocation: /kept-target.exe\r\n"
                       b"Transfer-Encoding: chunked\r\n\r\n", chunked(PAGE)[:50], chunked(PAGE)[50:]],
    "/target.exe": [b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nMZ"],
    "/complete-reset": [b"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n", BODY],
    "/chunked-reset": [b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", chunked(BODY)],
    "/close-delimited-reset": [b"HTTP/1.0 200 OK\r\n\r\n", BODY],
}
KEEP_ALIVE = {"/moved-chunked"}
RESET_AFTER = {"/complete-reset", "/chunked-reset", "/close-delimited-reset"}


# NTLM v1 with the published example: user "User", password "Password",
# server challenge 0123456789abcdef, and the responses that follow from it.
NTLM_TYPE1 = bytes.fromhex("4e544c4d535350000100000007820000" + "00" * 16)
NTLM_TYPE2 = (b"NTLMSSP\0" + struct.pack("<IHHII", 2, 0, 0, 48, 0x00028205)
              + bytes.fromhex("0123456789abcdef") + b"\0" * 16)
NTLM_LM = bytes.fromhex("98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13")
NTLM_NT = bytes.fromhex("67c43011f30298a2ad35ece64f16331c44bdbed927841f94")


def ntlm_field(message, offset):
    length, _, start = struct.unpack_from("<HHI", message, offset)
    return message[start:start + length]


def ntlm_answer(request):
    """The answer to one request of the NTLM exchange at /ntlm."""
    auth = b""
    for line in request.split(b"\r\n"):
        if line.lower().startswith(b"authorization: ntlm "):
            auth = base64.b64decode(line[20:])
    keep = b"Connection: keep-alive\r\nContent-Length: 0\r\n\r\n"
    if not auth:
        return b"HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: NTLM\r\n" + keep
    if auth == NTLM_TYPE1:
        return (b"HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: NTLM "
                + base64.b64encode(NTLM_TYPE2) + b"\r\n" + keep)
    if (auth[:12] == b"NTLMSSP\0\3\0\0\0" and ntlm_field(auth, 12) == NTLM_LM
            and ntlm_field(auth, 20) == NTLM_NT and ntlm_field(auth, 36) == "User".encode("utf-16le")
            and ntlm_field(auth, 28) == b""):
        return b"HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\nMZ-ntlm"
    return b"HTTP/1.0 403 Forbidden\r\nContent-Length: 0\r\n\r\n"


def read_request(conn):
    request = b""
    while b"\r\n\r\n" not in request:
        chunk = conn.recv(4096)
        if not chunk:
            return None
        request += chunk
    return request


def reset(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def serve_parts(conn, path, served):
    """Answers one request of PARTS; True when the connection stays."""
    if path == "/kept-target.exe":
        # The count tells the test that the relocated request came on the
        # connection of the relocation answer.
        body = b"MZ%d" % served
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        return True
    for i, part in enumerate(PARTS[path]):
        if i:
            time.sleep(0.1)
        conn.sendall(part)
    if path in RESET_AFTER:
        time.sleep(0.2)
        reset(conn)
        return False
    return path in KEEP_ALIVE


TRUNCATED = b"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\nMZ" + b"\0" * 3000


def truncate_all(conn, request, record):
    with open(record, "wb") as kept:
        kept.write(request)
    conn.sendall(TRUNCATED)
    conn.shutdown(socket.SHUT_WR)
    time.sleep(0.1)


def serve_then_reset(conn, request, served_file):
    with open(served_file, "rb") as f:
        data = f.read()
    conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(data) + data)
    time.sleep(0.2)
    reset(conn)


def stall(conn):
    """Half an answer, then silence until the client goes (at most a minute)."""
    conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 20\r\n\r\n0123456789")
    conn.settimeout(60)
    try:
        while conn.recv(4096):
            pass
    except socket.timeout:
        pass


def serve_single(conn, path):
    """Answers one request of ANSWERS (or /reset, /stall); True when the
    connection is done with."""
    if path == "/stall":
        stall(conn)
        return True
    if path == "/reset":
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + BODY)
        time.sleep(0.2)
        reset(conn)
        return True
    answer = ANSWERS.get(path, b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")
    if path == "/slow":
        for byte in answer:
            conn.sendall(bytes([byte]))
            time.sleep(0.002)
    else:
        conn.sendall(answer)
    return False


def serve(conn, mode):
    # A client may go away in the middle of an answer (a relocation answer
    # is not read to its end): that ends the connection, nothing more.
    with conn:
        try:
            serve_requests(conn, mode)
        except OSError:
            pass


def serve_requests(conn, mode):
    served = 0
    while True:
        request = read_request(conn)
        if request is None:
            return
        served += 1
        if mode:
            mode(conn, request)
            return
        path = request.split(b" ")[1].decode("latin-1")
        if path == "/ntlm":
            answer = ntlm_answer(request)
            conn.sendall(answer)
            if b" 401 " in answer.split(b"\r\n")[0]:
                continue
        elif path in PARTS or path == "/kept-target.exe":
            if serve_parts(conn, path, served):
                continue
            if path in RESET_AFTER:
                return
        elif serve_single(conn, path):
            return
        conn.shutdown(socket.SHUT_WR)
        time.sleep(0.1)
        return


def main():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(sys.argv[1])))
    mode = None
    if len(sys.argv) > 3 and sys.argv[2] == "--truncate-all":
        mode = lambda conn, request: truncate_all(conn, request, sys.argv[3])
    elif len(sys.argv) > 3 and sys.argv[2] == "--serve-then-reset":
        mode = lambda conn, request: serve_then_reset(conn, request, sys.argv[3])
    listener.listen(16)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, mode), daemon=True).start()


if __name__ == "__main__":
    main()
