#!/usr/bin/python3
"""The client window's listing loop with Python's imaplib: imaplib_bench.py HOST PORT USER PASSWORD FOLDER COUNT [raw].

Logs in, selects FOLDER and, for each message, fetches its header and then its flags, the same
commands the window sends; prints the wall time in seconds. With "raw" the same commands go over a
bare socket that reads each answer only up to its tagged line and parses nothing: the time the
server and the loopback round trips take on their own, which no client can go below."""
import imaplib
import socket
import sys
import time


def raw(host, port, user, password, folder, count):
    connection = socket.create_connection((host, int(port)))
    lines = connection.makefile("rb")
    tags = iter(range(1, 1 << 30))

    def command(text):
        tag = b"r%d " % next(tags)
        connection.sendall(tag + text.encode() + b"\r\n")
        while not lines.readline().startswith(tag):
            pass

    start = time.perf_counter()
    lines.readline()
    command("LOGIN %s %s" % (user, password))
    command('SELECT "%s"' % folder)
    for number in range(1, int(count) + 1):
        command("FETCH %d (BODY.PEEK[HEADER])" % number)
        command("FETCH %d (FLAGS)" % number)
    command("LOGOUT")
    print("%.6f" % (time.perf_counter() - start))


def main():
    host, port, user, password, folder, count = sys.argv[1:7]
    if sys.argv[7:] == ["raw"]:
        raw(host, port, user, password, folder, count)
        return
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
