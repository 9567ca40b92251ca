// Finding servers: a UDP request to port 9666, answered by every server that
// receives it with its name and its number of registered clients.

import * as dgram from "node:dgram";
import { networkInterfaces } from "node:os";

import type { Client } from "./client.js";
import { connect, type ConnectOptions } from "./connect.js";
import { DISCOVERY_PORT, discoveryRequest, parseDiscoveryReply } from "./protocol.js";

const LIMITED_BROADCAST = "255.255.255.255";

/** A server that answered: its IPv4 address, its name and how many clients it had registered. */
export class Server {
  constructor(readonly address: string, readonly name: string, readonly clients: number) {}

  /** `connect` to this server. */
  connect(options?: ConnectOptions): Promise<Client> {
    return connect(this.address, options);
  }
}

export interface DiscoverOptions {
  /** Milliseconds to collect answers; default 1000. */
  timeout?: number;
  /** Where to ask (addresses or host names); default: a broadcast on every network. */
  to?: string | readonly string[];
  /** The servers' discovery port; default 9666. */
  port?: number;
}

function ipv4ToInt(a: string): number {
  return a.split(".").reduce((n, part) => n * 256 + Number(part), 0);
}

function intToIpv4(n: number): string {
  return [24, 16, 8, 0].map((s) => (n >>> s) & 255).join(".");
}

/**
 * The limited broadcast, and the broadcast address of every up IPv4 network of
 * this machine: on a LAN without a default route the limited broadcast
 * cannot be sent, but the network's own broadcast can.
 */
export function broadcastAddresses(): string[] {
  const out = [LIMITED_BROADCAST];
  for (const addresses of Object.values(networkInterfaces())) {
    for (const a of addresses ?? []) {
      // (Node 18.0-18.3 gave the family as a number.)
      if ((a.family !== "IPv4" && (a.family as unknown) !== 4) || a.internal) continue;
      const mask = ipv4ToInt(a.netmask);
      if (mask >>> 0 >= 0xfffffffe) continue; // a point-to-point link has no broadcast address
      const broadcast = intToIpv4((ipv4ToInt(a.address) | ~mask) >>> 0);
      if (!out.includes(broadcast)) out.push(broadcast);
    }
  }
  return out;
}

/** This machine's own IPv4 addresses: a server there answers from whichever of them the request reached. */
function ownAddresses(): Set<string> {
  const own = new Set<string>();
  for (const addresses of Object.values(networkInterfaces())) {
    for (const a of addresses ?? []) if (a.family === "IPv4" || (a.family as unknown) === 4) own.add(a.address);
  }
  return own;
}

/**
 * Asks for servers and collects the answers that arrive within `timeout` ms.
 * Servers come in the order they answered, each once (one machine holds one
 * server, so the answers from this machine's own addresses are one server).
 * A destination that cannot be reached or found counts as one that did not
 * answer; an empty list means nobody answered. UDP may lose a datagram: when
 * nobody answers, ask again.
 */
export async function discover(options: DiscoverOptions = {}): Promise<Server[]> {
  const timeout = options.timeout ?? 1000;
  if (typeof timeout !== "number" || !(timeout >= 0)) throw new RangeError(`the timeout is milliseconds, not ${String(timeout)}`);
  const port = options.port ?? DISCOVERY_PORT;
  if (!Number.isInteger(port) || port < 1 || port > 65535) throw new RangeError(`port ${String(port)} is not from 1 to 65535`);
  const destinations = options.to === undefined ? broadcastAddresses()
    : typeof options.to === "string" ? [options.to] : [...options.to];
  if (!destinations.length || destinations.some((d) => typeof d !== "string" || !d)) {
    throw new TypeError("discover needs addresses or host names to ask");
  }

  const socket = dgram.createSocket("udp4");
  const found = new Map<string, Server>();
  const own = ownAddresses();
  socket.on("error", () => {}); // an ICMP error for one destination; the others may still answer
  socket.on("message", (msg, rinfo) => {
    const reply = parseDiscoveryReply(msg);
    if (!reply) return;
    const key = own.has(rinfo.address) || rinfo.address.startsWith("127.") ? "this machine" : rinfo.address;
    if (!found.has(key)) found.set(key, new Server(rinfo.address, reply.name, reply.clients));
  });
  try {
    await new Promise<void>((resolve, reject) => {
      socket.once("error", reject);
      socket.bind(0, () => {
        socket.off("error", reject);
        resolve();
      });
    });
    socket.setBroadcast(true);
    const request = discoveryRequest(socket.address().port);
    for (const destination of destinations) {
      socket.send(request, port, destination, () => {}); // errors: that destination does not answer
    }
    await new Promise((resolve) => setTimeout(resolve, timeout));
  } finally {
    socket.close();
  }
  return [...found.values()];
}
