#!/usr/bin/env python3
"""feedclient and the README's Python example against the plug-in in the stand-in host, their output read
back with tools of others: jq, gpsd, gpsbabel, and Python's csv and XML modules.

Paths come from the environment: FEEDCLIENT, STANDIN_HOST, MODULE, READ_FEED_EXAMPLE, README. A FEEDCLIENT
ending in .exe is the Windows build, run under Wine.
Run one case: feedclient_e2e.py FeedClientTest.test_json
"""
import csv
import datetime
import fcntl
import io
import json
import math
import os
import queue
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import xml.etree.ElementTree as ElementTree

FEED_PORT = 27015
RELAY_PORT, NMEA_PORT, GPSD_PORT = 27115, 27116, 27117
MAX_CLIENTS = 100  # of each of feedclient's servers
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


class StreamClient:
    """A TCP client of one of feedclient's servers that reads on a thread of its own, or holds off reading
    until told to, with its receive buffer small so that what it does not read soon backs up."""

    def __init__(self, port, reading=True):
        self.socket = socket.socket()
        if not reading:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        self.socket.connect(("127.0.0.1", port))
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

    def start_client(self, *arguments, launcher=()):
        """feedclient with `arguments`, started by `launcher` (e.g. prlimit) if given."""
        process = subprocess.Popen([*launcher] + (["wine"] if UNDER_WINE else []) + [FEEDCLIENT, *arguments],
                                   text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.clients.append(process)
        return process

    def connect_stream(self, port, reading=True):
        stream = StreamClient(port, reading)
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
            stream.close()
        # In the order the system reports their ends, which under Wine need not be the order they closed in.
        left = {err.until(r"relay: \S+ left; 0 lines dropped").split()[2] for _ in leaving}
        self.assertEqual(left, {stream.address for stream in leaving})
        # The relay clients stay while the feed goes and comes back, and new ones come.
        host.stop()
        err.until("the feed closed the connection")
        host = self.start_host(control=True)
        host.start_under_control()
        err.until("connected to 127.0.0.1:27015")
        host.wait_serving()
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
        stops that one at once. When the first one's output is read again, it gets the newest lines, and is
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
