// Reconnection: the server is killed and started again under the clients; they
// come back under their names, their events exist again and values flow into
// the same subscriptions.

import assert from "node:assert/strict";
import { once } from "node:events";
import { test } from "node:test";

import { startServer, toruna, until } from "./support.mjs";

const HOST = "127.0.0.1";
const RECONNECT = { initialDelay: 50, maxDelay: 400 };

/** The client's connection events, as they happen. */
function record(client) {
  const seen = [];
  client.on("down", (reason) => seen.push(`down ${reason.name}`));
  client.on("up", () => seen.push("up"));
  client.on("close", (reason) => seen.push(`close ${reason?.name}`));
  return seen;
}

test("clients come back after the server restarts", { timeout: 60000 }, async (t) => {
  let server = await startServer(t, "First");
  const sensor = await toruna.connect(HOST, { name: "Sensor", reconnect: RECONNECT });
  const board = await toruna.connect(HOST, { name: "Board", reconnect: RECONNECT });
  const sensorSeen = record(sensor);
  const boardSeen = record(board);
  const temp = await sensor.createEvent("Temp", { unit: "°C", interval: 500 });
  const values = board.subscribe("Sensor/*");
  await temp.waitForSubscriber({ timeout: 5000 });
  await temp.publish(1);
  assert.equal((await values.next()).value.value, 1);

  const down = [once(sensor, "down"), once(board, "down")];
  await server.kill();
  await Promise.all(down);
  assert.ok(!sensor.connected && !temp.hasSubscribers);
  assert.equal(sensor.clients.size, 0, "nothing is known of the others while down");
  // While down: a value reaches nobody, a new event waits for the server.
  assert.equal(await temp.publish(2), false);
  const hum = sensor.createEvent("Hum");
  // The attempts fail until the server is back, and go on with longer delays.
  await new Promise((resolve) => setTimeout(resolve, 300));

  const up = [once(sensor, "up"), once(board, "up")];
  server = await startServer(t, "Second");
  await Promise.all(up);
  assert.equal(sensor.serverName, "Second");
  assert.ok((await hum).id > 0);
  assert.deepEqual([...sensor.ownEvents.values()].map((e) => e.name), ["Temp", "Hum"]);

  // A newcomer sees the sensor with its events; the board's subscription came back.
  const observer = await toruna.connect(HOST, { name: "Observer" });
  const [first] = [...observer.clients.values()].filter((c) => c.name === "Sensor");
  assert.deepEqual(first.events.map((e) => [e.name, e.unit, e.interval]), [["Temp", "°C", 500], ["Hum", "", 0]]);
  await temp.waitForSubscriber({ timeout: 5000 });
  await (await hum).waitForSubscriber({ timeout: 5000 });
  for (let i = 10; i < 15; i++) await temp.publish(i);
  await (await hum).publish(99);
  const got = [];
  for await (const v of values) {
    got.push([v.event, v.value]);
    if (got.length === 6) break;
  }
  assert.deepEqual(got, [["Temp", 10], ["Temp", 11], ["Temp", 12], ["Temp", 13], ["Temp", 14], ["Hum", 99]]);
  assert.deepEqual(sensorSeen, ["down ServerClosedError", "up"]);
  assert.deepEqual(boardSeen, ["down ServerClosedError", "up"]);
  await Promise.all([sensor.close(), board.close(), observer.close()]);
  assert.deepEqual(sensorSeen, ["down ServerClosedError", "up", "close undefined"]);
});

test("a client closed while down stops trying", { timeout: 60000 }, async (t) => {
  const server = await startServer(t);
  const client = await toruna.connect(HOST, { name: "Gone", reconnect: RECONNECT });
  const seen = record(client);
  const values = client.subscribe("*");
  const temp = await client.createEvent("Temp");
  const waiting = assert.rejects(temp.waitForSubscriber(), /was closed/);
  const down = once(client, "down");
  await server.kill();
  await down;
  await client.close();
  await waiting;
  assert.deepEqual(seen, ["down ServerClosedError", "close undefined"]);
  // The subscription ends quietly; the test runner would wait for a timer left behind.
  assert.equal((await values.next()).done, true);
  await assert.rejects(toruna.connect(HOST, { name: "First", reconnect: true }), { name: "RefusedError" });
});
