// Own events, subscriptions and values against the real server: who receives
// what, what an owner is told of its listeners, and sending at the limits of
// what the server takes.

import assert from "node:assert/strict";
import { test } from "node:test";

import { startServer, toruna, until } from "./support.mjs";

const HOST = "127.0.0.1";

/** Takes `count` values from the subscription as [path, value] pairs. */
async function take(subscription, count) {
  const got = [];
  while (got.length < count) {
    const { value, done } = await subscription.next();
    assert.ok(!done, `the subscription ended after ${got.length} values`);
    got.push([value.path, value.value]);
  }
  return got;
}

test("values reach the subscribers only, and the owner hears of them", { timeout: 60000 }, async (t) => {
  await startServer(t);
  const sensor = await toruna.connect(HOST, { name: "Sensor" });
  const board = await toruna.connect(HOST, { name: "Board" });
  const other = await toruna.connect(HOST, { name: "Other" });
  const temp = await sensor.createEvent("Temp", { unit: "°C" });
  const hum = await sensor.createEvent("Hum");
  const presence = [];
  temp.on("subscribers", (present) => presence.push(present));
  await assert.rejects(temp.waitForSubscriber({ timeout: 50 }), { name: "TimeoutError" });
  const aborted = new AbortController();
  const waiting = assert.rejects(temp.waitForSubscriber({ signal: aborted.signal }), /stop waiting/);
  aborted.abort(new Error("stop waiting"));
  await waiting;

  const all = board.subscribe("Sensor/*");
  const temps = board.subscribe("*/Temp", "*/Later");
  const elsewhere = other.subscribe("Sensor/Hum");
  await temp.waitForSubscriber({ timeout: 5000 });
  await hum.waitForSubscriber({ timeout: 5000 });
  for (let i = 0; i < 100; i++) {
    temp.publish(i);
    hum.publish(255 - i);
  }
  // An event created later is taken by the patterns that match it.
  const later = await sensor.createEvent("Later");
  await later.waitForSubscriber({ timeout: 5000 });
  await later.publish(42);

  const expected = [];
  for (let i = 0; i < 100; i++) expected.push(["Sensor/Temp", i], ["Sensor/Hum", 255 - i]);
  assert.deepEqual(await take(all, 201), [...expected, ["Sensor/Later", 42]]);
  assert.deepEqual(await take(temps, 101), [...expected.filter(([p]) => p === "Sensor/Temp"), ["Sensor/Later", 42]]);
  assert.deepEqual(await take(elsewhere, 100), expected.filter(([p]) => p === "Sensor/Hum"));
  const value = (await (async () => { temp.publish(1); return all.next(); })()).value;
  assert.deepEqual([value.client, value.event, value.unit, value.clientId, value.eventId], ["Sensor", "Temp", "°C", 1, 4]);
  await take(temps, 1);

  // Overlapping subscriptions: the server is told to stop only when none wants the event.
  all.close();
  temp.publish(2);
  for await (const v of temps) {
    assert.equal(v.value, 2);
    break; // leaving the loop unsubscribes
  }
  assert.equal(all.pending, 0);
  await until(() => !temp.hasSubscribers);
  assert.deepEqual(presence, [true, false]);
  assert.ok(hum.hasSubscribers, "Other still listens to Hum");

  // A removed event ends its waits and its subscriptions.
  const waitingForLater = assert.rejects(later.waitForSubscriber(), { name: "EventRemovedError" });
  hum.remove();
  later.remove();
  await waitingForLater;
  assert.throws(() => hum.publish(1), { name: "EventRemovedError" });
  await until(() => elsewhere.events.length === 0);
  await Promise.all([sensor.close(), board.close(), other.close()]);
});

test("sending at the server's limits loses nothing", { timeout: 120000 }, async (t) => {
  const server = await startServer(t);
  const sensor = await toruna.connect(HOST, { name: "Sensor" });
  const board = await toruna.connect(HOST, { name: "Board" });
  const burst = await sensor.createEvent("Burst");
  const values = board.subscribe("Sensor/Burst");
  await burst.waitForSubscriber({ timeout: 5000 });
  const created = board.changes();

  // Creations of 13, 1024, 2047 and 2048 bytes back to back, among bursts of values.
  const sizes = [13, 1024, 2047, 2048];
  const creations = [];
  const count = 20000;
  let last;
  for (let i = 0; i < count; i++) {
    last = burst.publish(i % 256);
    if (i % 2000 === 0) {
      for (const size of sizes) {
        const name = `${i}-${size}-`.padEnd(size - 12, "x").slice(0, size - 12);
        creations.push(sensor.createEvent(name).then((e) => [e.name.slice(0, 12), e.name.length, e.id]));
      }
    }
  }
  assert.equal(await last, true);
  const events = await Promise.all(creations);
  assert.ok(await sensor.flush());
  const got = [];
  while (got.length < count) got.push((await values.next()).value.value);
  assert.deepEqual(got, Array.from({ length: count }, (_, i) => i % 256));
  const seen = [];
  for await (const change of created) {
    seen.push([change.event.name.slice(0, 12), change.event.name.length, change.event.id]);
    if (seen.length === events.length) break;
  }
  assert.deepEqual(seen, events);

  // What is queued when the program closes still goes out.
  for (let i = 0; i < 3000; i++) burst.publish(i % 200);
  await sensor.close();
  const rest = [];
  for await (const v of values) {
    rest.push(v.value);
    if (rest.length === 3000) break;
  }
  assert.deepEqual(rest, Array.from({ length: 3000 }, (_, i) => i % 200));
  assert.ok(!board.closed);
  assert.ok(!server.log().some((line) => line.includes("Lost protocol sync")));
  await board.close();
});
