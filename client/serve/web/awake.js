// Keeping the screen on, for a tablet beside the simulator. Browsers offer it (the Wake Lock API) only to a
// secure page, one over https or from this computer (127.0.0.1, localhost); a page from feedclient over the
// LAN is not one, and there the switch says what does the same instead. It never claims a lock it has not got.
"use strict";

const AWAKE_ICON =
  '<svg viewBox="0 0 24 24" width="24" height="24" aria-hidden="true"><rect x="6" y="3" width="12" height="18" rx="2"/>' +
  '<path d="M10 18h4M2 9v6M22 9v6"/></svg>';
const AWAKE_ELSEWHERE =
  "Browsers keep the screen on only for a page over https, or at 127.0.0.1 on feedclient's computer. Instead: " +
  "on an iPad or iPhone, Settings → Display & Brightness → Auto-Lock; on Android, Settings → Display → Screen " +
  "timeout, or Developer options → Stay awake while charging.";

let awakeWanted = false;
let wakeLock = null;
let lockAsked = false; // a request is on its way: one more would leave a lock that nothing lets go

const AwakeControl = L.Control.extend({
  options: { position: "topleft" },
  onAdd() {
    const box = L.DomUtil.create("div", "awake");
    this.button = L.DomUtil.create("button", "map-button leaflet-bar", box); // as the page's other buttons
    this.button.type = "button";
    this.button.title = "Keep the screen on";
    this.button.setAttribute("aria-label", "Keep the screen on");
    this.button.setAttribute("aria-pressed", "false");
    this.button.innerHTML = AWAKE_ICON;
    this.note = L.DomUtil.create("p", "awake-note", box);
    this.note.id = "awake-note";
    this.note.setAttribute("role", "status");
    this.note.hidden = true;
    this.button.setAttribute("aria-describedby", this.note.id);
    L.DomEvent.disableClickPropagation(box);
    L.DomEvent.on(this.button, "click", toggleAwake);
    return box;
  },
});
const awakeControl = new AwakeControl().addTo(map);

function showAwake(note) {
  awakeControl.button.setAttribute("aria-pressed", String(wakeLock !== null));
  awakeControl.note.textContent = note;
  awakeControl.note.hidden = note === "";
}

function toggleAwake() {
  if (!("wakeLock" in navigator)) {
    // Nothing to switch on here: the button shows, and hides, what to do instead.
    showAwake(awakeControl.note.hidden ? AWAKE_ELSEWHERE : "");
    return;
  }
  awakeWanted = !awakeWanted;
  if (awakeWanted) lockScreen();
  else if (wakeLock) wakeLock.release(); // its release event shows it
  else showAwake("");
}

// The browser lets a lock go when the page is hidden, and may refuse one (a battery saver): the page asks
// again each time it is shown while the switch is on, and says when the browser refuses.
function lockScreen() {
  if (lockAsked || wakeLock) return;
  lockAsked = true;
  navigator.wakeLock.request("screen").then(
    (lock) => {
      lockAsked = false;
      wakeLock = lock;
      lock.addEventListener("release", () => {
        wakeLock = null;
        showAwake("");
      });
      if (awakeWanted) showAwake("");
      else lock.release(); // switched off meanwhile
    },
    (error) => {
      lockAsked = false;
      // Refused while shown, the switch goes off; while hidden, the page asks again when shown.
      if (document.visibilityState === "visible") awakeWanted = false;
      showAwake("The browser would not keep the screen on: " + error.message);
    },
  );
}

document.addEventListener("visibilitychange", () => {
  if (awakeWanted && document.visibilityState === "visible") lockScreen();
});
