#!/usr/bin/python3
"""The client window's listing loop with Python's imaplib: imaplib_bench.py HOST PORT USER PASSWORD FOLDER COUNT.

Logs in, selects FOLDER and, for each message, fetches its header and then its flags, the same
commands the window sends; prints the wall time in seconds."""
import imaplib
import sys
import time


def main():
    host, port, user, password, folder, count = sys.argv[1:7]
    start = time.perf_counter()
    connection = imaplib.IMAP4(host, int(port))
    connection.login(user, password)
    connection.select('"%s"' % folder)
    for number in range(1, int(count) + 1):
        connection.fetch(str(number), "(BODY.PEEK[HEADER])")
        connection.fetch(str(number), "(FLAGS)")
    connection.logout()
    print("%.6f" % (time.perf_counter() - start))


if __name__ == "__main__":
    main()
