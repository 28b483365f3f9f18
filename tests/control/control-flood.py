#!/usr/bin/env python3
"""Floods the agent's control port with short-lived clients.

Each client connects, sends its frames, waits briefly for what the agent
answers, and closes. Kinds of client, in turn:
  support  greets as a support client and asks for the profile id
  status   greets as a support client and asks what "corvanectl status" asks
  gui      greets as the GUI (the agent then sends its status messages)
  garbage  sends 4 KiB of random bytes, then a frame that announces more than
           it sends
  junk64k  the same with 64 KiB of random bytes
  junk1m   the same with 1 MiB of random bytes
  silent   closes without sending anything

usage: control-flood.py [--host 127.0.0.1] [--port 49101] [--count N]
                        [--parallel P] [--kinds support,gui,garbage,silent]
Prints "<count> connections, <refused> refused, <answered> answered".
"""
import argparse
import os
import selectors
import socket
import struct
import sys
import time


def frame(info):
    text = '{"info":"%s"}' % info
    body = text.encode("utf-16-be")
    inner = struct.pack(">I", len(body)) + body
    return struct.pack(">H", len(inner)) + inner


PAYLOADS = {
    "support": frame("HELLOSUPPORT") + frame("GETPROFILEID"),
    "status": frame("HELLOSUPPORT") + frame("AUTHDATA") + frame("GETPROFILEID") + frame("GETSETTINGS"),
    "gui": frame("HELLOGUI"),
    "garbage": None,  # made per client
    "junk64k": None,
    "junk1m": None,
    "silent": b"",
}


def payload(kind):
    if kind == "garbage":
        return os.urandom(4096) + b"\xff\xffabc"
    if kind == "junk64k":
        return os.urandom(65536) + b"\xff\xffabc"
    if kind == "junk1m":
        return os.urandom(1 << 20) + b"\xff\xffabc"
    return PAYLOADS[kind]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=49101)
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--parallel", type=int, default=10)
    parser.add_argument("--kinds", default="support,gui,garbage,silent")
    parser.add_argument("--linger-ms", type=int, default=50,
                        help="how long a client waits for answers before closing")
    args = parser.parse_args()
    kinds = [k for k in args.kinds.split(",") if k]
    for k in kinds:
        if k not in PAYLOADS:
            parser.error("unknown kind " + k)

    selector = selectors.DefaultSelector()
    started = 0
    done = 0
    refused = 0
    answered = 0
    live = {}  # socket -> [deadline, got_bytes]

    def start_one():
        nonlocal started, refused, done
        kind = kinds[started % len(kinds)]
        started += 1
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(5)
        try:
            s.connect((args.host, args.port))
            data = payload(kind)
            if data:
                s.sendall(data)
        except OSError:
            refused += 1
            done += 1
            s.close()
            return
        s.setblocking(False)
        live[s] = [time.monotonic() + args.linger_ms / 1000.0, False]
        selector.register(s, selectors.EVENT_READ)

    def finish(s):
        nonlocal done, answered
        if live[s][1]:
            answered += 1
        selector.unregister(s)
        del live[s]
        s.close()
        done += 1

    while done < args.count:
        while started < args.count and len(live) < args.parallel:
            start_one()
        if not live:
            continue
        for key, _ in selector.select(timeout=0.01):
            s = key.fileobj
            try:
                chunk = s.recv(65536)
            except OSError:
                chunk = b""
            if chunk:
                live[s][1] = True
            else:
                finish(s)
        now = time.monotonic()
        for s in [s for s, state in live.items() if state[0] <= now]:
            finish(s)
    print("%d connections, %d refused, %d answered" % (done, refused, answered))
    return 0


if __name__ == "__main__":
    sys.exit(main())
