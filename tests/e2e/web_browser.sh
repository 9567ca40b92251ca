#!/bin/bash
# The dashboard in headless Chromium: see web_browser.py.
set -u
. "$(dirname "$0")/cli_common.bash"
cli_setup "$@"
[ -x "$BUILD/tools/web/toruna-web" ] || { echo "missing $BUILD/tools/web/toruna-web"; exit 1; }
broadcast_net
/usr/bin/python3 "$(dirname "$0")/web_browser.py" "$BUILD" "$WORK"
