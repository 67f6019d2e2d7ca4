// Track up: the map turned so that the aircraft's track points up, the aircraft a quarter of the way up
// the part of the map the panel leaves visible. Leaflet cannot turn its map, so its element is made a
// square centred on that point, as wide as twice the farthest corner of the screen is from it, and turned
// there: its tiles cover every corner, whatever the turn, and the map's middle is that point, where
// follow mode keeps the aircraft. The controls move out of it so as not to turn with it.
"use strict";

const TURN_STEP = 1; // degrees of track: a smaller change leaves the map as it is
const AIRCRAFT_HEIGHT = 0.25; // of the visible map, from its bottom

let mapTurn = null; // degrees the map is turned, carried on across north the short way; null: north up
let latestTrack = null; // the latest ground motion's track, in degrees true, null if none
const mapElement = map.getContainer();
const unturnedControls = L.DomUtil.create("div", "leaflet-container map-controls", document.body);

// The map's element laid out for the orientation chosen; north up leaves it as the page has it.
function layOutOrientation() {
  const turned = settings.orient === "track";
  mapElement.classList.toggle("turned", turned);
  (turned ? unturnedControls : mapElement).appendChild(map._controlContainer);
  for (const handler of ["scrollWheelZoom", "doubleClickZoom", "touchZoom"]) {
    // Leaflet finds the point under a finger or the pointer as on a map not turned: a turned map zooms
    // about its middle, where the followed aircraft is.
    map.options[handler] = turned ? "center" : true;
  }
  map.options.inertia = !turned;
  if (!turned) {
    mapTurn = null;
    mapElement.style.cssText = "";
  } else {
    const pivot = aircraftPlace();
    const reach = Math.ceil(Math.max(...[[0, 0], [innerWidth, 0], [0, innerHeight], [innerWidth, innerHeight]]
      .map(([x, y]) => Math.hypot(x - pivot.x, y - pivot.y))));
    Object.assign(mapElement.style, { left: pivot.x - reach + "px", top: pivot.y - reach + "px",
      width: 2 * reach + "px", height: 2 * reach + "px", right: "auto", bottom: "auto" });
    turnMap(latestTrack);
  }
  map.invalidateSize({ animate: false, pan: false });
}

// Where the aircraft sits in track up, in the page's pixels: across the middle of the visible map, a
// quarter of the way up from its bottom.
function aircraftPlace() {
  const panel = document.getElementById("panel").getBoundingClientRect();
  let right = innerWidth;
  let bottom = innerHeight;
  if (panel.width >= innerWidth / 2) bottom = Math.max(0, panel.top);
  else right = Math.max(0, panel.left);
  return { x: right / 2, y: bottom * (1 - AIRCRAFT_HEIGHT) };
}

// A new track, in degrees true: the map turns to it unless it is within TURN_STEP of its turn.
function turnMap(track) {
  latestTrack = track;
  if (settings.orient !== "track" || track === null) return;
  if (mapTurn !== null && Math.abs(nearest(track, mapTurn, 360) - mapTurn) < TURN_STEP) return;
  mapTurn = mapTurn === null ? track : nearest(track, mapTurn, 360);
  mapElement.style.transform = "rotate(" + -mapTurn + "deg)";
}

// Leaflet moves a dragged map by the finger's way across the screen, and scales it by the turned
// element's bounding box against its size: on a turned map that way is put back on the map's own axes,
// so that the map goes the way the finger goes.
const draggable = map.dragging._draggable;
let dragFrom = null;
draggable.on("dragstart", () => {
  dragFrom = L.DomUtil.getPosition(map.getPane("mapPane"));
});
draggable.on("predrag", () => {
  if (mapTurn === null || !dragFrom) return;
  const scale = draggable._parentScale;
  const x = (draggable._newPos.x - dragFrom.x) * scale.x;
  const y = (draggable._newPos.y - dragFrom.y) * scale.y;
  const angle = (mapTurn * Math.PI) / 180;
  draggable._newPos = L.point(dragFrom.x + x * Math.cos(angle) - y * Math.sin(angle),
    dragFrom.y + x * Math.sin(angle) + y * Math.cos(angle));
  draggable._absPos = draggable._newPos;
});

addEventListener("settingschange", (event) => {
  if (event.detail.name === "orient") layOutOrientation();
});
// The panel's size and place change with the screen's and its own content.
new ResizeObserver(() => {
  if (settings.orient === "track") layOutOrientation();
}).observe(document.getElementById("panel"));
addEventListener("resize", () => {
  if (settings.orient === "track") layOutOrientation();
});
layOutOrientation();
