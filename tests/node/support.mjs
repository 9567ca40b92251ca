// Shared by the Node.js tests: the client compiled into the build, the real
// server started fresh for a test, and small waits. The tests take the fixed
// ports, so they run only inside the network namespace that tests/node/run
// makes for them.

import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { once } from "node:events";
import { cpSync, mkdtempSync, mkdirSync, readFileSync, rmSync, symlinkSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { setTimeout as sleep } from "node:timers/promises";

if (process.env.TORUNA_NETNS !== "1") {
  throw new Error("these tests start servers on the fixed ports: run them with tests/node/run BUILD_DIR FILE");
}

export const BUILD = process.env.TORUNA_BUILD;
export const ROOT = process.env.TORUNA_ROOT;
export const LAN = process.env.TORUNA_LAN.split(" ");
export const CLI = join(BUILD, "tools/cli/toruna-cli");
export const toruna = await import(join(BUILD, "clients/node/dist/index.js"));

/** A directory removed after the test. */
export function tempDir(t) {
  const dir = mkdtempSync(join(tmpdir(), "toruna-node-"));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  return dir;
}

/**
 * Starts `toruna-server --headless` under the given name and waits until it
 * listens. At the end of the test a server that was not killed must stop
 * cleanly on SIGTERM (status 0: in a sanitizer build that also means no leak).
 */
export async function startServer(t, name = "Test Lab") {
  const dir = tempDir(t);
  mkdirSync(join(dir, "config"));
  writeFileSync(join(dir, "config/Velmor Software.conf"), `[Toruna]\nServername=${name}\n`);
  const child = spawn(join(BUILD, "src/app/toruna-server"), ["--headless"], {
    env: { ...process.env, XDG_CONFIG_HOME: join(dir, "config") },
    stdio: ["ignore", "pipe", "pipe"],
  });
  let out = "";
  let err = "";
  child.stdout.setEncoding("utf8").on("data", (d) => { out += d; });
  child.stderr.setEncoding("utf8").on("data", (d) => { err += d; });
  const exited = once(child, "exit");
  const server = {
    log: () => out.split("\n").filter(Boolean),
    killed: false,
    kill() {
      server.killed = true;
      child.kill("SIGKILL");
      return exited;
    },
  };
  t.after(async () => {
    if (server.killed || child.exitCode !== null) return;
    child.kill("SIGTERM");
    const [status] = await exited;
    assert.equal(status, 0, `the server ended with ${status}: ${err}`);
  });
  // The line on standard error comes once both ports are open.
  await until(() => err.includes("running headless") || child.exitCode !== null, 20000);
  assert.equal(child.exitCode, null, `the server did not start: ${err}`);
  return server;
}

/** Waits until the condition holds; fails after `timeout` ms. */
export async function until(condition, timeout = 5000) {
  const end = Date.now() + timeout;
  while (!(await condition())) {
    assert.ok(Date.now() < end, `not reached within ${timeout} ms: ${condition}`);
    await sleep(10);
  }
}

/** Starts toruna-cli; `lines()` is what it printed so far, `stop()` ends it. */
export function cli(t, ...args) {
  const child = spawn(CLI, args, { stdio: ["ignore", "pipe", "pipe"] });
  let out = "";
  child.stdout.setEncoding("utf8").on("data", (d) => { out += d; });
  child.stderr.resume();
  const exited = once(child, "exit");
  const stop = async () => {
    if (child.exitCode === null && child.signalCode === null) child.kill("SIGTERM");
    await exited;
  };
  t.after(stop);
  return { lines: () => out.split("\n").filter(Boolean), stop };
}

export function readJson(path) {
  return JSON.parse(readFileSync(path, "utf8"));
}

// npm asks nothing of the registry here (the namespace has no way out anyway).
const NPM_ENV = { ...process.env, npm_config_update_notifier: "false", npm_config_audit: "false", npm_config_fund: "false" };

export function npm(cwd, ...args) {
  return execFileSync("npm", args, { cwd, env: NPM_ENV, encoding: "utf8", stdio: ["ignore", "pipe", "pipe"] });
}

/**
 * Packs the client and the Node-RED nodes with `npm pack`; returns the
 * tarballs and what npm said of each. The client is built afresh by its
 * prepack script, in a copy of its folder so that nothing is written into the
 * source tree; with `compiled`, what the build compiled is packed instead.
 */
export function pack(t, { compiled = false } = {}) {
  const dir = tempDir(t);
  let folder = join(BUILD, "clients/node");
  if (!compiled) {
    const source = join(ROOT, "clients/node");
    folder = join(dir, "node");
    cpSync(source, folder, { recursive: true, filter: (path) => !/[/\\](node_modules|dist)$/.test(path) });
    symlinkSync(join(source, "node_modules"), join(folder, "node_modules"));
  }
  const [client] = JSON.parse(npm(folder, "pack", "--json", "--pack-destination", dir, ...(compiled ? ["--ignore-scripts"] : [])));
  const [nodeRed] = JSON.parse(npm(join(ROOT, "clients/node-red"), "pack", "--json", "--pack-destination", dir));
  return { client: { ...client, path: join(dir, client.filename) }, nodeRed: { ...nodeRed, path: join(dir, nodeRed.filename) } };
}

/** A project folder with the given tarballs installed, from nothing but themselves. */
export function installProject(t, ...tarballs) {
  const dir = tempDir(t);
  writeFileSync(join(dir, "package.json"), JSON.stringify({ name: "consumer", version: "1.0.0", private: true }));
  npm(dir, "install", "--offline", "--no-package-lock", ...tarballs);
  return dir;
}
