#!/usr/bin/python3
"""Sends the same bug report mail as bench_smtp_send with Python's smtplib
(the message built by the email package, the attachment base64-encoded)
and prints the fastest of several runs:
  smtp_send.py PORT FILE RUNS [ROOT.der]
With ROOT.der: to localhost over STARTTLS trusting that root, logged in
as user/secret.
Output: "smtplib bytes=<file size> seconds=<best run>"
"""
import email.policy
import smtplib
import ssl
import sys
import time
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

port, path, runs = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
context = None
if len(sys.argv) > 4:
    with open(sys.argv[4], "rb") as f:
        context = ssl.create_default_context(cadata=ssl.DER_cert_to_PEM_cert(f.read()))
best = 1e9
for _ in range(runs):
    start = time.perf_counter()
    with open(path, "rb") as f:
        data = f.read()
    message = MIMEMultipart()
    message["To"] = "<desk@corvan.test>"
    message["From"] = "zelExcept <desk@corvan.test>"
    message["Subject"] = "bug report"
    message.attach(MIMEText("please find the bug report attached", "plain", "iso-8859-1"))
    message.attach(MIMEApplication(data, Name="bugreport.bin"))
    with smtplib.SMTP("localhost" if context else "127.0.0.1", port) as smtp:
        if context:
            smtp.starttls(context=context)
            smtp.login("user", "secret")
        smtp.sendmail("desk@corvan.test", ["desk@corvan.test"], message.as_bytes(policy=email.policy.SMTP))
    best = min(best, time.perf_counter() - start)
print("smtplib bytes=%d seconds=%.4f" % (len(data), best))
