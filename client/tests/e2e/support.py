"""What feedclient's end-to-end scenarios share: the stand-in host under control, feedclient's processes
and the clients of its servers, readers of their output, and the geometry of a known flight. Each
scenario's module adds its cases to FeedClientTest (feedclient_e2e.py), which runs them.
"""
import datetime
import fcntl
import http.client
import http.server
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
import zlib

FEED_PORT = 27015
RELAY_PORT, NMEA_PORT, GPSD_PORT, HTTP_PORT, TILE_PORT = 27115, 27116, 27117, 27120, 27121
FAKE_FEED_PORT = 27123  # a feed of the test's own, for more positions than the host would fly in a test's time
SECOND_HTTP_PORT = 27124  # a second feedclient's map, beside the first
TRACK_LIMIT = 86400  # positions in feedclient's track: a day's, one a second
MAX_CLIENTS = 100  # of each of feedclient's servers
EVENTS_REQUEST = b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
FEET_PER_METRE = 3.28084
PATIENCE = 30  # seconds: how long a wait for an event may last before the test fails; it ends when the event comes
FEEDCLIENT = os.environ.get("FEEDCLIENT", "")
UNDER_WINE = FEEDCLIENT.endswith(".exe")
SANITIZED = os.environ.get("SANITIZED") == "1"  # processor times are then reported, not asserted
GPX = "{http://www.topografix.com/GPX/1/1}"
# The demo flight starts at the gate at Zurich, 432 m up.
GATE_LATITUDE, GATE_LONGITUDE, GATE_ELEVATION_FEET = 47.4515, 8.5617, 432 * FEET_PER_METRE
NUMBER = r"-?(0|[1-9][0-9]*)\.[0-9]{6}"
FEED_LINE = re.compile(r'\{version:"1",latitude:"%s",longitude:"%s",speed:"%s",elevation:"%s",heading:"%s"\}\n'
                       % ((r"(-?(?:(?:0|[1-9][0-9]*)\.[0-9]{6}|nan|inf))",) * 5))
LATITUDE = "sim/flightmodel/position/latitude"
LONGITUDE = "sim/flightmodel/position/longitude"
ELEVATION = "sim/flightmodel/position/elevation"
EARTH_RADIUS = 6371008.8  # metres, the mean radius
LAN_ADDRESS = "192.168.77.5"  # what add_lan_address gives the machine


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


def seconds_flown(previous, record):
    """The time flown between two of feedclient's --json records: the time between their receipt, and never
    less than the second between two of the plug-in's samples, however close together their lines came."""
    received = [datetime.datetime.fromisoformat(r["time"][:-1]) for r in (previous, record)]
    return max(1.0, (received[1] - received[0]).total_seconds())


def travel(start, metres, bearing):
    """Where `metres` along the great circle from `start` at initial `bearing` degrees leads."""
    lat, lon, angle, course = (math.radians(start[0]), math.radians(start[1]), metres / EARTH_RADIUS,
                               math.radians(bearing))
    lat2 = math.asin(math.sin(lat) * math.cos(angle) + math.cos(lat) * math.sin(angle) * math.cos(course))
    lon2 = lon + math.atan2(math.sin(course) * math.sin(angle) * math.cos(lat),
                            math.cos(angle) - math.sin(lat) * math.sin(lat2))
    return math.degrees(lat2), math.degrees(lon2)


def port_listens(port):
    """Whether a socket listens on `port`, found without connecting to it."""
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            local, state = row.split()[1], row.split()[3]
            if int(local.split(":")[1], 16) == port and state == "0A":
                return True
    return False


def feed_port_listens():
    return port_listens(FEED_PORT)


def processor_seconds(pid):
    """The processor time, user and system, that process `pid` has used so far."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_for(condition, seconds, what):
    """Waits until `condition()` holds; `what` it waits for names it in the failure, or makes the name then."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + (what() if callable(what) else what))
        time.sleep(0.05)


def fetch(path, method="GET", headers=None, port=HTTP_PORT):
    """Status, headers (names in lower case) and body of a request to feedclient's HTTP server."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=PATIENCE)
    connection.request(method, path, headers=headers or {})
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

    def so_far(self):
        """Every line that has come so far, for a failure's message."""
        while not self.lines.empty():
            line = self.lines.get()
            if line is None:
                self.lines.put(None)  # the end, still to be found by whoever waits for more
                break
            self.seen.append(line)
        return "".join(self.seen)

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


def png_size(data):
    """A PNG's width and height, from its header; an AssertionError if it is no PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR", "not a PNG: %r" % data[:16]
    return struct.unpack(">II", data[16:24])


def png_pixels(data):
    """A PNG of 8-bit RGB or RGBA, not interlaced (a browser's screenshot), as rows of (r, g, b) tuples."""
    width, height = png_size(data)
    depth, colour, interlace = data[24], data[25], data[28]
    assert depth == 8 and colour in (2, 6) and interlace == 0, "a PNG of a kind not read here"
    channels = 3 if colour == 2 else 4
    compressed, at = b"", 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        if kind == b"IDAT":
            compressed += data[at + 8:at + 8 + length]
        at += 12 + length
    raw, stride = zlib.decompress(compressed), width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            left = line[x - channels] if x >= channels else 0
            up, up_left = previous[x], previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + left) & 255
            elif kind == 2:
                line[x] = (line[x] + up) & 255
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 255
            elif kind == 4:
                guess = left + up - up_left
                nearest = min((abs(guess - left), 0, left), (abs(guess - up), 1, up), (abs(guess - up_left), 2, up_left))
                line[x] = (line[x] + nearest[2]) & 255
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, channels)])
        previous = line
    return rows


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

    def handle_error(self, request, client_address):
        # A browser that moves the map on drops the tiles it no longer needs, in the middle of their answers.
        if not isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
            super().handle_error(request, client_address)

    def stop(self):
        self.shutdown()
        self.server_close()


def feed_line(latitude, longitude, heading=0.0, speed=250.0, elevation=30000.0):
    """A line of the plug-in's feed."""
    return ('{version:"1",latitude:"%f",longitude:"%f",speed:"%f",elevation:"%f",heading:"%f"}\n'
            % (latitude, longitude, speed, elevation, heading)).encode()


class FakeFeed:
    """The plug-in's side of the feed, played by the test: lines exactly where a case wants them, as many at
    once as it wants (a day's track in seconds). feedclient connects to `address`."""

    def __init__(self, port=FAKE_FEED_PORT):
        self.server = socket.create_server(("127.0.0.1", port))
        self.server.settimeout(PATIENCE)
        self.address = "127.0.0.1:%d" % port
        self.connection = None

    def accept(self):
        self.connection = self.server.accept()[0]

    def send(self, lines):
        if self.connection is None:
            self.accept()
        self.connection.sendall(b"".join(lines))

    def close(self):
        for end in self.connection, self.server:
            if end:
                end.close()


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
        self.arrivals = []  # (time.monotonic(), how many bytes had come by then), a chunk at a time
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
                self.arrivals.append((time.monotonic(), len(self.received)))
        except ConnectionResetError:
            pass  # the end for a client still waiting in a listener's backlog when feedclient ends
        self.ended = True

    def lines(self):
        return self.received.decode().splitlines(keepends=True)

    def line_arrivals(self):
        """When each whole line came, by time.monotonic()."""
        times, end = [], 0
        for line in self.received.splitlines(keepends=True):
            end += len(line)
            times.append(next(at for at, size in self.arrivals if size >= end))
        return times

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

    def load(self):
        """Loads the plug-in and runs the clock past the moment it starts to listen."""
        self.commands(["load", "advance 4"])

    def start_under_control(self):
        """Loads the plug-in and waits until it listens, for a client yet to come. A feedclient already
        trying to connect may be taken at once, and the plug-in listens no more once it has its client: wait
        for feedclient's connection instead (host_back)."""
        self.load()
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


class FeedClientCase(unittest.TestCase):
    """A scenario's processes and connections, ended and closed after it, whatever its outcome."""

    def setUp(self):
        self.assertFalse(feed_port_listens(), "something already listens on the feed port")
        self.hosts = []
        self.clients = []
        self.streams = []
        self.folder = tempfile.TemporaryDirectory()
        self.fake_feeds = []

    def tearDown(self):
        for stream in self.streams:
            stream.socket.close()
        for feed in self.fake_feeds:
            feed.close()
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
        host.load()
        err.until("connected to 127.0.0.1:27015")
        host.wait_serving()
        return host

    def add_lan_address(self):
        """Gives the test's network a LAN address, on a veth pair that goes nowhere (this kernel has no dummy
        links), until the case ends; returns it. Only as root and in a network of the test's own, with
        loopback alone, where the link changes nothing outside; otherwise None, and the case checks less.
        Under Wine too: a Wine process has its list of interfaces from Wine's services, which the Wine script
        starts in this network, so it sees the link; in a network made for feedclient.exe alone it would not."""
        with open("/proc/net/dev") as table:
            links = [row.split(":")[0].strip() for row in table.readlines()[2:]]
        if os.geteuid() != 0 or links != ["lo"]:
            return None
        subprocess.run(["sh", "-c", "ip link add lan0 type veth peer name lan1 && ip addr add %s/24 dev lan0 && "
                        "ip link set lan0 up && ip link set lan1 up" % LAN_ADDRESS], check=True)
        self.addCleanup(subprocess.run, ["ip", "link", "del", "lan0"], check=True)
        return LAN_ADDRESS

    def start_client(self, *arguments, launcher=()):
        """feedclient with `arguments`, started by `launcher` (e.g. prlimit) if given."""
        process = subprocess.Popen([*launcher] + (["wine"] if UNDER_WINE else []) + [FEEDCLIENT, *arguments],
                                   text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.clients.append(process)
        return process

    def start_fake_feed(self):
        feed = FakeFeed()
        self.fake_feeds.append(feed)
        return feed

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

    def fly(self, host, out, points, pause=0.2):
        """Ticks the host once at each (latitude, longitude, elevation in metres), a pause apart; returns
        feedclient's --json lines of them."""
        lines = []
        for point in points:
            host.commands(host.tick_commands(*point))
            lines.append(out.next().rstrip("\n"))
            time.sleep(pause)
        return lines
