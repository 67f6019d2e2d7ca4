"""The map page in a real browser, headless Chromium, its tiles from a server of the test's own.
"""
import json
import math
import os
import re
import tempfile
import time

from support import (EVENTS_REQUEST, FakeFeed, HTTP_PORT, LineReader, PATIENCE, TILE_PORT, TileServer, feed_line,
                     feed_port_listens, fetch, wait_for)


# The page's track: a list of segments, each of [latitude, longitude] as drawn, from its polylines, where
# each polyline after a segment's first starts with the last position of the one before.
TRACK = "return segments.map(s => s.flatMap((line, i) => line.getLatLngs().slice(i ? 1 : 0)).map(p => [p.lat, p.lng]))"

# Run in a page before its own scripts: each request of the page for the track waits until the test lets
# it go, to feedclient or with an answer of the test's own (trackRequests.shift()(body)); the icon's
# transitions are counted, and the last position event's id is kept, whether the track has it yet or not.
EVENT_IDS = """
window.lastEventId = 0;
window.EventSource = class extends EventSource {
  constructor(url) {
    super(url);
    this.addEventListener("message", (event) => { lastEventId = Number(event.lastEventId); });
  }
};
"""
HOLD_TRACK = EVENT_IDS + """
window.trackRequests = [];
window.aircraftTurns = 0;
const fetchOfPage = window.fetch.bind(window);
window.fetch = (resource, options) => String(resource).endsWith("track.geojson")
  ? new Promise((resolve) => trackRequests.push((body) =>
      resolve(body === undefined ? fetchOfPage(resource, options) : new Response(body))))
  : fetchOfPage(resource, options);
addEventListener("transitionrun", (event) => {
  if (event.target.matches(".aircraft svg")) aircraftTurns += 1;
}, true);
"""
# The followed aircraft where it is drawn (a) and the middle of the part of the map the panel leaves
# visible (m), in the map's pixels, and its fix (c). The panel covers the bottom of a narrow screen and
# the right side of a wide one.
AIRCRAFT_AND_MIDDLE = """
const c = fix, a = map.latLngToContainerPoint(aircraft.getLatLng()), size = map.getSize();
const p = document.getElementById("panel").getBoundingClientRect();
const m = p.left > size.x / 2 ? {x: p.left / 2, y: size.y / 2} : {x: size.x / 2, y: p.top / 2};
"""
CENTRED = "Math.abs(a.x - m.x) <= 1 && Math.abs(a.y - m.y) <= 1"
# Run in a page before its own scripts: on every animation frame, where the aircraft is drawn, with the fix
# it is drawn from and when that came, and the ground speed in the panel.
SAMPLE_FRAMES = EVENT_IDS + """
window.aircraftFrames = [];
const sampleFrame = (now) => {
  if (typeof fix !== "undefined" && fix !== null) {
    const c = aircraft.getLatLng();
    aircraftFrames.push([now, c.lat, c.lng, fix.at, fix.latitude, fix.longitude,
                         document.getElementById("ground-speed").textContent]);
  }
  requestAnimationFrame(sampleFrame);
};
requestAnimationFrame(sampleFrame);
"""
METRES_PER_DEGREE = math.pi / 180 * 6371008.8
PANEL = "return Object.fromEntries([...document.querySelectorAll('#panel dd')].map(d => [d.id, d.textContent]))"
ROTATION = "return Number(/rotate\\((.*)deg\\)/.exec(document.querySelector('.aircraft svg').style.transform)[1])"


def around_zurich(i, count):
    """The i-th of `count` positions of a long day: a slow widening spiral around Zurich, some 50 m apart."""
    t = i / count
    return (47.45 + 2.0 * math.sin(6 * math.pi * t) * t, 8.55 + 3.0 * math.cos(6 * math.pi * t) * t, (i * 0.013) % 360)


def positions_of(feature):
    """A segment of /track.geojson, a Point or a LineString, as the page holds it: [latitude, longitude]."""
    geometry = feature["geometry"]
    coordinates = [geometry["coordinates"]] if geometry["type"] == "Point" else geometry["coordinates"]
    return [[c[1], c[0]] for c in coordinates]


class MapPageCases:
    """What the map page shows. Mixed into FeedClientTest, which is a FeedClientCase."""

    def start_browser(self):
        """Headless Chromium from Debian, through its WebDriver, keeping the pages' console messages."""
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        profile = tempfile.TemporaryDirectory()
        self.addCleanup(profile.cleanup)  # after the browser has quit: cleanups run last first
        for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                         "--disable-background-networking", "--disable-component-update", "--disable-sync",
                         "--user-data-dir=" + profile.name, "--window-size=1000,700", "--hide-scrollbars"):
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.addCleanup(browser.quit)
        browser.set_script_timeout(PATIENCE)
        return browser

    def wait_in(self, browser, script, what):
        """Waits until the script, run in the page, returns something true, and returns it."""
        found = []
        wait_for(lambda: found.append(browser.execute_script(script)) or found[-1], PATIENCE, what)
        return found[-1]

    def page_errors(self, browser):
        return [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")]

    def test_http_map_in_browser(self):
        """The map page in headless Chromium, fed by feedclient from the module in the host."""
        with open(os.environ["PROTOCOL"]) as protocol:
            example = re.search(r"```javascript\n(.*?)```", protocol.read(), re.S).group(1)
        tiles = TileServer("<!DOCTYPE html><title>Example</title><link rel=icon href=data:,><body><script>%s</script>" %
                           example.replace("127.0.0.1:8080", "127.0.0.1:%d" % HTTP_PORT))
        self.addCleanup(tiles.stop)
        arguments = ("--json", "--http", str(HTTP_PORT), "--tiles", "http://127.0.0.1:%d/{z}/{x}/{y}.png" % TILE_PORT)
        host, client, out, err = self.start_with_host(*arguments)
        events = self.connect_stream(HTTP_PORT, request=EVENTS_REQUEST)
        speed_and_heading = ["set sim/flightmodel/position/indicated_airspeed 142.37",
                             "set sim/flightmodel/position/psi 281.3"]
        host.commands(speed_and_heading)
        # A climb out of Zurich to the west, turning north.
        route = [(47.4581 + 0.00003 * i * i, 8.5480 - 0.0005 * i, 432 + 12 * i) for i in range(12)]
        def fly(points):  # about 300 kt, by whichever host runs now
            return self.fly(host, out, points, pause=0.5)
        lines = fly(route[:6])
        browser = self.start_browser()
        browser.get("http://127.0.0.1:%d/" % HTTP_PORT)

        panel = ("return Object.fromEntries([...document.querySelectorAll('#panel dd')]"
                 ".map(d => [d.id, d.textContent]))")
        def motion():
            data = [json.loads(data) for kind, _, data in events.events()[1] if kind == "motion"][-1]
            self.assertIsNotNone(data["groundSpeed"])
            return {"ground-speed": "%.1f kt" % data["groundSpeed"], "track": "%.1f°" % data["track"]}

        def shows(line):
            """The panel's values of a --json line, as the page writes them, with its ground motion."""
            p = json.loads(line)
            return {"latitude": "%.6f°" % p["latitude"], "longitude": "%.6f°" % p["longitude"],
                    "altitude": "%.0f ft" % p["elevation"], "airspeed": "%.1f kt" % p["speed"],
                    "heading": "%.1f°" % p["heading"], **motion()}
        def where(condition):
            """The aircraft's fix, where it is drawn and the middle of the map the panel leaves visible (in the
            map's pixels), once the condition holds."""
            return (AIRCRAFT_AND_MIDDLE + "return (%s) && [c.latitude, c.longitude, a.x, a.y, m.x, m.y]" % condition)
        centred = CENTRED
        track = TRACK
        def flown(lines):
            return [[json.loads(line)["latitude"], json.loads(line)["longitude"]] for line in lines]

        # The latest values, exactly; the aircraft in the middle, turned to its heading; the whole track.
        wanted = shows(lines[-1])
        self.wait_in(browser, panel + ".latitude === %s" % json.dumps(wanted["latitude"]), "the latest position")
        shown = browser.execute_script(panel)
        self.assertEqual({name: shown[name] for name in wanted}, wanted)
        self.assertRegex(shown["age"], "^[0-9]+ s$")
        self.assertEqual(browser.execute_script(track), [flown(lines)])
        self.assertIn("rotate(281.3deg)", browser.execute_script("return aircraft.getElement().innerHTML"))
        # Directions to a tenth as feedclient writes them: a half goes up, and a whole turn is 0.0.
        self.assertEqual(browser.execute_script("return [359.97, 271.25, 0.04, null].map(direction)"),
                         ["0.0°", "271.3°", "0.0°", "–"])

        # It follows the next position.
        lines += fly(route[6:7])
        latitude, longitude = flown(lines[-1:])[0]
        at = self.wait_in(browser, where("c.latitude === %r" % latitude), "the aircraft to move")
        self.assertEqual(at[:2], [latitude, longitude])
        self.wait_in(browser, where(centred), "the map to pan to the aircraft")
        self.assertTrue(browser.execute_script("return document.getElementById('warning').hidden"))

        # The host stops: a warning after 3 s; it goes when positions come again, on a new segment.
        host.stop()
        self.wait_in(browser, "const w = document.getElementById('warning');"
                              "return !w.hidden && /^No position for [3-9] s/.test(w.textContent)", "the warning")
        host = self.host_back(err)
        host.commands(speed_and_heading)
        lines += fly(route[7:9])
        self.wait_in(browser, "return document.getElementById('warning').hidden", "the warning to go")
        self.assertEqual(browser.execute_script(track), [flown(lines[:7]), flown(lines[7:])])

        # Dragging the map stops following; the button starts it again.
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.by import By
        drag = ActionChains(browser).click_and_hold(browser.find_element(By.ID, "map"))
        for _ in range(10):
            drag.move_by_offset(15, 8).pause(0.05)
        drag.release().perform()
        self.assertEqual(browser.find_element(By.CLASS_NAME, "follow").get_attribute("aria-pressed"), "false")
        self.assertFalse(browser.execute_script(where(centred)), "the map did not move")
        lines += fly(route[9:10])
        at = self.wait_in(browser, where("c.latitude === %r" % flown(lines[-1:])[0][0]), "the aircraft to move")
        self.assertGreater(math.hypot(at[2] - at[4], at[3] - at[5]), 20, "the map followed after a drag")
        browser.find_element(By.CLASS_NAME, "follow").click()
        self.wait_in(browser, where(centred), "the map to follow again")

        # A page opened now shows the track so far and the latest values at once, and so does one whose
        # tiles cannot be had. Neither page logs an error, but the second for the tiles it could not load.
        lines += fly(route[10:])
        self.assertEqual(self.page_errors(browser), [])
        for offline in False, True:
            if offline:
                tiles.stop()
            browser.switch_to.new_window("tab")
            browser.get("http://127.0.0.1:%d/" % HTTP_PORT)
            self.wait_in(browser, panel + ".latitude === %s" % json.dumps(shows(lines[-1])["latitude"]),
                         "the latest position on a page opened late")
            self.assertEqual(browser.execute_script(track), [flown(lines[:7]), flown(lines[7:])])
            self.assertTrue(browser.execute_script("return map.hasLayer(aircraft) && segments[0][0].getElement() !== null"))
            if not offline:
                browser.execute_script("map.setZoom(15, {animate: false})")
                self.wait_in(browser, "return [...document.querySelectorAll('.leaflet-tile')]"
                                      ".every(tile => tile.complete)", "the tiles")
                browser.save_screenshot(os.environ["SCREENSHOT"])
        errors = self.page_errors(browser)
        self.assertTrue(errors and all("127.0.0.1:%d/" % TILE_PORT in entry["message"] for entry in errors), errors)
        self.assertGreater(tiles.tiles_served, 0)

        # The protocol's EventSource example, in a page from another origin.
        tiles = TileServer(tiles.page)
        self.addCleanup(tiles.stop)
        browser.get("http://127.0.0.1:%d/page.html" % TILE_PORT)
        lines += fly([(46.5, 7.5, 1000)])
        p = json.loads(lines[-1])
        self.wait_in(browser, "return document.body.textContent.includes(%s)" %
                     json.dumps("%.6f, %.6f  %.0f ft  %.1f°" % (p["latitude"], p["longitude"], p["elevation"],
                                                                 p["heading"])), "the example to show the position")
        self.assertEqual(self.page_errors(browser), [])

        # feedclient restarts: the first page warns that it lost it, then reconnects by itself and shows the
        # new feedclient's track, which starts afresh. The browser logs the refused attempts in between.
        browser.switch_to.window(browser.window_handles[0])
        client.kill()
        client.wait()
        self.wait_in(browser, "return document.getElementById('warning').textContent"
                              ".startsWith('No connection to feedclient')", "the warning of a lost feedclient")
        # The plug-in notices its client gone on a send, and listens again a second later.
        wait_for(lambda: host.command("advance 1") and feed_port_listens(), PATIENCE, "the plug-in to listen")
        client = self.start_client(*arguments)
        out, err = LineReader(client.stdout), LineReader(client.stderr)
        err.until("connected to 127.0.0.1:27015")
        host.wait_serving()
        self.wait_in(browser, "return online", "the page to reconnect")
        lines = fly(route[:2])
        self.wait_in(browser, "return document.getElementById('warning').hidden", "the warning to go")
        self.assertEqual(browser.execute_script(track), [flown(lines)])
        self.assertEqual(browser.execute_script(panel)["latitude"], "%.6f°" % json.loads(lines[-1])["latitude"])

        client.kill()
        client.wait()
        self.day_of_flight(browser)

    def day_of_flight(self, browser):
        """A day's track and what the plug-in cannot fly, from a feed of the test's own: a page whose track
        is held back follows the events meanwhile, then keeps no more of the track than feedclient does;
        a relocation breaks the track where a burst of lines does not, across the antimeridian it runs the
        short way, and the aircraft turns the short way across north and appears without turning."""
        feed = FakeFeed()
        self.addCleanup(feed.close)
        client = self.start_client("--http", str(HTTP_PORT), "--tiles",
                                   "http://127.0.0.1:%d/{z}/{x}/{y}.png" % TILE_PORT, feed.address)
        feed.accept()
        def answers():
            try:
                return fetch("/")
            except OSError:
                return None
        wait_for(answers, PATIENCE, "feedclient's HTTP server")
        limit = int(re.search(rb'data-track-limit="([0-9]+)"', fetch("/")[2]).group(1))
        count = limit + 100  # feedclient's track full, its oldest already gone
        sent = 0
        def send(points, together=False):
            """Sends lines at (latitude, longitude, heading), at once or each when the last is on the page."""
            nonlocal sent
            for group in [points] if together else [[point] for point in points]:
                feed.send([feed_line(*point) for point in group])
                sent += len(group)
                self.wait_in(browser, "return lastEventId === %d" % sent, "position %d on the page" % sent)
        def at_feedclient():
            status, _, body = fetch("/position.json")
            return status == 200 and json.loads(body)["latitude"] == float("%f" % around_zurich(count - 1, limit)[0])
        feed.send([feed_line(*around_zurich(i, limit)) for i in range(count)])
        sent = count
        wait_for(at_feedclient, PATIENCE, "feedclient to take a day's lines")

        # While the track is held back, the panel and the aircraft follow the events, and the track waits.
        browser.switch_to.new_window("tab")
        browser.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": HOLD_TRACK})
        browser.get("http://127.0.0.1:%d/" % HTTP_PORT)
        self.wait_in(browser, "return trackRequests.length === 1 && lastEventId === %d && map.hasLayer(aircraft)" % sent,
                     "the page to ask for the track and show the aircraft")
        self.assertEqual(browser.execute_script("return aircraftTurns"), 0, "the aircraft turned as it appeared")
        self.assertEqual(browser.execute_script(ROTATION), round(around_zurich(sent - 1, limit)[2], 6))
        for i in range(count, count + 3):
            latitude, longitude, heading = around_zurich(i, limit)
            send([(latitude, longitude, heading)])
            shown = browser.execute_script(PANEL)
            self.assertEqual((shown["latitude"], shown["longitude"], shown["heading"]),
                             ("%.6f°" % latitude, "%.6f°" % longitude, "%.1f°" % heading))
            self.assertEqual(browser.execute_script("return [fix.latitude, fix.longitude]"),
                             [float("%f" % latitude), float("%f" % longitude)])
        self.assertEqual(browser.execute_script(TRACK), [])

        # The track comes; positions after it join it, and the oldest go as they go from feedclient's.
        browser.execute_script("trackRequests.shift()()")
        self.wait_in(browser, "return trackQueue === null && segments.length > 0", "the track")
        send([around_zurich(i, limit) for i in range(count + 3, count + 8)])
        kept = [positions_of(feature) for feature in json.loads(fetch("/track.geojson")[2])["features"]]
        self.assertEqual(sum(map(len, kept)), limit)
        self.assertEqual(browser.execute_script(TRACK), kept)
        folder = os.path.dirname(os.environ["SCREENSHOT"])
        for name, size in ("phone", (390, 844)), ("tablet", (820, 1180)):
            browser.set_window_size(*size)
            browser.execute_script("map.invalidateSize({animate: false}); map.setZoom(7, {animate: false})")
            self.wait_in(browser, "return [...document.querySelectorAll('.leaflet-tile')]"
                                  ".every(tile => tile.complete)", "the tiles")
            browser.save_screenshot(os.path.join(folder, "map-%s.png" % name))
        browser.set_window_size(1000, 700)
        browser.execute_script("map.invalidateSize({animate: false})")

        # A relocation to Fiji, heading 359°, then a burst of lines across the antimeridian, heading 1°,
        # some 5 km apart in the simulator's seconds, a fraction of a second apart here.
        segments = len(kept)
        send([(-17.0, 179.80, 359.0)])
        self.assertEqual(browser.execute_script(ROTATION) % 360, 359)
        turned = browser.execute_script(ROTATION)
        crossing = [(-17.0 + 0.01 * i, 179.80 + 0.05 * i) for i in range(9)]
        send([(latitude, longitude - 360 * (longitude > 180), 1.0) for latitude, longitude in crossing[1:]], together=True)
        self.assertEqual(browser.execute_script(ROTATION) - turned, 2, "the aircraft turned the long way")
        track = browser.execute_script(TRACK)
        self.assertEqual(len(track), segments + 1, "no new segment at the relocation, or one in the burst")
        self.assertEqual(track[:-1], [kept[0][len(crossing):]] + kept[1:], "not trimmed as feedclient trims")
        self.assertEqual(len(track[-1]), len(crossing))
        for (latitude, longitude), drawn in zip(crossing, track[-1]):
            self.assertAlmostEqual(drawn[0], latitude, places=6)
            self.assertAlmostEqual(drawn[1], longitude, places=6)
        # Drawn a few pixels wide at zoom 5, where the world is 8192 pixels across.
        browser.execute_script("map.setView(aircraft.getLatLng(), 5, {animate: false})")
        widths = browser.execute_script("return [...document.querySelectorAll('path.track')].map(p => p.getBBox().width)")
        self.assertLess(max(widths), 30)

        # A page opened now gets a track of the test's own in the form feedclient splits at the
        # antimeridian: the parts of a MultiLineString end and start on it, at a latitude between. The
        # page joins them into one segment, without those two points.
        cut = crossing[4][0] + (crossing[5][0] - crossing[4][0]) * (180 - crossing[4][1]) / 0.05
        fixture = {"type": "FeatureCollection", "positions": sent, "features": [
            {"type": "Feature", "properties": {}, "geometry": {"type": "Point", "coordinates": [8.55, 47.45, 400.0]}},
            {"type": "Feature", "properties": {}, "geometry": {"type": "MultiLineString", "coordinates": [
                [[longitude, latitude] for latitude, longitude in crossing[:5]] + [[180.0, cut]],
                [[-180.0, cut]] + [[longitude - 360, latitude] for latitude, longitude in crossing[5:]]]}}]}
        browser.switch_to.new_window("tab")
        browser.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": HOLD_TRACK})
        browser.get("http://127.0.0.1:%d/" % HTTP_PORT)
        self.wait_in(browser, "return trackRequests.length === 1", "the page to ask for the track")
        browser.execute_script("trackRequests.shift()(arguments[0])", json.dumps(fixture))
        track = self.wait_in(browser, "return trackQueue === null && segments.length > 0 && " + TRACK[len("return "):],
                             "the track of the test's own")
        self.assertEqual(track[0], [[47.45, 8.55]])
        self.assertEqual(len(track), 2)
        for (latitude, longitude), drawn in zip(crossing, track[1]):
            self.assertAlmostEqual(drawn[0], latitude, places=6)
            self.assertAlmostEqual(drawn[1], longitude, places=6)
        self.assertEqual(len(track[1]), len(crossing))
        for handle in browser.window_handles[-2:]:
            browser.switch_to.window(handle)
            self.assertEqual(self.page_errors(browser), [])
        self.motion_between_fixes(browser, feed, sent)
        client.kill()
        client.wait()

    def motion_between_fixes(self, browser, feed, sent):
        """Between fixes a second apart, the aircraft drawn flies on along its track at its ground speed,
        and onto the next fix's path without going back; on the ground it stays at its fix. Follow mode
        keeps it in the middle of the part of the map the panel leaves visible, at a desktop's size and a
        phone's, and zooms in on the ground and out at speed, but keeps a zoom made by hand."""
        self.maxDiff = None  # page errors in full
        # The other pages go: Chromium keeps no more than six connections to feedclient, and each holds one.
        browser.switch_to.new_window("tab")
        page = browser.current_window_handle
        for handle in browser.window_handles:
            if handle != page:
                browser.switch_to.window(handle)
                browser.close()
        browser.switch_to.window(page)
        browser.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": SAMPLE_FRAMES})
        browser.get("http://127.0.0.1:%d/" % HTTP_PORT)
        self.wait_in(browser, "return trackQueue === null && segments.length > 0", "the track")
        step = 0.001  # degrees of latitude a second: some 216 kt, due north
        def send(points):
            """Sends each (latitude, longitude) a second apart, as the simulator does, and waits for it."""
            nonlocal sent
            for latitude, longitude in points:
                time.sleep(1)
                feed.send([feed_line(latitude, longitude, 0.0)])
                sent += 1
                self.wait_in(browser, "return lastEventId === %d" % sent, "position %d on the page" % sent)
        follows = "return (() => {%s return %s; })()" % (AIRCRAFT_AND_MIDDLE, CENTRED)
        send([(10.0, 20.0)])  # a relocation: the aircraft stands at it
        browser.execute_script("aircraftFrames.length = 0")
        send([(float("%f" % (10.0 + step * i)), 20.0) for i in range(1, 6)])
        self.assertTrue(self.wait_in(browser, follows, "the aircraft in the middle of the visible map"))
        self.assertLessEqual(browser.execute_script("return map.getZoom()"), 13, "not zoomed out at speed")
        frames = browser.execute_script("return aircraftFrames.splice(0)")
        fixes = sorted({frame[3]: frame for frame in frames}.values())
        self.assertGreaterEqual(len(fixes), 5)
        for (drawn_at, latitude, longitude, at, fix_latitude, fix_longitude, speed), before in zip(frames[1:], frames):
            self.assertEqual(longitude, fix_longitude, "off the track, due north")
            self.assertGreaterEqual(latitude, before[1], "back along the track")
            if not speed.endswith(" kt") or speed == "0.0 kt":
                continue  # no ground motion known (the relocation), or standing
            knots = float(speed.split()[0])
            # Where the fix's path is, in degrees north of it: not passed by more than a fifth of the way
            # between fixes, but by an aircraft drawn ahead as the fix came, and reached once blended.
            flown = lambda elapsed: knots * 1852 / 3600 / 1000 * min(max(elapsed, 0), 2000) / METRES_PER_DEGREE
            held = next(frame[1] for frame in frames if frame[3] == at)
            self.assertLessEqual(latitude, max(fix_latitude + flown(drawn_at - at), held) + step / 5)
            if drawn_at - at > browser.execute_script("return BLEND") + 50:
                self.assertGreaterEqual(latitude, fix_latitude + flown(drawn_at - at - 50) - 1e-9)
        for fix in fixes[1:-1]:
            last = [frame[1] for frame in frames if frame[3] == fix[3]][-1]
            self.assertGreater(last, fix[4], "the aircraft stood still between fixes")

        # On the ground, standing: at its fix on every frame, zoomed in, and in the middle on a phone too.
        ground = (float("%f" % (10.0 + step * 5)), 20.0)
        send([ground] * 3)
        self.wait_in(browser, "return map.getZoom() === 16", "the taxi zoom")
        frames = browser.execute_script("return aircraftFrames.splice(0)")
        standing = [frame for frame in frames if frame[6] == "0.0 kt"]
        self.assertTrue(standing)
        self.assertEqual({(frame[1], frame[2]) for frame in standing}, {ground})
        for size in (390, 844), (1000, 700):
            browser.set_window_size(*size)
            self.assertTrue(self.wait_in(browser, follows, "the aircraft in the middle at %dx%d" % size))
        # A zoom by hand stays over the fixes after it, until follow is pressed again.
        browser.execute_script("map.setZoom(14)")
        self.wait_in(browser, "return map.getZoom() === 14", "the hand zoom")
        send([ground] * 2)
        self.assertEqual(browser.execute_script("return map.getZoom()"), 14, "the hand zoom undone")
        from selenium.webdriver.common.by import By
        browser.find_element(By.CLASS_NAME, "follow").click()
        send([ground])
        self.wait_in(browser, "return map.getZoom() === 16", "the taxi zoom again")
        self.assertEqual(self.page_errors(browser), [])
        self.track_up(browser, send, ground)

    def track_up(self, browser, send, start):
        """Track up: the map turned to the track, the aircraft a quarter of the way up the visible map, tiles
        in every corner of the screen, and a drag moving the map the way the pointer goes; north up again
        as it was."""
        browser.get("http://127.0.0.1:%d/?orient=track" % HTTP_PORT)
        self.wait_in(browser, "return trackQueue === null && segments.length > 0", "the track")
        send([(start[0] + 0.0005 * i, start[1] + 0.001 * i) for i in range(1, 4)])  # about 63° true
        track = float(browser.execute_script(PANEL)["track"].rstrip("°"))
        turn = browser.execute_script("return /^rotate\\((.*)deg\\)$/.exec(map.getContainer().style.transform)[1]")
        self.assertLess(abs((track + float(turn) + 180) % 360 - 180), 1, "the map not turned to the track")
        self.assertGreater(track, 30)
        aircraft_on_screen = """
            const r = aircraft.getElement().getBoundingClientRect();
            const p = document.getElementById("panel").getBoundingClientRect(), side = p.left > innerWidth / 2;
            return [r.x + r.width / 2, r.y + r.height / 2, side ? p.left : innerWidth, side ? innerHeight : p.top];"""
        x, y, right, bottom = browser.execute_script(aircraft_on_screen)
        self.assertLess(abs(x - right / 2), 2)
        self.assertGreater(y, bottom * 2 / 3, "the aircraft not in the lower third")
        self.assertLess(y, bottom)
        # Tiles are left out of hit testing, and so of elementsFromPoint, until the test lets them in.
        browser.execute_script("document.head.insertAdjacentHTML('beforeend', '<style>.leaflet-tile-container,"
                               " .leaflet-tile { pointer-events: auto !important }</style>')")
        corners = ("const w = innerWidth - 2, h = innerHeight - 2; return [[1, 1], [w, 1], [1, h], [w, h]].every("
                   "([x, y]) => document.elementsFromPoint(x, y).some(e => e.matches('img.leaflet-tile-loaded')))")
        self.wait_in(browser, corners, "tiles in the corners of a turned map")
        browser.save_screenshot(os.path.join(os.path.dirname(os.environ["SCREENSHOT"]), "map-track-up.png"))

        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.by import By
        before = browser.execute_script(aircraft_on_screen)
        body = browser.find_element(By.TAG_NAME, "body")
        drag = ActionChains(browser).move_to_element_with_offset(body, -100, -100)
        drag.click_and_hold()
        for _ in range(10):
            drag.move_by_offset(6, 0).pause(0.02)
        drag.release().perform()
        after = browser.execute_script(aircraft_on_screen)
        self.assertEqual(browser.find_element(By.CLASS_NAME, "follow").get_attribute("aria-pressed"), "false")
        # The aircraft flies on a few pixels meanwhile.
        self.assertLess(math.hypot(after[0] - before[0] - 60, after[1] - before[1]), 15, "the map went another way")

        # North up again: the map's element as the page lays it out, and the aircraft in the middle.
        browser.execute_script("changeSetting('orient', 'north')")
        self.assertEqual(browser.execute_script("return map.getContainer().getAttribute('style')"), "")
        browser.find_element(By.CLASS_NAME, "follow").click()
        follows = "return (() => {%s return %s; })()" % (AIRCRAFT_AND_MIDDLE, CENTRED)
        self.assertTrue(self.wait_in(browser, follows, "the aircraft in the middle, north up"))
        self.assertEqual(self.page_errors(browser), [])
