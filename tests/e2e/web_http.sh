#!/bin/bash
# toruna-web over plain HTTP: see web_http.py.
set -u
. "$(dirname "$0")/cli_common.bash"
cli_setup "$@"
[ -x "$BUILD/tools/web/toruna-web" ] || { echo "missing $BUILD/tools/web/toruna-web"; exit 1; }
/usr/bin/python3 "$(dirname "$0")/web_http.py" "$BUILD" "$WORK"
