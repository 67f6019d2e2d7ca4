"""The feed for web pages: feedclient's HTTP endpoints, the requests it refuses, and many events clients.
"""
import concurrent.futures
import datetime
import email.utils
import gzip
import json
import os
import re
import socket
import tempfile
import time

from support import (EVENTS_REQUEST, FEET_PER_METRE, HTTP_PORT, MAX_CLIENTS, PATIENCE, RELAY_PORT, SECOND_HTTP_PORT,
                     TRACK_LIMIT, UNDER_WINE, LineReader, exchange, feed_line, fetch, great_circle, seconds_flown,
                     wait_for)


def status_json():
    return json.loads(fetch("/status.json")[2])


def utc_now():
    """Now in UTC, naive as the timestamps feedclient writes are read back, to the millisecond below."""
    now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    return now.replace(microsecond=now.microsecond // 1000 * 1000)


def in_time(timestamp, earliest):
    """Whether one of feedclient's UTC timestamps lies between `earliest` (from utc_now) and now."""
    at = datetime.datetime.fromisoformat(timestamp[:-1])
    return earliest <= at <= utc_now() + datetime.timedelta(milliseconds=1)  # a timestamp rounded up


class WebFeedCases:
    """What feedclient serves over HTTP, to programs. Mixed into FeedClientTest, which is a FeedClientCase."""

    def test_http_endpoints(self):
        lan = self.add_lan_address()
        started = utc_now()
        host, client, out, err = self.start_with_host("--json", "--http", str(HTTP_PORT), "--relay", str(RELAY_PORT))
        status, headers, body = fetch("/position.json")
        self.assertEqual((status, headers["content-type"], json.loads(body)),
                         (503, "application/json", {"error": "no position yet"}))
        empty = json.loads(fetch("/track.geojson")[2])
        self.assertRegex(empty.pop("started"), r"^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z$")
        self.assertEqual(empty, {"type": "FeatureCollection", "positions": 0, "features": []})
        events = self.connect_stream(HTTP_PORT, request=EVENTS_REQUEST)
        err.until(r"http: %s receives events; 1 events client\(s\)" % events.address)
        # For whoever helps a user: the feed's state and the servers', before any position. No NMEA server
        # runs, so none is told of.
        told = status_json()
        since = told["feed"].pop("since")
        self.assertTrue(in_time(since, started), since)
        self.assertEqual(told["feed"], {"from": "127.0.0.1:27015", "connected": True, "positions": 0, "age": None})
        self.assertEqual(told["servers"], {"http": {"port": HTTP_PORT, "clients": 1, "dropped": 0},
                                           "relay": {"port": RELAY_PORT, "clients": 0, "dropped": 0}})
        relayed = self.connect_stream(RELAY_PORT)
        err.until(r"relay: %s connected; 1 client\(s\)" % relayed.address)

        # Eastward, 76 m a tick, with an airspeed and a heading that are neither the ground speed nor the track.
        host.commands(["set sim/flightmodel/position/indicated_airspeed 120", "set sim/flightmodel/position/psi 95"])
        flying = time.monotonic()
        lines = self.fly(host, out, [(47, 8 + 0.001 * tick, 500 + tick) for tick in range(3)])
        told = status_json()
        self.assertEqual((told["feed"]["positions"], told["feed"]["since"], told["servers"]["relay"]),
                         (3, since, {"port": RELAY_PORT, "clients": 1, "dropped": 0}))
        # The latest position came after the last tick began; the age is to a tenth.
        self.assertTrue(0 <= told["feed"]["age"] <= time.monotonic() - flying + 0.05, told["feed"]["age"])
        before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        status, headers, body = fetch("/position.json")
        self.assertEqual((status, body.decode()), (200, lines[-1] + "\n"))
        # Every answer is dated, in the standard's one fixed form.
        self.assertRegex(headers["date"], r"^(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} [A-Z][a-z]{2} [0-9]{4} "
                                          r"[0-9]{2}:[0-9]{2}:[0-9]{2} GMT$")
        dated = email.utils.parsedate_to_datetime(headers["date"])
        self.assertTrue(before <= dated <= datetime.datetime.now(datetime.timezone.utc), headers["date"])
        head_status, head_headers, head_body = fetch("/position.json", "HEAD")
        del head_headers["date"], headers["date"]
        self.assertEqual((head_status, head_headers, head_body), (200, headers, b""))
        for path, kind in (("/events", "text/event-stream"), ("/position.json", "application/json"),
                           ("/track.geojson", "application/geo+json"), ("/status.json", "application/json")):
            headers = fetch(path, "HEAD")[1]
            self.assertEqual((headers["content-type"], headers["access-control-allow-origin"],
                              headers["cache-control"]), (kind, "*", "no-store"), path)

        # The stream: the feed's state, then each position, numbered, as its --json line, and its ground motion.
        wait_for(lambda: len(events.positions()) == 3, PATIENCE, "three position events")
        head, received = events.events()
        self.assertRegex(head, "^HTTP/1.1 200 OK\r\n")
        self.assertEqual((received[0][0], json.loads(received[0][2])["state"]), ("feed", "connected"))
        self.assertEqual([event for event in received if event[0] == "message"],
                         [("message", str(number), line) for number, line in enumerate(lines, 1)])
        motions = [json.loads(data) for kind, _, data in received if kind == "motion"]
        self.assertEqual(motions[0], {"groundSpeed": None, "track": None})
        records = [json.loads(line) for line in lines]
        for previous, record, motion in zip(records, records[1:], motions[1:]):
            metres, bearing = great_circle((previous["latitude"], previous["longitude"]),
                                           (record["latitude"], record["longitude"]))
            seconds = seconds_flown(previous, record)
            knots = metres / seconds * 3600 / 1852
            self.assertAlmostEqual(motion["groundSpeed"], knots, delta=0.06 + knots * 0.01)  # milliseconds
            self.assertEqual(motion["track"], round(bearing, 1))

        # The plug-in restarts: the stream tells, and the track takes a new segment.
        stopping = utc_now()
        host.stop()
        err.until("the feed closed the connection")
        told = status_json()["feed"]
        self.assertEqual((told["connected"], told["positions"]), (False, 3))
        self.assertTrue(in_time(told["since"], stopping), told["since"])
        restarting = utc_now()
        host = self.host_back(err)
        told = status_json()["feed"]
        self.assertTrue(told["connected"] and in_time(told["since"], restarting), told)
        lines += self.fly(host, out, [(47.5, 9, 600), (47.5, 9.001, 601)], pause=0)
        wait_for(lambda: len(events.positions()) == 5, PATIENCE, "five position events")
        self.assertEqual(status_json()["feed"]["positions"], 5)
        self.assertEqual([(kind, json.loads(data)["state"]) for kind, _, data in events.events()[1] if kind == "feed"],
                         [("feed", "connected"), ("feed", "lost"), ("feed", "connected")])
        geo = json.loads(fetch("/track.geojson")[2])
        self.assertEqual(geo["positions"], 5)
        self.assertEqual([feature["geometry"]["type"] for feature in geo["features"]], ["LineString"] * 2)
        records = [json.loads(line) for line in lines]
        flown = [[record["longitude"], record["latitude"], round(record["elevation"] / FEET_PER_METRE, 3)]
                 for record in records]
        self.assertEqual([feature["geometry"]["coordinates"] for feature in geo["features"]], [flown[:3], flown[3:]])

        # The page, its scripts and its styles come from feedclient alone; the tiles from OpenStreetMap, credited.
        status, headers, page = fetch("/")
        self.assertEqual((status, headers["content-type"]), (200, "text/html; charset=utf-8"))
        self.assertIn("default-src 'self'", headers["content-security-policy"])
        page = page.decode()
        self.assertIn('data-tiles="https://tile.openstreetmap.org/{z}/{x}/{y}.png"', page)
        self.assertIn('&lt;a href=&quot;https://www.openstreetmap.org/copyright&quot;&gt;OpenStreetMap&lt;/a&gt; '
                      'contributors', page)
        files = re.findall(r'(?:src|href)="([^"]*)"', page)
        self.assertEqual(files, ["icon.svg", "manifest.webmanifest", "apple-touch-icon.png", "leaflet.css", "map.css",
                                 "leaflet.js", "settings.js", "theme.js", "units.js", "map.js", "motion.js", "orient.js",
                                 "controls.js", "qr.js", "awake.js", "topojson.js", "offline.js"])
        kinds = {"svg": "image/svg+xml", "webmanifest": "application/manifest+json", "png": "image/png",
                 "css": "text/css", "js": "text/javascript", "json": "application/json"}
        # and the QR code's library, which qr.js loads only on the computer itself, and the world map
        for name in files + ["qrcode.js", "world.json"]:
            status, headers, body = fetch("/" + name)
            self.assertEqual((status, headers["content-type"].split(";")[0]),
                             (200, kinds[name.rsplit(".", 1)[1]]), name)
        self.assertTrue(fetch("/leaflet.js")[2].startswith(b"/* Leaflet, (c) 2010-2019 Vladimir Agafonkin"))
        self.assertIn(b"Copyright (c) 2009 Kazuhiko Arase", fetch("/qrcode.js")[2][:400])

        # Where to open the map: at each of the computer's addresses, from another device, with its
        # interface's name, and at 127.0.0.1 on the computer itself; /status.json tells the same. With the
        # test's LAN address, that one alone.
        local = "feedclient: http: open the map at http://127.0.0.1:%d/ on this computer\n" % HTTP_PORT
        self.assertIn(local, err.seen)
        told = status_json()
        self.assertEqual(told["local"], "http://127.0.0.1:%d/" % HTTP_PORT)
        others = err.seen[:err.seen.index(local)]
        self.assertEqual(["feedclient: http: open the map at %s from another device (%s)\n" % (a["url"], a["interface"])
                          for a in told["addresses"]], others)
        if lan:
            self.assertEqual(told["addresses"], [{"url": "http://%s:%d/" % (lan, HTTP_PORT), "interface": "lan0"}])

        # --open asks the desktop to open the map on this computer (xdg-open, which Wine's ShellExecute
        # calls too: here a stand-in that notes what it was given); with no way to ask, it says so, and
        # the map is served all the same.
        with tempfile.TemporaryDirectory() as desktop:
            opened = os.path.join(desktop, "opened")
            with open(os.path.join(desktop, "xdg-open"), "w") as opener:
                opener.write('#!/bin/sh\nprintf %%s "$1" > %s\n' % opened)
            os.chmod(os.path.join(desktop, "xdg-open"), 0o755)
            for path in [desktop + ":" + os.environ["PATH"]] + ["/var/empty"] * (not UNDER_WINE):
                told = LineReader(self.start_client("--http", str(SECOND_HTTP_PORT), "--open",
                                                    launcher=("env", "PATH=" + path)).stderr)
                told.until("on this computer$")
                if path.startswith(desktop):
                    wait_for(lambda: os.path.exists(opened) and os.path.getsize(opened) > 0, PATIENCE, "the browser")
                    with open(opened) as url:
                        self.assertEqual(url.read(), "http://127.0.0.1:%d/" % SECOND_HTTP_PORT)
                else:
                    self.assertEqual(told.next(), "feedclient: http: cannot open the map in a browser: "
                                                  "no xdg-open on this system\n")
                self.assertEqual(fetch("/", port=SECOND_HTTP_PORT)[0], 200)
                self.clients.pop().kill()

        # Gzipped for a client that takes it, the same bytes once unpacked; as they are for one that does not.
        for path in "/track.geojson", "/leaflet.js", "/world.json":
            plain, packed = (fetch(path, headers=headers) for headers in ({}, {"Accept-Encoding": "br, gzip"}))
            self.assertEqual((packed[0], packed[1]["content-encoding"], packed[1]["vary"]),
                             (200, "gzip", "Accept-Encoding"), path)
            self.assertNotIn("content-encoding", plain[1])
            self.assertEqual(gzip.decompress(packed[2]), plain[2], path)
            # A few positions' track shrinks less than a library does.
            self.assertLess(len(packed[2]), len(plain[2]) / (1.5 if path == "/track.geojson" else 2), path)

    def test_http_bad_requests(self):
        """Each bad request has its answer, while an events client gets every position throughout."""
        host, client, out, err = self.start_with_host("--json", "--http", str(HTTP_PORT))
        events = self.connect_stream(HTTP_PORT, request=EVENTS_REQUEST)
        err.until(r"http: %s receives events" % events.address)
        started = time.monotonic()
        slow = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=PATIENCE)
        slow.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")  # and no more

        wanted = b"Host: 127.0.0.1\r\n\r\n"
        paths = [b"/nothing", b"/index.htm", b"/../../../../etc/passwd", b"/%2e%2e/%2e%2e/etc/passwd", b"//etc/passwd",
                 b"/leaflet.js/../../etc/hostname", b"/C:/Windows/win.ini", b"/..\\..\\Windows\\win.ini",
                 b"/client/web/map.js", b"/map.js/"]
        cases = [(b"POST /position.json HTTP/1.1\r\nContent-Length: 2\r\n" + wanted + b"hi", 405),
                 (b"OPTIONS /events HTTP/1.1\r\n" + wanted, 405),
                 (b"GARBAGE\r\n\r\n", 400),
                 (b"GET / HTTP/1.1\r\n\r\n", 400),  # no Host
                 (b"GET /\x00 HTTP/1.1\r\n" + wanted, 400),
                 (b"GET / HTTP/1.1\r\nX: " + b"x" * 8200 + b"\r\n" + wanted, 431),
                 (b"GET / HTTP/1.1\r\nX: " + b"x" * 9000, 431),  # and no end
                 (b"GET / HTTP/2.0\r\n" + wanted, 505),
                 (b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 505),  # HTTP/2's preface
                 (b"GET /" + b"x" * 9000 + b" HTTP/1.1\r\n" + wanted, 414),
                 # The absolute form, which a client sends to a proxy, and empty lines before a request.
                 (b"GET http://127.0.0.1:%d/map.js?v=2 HTTP/1.1\r\n%s" % (HTTP_PORT, wanted), 200),
                 (b"\r\n\r\nGET /map.css HTTP/1.1\r\n" + wanted, 200)]
        cases += [(b"GET %s HTTP/1.1\r\n%s" % (path, wanted), 404) for path in paths]
        lines = []
        for number, (request, status) in enumerate(cases):
            answer = exchange(request)
            self.assertRegex(answer, rb"^HTTP/1\.1 %d [A-Za-z ]+\r\n(.+\r\n)*Connection: close\r\n" % status, request)
            if status == 405:
                self.assertIn(b"\r\nAllow: GET, HEAD\r\n", answer)
            host.commands(host.tick_commands(10 + number))
            lines.append(out.next().rstrip("\n"))

        # A client that does not finish its request is answered and closed after 10 s.
        answer = b""
        while chunk := slow.recv(4096):
            answer += chunk
        self.assertGreaterEqual(time.monotonic() - started, 10)
        self.assertRegex(answer, rb"^HTTP/1\.1 408 Request Timeout\r\n")
        slow.close()
        wait_for(lambda: len(events.positions()) == len(lines), PATIENCE, "every position event")
        self.assertEqual(events.positions(), lines)

    def test_http_many_events_clients(self):
        """100 events clients, one of which stalls; the 101st is refused. Those that read get every position,
        the stalled one whole events, the oldest dropped as counted."""
        host, client, out, err = self.start_with_host("--json", "--http", str(HTTP_PORT))
        readers = [self.connect_stream(HTTP_PORT, request=EVENTS_REQUEST) for _ in range(MAX_CLIENTS - 1)]
        stalled = self.connect_stream(HTTP_PORT, reading=False, request=EVENTS_REQUEST)
        err.until(r"http: 127\.0\.0\.1:[0-9]+ receives events; %d events client\(s\)" % MAX_CLIENTS)
        for request in EVENTS_REQUEST, b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n":
            self.assertRegex(exchange(request), rb"^HTTP/1\.1 503 Service Unavailable\r\n(.+\r\n)*Retry-After: ")
            err.until(r"http: refused 127\.0\.0\.1:[0-9]+: already serving %d clients" % MAX_CLIENTS)

        count = 400  # more than the stalled client's buffers and queue hold
        for batch in range(0, count, 10):
            ticks = range(batch, batch + 10)
            host.commands(sum((host.tick_commands(round(0.01 * tick, 2)) for tick in ticks), []))
        lines = [out.next().rstrip("\n") for _ in range(count)]
        for reader in readers:
            wait_for(lambda: len(reader.positions()) == count, PATIENCE,
                     lambda: "every position event at %s: %d of %d, its stream %s; feedclient told:\n%s"
                     % (reader.address, len(reader.positions()), count, "ended" if reader.ended else "open",
                        err.so_far()))
            self.assertEqual(reader.positions(), lines)
        # The stalled client reads again. Unless it had by then taken nothing for 10 s, and was given up, it
        # catches up, and has had whole events, the oldest dropped as counted.
        stalled.reading.set()
        wait_for(lambda: stalled.positions()[-1:] == lines[-1:] or stalled.ended, PATIENCE,
                 "the stalled client to catch up, or to have been given up")
        if not stalled.ended:
            stalled.close()
        ending = err.until(r"http: %s (left|took nothing for 10 s); [0-9]+ events dropped" % stalled.address)
        dropped = int(ending.split()[-3])
        got = stalled.positions()
        if "left" in ending:
            self.assertGreater(dropped, 0)
            self.assertEqual(len(got) + dropped, count)
        else:  # and what was queued for it went with it
            self.assertLess(len(got) + dropped, count)
        remaining = iter(lines)
        self.assertTrue(all(line in remaining for line in got), "not the feed's positions in order")
        # Counted as told, the readers' nothing; the stalled client gone, with its place free again.
        self.assertEqual(status_json()["servers"]["http"],
                         {"port": HTTP_PORT, "clients": MAX_CLIENTS - 1, "dropped": dropped})
        self.connect_stream(HTTP_PORT, request=EVENTS_REQUEST)
        err.until(r"http: 127\.0\.0\.1:[0-9]+ receives events; %d events client\(s\)" % MAX_CLIENTS)
        client.kill()
        client.wait()
        self.day_track_for_many_clients()

    def day_track_for_many_clients(self):
        """A day's track, 2.6 MB of GeoJSON: cut at the antimeridian and where the aircraft was moved, but not
        where lines came in a burst; the same whole answer to 100 clients at once, and to one that shuts its
        end after asking; and 100 that take none of it hold their places only for their 10 s."""
        feed = self.start_fake_feed()
        client = self.start_client("--http", str(HTTP_PORT), "--relay", str(RELAY_PORT), feed.address)
        LineReader(client.stdout)
        err = LineReader(client.stderr)
        # Eastward along 47 N, 76 m a position, across the antimeridian; then the aircraft is put at Zurich.
        # All of it in one burst, as after a stall.
        eastward = [(47.0, 150.0005 + 0.001 * n) for n in range(TRACK_LIMIT)]
        flown = [(latitude, longitude - 360 if longitude > 180 else longitude) for latitude, longitude in eastward]
        zurich = (47.458056, 8.548056)
        feed.send(feed_line(*point) for point in flown + [zurich])
        wait_for(lambda: fetch("/position.json")[0] == 200 and
                 json.loads(fetch("/position.json")[2])["latitude"] == zurich[0], PATIENCE, "the last position")

        status, headers, body = fetch("/track.geojson")
        geo = json.loads(body)
        self.assertEqual(geo["positions"], TRACK_LIMIT + 1)
        self.assertEqual([feature["geometry"]["type"] for feature in geo["features"]], ["MultiLineString", "Point"])
        metres = round(30000 / FEET_PER_METRE, 3)  # feed_line's elevation
        kept = [[round(longitude, 6), latitude, metres] for latitude, longitude in flown[1:]]  # the oldest went
        west = [point for point in kept if point[0] > 0]
        self.assertEqual(geo["features"][0]["geometry"]["coordinates"],
                         [west + [[180, 47, metres]], [[-180, 47, metres]] + kept[len(west):]])
        self.assertEqual(geo["features"][1]["geometry"]["coordinates"], [zurich[1], zurich[0], metres])

        def fetch_track(shut_after_asking):
            with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=PATIENCE) as connection:
                connection.sendall(b"GET /track.geojson HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                if shut_after_asking:
                    connection.shutdown(socket.SHUT_WR)  # as nc -N does
                answer = b""
                while chunk := connection.recv(1 << 20):
                    answer += chunk
            return answer
        with concurrent.futures.ThreadPoolExecutor(MAX_CLIENTS) as pool:
            answers = list(pool.map(fetch_track, [number == 0 for number in range(MAX_CLIENTS)]))
        for answer in answers:
            head, _, answered = answer.partition(b"\r\n\r\n")
            self.assertIn(b"\r\nContent-Length: %d\r\n" % len(body), head)
            self.assertEqual(answered, body)

        # 100 that never read: the page is refused meanwhile, while the relay's client gets every line.
        asked = time.monotonic()
        request = b"GET /track.geojson HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
        unread = {self.connect_stream(HTTP_PORT, reading=False, request=request).address for _ in range(MAX_CLIENTS)}
        self.assertRegex(exchange(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), rb"^HTTP/1\.1 503 ")
        relayed = self.connect_stream(RELAY_PORT)
        err.until(r"relay: %s connected" % relayed.address)
        more = [feed_line(zurich[0] + 0.0001 * n, zurich[1]) for n in range(1, 11)]
        feed.send(more)
        wait_for(lambda: relayed.lines() == [line.decode() for line in more], PATIENCE, "the relay's client to get every line")
        # Given up 10 s after they were answered, not sooner, and the page is served again.
        given_up = set()
        while len(given_up) < MAX_CLIENTS:
            given_up.add(re.search(r"http: ([0-9.:]+) took nothing for 10 s; its answer cut short",
                                   err.until(r"took nothing for 10 s; its answer cut short")).group(1))
        self.assertGreaterEqual(time.monotonic() - asked, 10)
        self.assertEqual(given_up, unread)
        self.assertEqual(fetch("/")[0], 200)
