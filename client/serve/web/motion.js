// The aircraft between the feed's positions, a second apart: drawn moving on at its ground speed and
// track on every frame, and the map following it, so that it never stands still on screen in flight.
"use strict";

const BLEND = 500; // milliseconds over which the aircraft passes from where it is drawn to a new fix's path
const LONGEST_PREDICTION = 2000; // milliseconds after a fix: a feed that falls silent leaves it standing there
const STANDING = 1; // knots: slower than this, the aircraft stays at its fix
const METRES_PER_DEGREE = (Math.PI / 180) * EARTH_RADIUS;
// Follow mode's zoom for a ground speed: each zoom up to a speed in knots, and a band's edge passed by a
// margin before the zoom changes, so that a speed about an edge does not make the map flap between two.
const SPEED_ZOOMS = [[40, 16], [90, 14], [200, 13], [320, 12], [450, 11], [Infinity, 10]];
const SPEED_MARGIN = 0.15;
const FIRST_ZOOM = 13; // before the speed is known

let fix = null; // the latest fix: latitude, continuous longitude, and when it came (performance.now())
let velocity = null; // at the fix: north and east in metres per millisecond; null where the aircraft stays at it
let correction = null; // where the aircraft was drawn, less where the new fix's path is, as the fix came
let drawn = null; // [latitude, longitude] where the aircraft is drawn
let frame = 0; // the requested animation frame, 0 if none
let speedBand = null; // the SPEED_ZOOMS entry follow mode zooms to
let zoomAsked = null; // the zoom follow mode last asked for: any other at a zoom's end is the user's
let handZoom = false; // the user zoomed while following: their zoom stays until they press follow again
let middle = null; // where the followed aircraft sits, in the map's container pixels
let moved = false; // the map moved since its last "moveend"

// The fix's path: where the aircraft is, flying on as it flew at the fix.
function predicted(now) {
  if (!velocity) return [fix.latitude, fix.longitude];
  const elapsed = Math.min(now - fix.at, LONGEST_PREDICTION);
  const latitude = fix.latitude + (velocity.north * elapsed) / METRES_PER_DEGREE;
  const east = (velocity.east * elapsed) / (METRES_PER_DEGREE * Math.cos((fix.latitude * Math.PI) / 180));
  return [latitude, fix.longitude + east];
}

// A new fix, [latitude, continuous longitude]: the aircraft goes on from where it is drawn, and reaches
// the new fix's path over BLEND; it appears, and is put back, at the fix itself.
function motionFix(where, appearing) {
  const now = performance.now();
  fix = { latitude: where[0], longitude: where[1], at: now };
  correction = drawn && !appearing && !document.hidden ? [drawn[0] - where[0], drawn[1] - where[1]] : null;
  if (appearing) zoomAsked = FIRST_ZOOM;
  middle = middle || visibleMiddle();
  step(now);
  endMove();
}

// The ground motion that comes right after each fix, in knots and degrees true; none (a jump, the first
// position after a connection) or standing still puts the aircraft back at its fix.
function motionOf(data) {
  const moving = data.groundSpeed !== null && data.track !== null && data.groundSpeed >= STANDING;
  if (!moving) {
    velocity = null;
    correction = null;
  } else {
    const metresPerMs = (data.groundSpeed * 1852) / 3600 / 1000;
    const track = (data.track * Math.PI) / 180;
    velocity = { north: metresPerMs * Math.cos(track), east: metresPerMs * Math.sin(track) };
  }
  if (data.groundSpeed !== null) zoomForSpeed(data.groundSpeed);
  if (fix) step(performance.now());
}

// The feed is lost: the aircraft stands at its last fix.
function motionLost() {
  velocity = null;
  correction = null;
  if (fix) step(performance.now());
}

// The share of a correction still left, BLEND after a fix none. It starts going at once, so that an
// aircraft drawn ahead of the new path slows down at once rather than flying on past it.
function left(now) {
  const t = Math.min(1, (now - fix.at) / BLEND);
  return (1 - t) * (1 - t);
}

// One frame: the aircraft where it is now, and the map following it. Drawn on from frame to frame, it
// never goes back along its track; put at a fix's path afresh (appearing, standing, shown again), it may.
function step(now) {
  let [latitude, longitude] = predicted(now);
  const share = correction ? left(now) : 0;
  latitude += correction ? correction[0] * share : 0;
  longitude += correction ? correction[1] * share : 0;
  drawn = correction && velocity ? notBack([latitude, longitude]) : [latitude, longitude];
  aircraft.setLatLng(drawn);
  if (follow) keepInMiddle();
  const moving = (velocity && now - fix.at < LONGEST_PREDICTION) || share > 0;
  if (moving && !document.hidden) {
    frame = frame || requestAnimationFrame(nextFrame);
  } else {
    cancelAnimationFrame(frame);
    frame = 0;
    endMove();
  }
}

function nextFrame(now) {
  frame = 0;
  step(now);
}

// A position from the one drawn, without the part of the way that goes back along the track: an aircraft
// drawn ahead of the new fix's path waits there for it.
function notBack(to) {
  const cosine = Math.cos((drawn[0] * Math.PI) / 180);
  const north = to[0] - drawn[0];
  const east = (to[1] - drawn[1]) * cosine;
  const speed = Math.hypot(velocity.north, velocity.east);
  const along = (north * velocity.north + east * velocity.east) / speed;
  if (along >= 0) return to;
  return [to[0] - (along * velocity.north) / speed, to[1] - (along * velocity.east) / speed / cosine];
}

// The middle of the part of the map that the panel leaves visible: above it where it runs along the
// bottom, left of it where it sits at the side (in track up, orient.js's place for the aircraft).
function visibleMiddle() {
  const size = map.getSize();
  if (settings.orient === "track") return size.divideBy(2); // the map's element is laid out around it
  const mapBox = map.getContainer().getBoundingClientRect();
  const panel = document.getElementById("panel").getBoundingClientRect();
  let right = size.x;
  let bottom = size.y;
  if (panel.width >= size.x / 2) bottom = Math.min(bottom, Math.max(0, panel.top - mapBox.top));
  else right = Math.min(right, Math.max(0, panel.left - mapBox.left));
  return L.point(right / 2, bottom / 2);
}

// The map moved by whole pixels so that the drawn aircraft sits in the middle. Leaflet's panBy ends each
// move with a "moveend", whose listeners (the tiles, the track's renderer) cost more than a frame should
// spend: a frame moves the map as a drag does, with "move" alone, and each fix ends the move.
function keepInMiddle() {
  if (map._animatingZoom || !middle) return;
  const offset = map.latLngToContainerPoint(drawn).subtract(middle).round();
  if (!offset.x && !offset.y) return;
  map._rawPanBy(offset);
  map.fire("move");
  moved = true;
}

function endMove() {
  if (!moved) return;
  moved = false;
  map.fire("moveend");
}

// The zoom for a ground speed, from the band it is in, or the band held while the speed stays within
// the margin of its edges.
function zoomForSpeed(knots) {
  const inBand = (i) => knots <= SPEED_ZOOMS[i][0] * (1 + SPEED_MARGIN) &&
    (i === 0 || knots >= SPEED_ZOOMS[i - 1][0] * (1 - SPEED_MARGIN));
  if (speedBand === null || !inBand(speedBand)) speedBand = SPEED_ZOOMS.findIndex(([fastest]) => knots <= fastest);
  const zoom = SPEED_ZOOMS[speedBand][1];
  if (!follow || handZoom || !fix || zoom === map.getZoom()) return;
  zoomAsked = zoom;
  map.setZoomAround(drawn, zoom);
}

// Follow mode on: the user's zoom goes, and the map comes to the aircraft.
function followAircraft() {
  handZoom = false;
  speedBand = null;
  if (!fix) return;
  middle = visibleMiddle();
  step(performance.now());
}

map.on("zoomend", () => {
  if (follow && fix && map.getZoom() !== zoomAsked) handZoom = true;
  if (follow && fix) step(performance.now());
});
// The panel's size and place change with the screen's and its own content.
new ResizeObserver(() => {
  middle = visibleMiddle();
  if (follow && fix) step(performance.now());
}).observe(document.getElementById("panel"));
map.on("resize", () => {
  middle = visibleMiddle();
  if (follow && fix) step(performance.now());
});
// Hidden, the page draws nothing; shown again, the aircraft is where its path has it now.
document.addEventListener("visibilitychange", () => {
  correction = null;
  if (fix) step(performance.now());
});
