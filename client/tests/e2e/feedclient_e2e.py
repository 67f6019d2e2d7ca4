#!/usr/bin/env python3
"""feedclient and the README's Python example against the plug-in in the stand-in host, their output read
back with tools of others: jq, gpsd, gpsbabel, Python's csv, XML and HTTP modules, and Chromium.

Paths come from the environment: FEEDCLIENT, STANDIN_HOST, MODULE, READ_FEED_EXAMPLE, README, PROTOCOL, and
SCREENSHOT, where the browser test saves the map. A FEEDCLIENT ending in .exe is the Windows build, run
under Wine.
Run one case: feedclient_e2e.py FeedClientTest.test_json
"""
import os
import shutil
import subprocess
import sys
import unittest

from line_servers import LineServerCases
from map_page import MapPageCases
from outputs import OutputCases
from replay import ReplayCases
from support import UNDER_WINE, FeedClientCase
from web_feed import WebFeedCases


class FeedClientTest(OutputCases, LineServerCases, WebFeedCases, MapPageCases, ReplayCases, FeedClientCase):
    """Every scenario; CTest runs each on its own."""


def run_in_network_of_its_own():
    """As root, runs the cases again in a network of their own with loopback alone, where a case can give the
    machine a LAN address without touching its real network. Not under Wine, whose one server, started
    outside, makes the sockets of every Wine process in its own network."""
    if os.geteuid() != 0 or UNDER_WINE or os.environ.get("OWN_NETWORK") or not shutil.which("unshare"):
        return
    if subprocess.run(["unshare", "-n", "true"], stderr=subprocess.DEVNULL).returncode != 0:
        return  # a container that may not make networks: the cases that need one say they were skipped
    os.environ["OWN_NETWORK"] = "1"
    os.execvp("unshare", ["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                          sys.executable, *sys.argv])


if __name__ == "__main__":
    run_in_network_of_its_own()
    unittest.main()
