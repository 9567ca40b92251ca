// Connecting: the options of connect(), checked before anything is sent.

import { hostname } from "node:os";

import { Client, type ReconnectSettings } from "./client.js";
import * as protocol from "./protocol.js";
import { encodable } from "./text.js";
import type { Liveness } from "./wire.js";

export interface ReconnectOptions {
  /** Milliseconds before the first attempt after a loss; default 500. */
  initialDelay?: number;
  /** The longest wait between attempts, in milliseconds; default 30000. */
  maxDelay?: number;
}

export interface ConnectOptions {
  /** The name to register under; default "toruna-js@" and the host's name. */
  name?: string;
  /** The server's TCP port; default 13131. */
  port?: number;
  /** Milliseconds for connecting and registering, each time; default 10000. */
  timeout?: number;
  /**
   * Come back after the connection is lost: the same name, the own events
   * created again, the subscriptions restored; `down` and `up` tell the
   * program. Off by default; `true` takes the default delays. The first
   * connection is not retried: `connect` rejects when it fails.
   */
  reconnect?: boolean | ReconnectOptions;
  /**
   * How a server that vanished is noticed: after `idle` ms without a byte from
   * it (default 60000) it must answer within `timeout` ms (default 30000). TCP
   * keepalive probes start after `idle` ms too. `false` turns the check off.
   */
  keepAlive?: false | Partial<Liveness>;
}

function defaultName(): string {
  return "toruna-js@" + [...hostname()].map((c) => (encodable(c) ? c : "?")).join("");
}

function positive(value: number | undefined, fallback: number, what: string): number {
  if (value === undefined) return fallback;
  if (typeof value !== "number" || !(value > 0) || !Number.isFinite(value)) {
    throw new RangeError(`${what} is a number of milliseconds above 0, not ${String(value)}`);
  }
  return value;
}

/**
 * Connects to the server on `host` and registers; resolves with the Client once
 * the server has sent the roster and its name. Rejects with RefusedError or
 * UnreachableError when that fails (`timeout` covers the connection and the
 * registration), ServerClosedError when the server ends it, and EncodingError,
 * TypeError or RangeError for options that cannot be used, before anything is sent.
 */
export async function connect(host: string, options: ConnectOptions = {}): Promise<Client> {
  if (typeof host !== "string" || !host) throw new TypeError("connect needs the server's host name or address");
  const name = options.name ?? defaultName();
  if (typeof name !== "string" || !name) {
    throw new TypeError("a client needs a name (the server closes a connection without one)");
  }
  const frame = protocol.clientInfoRequest(name);
  // The largest frame the server takes at once, less its header.
  const MAX_NAME = protocol.MAX_ARRIVAL - 4;
  if (frame.length - 4 > MAX_NAME) {
    throw new RangeError(`the client name takes ${frame.length - 4} bytes; at most ${MAX_NAME} fit into one frame`);
  }
  const port = options.port ?? protocol.SERVER_PORT;
  if (!Number.isInteger(port) || port < 1 || port > 65535) throw new RangeError(`port ${String(port)} is not from 1 to 65535`);
  const timeout = positive(options.timeout, 10000, "the timeout");
  let liveness: Liveness | undefined;
  if (options.keepAlive !== false) {
    const k = options.keepAlive ?? {};
    liveness = { idle: positive(k.idle, 60000, "keepAlive.idle"), timeout: positive(k.timeout, 30000, "keepAlive.timeout") };
  }
  let reconnect: ReconnectSettings | undefined;
  if (options.reconnect) {
    const r = options.reconnect === true ? {} : options.reconnect;
    const initialDelay = positive(r.initialDelay, 500, "reconnect.initialDelay");
    reconnect = { initialDelay, maxDelay: Math.max(initialDelay, positive(r.maxDelay, 30000, "reconnect.maxDelay")) };
  }
  const client = new Client(host, port, name, timeout, liveness, reconnect);
  await client._open();
  return client;
}
