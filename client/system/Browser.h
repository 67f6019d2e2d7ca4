#pragma once

// Opening a page in the user's browser, for a starter that is double-clicked: the map then shows on this
// computer at once, with the code a tablet scans to open it too.

#include <string>

// Asks the desktop to open `url` in the default browser, and does not wait for it. False, with the
// reason in `error`, if there is no way to ask.
bool openInBrowser(const std::string &url, std::string &error);
