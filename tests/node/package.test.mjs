// The npm package as a user gets it: `npm pack` of clients/node, installed
// into a project of its own from the tarball alone, imported by an ES module
// and type-checked from TypeScript.

import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { writeFileSync } from "node:fs";
import { join } from "node:path";
import { test } from "node:test";

import { ROOT, installProject, pack, readJson } from "./support.mjs";

const TSC = join(ROOT, "clients/node/node_modules/typescript/bin/tsc");

test("npm pack gives a sound package", { timeout: 120000 }, async (t) => {
  const { client } = pack(t);
  const files = client.files.map((f) => f.path).sort();
  for (const wanted of ["README.md", "package.json", "dist/index.js", "dist/index.d.ts", "dist/client.js"]) {
    assert.ok(files.includes(wanted), `${wanted} is missing from ${files.join(" ")}`);
  }
  assert.deepEqual(files.filter((f) => !/^dist\/[a-z]+\.(js|d\.ts)$/.test(f)), ["README.md", "package.json"],
    "nothing but the compiled modules, the README and package.json");

  const project = installProject(t, client.path);
  const meta = readJson(join(project, "node_modules/toruna/package.json"));
  assert.equal(meta.type, "module");
  assert.deepEqual(meta.exports["."], { types: "./dist/index.d.ts", import: "./dist/index.js" });
  assert.equal(meta.engines.node, ">=18");
  assert.equal(meta.license, "UNLICENSED");
  assert.deepEqual(meta.dependencies, undefined, "Node's own modules only at run time");

  // Imported by name, as a user's program does.
  writeFileSync(join(project, "use.mjs"), `
    import * as toruna from "toruna";
    const names = ["connect", "discover", "Client", "OwnEvent", "Subscription", "TorunaError", "EncodingError"];
    const missing = names.filter((n) => typeof toruna[n] !== "function");
    if (missing.length) throw new Error("missing: " + missing);
    try { toruna.encodeText("℃"); } catch (e) { console.log(e.name); }
  `);
  assert.equal(execFileSync("node", ["use.mjs"], { cwd: project, encoding: "utf8" }).trim(), "EncodingError");

  // The types: a correct program compiles, a wrong one does not.
  const tsconfig = {
    compilerOptions: { module: "NodeNext", moduleResolution: "NodeNext", target: "ES2022", strict: true, noEmit: true, skipLibCheck: true,
      typeRoots: [join(ROOT, "clients/node/node_modules/@types")], types: ["node"] },
  };
  writeFileSync(join(project, "tsconfig.json"), JSON.stringify({ ...tsconfig, files: ["good.mts"] }));
  writeFileSync(join(project, "good.mts"), `
    import { connect, discover, type Client, type Value, type Change, ClosedError } from "toruna";
    const servers = await discover({ timeout: 100 });
    const client: Client = await connect(servers[0]?.address ?? "127.0.0.1", { name: "T", reconnect: { maxDelay: 5000 } });
    client.on("down", (reason: ClosedError) => console.log(reason.message));
    const temp = await client.createEvent("Temp", { unit: "°C", interval: 1000 });
    temp.on("subscribers", (present: boolean) => console.log(present));
    const sent: boolean = await temp.publish(21);
    for await (const v of client.subscribe("*/Temp")) { const n: number = v.value; const t: Date = v.time; console.log(n, t, sent); }
    for await (const c of client.changes()) { const kind: Change["kind"] = c.kind; console.log(kind, c.event?.path); }
    const values: Value[] = [];
    console.log(values, [...client.events.values()].map((e) => e.path));
  `);
  execFileSync("node", [TSC, "-p", project], { encoding: "utf8" });
  writeFileSync(join(project, "tsconfig.json"), JSON.stringify({ ...tsconfig, files: ["bad.mts"] }));
  writeFileSync(join(project, "bad.mts"), `
    import { connect } from "toruna";
    const client = await connect("h");
    const temp = await client.createEvent("Temp", { units: "°C" });
    await temp.publish("21");
  `);
  let errors = "";
  try {
    execFileSync("node", [TSC, "-p", project], { encoding: "utf8" });
  } catch (e) {
    errors = e.stdout;
  }
  assert.match(errors, /'units' does not exist/);
  assert.match(errors, /'string' is not assignable to parameter of type 'number'/);
});
