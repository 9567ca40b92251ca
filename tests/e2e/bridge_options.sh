#!/bin/bash
# The bridge's command line and the ways to reach a server and a broker: bad
# arguments are refused with a reason and status 2; --discover finds the
# server by broadcast; TLS with a CA of the test's own and a user with a
# password file (named on the command line, or by the variable the service
# sets) get through, a wrong password is said and retried.
set -u
. "$(dirname "$0")/cli_common.bash"
. "$(dirname "$0")/bridge_common.bash"
cli_setup "$@"
bridge_setup

# refused EXPECTED-MESSAGE ARGS...: status 2 and the message on standard error.
refused() {
  local want="$1"
  shift
  "$BRIDGE" "$@" >"$WORK/usage.out" 2>"$WORK/usage.err"
  local status=$?
  [ $status -eq 2 ] || fail "toruna-bridge $*: status $status, not 2"
  grep -qF -- "$want" "$WORK/usage.err" || fail "toruna-bridge $*: no '$want'"
  grep -q "Try 'toruna-bridge --help'" "$WORK/usage.err" || [ "$want" = "${want#*password}" ] ||
    fail "toruna-bridge $*: no hint at --help"
}
refused "no SERVER given"
refused "give a SERVER or --discover, not both" lab --discover
refused "unexpected argument 'two'" one two
refused "unknown option '--brokr'" lab --brokr x
refused "--qos needs 0, 1 or 2, not '5'" lab --qos 5
refused "--broker needs a port from 1 to 65535, not '99999'" lab --broker h:99999
refused "--broker: write an IPv6 address in brackets" lab --broker ::1:1883
refused "--prefix: the prefix must not hold '+', '#' or NUL" lab --prefix 'a/+'
refused "--prefix: the prefix must not begin with '\$'" lab --prefix '$SYS'
refused "--name: " lab --name 'Snow☃man'
refused "--password-file needs --username" lab --password-file /dev/null
refused "--cert and --key go together" lab --cert c.pem
refused "--insecure needs --tls" lab --insecure
refused "cannot read the password file $WORK/none" lab --username u --password-file "$WORK/none"
"$BRIDGE" lab --cafile "$WORK/none.pem" >/dev/null 2>"$WORK/tls.err"
[ $? -eq 2 ] || fail "a CA file that is not there: status not 2"
grep -q "TLS" "$WORK/tls.err" || fail "a CA file that is not there: no word on TLS"
"$BRIDGE" --help >"$WORK/help.out" || fail "--help: status $?"
grep -q '^Usage: toruna-bridge SERVER' "$WORK/help.out" || fail "--help: no usage"

# A broker that wants TLS and a password.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/ca.key" -out "$WORK/ca.crt" -days 1 \
  -subj "/CN=Test CA" >/dev/null 2>&1 || fail "openssl: CA"
openssl req -newkey rsa:2048 -nodes -keyout "$WORK/srv.key" -out "$WORK/srv.csr" -subj "/CN=localhost" \
  >/dev/null 2>&1 || fail "openssl: request"
printf 'subjectAltName=IP:127.0.0.1\n' >"$WORK/ext"
openssl x509 -req -in "$WORK/srv.csr" -CA "$WORK/ca.crt" -CAkey "$WORK/ca.key" -CAcreateserial \
  -out "$WORK/srv.crt" -days 1 -extfile "$WORK/ext" >/dev/null 2>&1 || fail "openssl: certificate"
mosquitto_passwd -c -b "$WORK/passwd" relay 's3cret' || fail "mosquitto_passwd"
cat >"$WORK/tls.conf" <<CONF
listener 8883 127.0.0.1
allow_anonymous false
password_file $WORK/passwd
cafile $WORK/ca.crt
certfile $WORK/srv.crt
keyfile $WORK/srv.key
persistence false
user root
CONF
mosquitto -c "$WORK/tls.conf" >"$WORK/broker.err" 2>&1 &
PIDS+=($!)
wait_port 8883 || fail "the TLS broker did not start"
start_server "Lab"
broadcast_net

printf 'wrong\n' >"$WORK/wrong"
"$BRIDGE" 127.0.0.1 --broker 127.0.0.1 --cafile "$WORK/ca.crt" --username relay --password-file "$WORK/wrong" \
  >/dev/null 2>"$WORK/denied.err" &
DENIED=$!; PIDS+=("$DENIED")
wait_for "$WORK/denied.err" 'no connection to the broker at 127.0.0.1:8883: the broker refused the connection: .*; trying again in' ||
  fail "a wrong password was not said"
kill -TERM "$DENIED"
wait_exit "$DENIED" || fail "the refused bridge did not exit 0 on SIGTERM"

printf 's3cret\n' >"$WORK/right"
# The password from where the service puts it.
TORUNA_BRIDGE_PASSWORD_FILE="$WORK/right" start_bridge tls --discover --broker 127.0.0.1 --cafile "$WORK/ca.crt" \
  --username relay --prefix site/one
grep -q 'found server "Lab" on 10.99.0.1' "$WORK/tls.err" || fail "the server was not discovered"
mosquitto_sub -h 127.0.0.1 -p 8883 --cafile "$WORK/ca.crt" -u relay -P s3cret -t 'site/one/Lab/#' -F '%r %t %p' \
  >"$WORK/sub.txt" 2>"$WORK/sub.err" &
PIDS+=($!)
wait_for "$WORK/sub.txt" '^1 site/one/Lab/status online$' || fail "no status over TLS"
"$CLI" publish 127.0.0.1 --name Probe --event Level 5 >/dev/null 2>&1 || fail "publish: status $?"
wait_for "$WORK/sub.txt" '^0 site/one/Lab/Probe/Level 5$' || fail "no value over TLS"
kill -TERM "$BRIDGE_PID"
wait_exit "$BRIDGE_PID" || fail "the bridge did not exit 0 on SIGTERM (status $?)"
echo "passed"
