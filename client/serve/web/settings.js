// The page's settings. Each is taken from the page's address first, so that a bookmark or a home-screen
// icon keeps it, then from what this device kept, then its default (the first of its choices). A change
// goes into both, and the page hears of it by a "settingschange" event whose detail names the setting.
"use strict";

const SETTING_CHOICES = {
  units: ["aviation", "metric", "imperial"],
  theme: ["auto", "day", "night"],
  orient: ["north", "track"],
  qr: ["shown", "hidden"], // the map's address as a QR code, on the computer feedclient runs on
};

const settings = (() => {
  const query = new URLSearchParams(location.search);
  const chosen = {};
  for (const [name, choices] of Object.entries(SETTING_CHOICES)) {
    const value = [query.get(name), keptSetting(name)].find((v) => choices.includes(v));
    chosen[name] = value || choices[0];
  }
  return chosen;
})();

// Local storage can be missing or refused (a private window): the page then keeps its settings in the
// address alone.
function keptSetting(name) {
  try {
    return localStorage.getItem("setting." + name);
  } catch {
    return null;
  }
}

function changeSetting(name, value) {
  if (!SETTING_CHOICES[name].includes(value) || settings[name] === value) return;
  settings[name] = value;
  try {
    localStorage.setItem("setting." + name, value);
  } catch {
    // kept in the address alone
  }
  const address = new URL(location.href);
  address.searchParams.set(name, value);
  history.replaceState(null, "", address);
  window.dispatchEvent(new CustomEvent("settingschange", { detail: { name } }));
}
