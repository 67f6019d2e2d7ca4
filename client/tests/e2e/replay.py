"""feedclient --replay: recordings of the module in the stand-in host, made with --json and --csv, played
back to the output, the relay, NMEA and the map's HTTP feed, at their pace ten times faster, again and
again, and as fast as the output takes them; bad lines, and files that are no recording.
"""
import datetime
import json
import os
import re
import signal
import time

from support import (EVENTS_REQUEST, GATE_LATITUDE, GATE_LONGITUDE, HTTP_PORT, LATITUDE, LineReader, NMEA_PORT,
                     PATIENCE, RELAY_PORT, fetch, great_circle, port_listens, travel, wait_for)

AIRSPEED = "sim/flightmodel/position/indicated_airspeed"
SPEED = 10
KNOTS = 1852 / 3600  # metres a second


def time_of(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)


def breaks_in(times):
    """The rows that a replay plays as a lost feed: those more than 3 s after the row before them, or before
    it. The host's restart makes one; a loaded machine, recording live, can leave another anywhere."""
    return [i for i in range(1, len(times)) if not 0 <= (times[i] - times[i - 1]).total_seconds() <= 3]


def has_place(row):
    """Whether a CSV row, split at its commas, has a latitude and a longitude."""
    return "nan" not in row[1:3]


def segments_of(values, breaks):
    """The track's segments that the rows `values` make: split at `breaks`, of the rows with a place."""
    segments, segment = [], []
    for i, v in enumerate(values):
        if i in breaks and segment:
            segments.append(segment)
            segment = []
        if has_place(v):
            segment.append([float(v[2]), float(v[1])])
    return segments + [segment] if segment else segments


class ReplayCases:
    """A flight recorded, then replayed. Mixed into FeedClientTest, which is a FeedClientCase."""

    def record(self, output):
        """Flies three positions half a second apart, one without a latitude or an airspeed, then, after a
        restart of the host that leaves a gap of more than 3 s, three more, with feedclient recording them
        with `output`; returns the recording and the plug-in's lines, as its relay passed them on."""
        host, client, out, err = self.start_with_host(output, "--relay", str(RELAY_PORT))
        plugin = self.connect_stream(RELAY_PORT)
        err.until("relay: %s connected" % plugin.address)
        sent = 0

        def tick(commands):
            nonlocal sent
            host.commands(commands)
            sent += 1
            wait_for(lambda: plugin.received.count(b"\n") == sent, PATIENCE, "line %d" % sent)
            time.sleep(0.5)

        place = lambda metres: travel((GATE_LATITUDE, GATE_LONGITUDE), metres, 45)
        for metres in 0, 60, 120:
            tick(host.tick_commands(*place(metres), 432))
        tick(["set %s nan" % LATITUDE, "set %s -inf" % AIRSPEED, "advance 1"])
        host.stop()
        lost = time.monotonic()
        err.until("the feed closed the connection")
        time.sleep(max(0, 3.5 - (time.monotonic() - lost)))
        host = self.host_back(err)
        for metres in 300, 360, 420:
            tick(host.tick_commands(*place(metres), 500))
        client.send_signal(signal.SIGINT)
        self.assertEqual(client.wait(timeout=PATIENCE), 0, "".join(err.seen))
        while out.next() is not None:
            pass
        path = os.path.join(self.folder.name, "flight" + (".jsonl" if output == "--json" else ".csv"))
        with open(path, "w") as file:
            file.write("".join(out.seen))
        self.assertEqual(len(out.seen), 7 + (output == "--csv"), out.seen)
        return path, "".join(out.seen), plugin.received

    def start_replay(self, *arguments, servers=(RELAY_PORT,)):
        """feedclient replaying, its standard output and error read, and a client of each of `servers`
        connected in the second before the first position, as soon as it listens."""
        client = self.start_client("--replay", *arguments)
        out, err = LineReader(client.stdout), LineReader(client.stderr)
        streams = []
        for port in servers:
            wait_for(lambda: port_listens(port), PATIENCE, "port %d to listen" % port)
            streams.append(self.connect_stream(port, request=EVENTS_REQUEST if port == HTTP_PORT else b""))
        return client, out, err, streams

    def check_replay(self, output):
        path, recording, plugin_lines = self.record(output)
        rows = recording.splitlines()[1:] if output == "--csv" else recording.splitlines()
        times = [time_of(row.split(",")[0] if output == "--csv" else json.loads(row)["time"]) for row in rows]

        # Ten times the pace, to the output and the relay.
        client, out, err, (relayed,) = self.start_replay(path, "--speed", str(SPEED), output, "--relay",
                                                         str(RELAY_PORT))
        status = client.wait(timeout=PATIENCE)
        for reader in out, err:
            while reader.next() is not None:
                pass
        out, told = "".join(out.seen), "".join(err.seen)
        self.assertEqual(status, 0, told)
        wait_for(lambda: relayed.ended, PATIENCE, "the relay's stream to end")
        # The output is the recording itself, times and all; the relay's lines are the plug-in's, but where
        # JSON, which has no NaN nor infinity, wrote null: the replay sends nan there.
        self.assertEqual(out, recording)
        expected = plugin_lines
        if output == "--json":
            expected = re.sub(rb'"-?(nan|inf)"', b'"nan"', plugin_lines)
            self.assertNotEqual(expected, plugin_lines)  # the -inf airspeed
        self.assertEqual(relayed.received, expected)
        self.assertIn("line %d comes " % (5 + (output == "--csv")), told)
        self.assertEqual(told.count("played as a lost feed"), len(breaks_in(times)), told)
        self.assertIn("the end of the recording, after line %d: 7 positions replayed" % len(recording.splitlines()),
                      told)
        # The pace: the recording's, ten times faster. A replay at the recorded pace would take ten times as
        # long, and one as fast as it goes no time at all; both are outside these bounds, the upper one wide
        # enough for a loaded machine.
        arrivals = relayed.line_arrivals()
        played = arrivals[-1] - arrivals[0]
        recorded = (times[-1] - times[0]).total_seconds()
        self.assertGreater(played, 0.5 * recorded / SPEED, (arrivals, times))
        self.assertLess(played, 0.9 * recorded, (arrivals, times))
        # Across the break too: the feed comes back when the gap is over.
        gap = (times[4] - times[3]).total_seconds()
        self.assertGreater(gap, 3)
        self.assertGreater(arrivals[4] - arrivals[3], 0.5 * gap / SPEED)

        # As fast as the output takes it, the same output again.
        status, out, told = self.finish(self.start_client("--replay", path, "--speed", "0", output))
        self.assertEqual((status, out), (0, recording), told)
        return path, rows, times

    def test_replay_json(self):
        self.check_replay("--json")

    def test_replay_csv(self):
        path, rows, times = self.check_replay("--csv")
        # The map and NMEA follow the replay again and again, ten times faster, with its recorded times.
        client, _, err, (events, nmea) = self.start_replay(path, "--speed", str(SPEED), "--loop", "--http",
                                                          str(HTTP_PORT), "--nmea", str(NMEA_PORT),
                                                          servers=(HTTP_PORT, NMEA_PORT))
        wait_for(lambda: len(events.positions()) >= len(rows) + 2, PATIENCE, "the replay's second time")
        status, headers, body = fetch("/track.geojson")
        position_status, _, position = fetch("/position.json")
        told = json.loads(fetch("/status.json")[2])
        client.send_signal(signal.SIGINT)
        self.assertEqual(client.wait(timeout=PATIENCE), 0)
        while err.next() is not None:
            pass
        self.assertIn("the end of the recording: from the start again", "".join(err.seen))

        # The track: the positions with a place, a segment between lost feeds, and the beginning of the next
        # time round.
        values = [row.split(",") for row in rows]
        breaks = breaks_in(times)
        track = json.loads(body)
        lines = [[geometry["coordinates"][:2]] if geometry["type"] == "Point" else
                 [coordinates[:2] for coordinates in geometry["coordinates"]]
                 for geometry in (feature["geometry"] for feature in track["features"])]
        expected = segments_of(values, breaks)
        self.assertGreaterEqual(len(expected), 2, breaks)
        self.assertGreaterEqual(len(lines), len(expected) + 1, track)
        self.assertEqual(lines[:len(expected)], expected)
        self.assertEqual(position_status, 200)
        self.assertIn('"time":"%s"' % json.loads(position)["time"], "".join(
            '"time":"%s"' % v[0] for v in values))
        # The status tells the recording as the feed's source, and when it last connected or was lost by the
        # replay's clock, among the recorded times; the NMEA server runs, the relay does not.
        self.assertEqual((told["feed"]["from"], told["servers"]["nmea"]["clients"], "relay" in told["servers"]),
                         (path, 1, False))
        second = datetime.timedelta(seconds=1)
        self.assertTrue(times[0] - second <= time_of(told["feed"]["since"]) <= times[-1] + second, told)

        # feedclient's clock on the map is the replay's: each connection tells the time of the position
        # that follows, so a page reckons every position's age from its recorded time, and warns of none.
        kinds = events.events()[1]
        followed = [(data, next(d for k, _, d in kinds[i:] if k == "message"))
                    for i, (kind, _, data) in enumerate(kinds) if kind == "feed" and json.loads(data)["state"] ==
                    "connected" and any(k == "message" for k, _, _ in kinds[i:])]
        self.assertGreaterEqual(len(followed), 3, kinds)
        for feed, position in followed:
            ahead = (time_of(json.loads(feed)["time"]) - time_of(json.loads(position)["time"])).total_seconds()
            self.assertTrue(0 <= ahead < 1, (feed, position))

        # NMEA: the recorded times, and the ground speed over the recorded intervals, not ten times it.
        rmc = [line.split(",") for line in nmea.received.decode().splitlines() if line.startswith("$GPRMC")]
        self.assertGreaterEqual(len(rmc), len(rows))
        for sentence, v, when in zip(rmc, values, times):
            self.assertEqual(sentence[1], when.strftime("%H%M%S.") + "%02d" % (when.microsecond // 10000))
        placed = [i for i, v in enumerate(values) if has_place(v)]
        for i in (i for i in placed if i - 1 in placed and i not in breaks):
            metres, _ = great_circle((float(values[i - 1][1]), float(values[i - 1][2])),
                                     (float(values[i][1]), float(values[i][2])))
            # Over at least a second, the time between two of the plug-in's samples, however fast the host ticked.
            knots = metres / max(1.0, (times[i] - times[i - 1]).total_seconds()) / KNOTS
            self.assertAlmostEqual(float(rmc[i][7]), knots, delta=0.15)

    def test_replay_bad_lines_and_files(self):
        good = ('{"time":"2026-12-07T23:14:58.123Z","latitude":47.458056,"longitude":8.548056,"speed":142.370003,'
                '"elevation":1417.322880,"heading":271.250000}\n')
        later = good.replace("58.123", "59.123")
        path = os.path.join(self.folder.name, "edited.jsonl")
        with open(path, "w") as file:
            file.write(good + good.replace("8.548056", "8.54806") + "\n" + later.replace("\n", "\r\n"))
        status, out, err = self.finish(self.start_client("--replay", path, "--speed", "0", "--csv"))
        self.assertEqual(status, 1, err)
        self.assertEqual(out.splitlines()[1:], ["2026-12-07T23:14:58.123Z,47.458056,8.548056,142.370003,"
                                                "1417.322880,271.250000", "2026-12-07T23:14:59.123Z,47.458056,"
                                                "8.548056,142.370003,1417.322880,271.250000"])
        self.assertIn('feedclient: line 2: bad value of "longitude" at column 71: expected six decimals, found 5: '
                      '{"time":', err)
        self.assertIn("feedclient: line 3: expected {\"time\":\" at the start: \n", err)
        self.assertNotIn("feedclient: line 4", err)

        # A file that is no recording is refused before any output is made.
        refused = {"notes.txt": ("take-off 10:40\n", "not a recording feedclient made with --json or --csv"),
                   "feed.txt": ('{version:"1",latitude:"47.458056"}\n', "the plug-in's own lines"),
                   "track.gpx": ('<?xml version="1.0"?>\n<gpx version="1.1">\n', "a GPX track, which holds neither"),
                   "empty.csv": ("", "empty: no recording to replay")}
        for name, (text, why) in refused.items():
            with open(os.path.join(self.folder.name, name), "w") as file:
                file.write(text)
            gpx = os.path.join(self.folder.name, "out.gpx")
            status, out, err = self.finish(self.start_client("--replay", os.path.join(self.folder.name, name),
                                                             "--gpx", gpx))
            self.assertEqual((status, out), (2, ""), err)
            self.assertRegex(err, "^feedclient: .*%s: %s" % (re.escape(name), re.escape(why)))
            self.assertFalse(os.path.exists(gpx))
