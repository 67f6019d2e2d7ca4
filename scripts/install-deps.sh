#!/usr/bin/env bash
# Installs, from Debian's archive, whatever building and running need and is missing, and from npm's the
# world map the map page falls back on; with --tests, also what the tests need.
#   scripts/install-deps.sh           for scripts/run.sh: the build, the host and feedclient
#   scripts/install-deps.sh --tests   for scripts/test.sh
set -euo pipefail

packages=(
  cmake ninja-build g++ libgtest-dev libbenchmark-dev  # the Linux build, its tests and the benchmark
  g++-mingw-w64-x86-64-posix                           # the Windows cross-build
  wine wine64                                          # running the Windows build
  libjs-leaflet                                        # the map library, built into feedclient
  node-qrcode-generator                                # the map page's QR code, built into feedclient
  nodejs                                               # fetching the world map below, with npm
  librsvg2-bin                                         # rsvg-convert: the page's icons, made at build time
  zlib1g-dev libz-mingw-w64-dev                        # gzip, built into feedclient, for each build
  binutils binutils-mingw-w64-x86-64                   # stripping the modules for the zip
  netcat-openbsd                                       # watching the feed: nc 127.0.0.1 27015
)
if [ "${1:-}" = "--tests" ]; then
  packages+=(
    clang libclang-rt-14-dev                           # the fuzz preset: libFuzzer and the sanitizers
    locales-all                                        # a decimal-comma locale for the tests
    valgrind                                           # the end-to-end run under memcheck
    iproute2                                           # ip: the real-network scenarios' namespaces and link
    file unzip                                         # checking the zip
    jq gpsbabel gpsd gpsd-clients python3              # feedclient's tests read its output back
    chromium chromium-driver python3-selenium          # the map page in a real browser
    zbar-tools                                         # zbarimg: reading the page's QR code back
    debootstrap                                        # a Debian 11 root for loading the Linux module on an older Linux
  )
fi

# From npm, at exact versions, each tarball checked against the integrity npm published for it: the
# low-resolution world (Natural Earth's 1:110m, in TopoJSON) and the decoder for it, built into feedclient.
# Debian has neither. Each goes where client/serve/CMakeLists.txt looks for it, beside Debian's scripts.
npm_packages=(
  "world-atlas 2.0.2 sha512-IXfV0qwlKXpckz1FhwXVwKRjiIhOnWttOskm5CtxMsjgE/MXAYRHWJqgXOpM8IkcPBoXnyTU5lFHcYa5ChG0LQ=="
  "topojson-client 3.1.0 sha512-605uxS6bcYxGXw9qi62XyrV6Q3xwbndjachmNxu8HWTtVPxZfEJN9fd/SZS1Q54Sn2y0TMyMxFj/cJINqGHrKw=="
)
npm_folder=/usr/local/share/javascript
# Debian's npm, unless the nodejs installed carries one of its own (NodeSource's does, and conflicts with it).
command -v npm >/dev/null || packages+=(npm)

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "${missing[@]}"
fi

for entry in "${npm_packages[@]}"; do
  read -r name version integrity <<<"$entry"
  target=$npm_folder/$name
  [ "$(cat "$target/.version" 2>/dev/null)" = "$version" ] && continue
  echo "Fetching $name@$version from npm"
  download=$(mktemp -d)
  (cd "$download" && npm pack --silent "$name@$version" >/dev/null)
  tarball=("$download"/*.tgz)
  found=sha512-$(node -e 'const crypto = require("crypto"), fs = require("fs");
    process.stdout.write(crypto.createHash("sha512").update(fs.readFileSync(process.argv[1])).digest("base64"))' \
    "${tarball[0]}")
  if [ "$found" != "$integrity" ]; then
    echo "$name@$version from npm is not the one expected: $found" >&2
    exit 1
  fi
  "${sudo[@]}" rm -rf "$target"
  "${sudo[@]}" mkdir -p "$target"
  "${sudo[@]}" tar -xzf "${tarball[0]}" -C "$target" --strip-components=1 --no-same-owner
  echo "$version" | "${sudo[@]}" tee "$target/.version" >/dev/null
  rm -rf "$download"
done
