#!/usr/bin/env python3
"""Relays each connection on 127.0.0.1:LISTEN-PORT to 127.0.0.1:TARGET-PORT behind a PROXY protocol
v1 header that names a documentation address (192.0.2.10) as the client, so that the server sees a
remote peer and applies its rules for untrusted networks.

    proxy-relay.py LISTEN-PORT TARGET-PORT
"""
import socket
import sys
import threading

SOURCE_ADDRESS = "192.0.2.10"


def pump(source, target):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            target.sendall(data)
    except OSError:
        pass
    # Half-close, so that the other direction can still finish its last bytes.
    try:
        target.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def serve(client, target_port, listen_port):
    with client:
        try:
            server = socket.create_connection(("127.0.0.1", target_port))
        except OSError:
            return
        with server:
            source_port = client.getpeername()[1]
            header = f"PROXY TCP4 {SOURCE_ADDRESS} 127.0.0.1 {source_port} {listen_port}\r\n"
            server.sendall(header.encode("ascii"))
            back = threading.Thread(target=pump, args=(server, client), daemon=True)
            back.start()
            pump(client, server)
            back.join()


def main():
    listen_port, target_port = int(sys.argv[1]), int(sys.argv[2])
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", listen_port))
    listener.listen(64)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client, target_port, listen_port), daemon=True).start()


if __name__ == "__main__":
    main()
