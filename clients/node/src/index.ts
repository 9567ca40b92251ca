// A client of the Toruna event-relay server, for Node.js.
//
//   const [server] = await discover();
//   const client = await connect(server.address, { name: "Kitchen", reconnect: true });
//   const temp = await client.createEvent("Temp", { unit: "°C" });
//   await temp.waitForSubscriber();
//   await temp.publish(21);
//
//   for await (const v of client.subscribe("*/Temp")) console.log(v.time, v.path, v.value, v.unit);

export { Changes, Client } from "./client.js";
export { connect } from "./connect.js";
export type { CreateEventOptions } from "./client.js";
export type { ConnectOptions, ReconnectOptions } from "./connect.js";
export { Server, broadcastAddresses, discover } from "./discovery.js";
export type { DiscoverOptions } from "./discovery.js";
export {
  ClosedError, DeadServerError, EncodingError, EventRemovedError, ProtocolError, RefusedError,
  ServerClosedError, TimeoutError, TorunaError, UnreachableError,
} from "./errors.js";
export { OwnEvent } from "./event.js";
export type { WaitOptions } from "./event.js";
export { Feed } from "./feed.js";
export { RemoteClient, RemoteEvent } from "./roster.js";
export type { Change, Value } from "./roster.js";
export { Subscription } from "./subscription.js";
export type { Liveness } from "./wire.js";
export * as protocol from "./protocol.js";
export { decodeText, encodeText } from "./text.js";
