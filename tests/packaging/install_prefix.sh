#!/bin/bash
# `cmake --install --prefix DIR` puts the runtime component under DIR: the
# files the package has under /usr (its /etc part under DIR/etc), with a unit
# that names DIR's program and settings directory.
set -u
SOURCE="$1"; BUILD="$2"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAILED: $*"; cat "$WORK/install.out" 2>/dev/null; exit 1; }

PREFIX="$WORK/tree/opt/toruna"
cmake --install "$BUILD" --prefix "$PREFIX" --component runtime >"$WORK/install.out" 2>&1 || fail "cmake --install"
(cd "$WORK/tree" && find . -type f -o -type l | sed 's|^\./|/|' | sort) >"$WORK/files"
sed -e 's|^/usr/|/opt/toruna/|' -e 's|^/etc/|/opt/toruna/etc/|' "$SOURCE/tests/packaging/toruna.files" |
  sort >"$WORK/expected"
diff -u "$WORK/expected" "$WORK/files" || fail "installed files (- expected, + installed)"
UNIT="$PREFIX/lib/systemd/system/toruna.service"
grep -qx "ExecStart=$PREFIX/bin/toruna-server --headless" "$UNIT" || fail "$(grep ^ExecStart "$UNIT")"
grep -qx "Environment=XDG_CONFIG_HOME=$PREFIX/etc/toruna" "$UNIT" || fail "$(grep ^Environment "$UNIT")"
echo "passed"
