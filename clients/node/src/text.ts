// Text on the wire is Windows-1252, one byte per character. The five bytes the
// code page leaves unassigned (81, 8D, 8F, 90, 9D) stand for the control
// characters of the same number, as the server reads them, so every byte
// sequence decodes and every decoded text encodes back to the same bytes.

import { EncodingError } from "./errors.js";

// 0x80..0x9F; everything else is the code point of the same number.
const HIGH = [
  0x20ac, 0x81, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021,
  0x02c6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8d, 0x017d, 0x8f,
  0x90, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022, 0x2013, 0x2014,
  0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x9d, 0x017e, 0x0178,
];

const DECODING: string[] = [];
const ENCODING = new Map<number, number>();
for (let b = 0; b < 256; b++) {
  const code = b >= 0x80 && b < 0xa0 ? HIGH[b - 0x80] : b;
  DECODING.push(String.fromCharCode(code));
  ENCODING.set(code, b);
}

/** Windows-1252 bytes to text; never fails. */
export function decodeText(bytes: Uint8Array): string {
  let out = "";
  for (const b of bytes) out += DECODING[b];
  return out;
}

/**
 * Text to Windows-1252 bytes. `what` names the text in the error message
 * ("the client name"); EncodingError names the first character that cannot go.
 */
export function encodeText(text: string, what = "the text"): Buffer {
  const out = Buffer.alloc(text.length);
  let n = 0;
  for (const ch of text) {
    const code = ch.codePointAt(0)!;
    const b = ENCODING.get(code);
    if (b === undefined) {
      const hex = code.toString(16).toUpperCase().padStart(4, "0");
      throw new EncodingError(
        `${what} ${JSON.stringify(text)} cannot be sent: "${ch}" (U+${hex}) is not a Windows-1252 character`);
    }
    out[n++] = b;
  }
  return out.subarray(0, n);
}

/** Whether the character can travel (used to make a default name sendable). */
export function encodable(ch: string): boolean {
  return ENCODING.has(ch.codePointAt(0)!);
}
