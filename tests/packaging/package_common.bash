# Shared by the package_*.sh checks (sourced). pkg_setup "$@" takes the
# arguments every check gets (source tree, build tree, package directory,
# project version), finds the server's package ($DEB) and unpacks every package
# into $ROOT, as if all were installed.

pkg_setup() {
  SOURCE="$1"; BUILD="$2"; PKGDIR="$3"; VERSION="$4"
  DEB="$PKGDIR/toruna_${VERSION}_amd64.deb"
  [ -f "$DEB" ] || { echo "FAILED: no package $DEB"; ls -l "$PKGDIR"; exit 1; }
  WORK="$(mktemp -d)"
  trap pkg_cleanup EXIT
  ROOT="$WORK/root"
  local deb
  for deb in "$PKGDIR"/*.deb; do
    dpkg-deb -x "$deb" "$ROOT" || fail "dpkg-deb -x $deb"
  done
  PIDS=()
}

# pkg_setup_running "$@": pkg_setup for a check that runs the unpacked
# programs, in a network namespace of its own with loopback up, its work
# folder open to the unprivileged user the programs run as.
pkg_setup_running() {
  if [ -z "${TORUNA_PKG_NS:-}" ]; then
    TORUNA_PKG_NS=1 exec unshare -n bash "$0" "$@"
  fi
  pkg_setup "$@"
  ip link set lo up
  chmod 755 "$WORK"
}

pkg_cleanup() {
  local p
  for p in "${PIDS[@]}"; do kill -9 "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$WORK"
}

fail() {
  echo "FAILED: $*"
  local f
  for f in "$WORK"/*.out "$WORK"/*.err; do
    [ -s "$f" ] && { echo "--- $(basename "$f")"; tail -50 "$f"; }
  done
  exit 1
}

# field NAME [PACKAGE]: a field of a package's control file (default: toruna).
field() {
  dpkg-deb -f "$(deb_of "${2:-toruna}")" "$1"
}

# deb_of PACKAGE: the file of that package.
deb_of() {
  ls "$PKGDIR/$1"_*.deb 2>/dev/null | head -1
}
