// The map's own controls beside Leaflet's: the whole flight in view, the settings, and a scale bar in the
// chosen units; and the room the panel takes, which the map's bottom controls keep clear of.
"use strict";

const FRAME =
  '<svg viewBox="0 0 24 24" width="24" height="24" aria-hidden="true">' +
  '<path d="M3 8V3h5M16 3h5v5M21 16v5h-5M8 21H3v-5"/><path d="M7 16l4-5 3 3 3-6"/></svg>';
const GEAR =
  '<svg viewBox="0 0 24 24" width="24" height="24" aria-hidden="true"><circle cx="12" cy="12" r="3"/>' +
  '<path d="M12 2v3M12 19v3M2 12h3M19 12h3M4.9 4.9l2.1 2.1M17 17l2.1 2.1M4.9 19.1 7 17M17 7l2.1-2.1"/>' +
  '<circle cx="12" cy="12" r="7"/></svg>';

// What the settings panel offers, each in the order of its choices in SETTING_CHOICES.
const SETTING_LABELS = {
  units: ["Units", { aviation: ["Aviation", "kt, ft, NM"], metric: ["Metric", "km/h, m, km"],
                     imperial: ["Imperial", "mph, ft, mi"] }],
  theme: ["Theme", { auto: ["Auto"], day: ["Day"], night: ["Night"] }],
  orient: ["Map orientation", { north: ["North up"], track: ["Track up"] }],
};

function mapButton(container, icon, label) {
  const button = L.DomUtil.create("button", "map-button leaflet-bar", container);
  button.type = "button";
  button.title = label;
  button.setAttribute("aria-label", label);
  button.innerHTML = icon;
  return button;
}

// The whole track in view, clear of the panel and the controls; following stops, as after a drag. Without a
// track there is nothing to show, and the button is disabled.
const WholeFlightControl = L.Control.extend({
  options: { position: "topleft" },
  onAdd(map) {
    this.button = mapButton(null, FRAME, "Show the whole flight");
    this.button.disabled = true;
    this.lines = 0;
    L.DomEvent.disableClickPropagation(this.button);
    L.DomEvent.on(this.button, "click", showWholeFlight);
    map.on("layeradd layerremove", (event) => {
      if (event.layer.options.className !== "track") return;
      this.lines += event.type === "layeradd" ? 1 : -1;
      this.button.disabled = this.lines === 0;
    });
    return this.button;
  },
});

const WHOLE_FLIGHT_MARGIN = 30; // pixels between the track and what it keeps clear of
const WHOLE_FLIGHT_ZOOM = 15; // at most: a track that has hardly moved stays in a view of the area around it

function showWholeFlight() {
  const lines = segments.flat();
  if (lines.length === 0) return;
  setFollow(false);
  // Leaflet drops a view asked for while it animates a zoom, and starts one (follow mode's, to the speed) on
  // the next frame: the whole flight comes after any such zoom.
  requestAnimationFrame(function fit() {
    if (map._animatingZoom) {
      map.once("zoomend", fit);
      return;
    }
    const bounds = lines.reduce((all, line) => all.extend(line.getBounds()), L.latLngBounds([]));
    if (mapTurn === null) map.fitBounds(bounds, { ...clearOfPanel(), maxZoom: WHOLE_FLIGHT_ZOOM });
    else fitTurned(bounds);
  });
}

// The part of the screen the panel and the column of buttons leave free, less the margin.
function freeOfPanel() {
  const panel = document.getElementById("panel").getBoundingClientRect();
  // The column of buttons, not the notes under it (tiles out of reach, the screen kept on): a line or two.
  const buttons = [...document.querySelectorAll(".leaflet-top.leaflet-left .leaflet-bar")];
  const alongBottom = panel.width > innerWidth / 2;
  return L.bounds(
    [Math.max(0, ...buttons.map((button) => button.getBoundingClientRect().right)) + WHOLE_FLIGHT_MARGIN,
      WHOLE_FLIGHT_MARGIN],
    [(alongBottom ? innerWidth : panel.left) - WHOLE_FLIGHT_MARGIN,
      (alongBottom ? panel.top : innerHeight) - WHOLE_FLIGHT_MARGIN]);
}

// Paddings for fitting the map, north up, in the free part of the screen: the map's element is the screen.
function clearOfPanel() {
  const free = freeOfPanel();
  return { paddingTopLeft: free.min, paddingBottomRight: L.point(innerWidth, innerHeight).subtract(free.max) };
}

// A turned map turns about its middle, the aircraft's place on the screen, and Leaflet fits only a map that
// is not turned. The view is the deepest zoom at which the track's corners, turned, fit the free part of the
// screen, and its middle is where that puts them in the middle of it.
function fitTurned(bounds) {
  const free = freeOfPanel();
  const element = map.getContainer().getBoundingClientRect();
  const middle = L.point(element.left + element.width / 2, element.top + element.height / 2);
  const angle = (mapTurn * Math.PI) / 180;
  const [cos, sin] = [Math.cos(angle), Math.sin(angle)];
  // A map's pixel to the screen, and back, about the map's middle: the element is turned by -mapTurn.
  const turned = (p) => L.point(p.x * cos + p.y * sin, -p.x * sin + p.y * cos);
  const unturned = (p) => L.point(p.x * cos - p.y * sin, p.x * sin + p.y * cos);
  const corners = [bounds.getNorthWest(), bounds.getNorthEast(), bounds.getSouthWest(), bounds.getSouthEast()];
  const turnedBox = (zoom) => L.bounds(corners.map((corner) => turned(map.project(corner, zoom))));
  const [room, size] = [free.getSize(), turnedBox(0).getSize()];
  const zoom = Math.max(map.getMinZoom(), Math.min(WHOLE_FLIGHT_ZOOM,
    Math.floor(Math.log2(Math.max(0, Math.min(room.x / size.x, room.y / size.y))))));
  const centre = turnedBox(zoom).getCenter().subtract(free.getCenter().subtract(middle));
  map.setView(map.unproject(unturned(centre), zoom), zoom);
}

// A button that opens a panel of the settings, a row each. It closes on the button again, on Escape, or on
// a tap on the map. Another part of the page adds a row of its own with addRow(element), such as one of
// choiceRow(name, labels) for a setting that only it offers.
const SettingsControl = L.Control.extend({
  options: { position: "topleft" },
  onAdd(map) {
    const container = L.DomUtil.create("div", "settings-control");
    this.button = mapButton(container, GEAR, "Settings");
    this.button.setAttribute("aria-expanded", "false");
    this.button.setAttribute("aria-controls", "settings");
    this.panel = L.DomUtil.create("form", "settings", container);
    this.panel.id = "settings";
    this.panel.hidden = true;
    for (const name of Object.keys(SETTING_LABELS)) this.addRow(this.choiceRow(name));
    L.DomEvent.disableClickPropagation(container);
    L.DomEvent.disableScrollPropagation(container);
    L.DomEvent.on(this.button, "click", () => this.open(this.panel.hidden));
    // A tap on the map closes it, taken as the finger comes down: Leaflet tells no click of a turned map
    // (track up), whose drag it corrects.
    L.DomEvent.on(map.getContainer(), "pointerdown", (event) => {
      if (!event.target.closest(".leaflet-control")) this.open(false);
    });
    document.addEventListener("keydown", (event) => {
      if (event.key === "Escape" && !this.panel.hidden) {
        this.open(false);
        this.button.focus();
      }
    });
    window.addEventListener("settingschange", () => {
      for (const input of this.panel.querySelectorAll("input[type=radio]")) {
        input.checked = settings[input.name] === input.value;
      }
    });
    return container;
  },

  open(on) {
    this.panel.hidden = !on;
    this.button.setAttribute("aria-expanded", String(on));
    // As tall as the screen leaves below its top, and scrolled within that (a phone on its side).
    if (on) this.panel.style.maxHeight = innerHeight - this.panel.getBoundingClientRect().top - 10 + "px";
  },

  addRow(row) {
    row.classList.add("setting");
    this.panel.append(row);
    return row;
  },

  // A setting's choices as a row of radio buttons, each a label that a finger can hit.
  choiceRow(name, [title, choices] = SETTING_LABELS[name]) {
    const row = L.DomUtil.create("fieldset");
    L.DomUtil.create("legend", "", row).textContent = title;
    for (const value of SETTING_CHOICES[name]) {
      const [label, detail] = choices[value];
      const choice = L.DomUtil.create("label", "choice", row);
      const input = L.DomUtil.create("input", "", choice);
      Object.assign(input, { type: "radio", name, value, checked: settings[name] === value });
      input.addEventListener("change", () => changeSetting(name, value));
      const text = L.DomUtil.create("span", "", choice);
      text.textContent = label;
      if (detail) L.DomUtil.create("small", "", text).textContent = detail;
    }
    return row;
  },
});

// Leaflet's scale bar, in the units of the setting: a single line whose unit roundDistance picks.
const ScaleBar = L.Control.Scale.extend({
  options: { maxWidth: 120, metric: false, imperial: false, updateWhenIdle: true }, // not on each frame of a pan
  _addScales(options, className, container) {
    this.line = L.DomUtil.create("div", className, container);
  },
  _updateScales(maxMetres) {
    if (!maxMetres) return;
    const { text, metres } = roundDistance(maxMetres);
    this._updateScale(this.line, text, metres / maxMetres);
  },
});

new WholeFlightControl().addTo(map);
const settingsControl = new SettingsControl().addTo(map);
const scaleBar = new ScaleBar().addTo(map);
window.addEventListener("settingschange", (event) => {
  if (event.detail.name === "units") scaleBar._update();
});

// On a narrow screen the panel lies along the bottom, and the attribution and the scale bar go above it,
// however tall it is.
new ResizeObserver(([entry]) => {
  document.documentElement.style.setProperty("--panel-height", entry.target.offsetHeight + "px");
}).observe(document.getElementById("panel"));
