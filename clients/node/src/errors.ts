// The errors of the package. Every one derives from TorunaError; `name` is the
// class's name, so that logs and `err.name` checks say which one it is.

export class TorunaError extends Error {
  constructor(message: string, options?: { cause?: unknown }) {
    super(message, options);
    this.name = new.target.name;
  }
}

/** The host answered, but nothing listens on the server's port. */
export class RefusedError extends TorunaError {}

/** The host could not be reached: not found, no route, or no answer in time. */
export class UnreachableError extends TorunaError {}

/** The connection has ended; what was asked cannot be done on it. */
export class ClosedError extends TorunaError {}

/** The server ended the connection: it closed or reset it. */
export class ServerClosedError extends ClosedError {}

/** The server sent bytes that are not a frame; the connection was closed. */
export class ProtocolError extends ClosedError {}

/** The server stopped answering (the connection's liveness check failed). */
export class DeadServerError extends ClosedError {}

/** The event was removed; it can no longer be published or waited on. */
export class EventRemovedError extends TorunaError {}

/** A name or unit holds a character that Windows-1252 lacks; nothing was sent. */
export class EncodingError extends TorunaError {}

/** A wait (`waitForSubscriber`) gave up after its timeout. */
export class TimeoutError extends TorunaError {}
