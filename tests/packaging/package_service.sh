#!/bin/bash
# The packaged systemd units and maintainer scripts: `systemd-analyze verify`
# finds nothing to say about any unit (ExecStart pointed at the unpacked
# program, the manual page found in the unpacked tree), their exposure stays in
# systemd's "OK" band, and the scripts only make systemd reload its units: a
# fresh install neither enables nor starts the service, an upgrade restarts it
# only if it runs, removal stops it, a purge drops the links `systemctl enable`
# made. The scripts run in a mount namespace of their own, where /run/systemd/system
# exists and systemctl and deb-systemd-invoke only record their arguments.
set -u
. "$(dirname "$0")/package_common.bash"
pkg_setup "$@"

for unit in toruna:toruna-server toruna-bridge:toruna-bridge toruna-web:toruna-web; do
  name="${unit%%:*}"; program="${unit#*:}"
  sed "s|^ExecStart=/usr/bin/|ExecStart=$ROOT/usr/bin/|" "$ROOT/usr/lib/systemd/system/$name.service" \
    >"$WORK/$name.service"
  grep -q "^ExecStart=$ROOT/usr/bin/$program " "$WORK/$name.service" || fail "$name: ExecStart is not /usr/bin/$program"
  MANPATH="$ROOT/usr/share/man" systemd-analyze verify "$WORK/$name.service" >"$WORK/verify.out" 2>&1 ||
    fail "systemd-analyze verify $name.service"
  [ ! -s "$WORK/verify.out" ] || fail "systemd-analyze verify has something to say about $name.service"
  systemd-analyze security --offline=true --threshold=20 "$WORK/$name.service" >"$WORK/security.out" 2>&1 ||
    fail "$name.service: exposure above 2.0"
  echo "$name.service: $(tail -1 "$WORK/security.out")"
done

dpkg-deb -e "$DEB" "$WORK/control"
mkdir -p "$WORK/bin" "$WORK/target/etc/systemd/system/multi-user.target.wants"
for tool in systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$WORK/calls" >"$WORK/bin/$tool"
  chmod +x "$WORK/bin/$tool"
done
WANTS="$WORK/target/etc/systemd/system/multi-user.target.wants"
for unit in toruna.service toruna-bridge.service toruna-web.service; do ln -s "/usr/lib/systemd/system/$unit" "$WANTS/"; done

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
deb-systemd-invoke try-restart toruna.service
deb-systemd-invoke try-restart toruna-bridge.service
deb-systemd-invoke try-restart toruna-web.service"
expect_calls "prerm remove" "deb-systemd-invoke stop toruna.service
deb-systemd-invoke stop toruna-bridge.service
deb-systemd-invoke stop toruna-web.service"
expect_calls "prerm upgrade $VERSION" ""
expect_calls "postrm remove" "systemctl --system daemon-reload"
for unit in toruna.service toruna-bridge.service toruna-web.service; do
  [ -L "$WANTS/$unit" ] || fail "remove dropped the administrator's enable link of $unit"
done
expect_calls "postrm purge" "systemctl --system daemon-reload"
for unit in toruna.service toruna-bridge.service toruna-web.service; do
  [ ! -e "$WANTS/$unit" ] && [ ! -L "$WANTS/$unit" ] || fail "purge left the enable link of $unit"
done
echo "passed"
