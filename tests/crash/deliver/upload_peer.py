#!/usr/bin/python3
"""An HTTP upload target for the delivery tests. Every POST body is read by
exactly its Content-Length and parsed by Python's email parser as
multipart/form-data; for request N it writes, into the given folder:
  N.txt        "name: value" lines: the request line, every header, the
               body's length as announced and as received ("extra" counts
               bytes that came after it), the parser's defects, one
               "field NAME" line per form field and one "file FIELD NAME"
               line per file part
  N.field.NAME the value of a form field
  N.file.FIELD the bytes of a file part
The answer depends on the path: /continue sends "100 Continue" and the
final answer in one write; /moved and /moved-ftp answer 302 with a
Location (http and ftp); /crash-server answers 200 with "CrashID=bp-N" as
crash servers do; /fail answers 500; /slow answers 200 a second and a
half after the request was stored; anything else 200.
  upload_peer.py PORT DIR
"""
import email.parser
import email.policy
import os
import socket
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

port, folder = int(sys.argv[1]), sys.argv[2]
os.makedirs(folder, exist_ok=True)
counter = [0]


class Target(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        counter[0] += 1
        base = os.path.join(folder, str(counter[0]))
        announced = int(self.headers.get("Content-Length", "-1"))
        body = self.rfile.read(announced) if announced > 0 else b""
        # Anything after the announced body is a length fault of the client.
        self.connection.settimeout(0.3)
        extra = b""
        try:
            extra = self.connection.recv(65536)
        except (socket.timeout, OSError):
            pass
        lines = ["request: " + self.requestline]
        lines += ["header %s: %s" % (k, v) for k, v in self.headers.items()]
        lines += ["announced: %d" % announced, "received: %d" % len(body), "extra: %d" % len(extra)]
        head = b"Content-Type: " + self.headers.get("Content-Type", "").encode() + b"\r\n\r\n"
        message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(head + body)
        lines.append("defects: %d" % len(message.defects))
        lines.append("epilogue: %r" % (message.epilogue,))
        for part in message.iter_parts() if message.is_multipart() else []:
            name = part.get_param("name", header="content-disposition")
            filename = part.get_param("filename", header="content-disposition")
            data = part.get_payload(decode=True) or b""
            if filename is None:
                lines.append("field " + name)
                with open("%s.field.%s" % (base, name), "wb") as f:
                    f.write(data)
            else:
                lines.append("file %s %s" % (name, filename))
                with open("%s.file.%s" % (base, name), "wb") as f:
                    f.write(data)
        with open(base + ".txt", "w") as f:
            f.write("\n".join(lines) + "\n")
        self.answer()

    def answer(self):
        ok = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK"
        path = self.path.split("://", 1)[-1]
        path = path[path.find("/"):]
        if path == "/continue":
            out = b"HTTP/1.1 100 Continue\r\n\r\n" + ok
        elif path.startswith("/moved"):
            target = "ftp://files.test/x" if path == "/moved-ftp" else "http://127.0.0.1:1/thanks"
            out = ("HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: 0\r\n"
                   "Connection: close\r\n\r\n" % target).encode()
        elif path == "/slow":
            time.sleep(1.5)
            out = ok
        elif path == "/crash-server":
            body = b"CrashID=bp-%d\n" % counter[0]
            out = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s" % (
                len(body), body)
        elif path == "/fail":
            out = b"HTTP/1.1 500 Broken\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
        else:
            out = ok
        self.wfile.write(out)
        self.close_connection = True


ThreadingHTTPServer(("127.0.0.1", port), Target).serve_forever()
