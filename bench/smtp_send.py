#!/usr/bin/python3
"""Sends the same bug report mail as bench_smtp_send with Python's smtplib
(the message built by the email package, the attachment base64-encoded)
and prints the fastest of several runs:
  smtp_send.py PORT FILE RUNS
Output: "smtplib bytes=<file size> seconds=<best run>"
"""
import email.policy
import smtplib
import sys
import time
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

port, path, runs = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
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
    with smtplib.SMTP("127.0.0.1", port) as smtp:
        smtp.sendmail("desk@corvan.test", ["desk@corvan.test"], message.as_bytes(policy=email.policy.SMTP))
    best = min(best, time.perf_counter() - start)
print("smtplib bytes=%d seconds=%.4f" % (len(data), best))
