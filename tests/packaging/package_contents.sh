#!/bin/bash
# The packages as dpkg, apt and lintian see them: exactly the expected set of
# packages, each with exactly its expected files (packages.files), control
# fields with the project's version, the dependencies dpkg-shlibdeps found where
# they belong (the headless server's closure in this machine's archive holds no
# Qt, no GL or X library and no libmosquitto), its settings files as conffiles,
# valid desktop entries, no error or warning from lintian (accepted ones are
# overridden, with the reason, in packaging/debian/PACKAGE.lintian-overrides).
set -u
. "$(dirname "$0")/package_common.bash"
pkg_setup "$@"
MULTIARCH="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
EXPECTED="$SOURCE/tests/packaging/packages.files"

PACKAGES="$(cut -d' ' -f1 "$EXPECTED" | sort -u)"
(cd "$PKGDIR" && ls *.deb | sed 's/_.*//' | sort) >"$WORK/packages.out"
diff -u <(echo "$PACKAGES") "$WORK/packages.out" >"$WORK/files.err" || fail "package set (- expected, + built)"

for package in $PACKAGES; do
  deb="$(deb_of "$package")"
  dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./|/|' | sort >"$WORK/files.out"
  sed -n "s|^$package ||p" "$EXPECTED" | sed "s|@MULTIARCH@|$MULTIARCH|; s|@VERSION@|$VERSION|" | sort >"$WORK/expected"
  diff -u "$WORK/expected" "$WORK/files.out" >"$WORK/files.err" || fail "$package: file list (- expected, + packaged)"
  [ "$(field Version "$package")" = "$VERSION" ] || fail "$package: Version $(field Version "$package")"
  [ -n "$(field Maintainer "$package")" ] || fail "$package: no Maintainer"
  # Programs executable, everything else (shared libraries too, as Debian has
  # them) plain, all owned by root.
  dpkg-deb -c "$deb" | awk '$1 !~ /^[dl]/ && ($2 != "root/root" || ($6 ~ /^\.\/usr\/bin\// ? $1 != "-rwxr-xr-x" : $1 != "-rw-r--r--"))' \
    >"$WORK/modes.err"
  [ ! -s "$WORK/modes.err" ] || fail "$package: file modes or owners"
done

[ "$(field Section)" = net ] || fail "Section: $(field Section)"
SUMMARY="$(field Description)"
[[ "${SUMMARY%%$'\n'*}" == *"event-relay server"* ]] || fail "Description: $SUMMARY"

# depends PACKAGE LIB...: each LIB among the package's Depends.
depends() {
  local package="$1" lib; shift
  for lib in "$@"; do
    case ", $(field Depends "$package")," in
      *", $lib ("* | *", $lib,"*) ;;
      *) fail "$package: Depends lacks $lib: $(field Depends "$package")" ;;
    esac
  done
}
depends toruna libc6 libstdc++6 libsystemd0
depends toruna-tray libqt6widgets6
depends toruna-bridge libmosquitto1
depends toruna-web libmicrohttpd12
depends toruna-clients libc6
depends libtoruna-client0 libc6 libstdc++6
depends toruna-dev libtoruna-client0
[[ "$(field Depends toruna-dev)" == *"libtoruna-client0 (= $VERSION)"* ]] || fail "toruna-dev: $(field Depends toruna-dev)"
depends python3-toruna python3
[ "$(field Architecture python3-toruna)" = all ] || fail "python3-toruna is not Architecture: all"

# The headless server pulls in no desktop: its whole closure, as this
# machine's apt knows it, without recommendations.
DEPS="$(field Depends | sed 's/([^)]*)//g; s/|/,/g' | tr ',' '\n' | tr -d ' ')"
# shellcheck disable=SC2086
apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
  --no-enhances $DEPS 2>/dev/null | grep -v '^ ' | sort -u >"$WORK/closure.out"
[ "$(wc -l <"$WORK/closure.out")" -gt 3 ] || fail "no dependency closure: $(cat "$WORK/closure.out")"
if grep -E '^(libqt|libgl|libx11|libxcb|libgtk|libmosquitto|libmicrohttpd)' "$WORK/closure.out" >"$WORK/closure.err"; then
  fail "the headless server pulls in $(tr '\n' ' ' <"$WORK/closure.err")"
fi
echo "toruna's dependency closure: $(wc -l <"$WORK/closure.out") packages"

# Debian's python3 finds the Python package where it is installed, at the
# project's version, and its metadata says the same (what pip list shows).
PY_VERSION="$(cd / && PYTHONPATH="$ROOT/usr/lib/python3/dist-packages" python3 -c '
import importlib.metadata as m, toruna
print(toruna.__version__, m.version("toruna"), m.distribution("toruna").read_text("INSTALLER").strip())')" ||
  fail "python3 cannot import the packaged toruna or read its metadata"
[ "$PY_VERSION" = "$VERSION $VERSION debian" ] || fail "the Python package says: $PY_VERSION"

# apt takes each as it is (a simulation only: nothing is installed here).
apt-get install --simulate "$PKGDIR"/*.deb >"$WORK/apt.out" 2>&1 || fail "apt-get install --simulate"
for package in $PACKAGES; do
  grep -q "^Inst $package ($VERSION " "$WORK/apt.out" || fail "apt would not install $package $VERSION"
done

dpkg-deb -e "$DEB" "$WORK/control"
[ "$(cat "$WORK/control/conffiles")" = "/etc/toruna/Velmor Software.conf" ] ||
  fail "conffiles: $(cat "$WORK/control/conffiles")"
for package in toruna-bridge:bridge toruna-web:web; do
  dpkg-deb -e "$(deb_of "${package%%:*}")" "$WORK/control-${package#*:}"
  [ "$(cat "$WORK/control-${package#*:}/conffiles")" = "/etc/toruna/${package#*:}.conf" ] ||
    fail "${package%%:*} conffiles"
done
desktop-file-validate "$ROOT/usr/share/applications/toruna.desktop" \
  "$ROOT/usr/share/toruna/autostart/toruna.desktop" >"$WORK/desktop.err" 2>&1 ||
  fail "desktop entries"
[ ! -s "$WORK/desktop.err" ] || fail "desktop entries"
grep -q '^Exec=toruna-tray' "$ROOT/usr/share/applications/toruna.desktop" || fail "the menu entry does not start toruna-tray"

# One lintian run for all (its start-up is most of its time); its whole say,
# overrides too, for the record.
# (With --display-info its exit status counts information too: the tags decide.)
lintian --display-info --show-overrides "$PKGDIR"/*.deb >"$WORK/lintian.out" 2>&1
grep -v 'running with root privileges' "$WORK/lintian.out"
grep -q '^[EW]: ' "$WORK/lintian.out" && fail "lintian"
grep -q '^I: ' "$WORK/lintian.out" || fail "lintian said nothing at all: $(cat "$WORK/lintian.out")"
echo "passed"
