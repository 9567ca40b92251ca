#!/bin/bash
# The packaged systemd unit and maintainer scripts: `systemd-analyze verify`
# finds nothing to say about the unit (its ExecStart pointed at the unpacked
# program, its manual page found in the unpacked tree), its exposure stays in
# systemd's "OK" band, and the scripts only make systemd reload its units: a
# fresh install neither enables nor starts the service, an upgrade restarts it
# only if it runs, removal stops it, a purge drops the links `systemctl enable`
# made. The scripts run in a mount namespace of their own, where /run/systemd/system
# exists and systemctl and deb-systemd-invoke only record their arguments.
set -u
. "$(dirname "$0")/package_common.bash"
pkg_setup "$@"

UNIT="$ROOT/usr/lib/systemd/system/toruna.service"
sed "s|^ExecStart=/usr/bin/|ExecStart=$ROOT/usr/bin/|" "$UNIT" >"$WORK/toruna.service"
grep -q "^ExecStart=$ROOT/usr/bin/toruna-server " "$WORK/toruna.service" || fail "ExecStart is not /usr/bin/toruna-server"
MANPATH="$ROOT/usr/share/man" systemd-analyze verify "$WORK/toruna.service" >"$WORK/verify.out" 2>&1 ||
  fail "systemd-analyze verify"
[ ! -s "$WORK/verify.out" ] || fail "systemd-analyze verify has something to say"
systemd-analyze security --offline=true --threshold=20 "$WORK/toruna.service" >"$WORK/security.out" 2>&1 ||
  fail "exposure above 2.0"
tail -1 "$WORK/security.out"

dpkg-deb -e "$DEB" "$WORK/control"
mkdir -p "$WORK/bin" "$WORK/target/etc/systemd/system/multi-user.target.wants"
for tool in systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$WORK/calls" >"$WORK/bin/$tool"
  chmod +x "$WORK/bin/$tool"
done
ln -s /usr/lib/systemd/system/toruna.service "$WORK/target/etc/systemd/system/multi-user.target.wants/"

# script NAME ARGS...: the calls it made, one per line.
script() {
  rm -f "$WORK/calls"
  unshare -m sh -c 'mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system && exec "$@"' sh \
    env PATH="$WORK/bin:/usr/bin:/bin" DPKG_ROOT="$WORK/target" "$WORK/control/$@" >/dev/null ||
    fail "$1 $2 failed"
  [ -f "$WORK/calls" ] && cat "$WORK/calls"
}
expect_calls() {  # expect_calls "SCRIPT ARGS" "CALLS"
  local got
  got="$(script $1)"
  [ "$got" = "$2" ] || fail "$1 made the calls
$got
instead of
$2"
}
expect_calls "postinst configure" "systemctl --system daemon-reload"
expect_calls "postinst configure 0.0.1" "systemctl --system daemon-reload
deb-systemd-invoke try-restart toruna.service"
expect_calls "prerm remove" "deb-systemd-invoke stop toruna.service"
expect_calls "prerm upgrade $VERSION" ""
expect_calls "postrm remove" "systemctl --system daemon-reload"
[ -L "$WORK/target/etc/systemd/system/multi-user.target.wants/toruna.service" ] ||
  fail "remove dropped the administrator's enable link"
expect_calls "postrm purge" "systemctl --system daemon-reload"
[ ! -e "$WORK/target/etc/systemd/system/multi-user.target.wants/toruna.service" ] &&
  [ ! -L "$WORK/target/etc/systemd/system/multi-user.target.wants/toruna.service" ] ||
  fail "purge left the enable link"
echo "passed"
