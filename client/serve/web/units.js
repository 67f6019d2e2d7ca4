// The units the page shows its values in, by the "units" setting. feedclient gives speeds in knots and
// altitudes in feet, and the map measures distances in metres; each system says how many of its units
// one of those makes, by the units' definitions (1 NM = 1852 m, 1 ft = 0.3048 m, 1 mi = 1609.344 m).
"use strict";

const UNIT_SYSTEMS = {
  aviation: { speed: ["kt", 1], altitude: ["ft", 1], distance: [["NM", 1852], ["ft", 0.3048]] },
  metric: { speed: ["km/h", 1.852], altitude: ["m", 0.3048], distance: [["km", 1000], ["m", 1]] },
  imperial: { speed: ["mph", 1.852 / 1.609344], altitude: ["ft", 1], distance: [["mi", 1609.344], ["ft", 0.3048]] },
};

const unitSystem = () => UNIT_SYSTEMS[settings.units];

function inUnits([unit, factor], value, decimals) {
  return value === null ? "–" : (value * factor).toFixed(decimals) + " " + unit;
}

const speedText = (knots) => inUnits(unitSystem().speed, knots, 1);
const altitudeText = (feet) => inUnits(unitSystem().altitude, feet, 0);

// A distance in metres as a scale bar shows it: in the system's long unit, or in its short one below one
// of those (as Leaflet's own scale bar goes from miles to feet), rounded down to 1, 2, 3 or 5 times a
// power of ten; and its length in metres.
function roundDistance(metres) {
  const [long, short] = unitSystem().distance;
  const [unit, size] = metres >= long[1] ? long : short;
  const count = metres / size;
  const power = 10 ** Math.floor(Math.log10(count));
  const round = power * [5, 3, 2, 1].find((step) => step * power <= count);
  return { text: round + " " + unit, metres: round * size };
}
