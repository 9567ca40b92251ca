#!/usr/bin/env bash
# The hostile soak for a few seconds, so that its driver and script keep working:
# every check of the long run applies. The long run is part of `make soak`.
set -euo pipefail
BUILD=$(cd "${1:?usage: soak_hostile_smoke.sh BUILD_DIR}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
HOSTILE_SECONDS=8 "$HERE/../../bench/soak/hostile" "$BUILD"
