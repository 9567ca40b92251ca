// Registering, the roster as clients and events come and go, and how a
// connection fails or ends, against the real server; what the real server never
// sends, from a stand-in.

import assert from "node:assert/strict";
import { createServer } from "node:net";
import { test } from "node:test";

import { startServer, toruna, until } from "./support.mjs";

const HOST = "127.0.0.1";

test("the roster follows clients and events", { timeout: 60000 }, async (t) => {
  await startServer(t);
  const a = await toruna.connect(HOST, { name: "Küche" });
  const b = await toruna.connect(HOST, { name: "Beta" });
  const temp = await a.createEvent("Zähler", { unit: "m³", interval: 10, maximum: 100 });
  const hum = await a.createEvent("Hum");
  // Connections and events draw their IDs from one counter.
  assert.deepEqual([temp.id, hum.id], [3, 4]);
  await until(() => b.events.size === 2);

  const c = await toruna.connect("localhost", { name: "Gamma" });
  assert.equal(c.serverName, "Test Lab");
  // Complete on return: the others and their events, in their order.
  assert.deepEqual([...c.clients.values()].map((x) => [x.id, x.name]), [[1, "Küche"], [2, "Beta"]]);
  const kitchen = c.clients.get(1);
  assert.deepEqual(kitchen.events.map((e) => [e.id, e.name, e.unit, e.interval, e.maximum, e.path]),
    [[3, "Zähler", "m³", 10, 100, "Küche/Zähler"], [4, "Hum", "", 0, 255, "Küche/Hum"]]);
  assert.equal(c.events.get(3).owner, kitchen);
  assert.deepEqual(c.findEvents("*/Z?hler").map((e) => e.id), [3]);
  assert.deepEqual(c.findEvents("K[!a]che/[HX]*").map((e) => e.id), [4]);
  await until(() => [...a.clients.values()].map((x) => x.name).join() === "Beta,Gamma");
  assert.deepEqual([...a.ownEvents.keys()], [3, 4]);

  const changes = c.changes();
  await b.close();
  await until(() => [...c.clients.keys()].join() === "1");
  hum.remove();
  await until(() => [...c.events.keys()].join() === "3");
  assert.deepEqual([...a.ownEvents.keys()], [3]);
  const d = await toruna.connect(HOST, { name: "Delta" });
  await d.createEvent("X");
  await until(() => c.events.size === 2);
  await d.close();
  await a.close();
  // A departed client's events go with it.
  await until(() => c.clients.size === 0 && c.events.size === 0);
  const seen = [];
  for await (const change of changes) {
    seen.push([change.kind, change.client.name, change.event?.name]);
    if (seen.length === 8) break;
  }
  assert.deepEqual(seen, [["left", "Beta", undefined], ["removed", "Küche", "Hum"],
    ["joined", "Delta", undefined], ["created", "Delta", "X"],
    ["removed", "Delta", "X"], ["left", "Delta", undefined],
    ["removed", "Küche", "Zähler"], ["left", "Küche", undefined]]);
  assert.ok(changes.closed, "leaving the loop closes the feed");
  await c.close();
});

test("what cannot be sent is refused before anything is sent", { timeout: 60000 }, async (t) => {
  const server = await startServer(t);
  await assert.rejects(toruna.connect(HOST, { name: "Küche→" }),
    { name: "EncodingError", message: /"→" \(U\+2192\)/ });
  await assert.rejects(toruna.connect(HOST, { name: "" }), TypeError);
  await assert.rejects(toruna.connect(HOST, { name: "x".repeat(2045) }), /at most 2044/);
  await assert.rejects(toruna.connect(HOST, { name: "A", timeout: -1 }), RangeError);
  assert.deepEqual(server.log(), [], "nothing may reach the server");

  // The longest name and the longest event text make frames of 2048 bytes.
  const a = await toruna.connect(HOST, { name: "y".repeat(2044) });
  const b = await toruna.connect(HOST, { name: "Other" });
  assert.deepEqual([...b.clients.values()].map((x) => x.name), ["y".repeat(2044)]);
  await assert.rejects(a.createEvent("Temp", { unit: "℃" }), { name: "EncodingError", message: /the unit/ });
  await assert.rejects(a.createEvent("n".repeat(2037)), /at most 2036 fit/);
  for (const [name, options] of [["", {}], ["T\0x", {}], ["T", { interval: 40000 }], ["T", { maximum: -32769 }],
    ["T", { interval: 1.5 }]]) {
    await assert.rejects(a.createEvent(name, options), (e) => e instanceof TypeError || e instanceof RangeError);
  }
  const longest = await Promise.all([1, 2, 3].map((i) => a.createEvent(`${i}`.repeat(2033), { unit: "°C" })));
  await until(() => b.events.size === 3);
  assert.deepEqual([...b.events.values()].map((e) => [e.name.length, e.unit]), [[2033, "°C"], [2033, "°C"], [2033, "°C"]]);
  assert.throws(() => longest[0].publish(256), RangeError);
  assert.throws(() => longest[0].publish("7"), TypeError);
  assert.ok(a.connected && b.connected);
  await a.close();
  await b.close();
});

test("connecting fails clearly, and a closed client says why", { timeout: 60000 }, async (t) => {
  await assert.rejects(toruna.connect(HOST, { name: "Early" }),
    { name: "RefusedError", message: "connection refused by 127.0.0.1 (no server listening there?)" });
  await assert.rejects(toruna.connect("no-such-host.invalid", { name: "Lost" }),
    { name: "UnreachableError", message: /host no-such-host.invalid not found/ });
  await startServer(t);
  await assert.rejects(toruna.connect(HOST, { name: "Wrong port", port: 13132 }), /127.0.0.1 port 13132/);
  const client = await toruna.connect(HOST, { name: "Late" });
  let closeEvents = 0;
  client.on("close", (reason) => { closeEvents++; assert.equal(reason, undefined); });
  await client.close();
  await client.close();
  assert.equal(closeEvents, 1);
  assert.ok(client.closed && client.closeReason instanceof toruna.ClosedError);
  await assert.rejects(client.createEvent("Temp"), /was closed/);
  assert.throws(() => client.subscribe("*"), /was closed/);
});

test("the server going away ends everything", { timeout: 60000 }, async (t) => {
  const server = await startServer(t);
  const a = await toruna.connect(HOST, { name: "Sensor" });
  const b = await toruna.connect(HOST, { name: "Dashboard" });
  const temp = await a.createEvent("Temp");
  const hum = await a.createEvent("Hum");
  const values = b.subscribe("Sensor/Temp");
  const presence = [];
  temp.on("subscribers", (present) => presence.push(present));
  await temp.waitForSubscriber({ timeout: 5000 });
  assert.equal(await temp.publish(7), true);
  await until(() => values.pending === 1);
  const waiting = assert.rejects(hum.waitForSubscriber(), { name: "ServerClosedError" });
  const reasons = [];
  a.on("close", (reason) => reasons.push(reason));

  await server.kill();
  await a.waitClosed();
  await b.waitClosed();
  assert.equal(reasons.length, 1);
  for (const client of [a, b]) {
    assert.equal(client.closeReason.name, "ServerClosedError");
    assert.match(client.closeReason.message, /closed the connection|reset the connection/);
  }
  assert.deepEqual(presence, [true, false]);
  // What arrived before is still handed out, then the reason.
  const got = [];
  await assert.rejects(async () => { for await (const v of values) got.push(v.value); }, { name: "ServerClosedError" });
  assert.deepEqual(got, [7]);
  assert.throws(() => temp.publish(8), { name: "ServerClosedError" });
  await waiting;
  await a.close();
  await b.close();
});

/** A server on another port that plays the given bytes, one write each, to whoever registers. */
/** In a stand-in's chunks: wait until the client has sent something more. */
const CLIENT_SENDS = Symbol("client sends");

async function standIn(t, chunks) {
  const sockets = new Set();
  const server = createServer((socket) => {
    sockets.add(socket);
    socket.on("error", () => {});
    // The chunks as they are when this connection comes: a late first read of an
    // earlier connection must not be served what was meant for a later one.
    const script = [...chunks];
    let arrivals = 0;
    let wake = null;
    socket.on("data", async () => {
      arrivals += 1;
      if (wake) wake();
      if (arrivals > 1) return;
      let awaited = 1;
      for (const chunk of script) {
        if (socket.destroyed) return;
        if (chunk === CLIENT_SENDS) {
          awaited += 1;
          while (arrivals < awaited) await new Promise((r) => (wake = r));
          continue;
        }
        socket.write(chunk);
        await new Promise((r) => setTimeout(r, 2));
      }
    });
  });
  server.listen(13200, HOST);
  t.after(() => {
    for (const s of sockets) s.destroy();
    server.close();
  });
  return server;
}

/** A frame as the server sends it: marker, length, type, then the parts. */
function frame(type, ...parts) {
  const body = Buffer.concat(parts.map((x) => (typeof x === "number" ? int32(x) : Buffer.from(x, "latin1"))));
  const head = Buffer.alloc(4);
  head[0] = 0x2a;
  head.writeInt16LE(body.length + 1, 1);
  head[3] = type;
  return Buffer.concat([head, body]);
}

function int32(n) {
  const b = Buffer.alloc(4);
  b.writeInt32LE(n);
  return b;
}

test("what a client takes from a stand-in server", { timeout: 60000 }, async (t) => {
  const chunks = [];
  await standIn(t, chunks);
  // No ServerInfo: the registration does not complete.
  await assert.rejects(toruna.connect(HOST, { name: "A", port: 13200, timeout: 300 }),
    { name: "UnreachableError", message: /did not complete the registration/ });

  // Frames split anywhere, of unknown types, of length 0, or longer than their
  // layout; a name with a byte Windows-1252 leaves unassigned.
  const registration = Buffer.concat([
    frame(2, 4, "D\xeee"), // client 4, "Dîe"
    frame(4, 4, 5, "\0\0\x01\0E\0u\0"), // its event 5, "E" in u
    Buffer.from("2a0000", "hex"), frame(99, "c"), frame(8, "S\x81"),
  ]);
  // After the client's subscription (a busy machine could otherwise deliver the
  // value in the registration's read, before there is anybody to take it).
  const later = Buffer.concat([
    frame(1, 5, "\x09\xff\xff"), // value 9 of event 5, and two bytes more
    frame(6, 5, "\0").subarray(0, 8),
  ]);
  const bytes = (b) => [...b].map((x) => Buffer.of(x));
  // Last, a value and a byte that is not a marker in one read: the value still counts.
  chunks.push(...bytes(registration), CLIENT_SENDS, ...bytes(later), Buffer.from("01", "hex"),
    Buffer.concat([frame(1, 5, "\x0a"), Buffer.from("00", "hex")]));
  const client = await toruna.connect(HOST, { name: "B", port: 13200 });
  assert.equal(client.serverName, "S\u0081");
  assert.equal(client.clients.get(4).name, "Dîe");
  assert.equal(client.events.get(5).unit, "u");
  const values = client.subscribe("D?e/E");
  const first = await values.next();
  assert.equal(first.value.value, 9);
  assert.ok(first.value.time instanceof Date);
  // The EventSubscribe left incomplete is finished; the value read with the
  // byte that is not a marker comes, then that byte ends the connection.
  assert.equal((await values.next()).value.value, 10);
  await assert.rejects(values.next(), { name: "ProtocolError", message: /lost protocol sync: byte 00/ });
  assert.equal(client.closeReason.name, "ProtocolError");
  await client.close();
});

test("a server that stops answering is noticed", { timeout: 60000 }, async (t) => {
  // It registers the client, then reads but never answers: a peer that vanished.
  await standIn(t, [Buffer.from("2a0400084c6162", "hex")]);
  const client = await toruna.connect(HOST, { name: "C", port: 13200, keepAlive: { idle: 300, timeout: 300 } });
  const started = Date.now();
  await client.waitClosed();
  const took = Date.now() - started;
  assert.equal(client.closeReason.name, "DeadServerError");
  assert.ok(took >= 550 && took < 5000, `given up after ${took} ms`);
});
