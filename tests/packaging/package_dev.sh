#!/bin/bash
# The client library as an outside developer gets it from toruna-dev and
# libtoruna-client0: a shared library with its soname, no debug information
# and only the public API exported; only public headers, all below <toruna/...>,
# each compiling on its own; a program with its own "net/Variant.h" and
# "client/Connection.h" compiles beside them (pkg-config), links the shared
# library and registers with the unpacked server; the examples shipped in
# /usr/share/doc/toruna-dev build with the CMake package.
set -u
HERE="$(cd "$(dirname "$0")" && pwd)"
. "$HERE/package_common.bash"
pkg_setup_running "$@"
MULTIARCH="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
LIBDIR="$ROOT/usr/lib/$MULTIARCH"

LIB="$(readlink -f "$LIBDIR/libtoruna-client.so")"
[ -f "$LIB" ] || fail "no libtoruna-client.so link in toruna-dev"
[ "$(objdump -p "$LIB" | awk '/SONAME/ {print $2}')" = libtoruna-client.so.0 ] || fail "soname: $(objdump -p "$LIB" | grep SONAME)"
readelf -S "$LIB" | grep -q '\.debug_' && fail "the library carries debug information"
nm -DC --defined-only "$LIB" >"$WORK/exports.out"
grep -q ' toruna::client::Connection::Open(' "$WORK/exports.out" || fail "Connection::Open is not exported"
grep -q ' toruna::client::Discover(' "$WORK/exports.out" || fail "Discover is not exported"
if grep -E ' toruna::(net|base|session)::| toruna::client::(ServerLink|FrameStream)' "$WORK/exports.out" >"$WORK/exports.err"; then
  fail "internal symbols exported: $(head -5 "$WORK/exports.err")"
fi

# Public headers only, each complete on its own.
(cd "$ROOT/usr/include" && find . -type f | sed 's|^\./||' | sort) >"$WORK/headers.out"
grep -vq '^toruna/' "$WORK/headers.out" && fail "headers outside include/toruna: $(grep -v '^toruna/' "$WORK/headers.out")"
for internal in net/CNetSocket.h net/modNetSocket.h base/BlockPool.h client/ServerLink.h; do
  grep -qx "toruna/$internal" "$WORK/headers.out" && fail "internal header installed: $internal"
done
grep -qx toruna/client/TorunaClient.h "$WORK/headers.out" || fail "no TorunaClient.h"
while read -r header; do
  echo "#include <$header>" | c++ -std=c++20 -fsyntax-only -x c++ -I"$ROOT/usr/include" - 2>"$WORK/header.err" ||
    fail "<$header> does not compile on its own"
done <"$WORK/headers.out"

# An application with headers of the same names as the library's own.
APP="$WORK/app"
mkdir -p "$APP/net" "$APP/client"
echo '#pragma once
#define APP_VARIANT 1
struct Variant { int mine; };' >"$APP/net/Variant.h"
echo '#pragma once
#define APP_CONNECTION 1' >"$APP/client/Connection.h"
cat >"$APP/main.cpp" <<'CPP'
#include "net/Variant.h"
#include "client/Connection.h"
#include <toruna/client/TorunaClient.h>

#include <iostream>

static_assert(APP_VARIANT == 1 && APP_CONNECTION == 1, "the application's own headers");

int main() {
  Variant own{7};
  toruna::client::Connection c;
  // Caught by type: the library's type information is exported.
  const char* text = "refused";
  try {
    c.CreateEvent("\u6e29\u5ea6", "");
  } catch (const toruna::client::TextError&) {
    text = "caught";
  }
  c.OnRegistered = [&](const std::string& server) {
    std::cout << "registered with " << server << " " << own.mine << " " << text << std::endl;
    c.Close();
    c.Loop().Stop();
  };
  c.OnEnded = [&](const toruna::client::Ending& e) {
    std::cout << "ended: " << e.message << std::endl;
    c.Loop().Stop();
  };
  c.Open("127.0.0.1", "packaged-app");
  c.Loop().Run();
}
CPP
PC_DIR="$LIBDIR/pkgconfig"
FLAGS="$(PKG_CONFIG_PATH="$PC_DIR" pkg-config --cflags --libs toruna-client)" || fail "pkg-config"
[[ "$FLAGS" == *"/include "* && "$FLAGS" != *"include/toruna"* ]] || fail "pkg-config flags: $FLAGS"
# shellcheck disable=SC2086
c++ -std=c++20 -I"$APP" "$APP/main.cpp" -o "$APP/app" $FLAGS >"$WORK/app-build.err" 2>&1 ||
  fail "the application does not build beside the library's headers"
readelf -d "$APP/app" | grep -q 'NEEDED.*libtoruna-client.so.0' || fail "the application does not need the shared library"

mkdir -p "$WORK/config"
printf '[Toruna]\nServername=Dev Lab\n' >"$WORK/config/Velmor Software.conf"
XDG_CONFIG_HOME="$WORK/config" "$ROOT/usr/bin/toruna-server" >"$WORK/server.out" 2>"$WORK/server.err" &
SERVER_PID=$!
PIDS+=($SERVER_PID)
for ((i = 0; i < 100; i++)); do ss -ltn | grep -q ':13131 ' && break; sleep 0.05; done
LD_LIBRARY_PATH="$LIBDIR" timeout 10 "$APP/app" >"$WORK/app.out" 2>"$WORK/app.err" || fail "the application failed"
grep -qx 'registered with Dev Lab 7 caught' "$WORK/app.out" || fail "the application: $(cat "$WORK/app.out")"
kill -TERM $SERVER_PID; wait $SERVER_PID

# The shipped examples, through the CMake package.
EXAMPLES="$ROOT/usr/share/doc/toruna-dev/examples"
cmake -S "$EXAMPLES" -B "$WORK/examples" -DCMAKE_PREFIX_PATH="$ROOT/usr" >"$WORK/examples.out" 2>&1 &&
  cmake --build "$WORK/examples" -j 2 >>"$WORK/examples.out" 2>&1 || fail "the examples do not build: $(tail -20 "$WORK/examples.out")"
readelf -d "$WORK/examples/sensor" | grep -q 'NEEDED.*libtoruna-client.so.0' || fail "the sensor example does not need the shared library"
echo "passed"
