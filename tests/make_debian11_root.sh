#!/usr/bin/env bash
# Readies a minimal Debian 11 system (glibc 2.31, GCC 10) in ROOT for running the Linux module and
# feedclient on an older Linux than ours: the system once, with debootstrap from Debian's archive, then
# kept; the stand-in host, built there by that system's compiler whenever its sources change; and the
# module and feedclient as built here, copied in. The host runs there as /belvanto/standin-host, the module
# is /belvanto/BelvantoPlugin.xpl and feedclient /belvanto/feedclient.
#   make_debian11_root.sh ROOT MODULE FEEDCLIENT SOURCE_DIR HOST_SOURCE...   (HOST_SOURCE relative to SOURCE_DIR/host)
set -euo pipefail
root=$1 module=$2 feedclient=$3 source_dir=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: only root may make a Debian 11 root and run in it"
  exit 77
fi

if [ ! -d "$root" ]; then
  # Made aside and moved in whole, so an interrupted run leaves no half a system to be taken for one.
  # --one-file-system: debootstrap mounts /proc and /sys inside while it works.
  rm -rf --one-file-system "$root.partial"
  debootstrap --variant=minbase --include=g++ bullseye "$root.partial" http://deb.debian.org/debian
  mv "$root.partial" "$root"
fi

# Debian 11's GCC 10 lacks only the floating-point <charconv> of GCC 11, which Gcc10Charconv.h supplies.
belvanto=$root/belvanto
sources=("$source_dir"/host/* "$source_dir"/xplm/* "$here/Gcc10Charconv.h")
checksum=$({ echo "$@"; cat "${sources[@]}"; } | sha256sum)
if [ "$checksum" != "$(cat "$belvanto/host.sha256" 2>/dev/null)" ]; then
  rm -rf "$belvanto/src"
  mkdir -p "$belvanto/src"
  cp -r "$source_dir/host" "$source_dir/xplm" "$here/Gcc10Charconv.h" "$belvanto/src/"
  host_sources=()
  for file in "$@"; do host_sources+=("/belvanto/src/host/$file"); done
  chroot "$root" g++ -std=c++17 -O2 -DLIN=1 -fvisibility=hidden -I/belvanto/src -I/belvanto/src/xplm \
    -include /belvanto/src/Gcc10Charconv.h -rdynamic -o /belvanto/standin-host "${host_sources[@]}" -ldl
  echo "$checksum" >"$belvanto/host.sha256"
fi

cp "$module" "$belvanto/BelvantoPlugin.xpl"
cp "$feedclient" "$belvanto/feedclient"
echo "Debian 11 root ready: $root ($(chroot "$root" /lib/x86_64-linux-gnu/libc.so.6 | sed -n 1p))"
