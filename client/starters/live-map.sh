#!/bin/sh
# The live map: feedclient serves it, from X-Plane's feed on this computer, to any browser on your network.
# Ctrl-C stops it. Arguments given to this script go to feedclient as well.
exec "$(dirname "$0")/lin_x64/feedclient" --http 8080 --open "$@" > /dev/null
