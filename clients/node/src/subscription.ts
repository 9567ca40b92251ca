// A subscription by pattern: the values of every matching event, also of
// events created later, as an async iterator.

import { Feed } from "./feed.js";
import { globToRegExp, type RemoteEvent, type Value } from "./roster.js";

/**
 * Values of the events whose "client/event" name matches one of the patterns.
 *
 * Patterns are shell wildcards (`*`, `?`, `[...]`) and `*` also matches `/`:
 * `"*"` takes every event, `"Lab*"` every event of the clients whose names
 * begin with Lab, and a star followed by `/Temp` every event called Temp.
 *
 * Closing it (also by leaving a `for await` loop) unsubscribes from each event
 * that no other subscription of this client still wants. A subscription of a
 * reconnecting client lives on through an outage: when the connection is
 * back, the matching events are subscribed to again.
 */
export class Subscription extends Feed<Value> {
  readonly patterns: readonly string[];
  readonly #regexps: RegExp[];
  readonly #events = new Map<number, RemoteEvent>();
  readonly #onClose: (s: Subscription) => void;

  /** @internal */
  constructor(patterns: readonly string[], onClose: (s: Subscription) => void) {
    super();
    this.patterns = patterns;
    this.#regexps = patterns.map(globToRegExp);
    this.#onClose = onClose;
  }

  /** Whether the event's "client/event" name matches one of the patterns. */
  matches(event: RemoteEvent): boolean {
    const path = event.path;
    return this.#regexps.some((r) => r.test(path));
  }

  /** The events it is subscribed to now. */
  get events(): RemoteEvent[] {
    return [...this.#events.values()];
  }

  protected override onClose(): void {
    this.#onClose(this);
  }

  /** @internal Whether the event was new to it. */
  _add(event: RemoteEvent): boolean {
    if (this.#events.has(event.id)) return false;
    this.#events.set(event.id, event);
    return true;
  }

  /** @internal */
  _remove(eventId: number): void {
    this.#events.delete(eventId);
  }

  /** @internal */
  _wants(eventId: number): boolean {
    return this.#events.has(eventId);
  }
}
