// One TCP connection to a server: frames in, paced frames out, and a check
// that the server is still there. The Client makes a new Wire for every
// (re)connection and keeps everything that outlives one.
//
// Pacing. The server closes a connection when it finds more than 2048 unread
// bytes from it at once, which a burst of small frames can reach. So at most
// that many bytes are ever on the way unconfirmed. A frame the server answers
// (the registration, answered by ServerInfo; a creation, answered by
// EventCreated; a ping, a value for event 0, answered by "event 0 has no
// subscribers") is a checkpoint: its answer proves that the server has handled
// every byte up to it. A ping goes out after every 1024 bytes without a
// checkpoint, and every other frame leaves room for one ping behind it, so
// that there is always a way to learn when room is free again.

import * as net from "node:net";

import {
  ClosedError, DeadServerError, ProtocolError, RefusedError, ServerClosedError, UnreachableError,
} from "./errors.js";
import { FrameReader, FrameType, MAX_ARRIVAL, PING, parseFrame, type Frame } from "./protocol.js";

export interface Liveness {
  /** Milliseconds without a byte from the server before it is asked for an answer. */
  idle: number;
  /** Milliseconds it then has to answer before the connection counts as dead. */
  timeout: number;
}

export interface WireHandlers {
  /** Every frame the server sends, except the answers to pings. */
  frame(f: Frame): void;
  /** The connection has ended (once); not called for `close()`. */
  end(reason: ClosedError): void;
}

interface Outgoing {
  frame: Buffer;
  /** The request ID of a creation: its EventCreated answers it. */
  create?: number;
  sent?: (ok: boolean) => void;
}

const REGISTER = "register";

export class Wire {
  readonly #socket: net.Socket;
  readonly #where: string;
  readonly #handlers: WireHandlers;
  readonly #reader = new FrameReader();
  #queue: Outgoing[] = [];
  #head = 0;
  #sent = 0;
  #confirmed = 0;
  // Checkpoints not yet answered, oldest first: where each ends, and what answers it.
  #checkpoints: Array<{ offset: number; key: string }> = [];
  #flushes: Array<{ offset: number; done(ok: boolean): void }> = [];
  #drained: Array<() => void> = [];
  #pumping = false;
  #ended = false;
  readonly #liveness: Liveness | undefined;
  #timer: NodeJS.Timeout | undefined;
  #lastHeard = Date.now();
  #probing = false;

  constructor(socket: net.Socket, where: string, handlers: WireHandlers, liveness?: Liveness) {
    this.#socket = socket;
    this.#where = where;
    this.#handlers = handlers;
    this.#liveness = liveness;
    socket.setNoDelay(true);
    socket.on("data", (data: Buffer) => this.#receive(data));
    socket.on("end", () => this.#fail(new ServerClosedError(`the server on ${where} closed the connection`)));
    socket.on("error", (e: NodeJS.ErrnoException) => this.#fail(this.#failure(e)));
    socket.on("close", () => this.#fail(new ServerClosedError(`the server on ${where} closed the connection`)));
    if (liveness) this.#arm(liveness.idle);
  }

  get ended(): boolean {
    return this.#ended;
  }

  /** Sends the registration, which must come first; ServerInfo answers it. */
  register(frame: Buffer): void {
    this.#write(frame);
    this.#checkpoints.push({ offset: this.#sent, key: REGISTER });
  }

  /** Queues a frame; `sent` learns whether it was handed to the socket or dropped with the connection. */
  send(frame: Buffer, sent?: (ok: boolean) => void, create?: number): void {
    if (this.#ended) {
      sent?.(false);
      return;
    }
    this.#queue.push({ frame, sent, create });
    this.#pump();
  }

  /** Resolves true once the server has handled everything queued so far, false if the connection ends first. */
  flushed(): Promise<boolean> {
    return new Promise((resolve) => {
      if (this.#ended) resolve(false);
      else this.#queue.push({ frame: Buffer.alloc(0), sent: resolve });
      this.#pump();
    });
  }

  /**
   * Hands everything queued to the socket, then closes it. A server that
   * stopped answering would hold the queue forever: after `patience` ms what
   * is left is dropped.
   */
  async close(patience = 5000): Promise<void> {
    if (!this.#ended && this.#head < this.#queue.length) {
      let timer: NodeJS.Timeout | undefined;
      await new Promise<void>((resolve) => {
        this.#drained.push(resolve);
        timer = setTimeout(resolve, patience);
      });
      clearTimeout(timer);
    }
    this.#ended = true;
    this.#stop();
    this.#dropQueue();
    if (this.#socket.destroyed) return;
    await new Promise<void>((resolve) => {
      const giveUp = setTimeout(() => this.#socket.destroy(), 2000);
      this.#socket.once("close", () => {
        clearTimeout(giveUp);
        resolve();
      });
      this.#socket.end();
    });
  }

  /** Ends the connection at once, with a reason for the handlers. */
  destroy(reason: ClosedError): void {
    this.#fail(reason);
  }

  #receive(data: Buffer): void {
    this.#lastHeard = Date.now();
    this.#probing = false;
    const frames = this.#reader.push(data);
    for (const raw of frames) {
      if (this.#ended) return;
      const f = parseFrame(raw);
      if (f === undefined) continue;
      if (f.type === FrameType.EventSubscribe && f.eventId === 0 && f.flag === 0) {
        this.#answered("ping");
        continue;
      }
      if (f.type === FrameType.EventCreated) this.#answered(`create ${f.requestId}`);
      else if (f.type === FrameType.ServerInfo) this.#answered(REGISTER);
      this.#handlers.frame(f);
    }
    const lost = this.#reader.lostSync;
    if (lost && !this.#ended) {
      this.#fail(new ProtocolError(`${lost.message} from the server on ${this.#where}; the connection was closed`));
    }
  }

  #answered(key: string): void {
    const i = this.#checkpoints.findIndex((c) => c.key === key);
    if (i < 0) return;
    // The server answers in order: every checkpoint before this one has been answered too.
    this.#confirmed = this.#checkpoints[i].offset;
    this.#checkpoints.splice(0, i + 1);
    while (this.#flushes.length && this.#flushes[0].offset <= this.#confirmed) this.#flushes.shift()!.done(true);
    this.#pump();
  }

  #pump(): void {
    if (this.#pumping || this.#ended) return;
    this.#pumping = true;
    const out: Buffer[] = [];
    while (this.#head < this.#queue.length) {
      const item = this.#queue[this.#head];
      if (item.frame.length === 0) {
        // A flush: it waits for the answer to a checkpoint at the end of what was sent.
        if (this.#lastCheckpoint() !== this.#sent) this.#ping(out);
        if (this.#confirmed >= this.#sent) item.sent!(true);
        else this.#flushes.push({ offset: this.#sent, done: item.sent! });
      } else {
        const reserve = item.create === undefined ? PING.length : 0;
        if (this.#sent - this.#confirmed + item.frame.length + reserve > MAX_ARRIVAL) {
          if (this.#lastCheckpoint() !== this.#sent) this.#ping(out);
          break;
        }
        out.push(item.frame);
        this.#sent += item.frame.length;
        if (item.create !== undefined) {
          this.#checkpoints.push({ offset: this.#sent, key: `create ${item.create}` });
        } else if (this.#sent - this.#lastCheckpoint() >= MAX_ARRIVAL / 2) {
          this.#ping(out);
        }
        item.sent?.(true);
      }
      this.#queue[this.#head++] = undefined as unknown as Outgoing;
    }
    if (this.#head === this.#queue.length) {
      this.#queue = [];
      this.#head = 0;
    }
    if (out.length) this.#socket.write(out.length === 1 ? out[0] : Buffer.concat(out));
    this.#pumping = false;
    if (this.#head === this.#queue.length) this.#drained.splice(0).forEach((f) => f());
  }

  #lastCheckpoint(): number {
    return this.#checkpoints.length ? this.#checkpoints[this.#checkpoints.length - 1].offset : this.#confirmed;
  }

  #ping(out: Buffer[]): void {
    out.push(PING);
    this.#sent += PING.length;
    this.#checkpoints.push({ offset: this.#sent, key: "ping" });
  }

  #write(frame: Buffer): void {
    this.#socket.write(frame);
    this.#sent += frame.length;
  }

  // Liveness: after `idle` ms of silence the server must answer a ping (or a
  // checkpoint already on its way) within `timeout` ms.
  #arm(ms: number): void {
    this.#timer = setTimeout(() => this.#check(), ms);
    this.#timer.unref();
  }

  #check(): void {
    if (this.#ended) return;
    const { idle, timeout } = this.#liveness!;
    const silent = Date.now() - this.#lastHeard;
    if (this.#probing) {
      this.#fail(new DeadServerError(
        `the server on ${this.#where} did not answer for ${Math.round(silent / 1000)} s; the connection was given up`));
    } else if (silent < idle) {
      this.#arm(idle - silent);
    } else {
      this.#probing = true;
      if (!this.#checkpoints.length) {
        const out: Buffer[] = [];
        this.#ping(out);
        this.#socket.write(out[0]);
      }
      this.#arm(timeout);
    }
  }

  #stop(): void {
    clearTimeout(this.#timer);
  }

  #failure(e: NodeJS.ErrnoException): ClosedError {
    if (e.code === "ECONNRESET" || e.code === "EPIPE") {
      return new ServerClosedError(`the server on ${this.#where} reset the connection`, { cause: e });
    }
    if (e.code === "ETIMEDOUT") {
      return new DeadServerError(`the server on ${this.#where} stopped answering (${e.message})`, { cause: e });
    }
    return new ClosedError(`the connection to ${this.#where} failed: ${e.message}`, { cause: e });
  }

  #fail(reason: ClosedError): void {
    if (this.#ended) {
      this.#socket.destroy();
      return;
    }
    this.#ended = true;
    this.#stop();
    this.#socket.destroy();
    this.#dropQueue();
    this.#handlers.end(reason);
  }

  #dropQueue(): void {
    const queued = this.#queue.slice(this.#head);
    this.#queue = [];
    this.#head = 0;
    for (const item of queued) item.sent?.(false);
    this.#flushes.splice(0).forEach((f) => f.done(false));
    this.#drained.splice(0).forEach((f) => f());
  }
}

const UNREACHABLE = new Set(["ENETUNREACH", "EHOSTUNREACH", "EHOSTDOWN", "ETIMEDOUT"]);
const NOT_FOUND = new Set(["ENOTFOUND", "EAI_AGAIN", "EAI_NONAME", "EAI_FAIL"]);

/** A TCP connection over IPv4 (the server listens on nothing else), or the reason there is none. */
export function openSocket(host: string, port: number, timeout: number, where: string): Promise<net.Socket> {
  return new Promise((resolve, reject) => {
    const socket = net.connect({ host, port, family: 4 });
    const timer = setTimeout(() => {
      socket.destroy();
      reject(new UnreachableError(`host ${host} is unreachable: no answer within ${timeout / 1000} s`));
    }, timeout);
    socket.once("connect", () => {
      clearTimeout(timer);
      socket.off("error", onError);
      resolve(socket);
    });
    const onError = (e: NodeJS.ErrnoException) => {
      clearTimeout(timer);
      const code = e.code ?? "";
      if (code === "ECONNREFUSED") {
        reject(new RefusedError(`connection refused by ${where} (no server listening there?)`, { cause: e }));
      } else if (NOT_FOUND.has(code)) {
        reject(new UnreachableError(`host ${host} not found`, { cause: e }));
      } else if (UNREACHABLE.has(code)) {
        reject(new UnreachableError(`host ${host} is unreachable: ${e.message}`, { cause: e }));
      } else {
        reject(new UnreachableError(`cannot connect to ${where}: ${e.message}`, { cause: e }));
      }
    };
    socket.once("error", onError);
  });
}
