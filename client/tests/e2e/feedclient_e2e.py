#!/usr/bin/env python3
"""feedclient and the README's Python example against the plug-in in the stand-in host, their output read
back with tools of others: jq, gpsd, gpsbabel, Python's csv, XML and HTTP modules, and Chromium.

Paths come from the environment: FEEDCLIENT, STANDIN_HOST, MODULE, READ_FEED_EXAMPLE, README, PROTOCOL, and
SCREENSHOT, where the browser test saves the map. A FEEDCLIENT ending in .exe is the Windows build, run
under Wine.
Run one case: feedclient_e2e.py FeedClientTest.test_json
"""
import unittest

from line_servers import LineServerCases
from map_page import MapPageCases
from outputs import OutputCases
from replay import ReplayCases
from support import FeedClientCase
from web_feed import WebFeedCases


class FeedClientTest(OutputCases, LineServerCases, WebFeedCases, MapPageCases, ReplayCases, FeedClientCase):
    """Every scenario; CTest runs each on its own."""


if __name__ == "__main__":
    unittest.main()
