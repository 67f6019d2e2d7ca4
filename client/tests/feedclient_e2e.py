#!/usr/bin/env python3
"""feedclient and the README's Python example against the plug-in in the stand-in host, their output read
back with tools of others: jq, gpsbabel, and Python's csv and XML modules.

Paths come from the environment: FEEDCLIENT, STANDIN_HOST, MODULE, READ_FEED_EXAMPLE, README.
Run one case: feedclient_e2e.py FeedClientTest.test_json
"""
import csv
import io
import json
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
GPX = "{http://www.topografix.com/GPX/1/1}"
# The demo flight starts at the gate at Zurich, 432 m up.
GATE_LATITUDE, GATE_LONGITUDE, GATE_ELEVATION_FEET = 47.4515, 8.5617, 432 * 3.28084
NUMBER = r"-?(0|[1-9][0-9]*)\.[0-9]{6}"


def feed_port_listens():
    """Whether a socket listens on the feed port, found without connecting to it."""
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            local, state = row.split()[1], row.split()[3]
            if int(local.split(":")[1], 16) == FEED_PORT and state == "0A":
                return True
    return False


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

    def next(self, seconds=10):
        line = self.lines.get(timeout=seconds)
        if line is not None:
            self.seen.append(line)
        return line

    def until(self, pattern, seconds=15):
        deadline = time.monotonic() + seconds
        while True:
            line = self.next(max(0.01, deadline - time.monotonic()))
            if line is None:
                raise AssertionError("pipe closed before %r; saw %r" % (pattern, self.seen))
            if re.search(pattern, line):
                return line


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
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return self.output.until(r"^host: (ok|error)")

    def wait_listening(self):
        wait_for(feed_port_listens, 15, "the plug-in to listen")

    def stop(self):
        """As Ctrl-C stops X-Plane: the plug-in is stopped and unloaded, and the host ends."""
        if self.process.poll() is None:
            if self.control:
                self.command("quit")
            else:
                self.process.send_signal(signal.SIGINT)
        self.process.wait(timeout=10)
        wait_for(lambda: not feed_port_listens(), 5, "the port to be free")


class FeedClientTest(unittest.TestCase):
    def setUp(self):
        self.assertFalse(feed_port_listens(), "something already listens on the feed port")
        self.hosts = []
        self.clients = []
        self.folder = tempfile.TemporaryDirectory()

    def tearDown(self):
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

    def start_client(self, *arguments):
        process = subprocess.Popen([os.environ["FEEDCLIENT"], *arguments], text=True, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.clients.append(process)
        return process

    def finish(self, client, seconds=30):
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
        self.assertIn("connected to localhost:27015", err)

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
        status = client.wait(timeout=30)
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
        self.assertRegex(err, r"Connection refused; retrying in 1\.0 s")
        self.assertEqual(err.count("connected to localhost:27015"), 2, err)

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

    def run_gpx_until(self, stop_signal):
        host = self.start_host()
        host.wait_listening()
        path = os.path.join(self.folder.name, "track.gpx")
        client = self.start_client("--gpx", path)
        wait_for(lambda: os.path.exists(path) and open(path).read().count("<trkpt") >= 3, 20,
                 "three points in the track")
        client.send_signal(stop_signal)
        return client.wait(timeout=10), path

    def test_gpx_after_ctrl_c(self):
        status, path = self.run_gpx_until(signal.SIGINT)
        self.assertEqual(status, 0)
        self.assertGreaterEqual(len(self.gpx_points(path)), 3)

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
        self.assertEqual(client.wait(timeout=10), 0)

    def test_bad_lines(self):
        good = b'{version:"1",latitude:"47.458056",longitude:"8.548056",speed:"142.370003",' \
               b'elevation:"1417.322880",heading:"271.250000"}\n'
        with socket.create_server(("127.0.0.1", 0)) as server:
            client = self.start_client("--csv", "127.0.0.1:%d" % server.getsockname()[1])
            connection, _ = server.accept()
            with connection:
                connection.sendall(good + good.replace(b"142.370003", b"142.37000") + good[:-1] + b"\r\n" + good
                                   + good[:50])
            out_reader, err_reader = LineReader(client.stdout), LineReader(client.stderr)
            err_reader.until("dropped an unfinished line of 50 bytes")
            client.send_signal(signal.SIGINT)
            self.assertEqual(client.wait(timeout=10), 1)
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

    def test_read_feed_example(self):
        with open(os.environ["READ_FEED_EXAMPLE"]) as example, open(os.environ["README"]) as readme:
            self.assertIn("```python\n" + example.read() + "```\n", readme.read(), "the README quotes another example")
        host = self.start_host()
        host.wait_listening()
        example = subprocess.Popen(["python3", os.environ["READ_FEED_EXAMPLE"]], text=True, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.clients.append(example)
        printed = LineReader(example.stdout)
        for _ in range(3):
            line = printed.next(15)
            match = re.fullmatch(r"lat (\S+) lon (\S+) speed [0-9]+\.[0-9] kt elevation (\S+) ft "
                                 r"heading [0-9]+\.[0-9]\n", line or "")
            self.assertTrue(match, "printed %r" % line)
            latitude, longitude, elevation = (float(value) for value in match.groups())
            self.assert_near_gate(latitude, longitude, elevation, feet=0.5)
            self.assertEqual(elevation, 1417)
        example.terminate()
        example.wait(timeout=5)
        self.assertEqual(example.stderr.read(), "")


if __name__ == "__main__":
    unittest.main()
