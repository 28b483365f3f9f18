#!/usr/bin/python3
"""The agent's control channel, spoken from Python (standard library only).

A frame is a 16-bit big-endian length, then a serialised QString: a 32-bit
big-endian byte count and the UTF-16BE text of a compact JSON object
{"info": name, "data": payload}.

As a module: frame(), Connection. As a program:

  cvwire.py session '[[info, data|null, awaited|null], ...]' [--port N] [--host H]
                    [--wait S] [--listen S]
      Sends each message after the previous one's awaited reply arrived (at
      most --wait seconds, 10 by default); an awaited reply of "-" holds the
      message and sends it in one write with the next. After the last message
      it keeps reading for --listen seconds (0). Every message of the agent is
      printed as one JSON line; {"session_error": ...} lines say what went
      wrong (a reply that did not come, the agent closing the connection).
      Exit status 0 once connected, 1 when the connection failed.
  cvwire.py hello [--gui] [--port N] [--host H] [--wait S]
      Greets and exits 0 when "HELLOAGENT" arrives within --wait seconds (5).
"""
import argparse
import json
import socket
import struct
import sys
import time

PORT = 49101


def text_frame(text):
    body = text.encode("utf-16-be")
    inner = struct.pack(">I", len(body)) + body
    return struct.pack(">H", len(inner)) + inner


def frame(info, data=None):
    message = {"info": info}
    if data is not None:
        message["data"] = data
    return text_frame(json.dumps(message, separators=(",", ":")))


class Connection:
    """One control connection; every message of the agent is kept in order."""

    def __init__(self, host="127.0.0.1", port=PORT, timeout=5.0):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect((host, port))
        self.buffer = b""
        self.messages = []
        self.closed = False
        self.undecodable = 0

    def send(self, info, data=None):
        self.sock.sendall(frame(info, data))

    def send_raw(self, data):
        self.sock.sendall(data)

    def _take_frames(self):
        found = []
        while len(self.buffer) >= 2:
            length = struct.unpack(">H", self.buffer[:2])[0]
            if len(self.buffer) < 2 + length:
                break
            inner, self.buffer = self.buffer[2:2 + length], self.buffer[2 + length:]
            try:
                count = struct.unpack(">I", inner[:4])[0]
                message = json.loads(inner[4:4 + count].decode("utf-16-be"))
            except (ValueError, struct.error):
                self.undecodable += 1
                continue
            self.messages.append(message)
            found.append(message)
        return found

    def read_for(self, seconds, until=None):
        """Reads for at most `seconds`; stops early at a message whose "info"
        is `until`, which is returned (else None)."""
        deadline = time.monotonic() + seconds
        while not self.closed:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(max(0.05, left))
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                return None
            except OSError:
                chunk = b""
            if not chunk:
                self.closed = True
                return None
            self.buffer += chunk
            for message in self._take_frames():
                if until is not None and message.get("info") == until:
                    return message
        return None

    def ask(self, info, data=None, reply=None, seconds=10.0):
        self.send(info, data)
        return self.read_for(seconds, reply) if reply else None

    def infos(self):
        return [m.get("info") for m in self.messages]

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def status_of(message):
    """The "status" of a reply's data, or None when there is no reply."""
    if not message:
        return None
    data = message.get("data")
    return data.get("status") if isinstance(data, dict) else None


def run_session(args):
    try:
        connection = Connection(args.host, args.port, timeout=args.wait)
    except OSError as error:
        print(json.dumps({"session_error": "connect: " + repr(error)}), flush=True)
        return 1
    printed = 0

    def flush():
        nonlocal printed
        for message in connection.messages[printed:]:
            print(json.dumps(message, separators=(",", ":"), sort_keys=True), flush=True)
        printed = len(connection.messages)

    held = b""
    try:
        for info, data, reply in json.loads(args.steps):
            held += frame(info, data)
            if reply == "-":
                continue
            connection.send_raw(held)
            held = b""
            if reply:
                found = connection.read_for(args.wait, reply)
                flush()
                if found is None:
                    why = "closed by the agent" if connection.closed else "no " + reply
                    print(json.dumps({"session_error": why}), flush=True)
        if held:
            connection.send_raw(held)
        # What arrives while listening is printed as it comes.
        end = time.monotonic() + args.listen
        while not connection.closed and time.monotonic() < end:
            connection.read_for(min(0.2, end - time.monotonic()))
            flush()
    except OSError as error:
        flush()
        print(json.dumps({"session_error": repr(error)}), flush=True)
        return 0
    flush()
    if connection.closed:
        print(json.dumps({"session_error": "closed by the agent"}), flush=True)
    connection.close()
    return 0


def run_hello(args):
    try:
        connection = Connection(args.host, args.port, timeout=args.wait)
        reply = connection.ask("HELLOGUI" if args.gui else "HELLOSUPPORT", None, "HELLOAGENT", args.wait)
    except OSError:
        return 1
    connection.close()
    return 0 if reply is not None else 1


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    session = sub.add_parser("session")
    session.add_argument("steps")
    hello = sub.add_parser("hello")
    hello.add_argument("--gui", action="store_true")
    for p in (session, hello):
        p.add_argument("--host", default="127.0.0.1")
        p.add_argument("--port", type=int, default=PORT)
    session.add_argument("--wait", type=float, default=10.0)
    session.add_argument("--listen", type=float, default=0.0)
    hello.add_argument("--wait", type=float, default=5.0)
    args = parser.parse_args()
    return run_session(args) if args.command == "session" else run_hello(args)


if __name__ == "__main__":
    sys.exit(main())
