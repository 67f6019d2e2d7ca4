// The page's theme, day or night, on the document as data-theme, where the styles and any part of the page
// can follow it. "auto" takes the device's dark mode, and follows it as the device changes it (at dusk,
// say, on a tablet that goes dark by itself).
"use strict";

const darkMode = matchMedia("(prefers-color-scheme: dark)");

function applyTheme() {
  const night = settings.theme === "night" || (settings.theme === "auto" && darkMode.matches);
  document.documentElement.dataset.theme = night ? "night" : "day";
}

darkMode.addEventListener("change", applyTheme);
window.addEventListener("settingschange", (event) => {
  if (event.detail.name === "theme") applyTheme();
});
applyTheme();
