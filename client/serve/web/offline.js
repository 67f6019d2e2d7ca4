// A world of the page's own for when no map tiles come (a cabin without internet, a tablet on a LAN with no
// route out): Natural Earth's 1:110m land and borders, built into feedclient, drawn under the track, and a
// short notice. It shows until tiles come, since tiles that never answer would otherwise leave the map
// blank; tiles that come hide it, and tiles that stop coming show it again.
"use strict";

const WORLD_COPIES = [-360, 0, 360]; // the track's longitudes run on across the antimeridian, and so does the map

map.createPane("world").style.zIndex = 150; // under the tiles (200), which cover it as they come
const worldRenderer = L.svg({ pane: "world" });
const world = L.layerGroup();
const tileLayer = (() => {
  let found = null;
  map.eachLayer((layer) => {
    if (layer instanceof L.TileLayer) found = layer;
  });
  return found;
})();

// Under the map's buttons, as the last of them: the panel, at the bottom of a phone, grows with its values,
// and the warning across the top with its text, but nothing moves the buttons down under a finger.
const NoticeControl = L.Control.extend({
  options: { position: "topleft" },
  onAdd() {
    const notice = document.getElementById("offline-notice");
    L.DomEvent.disableClickPropagation(notice);
    return notice;
  },
});
new NoticeControl().addTo(map);

// Natural Earth's rings that cross the antimeridian jump from 180 to -180 where they cross it; their
// longitudes carried on, as the track's are, they are drawn the short way rather than across the world.
function carriedOn(ring) {
  let longitude = ring[0][0];
  return ring.map(([lon, lat]) => [(longitude = nearest(lon, longitude, 360)), lat]);
}

// The land, coastlines drawn round it, and the borders between countries, each once (a border is an arc
// two countries share), in copies a world apart.
function drawWorld(topology) {
  const land = topojson.feature(topology, topology.objects.land);
  for (const { geometry } of land.features) {
    const polygons = geometry.type === "Polygon" ? [geometry.coordinates] : geometry.coordinates;
    polygons.forEach((polygon) => polygon.forEach((ring, i) => (polygon[i] = carriedOn(ring))));
  }
  const borders = topojson.mesh(topology, topology.objects.countries, (a, b) => a !== b);
  for (const shift of WORLD_COPIES) {
    const options = { pane: "world", renderer: worldRenderer, interactive: false,
      coordsToLatLng: (c) => L.latLng(c[1], c[0] + shift) };
    L.geoJSON(land, { ...options, style: { className: "world-land" } }).addTo(world);
    L.geoJSON(borders, { ...options, style: { className: "world-border" } }).addTo(world);
  }
}

let tilesCame = false; // whether the last batch of tiles the map asked for brought any
function showWorld(shown) {
  if (shown) world.addTo(map);
  else world.remove();
  map.getContainer().classList.toggle("world-shown", shown);
}

fetch("world.json")
  .then((response) => response.json())
  .then((topology) => {
    drawWorld(topology);
    showWorld(!tilesCame);
  });
showWorld(true);

// A batch is what the map asks for at a view: it has tiles if any came, and none if they all failed. One
// that is neither (the view moved on before any answered) tells nothing.
let batchLoaded = false;
let batchFailed = false;
tileLayer.on("loading", () => {
  batchLoaded = batchFailed = false;
});
tileLayer.on("tileload", () => {
  batchLoaded = true;
});
tileLayer.on("tileerror", () => {
  batchFailed = true;
});
tileLayer.on("load", () => {
  if (!batchLoaded && !batchFailed) return;
  tilesCame = batchLoaded;
  showWorld(!tilesCame);
  document.getElementById("offline-notice").hidden = tilesCame;
});
