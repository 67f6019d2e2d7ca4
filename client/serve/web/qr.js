// On the computer feedclient runs on, a QR code of the map's address on the network, for a tablet's camera
// to open: the address in this browser's bar would name the tablet itself there. Opened from another
// device, the page has no use for it, and never loads the code's library. Closed, it stays closed (the
// "qr" setting) until the settings show it again.
"use strict";

const QUIET_ZONE = 4; // modules of white around the code, as the standard asks
const CODE_PIXELS = 170; // about this wide, in whole pixels a module, so that each module stays sharp

const ShareControl = L.Control.extend({
  options: { position: "bottomright" },
  onAdd() {
    const box = L.DomUtil.create("section", "share");
    box.setAttribute("aria-label", "Open the map on a tablet");
    // Its text can be selected and copied; the map must not take the clicks for a drag.
    L.DomEvent.disableClickPropagation(box);
    L.DomEvent.disableScrollPropagation(box);
    const close = L.DomUtil.create("button", "close", box);
    close.type = "button";
    close.title = "Hide";
    close.setAttribute("aria-label", "Hide the QR code");
    close.textContent = "×";
    L.DomEvent.on(close, "click", () => changeSetting("qr", "hidden"));
    this.content = L.DomUtil.create("div", "", box);
    return box;
  },
});

// The first address as a code, the URL under it, and the others as text; or a note that there is none.
function showAddresses(content, addresses) {
  const paragraph = (className, text) => {
    const p = L.DomUtil.create("p", className, content);
    p.textContent = text;
    return p;
  };
  if (addresses.length === 0) {
    paragraph("note", "No network found: a tablet cannot reach this computer until both are on one network.");
    return;
  }
  paragraph("title", "Scan to open on a tablet");
  content.append(codeOf(addresses[0].url));
  paragraph("url", addresses[0].url);
  for (const other of addresses.slice(1)) paragraph("other", "or " + other.url + " (" + other.interface + ")");
}

// An SVG of the code, black on white whatever the page's theme, with its quiet zone.
function codeOf(text) {
  const code = qrcode(0, "M");
  code.addData(text);
  code.make();
  const modules = code.getModuleCount();
  let dark = "";
  for (let row = 0; row < modules; row++) {
    for (let column = 0; column < modules; column++) {
      if (code.isDark(row, column)) dark += `M${column + QUIET_ZONE} ${row + QUIET_ZONE}h1v1h-1z`;
    }
  }
  const side = modules + 2 * QUIET_ZONE;
  const pixels = side * Math.max(2, Math.floor(CODE_PIXELS / side));
  const svg = document.createElementNS("http://www.w3.org/2000/svg", "svg");
  svg.setAttribute("viewBox", `0 0 ${side} ${side}`);
  svg.setAttribute("width", pixels);
  svg.setAttribute("height", pixels);
  svg.setAttribute("shape-rendering", "crispEdges");
  svg.setAttribute("role", "img");
  svg.setAttribute("aria-label", "QR code of " + text);
  svg.innerHTML = `<rect width="${side}" height="${side}" fill="#fff"/><path d="${dark}" fill="#000"/>`;
  return svg;
}

if (["127.0.0.1", "localhost", "[::1]"].includes(location.hostname)) {
  const share = new ShareControl();
  // Closed, it comes back from the settings.
  const labels = ["QR code for a tablet", { shown: ["Shown"], hidden: ["Hidden"] }];
  settingsControl.addRow(settingsControl.choiceRow("qr", labels));
  let addresses = null; // from /status.json, once had
  let asked = false;
  // The library, then the addresses, the first time the code is to be shown.
  const load = () => {
    if (asked) return;
    asked = true;
    const library = document.createElement("script");
    library.src = "qrcode.js";
    library.onload = () =>
      fetch("status.json")
        .then((answer) => answer.json())
        .then((status) => {
          addresses = status.addresses;
          update();
        })
        .catch(() => {
          asked = false; // feedclient gone for now: the next change of the setting asks again
        });
    document.head.append(library);
  };
  const update = () => {
    if (settings.qr === "hidden") {
      share.remove();
    } else if (addresses === null) {
      load();
    } else {
      if (!share.getContainer()) share.addTo(map);
      share.content.replaceChildren();
      showAddresses(share.content, addresses);
    }
  };
  window.addEventListener("settingschange", (event) => {
    if (event.detail.name === "qr") update();
  });
  update();
}
