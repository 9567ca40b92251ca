// An event of this client's own: publish its values, know who listens.

import { EventEmitter } from "node:events";

import { EventRemovedError, TimeoutError } from "./errors.js";

/** What an OwnEvent needs of its client. */
export interface EventOwner {
  /** Throws the connection's error once the client has closed. */
  checkOpen(): void;
  /** Queues a value; resolves false when it was dropped because the connection went down. */
  publish(event: OwnEvent, value: number): Promise<boolean>;
  remove(event: OwnEvent): void;
  /** Rejects with the error that ended the client, once it has ended. */
  readonly ended: Promise<never>;
}

export interface WaitOptions {
  /** Milliseconds; then the promise rejects with TimeoutError. */
  timeout?: number;
  signal?: AbortSignal;
}

/**
 * An event this client created (`Client.createEvent`).
 *
 * The server tells an owner when its event gets its first subscriber and when
 * the last one leaves, so that it needs to publish only while someone listens:
 * `hasSubscribers` follows those notices, `waitForSubscriber()` waits for one,
 * and the event emits `subscribers` (true or false) at each notice.
 *
 * Events: `subscribers` (present: boolean), and `removed` once it is removed.
 */
export class OwnEvent extends EventEmitter {
  /** The server's ID; it changes when the client reconnects, and is 0 while there is none. */
  id = 0;
  #hasSubscribers = false;
  #removed = false;
  readonly #owner: EventOwner;

  /** @internal */
  constructor(
    owner: EventOwner,
    readonly name: string,
    readonly unit: string,
    readonly interval: number,
    readonly maximum: number,
    /** @internal The name and unit as they go on the wire. */
    readonly _text: Buffer,
  ) {
    super();
    this.#owner = owner;
  }

  /** Whether at least one client is subscribed now, as last told by the server. */
  get hasSubscribers(): boolean {
    return this.#hasSubscribers && !this.#removed;
  }

  get removed(): boolean {
    return this.#removed;
  }

  /**
   * Sends one value, 0 to 255, to the event's subscribers. The value goes out
   * whether or not anybody listens (check `hasSubscribers` to save the work).
   * Bad values, a removed event and a closed client throw at once; the promise
   * resolves true once the value has been handed to the connection, or false
   * when it was dropped because the connection was down: nobody could have
   * received it then.
   */
  publish(value: number): Promise<boolean> {
    if (!Number.isInteger(value)) throw new TypeError(`a value is an integer from 0 to 255, not ${String(value)}`);
    if (value < 0 || value > 255) throw new RangeError(`a value is from 0 to 255, not ${value}`);
    this.#checkUsable();
    return this.#owner.publish(this, value);
  }

  /**
   * Resolves as soon as the event has a subscriber (at once when it has one).
   * Rejects with TimeoutError after `timeout` ms, with the signal's reason when
   * it aborts, with EventRemovedError when the event is removed, and with the
   * client's error when it closes. While a reconnecting client is down it
   * simply waits.
   */
  async waitForSubscriber(options: WaitOptions = {}): Promise<void> {
    this.#checkUsable();
    if (this.hasSubscribers) return;
    options.signal?.throwIfAborted();
    let onChange: (() => void) | undefined;
    let onAbort: (() => void) | undefined;
    let timer: NodeJS.Timeout | undefined;
    try {
      await Promise.race([
        this.#owner.ended,
        new Promise<void>((resolve, reject) => {
          onChange = () => {
            if (this.#removed) reject(this.#removedError());
            else if (this.hasSubscribers) resolve();
          };
          this.on("subscribers", onChange);
          this.on("removed", onChange);
          if (options.timeout !== undefined) {
            timer = setTimeout(() => reject(new TimeoutError(
              `nobody subscribed to ${JSON.stringify(this.name)} within ${options.timeout} ms`)), options.timeout);
          }
          if (options.signal) {
            const signal = options.signal;
            onAbort = () => reject(signal.reason);
            signal.addEventListener("abort", onAbort, { once: true });
          }
        }),
      ]);
    } finally {
      clearTimeout(timer);
      if (onChange) {
        this.off("subscribers", onChange);
        this.off("removed", onChange);
      }
      if (onAbort) options.signal!.removeEventListener("abort", onAbort);
    }
  }

  /** Removes the event; the other clients are told. Removing twice does nothing. */
  remove(): void {
    if (this.#removed) return;
    this.#owner.checkOpen();
    this.#removed = true;
    this.#owner.remove(this);
    this.#setSubscribers(false);
    this.emit("removed");
  }

  /** @internal */
  _setSubscribers(present: boolean): void {
    this.#setSubscribers(present);
  }

  #setSubscribers(present: boolean): void {
    const was = this.hasSubscribers;
    this.#hasSubscribers = present;
    // The server repeats its notices; the program hears of changes only.
    if (this.hasSubscribers !== was) this.emit("subscribers", this.hasSubscribers);
  }

  #checkUsable(): void {
    if (this.#removed) throw this.#removedError();
    this.#owner.checkOpen();
  }

  #removedError(): EventRemovedError {
    return new EventRemovedError(`the event ${JSON.stringify(this.name)} was removed`);
  }
}

export interface OwnEvent {
  on(event: "subscribers", listener: (present: boolean) => void): this;
  on(event: "removed", listener: () => void): this;
  once(event: "subscribers", listener: (present: boolean) => void): this;
  once(event: "removed", listener: () => void): this;
}
