"""The map page in a real browser, headless Chromium, its tiles from a server of the test's own.
"""
import json
import math
import os
import re
import subprocess
import sys
import tempfile
import time

from support import (EVENTS_REQUEST, FakeFeed, HTTP_PORT, LineReader, PATIENCE, TILE_PORT, TileServer, feed_line,
                     feed_port_listens, fetch, png_pixels, png_size, port_listens, travel, wait_for)


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
# The QR code box's overlaps with what it must leave visible, and whether it lies within the window.
SHARE_LAYOUT = """
const box = (selector) => document.querySelector(selector).getBoundingClientRect();
const share = box(".share");
const overlaps = (b) => share.left < b.right && b.left < share.right && share.top < b.bottom && b.top < share.bottom;
return [["#panel", ".follow", ".leaflet-control-zoom", ".leaflet-control-attribution"].filter((s) => overlaps(box(s))),
        share.top >= 0 && share.left >= 0 && share.bottom <= innerHeight && share.right <= innerWidth];
"""
# A name for feedclient's computer as a tablet on the LAN would reach it: not 127.0.0.1, so not a secure origin.
LAN_NAME = "feedclient.lan"
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
# The units of each system, as the page gives them: speed and altitude with their size in knots and feet, and
# the scale bar's long unit with its size in metres.
UNITS = {"aviation": (("kt", 1), ("ft", 1), ("NM", 1852)), "metric": (("km/h", 1.852), ("m", 0.3048), ("km", 1000)),
         "imperial": (("mph", 1.852 / 1.609344), ("ft", 1), ("mi", 1609.344))}
THEME_BACKGROUNDS = {"day": "rgba(255, 255, 255, 0.92)", "night": "rgba(23, 29, 36, 0.92)"}  # the panel's
# As OpenStreetMap's tiles credit it, the attribution of the tiles that the test's own stand in for.
CREDIT_OPENSTREETMAP = ("map.attributionControl.addAttribution("
                        "'&copy; <a href=\"https://www.openstreetmap.org/copyright\">OpenStreetMap</a> contributors')")
TRACK_BOUNDS = "segments.flat().reduce((all, line) => all.extend(line.getBounds()), L.latLngBounds([]))"
ROTATION = "return Number(/rotate\\((.*)deg\\)/.exec(document.querySelector('.aircraft svg').style.transform)[1])"
# What the element of selector arguments[0] covers of the panel, the warning and the map's controls, when shown.
COVERS = """
const subject = document.querySelector(arguments[0]), box = subject.getBoundingClientRect();
return [...document.querySelectorAll("#panel, #warning, .leaflet-control, .awake button")]
  .filter((e) => !e.contains(subject) && !subject.contains(e) && e.getClientRects().length > 0)
  .filter((e) => { const b = e.getBoundingClientRect();
                   return box.left < b.right && b.left < box.right && box.top < b.bottom && b.top < box.bottom; })
  .map((e) => e.id || e.className);
"""
WORLD_SHOWN = ("return map.hasLayer(world) && document.querySelectorAll('.world-land').length > 0 && "
               "!document.getElementById('offline-notice').hidden")
WORLD_GONE = ("return !map.hasLayer(world) && document.querySelectorAll('.world-land').length === 0 && "
              "document.getElementById('offline-notice').hidden")
# A place's colour on the screen, of [latitude, longitude], and of a colour the page's style names.
PLACE = "const p = map.latLngToContainerPoint(arguments[0]); return [Math.round(p.x), Math.round(p.y)]"
COLOUR = ("const probe = document.createElement('i'); probe.style.color = `var(${arguments[0]})`;"
          "document.body.append(probe); const c = getComputedStyle(probe).color; probe.remove();"
          "return c.match(/[0-9]+/g).map(Number)")
# Follow mode's zoom for some 580 kt, reached: the scale bar and a fit of the whole flight are judged after it,
# not while the page zooms there just after it loads.
SPEED_ZOOMED = "return !map._animatingZoom && map.getZoom() === 10"
SCREENS = (("phone", (390, 844)), ("tablet", (820, 1180)), ("tablet-landscape", (1180, 820)), ("desktop", (1400, 900)))


def place(degrees, hemispheres):
    """A latitude ("NS") or longitude ("EW") as the panel shows it: six decimals, and its hemisphere."""
    return "%.6f° %s" % (abs(degrees), hemispheres[degrees < 0])


def around_zurich(i, count):
    """The i-th of `count` positions of a long day: a slow widening spiral around Zurich, some 50 m apart."""
    t = i / count
    return (47.45 + 2.0 * math.sin(6 * math.pi * t) * t, 8.55 + 3.0 * math.cos(6 * math.pi * t) * t, (i * 0.013) % 360)


def cost_per_position(browser, send_position, positions, rate=1, interval=1.0, warm_up=5):
    """The page's main-thread script and task time per position, in ms, at `rate` times CPU throttling, over
    `positions` that send_position() sends `interval` apart, each time returning the latitude that the page
    then shows (its hemisphere after it on a page that writes one). Some positions come first, unmeasured,
    so that follow mode has zoomed to their speed: a change of zoom projects the whole track again, once,
    as it must, and that is no cost of a position. Then the garbage of the track's loading is collected
    (Chromium started with --js-flags=--expose-gc), not among the positions."""
    def fly(count):
        for _ in range(count):
            latitude = send_position()
            time.sleep(interval)
        wait_for(lambda: browser.execute_script("return document.getElementById('latitude').textContent")
                 .startswith(latitude) and not browser.execute_script("return map._animatingZoom"), 600,
                 "the last position")
    def metrics():
        found = browser.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]
        return {m["name"]: m["value"] for m in found}
    browser.execute_cdp_cmd("Emulation.setCPUThrottlingRate", {"rate": rate})
    fly(warm_up)
    browser.execute_cdp_cmd("Performance.enable", {})
    time.sleep(1)
    browser.execute_script("gc()")
    before = metrics()
    fly(positions)
    after = metrics()
    browser.execute_cdp_cmd("Performance.disable", {})
    browser.execute_cdp_cmd("Emulation.setCPUThrottlingRate", {"rate": 1})
    return tuple((after[name] - before[name]) / positions * 1000 for name in ("ScriptDuration", "TaskDuration"))


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
                         "--user-data-dir=" + profile.name, "--window-size=1000,700", "--hide-scrollbars",
                         "--host-resolver-rules=MAP %s 127.0.0.1" % LAN_NAME, "--js-flags=--expose-gc"):
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

    def errors_since_tabs_closed(self, browser):
        """The page errors, but for what Chromium logs of a tab the test closed with tiles on their way: it
        tells each of those tiles as a connection the page's content security policy refused, as it tears
        them down, and may tell it some time after the tab went."""
        closing = re.compile(r"http://127\.0\.0\.1:%d/ - Connecting to "
                             r"'http://127\.0\.0\.1:%d/[0-9]+/[0-9]+/[0-9]+\.png' "
                             r"violates the following Content Security Policy directive"
                             % (HTTP_PORT, TILE_PORT))
        return [entry for entry in self.page_errors(browser) if not closing.match(entry["message"])]

    def start_browser_at(self, *arguments):
        """Headless Chromium on feedclient's page, once it answers."""
        client = self.start_client("--http", str(HTTP_PORT), *arguments)
        wait_for(lambda: port_listens(HTTP_PORT), PATIENCE, "feedclient's HTTP server")
        browser = self.start_browser()
        browser.get("http://127.0.0.1:%d/" % HTTP_PORT)
        return client, browser

    def screen(self, browser, name, size):
        """The page at a screen's size, its screenshot kept beside the others, and its pixels."""
        # Leaflet takes a new size, and draws the layers over it, some moments after the window's, as a
        # device turned round does.
        window = browser.get_window_size()
        if (window["width"], window["height"]) != size:
            browser.execute_script("window.resized = new Promise((resolve) => map.once('moveend', resolve))")
            browser.set_window_size(*size)
            browser.execute_async_script("const done = arguments[0]; resized.then(() => done())")
        self.wait_in(browser, "return !tileLayer.isLoading() && [...document.querySelectorAll('.leaflet-tile-loaded')]"
                              ".every(tile => getComputedStyle(tile).opacity === '1')", "the map's tiles to come or fail")
        screenshot = browser.get_screenshot_as_png()
        with open(os.path.join(os.path.dirname(os.environ["SCREENSHOT"]), "map-%s.png" % name), "wb") as kept:
            kept.write(screenshot)
        return png_pixels(screenshot)

    def test_http_map_without_tiles(self):
        """With no tiles to be had, the page draws a world of its own and says so, clear of the panel, the
        warning and the controls at every screen's size; tiles that come hide it, tiles that stop show it."""
        feed = self.start_fake_feed()
        tiles_at = "http://127.0.0.1:%d/{z}/{x}/{y}.png" % TILE_PORT  # refused: no server there yet
        client, browser = self.start_browser_at("--tiles", tiles_at, feed.address)
        # Eastward, 100 m a line: some 200 kt, as the lines come at once.
        route = [(47.0, 6.0 + 0.00132 * i, 90.0) for i in range(60)]
        feed.send([feed_line(*point) for point in route])
        self.wait_in(browser, "return trackCount === %d" % len(route), "the track")
        self.wait_in(browser, WORLD_SHOWN, "the world and the notice")
        self.assertEqual(browser.find_element("id", "offline-notice").text,
                         "Map tiles cannot be reached: showing a simple world map")

        # Land over central Europe and sea over the Atlantic at zoom 4, in the colours of the page's style,
        # and coastlines and borders between; the aircraft's track still over it.
        browser.execute_script("setFollow(false); map.setView([45, 0], 4, {animate: false})")
        land, sea = (tuple(browser.execute_script(COLOUR, name)) for name in ("--world-land", "--world-sea"))
        self.assertNotEqual(land, sea)
        self.wait_in(browser, "return !document.getElementById('warning').hidden", "the warning of no position")
        for name, size in SCREENS:
            pixels = self.screen(browser, "offline-" + name, size)
            self.assertEqual(browser.execute_script(COVERS, "#offline-notice"), [], name)
            for place, colour in ([51.0, 10.0], land), ([40.0, -30.0], sea):
                x, y = browser.execute_script(PLACE, place)
                self.assertEqual(pixels[y][x], colour, "%s at %s" % (name, place))
            self.assertGreater(len(set(pixel for row in pixels for pixel in row)), 10, name)
        # The open sea is sea all along a meridian across the Pacific and one north of the Atlantic, where a
        # coast that crosses the antimeridian (Russia's, Fiji's), drawn the long way round, would cross it.
        browser.execute_script("map.setView([20, -75], 2, {animate: false})")
        pixels = self.screen(browser, "offline-world", SCREENS[-1][1])
        for longitude, south, north in (-140, -40, 50), (-10, 66, 72):
            (x, top), (_, bottom) = (browser.execute_script(PLACE, [latitude, longitude]) for latitude in (north, south))
            colours = set(pixels[y][x] for y in range(top, bottom + 1))
            self.assertEqual(colours, {sea}, "along %d° from %d° to %d°" % (longitude, south, north))
        # The track over the world, a quarter of the way along, well clear of the aircraft at its end.
        browser.execute_script("map.setView(arguments[0], 10, {animate: false})", list(route[30][:2]))
        pixels = self.screen(browser, "offline-track", SCREENS[-1][1])
        x, y = browser.execute_script(PLACE, list(route[15][:2]))
        stroke = browser.execute_script("return getComputedStyle(document.querySelector('path.track')).stroke")
        self.assertEqual("rgb(%d, %d, %d)" % pixels[y][x], stroke)

        # A night theme (a "night" class on the document) darkens the land and the sea through the style.
        browser.execute_script("document.documentElement.classList.add('night');"
                               "map.setView([45, 0], 4, {animate: false})")
        dark = [tuple(browser.execute_script(COLOUR, name)) for name in ("--world-land", "--world-sea")]
        self.assertTrue(sum(dark[0]) < sum(land) and sum(dark[1]) < sum(sea), dark)
        pixels = self.screen(browser, "offline-night", SCREENS[-1][1])
        for place, colour in zip(([51.0, 10.0], [40.0, -30.0]), dark):
            x, y = browser.execute_script(PLACE, place)
            self.assertEqual(pixels[y][x], colour, "at night at %s" % place)
        browser.execute_script("document.documentElement.classList.remove('night')")

        # Tiles come: the world and the notice go; the screen shows the tiles there.
        tiles = TileServer("")
        self.addCleanup(tiles.stop)
        browser.execute_script("map.setZoom(5, {animate: false})")
        self.wait_in(browser, WORLD_GONE, "the world and the notice to go")
        pixels = self.screen(browser, "with-tiles", (1000, 700))
        x, y = browser.execute_script(PLACE, [51.0, 10.0])
        self.assertIn(pixels[y][x], [(0xe4, 0xe8, 0xec), (0xb8, 0xc0, 0xc8)])
        self.assertNotIn("world-shown", browser.find_element("id", "map").get_attribute("class"))

        # They stop coming: the map asks for more and gets none, and the world is back.
        tiles.stop()
        browser.execute_script("map.setZoom(6, {animate: false})")
        self.wait_in(browser, WORLD_SHOWN, "the world and the notice to come back")
        errors = self.page_errors(browser)
        self.assertTrue(errors and all("127.0.0.1:%d/" % TILE_PORT in entry["message"] for entry in errors), errors)

    def test_http_map_installable(self):
        """The page as a home-screen app: its manifest, icons and meta tags, found by Chromium; and the switch
        that keeps the screen on, which takes a wake lock where the browser offers one, and otherwise says
        what to do instead."""
        client, browser = self.start_browser_at("--tiles", "http://127.0.0.1:%d/{z}/{x}/{y}.png" % TILE_PORT)
        status, headers, body = fetch("/manifest.webmanifest")
        self.assertEqual((status, headers["content-type"]), (200, "application/manifest+json"))
        manifest = json.loads(body)
        self.assertTrue(manifest["name"] and manifest["short_name"])
        self.assertIn(manifest["display"], ("standalone", "fullscreen"))
        icons = {(icon["sizes"], icon.get("purpose", "any")): icon for icon in manifest["icons"]}
        self.assertLessEqual({("192x192", "any"), ("512x512", "any"), ("512x512", "maskable")}, set(icons))
        page = fetch("/")[2].decode()
        apple = re.search(r'<link rel="apple-touch-icon" href="([^"]+)">', page).group(1)
        for path, size in [(icon["src"], icon["sizes"]) for icon in icons.values() if icon["type"] == "image/png"] + \
                          [(apple, "180x180")]:
            status, headers, body = fetch("/" + path)
            self.assertEqual((status, headers["content-type"]), (200, "image/png"), path)
            self.assertEqual("%dx%d" % png_size(body), size, path)
        # A maskable icon is coloured to its corners, which the system cuts to its own shape; the others'
        # corners are rounded off, as Apple's is not (iOS fills a transparent corner black).
        corners = {path: png_pixels(fetch("/" + path)[2])[0][0]
                   for path in (icons[("512x512", "maskable")]["src"], icons[("192x192", "any")]["src"], apple)}
        self.assertEqual(list(corners.values()), [(0x0b, 0x57, 0xd0), (0, 0, 0), (0x0b, 0x57, 0xd0)], corners)
        metas = dict(re.findall(r'<meta name="([^"]+)" content="([^"]*)">', page))
        self.assertEqual({name: metas.get(name) for name in ("mobile-web-app-capable", "apple-mobile-web-app-capable")},
                         {"mobile-web-app-capable": "yes", "apple-mobile-web-app-capable": "yes"})
        self.assertEqual(metas["theme-color"], manifest["theme_color"])
        self.assertTrue(metas["apple-mobile-web-app-title"] and metas["apple-mobile-web-app-status-bar-style"])
        self.assertEqual(fetch("/icon.svg")[1]["content-type"], "image/svg+xml")

        # Chromium finds the manifest, reads it without a fault, and would install the page. The icon opens
        # the page without the query it was added from; the settings come back from what the browser kept.
        browser.get("http://127.0.0.1:%d/?units=metric" % HTTP_PORT)
        found = self.wait_in(browser, "return document.readyState === 'complete'", "the page") and \
            browser.execute_cdp_cmd("Page.getAppManifest", {})
        self.assertEqual((found["url"], found["errors"]), ("http://127.0.0.1:%d/manifest.webmanifest" % HTTP_PORT, []))
        self.assertEqual(browser.execute_cdp_cmd("Page.getInstallabilityErrors", {})["installabilityErrors"], [])
        start = found["manifest"]["startUrl"]
        self.assertEqual(start, "http://127.0.0.1:%d/" % HTTP_PORT)
        browser.execute_script("changeSetting('units', 'imperial')")
        browser.get(start)
        self.assertEqual(browser.execute_script("return settings.units"), "imperial")

        # At 127.0.0.1, a secure page, the switch takes a lock; a lock the browser lets go (the page hidden)
        # is taken again when the page is shown; switched off, it goes.
        switch = browser.find_element("css selector", ".awake button")
        self.assertTrue(browser.execute_script("return isSecureContext && 'wakeLock' in navigator"))
        switch.click()
        self.wait_in(browser, "return wakeLock !== null && !wakeLock.released", "a wake lock")
        self.assertEqual((switch.get_attribute("aria-pressed"), browser.find_element("id", "awake-note").text),
                         ("true", ""))
        browser.execute_script("window.letGo = wakeLock; wakeLock.release()")
        self.wait_in(browser, "return wakeLock === null", "the lock to go")
        self.assertEqual(switch.get_attribute("aria-pressed"), "false")
        browser.execute_script("document.dispatchEvent(new Event('visibilitychange'))")
        self.wait_in(browser, "return wakeLock !== null && wakeLock !== letGo && !wakeLock.released", "a lock again")
        switch.click()
        self.wait_in(browser, "return wakeLock === null && letGo.released", "the lock to go when switched off")
        self.assertEqual(switch.get_attribute("aria-pressed"), "false")

        # At a LAN address the page is not secure: the switch says what to do instead, and claims nothing.
        browser.get("http://%s:%d/" % (LAN_NAME, HTTP_PORT))
        self.assertFalse(browser.execute_script("return isSecureContext || 'wakeLock' in navigator"))
        browser.find_element("css selector", ".awake button").click()
        note = browser.find_element("id", "awake-note")
        self.assertIn("Auto-Lock", note.text)
        self.assertEqual(browser.find_element("css selector", ".awake button").get_attribute("aria-pressed"), "false")
        for name, size in SCREENS:
            self.screen(browser, "awake-note-" + name, size)
            self.assertEqual(browser.execute_script(COVERS, "#awake-note"), [], name)
        browser.find_element("css selector", ".awake button").click()
        self.assertFalse(note.is_displayed())
        errors = self.page_errors(browser)
        self.assertTrue(all("127.0.0.1:%d/" % TILE_PORT in entry["message"] for entry in errors), errors)

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
            return {"latitude": place(p["latitude"], "NS"), "longitude": place(p["longitude"], "EW"),
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

        # feedclient restarts: the first page warns that it lost it, then reconnects by itself, keeps the
        # track it has and adds the new feedclient's after it, as a segment of its own even where it goes on
        # from the same place. The browser logs the refused attempts in between.
        browser.switch_to.window(browser.window_handles[0])
        kept = browser.execute_script(track)
        self.assertEqual(kept[-1], flown(lines[-1:]))
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
        self.wait_in(browser, "return online && trackQueue === null", "the page to reconnect and load the track")
        lines = fly([(46.5 + 0.0002 * i, 7.5, 1000) for i in range(1, 3)])
        self.wait_in(browser, "return document.getElementById('warning').hidden", "the warning to go")
        self.assertEqual(browser.execute_script(track), kept + [flown(lines)])
        self.assertEqual(browser.execute_script(panel)["latitude"], place(json.loads(lines[-1])["latitude"], "NS"))

        client.kill()
        client.wait()
        self.day_of_flight(browser)

    def day_of_flight(self, browser):
        """A day's track and what the plug-in cannot fly, from a feed of the test's own: a page whose track
        is held back follows the events meanwhile, then keeps no more of the track than feedclient does;
        a relocation breaks the track where a burst of lines does not, across the antimeridian it runs the
        short way, and the aircraft turns the short way across north and appears without turning. What a
        position costs the page with a short track and with a day's is reported."""
        feed = FakeFeed()
        self.addCleanup(feed.close)
        client = self.start_client("--http", str(HTTP_PORT), "--tiles",
                                   "http://127.0.0.1:%d/{z}/{x}/{y}.png" % TILE_PORT, feed.address)
        feed.accept()
        wait_for(lambda: port_listens(HTTP_PORT), PATIENCE, "feedclient's HTTP server")
        limit = int(re.search(rb'data-track-limit="([0-9]+)"', fetch("/")[2]).group(1))
        count = limit + 100  # feedclient's track full, its oldest already gone
        sent = 0

        def measured(track_end):
            """What a position costs the page's main thread, on a tab of its own, with the track as it is:
            positions flown on from the track's end due north at some 170 kt, whatever its length, each
            with the heading the spiral has at that count (the page's turn is checked by it later)."""
            here = list(track_end)
            def fly_on():
                nonlocal sent
                here[0] += 0.0008
                feed.send([feed_line(here[0], here[1], around_zurich(sent, limit)[2])])
                sent += 1
                return "%.6f°" % here[0]
            browser.switch_to.new_window("tab")
            browser.get("http://127.0.0.1:%d/" % HTTP_PORT)
            self.wait_in(browser, "return trackQueue === null && segments.length === 1", "the track")
            cost = cost_per_position(browser, fly_on, 10)[0]
            self.assertEqual(self.page_errors(browser), [])
            leave(browser)
            return cost
        # Reported, not judged: a test cannot tell a loaded machine from a slow page. The benchmark holds the
        # target, in a run of its own (docs/benchmark.md). The page before, which would follow the new
        # feedclient too, goes first.
        def leave(browser):
            """A page left open would go on drawing the aircraft beside the one measured; it goes once its
            tiles are in, since Chromium tells a tile torn down on its way as refused."""
            self.wait_in(browser, "return [...document.querySelectorAll('.leaflet-tile')].every(t => t.complete)",
                         "the tiles")
            browser.get("about:blank")
        leave(browser)
        short = 600
        feed.send([feed_line(*around_zurich(i, limit)) for i in range(short)])
        sent = short
        short_cost = measured(around_zurich(short - 1, limit)[:2])
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
        sent += count
        wait_for(at_feedclient, PATIENCE, "feedclient to take a day's lines")
        day_cost = measured(around_zurich(count - 1, limit)[:2])
        print("map page: script per position %.2f ms with %d positions of track, %.2f ms with %d: %.2f times"
              % (short_cost, short, day_cost, limit, day_cost / short_cost), file=sys.stderr, flush=True)

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
                             (place(latitude, "NS"), place(longitude, "EW"), "%.1f°" % heading))
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

    def test_http_map_qr_code(self):
        """On the computer itself, the page shows a QR code of the map's address on the network, which a real
        decoder reads, clear of the panel and the controls; the page opened at that address shows none, nor
        offers it; once closed the code stays closed until the settings show it again."""
        from selenium.webdriver.common.by import By
        lan = self.add_lan_address()
        if lan is None:
            self.skipTest("a LAN address needs root in a network of the test's own")
        tiles = TileServer("")
        self.addCleanup(tiles.stop)
        self.start_client("--http", str(HTTP_PORT), "--tiles", "http://127.0.0.1:%d/{z}/{x}/{y}.png" % TILE_PORT)
        wait_for(lambda: port_listens(HTTP_PORT), PATIENCE, "feedclient's HTTP server")
        url = "http://%s:%d/" % (lan, HTTP_PORT)
        folder = os.path.dirname(os.environ["SCREENSHOT"])
        browser = self.start_browser()

        def decoded(name):
            """What zbar reads in a screenshot of the whole window: the QR codes' texts, one a line."""
            path = os.path.join(folder, "map-qr-%s.png" % name)
            browser.save_screenshot(path)
            found = subprocess.run(["zbarimg", "--raw", "-q", "-Sdisable", "-Sqrcode.enable", path],
                                   capture_output=True, text=True)
            return found.stdout

        shown = "const s = document.querySelector('.share'); return s !== null && s.offsetParent !== null"
        for size, theme in ((1000, 700), ""), ((1400, 900), "?theme=night"):
            browser.set_window_size(*size)
            browser.get("http://127.0.0.1:%d/%s" % (HTTP_PORT, theme))
            self.wait_in(browser, shown + " && s.querySelector('svg') !== null", "the QR code")
            self.assertEqual(decoded("%dx%d" % size), url + "\n")
            self.assertEqual(browser.find_element(By.CSS_SELECTOR, ".share .url").text, url)
            self.assertEqual(browser.execute_script(SHARE_LAYOUT), [[], True], size)

        # Several addresses: the first as the code, the others as text; none: a note, and no code.
        subprocess.run(["ip", "addr", "add", "10.77.0.5/24", "dev", "lan0"], check=True)
        addresses = [address["url"] for address in json.loads(fetch("/status.json")[2])["addresses"]]
        self.assertEqual(sorted(addresses), sorted([url, "http://10.77.0.5:%d/" % HTTP_PORT]))
        browser.refresh()
        self.wait_in(browser, shown + " && s.querySelector('svg') !== null", "the QR code")
        self.assertEqual(decoded("two"), addresses[0] + "\n")
        self.assertEqual([e.text for e in browser.find_elements(By.CSS_SELECTOR, ".share .other")],
                         ["or %s (lan0)" % addresses[1]])
        subprocess.run(["ip", "addr", "flush", "dev", "lan0"], check=True)
        browser.refresh()
        note = self.wait_in(browser, shown + " && s.textContent", "the note of no network")
        self.assertIn("No network found", note)
        self.assertEqual(browser.find_elements(By.CSS_SELECTOR, ".share svg"), [])
        self.assertEqual(decoded("none"), "")
        subprocess.run(["ip", "addr", "add", lan + "/24", "dev", "lan0"], check=True)

        # On a phone's screen there is no room for it, and the panel keeps its place along the bottom.
        browser.set_window_size(390, 844)
        browser.refresh()
        self.wait_in(browser, "return document.querySelector('.share') !== null", "the QR code's box")
        self.assertFalse(browser.execute_script(shown))
        browser.save_screenshot(os.path.join(folder, "map-qr-phone.png"))
        browser.set_window_size(1000, 700)

        # Opened from a tablet, at the address the code holds: no code, and its library not even loaded.
        browser.get(url)
        self.wait_in(browser, "return document.querySelector('.leaflet-tile-loaded') !== null", "the map")
        self.assertEqual(browser.execute_script("return [document.querySelector('.share'), typeof qrcode, "
                                                "document.querySelector('input[name=qr]')]"), [None, "undefined", None])

        # Closed, it stays closed for this browser.
        browser.get("http://127.0.0.1:%d/" % HTTP_PORT)
        self.wait_in(browser, shown, "the QR code")
        browser.find_element(By.CSS_SELECTOR, ".share .close").click()
        self.assertEqual(browser.execute_script("return [document.querySelector('.share'), "
                                                "localStorage.getItem('setting.qr')]"), [None, "hidden"])
        browser.get("http://127.0.0.1:%d/" % HTTP_PORT)
        self.wait_in(browser, "return document.querySelector('.leaflet-tile-loaded') !== null", "the map")
        self.assertEqual(browser.execute_script("return [document.querySelector('.share'), typeof qrcode]"),
                         [None, "undefined"])
        self.assertEqual(decoded("closed"), "")
        # Until the settings show it again.
        browser.find_element(By.CSS_SELECTOR, "button[title=Settings]").click()
        browser.find_element(By.XPATH, "//label[input[@name='qr' and @value='shown']]").click()
        self.wait_in(browser, shown + " && s.querySelector('svg') !== null", "the QR code shown again")
        browser.find_element(By.CSS_SELECTOR, "button[title=Settings]").click()
        self.assertEqual(decoded("shown-again"), url + "\n")
        # The test changed the machine's addresses, on which Chromium cancels the requests on their way then:
        # tiles only, which the page asks for again; any other error is the page's.
        self.assertEqual([entry for entry in self.page_errors(browser)
                          if not entry["message"].endswith("net::ERR_NETWORK_CHANGED")], [])

    def emulate(self, browser, width, height, touch):
        """The browser as a device of that size, with a touch screen and the coarse pointer of one, or with a
        mouse; for the pages loaded from now on."""
        browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": touch})
        browser.execute_cdp_cmd("Emulation.setTouchEmulationEnabled", {"enabled": touch, "maxTouchPoints": 5})
        browser.execute_cdp_cmd("Emulation.setEmitTouchEventsForMouse", {"enabled": touch, "configuration": "mobile"})

    def press_at(self, browser, x, y, touch):
        """A finger's tap at a point of the page, as a touch screen sends it, which Chromium makes a click of; or
        a click of the mouse there."""
        if touch:
            for kind, points in ("touchStart", [{"x": x, "y": y}]), ("touchEnd", []):
                browser.execute_cdp_cmd("Input.dispatchTouchEvent", {"type": kind, "touchPoints": points})
            return
        for kind in "mousePressed", "mouseReleased":
            browser.execute_cdp_cmd("Input.dispatchMouseEvent",
                                    {"type": kind, "x": x, "y": y, "button": "left", "clickCount": 1})

    def test_http_map_settings(self):
        """The settings from the page's address and chosen in its panel, kept across a reload; the panel's
        values and the scale bar in the chosen units, at once; day and night; the whole flight in view;
        and the layout, with the widest values the panel shows, at a phone's, a tablet's and a desktop's
        sizes: no row wraps, nothing covers the attribution or the panel, and a finger hits every control."""
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
        tiles = TileServer("")
        self.addCleanup(tiles.stop)
        feed = self.start_fake_feed()
        self.start_client("--http", str(HTTP_PORT), "--tiles", "http://127.0.0.1:%d/{z}/{x}/{y}.png" % TILE_PORT,
                          feed.address)
        feed.accept()
        events = self.connect_stream(HTTP_PORT, request=EVENTS_REQUEST)
        browser = self.start_browser()
        page = "http://127.0.0.1:%d/" % HTTP_PORT
        browser.get(page)
        self.wait_in(browser, "return online", "the page to connect")
        self.assertTrue(browser.execute_script("return document.querySelector('[title=\"Show the whole flight\"]')"
                                               ".disabled"), "the whole flight without a track")

        # A climb east out of Honolulu at some 580 kt, the lines a simulator's second apart for feedclient:
        # three-digit western longitudes, and four-digit speeds in km/h and altitudes in metres.
        route = [travel((21.3187, -157.9225), 300.0 * i, 60.0) for i in range(40)]
        feed.send([feed_line(latitude, longitude, 60.0, speed=612.3, elevation=300.0 + 310.0 * i)
                   for i, (latitude, longitude) in enumerate(route)])
        wait_for(lambda: len(events.positions()) == len(route), PATIENCE, "the positions")
        feed.close()  # the feed lost: the page's warning at its longest
        latest = json.loads(events.positions()[-1])
        motion = [json.loads(data) for kind, _, data in events.events()[1] if kind == "motion"][-1]
        def shown(units):
            """The panel's values of the latest position and its ground motion, in those units."""
            (speed, per_knot), (height, per_foot) = UNITS[units][:2]
            return {"latitude": place(latest["latitude"], "NS"), "longitude": place(latest["longitude"], "EW"),
                    "altitude": "%.0f %s" % (latest["elevation"] * per_foot, height),
                    "airspeed": "%.1f %s" % (latest["speed"] * per_knot, speed),
                    "heading": "%.1f°" % latest["heading"],
                    "ground-speed": "%.1f %s" % (motion["groundSpeed"] * per_knot, speed),
                    "track": "%.1f°" % motion["track"]}
        def check_settings(units, theme, orient):
            panel = browser.execute_script(PANEL)
            self.assertEqual({name: panel[name] for name in panel if name != "age"}, shown(units))
            # The scale bar's label in the system's long unit here, and the bar as long as it says, to a pixel.
            label, width, metres_per_pixel = browser.execute_script(
                "const line = document.querySelector('.leaflet-control-scale-line'), y = map.getSize().y / 2;"
                "return [line.textContent, line.getBoundingClientRect().width, map.distance("
                "map.containerPointToLatLng([0, y]), map.containerPointToLatLng([100, y])) / 100]")
            count, unit = label.split(" ")
            self.assertEqual(unit, UNITS[units][2][0])
            self.assertAlmostEqual(width * metres_per_pixel, int(count) * UNITS[units][2][1], delta=metres_per_pixel)
            self.assertEqual(browser.execute_script(
                "return [document.documentElement.dataset.theme, getComputedStyle(document.getElementById('panel'))"
                ".backgroundColor, document.querySelector('input[name=orient]:checked').value]"),
                [theme, THEME_BACKGROUNDS[theme], orient])
        def choose(name, value):
            press(browser.find_element(By.XPATH, "//label[input[@name='%s' and @value='%s']]" % (name, value)))
            self.assertEqual(browser.execute_script(
                "return [new URLSearchParams(location.search).get(arguments[0]), localStorage.getItem('setting.' +"
                " arguments[0])]", name), [value, value])
        gear = lambda: press(browser.find_element(By.CSS_SELECTOR, "button[title=Settings]"))
        folder = os.path.dirname(os.environ["SCREENSHOT"])
        settings_open = "return !document.getElementById('settings').hidden"
        def press(element):
            """A tap on a touch screen, a click with a mouse (`touch` is the size's, in the loop below)."""
            if not touch:
                return element.click()
            middle = browser.execute_script("const r = arguments[0].getBoundingClientRect();"
                                            "return [r.left + r.width / 2, r.top + r.height / 2]", element)
            self.press_at(browser, *middle, touch)

        for size, (width, height), touch, (units, theme, orient), chosen in (
                ("phone", (390, 844), True, ("metric", "night", "track"), ("imperial", "day", "north")),
                ("narrow-phone", (360, 780), True, ("imperial", "day", "north"), ("metric", "night", "track")),
                ("tablet", (820, 1180), True, ("imperial", "night", "north"), ("aviation", "day", "track")),
                ("tablet-landscape", (1180, 820), True, ("aviation", "day", "track"), ("metric", "night", "north")),
                ("desktop", (1400, 900), False, ("metric", "day", "north"), ("aviation", "night", "track"))):
            self.emulate(browser, width, height, touch)
            browser.get(page + "?units=%s&theme=%s&orient=%s" % (units, theme, orient))
            self.assertEqual(browser.execute_script(
                "return [innerWidth, innerHeight, matchMedia('(pointer: coarse)').matches]"), [width, height, touch])
            self.wait_in(browser, "return trackQueue === null && segments.length > 0 && " + PANEL[len("return "):] +
                         ".latitude === %s" % json.dumps(shown(units)["latitude"]), "the track and the latest position")
            self.wait_in(browser, SPEED_ZOOMED, "the zoom for the speed")
            browser.execute_script(CREDIT_OPENSTREETMAP)
            check_settings(units, theme, orient)

            # Chosen in the panel: the values change at once, and a reload keeps the choices.
            gear()
            self.assertTrue(browser.execute_script(settings_open))
            for name, value in zip(("units", "theme", "orient"), chosen):
                choose(name, value)
            check_settings(*chosen)
            gear()
            self.assertFalse(browser.execute_script(settings_open), "open after a second tap")
            browser.refresh()
            self.wait_in(browser, PANEL + ".latitude === %s" % json.dumps(shown(chosen[0])["latitude"]), "the reload")
            self.wait_in(browser, SPEED_ZOOMED, "the zoom for the speed")
            browser.execute_script(CREDIT_OPENSTREETMAP)
            check_settings(*chosen)

            # The whole flight: the track in the map's view, clear of the panel and as large as that leaves room
            # for; following stops, and the follow button starts it again.
            press(browser.find_element(By.CSS_SELECTOR, "button[title='Show the whole flight']"))
            # The track's corners on the screen, from the map's element turned about its middle in track up; the
            # part of the screen left free; and whether the map is still on its way there.
            on_screen = lambda: browser.execute_script(
                "const b = " + TRACK_BOUNDS + ", s = map.getSize(), r = map.getContainer().getBoundingClientRect(),"
                " t = (mapTurn || 0) * Math.PI / 180, panel = document.getElementById('panel')"
                ".getBoundingClientRect(), alongBottom = panel.width > innerWidth / 2;"
                "const screen = [b.getNorthWest(), b.getNorthEast(), b.getSouthWest(), b.getSouthEast()].map(c => {"
                " const p = map.latLngToContainerPoint(c), dx = p.x - s.x / 2, dy = p.y - s.y / 2;"
                " return [r.left + r.width / 2 + dx * Math.cos(t) + dy * Math.sin(t),"
                "         r.top + r.height / 2 - dx * Math.sin(t) + dy * Math.cos(t)]; });"
                "const xs = screen.map(p => p[0]), ys = screen.map(p => p[1]);"
                "return [[Math.min(...xs), Math.min(...ys), Math.max(...xs), Math.max(...ys)],"
                " [Math.max(...[...document.querySelectorAll('.leaflet-top.leaflet-left .leaflet-bar')]"
                ".map(e => e.getBoundingClientRect().right)), 0, alongBottom ? innerWidth : panel.left,"
                " alongBottom ? panel.top : innerHeight], map._animatingZoom || !!map._panAnim?._inProgress]")

            def fitted(track, free, moving):
                """In the free part of the screen, and zoomed in as far as it fits with a margin: one zoom level
                further out would make it a half."""
                inside = free[0] <= track[0] < track[2] <= free[2] and free[1] <= track[1] < track[3] <= free[3]
                fill = max((track[2] - track[0]) / (free[2] - free[0]), (track[3] - track[1]) / (free[3] - free[1]))
                return not moving and inside and fill > 0.35
            seen = []
            wait_for(lambda: seen.append(on_screen()) or fitted(*seen[-1]), PATIENCE,
                     lambda: "the whole flight in view, clear of the panel, at %s: %s" % (size, seen[-1]))
            self.assertEqual(browser.find_element(By.CLASS_NAME, "follow").get_attribute("aria-pressed"), "false")

            self.check_layout(browser, touch)
            gear()
            browser.save_screenshot(os.path.join(folder, "map-%s-settings.png" % size))
            if touch:
                self.check_touch_sizes(browser)
            ActionChains(browser).send_keys(Keys.ESCAPE).perform()
            self.assertFalse(browser.execute_script(settings_open), "open after Escape")
            gear()
            # On the map clear of the panels, below the settings and above the scale bar and the attribution.
            spot = browser.execute_script("const x = innerWidth - 30, y = innerHeight * 0.75;"
                                          "const e = document.elementFromPoint(x, y);"
                                          "return e.closest('#map') && !e.closest('.leaflet-control') && [x, y]")
            self.assertTrue(spot, "no place on the map to tap")
            self.press_at(browser, *spot, touch)
            self.assertFalse(browser.execute_script(settings_open), "open after a tap on the map")

            # A look at each size by day and by night, the track in view.
            other = {"day": "night", "night": "day"}[chosen[1]]
            for theme in chosen[1], other:
                if theme == other:
                    gear()
                    choose("theme", theme)
                    gear()
                self.wait_in(browser, "return [...document.querySelectorAll('.leaflet-tile')].every(t => t.complete)",
                             "the tiles")
                browser.save_screenshot(os.path.join(folder, "map-%s-%s.png" % (size, theme)))
            press(browser.find_element(By.CLASS_NAME, "follow"))
            self.assertTrue(browser.execute_script("return follow"))

        # Kept on this device: a page opened without the settings in its address has the last chosen.
        browser.get(page)
        self.wait_in(browser, PANEL + ".latitude === %s" % json.dumps(shown("aviation")["latitude"]), "the page")
        self.assertEqual(browser.execute_script("return [settings.units, settings.orient, location.search]"),
                         ["aviation", "track", ""])
        # "auto" follows the device's dark mode as it changes.
        gear()
        choose("theme", "auto")
        for scheme, theme in ("dark", "night"), ("light", "day"), ("dark", "night"):
            browser.execute_cdp_cmd("Emulation.setEmulatedMedia",
                                    {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
            self.wait_in(browser, "return document.documentElement.dataset.theme === %s" % json.dumps(theme),
                         "the %s theme of a %s device" % (theme, scheme))
        self.assertEqual(self.page_errors(browser), [])

    def check_layout(self, browser, touch):
        """Each of the panel's rows on one line, its label and value apart and inside it; the attribution, the
        scale bar and the warning clear of the panel and of each other."""
        rows = browser.execute_script(
            "const box = (e) => { const r = e.getBoundingClientRect(); return [r.left, r.top, r.right, r.bottom]; };"
            "return [...document.querySelectorAll('#panel dl > div')].map(row => ["
            "box(row), ...[row.querySelector('dt'), row.querySelector('dd')].map(e => ["
            "box(e), parseFloat(getComputedStyle(e).lineHeight)])])")
        for row, (label, label_line), (value, value_line) in rows:
            self.assertLess(label[3] - label[1], 1.5 * label_line, "a label wraps")
            self.assertLess(value[3] - value[1], 1.5 * value_line, "a value wraps")
            self.assertLessEqual(label[2], value[0], "a label runs into its value")
            self.assertTrue(row[0] <= label[0] and value[2] <= row[2] + 0.5, "a row runs out of its place")
        self.wait_in(browser, "return !document.getElementById('warning').hidden", "the warning")
        boxes = browser.execute_script(
            "return ['#panel', '.leaflet-control-attribution', '.leaflet-control-scale', '#warning',"
            " '.leaflet-top.leaflet-left'].map(s => { const r = document.querySelector(s).getBoundingClientRect();"
            " return [r.left, r.top, r.right, r.bottom]; })")
        def apart(a, b):
            return a[2] <= b[0] or b[2] <= a[0] or a[3] <= b[1] or b[3] <= a[1]
        panel, attribution, scale, warning, controls = boxes
        for name, box in ("attribution", attribution), ("scale bar", scale), ("warning", warning):
            self.assertTrue(apart(panel, box), "the panel covers the " + name)
        self.assertTrue(apart(attribution, scale), "the scale bar covers the attribution")
        self.assertTrue(apart(warning, controls), "the warning covers the controls")
        self.assertTrue(all(0 <= box[0] and box[2] <= browser.execute_script("return innerWidth") for box in boxes))

    def check_touch_sizes(self, browser):
        """Every control a finger can hit, with the settings open, at least 44 pixels each way."""
        sizes = browser.execute_script(
            "return [...document.querySelectorAll('.leaflet-control a, .leaflet-control button,"
            " button.leaflet-control, .choice span')]"
            ".filter(e => !e.closest('.leaflet-control-attribution') && e.getClientRects().length > 0)"
            ".map(e => { const r = e.getBoundingClientRect();"
            " return [e.title || e.textContent, r.width, r.height]; })")
        self.assertGreaterEqual(len(sizes), 13)  # zoom in and out, 3 buttons, 8 choices
        for name, width, height in sizes:
            self.assertTrue(width >= 44 and height >= 44, "%s is %gx%g" % (name, width, height))

    def motion_between_fixes(self, browser, feed, sent):
        """Between fixes a second apart, the aircraft drawn flies on along its track at its ground speed,
        and onto the next fix's path without going back; on the ground it stays at its fix. Follow mode
        keeps it in the middle of the part of the map the panel leaves visible, at a desktop's size and a
        phone's, and zooms in on the ground and out at speed, but keeps a zoom made by hand."""
        self.maxDiff = None  # page errors in full
        # The other pages go: Chromium keeps no more than six connections to feedclient, and each holds one.
        browser.switch_to.new_window("tab")
        page = browser.current_window_handle
        self.assertEqual(self.page_errors(browser), [])  # none from the pages while they ran
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
        self.assertEqual(self.errors_since_tabs_closed(browser), [])
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
        self.assertEqual(self.errors_since_tabs_closed(browser), [])
