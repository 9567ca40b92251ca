// Discovery against the real server on a LAN without a default route (the
// namespace of tests/node/run: two veth networks, no route for the limited
// broadcast): the networks' own broadcasts find it, each server once.

import assert from "node:assert/strict";
import { test } from "node:test";

import { LAN, startServer, toruna } from "./support.mjs";

test("a server is found on a LAN without a default route, once", { timeout: 60000 }, async (t) => {
  const broadcasts = toruna.broadcastAddresses();
  assert.deepEqual(broadcasts.sort(), ["10.98.0.255", "10.99.0.255", "255.255.255.255"]);
  assert.deepEqual(await toruna.discover({ timeout: 300 }), [], "nobody there yet");

  await startServer(t, "Küche € 1");
  // The limited broadcast alone cannot be sent here: that is no answer, not an error.
  assert.deepEqual(await toruna.discover({ timeout: 300, to: "255.255.255.255" }), []);
  const found = await toruna.discover({ timeout: 500 });
  assert.equal(found.length, 1, `found ${JSON.stringify(found)}`);
  assert.ok(LAN.includes(found[0].address), found[0].address);
  assert.deepEqual([found[0].name, found[0].clients], ["Küche € 1", 0]);

  const client = await found[0].connect({ name: "Counted" });
  assert.equal(client.serverName, "Küche € 1");
  // Several names for this machine, and one that cannot be found: one answer.
  const again = await toruna.discover({ timeout: 500, to: ["localhost", "no-such-host.invalid", ...LAN, "127.0.0.1"] });
  assert.deepEqual(again.map((s) => [s.name, s.clients]), [["Küche € 1", 1]]);
  await client.close();
  await assert.rejects(toruna.discover({ to: [] }), TypeError);
});
