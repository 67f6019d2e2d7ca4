#!/usr/bin/env python3
"""Reads the BelvantoPlugin position feed and prints each position. Standard library only.

usage: read_feed.py [HOST [PORT]]    (default: 127.0.0.1 27015)
"""
import re
import socket
import sys

# One value: "%f" in the C locale, or nan, -nan, inf, -inf. Bytes patterns match ASCII digits only.
VALUE = rb'"(-?(?:(?:0|[1-9][0-9]*)\.[0-9]{6}|nan|inf))"'
LINE = re.compile(rb'\{version:"1",latitude:%s,longitude:%s,speed:%s,elevation:%s,heading:%s\}\n' % ((VALUE,) * 5))
MAX_LINE = 511  # bytes, with the line feed

host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
port = int(sys.argv[2]) if len(sys.argv) > 2 else 27015

with socket.create_connection((host, port)) as feed, feed.makefile("rb") as lines:
    while line := lines.readline(MAX_LINE + 1):
        match = LINE.fullmatch(line)
        if not match:
            print("malformed line:", line[:200], file=sys.stderr)
            continue
        # float() ignores the locale and reads nan, -nan, inf and -inf too.
        latitude, longitude, speed, elevation, heading = (float(value) for value in match.groups())
        print(f"lat {latitude:.6f} lon {longitude:.6f} speed {speed:.1f} kt "
              f"elevation {elevation:.0f} ft heading {heading:.1f}", flush=True)
