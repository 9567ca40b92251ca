// The Toruna nodes: a config node that holds one connection to a server for
// the nodes that use it, "toruna in" (the values of the events matching a
// pattern, as messages) and "toruna out" (messages become values of an event
// of the connection's own).
"use strict";

// The client is an ES module; CommonJS takes it with a dynamic import.
const loadClient = () => import("toruna");

const STATUS = {
  connecting: { fill: "yellow", shape: "ring", text: "connecting" },
  connected: { fill: "green", shape: "dot", text: "connected" },
  disconnected: { fill: "red", shape: "ring", text: "disconnected" },
};

/** A message's payload as a value (0 to 255), or undefined when it is none. */
function toValue(payload) {
  if (typeof payload === "boolean") return payload ? 1 : 0;
  const n = typeof payload === "string" && /^\s*\d+\s*$/.test(payload) ? Number(payload) : payload;
  return Number.isInteger(n) && n >= 0 && n <= 255 ? n : undefined;
}

/** A number field of the editor, or the fallback when it is empty. */
function numberField(text, fallback) {
  return text === undefined || String(text).trim() === "" ? fallback : Number(text);
}

module.exports = function (RED) {
  function TorunaServerNode(config) {
    RED.nodes.createNode(this, config);
    const node = this;
    const host = (config.host || "").trim();
    const port = numberField(config.port, 13131);
    const name = (config.clientName || "").trim() || "node-red";
    const users = new Set();
    let state = "connecting";
    let client;
    let closing = false;
    let retry;
    let delay = 1000;
    let warned = false;

    function setState(next, why) {
      state = next;
      const status = why ? { ...STATUS[next], text: `${STATUS[next].text}: ${why}` } : STATUS[next];
      for (const user of users) user.status(status);
    }

    // The library reconnects by itself once connected; until the first
    // connection (the server may start after Node-RED) this node keeps trying.
    node.ready = new Promise((resolve) => {
      async function attempt() {
        if (closing) return;
        try {
          const toruna = await loadClient();
          let address = host;
          if (!address) {
            const [found] = await toruna.discover();
            if (!found) throw new Error("no server answered the discovery");
            address = found.address;
          }
          const connected = await toruna.connect(address, { name, port, reconnect: true });
          if (closing) {
            await connected.close();
            return;
          }
          client = connected;
          client.on("down", (reason) => {
            node.warn(`connection lost: ${reason.message}; reconnecting`);
            setState("disconnected");
          });
          client.on("up", () => {
            node.log(`connected again to "${client.serverName}"`);
            setState("connected");
          });
          node.log(`connected to "${client.serverName}" on ${address} as ${name}`);
          setState("connected");
          resolve(client);
        } catch (e) {
          if (!warned) node.warn(`${e.message}; trying again`);
          warned = true;
          setState("connecting", e.message);
          retry = setTimeout(attempt, delay);
          delay = Math.min(delay * 2, 30000);
        }
      }
      attempt();
    });

    node.register = (user) => {
      users.add(user);
      user.status(STATUS[state]);
    };
    node.deregister = (user) => users.delete(user);

    node.on("close", (removed, done) => {
      closing = true;
      clearTimeout(retry);
      (client ? client.close() : Promise.resolve()).then(() => done(), () => done());
    });
  }
  RED.nodes.registerType("toruna-server", TorunaServerNode);

  function TorunaInNode(config) {
    RED.nodes.createNode(this, config);
    const node = this;
    const server = RED.nodes.getNode(config.server);
    const pattern = (config.pattern || "").trim() || "*";
    if (!server) {
      node.status({ fill: "red", shape: "ring", text: "no server configured" });
      return;
    }
    let subscription;
    let closed = false;
    server.register(node);
    server.ready.then(async (client) => {
      if (closed) return;
      subscription = client.subscribe(pattern);
      try {
        for await (const v of subscription) {
          node.send({
            topic: v.path, payload: v.value, client: v.client, event: v.event, unit: v.unit, time: v.time.getTime(),
          });
        }
      } catch (e) {
        node.error(`the subscription to ${pattern} ended: ${e.message}`);
      }
    });
    node.on("close", (removed, done) => {
      closed = true;
      if (subscription) subscription.close();
      server.deregister(node);
      done();
    });
  }
  RED.nodes.registerType("toruna in", TorunaInNode);

  function TorunaOutNode(config) {
    RED.nodes.createNode(this, config);
    const node = this;
    const server = RED.nodes.getNode(config.server);
    const name = (config.event || "").trim();
    if (!server || !name) {
      node.status({ fill: "red", shape: "ring", text: server ? "no event name" : "no server configured" });
      return;
    }
    let event;
    let closed = false;
    server.register(node);
    server.ready
      .then((client) => client.createEvent(name, {
        unit: config.unit || "", interval: numberField(config.interval, 0), maximum: numberField(config.maximum, 255),
      }))
      .then((created) => {
        if (closed) created.remove();
        else event = created;
      })
      .catch((e) => {
        if (!closed) node.error(`cannot create the event ${name}: ${e.message}`);
      });

    node.on("input", (msg, send, done) => {
      const value = toValue(msg.payload);
      if (value === undefined) {
        done(new Error(`msg.payload must be an integer from 0 to 255, not ${JSON.stringify(msg.payload)}`));
        return;
      }
      // Before the event exists nobody can be subscribed to it: the value would reach nobody.
      if (!event) {
        done();
        return;
      }
      try {
        event.publish(value).then(() => done(), done);
      } catch (e) {
        done(e);
      }
    });
    node.on("close", (removed, done) => {
      closed = true;
      server.deregister(node);
      try {
        if (event && !event.removed) event.remove();
      } catch {
        // The connection has ended already; the event went with it.
      }
      done();
    });
  }
  RED.nodes.registerType("toruna out", TorunaOutNode);
};
