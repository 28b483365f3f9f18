#!/usr/bin/python3
"""A local program that took the agent's control port first: it greets every
client as the agent would, then records what the client sends.

usage: port-squatter.py ADDRESS PORT PIN PASSWORD

Prints "listening" once bound, then one line per connection once the client
has gone: "bytes=<n> secret=<yes|no>", where secret tells whether the PIN or
the password (as UTF-16, the frames' text, or as plain bytes) was among the
bytes. Bounded: at most 16 connections, 5 s and 1 MiB each, and it ends by
itself 120 s after the last connection.
"""
import socket
import struct
import sys


def frame(text):
    body = text.encode("utf-16-be")
    payload = struct.pack(">I", len(body)) + body
    return struct.pack(">H", len(payload)) + payload


def main():
    address, port, pin, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    secrets = [s.encode(enc) for s in (pin, password) for enc in ("utf-16-be", "utf-8")]
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((address, port))
    server.listen(8)
    server.settimeout(120)
    print("listening", flush=True)
    for _ in range(16):
        try:
            client, _ = server.accept()
        except socket.timeout:
            break
        received = b""
        client.settimeout(5)
        try:
            client.sendall(frame('{"info":"HELLOAGENT"}'))
            while len(received) < (1 << 20):
                chunk = client.recv(65536)
                if not chunk:
                    break
                received += chunk
        except OSError:
            pass
        client.close()
        secret = any(s in received for s in secrets)
        print("bytes=%d secret=%s" % (len(received), "yes" if secret else "no"), flush=True)


if __name__ == "__main__":
    main()
