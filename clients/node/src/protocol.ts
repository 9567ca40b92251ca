// The wire protocol without any I/O: frame builders, a parser of the frames the
// server sends, a stream cutter, and the discovery datagrams. docs/protocol.md
// in the project describes every byte.

import { ProtocolError } from "./errors.js";
import { decodeText, encodeText } from "./text.js";

export const MARKER = 0x2a;
export const HEADER_SIZE = 3;
export const DISCOVERY_PORT = 9666;
export const SERVER_PORT = 13131;
/** The server closes a connection when it finds more unread bytes from it than this. */
export const MAX_ARRIVAL = 2048;
/** The length field is signed 16-bit. */
export const MAX_LENGTH = 32767;

export enum FrameType {
  EventData = 1,
  ClientInfo = 2,
  ClientGone = 3,
  EventInfo = 4,
  EventRemove = 5,
  EventSubscribe = 6,
  EventCreated = 7,
  ServerInfo = 8,
}

function frame(type: FrameType, payloadSize: number): Buffer {
  if (payloadSize + 1 > MAX_LENGTH) {
    throw new RangeError(`a frame carries at most ${MAX_LENGTH - 1} payload bytes, not ${payloadSize}`);
  }
  const f = Buffer.alloc(HEADER_SIZE + 1 + payloadSize);
  f[0] = MARKER;
  f.writeInt16LE(payloadSize + 1, 1);
  f[3] = type;
  return f;
}

/** An event's text on the wire: its name, and a byte 0 and the unit when there is one. */
export function eventText(name: string, unit = ""): Buffer {
  const n = encodeText(name, "the event name");
  return unit ? Buffer.concat([n, Buffer.of(0), encodeText(unit, "the unit")]) : n;
}

// Frames a client sends.

export function eventData(eventId: number, value: number): Buffer {
  const f = frame(FrameType.EventData, 5);
  f.writeInt32LE(eventId, 4);
  f[8] = value;
  return f;
}

export function clientInfoRequest(name: string): Buffer {
  const text = encodeText(name, "the client name");
  const f = frame(FrameType.ClientInfo, text.length);
  text.copy(f, 4);
  return f;
}

export function eventInfoRequest(requestId: number, interval: number, maximum: number, text: Buffer): Buffer {
  const f = frame(FrameType.EventInfo, 8 + text.length);
  f.writeInt32LE(requestId, 4);
  f.writeInt16LE(interval, 8);
  f.writeInt16LE(maximum, 10);
  text.copy(f, 12);
  return f;
}

export function eventRemove(eventId: number): Buffer {
  const f = frame(FrameType.EventRemove, 4);
  f.writeInt32LE(eventId, 4);
  return f;
}

export function eventSubscribe(eventId: number, subscribe: boolean): Buffer {
  const f = frame(FrameType.EventSubscribe, 5);
  f.writeInt32LE(eventId, 4);
  f[8] = subscribe ? 1 : 0;
  return f;
}

/**
 * A value for event 0, which nobody owns: the server answers it with
 * EventSubscribe for event 0, flag 0, once it has handled everything before it.
 */
export const PING: Buffer = eventData(0, 0);

// Frames the server sends, parsed.

export type Frame =
  | { type: FrameType.EventData; eventId: number; value: number }
  | { type: FrameType.ClientInfo; clientId: number; name: string }
  | { type: FrameType.ClientGone; clientId: number }
  | { type: FrameType.EventInfo; ownerId: number; eventId: number; interval: number; maximum: number;
      name: string; unit: string }
  | { type: FrameType.EventRemove; eventId: number }
  | { type: FrameType.EventSubscribe; eventId: number; flag: number }
  | { type: FrameType.EventCreated; requestId: number; eventId: number }
  | { type: FrameType.ServerInfo; name: string };

/** Name and unit of an event's text: the name ends at the first 0, the unit at the next 0 or the end. */
export function splitEventText(text: Uint8Array): { name: string; unit: string } {
  const first = text.indexOf(0);
  if (first < 0) return { name: decodeText(text), unit: "" };
  const rest = text.subarray(first + 1);
  const second = rest.indexOf(0);
  return { name: decodeText(text.subarray(0, first)), unit: decodeText(second < 0 ? rest : rest.subarray(0, second)) };
}

/**
 * One complete frame as the server sends it. Frames longer than their layout are
 * read for the fields this client knows; an unknown type, a frame too short for
 * its type or one of length 0 gives undefined (and is skipped).
 */
export function parseFrame(f: Buffer): Frame | undefined {
  if (f.length < HEADER_SIZE + 1) return undefined;
  const body = f.subarray(4);
  const n = body.length;
  switch (f[3]) {
    case FrameType.EventData:
      return n >= 5 ? { type: FrameType.EventData, eventId: body.readInt32LE(0), value: body[4] } : undefined;
    case FrameType.ClientInfo:
      return n >= 4 ? { type: FrameType.ClientInfo, clientId: body.readInt32LE(0), name: decodeText(body.subarray(4)) }
        : undefined;
    case FrameType.ClientGone:
      return n >= 4 ? { type: FrameType.ClientGone, clientId: body.readInt32LE(0) } : undefined;
    case FrameType.EventInfo:
      return n >= 12 ? {
        type: FrameType.EventInfo, ownerId: body.readInt32LE(0), eventId: body.readInt32LE(4),
        interval: body.readInt16LE(8), maximum: body.readInt16LE(10), ...splitEventText(body.subarray(12)),
      } : undefined;
    case FrameType.EventRemove:
      return n >= 4 ? { type: FrameType.EventRemove, eventId: body.readInt32LE(0) } : undefined;
    case FrameType.EventSubscribe:
      return n >= 5 ? { type: FrameType.EventSubscribe, eventId: body.readInt32LE(0), flag: body[4] } : undefined;
    case FrameType.EventCreated:
      return n >= 8 ? { type: FrameType.EventCreated, requestId: body.readInt32LE(0), eventId: body.readInt32LE(4) }
        : undefined;
    case FrameType.ServerInfo:
      return { type: FrameType.ServerInfo, name: decodeText(body) };
    default:
      return undefined;
  }
}

/** Cuts complete frames out of the bytes received on one connection. */
export class FrameReader {
  #held: Buffer = Buffer.alloc(0);

  /**
   * Where a frame should begin and does not (a wrong marker or a negative
   * length): there is no way back into step then, and nothing more is read.
   */
  lostSync: ProtocolError | undefined;

  /**
   * Takes the bytes and returns every frame they complete, in order: also the
   * frames before a point where sync is lost in the same bytes (then `lostSync`
   * is set), so that nothing the server sent intact is lost with the rest.
   */
  push(data: Buffer): Buffer[] {
    if (this.lostSync) return [];
    const buf = this.#held.length ? Buffer.concat([this.#held, data]) : data;
    const frames: Buffer[] = [];
    let at = 0;
    while (at < buf.length) {
      if (buf[at] !== MARKER) {
        this.lostSync = new ProtocolError(`lost protocol sync: byte ${hex(buf[at])} where a frame should begin`);
        break;
      }
      if (buf.length - at < HEADER_SIZE) break;
      const length = buf.readInt16LE(at + 1);
      if (length < 0) {
        this.lostSync = new ProtocolError(`lost protocol sync: frame length ${length}`);
        break;
      }
      const end = at + HEADER_SIZE + length;
      if (end > buf.length) break;
      frames.push(buf.subarray(at, end));
      at = end;
    }
    // A copy, so that the socket's chunk is not kept alive by a few held bytes.
    this.#held = at < buf.length ? Buffer.from(buf.subarray(at)) : Buffer.alloc(0);
    return frames;
  }
}

function hex(b: number): string {
  return b.toString(16).toUpperCase().padStart(2, "0");
}

// Discovery.

/** Asks every server that receives it to answer at `replyPort` of the sender. */
export function discoveryRequest(replyPort: number): Buffer {
  return Buffer.from(`?${replyPort}!`, "latin1");
}

/** The server's name and its number of registered clients, or undefined for another datagram. */
export function parseDiscoveryReply(d: Buffer): { name: string; clients: number } | undefined {
  if (d.length < 3 || d[0] !== 0x2a || d[1] !== 0x2a || d[2] !== 0x2a) return undefined;
  const nameEnd = d.indexOf(0, 3);
  if (nameEnd < 0) return undefined;
  const countEnd = d.indexOf(0, nameEnd + 1);
  if (countEnd < 0) return undefined;
  const digits = d.toString("latin1", nameEnd + 1, countEnd);
  if (!/^[0-9]{1,15}$/.test(digits)) return undefined;
  return { name: decodeText(d.subarray(3, nameEnd)), clients: Number(digits) };
}
