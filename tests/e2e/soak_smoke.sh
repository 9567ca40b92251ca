#!/usr/bin/env bash
# The churn soak at tiny scale (a few hundred cycles of 20 clients), so that its
# driver and script keep working: every check of the full soak applies, and in
# the sanitizer build the server must end without a report. The long run is
# `make soak`.
set -euo pipefail

BUILD=$(cd "${1:?usage: soak_smoke.sh BUILD_DIR}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
if [ ! -x "$BUILD/bench/soak/toruna-soak" ] || [ ! -x "$BUILD/src/app/toruna-server" ]; then
  echo "soak_smoke: driver or server not part of this build; skipped"
  exit 0
fi
SOAK_CYCLES=2000 SOAK_CLIENTS=20 SOAK_SECONDS=90 SOAK_SETTLE=20 SOAK_PROGRESS=2 \
  "$HERE/../../bench/soak/run" "$BUILD" "$BUILD"
