#!/usr/bin/python3
"""Times Python's email package on the benchmark's files: python_email_bench.py DIR.

Prints "a SECONDS", "b SECONDS", "c SECONDS": parsing a.eml and decoding every part, parsing and
decoding every file in DIR/b, and writing a message with DIR/c.bin attached. One run each: the
caller takes turns with its own runs."""
import email
import email.policy
import os
import sys
import time
from email.message import EmailMessage


def decode_all(data):
    message = email.message_from_bytes(data, policy=email.policy.default)
    total = len(str(message.get("subject", "")))
    for part in message.walk():
        if not part.is_multipart():
            payload = part.get_payload(decode=True)
            total += len(payload or b"")
    return total


def seconds(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def main():
    folder = sys.argv[1]
    with open(os.path.join(folder, "a.eml"), "rb") as f:
        a = f.read()
    names = sorted(os.listdir(os.path.join(folder, "b")))
    b = []
    for name in names:
        with open(os.path.join(folder, "b", name), "rb") as f:
            b.append(f.read())
    with open(os.path.join(folder, "c.bin"), "rb") as f:
        c = f.read()

    def write():
        message = EmailMessage()
        message["From"] = "Ann Example <ann@example.com>"
        message["To"] = "Bob Example <bob@example.com>"
        message["Subject"] = "The quarterly figures"
        message.set_content("Please find the file attached.\r\n")
        message.add_attachment(c, maintype="application", subtype="octet-stream", filename="big.bin")
        return len(message.as_bytes())

    print("a %.6f" % seconds(lambda: decode_all(a)))
    print("b %.6f" % seconds(lambda: [decode_all(m) for m in b]))
    print("c %.6f" % seconds(write))


if __name__ == "__main__":
    main()
