#!/bin/bash
# The runtime package as dpkg and lintian see it: exactly the expected files,
# control fields with the project's version and the dependencies dpkg-shlibdeps
# found (which apt can meet), the two settings files as its conffiles, valid
# desktop entries, no error or warning from lintian (accepted ones are
# overridden, with the reason, in packaging/debian/toruna.lintian-overrides).
# The development package gets the same checks and must not depend on anything.
set -u
. "$(dirname "$0")/package_common.bash"
pkg_setup "$@"

dpkg-deb --fsys-tarfile "$DEB" | tar -t | grep -v '/$' | sed 's|^\./|/|' | sort >"$WORK/files.out"
sort "$SOURCE/tests/packaging/toruna.files" >"$WORK/expected"
diff -u "$WORK/expected" "$WORK/files.out" >"$WORK/files.err" || fail "file list (- expected, + packaged)"
# Programs executable, everything else plain, all owned by root.
dpkg-deb -c "$DEB" | awk '$1 !~ /^d/ && ($2 != "root/root" || ($6 ~ /^\.\/usr\/bin\// ? $1 != "-rwxr-xr-x" : $1 != "-rw-r--r--"))' \
  >"$WORK/modes.err"
[ ! -s "$WORK/modes.err" ] || fail "file modes or owners"

[ "$(field Package)" = toruna ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$VERSION" ] || fail "Version: $(field Version), not $VERSION"
[ "$(field Section)" = net ] || fail "Section: $(field Section)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
SUMMARY="$(field Description)"
SUMMARY="${SUMMARY%%$'\n'*}"
[[ "$SUMMARY" == *"event-relay server"* ]] || fail "Description: $SUMMARY"
for lib in libc6 libstdc++6 libqt6widgets6 libmosquitto1 libmicrohttpd12; do
  case ", $(field Depends)," in
    *", $lib ("* | *", $lib,"*) ;;
    *) fail "Depends lacks $lib: $(field Depends)" ;;
  esac
done

# apt takes it as it is (a simulation only: nothing is installed here).
apt-get install --simulate "$DEB" >"$WORK/apt.out" 2>&1 || fail "apt-get install --simulate"
grep -q "^Inst toruna ($VERSION " "$WORK/apt.out" || fail "apt would not install toruna $VERSION"

dpkg-deb -e "$DEB" "$WORK/control"
[ "$(cat "$WORK/control/conffiles")" = "/etc/toruna/Velmor Software.conf
/etc/toruna/bridge.conf
/etc/toruna/web.conf" ] || fail "conffiles: $(cat "$WORK/control/conffiles")"
desktop-file-validate "$ROOT/usr/share/applications/toruna.desktop" \
  "$ROOT/usr/share/toruna/autostart/toruna.desktop" >"$WORK/desktop.err" 2>&1 ||
  fail "desktop entries"
[ ! -s "$WORK/desktop.err" ] || fail "desktop entries"

lint() {  # lint DEB: no error or warning; lintian's whole say, overrides too, for the record
  echo "--- lintian $(basename "$1")"
  lintian --display-info --show-overrides "$1" 2>&1 | grep -v 'running with root privileges'
  lintian --fail-on error,warning "$1" >"$WORK/lintian.out" 2>&1 || fail "lintian on $(basename "$1")"
}
lint "$DEB"

# The development package: the client library, its pkg-config file and CMake
# package, and its headers below include/toruna.
DEV="$(ls "$PKGDIR"/toruna-dev_*.deb 2>/dev/null | head -1)"
[ -f "$DEV" ] || fail "no toruna-dev package"
[ -z "$(dpkg-deb -f "$DEV" Depends)" ] || fail "toruna-dev depends on $(dpkg-deb -f "$DEV" Depends)"
dpkg-deb --fsys-tarfile "$DEV" | tar -t | grep -v '/$' | sed 's|^\./|/|' | sort >"$WORK/dev-files.out"
MULTIARCH="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
grep -v '^/usr/include/toruna/.*\.h$' "$WORK/dev-files.out" >"$WORK/dev-other.out"
sed "s|@MULTIARCH@|$MULTIARCH|" "$SOURCE/tests/packaging/toruna-dev.files" | sort >"$WORK/dev-expected"
diff -u "$WORK/dev-expected" "$WORK/dev-other.out" >"$WORK/files.err" || fail "toruna-dev file list (- expected, + packaged)"
grep -qx /usr/include/toruna/client/TorunaClient.h "$WORK/dev-files.out" || fail "toruna-dev lacks its headers"
lint "$DEV"
echo "passed"
