"""feedclient's outputs, readable, JSON, CSV and GPX, across a restart of the host and a name found
late; Ctrl-C and kill; bad lines and silence; its usage and a closed output; and the README's Python
example.
"""
import csv
import io
import json
import os
import queue
import re
import shlex
import signal
import socket
import subprocess
import time
import unittest
import xml.etree.ElementTree as ElementTree

from support import GATE_LONGITUDE, GPX, LineReader, NUMBER, PATIENCE, RELAY_PORT, UNDER_WINE, wait_for


class OutputCases:
    """What feedclient writes, and how it reads the feed. Mixed into FeedClientTest, which is a FeedClientCase."""

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

    def start_gpx(self, path, *arguments, launcher=()):
        """feedclient writing the demo flight's track to `path`, with the host started if it is not yet."""
        if not self.hosts:
            self.start_host().wait_listening()
        return self.start_client("--gpx", path, *arguments, launcher=launcher)

    def points_in(self, path):
        """How many points the track in `path` has so far, as written."""
        if not os.path.exists(path):
            return 0
        with open(path) as file:
            return file.read().count("<trkpt")

    def wait_for_points(self, path, points):
        wait_for(lambda: self.points_in(path) >= points, PATIENCE, "%d points in the track" % points)

    def run_gpx_until(self, stop_signal, points=3):
        """feedclient writing track.gpx from the demo flight until the file holds `points` points."""
        path = os.path.join(self.folder.name, "track.gpx")
        client = self.start_gpx(path)
        self.wait_for_points(path, points)
        client.send_signal(stop_signal)
        return client.wait(timeout=PATIENCE), path

    def tracks_in(self, path):
        return len(ElementTree.parse(path).getroot().findall(GPX + "trk"))

    def test_gpx_after_ctrl_c(self):
        status, path = self.run_gpx_until(signal.SIGINT)
        self.assertEqual(status, 0)
        first = self.gpx_points(path)
        self.assertGreaterEqual(len(first), 3)
        # The same command again, as the next day: the file keeps the first flight and gets a track for the next.
        # Meanwhile a second feedclient on the file is refused, and the first goes on writing.
        client = self.start_gpx(path)
        self.wait_for_points(path, len(first) + 1)
        status, out, err = self.finish(self.start_gpx(path))
        self.assertEqual((status, out, err), (2, "", "feedclient: %s: another feedclient is writing to this file: "
                                                     "give this one a file of its own\n" % path))
        self.wait_for_points(path, self.points_in(path) + 2)
        client.send_signal(signal.SIGINT)
        self.assertEqual(client.wait(timeout=PATIENCE), 0)
        both = self.gpx_points(path)
        self.assertEqual(both[:len(first)], first)
        self.assertGreaterEqual(len(both), len(first) + 3)
        self.assertEqual(self.tracks_in(path), 2)
        # A file that is not GPX is refused and left as it was.
        notes = os.path.join(self.folder.name, "notes.txt")
        with open(notes, "w") as file:
            file.write("take-off 10:40\n")
        status, out, err = self.finish(self.start_client("--gpx", notes))
        self.assertEqual(status, 2)
        self.assertIn("notes.txt: not a GPX file, so it is left as it is", err)
        with open(notes) as file:
            self.assertEqual(file.read(), "take-off 10:40\n")

    def run_out_of_room(self, path, launcher, cause, given=None):
        """A run of feedclient on the track `path`, from `launcher`, that leaves room in the file for a new
        track, its closing tags and two and a half points: the third point's write fails with `cause`, which
        ends the run, and the file is put back as it was after the second, still GPX, for the next run to add
        to. `given`: the path feedclient is given instead, where the launcher copies the file to and back."""
        before, tracks = self.gpx_points(path), self.tracks_in(path)
        given = given or path
        status, out, err = self.finish(self.start_gpx(given, launcher=launcher))
        self.assertEqual(status, 2, err)
        self.assertIn("feedclient: %s: put back as it was before the write that failed\n"
                      "feedclient: cannot write the output: %s\n" % (given, cause), err)
        after = self.gpx_points(path)
        self.assertEqual(after[:len(before)], before)
        self.assertEqual(len(after), len(before) + 2)
        self.assertEqual(self.tracks_in(path), tracks + 1)
        status, out, err = self.finish(self.start_gpx(path, "--count", "1"))
        self.assertEqual(status, 0, err)
        self.assertEqual(self.gpx_points(path)[:len(after)], after)
        self.assertEqual(self.tracks_in(path), tracks + 2)

    def test_gpx_after_kill(self):
        status, path = self.run_gpx_until(signal.SIGKILL)
        self.assertEqual(status, -signal.SIGKILL)
        self.assertGreaterEqual(len(self.gpx_points(path)), 3)
        # The killed feedclient's lock went with it. A file size limit, then a full disk, each leave room for a
        # new track, its closing tags and two and a half points.
        with open(path) as file:
            point = len(re.search("<trkpt .*\n", file.read()).group())
        room = len("<trk><name>BelvantoPlugin feed</name>\n<trkseg>\n</trkseg>\n</trk>\n") + point * 5 // 2
        self.run_out_of_room(path, ["prlimit", "--fsize=%d" % (os.path.getsize(path) + room)], "File too large")
        if os.geteuid() != 0 or subprocess.run(["unshare", "--mount", "true"]).returncode != 0:
            self.skipTest("needs root, for a full disk of its own: a tmpfs in a mount namespace")
        # The disk: a tmpfs of one page, and the file padded with a comment to fill all of it but the room.
        page = os.sysconf("SC_PAGESIZE")
        with open(path) as file:
            text = file.read()
        padding = "<!-- %s -->\n" % ("." * (page - room - len(text) - len("<!--  -->\n")))
        with open(path, "w") as file:
            file.write(text.replace("</gpx>", padding + "</gpx>"))
        self.assertEqual(os.path.getsize(path), page - room)
        disk = os.path.join(self.folder.name, "disk")
        os.mkdir(disk)
        copied = os.path.join(disk, "track.gpx")
        script = ('mount -t tmpfs -o size={0} tmpfs {1} && cp {2} {3} && '
                  '{{ "$@"; status=$?; cp {3} {2}; exit $status; }}')
        script = script.format(page, *map(shlex.quote, (disk, path, copied)))
        self.run_out_of_room(path, ["unshare", "--mount", "sh", "-c", script, "sh"],
                             "No space left on device", copied)

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
