#!/usr/bin/python3
"""Opens many connections to one port and holds them, idle.

usage: hold-connections.py --port N --count C [--greet HELLOSUPPORT] --report FILE
                           [--seconds S] [--keep]
Raises its own descriptor limit to the hard limit first. The connections are
opened side by side, each with a 2 s deadline; with --greet each sends that
greeting and the "HELLOAGENT" answers are counted (read for up to 3 s). Then
it writes one line to FILE, "opened O greeted G limit L attempted A", and
holds the connections, sending nothing more, until S seconds (60) have passed
or it is ended. With --keep, every connection the other side closes is
replaced by a new one, so that C stay open for as long as the peer takes them.
"""
import argparse
import resource
import select
import socket
import sys
import time

from cvwire import frame


class Holder:
    def __init__(self, port, greeting):
        self.port = port
        self.greeting = greeting
        self.held = {}  # fd -> socket
        self.pending = {}  # fd -> (socket, deadline)
        self.attempted = 0
        self.replaced = 0
        self.greeted = set()

    def start_one(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        self.attempted += 1
        try:
            s.connect(("127.0.0.1", self.port))
        except BlockingIOError:
            pass
        except OSError:
            s.close()
            return
        self.pending[s.fileno()] = (s, time.monotonic() + 2)

    def step(self, wanted, timeout_ms=100):
        """Starts connections up to `wanted`, then handles one poll round."""
        while len(self.held) + len(self.pending) < wanted and len(self.pending) < 200:
            self.start_one()
        # poll, not select: descriptors beyond 1024 are the point here.
        poller = select.poll()
        for fd in self.pending:
            poller.register(fd, select.POLLOUT)
        for fd in self.held:
            poller.register(fd, select.POLLIN)
        for fd, events in poller.poll(timeout_ms):
            if fd in self.pending:
                s, _ = self.pending.pop(fd)
                if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                    s.close()
                    continue
                try:
                    if self.greeting:
                        s.send(frame(self.greeting))
                except OSError:
                    s.close()
                    continue
                self.held[fd] = s
            elif fd in self.held:
                s = self.held[fd]
                try:
                    chunk = s.recv(4096)
                except BlockingIOError:
                    continue
                except OSError:
                    chunk = b""
                if not chunk:
                    del self.held[fd]
                    self.greeted.discard(fd)
                    s.close()
                    self.replaced += 1
                elif frame("HELLOAGENT") in chunk:
                    self.greeted.add(fd)
        now = time.monotonic()
        for fd in [fd for fd, (_, until) in self.pending.items() if until <= now]:
            self.pending.pop(fd)[0].close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--greet")
    parser.add_argument("--report", required=True)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        soft = hard
    holder = Holder(args.port, args.greet)
    end = time.monotonic() + args.seconds
    opening_deadline = time.monotonic() + 20
    while holder.attempted < args.count or holder.pending:
        if time.monotonic() >= opening_deadline:
            break
        holder.step(args.count if holder.attempted < args.count else 0)
    greeting_deadline = time.monotonic() + 3
    while args.greet and len(holder.greeted) < len(holder.held) and time.monotonic() < greeting_deadline:
        holder.step(0)
    greeted = len(holder.greeted)
    with open(args.report, "w") as report:
        report.write("opened %d greeted %d limit %d attempted %d\n"
                     % (len(holder.held), greeted, soft, holder.attempted))
    while time.monotonic() < end:
        if args.keep:
            holder.step(args.count, 200)
        else:
            time.sleep(0.2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
