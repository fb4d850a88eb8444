#!/usr/bin/python3
"""An SMTP server for the delivery tests: aiosmtpd on loopback that stores
every message it accepts, read back by Python's email parser.

For message N it writes, into the given folder:
  N.eml        the DATA content as received (dot transparency undone)
  N.txt        "name: value" lines: the envelope, the login, every header
               (the subject decoded), the parser's defects, and one
               "part I TYPE FILENAME" line per attachment
  N.body       the text part (or the whole body of a plain message)
  N.partI      the decoded bytes of attachment I

Modes: plain; auth (requires AUTH, account user/secret); noauthlogin
(offers AUTH PLAIN only); slow (every reply 0.5 s late); split (every reply
in four packets, the line end cut in two); drop (the connection closes
right after the message is accepted: QUIT gets no answer); starttls
(STARTTLS required before anything else, AUTH required and only over TLS);
implicit (TLS from the first byte, AUTH required); late (the message is
accepted 30 s after its end). The TLS modes use localhost.pem/.key of the
folder in $CORVAN_TLS_CA. N.txt says "tls: yes" for a message that came
over TLS.
  smtp_peer.py HOST PORT DIR MODE
"""
import asyncio
import email
import email.header
import email.policy
import os
import socket
import ssl
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

host, port, folder, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
os.makedirs(folder, exist_ok=True)
counter = [0]


def authenticate(server, session, envelope, mechanism, data):
    ok = isinstance(data, LoginPassword) and data.login == b"user" and data.password == b"secret"
    if ok:
        session.login_user = data.login.decode()
    return AuthResult(success=ok)


class Handler:
    async def handle_DATA(self, server, session, envelope):
        counter[0] += 1
        n = counter[0]
        raw = envelope.original_content or envelope.content
        base = os.path.join(folder, str(n))
        with open(base + ".eml", "wb") as f:
            f.write(raw)
        message = email.message_from_bytes(raw, policy=email.policy.compat32)
        lines = [
            "mail_from: " + envelope.mail_from,
            "rcpt_to: " + ",".join(envelope.rcpt_tos),
            "login: " + str(getattr(session, "login_user", None) or "none"),
            "defects: " + str(len(message.defects)),
            "tls: " + ("yes" if session.ssl or mode == "implicit" else "no"),
        ]
        for name, value in message.items():
            if name.lower() == "subject":
                value = str(email.header.make_header(email.header.decode_header(value)))
            lines.append("header " + name + ": " + value.replace("\r\n", "").replace("\n", ""))
        if message.is_multipart():
            parts = message.get_payload()
            with open(base + ".body", "wb") as f:
                f.write(parts[0].get_payload(decode=True))
            for i, part in enumerate(parts[1:], 1):
                lines.append("part %d %s %s" % (i, part.get_content_type(), part.get_filename()))
                lines.append("part_defects %d %d" % (i, len(part.defects)))
                with open("%s.part%d" % (base, i), "wb") as f:
                    f.write(part.get_payload(decode=True))
        else:
            with open(base + ".body", "wb") as f:
                f.write(message.get_payload(decode=False).encode("latin-1"))
        with open(base + ".txt", "w") as f:
            f.write("\n".join(lines) + "\n")
        if mode == "drop":
            asyncio.get_running_loop().call_later(0.05, server.transport.close)
        if mode == "late":
            await asyncio.sleep(30)
        return "250 Message accepted for delivery"


class PeerSmtp(SMTP):
    async def push(self, status):
        response = (status.encode("ascii") if isinstance(status, str) else status) + b"\r\n"
        if mode == "slow":
            await asyncio.sleep(0.5)
        if mode == "split":
            sock = self.transport.get_extra_info("socket")
            if sock is not None:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for piece in (response[:4], response[4:-2], response[-2:-1], response[-1:]):
                self._writer.write(piece)
                await self._writer.drain()
                await asyncio.sleep(0.03)
            return
        self._writer.write(response)
        await self._writer.drain()


def tls_context():
    ca = os.environ["CORVAN_TLS_CA"]
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(os.path.join(ca, "localhost.pem"), os.path.join(ca, "localhost.key"))
    return context


class PeerController(Controller):
    def factory(self):
        options = dict(hostname="mail.test", auth_require_tls=False, authenticator=authenticate)
        if mode in ("auth", "implicit"):
            options["auth_required"] = True
        if mode == "starttls":
            options.update(tls_context=tls_context(), require_starttls=True, auth_required=True,
                           auth_require_tls=True)
        if mode == "noauthlogin":
            options["auth_exclude_mechanism"] = ["LOGIN"]
        return PeerSmtp(self.handler, **options)


extra = dict(ssl_context=tls_context()) if mode == "implicit" else {}
controller = PeerController(Handler(), hostname=host, port=port, ready_timeout=10, **extra)
controller.start()
try:
    while True:
        time.sleep(3600)
finally:
    controller.stop()
