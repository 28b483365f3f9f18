#!/usr/bin/env python3
"""set-setting.py <ini> <group> <key> <value>: writes one value of the agent's
settings store (the INI file of the emulated registry, keys in their case);
a running agent sees it within a second."""
import configparser
import sys

path, group, key, value = sys.argv[1:5]
store = configparser.RawConfigParser()
store.optionxform = str
store.read(path)
if not store.has_section(group):
    store.add_section(group)
store.set(group, key, value)
with open(path, "w") as out:
    store.write(out, space_around_delimiters=False)
