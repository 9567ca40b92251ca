// A registered connection to a server, kept up to date, and optionally brought
// back after it is lost. What outlives a connection (the roster's listeners,
// own events, subscriptions) lives here; the bytes of one connection are the
// Wire's.

import { EventEmitter } from "node:events";

import { ClosedError, UnreachableError } from "./errors.js";
import { OwnEvent, type EventOwner } from "./event.js";
import { Feed } from "./feed.js";
import * as protocol from "./protocol.js";
import { FrameType, type Frame } from "./protocol.js";
import { RemoteClient, RemoteEvent, type Change, type Value } from "./roster.js";
import { Subscription } from "./subscription.js";
import { Wire, openSocket, type Liveness } from "./wire.js";

export interface CreateEventOptions {
  unit?: string;
  /** A signed 16-bit number the server passes on without interpreting it; default 0. */
  interval?: number;
  /** A signed 16-bit number the server passes on without interpreting it; default 255. */
  maximum?: number;
}

/** The roster's changes as they happen (`Client.changes`). */
export class Changes extends Feed<Change> {
  readonly #onClose: (c: Changes) => void;

  /** @internal */
  constructor(onClose: (c: Changes) => void) {
    super();
    this.#onClose = onClose;
  }

  protected override onClose(): void {
    this.#onClose(this);
  }
}

/** @internal The reconnection delays, with the defaults filled in. */
export interface ReconnectSettings {
  initialDelay: number;
  maxDelay: number;
}

type State = "connecting" | "registering" | "up" | "down" | "closing" | "closed";

// The largest frame the server takes at once, less its header and fields.
const MAX_EVENT_TEXT = protocol.MAX_ARRIVAL - 12;

/**
 * A connection registered under a name; made by `connect`.
 *
 * `clients` and `events` are the roster (the other registered clients and
 * their events, kept up to date as they come and go), `ownEvents` the events
 * this client created.
 *
 * Events: `down` (reason: ClosedError) when a reconnecting client lost its
 * connection, `up` when it is back (registered, own events created again,
 * subscriptions restored), `close` (reason: ClosedError, or undefined after
 * `close()`) once, when the client has ended for good.
 */
export class Client extends EventEmitter {
  readonly host: string;
  readonly port: number;
  readonly name: string;
  /** The server's name, as it gave it at the last registration. */
  serverName = "";
  #state: State = "connecting";
  #wire: Wire | undefined;
  readonly #liveness: Liveness | undefined;
  readonly #reconnect: ReconnectSettings | undefined;
  readonly #timeout: number;
  #attempts = 0;
  #retry: NodeJS.Timeout | undefined;
  #registered: { resolve(): void; reject(e: ClosedError): void } | undefined;
  readonly #clients = new Map<number, RemoteClient>();
  readonly #events = new Map<number, RemoteEvent>();
  // Own events by their current ID, and all of them (also those waiting for an ID) in creation order.
  readonly #own = new Map<number, OwnEvent>();
  readonly #ownAll = new Set<OwnEvent>();
  readonly #creating = new Map<number, OwnEvent>();
  readonly #awaitingId = new Set<OwnEvent>();
  // The current connection is registered: creations may go out.
  #ready = false;
  readonly #created = new Map<OwnEvent, { resolve(): void; reject(e: Error): void }>();
  #nextRequest = 0;
  readonly #subscriptions = new Set<Subscription>();
  // Event ID -> how many subscriptions want it.
  readonly #wanted = new Map<number, number>();
  readonly #changeFeeds = new Set<Changes>();
  #closeReason: ClosedError | undefined;
  readonly #ended: Promise<never>;
  #endedReject!: (e: ClosedError) => void;
  readonly #owner: EventOwner;

  /** @internal Use `connect`. */
  constructor(host: string, port: number, name: string, timeout: number,
    liveness: Liveness | undefined, reconnect: ReconnectSettings | undefined) {
    super();
    this.host = host;
    this.port = port;
    this.name = name;
    this.#timeout = timeout;
    this.#liveness = liveness;
    this.#reconnect = reconnect;
    this.#ended = new Promise<never>((_, reject) => { this.#endedReject = reject; });
    this.#ended.catch(() => {});
    this.#owner = {
      checkOpen: () => this.#checkOpen(),
      publish: (event, value) => this.#publish(event, value),
      remove: (event) => this.#removeOwn(event),
      ended: this.#ended,
    };
  }

  // The roster and the own events.

  /** The other registered clients by ID, in the order they became known. */
  get clients(): ReadonlyMap<number, RemoteClient> {
    return this.#clients;
  }

  /** The other clients' events by ID, in the order they became known. */
  get events(): ReadonlyMap<number, RemoteEvent> {
    return this.#events;
  }

  /** The events this client created and has not removed, by their current ID. */
  get ownEvents(): ReadonlyMap<number, OwnEvent> {
    return this.#own;
  }

  /** The known events whose "client/event" name matches the pattern. */
  findEvents(pattern: string): RemoteEvent[] {
    const probe = new Subscription([pattern], () => {});
    return [...this.#events.values()].filter((e) => probe.matches(e));
  }

  /**
   * Creates an event of this client's; the other clients are told of it. While
   * a reconnecting client is down, the promise waits until it is back.
   */
  async createEvent(name: string, options: CreateEventOptions = {}): Promise<OwnEvent> {
    const { unit = "", interval = 0, maximum = 255 } = options;
    if (typeof name !== "string" || !name) throw new TypeError("an event needs a name");
    for (const [what, text] of [["the event name", name], ["the unit", unit]]) {
      if (typeof text !== "string") throw new TypeError(`${what} must be a string`);
      if (text.includes("\0")) throw new RangeError(`${what} ${JSON.stringify(text)} holds a character 0`);
    }
    for (const [what, n] of [["interval", interval], ["maximum", maximum]] as const) {
      if (!Number.isInteger(n) || n < -32768 || n > 32767) {
        throw new RangeError(`the ${what} is an integer from -32768 to 32767, not ${String(n)}`);
      }
    }
    const text = protocol.eventText(name, unit);
    if (text.length > MAX_EVENT_TEXT) {
      throw new RangeError(`the event's name and unit take ${text.length} bytes; at most ${MAX_EVENT_TEXT} fit into one frame`);
    }
    this.#checkOpen();
    const event = new OwnEvent(this.#owner, name, unit, interval, maximum, text);
    const created = new Promise<void>((resolve, reject) => this.#created.set(event, { resolve, reject }));
    this.#ownAll.add(event);
    if (this.#ready) this.#sendCreation(event);
    await created;
    return event;
  }

  /**
   * Subscribes to every event, known now or created later, whose "client/event"
   * name matches one of the patterns (shell wildcards; `*` also matches `/`),
   * and returns the Subscription: an async iterator of their values. Values
   * wait in it until they are taken, so close subscriptions you no longer read.
   */
  subscribe(...patterns: string[]): Subscription {
    if (!patterns.length || patterns.some((p) => typeof p !== "string" || !p)) {
      throw new TypeError("subscribe needs one or more patterns such as '*/Temp'");
    }
    this.#checkOpen();
    const subscription = new Subscription(patterns, (s) => this.#dropSubscription(s));
    this.#subscriptions.add(subscription);
    for (const event of this.#events.values()) {
      if (subscription.matches(event)) this.#want(subscription, event);
    }
    return subscription;
  }

  /** The roster's changes from now on, as an async iterator of Change. */
  changes(): Changes {
    this.#checkOpen();
    const feed = new Changes((c) => this.#changeFeeds.delete(c));
    this.#changeFeeds.add(feed);
    return feed;
  }

  // The connection.

  /** Whether the connection is up now (false while a reconnecting client is down). */
  get connected(): boolean {
    return this.#state === "up";
  }

  get closed(): boolean {
    return this.#state === "closed";
  }

  /** Why the client ended; undefined while it lives. */
  get closeReason(): ClosedError | undefined {
    return this.#closeReason;
  }

  /** Resolves when the client has ended, for whatever reason. */
  async waitClosed(): Promise<void> {
    await this.#ended.catch(() => {});
  }

  /**
   * Resolves true once the server has handled everything sent so far (values
   * included), false when the connection went down first.
   */
  async flush(): Promise<boolean> {
    this.#checkOpen();
    return this.#wire && this.#ready ? this.#wire.flushed() : false;
  }

  /**
   * Ends the client: what is queued is sent first, then the connection closes
   * and the server tells the others that this client left. Subscriptions and
   * changes end after handing out what they hold.
   */
  async close(): Promise<void> {
    if (this.#state === "closing" || this.#state === "closed") {
      await this.waitClosed();
      return;
    }
    const wasUp = this.#state === "up";
    this.#state = "closing";
    clearTimeout(this.#retry);
    const reason = new ClosedError(`the connection to ${this.#where()} was closed`);
    this.#closeReason = reason;
    const wire = this.#wire;
    if (wire && wasUp) await wire.close();
    else wire?.destroy(reason); // an attempt in progress learns of it through #lost
    this.#wire = undefined;
    this.#finish(reason, true);
  }

  // Connecting and reconnecting.

  /** @internal The first connection: rejects when it fails. */
  async _open(): Promise<void> {
    try {
      await this.#attempt();
    } catch (e) {
      this.#state = "closed";
      this.#closeReason = e instanceof ClosedError ? e : new ClosedError(String((e as Error).message));
      throw e;
    }
    this.#state = "up";
  }

  /** Connects, registers and creates the own events again; throws when any of it fails. */
  async #attempt(): Promise<void> {
    const deadline = Date.now() + this.#timeout;
    const socket = await openSocket(this.host, this.port, this.#timeout, this.#where());
    if (this.#state === "closing" || this.#state === "closed") {
      socket.destroy();
      throw this.#closeReason!;
    }
    if (this.#liveness) socket.setKeepAlive(true, this.#liveness.idle);
    const wire: Wire = new Wire(socket, this.#where(), {
      frame: (f) => this.#handle(f),
      end: (reason) => this.#lost(wire, reason),
    }, this.#liveness);
    this.#wire = wire;
    this.#state = "registering";
    const registered = new Promise<void>((resolve, reject) => { this.#registered = { resolve, reject }; });
    const timer = setTimeout(() => wire.destroy(new UnreachableError(
      `the server on ${this.#where()} did not complete the registration within ${this.#timeout / 1000} s`)),
      Math.max(0, deadline - Date.now()));
    wire.register(protocol.clientInfoRequest(this.name));
    try {
      await registered;
    } finally {
      clearTimeout(timer);
      this.#registered = undefined;
    }
    // Own events get their IDs again (and those created while down, their first).
    for (const event of this.#ownAll) if (event.id === 0 && !this.#awaitingId.has(event)) this.#sendCreation(event);
    if (this.#awaitingId.size && !(await wire.flushed())) throw new ClosedError("the connection was lost again");
  }

  #lost(wire: Wire, reason: ClosedError): void {
    if (wire !== this.#wire) return;
    this.#wire = undefined;
    this.#ready = false;
    this.#forgetConnection();
    this.#registered?.reject(reason); // an attempt in progress fails with it
    if (this.#state !== "up") return;
    if (this.#reconnect) {
      this.#state = "down";
      this.#scheduleRetry();
      this.emit("down", reason);
    } else {
      this.#finish(reason, false);
    }
  }

  #scheduleRetry(): void {
    const { initialDelay, maxDelay } = this.#reconnect!;
    const delay = Math.min(maxDelay, initialDelay * 2 ** Math.min(this.#attempts, 30));
    this.#attempts++;
    // Spread out, so that the clients of a restarted server do not all come at once.
    this.#retry = setTimeout(() => void this.#retryNow(), delay * (0.8 + 0.4 * Math.random()));
  }

  async #retryNow(): Promise<void> {
    try {
      await this.#attempt();
    } catch {
      if (this.#state === "down" || this.#state === "registering") {
        this.#state = "down";
        this.#scheduleRetry();
      }
      return;
    }
    if (this.#state !== "registering") return;
    this.#attempts = 0;
    this.#state = "up";
    this.emit("up");
  }

  /** What the server kept for the connection is gone with it; the program hears of the roster's end. */
  #forgetConnection(): void {
    for (const client of [...this.#clients.values()]) this.#clientGone(client.id);
    this.#wanted.clear();
    for (const s of this.#subscriptions) for (const e of s.events) s._remove(e.id);
    this.#own.clear();
    this.#creating.clear();
    this.#awaitingId.clear();
    for (const event of this.#ownAll) {
      event.id = 0;
      event._setSubscribers(false);
    }
  }

  #finish(reason: ClosedError, quietly: boolean): void {
    this.#state = "closed";
    this.#closeReason ??= reason;
    for (const event of this.#ownAll) event._setSubscribers(false);
    for (const s of this.#subscriptions) s._end(quietly ? null : reason);
    for (const c of this.#changeFeeds) c._end(quietly ? null : reason);
    for (const { reject } of this.#created.values()) reject(reason);
    this.#created.clear();
    this.#endedReject(reason);
    this.emit("close", quietly ? undefined : reason);
  }

  // Sending.

  #sendCreation(event: OwnEvent): void {
    this.#nextRequest = (this.#nextRequest % 0x7fffffff) + 1;
    const request = this.#nextRequest;
    this.#creating.set(request, event);
    this.#awaitingId.add(event);
    this.#wire!.send(protocol.eventInfoRequest(request, event.interval, event.maximum, event._text), undefined, request);
  }

  #publish(event: OwnEvent, value: number): Promise<boolean> {
    if (!this.#wire || !this.#ready || event.id === 0) return Promise.resolve(false);
    const frame = protocol.eventData(event.id, value);
    return new Promise((resolve) => this.#wire!.send(frame, resolve));
  }

  #removeOwn(event: OwnEvent): void {
    this.#ownAll.delete(event);
    const created = this.#created.get(event);
    if (created) {
      this.#created.delete(event);
      created.reject(new ClosedError(`the event ${JSON.stringify(event.name)} was removed before it was created`));
    }
    if (event.id !== 0) {
      this.#own.delete(event.id);
      this.#wire?.send(protocol.eventRemove(event.id));
    }
    // A creation on its way is undone when its answer comes (#handle).
  }

  #want(subscription: Subscription, event: RemoteEvent): void {
    if (!subscription._add(event)) return;
    const count = (this.#wanted.get(event.id) ?? 0) + 1;
    this.#wanted.set(event.id, count);
    if (count === 1) this.#wire?.send(protocol.eventSubscribe(event.id, true));
  }

  #dropSubscription(subscription: Subscription): void {
    this.#subscriptions.delete(subscription);
    for (const event of subscription.events) {
      subscription._remove(event.id);
      const count = (this.#wanted.get(event.id) ?? 0) - 1;
      if (count > 0) {
        this.#wanted.set(event.id, count);
      } else if (this.#wanted.delete(event.id)) {
        this.#wire?.send(protocol.eventSubscribe(event.id, false));
      }
    }
  }

  // Receiving.

  #handle(f: Frame): void {
    switch (f.type) {
      case FrameType.EventData:
        this.#onValue(f.eventId, f.value);
        break;
      case FrameType.EventSubscribe:
        this.#own.get(f.eventId)?._setSubscribers(f.flag !== 0);
        break;
      case FrameType.ClientInfo: {
        const known = this.#clients.get(f.clientId);
        if (known) {
          known.name = f.name;
        } else {
          const joined = new RemoteClient(f.clientId, f.name);
          this.#clients.set(f.clientId, joined);
          this.#report({ kind: "joined", client: joined });
        }
        break;
      }
      case FrameType.EventInfo:
        this.#onEvent(f);
        break;
      case FrameType.EventRemove:
        this.#forgetEvent(f.eventId, true);
        break;
      case FrameType.ClientGone:
        this.#clientGone(f.clientId);
        break;
      case FrameType.EventCreated: {
        const event = this.#creating.get(f.requestId);
        if (!event) break;
        this.#creating.delete(f.requestId);
        this.#awaitingId.delete(event);
        if (!this.#ownAll.has(event)) {
          this.#wire?.send(protocol.eventRemove(f.eventId)); // removed while it was being created
          break;
        }
        event.id = f.eventId;
        this.#own.set(f.eventId, event);
        const created = this.#created.get(event);
        this.#created.delete(event);
        created?.resolve();
        break;
      }
      case FrameType.ServerInfo:
        this.serverName = f.name;
        this.#ready = true;
        this.#registered?.resolve();
        break;
    }
  }

  #onEvent(f: Extract<Frame, { type: FrameType.EventInfo }>): void {
    let owner = this.#clients.get(f.ownerId);
    if (!owner) {
      // Announced before its owner: the server does not do that, but the event is usable all the same.
      owner = new RemoteClient(f.ownerId, `#${f.ownerId}`);
      this.#clients.set(f.ownerId, owner);
    }
    const event = new RemoteEvent(f.eventId, owner, f.name, f.unit, f.interval, f.maximum);
    this.#forgetEvent(f.eventId, false);
    owner._events.set(f.eventId, event);
    this.#events.set(f.eventId, event);
    this.#report({ kind: "created", client: owner, event });
    // Subscribed within the same read as the announcement, so no value of it is missed.
    for (const s of this.#subscriptions) if (s.matches(event)) this.#want(s, event);
  }

  #onValue(eventId: number, value: number): void {
    const event = this.#events.get(eventId);
    if (!event || !this.#wanted.has(eventId)) return; // unsubscribed meanwhile, or gone
    const v: Value = {
      client: event.client, event: event.name, value, unit: event.unit, time: new Date(),
      eventId, clientId: event.owner.id, path: event.path,
    };
    for (const s of this.#subscriptions) if (s._wants(eventId)) s._put(v);
  }

  #clientGone(clientId: number): void {
    const gone = this.#clients.get(clientId);
    if (!gone) return;
    this.#clients.delete(clientId);
    for (const id of [...gone._events.keys()]) this.#forgetEvent(id, true);
    this.#report({ kind: "left", client: gone });
  }

  #forgetEvent(eventId: number, report: boolean): void {
    const event = this.#events.get(eventId);
    if (!event) return;
    this.#events.delete(eventId);
    event.owner._events.delete(eventId);
    // The server dropped the subscriptions with the event.
    this.#wanted.delete(eventId);
    for (const s of this.#subscriptions) s._remove(eventId);
    if (report) this.#report({ kind: "removed", client: event.owner, event });
  }

  #report(change: Change): void {
    for (const feed of this.#changeFeeds) feed._put(change);
  }

  #checkOpen(): void {
    if (this.#state === "closing" || this.#state === "closed") {
      throw this.#closeReason ?? new ClosedError(`the connection to ${this.#where()} was closed`);
    }
  }

  #where(): string {
    return this.port === protocol.SERVER_PORT ? this.host : `${this.host} port ${this.port}`;
  }
}

export interface Client {
  on(event: "down", listener: (reason: ClosedError) => void): this;
  on(event: "up", listener: () => void): this;
  on(event: "close", listener: (reason: ClosedError | undefined) => void): this;
  once(event: "down", listener: (reason: ClosedError) => void): this;
  once(event: "up", listener: () => void): this;
  once(event: "close", listener: (reason: ClosedError | undefined) => void): this;
}
