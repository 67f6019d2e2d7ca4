#!/usr/bin/env python3
"""feedclient and the README's Python example against the plug-in in the stand-in host, their output read
back with tools of others: jq, gpsd, gpsbabel, Python's csv, XML and HTTP modules, and Chromium.

Paths come from the environment: FEEDCLIENT, STANDIN_HOST, MODULE, READ_FEED_EXAMPLE, README, PROTOCOL, and
SCREENSHOT, where the browser test saves the map. A FEEDCLIENT ending in .exe is the Windows build, run
under Wine.
Run one case: feedclient_e2e.py FeedClientTest.test_json
"""
import csv
import datetime
import fcntl
import http.client
import http.server
import io
import json
import math
import os
import queue
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import xml.etree.ElementTree as ElementTree
import zlib

FEED_PORT = 27015
RELAY_PORT, NMEA_PORT, GPSD_PORT, HTTP_PORT, TILE_PORT = 27115, 27116, 27117, 27120, 27121
MAX_CLIENTS = 100  # of each of feedclient's servers
EVENTS_REQUEST = b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
FEET_PER_METRE = 3.28084
PATIENCE = 30  # seconds: how long a wait for an event may last before the test fails; it ends when the event comes
FEEDCLIENT = os.environ.get("FEEDCLIENT", "")
UNDER_WINE = FEEDCLIENT.endswith(".exe")
SANITIZED = os.environ.get("SANITIZED") == "1"  # processor times are then reported, not asserted
GPX = "{http://www.topografix.com/GPX/1/1}"
# The demo flight starts at the gate at Zurich, 432 m up.
GATE_LATITUDE, GATE_LONGITUDE, GATE_ELEVATION_FEET = 47.4515, 8.5617, 432 * 3.28084
NUMBER = r"-?(0|[1-9][0-9]*)\.[0-9]{6}"
FEED_LINE = re.compile(r'\{version:"1",latitude:"%s",longitude:"%s",speed:"%s",elevation:"%s",heading:"%s"\}\n'
                       % ((r"(-?(?:(?:0|[1-9][0-9]*)\.[0-9]{6}|nan|inf))",) * 5))
LATITUDE = "sim/flightmodel/position/latitude"
LONGITUDE = "sim/flightmodel/position/longitude"
ELEVATION = "sim/flightmodel/position/elevation"
EARTH_RADIUS = 6371008.8  # metres, the mean radius


def line_of(row):
    """The feed line a CSV row of feedclient's was made from: the CSV holds the values exactly as sent."""
    return '{version:"1",latitude:"%s",longitude:"%s",speed:"%s",elevation:"%s",heading:"%s"}\n' % tuple(row[1:])


def great_circle(start, end):
    """Distance in metres and initial bearing in degrees between two (latitude, longitude) points."""
    (lat1, lon1), (lat2, lon2) = [(math.radians(a), math.radians(b)) for a, b in (start, end)]
    a = math.sin((lat2 - lat1) / 2) ** 2 + math.cos(lat1) * math.cos(lat2) * math.sin((lon2 - lon1) / 2) ** 2
    bearing = math.atan2(math.sin(lon2 - lon1) * math.cos(lat2),
                         math.cos(lat1) * math.sin(lat2) - math.sin(lat1) * math.cos(lat2) * math.cos(lon2 - lon1))
    return 2 * EARTH_RADIUS * math.asin(math.sqrt(a)), math.degrees(bearing) % 360


def travel(start, metres, bearing):
    """Where `metres` along the great circle from `start` at initial `bearing` degrees leads."""
    lat, lon, angle, course = (math.radians(start[0]), math.radians(start[1]), metres / EARTH_RADIUS,
                               math.radians(bearing))
    lat2 = math.asin(math.sin(lat) * math.cos(angle) + math.cos(lat) * math.sin(angle) * math.cos(course))
    lon2 = lon + math.atan2(math.sin(course) * math.sin(angle) * math.cos(lat),
                            math.cos(angle) - math.sin(lat) * math.sin(lat2))
    return math.degrees(lat2), math.degrees(lon2)


def feed_port_listens():
    """Whether a socket listens on the feed port, found without connecting to it."""
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            local, state = row.split()[1], row.split()[3]
            if int(local.split(":")[1], 16) == FEED_PORT and state == "0A":
                return True
    return False


def processor_seconds(pid):
    """The processor time, user and system, that process `pid` has used so far."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def fetch(path, method="GET"):
    """Status, headers (names in lower case) and body of a request to feedclient's HTTP server."""
    connection = http.client.HTTPConnection("127.0.0.1", HTTP_PORT, timeout=PATIENCE)
    connection.request(method, path)
    response = connection.getresponse()
    answer = response.status, {name.lower(): value for name, value in response.getheaders()}, response.read()
    connection.close()
    return answer


def exchange(request, port=HTTP_PORT):
    """Sends raw bytes to a server and returns all it answers, until it closes the connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=PATIENCE) as connection:
        connection.sendall(request)
        answer = b""
        while chunk := connection.recv(65536):
            answer += chunk
    return answer


class LineReader:
    """Collects a pipe's lines on a thread, so they can be waited for with a time-out."""

    def __init__(self, pipe):
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, args=(pipe,), daemon=True).start()

    def _read(self, pipe):
        for line in iter(pipe.readline, ""):
            self.lines.put(line)
        self.lines.put(None)

    def next(self, seconds=PATIENCE):
        line = self.lines.get(timeout=seconds)
        if line is not None:
            self.seen.append(line)
        return line

    def until(self, pattern, seconds=PATIENCE):
        deadline = time.monotonic() + seconds
        while True:
            line = self.next(max(0.01, deadline - time.monotonic()))
            if line is None:
                raise AssertionError("pipe closed before %r; saw %r" % (pattern, self.seen))
            if re.search(pattern, line):
                return line


def grid_tile():
    """A 256-pixel PNG map tile, light grey with a darker line along its top and left edges."""
    light, dark = b"\xe4\xe8\xec", b"\xb8\xc0\xc8"
    rows = b"\x00" + dark * 256 + (b"\x00" + dark + light * 255) * 255

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 256, 256, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


class TileServer(http.server.ThreadingHTTPServer):
    """A map tile server on loopback, which also serves a page of its own: another origin than feedclient's."""
    TILE = grid_tile()

    def __init__(self, page):
        self.page = page
        self.tiles_served = 0

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(handler):
                if handler.path == "/page.html":
                    body, kind = self.page.encode(), "text/html; charset=utf-8"
                elif re.fullmatch(r"/[0-9]+/[0-9]+/[0-9]+\.png", handler.path):
                    body, kind = self.TILE, "image/png"
                    self.tiles_served += 1
                else:
                    return handler.send_error(404)
                handler.send_response(200)
                handler.send_header("Content-Type", kind)
                handler.send_header("Content-Length", str(len(body)))
                handler.end_headers()
                handler.wfile.write(body)

            def log_message(handler, *arguments):
                pass
        super().__init__(("127.0.0.1", TILE_PORT), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def stop(self):
        self.shutdown()
        self.server_close()


class StreamClient:
    """A TCP client of one of feedclient's servers that reads on a thread of its own, or holds off reading
    until told to, with its receive buffer small so that what it does not read soon backs up."""

    def __init__(self, port, reading=True, request=b""):
        self.socket = socket.socket()
        if not reading:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        self.socket.connect(("127.0.0.1", port))
        self.socket.sendall(request)
        self.address = "127.0.0.1:%d" % self.socket.getsockname()[1]
        self.received = b""
        self.ended = False
        self.reading = threading.Event()
        if reading:
            self.reading.set()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        self.reading.wait()
        try:
            while chunk := self.socket.recv(65536):
                self.received += chunk
        except ConnectionResetError:
            pass  # the end for a client still waiting in a listener's backlog when feedclient ends
        self.ended = True

    def lines(self):
        return self.received.decode().splitlines(keepends=True)

    def events(self):
        """An events stream's response head, and its events so far as (type, id, data); comments left out."""
        head, _, body = self.received.partition(b"\r\n\r\n")
        events = []
        for block in body.decode().split("\n\n")[:-1]:
            fields = dict(line.partition(": ")[::2] for line in block.split("\n") if not line.startswith(":"))
            if "data" in fields:
                events.append((fields.get("event", "message"), fields.get("id"), fields["data"]))
        return head.decode(), events

    def positions(self):
        return [data for kind, _, data in self.events()[1] if kind == "message"]

    def close(self):
        self.socket.shutdown(socket.SHUT_RDWR)
        self.socket.close()


class Host:
    """The stand-in host with the Linux module: flying the demo flight in real time, or under control."""

    def __init__(self, control=False):
        self.control = control
        arguments = [os.environ["STANDIN_HOST"]] + (["--control"] if control else []) + [os.environ["MODULE"]]
        self.log = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen(arguments, text=True, stdin=subprocess.PIPE if control else None,
                                        stdout=subprocess.PIPE if control else self.log)
        if control:
            self.output = LineReader(self.process.stdout)

    def command(self, line):
        return self.commands([line])

    def commands(self, lines):
        """Sends the commands at once, then waits for every answer; returns the last."""
        self.process.stdin.write("".join(line + "\n" for line in lines))
        self.process.stdin.flush()
        for _ in lines:
            answer = self.output.until(r"^host: (ok|error)")
            if not answer.startswith("host: ok"):
                raise AssertionError("the host answered " + answer)
        return answer

    def start_under_control(self):
        """Loads the plug-in and runs the clock until it listens."""
        self.commands(["load", "advance 4"])
        self.wait_listening()

    def tick_commands(self, latitude, longitude=None, elevation=None):
        """The commands that set the position and run one tick, which sends a line to a connected client."""
        values = [(LATITUDE, latitude), (LONGITUDE, longitude), (ELEVATION, elevation)]
        return ["set %s %s" % (name, value) for name, value in values if value is not None] + ["advance 1"]

    def wait_listening(self):
        wait_for(feed_port_listens, PATIENCE, "the plug-in to listen")

    def wait_serving(self):
        """Waits until the plug-in has taken the client that connected, which it does a moment later (a tick
        before then sends nothing); it stops listening then."""
        wait_for(lambda: not feed_port_listens(), PATIENCE, "the plug-in to take its client")

    def stop(self):
        """As Ctrl-C stops X-Plane: the plug-in is stopped and unloaded, and the host ends."""
        if self.process.poll() is None:
            if self.control:
                self.command("quit")
            else:
                self.process.send_signal(signal.SIGINT)
        self.process.wait(timeout=PATIENCE)
        wait_for(lambda: not feed_port_listens(), PATIENCE, "the port to be free")


class FeedClientTest(unittest.TestCase):
    def setUp(self):
        self.assertFalse(feed_port_listens(), "something already listens on the feed port")
        self.hosts = []
        self.clients = []
        self.streams = []
        self.folder = tempfile.TemporaryDirectory()

    def tearDown(self):
        for stream in self.streams:
            stream.socket.close()
        for process in self.clients:
            if process.poll() is None:
                process.kill()
            process.wait()
        for host in self.hosts:
            if host.process.poll() is None:
                host.process.kill()
            host.process.wait()
        self.folder.cleanup()

    def start_host(self, control=False):
        host = Host(control)
        self.hosts.append(host)
        return host

    def host_back(self, err):
        """A host under control once more, with feedclient, whose notices `err` reads, connected and served."""
        host = self.start_host(control=True)
        host.start_under_control()
        err.until("connected to 127.0.0.1:27015")
        host.wait_serving()
        return host

    def start_client(self, *arguments, launcher=()):
        """feedclient with `arguments`, started by `launcher` (e.g. prlimit) if given."""
        process = subprocess.Popen([*launcher] + (["wine"] if UNDER_WINE else []) + [FEEDCLIENT, *arguments],
                                   text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.clients.append(process)
        return process

    def connect_stream(self, port, reading=True, request=b""):
        stream = StreamClient(port, reading, request)
        self.streams.append(stream)
        return stream

    def finish(self, client, seconds=PATIENCE):
        out, err = client.communicate(timeout=seconds)
        return client.returncode, out, err

    def assert_near_gate(self, latitude, longitude, elevation, feet=0.01):
        # Within a few kilometres of the gate in the first minute of the flight, and on the field.
        self.assertAlmostEqual(latitude, GATE_LATITUDE, delta=0.05)
        self.assertAlmostEqual(longitude, GATE_LONGITUDE, delta=0.05)
        self.assertAlmostEqual(elevation, GATE_ELEVATION_FEET, delta=feet)

    def test_json(self):
        host = self.start_host()
        host.wait_listening()
        status, out, err = self.finish(self.start_client("--json", "--count", "4"))
        self.assertEqual(status, 0, err)
        checked = subprocess.run(
            ["jq", "-e", "-s", "length == 4 and all(.[]; (keys == "
             '["elevation","heading","latitude","longitude","speed","time"]) and '
             "([.latitude, .longitude, .speed, .elevation, .heading] | all(type == \"number\")) and "
             '(.time | test("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\\\\.[0-9]{3}Z$")))'],
            input=out, text=True, capture_output=True)
        self.assertEqual(checked.returncode, 0, "jq rejected:\n" + out + checked.stderr)
        # The numbers keep the wire's six decimals.
        for line in out.splitlines():
            self.assertRegex(line, r'"latitude":%s,"longitude":%s,' % (NUMBER, NUMBER))
        positions = [json.loads(line) for line in out.splitlines()]
        for position in positions:
            self.assert_near_gate(position["latitude"], position["longitude"], position["elevation"])
        # The aircraft sets off from the gate at once, and about a second passes between positions.
        self.assertGreater(positions[-1]["speed"], positions[0]["speed"])
        self.assertIn("connected to 127.0.0.1:27015", err)

    def test_csv_across_host_restart(self):
        host = self.start_host()
        host.wait_listening()
        client = self.start_client("--csv", "--count", "5")
        rows = LineReader(client.stdout)
        rows.next()  # the header
        rows.next()
        rows.next()
        host.stop()  # two positions in: the plug-in stops and frees the port
        self.start_host()
        status = client.wait(timeout=PATIENCE)
        err = client.stderr.read()
        self.assertEqual(status, 0, err)
        while rows.next() is not None:
            pass
        table = list(csv.DictReader(io.StringIO("".join(rows.seen))))
        self.assertEqual(len(table), 5, rows.seen)
        for row in table:
            self.assertEqual(list(row), ["time", "latitude", "longitude", "speed", "elevation", "heading"])
            self.assert_near_gate(float(row["latitude"]), float(row["longitude"]), float(row["elevation"]))
        self.assertIn("the feed closed the connection", err)
        # Lost after lines came, the plug-in is tried every half second at first: it listens again soon.
        # The new host listens 4 s after it starts, so there are refusals.
        retries = re.findall(r"retrying in ([0-9.]+) s", err.split("the feed closed the connection")[1])
        self.assertGreaterEqual(len(retries), 2, err)
        self.assertEqual(set(retries[:10]), {"0.5"}, err)
        self.assertEqual(err.count("connected to 127.0.0.1:27015"), 2, err)

    def test_host_started_later(self):
        client = self.start_client("--json", "--count", "2", "127.0.0.1")
        time.sleep(2)
        self.start_host()
        status, out, err = self.finish(client)
        self.assertEqual(status, 0, err)
        self.assertEqual(len(out.splitlines()), 2)
        # Refused at once, then after waits of 0.5, 1 and 2 s, or more while the host starts.
        self.assertRegex(err, r"cannot connect to 127\.0\.0\.1:27015: Connection refused; retrying in 0\.5 s\n"
                              r".*Connection refused; retrying in 1\.0 s\n")
        self.assertIn("connected to 127.0.0.1:27015", err)

    def test_host_name_found_late_and_lost_again(self):
        """A name that cannot be looked up for now, or that was found before, is no typo: feedclient tries it
        until it is found. It runs with a hosts file, a name server and a name-service order of the test's
        own, each changed in place by one character, so that no lookup sees a file half written."""
        if os.geteuid() != 0 or subprocess.run(["unshare", "--mount", "true"]).returncode != 0:
            self.skipTest("needs root, for files of its own in /etc")
        files = {"hosts": "127.0.0.1 localhost #simulator-pc\n",
                 "resolv.conf": "nameserver 192.0.2.1\noptions timeout:1 attempts:1\n",  # a test address: no answer
                 "nsswitch.conf": "hosts: files dns\n"}
        mounts = []
        for name, text in files.items():
            path = os.path.join(self.folder.name, name)
            with open(path, "w") as file:
                file.write(text)
            mounts.append("mount --bind %s /etc/%s" % (path, name))

        def change(name, text):
            with open(os.path.join(self.folder.name, name), "r+") as file:
                file.write(text)

        client = self.start_client("--json", "--count", "2", "simulator-pc", launcher=[
            "unshare", "--mount", "sh", "-c", " && ".join(mounts) + ' && exec "$@"', "sh"])
        out, err = LineReader(client.stdout), LineReader(client.stderr)
        for _ in range(2):
            err.until("simulator-pc:27015: Temporary failure in name resolution; retrying in ")
        change("hosts", "127.0.0.1 localhost  simulator-pc\n")
        host = self.start_host()
        err.until("connected to simulator-pc:27015")
        self.assertRegex(out.next(), '^{"time":')
        # The name is gone, and there is no name server to ask: not known now, but found before.
        change("nsswitch.conf", "hosts: files #ns\n")
        change("hosts", "127.0.0.1 localhost #simulator-pc\n")
        host.stop()
        for _ in range(2):
            err.until("simulator-pc:27015: Name or service not known; retrying in ")
        change("hosts", "127.0.0.1 localhost  simulator-pc\n")
        self.start_host()
        self.assertEqual(client.wait(timeout=PATIENCE), 0, "".join(err.seen))
        self.assertRegex(out.next(), '^{"time":')

    def gpx_points(self, path):
        """The track as gpsbabel reads it back, checked against Python's XML reading."""
        babel = subprocess.run(["gpsbabel", "-t", "-i", "gpx", "-f", path, "-o", "unicsv", "-F", "-"],
                               text=True, capture_output=True)
        self.assertEqual(babel.returncode, 0, babel.stderr)
        rows = list(csv.DictReader(io.StringIO(babel.stdout)))
        root = ElementTree.parse(path).getroot()
        self.assertEqual((root.tag, root.get("version")), (GPX + "gpx", "1.1"))
        points = root.findall("%strk/%strkseg/%strkpt" % (GPX, GPX, GPX))
        self.assertEqual(len(rows), len(points))
        for row, point in zip(rows, points):
            self.assertAlmostEqual(float(row["Latitude"]), float(point.get("lat")), places=6)
            # GPX elevations are metres, to the millimetre.
            self.assert_near_gate(float(row["Latitude"]), float(row["Longitude"]),
                                  float(row["Altitude"]) * 3.28084, feet=0.01)
        return rows

    def run_gpx_until(self, stop_signal, points=3):
        """feedclient writing track.gpx from the demo flight until the file holds `points` points."""
        if not self.hosts:
            self.start_host().wait_listening()
        path = os.path.join(self.folder.name, "track.gpx")
        client = self.start_client("--gpx", path)
        wait_for(lambda: os.path.exists(path) and open(path).read().count("<trkpt") >= points, PATIENCE,
                 "%d points in the track" % points)
        client.send_signal(stop_signal)
        return client.wait(timeout=PATIENCE), path

    def test_gpx_after_ctrl_c(self):
        status, path = self.run_gpx_until(signal.SIGINT)
        self.assertEqual(status, 0)
        first = self.gpx_points(path)
        self.assertGreaterEqual(len(first), 3)
        # The same command again, as the next day: the file keeps the first flight and gets a track for the next.
        status, path = self.run_gpx_until(signal.SIGINT, len(first) + 3)
        self.assertEqual(status, 0)
        both = self.gpx_points(path)
        self.assertEqual(both[:len(first)], first)
        self.assertGreaterEqual(len(both), len(first) + 3)
        self.assertEqual(len(ElementTree.parse(path).getroot().findall(GPX + "trk")), 2)
        # A file that is not GPX is refused and left as it was.
        notes = os.path.join(self.folder.name, "notes.txt")
        with open(notes, "w") as file:
            file.write("take-off 10:40\n")
        status, out, err = self.finish(self.start_client("--gpx", notes))
        self.assertEqual(status, 2)
        self.assertIn("notes.txt: not a GPX file, so it is left as it is", err)
        with open(notes) as file:
            self.assertEqual(file.read(), "take-off 10:40\n")

    def test_gpx_after_kill(self):
        status, path = self.run_gpx_until(signal.SIGKILL)
        self.assertEqual(status, -signal.SIGKILL)
        self.assertGreaterEqual(len(self.gpx_points(path)), 3)

    def test_nan_and_silence(self):
        host = self.start_host(control=True)
        host.command("load")
        host.command("advance 4")
        host.wait_listening()
        client = self.start_client("--json")
        out, err = LineReader(client.stdout), LineReader(client.stderr)
        err.until("connected to")

        def tick_until_line():
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                host.command("advance 1")
                try:
                    return json.loads(out.next(0.3))
                except queue.Empty:
                    pass
            raise AssertionError("no line")

        tick_until_line()
        host.command("set sim/flightmodel/position/latitude nan")
        host.command("set sim/flightmodel/position/indicated_airspeed -inf")
        position = tick_until_line()
        self.assertIsNone(position["latitude"])
        self.assertIsNone(position["speed"])
        self.assertAlmostEqual(position["longitude"], GATE_LONGITUDE, places=6)
        # The clock stands still: no line comes.
        started = time.monotonic()
        err.until("no line for more than 2 s", seconds=5)
        self.assertGreater(time.monotonic() - started, 2)
        tick_until_line()
        err.until("lines are coming again")
        client.send_signal(signal.SIGINT)
        self.assertEqual(client.wait(timeout=PATIENCE), 0)

    def test_bad_lines(self):
        good = b'{version:"1",latitude:"47.458056",longitude:"8.548056",speed:"142.370003",' \
               b'elevation:"1417.322880",heading:"271.250000"}\n'
        with socket.create_server(("127.0.0.1", 0)) as server:
            client = self.start_client("--csv", "--relay", str(RELAY_PORT), "127.0.0.1:%d" % server.getsockname()[1])
            out_reader, err_reader = LineReader(client.stdout), LineReader(client.stderr)
            connection, _ = server.accept()
            relayed = self.connect_stream(RELAY_PORT)
            err_reader.until("relay: %s connected" % relayed.address)
            with connection:
                connection.sendall(good + good.replace(b"142.370003", b"142.37000") + good[:-1] + b"\r\n" + good
                                   + good[:50])
            err_reader.until("dropped an unfinished line of 50 bytes")
            client.send_signal(signal.SIGINT)
            self.assertEqual(client.wait(timeout=PATIENCE), 1)
        for reader in out_reader, err_reader:
            while reader.next() is not None:
                pass
        self.assertEqual(len(out_reader.seen), 3, out_reader.seen)  # the header and the two good lines
        messages = "".join(err_reader.seen)
        self.assertIn('line 2: bad value of "speed" at column 67: expected six decimals, found 5: '
                      '{version:"1",latitude:"47.458056"', messages)
        self.assertIn("line 3: unexpected '\\r' after '}' at column 120: ", messages)
        self.assertIn('heading:"271.250000"}\\r\n', messages)
        self.assertNotIn("line 4", messages)
        # Only the good lines are relayed, as they came; the client sees its stream end when feedclient does.
        wait_for(lambda: relayed.ended, PATIENCE, "the relayed stream to end")
        self.assertEqual(relayed.received, good + good)

    def start_stalled_client(self, *arguments):
        """feedclient with a standard output that nobody reads, its pipe as small as the system allows."""
        client = self.start_client(*arguments)
        fcntl.fcntl(client.stdout.fileno(), fcntl.F_SETPIPE_SZ, 4096)
        return client

    def start_with_host(self, *arguments, launcher=(), stalled=False):
        """A host under control, and feedclient connected to it and taken by the plug-in; its stdout and stderr
        readers (no stdout reader if `stalled`: see start_stalled_client)."""
        host = self.start_host(control=True)
        host.start_under_control()
        client = self.start_stalled_client(*arguments) if stalled else self.start_client(*arguments, launcher=launcher)
        out, err = None if stalled else LineReader(client.stdout), LineReader(client.stderr)
        err.until("connected to 127.0.0.1:27015")
        host.wait_serving()
        return host, client, out, err

    def test_relay(self):
        host, client, out, err = self.start_with_host("--csv", "--relay", str(RELAY_PORT))
        streams = [self.connect_stream(RELAY_PORT) for _ in range(MAX_CLIENTS)]
        err.until(r"relay: %s connected; %d client\(s\)" % (streams[-1].address, MAX_CLIENTS))
        refused = self.connect_stream(RELAY_PORT)
        err.until(r"relay: refused %s: already serving %d clients" % (refused.address, MAX_CLIENTS))
        wait_for(lambda: refused.ended, PATIENCE, "the refused client's stream to end")
        self.assertEqual(refused.received, b"")

        rows = []
        def send_lines(first):
            for latitude in range(first, first + 3):
                host.commands(host.tick_commands(latitude))
                rows.append(out.until("^[0-9]{4}-").strip().split(","))
        out.next()  # the header
        send_lines(10)
        leaving, staying = streams[:50], streams[50:]
        for stream in leaving:
            # feedclient wrote the line out, but a client's reader may not have taken it off its socket yet.
            wait_for(lambda: stream.received.count(b"\n") == 3, PATIENCE, "the lines before leaving")
            stream.close()
        # In the order the system reports their ends, which under Wine need not be the order they closed in.
        left = {err.until(r"relay: \S+ left; 0 lines dropped").split()[2] for _ in leaving}
        self.assertEqual(left, {stream.address for stream in leaving})
        # The relay clients stay while the feed goes and comes back, and new ones come.
        host.stop()
        err.until("the feed closed the connection")
        host = self.host_back(err)
        newcomers = [self.connect_stream(RELAY_PORT) for _ in range(2)]
        err.until(r"relay: %s connected; %d client\(s\)" % (newcomers[-1].address, len(staying) + 2))
        send_lines(20)

        lines = [line_of(row) for row in rows]
        self.assertEqual([float(row[1]) for row in rows], [10, 11, 12, 20, 21, 22])
        for stream in staying + newcomers:
            wait_for(lambda: stream.received.count(b"\n") == (6 if stream in staying else 3), PATIENCE, "the lines")
        for stream in staying:
            self.assertEqual(stream.lines(), lines)
        for stream in newcomers:
            self.assertEqual(stream.lines(), lines[3:])
        for stream in leaving:
            self.assertEqual(stream.lines(), lines[:3])

    def test_relay_stalled_client(self):
        """Two clients read every line while a third reads nothing for 30 s; then it catches up."""
        host, client, out, err = self.start_with_host("--csv", "--relay", str(RELAY_PORT))
        readers = [self.connect_stream(RELAY_PORT) for _ in range(2)]
        stalled = self.connect_stream(RELAY_PORT, reading=False)
        err.until(r"relay: %s connected; 3 client\(s\)" % stalled.address)
        latitude, started = 0, time.monotonic()
        while time.monotonic() - started < 30:
            # Ten lines at a time, each with a latitude of its own, which the reading clients get at once.
            batch = []
            for _ in range(10):
                latitude += 1
                batch += host.tick_commands(latitude)
            host.commands(batch)
            wait_for(lambda: b'latitude:"%d.000000"' % latitude in readers[0].received[-200:], PATIENCE,
                     "the reading client to get line %d" % latitude)
            time.sleep(0.2)
        stalled.reading.set()
        wait_for(lambda: b'latitude:"%d.000000"' % latitude in stalled.received[-200:], PATIENCE,
                 "the stalled client to catch up")
        stalled.close()
        dropped = int(err.until(r"relay: %s left; [0-9]+ lines dropped" % stalled.address).split()[-3])

        out.next()  # the header
        lines = []
        while len(lines) < latitude:
            lines.append(line_of(out.next().strip().split(",")))
        self.assertEqual(lines[-1], stalled.lines()[-1])
        for reader in readers:
            self.assertEqual(reader.received, "".join(lines).encode())
        # The stalled client missed whole lines, the oldest while it did not read, and nothing else.
        got = stalled.lines()
        self.assertGreater(dropped, 0)
        self.assertEqual(len(got) + dropped, len(lines))
        remaining = iter(lines)
        self.assertTrue(all(line in remaining for line in got), "not the feed's lines in order")

    def test_relay_out_of_descriptors(self):
        """30 clients come to a relay with room for 16 descriptors. feedclient serves the ones it can take,
        neither spins nor drops them, keeps a descriptor for the feed, and takes the others as places free up."""
        host, client, out, err = self.start_with_host("--csv", "--relay", str(RELAY_PORT),
                                                      launcher=["prlimit", "--nofile=16"])
        rows = []
        def send_line(latitude):
            host.commands(host.tick_commands(latitude))
            rows.append(out.until("^[0-9]{4}-").strip().split(","))
        out.next()  # the header
        # A line before the clients come: UBSan checks a virtual call's type the first time with a pipe of
        # its own, which a process out of descriptors cannot make.
        send_line(10)
        streams = {stream.address: stream for stream in [self.connect_stream(RELAY_PORT) for _ in range(30)]}
        err.until("relay: cannot take clients: accept failed: Too many open files; trying again every second")
        served = re.findall(r"relay: (\S+) connected;", "".join(err.seen))
        self.assertTrue(3 < len(served) < 30, err.seen)

        # Clients wait in the listener's backlog meanwhile, with it readable, and feedclient must not spin.
        seconds, started = 3, processor_seconds(client.pid)
        time.sleep(seconds)
        used = processor_seconds(client.pid) - started
        print("[ figure   ] feedclient's processor time in %d s out of descriptors = %.2f s" % (seconds, used),
              file=sys.stderr)
        if not SANITIZED:
            self.assertLess(used, seconds / 3)

        # The feed's descriptor, freed while the host is away, is the feed's again when it comes back, though
        # the relay tries to take a client twice meanwhile.
        host.stop()
        err.until("the feed closed the connection")
        time.sleep(2)
        host = self.start_host(control=True)
        host.start_under_control()
        self.assertIn("connected to", err.until(r"connected to 127\.0\.0\.1:27015|cannot connect to .*: Too many"))
        host.wait_serving()
        send_line(11)

        # Three clients leave, and three of those waiting take their places.
        leaving, staying = served[:3], served[3:]
        for address in leaving:
            wait_for(lambda: streams[address].received.count(b"\n") == 1, PATIENCE, "the line for " + address)
            streams[address].close()
        newcomers = [err.until(r"relay: \S+ connected;").split()[2] for _ in leaving]
        send_line(12)

        lines = [line_of(row) for row in rows]
        expected = {address: lines[1:] for address in staying}
        expected.update({address: lines[1:2] for address in leaving})
        expected.update({address: lines[2:] for address in newcomers})
        for address, stream in streams.items():
            wanted = expected.get(address, [])  # nothing for those still waiting
            wait_for(lambda: stream.received.count(b"\n") >= len(wanted), PATIENCE, "the lines for " + address)
            self.assertEqual(stream.lines(), wanted, address)

    def test_stalled_output(self):
        """Standard output stops being read, as in `feedclient --relay PORT | less`, paused. The relay and NMEA
        clients still get every position, among them a second feedclient, whose own output stalls too; Ctrl-C
        stops that one once its output's time is up. When the first one's output is read again, it gets the newest lines, and is
        told how many it missed."""
        host, client, _, err = self.start_with_host("--csv", "--relay", str(RELAY_PORT), "--nmea", str(NMEA_PORT),
                                                    stalled=True)
        relayed, sentences = self.connect_stream(RELAY_PORT), self.connect_stream(NMEA_PORT)
        chained = self.start_stalled_client("--json", "127.0.0.1:%d" % RELAY_PORT)
        chained_err = LineReader(chained.stderr)
        chained_err.until("connected to 127.0.0.1:%d" % RELAY_PORT)
        for _ in range(2):  # in either order
            err.until(r"(relay: \S+ connected; 2|nmea: \S+ connected; 1) client\(s\)")

        count = 300
        for first in range(1, count + 1, 10):
            host.commands([command for latitude in range(first, first + 10) for command in host.tick_commands(latitude)])
            wait_for(lambda: b'latitude:"%d.000000"' % (first + 9) in relayed.received[-200:], PATIENCE,
                     "the relay client to get line %d" % (first + 9))
        wait_for(lambda: sentences.received.count(b"\n") == 3 * count, PATIENCE, "the NMEA sentences")

        # Ctrl-C stops the chained feedclient though its output waits; what the output got and what it missed
        # make up every line.
        chained.send_signal(signal.SIGINT)
        self.assertEqual(chained.wait(timeout=PATIENCE), 0)
        missed = int(chained_err.until("standard output was not read: [0-9]+ lines dropped").split()[-3])
        latitudes = [json.loads(line)["latitude"] for line in chained.stdout]
        self.assertEqual(latitudes, list(range(1, len(latitudes) + 1)))
        self.assertEqual(len(latitudes) + missed, count)

        # The first one's output is read again: the header and the oldest lines, which the pipe held, then the
        # newest, which waited in its queue; with the next line comes the count of those dropped between.
        out = LineReader(client.stdout)
        self.assertEqual(out.next(), "time,latitude,longitude,speed,elevation,heading\n")
        received = []
        while not received or received[-1] != count:
            received.append(float(out.next().split(",")[1]))
        host.commands(host.tick_commands(count + 1))
        dropped = int(err.until("standard output was not read: [0-9]+ lines dropped").split()[-3])
        self.assertEqual(float(out.next().split(",")[1]), count + 1)
        self.assertGreater(dropped, 0)
        self.assertEqual(len(received) + dropped, count)
        self.assertEqual(received, sorted(received))
        self.assertEqual(received[-64:], list(range(count - 63, count + 1)))
        client.send_signal(signal.SIGINT)
        self.assertEqual(client.wait(timeout=PATIENCE), 0)

    def test_nmea_in_gpsd_and_gpsbabel(self):
        host, client, out, err = self.start_with_host("--json", "--nmea", str(NMEA_PORT), "--relay", str(RELAY_PORT))
        capture, relayed = self.connect_stream(NMEA_PORT), self.connect_stream(RELAY_PORT)
        gpsd = subprocess.Popen(["gpsd", "-N", "-n", "-b", "-S", str(GPSD_PORT), "tcp://127.0.0.1:%d" % NMEA_PORT],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.clients.append(gpsd)
        err.until(r"nmea: 127\.0\.0\.1:[0-9]+ connected; 2 client\(s\)")
        gpspipe = subprocess.Popen(["gpspipe", "-w", "127.0.0.1:%d" % GPSD_PORT], text=True,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.clients.append(gpspipe)
        reports = LineReader(gpspipe.stdout)
        reports.until('"class":"VERSION"')

        # A known motion: 60 m a tick on an initial bearing of 45 degrees, climbing 5 m, with an airspeed
        # and a heading that are neither the ground speed nor the track; once, a position without a latitude.
        host.commands(["set sim/flightmodel/position/indicated_airspeed 30", "set sim/flightmodel/position/psi 300"])
        point, records = (47.0, 8.0), []
        for tick in range(10):
            latitude, longitude = ("nan", 8) if tick == 5 else (round(point[0], 6), round(point[1], 6))
            host.commands(host.tick_commands(latitude, longitude, 400 + 5 * tick))
            records.append(json.loads(out.next()))
            point = travel(point, 60, 45)
            time.sleep(0.5)  # the receipt interval the speed is taken over

        # gpsd's reports, each told from the feed's position by its time, which is the receipt's to 0.01 s.
        # gpsd may report a position twice: after the GGA, with a speed of its own reckoning, then after
        # the RMC, with the RMC's speed and track. The RMC's are the ones to check.
        # gpsbabel writes a time whose hundredths are zero without a fraction: "12:34:56".
        def hundredths(stamp):
            whole, _, fraction = stamp.rstrip("Z").partition(".")
            return whole + "." + (fraction + "00")[:2]
        reports.until('"class":"TPV".*"time":"%s.*"track"' % hundredths(records[-1]["time"]))
        fixes = {}
        for report in map(json.loads, reports.seen):
            if report["class"] == "TPV" and "time" in report and ("track" in report or "lat" not in report):
                fixes[hundredths(report["time"])] = report
        checked = 0
        for previous, record in zip([None] + records, records):
            fix = fixes.get(hundredths(record["time"]))
            if fix is None:
                continue  # gpsd reports from the second position on
            if record["latitude"] is None:
                self.assertEqual(fix["mode"], 1, fix)  # no fix, and no position made up
                self.assertNotIn("lat", fix)
                continue
            checked += 1
            self.assertGreaterEqual(fix["mode"], 2, fix)
            # Five decimals of a minute: within 1/200000 of a minute, under 1e-7 degrees.
            self.assertAlmostEqual(fix["lat"], record["latitude"], delta=1e-7)
            self.assertAlmostEqual(fix["lon"], record["longitude"], delta=1e-7)
            self.assertAlmostEqual(fix["altMSL"], record["elevation"] / 3.28084, delta=0.051)
            if previous is None or previous["latitude"] is None:
                continue
            metres, bearing = great_circle((previous["latitude"], previous["longitude"]),
                                           (record["latitude"], record["longitude"]))
            seconds = (datetime.datetime.fromisoformat(record["time"][:-1]) -
                       datetime.datetime.fromisoformat(previous["time"][:-1])).total_seconds()
            # A tenth of a knot, and the receipt times' milliseconds.
            self.assertAlmostEqual(fix["speed"], metres / seconds, delta=0.03 + metres / seconds * 0.004)
            self.assertAlmostEqual(fix["track"], bearing, delta=0.2)
        self.assertGreaterEqual(checked, 6, reports.seen)

        # Each position is a GGA, an RMC and an HDT, each ended by CR LF and at most 82 characters long.
        # The first position after connecting, and the first after one without a latitude, have neither a
        # speed nor a course.
        sentences = capture.received.decode().split("\r\n")
        self.assertEqual(sentences.pop(), "")
        self.assertEqual([sentence[:6] for sentence in sentences], ["$GPGGA", "$GPRMC", "$HEHDT"] * 10)
        self.assertLessEqual(max(len(sentence) + 2 for sentence in sentences), 82)
        rmc = [sentence.split(",") for sentence in sentences[1::3]]
        self.assertEqual([fields[7:9] for fields in rmc[:1] + rmc[6:7]], [["", ""], ["", ""]])
        self.assertEqual(sentences[2], "$HEHDT,300.0,T*2C")  # the true heading, not the track

        # gpsbabel reads the capture as a track of the positions with a latitude.
        path = os.path.join(self.folder.name, "capture.nmea")
        with open(path, "wb") as file:
            file.write(capture.received)
        babel = subprocess.run(["gpsbabel", "-t", "-i", "nmea", "-f", path, "-o", "unicsv", "-F", "-"],
                               text=True, capture_output=True)
        self.assertEqual(babel.returncode, 0, babel.stderr)
        track = list(csv.DictReader(io.StringIO(babel.stdout)))
        located = [record for record in records if record["latitude"] is not None]
        self.assertEqual(len(track), len(located), babel.stdout)
        for point, record in zip(track, located):
            self.assertAlmostEqual(float(point["Latitude"]), record["latitude"], delta=2e-6)
            self.assertAlmostEqual(float(point["Longitude"]), record["longitude"], delta=2e-6)
            self.assertAlmostEqual(float(point["Altitude"]), record["elevation"] / 3.28084, delta=0.051)
            self.assertEqual(hundredths(point["Time"]), hundredths(record["time"])[11:])

        # The relay, alongside, passed on the same positions.
        wait_for(lambda: relayed.received.count(b"\n") == 10, PATIENCE, "the relayed lines")
        self.assertEqual([FEED_LINE.fullmatch(line).group(1) for line in relayed.lines()],
                         ["%.6f" % record["latitude"] if record["latitude"] is not None else "nan"
                          for record in records])

    def fly(self, host, out, points, pause=0.2):
        """Ticks the host once at each (latitude, longitude, elevation in metres), a pause apart so that each
        position has a ground speed; returns feedclient's --json lines of them."""
        lines = []
        for point in points:
            host.commands(host.tick_commands(*point))
            lines.append(out.next().rstrip("\n"))
            time.sleep(pause)
        return lines

    def test_http_endpoints(self):
        host, client, out, err = self.start_with_host("--json", "--http", str(HTTP_PORT))
        status, headers, body = fetch("/position.json")
        self.assertEqual((status, headers["content-type"], json.loads(body)),
                         (503, "application/json", {"error": "no position yet"}))
        self.assertEqual(json.loads(fetch("/track.geojson")[2]),
                         {"type": "FeatureCollection", "positions": 0, "features": []})
        events = self.connect_stream(HTTP_PORT, request=EVENTS_REQUEST)
        err.until(r"http: %s receives events; 1 events client\(s\)" % events.address)

        # Eastward, 76 m a tick, with an airspeed and a heading that are neither the ground speed nor the track.
        host.commands(["set sim/flightmodel/position/indicated_airspeed 120", "set sim/flightmodel/position/psi 95"])
        lines = self.fly(host, out, [(47, 8 + 0.001 * tick, 500 + tick) for tick in range(3)])
        status, headers, body = fetch("/position.json")
        self.assertEqual((status, body.decode()), (200, lines[-1] + "\n"))
        head_status, head_headers, head_body = fetch("/position.json", "HEAD")
        self.assertEqual((head_status, head_headers, head_body), (200, headers, b""))
        for path, kind in (("/events", "text/event-stream"), ("/position.json", "application/json"),
                           ("/track.geojson", "application/geo+json")):
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
            seconds = (datetime.datetime.fromisoformat(record["time"][:-1]) -
                       datetime.datetime.fromisoformat(previous["time"][:-1])).total_seconds()
            knots = metres / seconds * 3600 / 1852
            self.assertAlmostEqual(motion["groundSpeed"], knots, delta=0.06 + knots * 0.01)  # milliseconds
            self.assertEqual(motion["track"], round(bearing, 1))

        # The plug-in restarts: the stream tells, and the track takes a new segment.
        host.stop()
        err.until("the feed closed the connection")
        host = self.host_back(err)
        lines += self.fly(host, out, [(47.5, 9, 600), (47.5, 9.001, 601)], pause=0)
        wait_for(lambda: len(events.positions()) == 5, PATIENCE, "five position events")
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
        self.assertEqual(files, ["data:,", "leaflet.css", "map.css", "leaflet.js", "map.js"])
        for name in files[1:]:
            status, headers, body = fetch("/" + name)
            self.assertEqual((status, headers["content-type"].split(";")[0]),
                             (200, "text/" + ("css" if name.endswith("css") else "javascript")))
        self.assertTrue(fetch("/leaflet.js")[2].startswith(b"/* Leaflet, (c) 2010-2019 Vladimir Agafonkin"))

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
                 (b"GET / HTTP/2.0\r\n" + wanted, 505)] + [(b"GET %s HTTP/1.1\r\n%s" % (path, wanted), 404)
                                                          for path in paths]
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
            wait_for(lambda: len(reader.positions()) == count, PATIENCE, "every position event")
            self.assertEqual(reader.positions(), lines)
        stalled.reading.set()
        wait_for(lambda: stalled.positions()[-1:] == lines[-1:], PATIENCE, "the stalled client to catch up")
        stalled.close()
        dropped = int(err.until(r"http: %s left; [0-9]+ events dropped" % stalled.address).split()[-3])
        got = stalled.positions()
        self.assertGreater(dropped, 0)
        self.assertEqual(len(got) + dropped, count)
        remaining = iter(lines)
        self.assertTrue(all(line in remaining for line in got), "not the feed's positions in order")
        # Its place is free again.
        self.connect_stream(HTTP_PORT, request=EVENTS_REQUEST)
        err.until(r"http: 127\.0\.0\.1:[0-9]+ receives events; %d events client\(s\)" % MAX_CLIENTS)

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
            """The aircraft's and the map centre's latitude and longitude, once the condition holds."""
            return ("const c = aircraft.getLatLng(), m = map.getCenter(); return (%s) && [c.lat, c.lng, m.lat, m.lng]"
                    % condition)
        centred = "Math.abs(m.lat - c.lat) < 2e-4 && Math.abs(m.lng - c.lng) < 2e-4"  # within a pixel
        track = "return track.getLatLngs().map(s => s.map(p => [p.lat, p.lng]))"
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
        at = self.wait_in(browser, where("c.lat === %r" % latitude), "the aircraft to move")
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
        at = self.wait_in(browser, where("c.lat === %r" % flown(lines[-1:])[0][0]), "the aircraft to move")
        self.assertGreater(abs(at[3] - at[1]), 1e-3, "the map followed after a drag")
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
            self.assertTrue(browser.execute_script("return map.hasLayer(aircraft) && track.getElement() !== null"))
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

    def test_usage_and_closed_output(self):
        # What was wrong, then the usage, on standard error; --help alone on standard output. (The unit tests
        # try the parser on more; under Wine, where each start takes seconds, one case shows the way out.)
        cases = [(["--count", "abc"], '--count needs a positive whole number, got "abc"'),
                 (["--relay", "0"], '--relay needs a port number from 1 to 65535, got "0"'),
                 (["--csv", "--gpx", "track.gpx"], "--gpx and --csv cannot go together"),
                 (["--verbose"], 'unknown option "--verbose"')]
        for arguments, problem in cases[:1] if UNDER_WINE else cases:
            status, out, err = self.finish(self.start_client(*arguments))
            self.assertEqual((status, out), (2, ""), arguments)
            self.assertRegex(err, "^feedclient: %s.*\nusage: feedclient " % re.escape(problem))
        status, out, err = self.finish(self.start_client("--help"))
        self.assertEqual((status, err), (0, ""))
        self.assertRegex(out, "^usage: feedclient .*\n(.*\n)*Exit status: ")
        # A host name never found is most likely mistyped: no use trying it for ever.
        status, out, err = self.finish(self.start_client("127.0.0..1"))
        self.assertEqual((status, out), (2, ""))
        self.assertRegex(err, r'^feedclient: unknown host "127\.0\.0\.\.1" \(.+\): is the name mistyped\?\n$')
        with socket.create_server(("0.0.0.0", RELAY_PORT)):
            status, out, err = self.finish(self.start_client("--relay", str(RELAY_PORT)))
        self.assertEqual(status, 2)
        self.assertRegex(err, "^feedclient: cannot serve --relay on port %d: " % RELAY_PORT)

        # A reader that goes away, as `feedclient | head -1` does: an output error, not SIGPIPE.
        line = b'{version:"1",latitude:"47.458056",longitude:"8.548056",speed:"142.370003",' \
               b'elevation:"1417.322880",heading:"271.250000"}\n'
        with socket.create_server(("127.0.0.1", 0)) as server:
            client = self.start_client("--json", "127.0.0.1:%d" % server.getsockname()[1])
            connection, _ = server.accept()
            with connection:
                connection.sendall(line)
                self.assertIn('"latitude":47.458056', client.stdout.readline())
                client.stdout.close()
                connection.sendall(line)  # a write to a pipe nobody reads fails at once
                status = client.wait(timeout=PATIENCE)
        self.assertEqual(status, 2)
        self.assertRegex(client.stderr.read(), "feedclient: cannot write the output: ")

    def test_read_feed_example(self):
        with open(os.environ["READ_FEED_EXAMPLE"]) as example, open(os.environ["README"]) as readme:
            self.assertIn("```python\n" + example.read() + "```\n", readme.read(), "the README quotes another example")
        # Started before the plug-in listens, it is refused and tries again, later and later.
        example = subprocess.Popen(["python3", os.environ["READ_FEED_EXAMPLE"]], text=True, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.clients.append(example)
        printed, told = LineReader(example.stdout), LineReader(example.stderr)
        told.until(r"^127\.0\.0\.1:27015: Connection refused; retrying in 0\.5 s$")
        told.until(r"^127\.0\.0\.1:27015: Connection refused; retrying in 1\.0 s$")
        host = self.start_host()

        def expect_positions(count):
            for _ in range(count):
                line = printed.next()
                match = re.fullmatch(r"lat (\S+) lon (\S+) speed [0-9]+\.[0-9] kt elevation (\S+) ft "
                                     r"heading [0-9]+\.[0-9]\n", line or "")
                self.assertTrue(match, "printed %r" % line)
                latitude, longitude, elevation = (float(value) for value in match.groups())
                self.assert_near_gate(latitude, longitude, elevation, feet=0.5)
                self.assertEqual(elevation, 1417)

        expect_positions(3)
        # The feed ends as the plug-in stops, and the example connects again once the new one listens.
        host.stop()
        told.until(r"^127\.0\.0\.1:27015: the feed ended; retrying in 0\.5 s$")
        self.start_host()
        told.until(r"^connected to 127\.0\.0\.1:27015$")
        expect_positions(1)
        # Ctrl-C stops it quietly.
        example.send_signal(signal.SIGINT)
        self.assertEqual(example.wait(timeout=PATIENCE), 0)
        while told.next() is not None:
            pass
        self.assertNotIn("Traceback", "".join(told.seen))


if __name__ == "__main__":
    unittest.main()
