#!/usr/bin/python3
"""What the page's own world map costs: the map page's main-thread cost per position and its loading time,
with map tiles (the world hidden) and without (the world drawn under the track, following the aircraft),
at 1x and 4x CPU throttling, side by side in one run of one headless Chromium.

    bench/offline_world_benchmark.py build/linux/feedclient

Two feedclients read the same lines from feeds of the benchmark's own, 10 minutes of track: one takes its
tiles from the test's tile server, the other from a port where nothing listens. Each page is measured as
map_page_benchmark.py measures one: opened, its track loaded, the garbage collected, then its positions a
second apart, and Performance.getMetrics' ScriptDuration and TaskDuration over them. Needs the
loopback ports 27401, 27402 and 27405 to 27407 free (a private network: unshare -n sh -c 'ip link set lo up;
...').
"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "client", "tests", "e2e"))
from map_page_benchmark import FEED_PORT, HTTP_PORT, INTERVAL, POSITIONS, start_browser  # noqa: E402
from map_page import around_zurich, cost_per_position  # noqa: E402
from support import FakeFeed, TileServer, TILE_PORT, feed_line, wait_for  # noqa: E402

SECOND_FEED_PORT, OFFLINE_PORT = 27405, 27406
REFUSED_TILES = "http://127.0.0.1:27407/{z}/{x}/{y}.png"  # nothing listens there
LENGTH = 600  # positions: 10 minutes
ROUNDS = 2  # each page measured this many times at each rate, alternately


def main():
    feedclient = sys.argv[1]
    tiles = TileServer("")
    feeds = [FakeFeed(FEED_PORT), FakeFeed(SECOND_FEED_PORT)]
    clients = [subprocess.Popen([feedclient, "--http", str(port), "--tiles", tiles_at, feed.address],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
               for port, tiles_at, feed in ((HTTP_PORT, "http://127.0.0.1:%d/{z}/{x}/{y}.png" % TILE_PORT, feeds[0]),
                                            (OFFLINE_PORT, REFUSED_TILES, feeds[1]))]
    def send(lines):
        for feed in feeds:
            feed.send(lines)
    send([feed_line(*around_zurich(i, LENGTH)) for i in range(LENGTH)])
    sent = LENGTH
    time.sleep(2)  # feedclient takes the lines in under that
    browser = start_browser()
    pages = (("tiles", HTTP_PORT, "!map.hasLayer(world)"),
             ("no tiles", OFFLINE_PORT, "map.hasLayer(world) && document.querySelector('.world-land') !== null"))
    results = {}
    try:
        for _ in range(ROUNDS):
            for rate in (1, 4):
                for page, port, shown in pages:
                    browser.get("about:blank")
                    started = time.monotonic()
                    browser.get("http://127.0.0.1:%d/" % port)
                    wait_for(lambda: browser.execute_script("return trackQueue === null && segments.length > 0 && "
                                                            "!tileLayer.isLoading() && " + shown),
                             600, "the page to load its track, and its tiles or its world")
                    loaded = time.monotonic() - started
                    def fly_on():
                        nonlocal sent
                        here = around_zurich(sent % LENGTH, LENGTH)
                        send([feed_line(*here)])
                        sent += 1
                        return "%.6f°" % here[0]
                    script, task = cost_per_position(browser, fly_on, POSITIONS, rate, INTERVAL)
                    results.setdefault((page, rate), []).append((script, task, loaded))
                    print("%-8s %dx: script %.2f ms, task %.2f ms per position; loaded in %.2f s"
                          % (page, rate, script, task, loaded), flush=True)
    finally:
        browser.quit()
        for client in clients:
            client.terminate()
            client.wait()
        for feed in feeds:
            feed.close()
        tiles.stop()
    print("\n| CPU | script per position: no tiles / tiles | task per position: no tiles / tiles | loading: no tiles / tiles |")
    print("|---|---|---|---|")
    for rate in (1, 4):
        cells = []
        for column in range(3):
            unit = "s" if column == 2 else "ms"
            cells.append("; ".join("%.2f / %.2f %s = %.2f" % (offline[column], online[column], unit,
                                                               offline[column] / online[column])
                                   for offline, online in zip(results[("no tiles", rate)], results[("tiles", rate)])))
        print("| %dx | %s |" % (rate, " | ".join(cells)))


if __name__ == "__main__":
    main()
