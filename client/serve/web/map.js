// The live map: the aircraft and the track flown, from feedclient's events, and a panel of the latest
// values. The page reconnects by itself, and on each connection loads the whole track again.
"use strict";

const WARN_AFTER = 3000; // milliseconds without a position
const PLANE =
  '<svg viewBox="-18 -18 36 36" width="36" height="36" aria-hidden="true"><path d="M0-16 2-10 2-4 15 4 15 7 2 3 ' +
  '2 10 6 13 6 15 0 13.5-6 15-6 13-2 10-2 3-15 7-15 4-2-4-2-10Z"/></svg>';

const TARGET =
  '<svg viewBox="0 0 24 24" width="24" height="24" aria-hidden="true"><circle cx="12" cy="12" r="7"/>' +
  '<path d="M12 1v6M12 17v6M1 12h6M17 12h6"/><circle class="dot" cx="12" cy="12" r="2.5"/></svg>';

const map = L.map("map", { worldCopyJump: true }).setView([20, 0], 2);
L.tileLayer(document.body.dataset.tiles, { maxZoom: 19, attribution: document.body.dataset.attribution }).addTo(map);
const aircraft = L.marker([0, 0], {
  icon: L.divIcon({ className: "aircraft", html: PLANE, iconSize: [36, 36] }),
  interactive: false,
  keyboard: false,
});
const track = L.polyline([], { className: "track", interactive: false }).addTo(map);

let segments = []; // the track: arrays of [latitude, longitude], a new one after each loss of the feed
let lastId = 0; // the last position event taken into the track
let broken = false; // the feed was lost since: the next position starts a new segment
let pending = null; // the events that come while the track loads
let latest = null; // the latest position
let feedState = "lost";
let clockOffset = 0; // this device's clock less feedclient's, in milliseconds
let online = false;
let follow = true;
let source = null; // the events stream

const field = (id) => document.getElementById(id);
const fixed = (value, decimals, unit) => (value === null ? "–" : value.toFixed(decimals) + unit);
// A direction to a tenth as feedclient writes one: a half goes up, on the feed's six decimals, and a
// whole turn is 0.0.
const direction = (degrees) => {
  if (degrees === null) return "–";
  let millionths = Math.round((degrees % 360) * 1e6);
  if (millionths < 0) millionths += 360e6;
  const tenths = Math.floor((millionths + 50000) / 100000) % 3600;
  return Math.floor(tenths / 10) + "." + (tenths % 10) + "°";
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
  if (on && latest && located(latest)) map.panTo([latest.latitude, latest.longitude]);
}

function showPosition(p) {
  latest = p;
  field("latitude").textContent = fixed(p.latitude, 6, "°");
  field("longitude").textContent = fixed(p.longitude, 6, "°");
  field("altitude").textContent = fixed(p.elevation, 0, " ft");
  field("airspeed").textContent = fixed(p.speed, 1, " kt");
  field("heading").textContent = direction(p.heading);
  if (!located(p)) return;
  const where = [p.latitude, p.longitude];
  if (!map.hasLayer(aircraft)) {
    aircraft.setLatLng(where).addTo(map);
    if (follow) map.setView(where, 13);
  } else {
    aircraft.setLatLng(where);
    if (follow) map.panTo(where);
  }
  aircraft.getElement().firstChild.style.transform = "rotate(" + (p.heading === null ? 0 : p.heading) + "deg)";
}

function takePosition(p, id) {
  if (id > lastId) {
    lastId = id;
    if (located(p)) {
      if (broken || segments.length === 0) segments.push([]);
      broken = false;
      segments[segments.length - 1].push([p.latitude, p.longitude]);
      track.setLatLngs(segments);
    }
  }
  showPosition(p);
}

function take(event) {
  const data = JSON.parse(event.data);
  if (event.type === "feed") {
    feedState = data.state;
    clockOffset = Date.now() - Date.parse(data.time);
    // A loss the loaded track does not know of yet.
    if (data.state === "lost" && data.positions >= lastId) broken = true;
  } else if (event.type === "motion") {
    field("ground-speed").textContent = fixed(data.groundSpeed, 1, " kt");
    field("track").textContent = direction(data.track);
  } else {
    takePosition(data, Number(event.lastEventId));
  }
  updateWarning();
}

function receive(event) {
  if (pending) pending.push(event);
  else take(event);
}

// The track so far, then the events that came meanwhile; those it already holds only update the panel.
// An answer for a stream that has since been replaced, or for an earlier opening of this one, is dropped.
function loadTrack(stream) {
  const queue = (pending = []);
  fetch("track.geojson", { cache: "no-store" })
    .then((response) => response.json())
    .then((geo) => {
      if (stream !== source || queue !== pending) return;
      segments = geo.features.map((feature) => {
        const g = feature.geometry;
        return (g.type === "Point" ? [g.coordinates] : g.coordinates).map((c) => [c[1], c[0]]);
      });
      track.setLatLngs(segments);
      lastId = geo.positions;
      broken = false;
      pending = null;
      queue.forEach(take);
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
  stream.onmessage = receive;
  stream.addEventListener("feed", receive);
  stream.addEventListener("motion", receive);
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
