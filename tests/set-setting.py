#!/usr/bin/env python3
"""set-setting.py <ini> <group> <key> <value>: writes one value of the agent's
settings store (the INI file of the emulated registry, keys in their case);
a running agent sees it within a second.

The agent writes the same file: the change is made under the agent's own
lock file (<ini>.lock, as its settings layer takes it) and lands by rename,
so neither side reads a half-written file or writes over the other's change."""
import configparser
import os
import socket
import sys
import time

path, group, key, value = sys.argv[1:5]
lock = path + ".lock"
deadline = time.monotonic() + 10
while True:
    try:
        fd = os.open(lock, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644)
        break
    except FileExistsError:
        # A lock its holder left behind when it was killed holds nothing.
        try:
            with open(lock) as held:
                holder = int(held.readline())
            os.kill(holder, 0)
        except ProcessLookupError:
            os.unlink(lock)
            continue
        except (OSError, ValueError):
            pass
        if time.monotonic() > deadline:
            sys.exit("set-setting: %s is held for more than 10 s" % lock)
        time.sleep(0.02)
try:
    os.write(fd, ("%d\nset-setting\n%s\n" % (os.getpid(), socket.gethostname())).encode())
    os.close(fd)
    store = configparser.RawConfigParser()
    store.optionxform = str
    store.read(path)
    if not store.has_section(group):
        store.add_section(group)
    store.set(group, key, value)
    temporary = path + ".set-setting"
    with open(temporary, "w") as out:
        store.write(out, space_around_delimiters=False)
    os.replace(temporary, path)
finally:
    os.unlink(lock)
