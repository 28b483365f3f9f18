#!/usr/bin/env python3
"""One control connection kept open, as the GUI keeps it.

usage: control-session.py '[[info, data|null, awaited reply|null], ...]' [--port N]
Each message is sent after the previous one's awaited reply arrived (10 s at
most); every message of the agent is printed, one JSON text per line. A message
whose awaited reply is "-" is held and goes out in one write with the next, so
the agent reads them together and nothing of its own runs between them.
"""
import json, socket, struct, sys, time
port = int(sys.argv[3]) if len(sys.argv) > 3 and sys.argv[2] == "--port" else 49101
s = socket.create_connection(("127.0.0.1", port), timeout=10)
buf = b""
held = b""
def send(info, data, hold=False):
    global held
    message = {"info": info}
    if data is not None:
        message["data"] = data
    body = json.dumps(message, separators=(",", ":")).encode("utf-16-be")
    inner = struct.pack(">I", len(body)) + body
    held += struct.pack(">H", len(inner)) + inner
    if not hold:
        s.sendall(held)
        held = b""
def await_reply(name):
    global buf
    deadline = time.time() + 10
    while True:
        while len(buf) >= 2 and len(buf) >= 2 + struct.unpack(">H", buf[:2])[0]:
            n = struct.unpack(">H", buf[:2])[0]
            inner, buf = buf[2:2 + n], buf[2 + n:]
            text = inner[4:4 + struct.unpack(">I", inner[:4])[0]].decode("utf-16-be")
            print(text, flush=True)
            if json.loads(text).get("info") == name:
                return
        if time.time() > deadline:
            return
        s.settimeout(max(0.1, deadline - time.time()))
        try:
            chunk = s.recv(65536)
        except socket.timeout:
            return
        if not chunk:
            print(json.dumps({"session_error": "closed by the agent"}), flush=True)
            return
        buf += chunk
try:
    for info, data, reply in json.loads(sys.argv[1]):
        send(info, data, reply == "-")
        if reply and reply != "-":
            await_reply(reply)
except Exception as error:  # shown where the caller prints the answers
    print(json.dumps({"session_error": repr(error)}), flush=True)
    sys.exit(1)
