#!/bin/bash
# `cmake --install --prefix DIR` puts the components of the packages toruna
# and toruna-web (runtime and web) under DIR: the files the packages have under
# /usr (their /etc part under DIR/etc), with units that name DIR's programs and
# settings directory.
set -u
SOURCE="$1"; BUILD="$2"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAILED: $*"; cat "$WORK/install.out" 2>/dev/null; exit 1; }

PREFIX="$WORK/tree/opt/toruna"
for component in runtime web; do
  cmake --install "$BUILD" --prefix "$PREFIX" --component $component >>"$WORK/install.out" 2>&1 ||
    fail "cmake --install --component $component"
done
(cd "$WORK/tree" && find . -type f -o -type l | sed 's|^\./|/|' | sort) >"$WORK/files"
sed -n 's/^\(toruna\|toruna-web\) //p' "$SOURCE/tests/packaging/packages.files" |
  sed -e 's|^/usr/|/opt/toruna/|' -e 's|^/etc/|/opt/toruna/etc/|' | sort >"$WORK/expected"
diff -u "$WORK/expected" "$WORK/files" || fail "installed files (- expected, + installed)"
UNIT="$PREFIX/lib/systemd/system/toruna.service"
grep -qx "ExecStart=$PREFIX/bin/toruna-server --service" "$UNIT" || fail "$(grep ^ExecStart "$UNIT")"
grep -qx "Environment=XDG_CONFIG_HOME=$PREFIX/etc/toruna" "$UNIT" || fail "$(grep ^Environment "$UNIT")"
WEB_UNIT="$PREFIX/lib/systemd/system/toruna-web.service"
grep -qx "ExecStart=$PREFIX/bin/toruna-web \$TORUNA_WEB_ARGS" "$WEB_UNIT" || fail "$(grep ^ExecStart "$WEB_UNIT")"
grep -qx "EnvironmentFile=$PREFIX/etc/toruna/web.conf" "$WEB_UNIT" || fail "$(grep ^EnvironmentFile "$WEB_UNIT")"
echo "passed"
