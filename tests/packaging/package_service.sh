#!/bin/bash
# The packaged systemd units and maintainer scripts: `systemd-analyze verify`
# finds nothing to say about any unit (ExecStart pointed at the unpacked
# program, the manual page found in the unpacked tree), their exposure stays in
# systemd's "OK" band, the server's unit waits for its readiness, refuses a
# reload in its own words and walls off what its default does not serve, and
# each package's scripts only make systemd reload its own units: a
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

UNIT="$ROOT/usr/lib/systemd/system/toruna.service"
grep -qx 'Type=notify' "$UNIT" || fail "toruna.service is not Type=notify"
grep -qx 'ExecStart=/usr/bin/toruna-server --service' "$UNIT" || fail "$(grep ^ExecStart= "$UNIT")"
RELOAD="$(sed -n 's/^ExecReload=//p' "$UNIT")"
[ -n "$RELOAD" ] || fail "no ExecReload: systemd's own words would refuse a reload"
eval "$RELOAD" >"$WORK/reload.out" 2>&1 && fail "the reload command succeeds"
grep -q 'use systemctl restart toruna' "$WORK/reload.out" || fail "reload says: $(cat "$WORK/reload.out")"
grep -qx 'IPAddressDeny=any' "$UNIT" || fail "no IPAddressDeny=any"
for range in localhost link-local 10.0.0.0/8 172.16.0.0/12 192.168.0.0/16 100.64.0.0/10; do
  grep -q "^IPAddressAllow=.* $range\b\|^IPAddressAllow=$range\b" "$UNIT" || fail "IPAddressAllow lacks $range"
done

mkdir -p "$WORK/bin" "$WORK/target/etc/systemd/system/multi-user.target.wants"
for tool in systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$WORK/calls" >"$WORK/bin/$tool"
  chmod +x "$WORK/bin/$tool"
done
WANTS="$WORK/target/etc/systemd/system/multi-user.target.wants"

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
for package in toruna toruna-bridge toruna-web; do
  unit="$package.service"
  rm -rf "$WORK/control"
  dpkg-deb -e "$(deb_of $package)" "$WORK/control"
  ln -sf "/usr/lib/systemd/system/$unit" "$WANTS/"
  expect_calls "postinst configure" "systemctl --system daemon-reload"
  expect_calls "postinst configure 0.0.1" "systemctl --system daemon-reload
deb-systemd-invoke try-restart $unit"
  expect_calls "prerm remove" "deb-systemd-invoke stop $unit"
  expect_calls "prerm upgrade $VERSION" ""
  expect_calls "postrm remove" "systemctl --system daemon-reload"
  [ -L "$WANTS/$unit" ] || fail "remove dropped the administrator's enable link of $unit"
  expect_calls "postrm purge" "systemctl --system daemon-reload"
  [ ! -e "$WANTS/$unit" ] && [ ! -L "$WANTS/$unit" ] || fail "purge left the enable link of $unit"
done
# Packages without a service have no scripts that touch systemd.
for package in toruna-tray toruna-clients toruna-dev python3-toruna; do
  rm -rf "$WORK/control"
  dpkg-deb -e "$(deb_of $package)" "$WORK/control"
  [ ! -e "$WORK/control/postinst" ] || fail "$package has a postinst"
done
echo "passed"
