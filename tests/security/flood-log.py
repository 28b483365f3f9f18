#!/usr/bin/python3
"""Writes what the agent logs as fast as it can: bad frames and bad headers.

usage: flood-log.py [--seconds S] [--connections N]
One connection at a time greets and then sends, in turn, frames whose body is
not a serialised string, frames with long unknown names and bytes that are no
frame at all, as fast as the socket takes them. When the agent closes the
connection the next one takes over, at most N (200) in all, until S seconds
(5) have passed. Prints what went out.
"""
import argparse
import os
import socket
import struct
import sys
import time

from cvwire import frame, text_frame


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--connections", type=int, default=200)
    args = parser.parse_args()
    bad_body = struct.pack(">H", 4000) + struct.pack(">I", 0x7FFFFFFF) + b"\x41" * 3996
    long_name = '{"info":"%s"}' % ("BADHEADER" * 3000)
    burst = (bad_body + text_frame(long_name) + frame("NOSUCHCOMMAND" * 100) +
             text_frame("not json at all " * 200)) * 8
    deadline = time.monotonic() + args.seconds
    connections = 0
    sent = 0
    while time.monotonic() < deadline and connections < args.connections:
        connections += 1
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(1)
        try:
            s.connect(("127.0.0.1", 49101))
            s.sendall(frame("HELLOSUPPORT"))
            while time.monotonic() < deadline:
                s.sendall(burst)
                sent += len(burst)
                s.sendall(os.urandom(512))
                sent += 512
        except OSError:
            pass
        finally:
            s.close()
    print("%d connections, %d bytes" % (connections, sent), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
