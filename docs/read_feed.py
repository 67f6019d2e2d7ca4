#!/usr/bin/env python3
"""Reads the BelvantoPlugin position feed and prints each position. Standard library only.
Connects again whenever the feed is refused or ends, saying so on stderr; Ctrl-C stops it.

usage: read_feed.py [HOST [PORT]]    (default: 127.0.0.1 27015)
"""
import re
import socket
import sys
import time

# One value: "%f" in the C locale, or nan, -nan, inf, -inf. Bytes patterns match ASCII digits only.
VALUE = rb'"(-?(?:(?:0|[1-9][0-9]*)\.[0-9]{6}|nan|inf))"'
LINE = re.compile(rb'\{version:"1",latitude:%s,longitude:%s,speed:%s,elevation:%s,heading:%s\}\n' % ((VALUE,) * 5))
MAX_LINE = 511  # bytes, with the line feed
FIRST_RETRY, LONGEST_RETRY = 0.5, 5.0  # seconds


def feed_lines(host, port):
    """The feed's lines, one connection after another. The delay before connecting again doubles while
    connections bring nothing, and starts afresh after one that brought lines."""
    retry = FIRST_RETRY
    while True:
        try:
            with socket.create_connection((host, port), timeout=5) as feed, feed.makefile("rb") as lines:
                feed.settimeout(None)  # a silence of any length is no reason to give up the feed
                print(f"connected to {host}:{port}", file=sys.stderr)
                while line := lines.readline(MAX_LINE + 1):
                    retry = FIRST_RETRY
                    yield line
            problem = "the feed ended"
        except OSError as error:
            problem = error.strerror or str(error)
        print(f"{host}:{port}: {problem}; retrying in {retry:.1f} s", file=sys.stderr)
        time.sleep(retry)
        retry = min(retry * 2, LONGEST_RETRY)


host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
port = int(sys.argv[2]) if len(sys.argv) > 2 else 27015
try:
    for line in feed_lines(host, port):
        match = LINE.fullmatch(line)
        if not match:
            print("malformed line:", line[:200], file=sys.stderr)
            continue
        # float() ignores the locale and reads nan, -nan, inf and -inf too.
        latitude, longitude, speed, elevation, heading = (float(value) for value in match.groups())
        print(f"lat {latitude:.6f} lon {longitude:.6f} speed {speed:.1f} kt "
              f"elevation {elevation:.0f} ft heading {heading:.1f}", flush=True)
except KeyboardInterrupt:  # Ctrl-C: stop without a traceback
    pass
