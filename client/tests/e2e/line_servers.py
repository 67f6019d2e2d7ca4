"""feedclient's relay and NMEA servers: many clients, a stalled one, too few descriptors, a standard
output nobody reads, and gpsd and gpsbabel reading the NMEA sentences.
"""
import csv
import io
import json
import os
import re
import signal
import subprocess
import sys
import time

from support import (FEED_LINE, GPSD_PORT, HTTP_PORT, LineReader, MAX_CLIENTS, NMEA_PORT, PATIENCE, RELAY_PORT,
                     SANITIZED, fetch, great_circle, seconds_flown, line_of, processor_seconds, travel, wait_for)


class LineServerCases:
    """What feedclient serves line by line. Mixed into FeedClientTest, which is a FeedClientCase."""

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
        host, client, out, err = self.start_with_host("--csv", "--relay", str(RELAY_PORT), "--http", str(HTTP_PORT))
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
        # Counted for whoever helps a user, after the client has gone.
        self.assertEqual(json.loads(fetch("/status.json")[2])["servers"]["relay"],
                         {"port": RELAY_PORT, "clients": 2, "dropped": dropped})

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
        host.load()
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
            seconds = seconds_flown(previous, record)
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
