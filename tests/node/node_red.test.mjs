// The Node-RED nodes at work: Node-RED (tests/node/node-red) runs headless
// with a flow file, its nodes installed from the packed tarballs. Values of
// Sensor/Temp come in through "toruna in" and go into a file and out again
// through "toruna out" as NodeRED/Echo, which toruna-cli watch receives.

import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { once } from "node:events";
import { existsSync, readFileSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { test } from "node:test";

import { ROOT, cli, installProject, pack, startServer, toruna, until } from "./support.mjs";

const RED = join(ROOT, "tests/node/node-red/node_modules/node-red/red.js");

function flow(valuesFile) {
  // Ids as Node-RED makes them: a short word could pass for a reference to a node.
  const [tab, server, input, file, output, inject] = ["01", "02", "03", "04", "05", "06"].map((n) => `7a5e0c1d2b3f40${n}`);
  return [
    { id: tab, type: "tab", label: "Toruna" },
    { id: server, type: "toruna-server", host: "127.0.0.1", port: "13131", clientName: "NodeRED" },
    { id: input, type: "toruna in", z: tab, server, pattern: "Sensor/Te?p", wires: [[file, output]] },
    {
      id: file, type: "file", z: tab, filename: valuesFile, filenameType: "str", appendNewline: true,
      createDir: false, overwriteFile: "false", encoding: "none", wires: [[]],
    },
    { id: output, type: "toruna out", z: tab, server, event: "Echo", unit: "°C", wires: [] },
    {
      id: inject, type: "inject", z: tab, props: [{ p: "payload" }], payload: "hot", payloadType: "str",
      once: true, onceDelay: "0.1", repeat: "0.5", wires: [[output]],
    },
  ];
}

test("values flow through Node-RED in order, both ways", { timeout: 180000 }, async (t) => {
  assert.ok(existsSync(RED), "Node-RED is not installed (scripts/install-deps installs it)");
  await startServer(t);
  const { client, nodeRed } = pack(t, { compiled: true });
  assert.deepEqual(nodeRed.files.map((f) => f.path).sort(), ["README.md", "package.json", "toruna.html", "toruna.js"]);
  const userDir = installProject(t, client.path, nodeRed.path);
  const valuesFile = join(userDir, "values.txt");
  writeFileSync(join(userDir, "flows.json"), JSON.stringify(flow(valuesFile)));
  writeFileSync(join(userDir, "settings.js"),
    `module.exports = { uiHost: "127.0.0.1", uiPort: 1880, httpAdminRoot: false, httpNodeRoot: false,
      credentialSecret: false, logging: { console: { level: "info" } } };`);

  const sensor = await toruna.connect("127.0.0.1", { name: "Sensor" });
  const temp = await sensor.createEvent("Temp", { unit: "°C" });
  const watch = cli(t, "watch", "127.0.0.1", "--name", "Watcher", "--subscribe", "NodeRED/Echo", "--json");

  const red = spawn("node", [RED, "--userDir", userDir, "--settings", join(userDir, "settings.js"), "flows.json"],
    { cwd: userDir, stdio: ["ignore", "pipe", "pipe"] });
  let log = "";
  red.stdout.setEncoding("utf8").on("data", (d) => { log += d; });
  red.stderr.setEncoding("utf8").on("data", (d) => { log += d; });
  const exited = once(red, "exit");
  t.after(() => red.exitCode === null && red.kill("SIGKILL"));

  // Node-RED has subscribed to Sensor/Temp, and the watcher to its Echo.
  // (Node-RED's log tells what went wrong, when something does.)
  const waitFor = (condition, timeout) => until(condition, timeout).catch((e) => assert.fail(`${e.message}\n${log}`));
  await waitFor(() => temp.hasSubscribers, 60000);
  await waitFor(() => watch.lines().some((l) => l.includes('"type":"subscribed"') && l.includes("Echo")), 10000);
  const sent = Array.from({ length: 100 }, (_, i) => (i * 37) % 256);
  for (const v of sent) temp.publish(v);
  assert.ok(await sensor.flush());

  await waitFor(() => existsSync(valuesFile) && readFileSync(valuesFile, "utf8").split("\n").length > sent.length, 20000);
  assert.deepEqual(readFileSync(valuesFile, "utf8").trim().split("\n").map(Number), sent);
  const echoes = () => watch.lines().filter((l) => l.includes('"type":"value"')).map((l) => JSON.parse(l));
  await waitFor(() => echoes().length === sent.length, 20000);
  assert.deepEqual(echoes().map((e) => [e.client, e.event, e.value, e.unit]),
    sent.map((v) => ["NodeRED", "Echo", v, "°C"]));
  await waitFor(() => /msg\.payload must be an integer from 0 to 255, not "hot"/.test(log), 10000);

  red.kill("SIGTERM");
  const [status] = await exited;
  assert.equal(status, 0, log);
  // Its connection closed with it: the others are told that it left.
  await until(() => ![...sensor.clients.values()].some((c) => c.name === "NodeRED"), 5000);
  await sensor.close();
});
