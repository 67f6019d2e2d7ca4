#pragma once

// The map page's files, built into the program from client/serve/web/ and Leaflet, so it stays a single file.

#include <string_view>

// The file of that name ("index.html", "leaflet.js", ...), or an empty view if there is none.
std::string_view webAsset(std::string_view name);
