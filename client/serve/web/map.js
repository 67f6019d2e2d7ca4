// The live map: the aircraft and the track flown, from feedclient's events, and a panel of the latest
// values. The page reconnects by itself, and on each connection loads the whole track again: in place of
// its own if it comes from the same feedclient, after it if from a new one (feedclient restarted).
"use strict";

const WARN_AFTER = 3000; // milliseconds without a position
const PLANE =
  '<svg viewBox="-18 -18 36 36" width="36" height="36" aria-hidden="true"><path d="M0-16 2-10 2-4 15 4 15 7 2 3 ' +
  '2 10 6 13 6 15 0 13.5-6 15-6 13-2 10-2 3-15 7-15 4-2-4-2-10Z"/></svg>';

const TARGET =
  '<svg viewBox="0 0 24 24" width="24" height="24" aria-hidden="true"><circle cx="12" cy="12" r="7"/>' +
  '<path d="M12 1v6M12 17v6M1 12h6M17 12h6"/><circle class="dot" cx="12" cy="12" r="2.5"/></svg>';

const TRACK_LIMIT = Number(document.body.dataset.trackLimit); // positions, as many as feedclient keeps
// The fastest ground speed any aircraft flies, in metres per second: a position further than that from the
// last one, in at least a second, is a relocation, and the track breaks there.
const FASTEST = (Number(document.body.dataset.fastestKnots) * 1852) / 3600;
const EARTH_RADIUS = 6371008.8; // metres, the mean radius, as feedclient's ground motion takes it
// Positions in one polyline of the track. A new position redraws only the newest polyline, and one that
// the track's limit trims the oldest, so a position costs the same whatever the track's length.
const CHUNK = 500;

// Leaflet's SVG renderer clips and draws every polyline again at the end of each move of the map, and
// following the aircraft moves it on every frame: this one draws again only once the view has left the
// area drawn (the view and a margin around it) or the zoom has changed, so that a move costs the same
// whatever the track's length.
const TrackRenderer = L.SVG.extend({
  options: { padding: 0.3 },
  getEvents() {
    return { ...L.SVG.prototype.getEvents.call(this), moveend: this._updateOnceLeft };
  },
  _updateOnceLeft() {
    const view = L.bounds(this._map.containerPointToLayerPoint([0, 0]),
      this._map.containerPointToLayerPoint(this._map.getSize()));
    if (this._zoom !== this._map.getZoom() || !this._bounds.contains(view)) this._update();
  },
});

const map = L.map("map", { worldCopyJump: true, renderer: new TrackRenderer() }).setView([20, 0], 2);
// Tiles follow the map as it moves, not only once it stops (Leaflet's way on a phone): following the
// aircraft moves it on every frame, and ends the move only once a second.
L.tileLayer(document.body.dataset.tiles, { maxZoom: 19, attribution: document.body.dataset.attribution,
  updateWhenIdle: false }).addTo(map);
const aircraft = L.marker([0, 0], {
  icon: L.divIcon({ className: "aircraft", html: PLANE, iconSize: [36, 36] }),
  interactive: false,
  keyboard: false,
});
const trackStyle = { className: "track", interactive: false };

// The track: segments, a new one after each loss of the feed or relocation, each a list of polylines of
// at most CHUNK positions, where each polyline starts at the last position of the one before. Longitudes
// run on continuously within a segment (179.9 then 180.1), so that Leaflet draws it the short way across
// the antimeridian, and each segment starts on the side of the world where the one before it ended.
let segments = [];
let keptSegments = 0; // the first segments, from feedclients before this one, which its track leaves as they are
let trackStarted; // when the feedclient whose track the page holds started, as its track says
let trackCount = 0; // positions in the track, each once
let last = null; // the track's latest position: its latitude, continuous longitude, and time in ms (NaN if unknown)
let lastId = 0; // the last position event taken into the track
let broken = false; // the feed was lost since: the next position starts a new segment
let trackQueue = null; // while the track loads, what comes for it meanwhile: positions and losses of the feed
let latest = null; // the latest position
let groundMotion = null; // the latest ground motion: ground speed in knots and track in degrees true
let heading = null; // the aircraft icon's rotation in degrees, carried on the short way to each new heading
let feedState = "lost";
let clockOffset = 0; // this device's clock less feedclient's, in milliseconds
let online = false;
let follow = true;
let source = null; // the events stream
const field = (id) => document.getElementById(id);
// A direction to a tenth as feedclient writes one: a half goes up, on the feed's six decimals, and a
// whole turn is 0.0.
const direction = (degrees) => {
  if (degrees === null) return "–";
  let millionths = Math.round((degrees % 360) * 1e6);
  if (millionths < 0) millionths += 360e6;
  const tenths = Math.floor((millionths + 50000) / 100000) % 3600;
  return Math.floor(tenths / 10) + "." + (tenths % 10) + "°";
};
// A latitude or longitude to the feed's six decimals, with its hemisphere; one that rounds to zero has none.
const hemisphere = (degrees, [positive, negative]) => {
  if (degrees === null) return "–";
  const text = Math.abs(degrees).toFixed(6);
  return Number(text) === 0 ? text + "°" : text + "° " + (degrees > 0 ? positive : negative);
};
// A place on the Earth by feedclient's one rule (isValidPlace in read/Position.h), which has left out of the
// track and the ground motion every position that breaks it; the page applies it to the live positions.
const located = (p) => p.latitude !== null && p.longitude !== null && Math.abs(p.latitude) <= 90 &&
  Math.abs(p.longitude) <= 180;

// Follow mode: on at first; dragging the map turns it off, and this button on again.
const FollowControl = L.Control.extend({
  options: { position: "topleft" },
  onAdd() {
    this.button = L.DomUtil.create("button", "follow leaflet-bar");
    this.button.type = "button";
    this.button.title = "Follow the aircraft";
    this.button.setAttribute("aria-label", "Follow the aircraft");
    this.button.innerHTML = TARGET;
    L.DomEvent.disableClickPropagation(this.button);
    L.DomEvent.on(this.button, "click", () => setFollow(true));
    return this.button;
  },
});
const followControl = new FollowControl().addTo(map);
map.on("dragstart", () => setFollow(false));

function setFollow(on) {
  follow = on;
  followControl.button.setAttribute("aria-pressed", String(on));
  if (on && latest) followAircraft();
}

// The angle nearest to `reference` that names the same direction as `degrees`: a longitude or a heading
// carried on across 180° or 360° the short way.
const nearest = (degrees, reference, turn) => degrees + turn * Math.round((reference - degrees) / turn);

function metresBetween(lat1, lon1, lat2, lon2) {
  const rad = Math.PI / 180;
  const haversine = Math.sin(((lat2 - lat1) * rad) / 2) ** 2 +
    Math.cos(lat1 * rad) * Math.cos(lat2 * rad) * Math.sin(((lon2 - lon1) * rad) / 2) ** 2;
  return 2 * EARTH_RADIUS * Math.atan2(Math.sqrt(haversine), Math.sqrt(1 - haversine));
}

// Lines that come together were still a second apart in the simulator, so a jump is judged against what
// the fastest aircraft flies in at least a second.
function jumped(from, latitude, longitude, time) {
  const seconds = Math.max(1, (time - from.time) / 1000 || 0);
  return metresBetween(from.latitude, from.longitude, latitude, longitude) > FASTEST * seconds;
}

// The longitude, carried on from the track's latest position; the track's first is as the feed has it.
const continuousLongitude = (longitude) => (last ? nearest(longitude, last.longitude, 360) : longitude);

// The panel's values of the latest position, and of the latest ground motion, in the units of the setting.
function showPositionValues() {
  field("latitude").textContent = hemisphere(latest.latitude, "NS");
  field("longitude").textContent = hemisphere(latest.longitude, "EW");
  field("altitude").textContent = altitudeText(latest.elevation);
  field("airspeed").textContent = speedText(latest.speed);
  field("heading").textContent = direction(latest.heading);
}

function showGroundMotion() {
  field("ground-speed").textContent = speedText(groundMotion.groundSpeed);
  field("track").textContent = direction(groundMotion.track);
}

window.addEventListener("settingschange", (event) => {
  if (event.detail.name !== "units") return;
  if (latest) showPositionValues();
  if (groundMotion) showGroundMotion();
});

function showPosition(p) {
  latest = p;
  showPositionValues();
  if (!located(p)) return;
  const where = [p.latitude, continuousLongitude(p.longitude)];
  const appearing = !map.hasLayer(aircraft);
  if (appearing) {
    aircraft.setLatLng(where).addTo(map);
    if (follow) map.setView(where, FIRST_ZOOM);
  }
  motionFix(where, appearing);
  if (p.heading !== null) turnTo(p.heading, appearing);
}

// The icon turns to a new heading in a short transition, the short way; it appears at its first heading
// at once, rather than turning there from north.
function turnTo(degrees, appearing) {
  heading = heading === null ? degrees : nearest(degrees, heading, 360);
  const icon = aircraft.getElement().firstChild;
  if (appearing) icon.style.transition = "none";
  icon.style.transform = "rotate(" + heading + "deg)";
  if (appearing) {
    getComputedStyle(icon).transform; // the style taken as it is, so that the transition starts from here
    icon.style.transition = "";
  }
}

function startSegment() {
  segments.push([]);
}

// Positions, [latitude, continuous longitude], join the newest segment: they fill its newest polyline,
// and then new ones, each drawn once.
function extendTrack(points, time) {
  const segment = segments[segments.length - 1];
  for (let from = 0; from < points.length; ) {
    const line = segment[segment.length - 1];
    const held = line ? line.getLatLngs() : [];
    if (line && held.length < CHUNK) {
      const part = points.slice(from, from + CHUNK - held.length);
      line.setLatLngs(held.concat(part));
      from += part.length;
    } else {
      const start = line ? [held[held.length - 1]] : [];
      const part = points.slice(from, from + CHUNK - start.length);
      segment.push(L.polyline(start.concat(part), trackStyle).addTo(map));
      from += part.length;
    }
  }
  const [latitude, longitude] = points[points.length - 1];
  last = { latitude, longitude, time };
  trackCount += points.length;
  while (trackCount > TRACK_LIMIT) trimOldest();
}

// The oldest position goes, as it goes from feedclient's track, and a segment left empty with it.
function trimOldest() {
  const segment = segments[0];
  const line = segment[0];
  const points = line.getLatLngs();
  if (points.length > (segment.length > 1 ? 2 : 1)) {
    points.shift();
    line.setLatLngs(points);
  } else {
    line.remove();
    segment.shift();
    if (segment.length === 0) {
      segments.shift();
      keptSegments = Math.max(0, keptSegments - 1);
    }
  }
  trackCount -= 1;
}

// Positions in a segment: each polyline after the first starts with the last position of the one before.
const positionsIn = (segment) => segment.reduce((count, line, i) => count + line.getLatLngs().length - (i ? 1 : 0), 0);

// The track as feedclient has it goes, to be loaded again; what earlier feedclients left stays, and the
// track goes on from its end.
function clearTrack() {
  for (const segment of segments.splice(keptSegments)) {
    trackCount -= positionsIn(segment);
    segment.forEach((line) => line.remove());
  }
  const kept = segments.length > 0 ? segments[segments.length - 1] : null;
  const end = kept ? kept[kept.length - 1].getLatLngs().slice(-1)[0] : null;
  last = end ? { latitude: end.lat, longitude: end.lng, time: NaN } : null;
}

// A live position joins the track, on a new segment after a loss of the feed or a jump no aircraft flies.
function trackPosition(p, id) {
  if (id <= lastId) return; // the loaded track has it already
  if (id > lastId + 1) {
    // Events this page never had (its stream fell behind, a device asleep): the track comes again whole.
    lastId = id;
    loadTrack(source);
    return;
  }
  lastId = id;
  if (!located(p)) return;
  const longitude = continuousLongitude(p.longitude);
  const time = Date.parse(p.time);
  if (broken || !last || jumped(last, p.latitude, longitude, time)) startSegment();
  broken = false;
  extendTrack([[p.latitude, longitude]], time);
}

function trackLoss(positions) {
  if (positions >= lastId) broken = true; // a loss the track does not know of yet
}

// What comes for the track while it loads waits for it; the panel and the aircraft follow at once.
function forTrack(apply) {
  if (trackQueue) trackQueue.push(apply);
  else apply();
}

function take(event) {
  const data = JSON.parse(event.data);
  if (event.type === "feed") {
    feedState = data.state;
    clockOffset = Date.now() - Date.parse(data.time);
    if (data.state === "lost") {
      forTrack(() => trackLoss(data.positions));
      motionLost();
    }
  } else if (event.type === "motion") {
    groundMotion = data;
    showGroundMotion();
    motionOf(data);
    turnMap(data.track);
  } else {
    const id = Number(event.lastEventId);
    forTrack(() => trackPosition(data, id));
    showPosition(data);
  }
  updateWarning();
}

// A segment of /track.geojson as one list of positions with continuous longitudes: a LineString, a
// Point, or a MultiLineString cut at the antimeridian, whose parts end and start on it. Those two points
// on the line are not positions, and go.
function segmentOf(geometry) {
  if (geometry.type === "Point") return [geometry.coordinates];
  if (geometry.type === "LineString") return geometry.coordinates;
  return geometry.coordinates.reduce((joined, part) => {
    const cut = joined.length > 0 && Math.abs(joined[joined.length - 1][0]) === 180 && Math.abs(part[0][0]) === 180;
    return cut ? joined.slice(0, -1).concat(part.slice(1)) : joined.concat(part);
  }, []);
}

// A segment's coordinates, [longitude, latitude, altitude], as positions of the track, their longitudes
// carried on from the track's latest position.
function positionsOf(coordinates) {
  let longitude = continuousLongitude(coordinates[0][0]);
  return coordinates.map((c) => [c[1], (longitude = nearest(c[0], longitude, 360))]);
}

// The track so far, then what came for it meanwhile. An answer for a stream that has since been replaced,
// or for an earlier request on this one, is dropped.
function loadTrack(stream) {
  const queue = (trackQueue = []);
  fetch("track.geojson", { cache: "no-store" })
    .then((response) => response.json())
    .then((geo) => {
      if (stream !== source || queue !== trackQueue) return;
      if (segments.length > 0 && geo.started !== trackStarted) keptSegments = segments.length;
      trackStarted = geo.started;
      clearTrack();
      geo.features.forEach((feature) => {
        startSegment();
        extendTrack(positionsOf(segmentOf(feature.geometry)), NaN);
      });
      lastId = geo.positions;
      // A new feedclient's first position starts a segment of its own, after what the page kept.
      broken = geo.features.length === 0 && segments.length > 0;
      trackQueue = null;
      // Until a gap in the events asks for the track again, and those after it are in the new one.
      for (const apply of queue) {
        if (trackQueue) break;
        apply();
      }
    })
    .catch(() => {
      if (stream === source) reconnect();
    });
}

function connect() {
  const stream = (source = new EventSource("events"));
  stream.onopen = () => {
    online = true;
    loadTrack(stream);
    updateWarning();
  };
  stream.onmessage = take;
  stream.addEventListener("feed", take);
  stream.addEventListener("motion", take);
  stream.onerror = () => {
    if (stream !== source) return;
    online = false;
    updateWarning();
    // The browser tries again by itself unless feedclient refused the stream (too many clients).
    if (stream.readyState === EventSource.CLOSED) reconnect();
  };
}

function reconnect() {
  online = false;
  source.close();
  source = null;
  setTimeout(connect, 2000);
}

function updateWarning() {
  const age = latest ? Date.now() - clockOffset - Date.parse(latest.time) : null;
  field("age").textContent = age === null ? "–" : Math.max(0, Math.floor(age / 1000)) + " s";
  let text = "";
  if (!online) text = "No connection to feedclient: trying again";
  else if (age === null) text = "Waiting for the first position";
  else if (age > WARN_AFTER) {
    text = "No position for " + Math.floor(age / 1000) + " s";
    if (feedState === "lost") text += ": feedclient has no connection to the simulator";
  }
  const warning = field("warning");
  warning.textContent = text;
  warning.hidden = text === "";
}

setFollow(true);
connect();
setInterval(updateWarning, 250);
