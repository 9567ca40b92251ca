// What a client knows of the others: their names, their events, their values.

/** Another client registered with the same server. */
export class RemoteClient {
  /** @internal */
  readonly _events = new Map<number, RemoteEvent>();

  constructor(readonly id: number, public name: string) {}

  /** Its events, in the order they were announced. */
  get events(): RemoteEvent[] {
    return [...this._events.values()];
  }
}

/**
 * An event of another client. `interval` and `maximum` are what the owner
 * gave; the server passes them on without interpreting them.
 */
export class RemoteEvent {
  constructor(
    readonly id: number,
    readonly owner: RemoteClient,
    readonly name: string,
    readonly unit: string,
    readonly interval: number,
    readonly maximum: number,
  ) {}

  /** The owner's name. */
  get client(): string {
    return this.owner.name;
  }

  /** "client/event", the name that subscription patterns match. */
  get path(): string {
    return `${this.owner.name}/${this.name}`;
  }
}

/** One value received from a subscribed event. */
export interface Value {
  /** The owner's name. */
  readonly client: string;
  /** The event's name. */
  readonly event: string;
  /** 0 to 255. */
  readonly value: number;
  readonly unit: string;
  /** When it arrived. */
  readonly time: Date;
  readonly eventId: number;
  readonly clientId: number;
  /** "client/event". */
  readonly path: string;
}

/**
 * A change of the roster: a client that `joined` or `left`, or an event that
 * was `created` or `removed` (`event`, with its owner as `client`). A departed
 * client's events are reported removed before it left.
 */
export type Change =
  | { readonly kind: "joined" | "left"; readonly client: RemoteClient; readonly event?: undefined }
  | { readonly kind: "created" | "removed"; readonly client: RemoteClient; readonly event: RemoteEvent };

/**
 * A shell wildcard as a regular expression: `*` any text (`/` included), `?` one
 * character, `[abc]`, `[a-z]` and `[!abc]` one of a set; everything else stands
 * for itself. An unclosed `[` is an ordinary character.
 */
export function globToRegExp(pattern: string): RegExp {
  let re = "";
  for (let i = 0; i < pattern.length; i++) {
    const c = pattern[i];
    if (c === "*") {
      re += "[\\s\\S]*";
    } else if (c === "?") {
      re += "[\\s\\S]";
    } else if (c === "[") {
      let j = i + 1;
      if (pattern[j] === "!") j++;
      if (pattern[j] === "]") j++;
      while (j < pattern.length && pattern[j] !== "]") j++;
      if (j >= pattern.length) {
        re += "\\[";
        continue;
      }
      let body = pattern.slice(i + 1, j);
      let negate = false;
      if (body.startsWith("!")) {
        negate = true;
        body = body.slice(1);
      }
      re += (negate ? "[^" : "[") + body.replace(/[\\^[\]]/g, "\\$&") + "]";
      i = j;
    } else {
      re += c.replace(/[.*+?^${}()|[\]\\/]/g, "\\$&");
    }
  }
  return new RegExp(`^${re}$`);
}
