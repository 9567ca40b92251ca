#!/bin/bash
# Builds the Debian packages of this build tree with CPack into DIR, as
# `make package` does into the build tree; the checks that follow read them.
set -u
BUILD="$1"; DIR="$2"
rm -rf "$DIR"
mkdir -p "$DIR"
cd "$BUILD" || exit 1
if ! cpack -G DEB -B "$DIR" >"$DIR/cpack.log" 2>&1; then
  cat "$DIR/cpack.log"
  echo "FAILED: cpack"
  exit 1
fi
ls -l "$DIR"/*.deb
