#!/usr/bin/python3
"""The map page's main-thread cost per position, with 10 minutes, 10 hours and 24 hours of track, at 1x
and 4x CPU throttling (a tablet), for the page in this tree and the page of another git revision (main by
default), side by side in one run against one feedclient. Positions come a second apart, as from the
simulator, so that the cost of one is also the cost of a second of the aircraft drawn moving between
them. The measured positions fly on from the track's end at one speed whatever the track's length
(some 170 kt, due north), so that the work that follows from the aircraft's speed (the map's moves, the
tiles) is the same for each, and only the track's length differs. The new page is measured once more
with its motion held (no speed moves the aircraft between fixes), so that its map follows once a
position, as main's did. And with a day's track, how long a page that wakes up
(its events skip some) takes to catch up.

    bench/map_page_benchmark.py build/linux/feedclient [REVISION]

feedclient reads a feed of the benchmark's own, filled with a day's lines at once. Both pages come
through a small proxy of the benchmark's, which serves each page's own files (map.js, map.css and the
others of web/ that the revision has), the page itself without the scripts the revision lacks, and passes
every other request (Leaflet, /events, /track.geojson) to feedclient. Chromium's DevTools
Performance metrics give the script and task time over a run of positions, after a garbage collection
(Chromium started with --js-flags=--expose-gc) that leaves the loading's garbage out. Needs the loopback ports
27401 to 27405 free (a private network: unshare -n sh -c 'ip link set lo up; ...').
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "client", "tests", "e2e"))
from support import FakeFeed, TileServer, TILE_PORT, feed_line, wait_for  # noqa: E402
from map_page import around_zurich, cost_per_position  # noqa: E402

FEED_PORT, HTTP_PORT, NEW_PORT, OLD_PORT, HELD_PORT = 27401, 27402, 27403, 27404, 27405
HELD = "held"
DAY = 86400
LENGTHS = (("10 min", 600), ("10 h", 36000), ("24 h", DAY))
POSITIONS = 20  # measured per page, length and throttling
STEP = 0.0008  # degrees of latitude between them: some 170 kt
INTERVAL = 1.0  # seconds between them, as the plug-in sends them
WEB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "client", "serve", "web")


class PageProxy:
    """Serves one version's map.js and map.css; passes any other request to feedclient as it is."""

    def __init__(self, port, files):
        self.files = files
        self.server = socket.create_server(("127.0.0.1", port))
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            connection = self.server.accept()[0]
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = connection.recv(65536)
            if not chunk:
                return connection.close()
            head += chunk
        path = head.split(b" ")[1].decode()
        if path == "/" and "/" not in self.files:
            self.files["/"] = (page_of(self.files), b"text/html; charset=utf-8")
        if path in self.files:
            body, kind = self.files[path]
            connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %d\r\nCache-Control: no-store"
                               b"\r\nConnection: close\r\n\r\n" % (kind, len(body)) + body)
            return connection.close()
        upstream = socket.create_connection(("127.0.0.1", HTTP_PORT))
        upstream.sendall(head)
        try:
            while chunk := upstream.recv(65536):
                connection.sendall(chunk)
        except OSError:
            pass
        upstream.close()
        connection.close()


PAGE_FILES = sorted(name for name in os.listdir(WEB) if name.endswith((".js", ".css")))


def web_files(read):
    """A version's page files, by the path the page asks for; read(name) is None for one it lacks."""
    found = {"/" + name: read(name) for name in PAGE_FILES}
    return {path: (body, b"text/javascript" if path.endswith(".js") else b"text/css")
            for path, body in found.items() if body is not None}


def page_of(files):
    """feedclient's page without the script tags of this tree's files that a version lacks."""
    import urllib.request
    page = urllib.request.urlopen("http://127.0.0.1:%d/" % HTTP_PORT).read()
    for name in PAGE_FILES:
        if "/" + name not in files:
            page = page.replace(b'<script src="%s"></script>\n' % name.encode(), b"")
    return page


def start_browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    profile = tempfile.mkdtemp()
    for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--user-data-dir=" + profile, "--window-size=820,1180", "--hide-scrollbars",
                     "--js-flags=--expose-gc"):
        options.add_argument(argument)
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    browser.set_script_timeout(600)
    browser.set_page_load_timeout(600)
    return browser


# Loaded: the new page has no track request pending; the old one holds no events for a pending one.
LOADED = ("return typeof trackQueue !== 'undefined' ? trackQueue === null && segments.length > 0"
          " : pending === null && segments.length > 0")


# A page that wakes up: it is told that it last took a position an hour's worth of events ago, so that the
# next event skips some and the page loads its track again, as one whose device slept. From that event's
# arrival to the frame after the track is drawn again and the panel shows it, in milliseconds.
WAKE = """
const done = arguments[arguments.length - 1], latitude = arguments[0];
let woke = null;
lastId -= 3600;
const takeOfPage = source.onmessage;
source.onmessage = (event) => { woke = woke === null ? performance.now() : woke; takeOfPage(event); };
const caughtUp = () => woke !== null && (%s) && document.getElementById("latitude").textContent.startsWith(latitude);
(function check() {
  if (caughtUp()) requestAnimationFrame(() => done(performance.now() - woke));
  else setTimeout(check, 5);
})();
""" % LOADED[len("return "):]


def main():
    feedclient, revision = sys.argv[1], (sys.argv[2] if len(sys.argv) > 2 else "main")
    def at_revision(name):
        shown = subprocess.run(["git", "show", "%s:client/serve/web/%s" % (revision, name)], capture_output=True)
        return shown.stdout if shown.returncode == 0 else None
    old = web_files(at_revision)
    new = web_files(lambda name: open(os.path.join(WEB, name), "rb").read())
    held = dict(new)
    held["/motion.js"] = (new["/motion.js"][0].replace(b"const STANDING = 1;", b"const STANDING = Infinity;"),
                          b"text/javascript")
    assert held["/motion.js"] != new["/motion.js"], "motion.js no longer holds the aircraft below STANDING"
    pages = (("new", NEW_PORT, new), (HELD, HELD_PORT, held), (revision, OLD_PORT, old))
    for _, port, files in pages:
        PageProxy(port, files)
    tiles = TileServer("")
    feed = FakeFeed(FEED_PORT)
    client = subprocess.Popen([feedclient, "--http", str(HTTP_PORT), "--tiles",
                               "http://127.0.0.1:%d/{z}/{x}/{y}.png" % TILE_PORT, feed.address],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    feed.accept()
    browser = start_browser()
    sent = 0
    results = {}
    try:
        for length_name, length in LENGTHS:
            feed.send([feed_line(*around_zurich(i, DAY)) for i in range(sent, length)])
            sent = length
            here = around_zurich(length - 1, DAY)[:2]  # the measured positions fly on from it
            time.sleep(2)  # feedclient takes a day's lines in under that
            for page, port, _ in pages:
                for rate in (1, 4):
                    browser.get("about:blank")
                    started = time.monotonic()
                    browser.get("http://127.0.0.1:%d/" % port)
                    wait_for(lambda: browser.execute_script(LOADED), 600, "the page to load its track")
                    loaded = time.monotonic() - started
                    def fly_on():
                        nonlocal here
                        here = (here[0] + STEP, here[1])
                        feed.send([feed_line(*here)])
                        return "%.6f°" % here[0]
                    script, task = cost_per_position(browser, fly_on, POSITIONS, rate, INTERVAL)
                    results[(length_name, page, rate)] = (script, task, loaded)
                    print("%-6s %-5s %dx: script %.2f ms, task %.2f ms per position; loaded in %.1f s"
                          % (length_name, page, rate, script, task, loaded), flush=True)
                    if length_name == LENGTHS[-1][0] and page != HELD:
                        browser.execute_cdp_cmd("Emulation.setCPUThrottlingRate", {"rate": rate})
                        here = (here[0] + STEP, here[1])
                        latitude = "%.6f°" % here[0]
                        threading.Timer(0.5, feed.send, [[feed_line(*here)]]).start()
                        woke = browser.execute_async_script(WAKE, latitude)
                        browser.execute_cdp_cmd("Emulation.setCPUThrottlingRate", {"rate": 1})
                        results[("wake", page, rate)] = woke
                        print("wake   %-5s %dx: caught up in %.0f ms" % (page, rate, woke), flush=True)
    finally:
        browser.quit()
        client.terminate()
        client.wait()
        feed.close()
        tiles.stop()
    print("\n| Track | CPU | script per position: new / %s | task per position: new / %s | script, motion held |"
          " script: this length / 10 min, new; held; %s |" % (revision, revision, revision))
    print("|---|---|---|---|---|---|")
    for length_name, _ in LENGTHS:
        for rate in (1, 4):
            new_script, new_task, _ = results[(length_name, "new", rate)]
            old_script, old_task, _ = results[(length_name, revision, rate)]
            held_script = results[(length_name, HELD, rate)][0]
            growth = "; ".join("%.2f" % (results[(length_name, page, rate)][0] / results[("10 min", page, rate)][0])
                               for page in ("new", HELD, revision))
            print("| %s | %dx | %.2f ms / %.2f ms = %.3f | %.2f ms / %.2f ms = %.3f | %.2f ms | %s |"
                  % (length_name, rate, new_script, old_script, new_script / old_script, new_task, old_task,
                     new_task / old_task, held_script, growth))
    print("\n| A page that wakes with a day's track | CPU | caught up: new / %s |" % revision)
    print("|---|---|---|")
    for rate in (1, 4):
        new_wake, old_wake = results[("wake", "new", rate)], results[("wake", revision, rate)]
        print("| the track loaded again, the panel current | %dx | %.0f ms / %.0f ms = %.3f |"
              % (rate, new_wake, old_wake, new_wake / old_wake))
    print(json.dumps({" ".join(map(str, key)): value for key, value in results.items()}))


if __name__ == "__main__":
    main()
