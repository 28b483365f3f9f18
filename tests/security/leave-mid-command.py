#!/usr/bin/python3
"""Clients that leave while their command waits for the backend.

usage: leave-mid-command.py [--rounds N] [--gap-ms G] [--greeting HELLOSUPPORT]
                            [--commands GETPROFILES,SENDDEBUGINFO] [--data JSON]
Each round connects, sends the greeting and the commands in one write, and
closes the connection at once: on odd rounds with a reset (SO_LINGER 0), on
even ones after the agent's HELLOAGENT arrived (so the command is running when
the close comes). Prints "<rounds> rounds, <connected> connected".
"""
import argparse
import json
import socket
import struct
import sys
import time

from cvwire import PORT, frame


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--gap-ms", type=int, default=150)
    parser.add_argument("--greeting", default="HELLOSUPPORT")
    parser.add_argument("--commands", default="GETPROFILES,SENDDEBUGINFO")
    parser.add_argument("--data", default="null", help="the commands' data (JSON)")
    parser.add_argument("--port", type=int, default=PORT)
    args = parser.parse_args()
    data = json.loads(args.data)
    payload = frame(args.greeting) + b"".join(frame(c, data) for c in args.commands.split(",") if c)
    connected = 0
    for n in range(args.rounds):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(2)
        try:
            s.connect(("127.0.0.1", args.port))
            connected += 1
            s.sendall(payload)
            if n % 2:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                try:
                    s.recv(4096)
                except OSError:
                    pass
        except OSError:
            pass
        finally:
            s.close()
        time.sleep(args.gap_ms / 1000.0)
    print("%d rounds, %d connected" % (args.rounds, connected), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
