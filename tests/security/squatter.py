#!/usr/bin/python3
"""Takes the agent's control port before the agent and plays the agent.

usage: squatter.py --record FILE [--ready FILE] [--seconds S] [--port N]
Listens on 127.0.0.1:PORT; every byte any client sends is appended to FILE.
Every frame a client sends is answered as the agent would answer it, to lure
the secrets out: "HELLOAGENT" to a greeting, status 1 to a PIN or sign-in.
Writes "listening" to the ready file once bound; ends after S seconds (60).
"""
import argparse
import json
import selectors
import socket
import struct
import sys
import time

from cvwire import PORT, frame

ANSWERS = {
    "HELLOSUPPORT": ("HELLOAGENT", None),
    "HELLOGUI": ("HELLOAGENT", None),
    "CHECKPIN": ("STATUSCHECKPIN", {"status": 1}),
    "CREATEPIN": ("STATUSCREATEPIN", {"status": 1}),
    "CHECKAUTH": ("STATUSCHECKAUTH", {"status": 1}),
    "AUTHDATA": ("STATUSAUTHDATA", {"status": True}),
}


def answers(buffer):
    """Frames complete in the buffer, answered; returns (replies, rest)."""
    out = b""
    while len(buffer) >= 2:
        length = struct.unpack(">H", buffer[:2])[0]
        if len(buffer) < 2 + length:
            break
        inner, buffer = buffer[2:2 + length], buffer[2 + length:]
        try:
            info = json.loads(inner[4:].decode("utf-16-be")).get("info")
        except ValueError:
            continue
        if info in ANSWERS:
            out += frame(*ANSWERS[info])
    return out, buffer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--record", required=True)
    parser.add_argument("--ready")
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--port", type=int, default=PORT)
    args = parser.parse_args()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    # Connections of the agent that just died may linger in TIME_WAIT.
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(16)
    listener.setblocking(False)
    record = open(args.record, "ab", buffering=0)
    if args.ready:
        with open(args.ready, "w") as ready:
            ready.write("listening\n")
    selector = selectors.DefaultSelector()
    selector.register(listener, selectors.EVENT_READ)
    buffers = {}
    deadline = time.monotonic() + args.seconds
    while time.monotonic() < deadline:
        for key, _ in selector.select(timeout=0.2):
            if key.fileobj is listener:
                try:
                    client, _ = listener.accept()
                except OSError:
                    continue
                client.setblocking(False)
                buffers[client] = b""
                selector.register(client, selectors.EVENT_READ)
                continue
            client = key.fileobj
            try:
                chunk = client.recv(65536)
            except OSError:
                chunk = b""
            if not chunk:
                selector.unregister(client)
                del buffers[client]
                client.close()
                continue
            record.write(chunk)
            reply, buffers[client] = answers(buffers[client] + chunk)
            if reply:
                try:
                    client.sendall(reply)
                except OSError:
                    pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
