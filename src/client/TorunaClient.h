#pragma once
// The Toruna client library: everything a program needs to find servers on
// the local network and to publish and subscribe through one.
//
//   #include <toruna/client/TorunaClient.h>
//   c++ -std=c++20 app.cpp $(pkg-config --cflags --libs toruna-client)
//   or in CMake: find_package(toruna) and target_link_libraries(app toruna::client)
//
// Finding servers (Discovery.h):
//   for (const FoundServer& s : Discover(std::chrono::seconds(1))) ...  // s.address, s.name, s.clients
//   It broadcasts on every local network (255.255.255.255 and each network's
//   own broadcast address) and lists each server once; empty when none answered.
//   Discover(timeout, {"10.0.0.5"}) asks those addresses instead of broadcasting.
//
// Talking to one (Connection.h, with the calls of ClientProtocol.h):
//   toruna::client::Connection c;                      // on the process-wide loop
//   c.OnRegistered = [](const std::string& server) {}; // the roster is complete
//   c.OnValue = [](const Value& v) {};                 // v.client, v.event.name, v.event.unit, v.value, v.arrived
//   c.SetReconnect(Connection::Reconnect{});           // come back by itself after a loss:
//   c.OnDown = [](const Ending& e, std::chrono::milliseconds retryIn) {};
//   c.OnBack = [](const std::string& server) {};       // same name, own events and subscriptions again
//   c.OnEnded = [](const Ending& e) {};                // without reconnection: e.reason, e.message
//   c.Subscribe("*/temperature");                      // every matching event, also later ones
//   int32_t h = c.CreateEvent("level", "cm");          // an own event, by handle
//   c.OnSubscribers = [&](const OwnEvent& e) {};       // e.hasSubscribers changed
//   c.Open("10.0.0.5", "tank-sensor");                 // connect and register
//   c.Publish(h, 42);                                  // once OnEventReady has come
//   c.Loop().Run();                                    // or watch c.Loop().Fd() in your own loop
//                                                      // and call c.Loop().ProcessReady()
//
// Rules that hold throughout:
// - One thread. Callbacks run on the loop's thread, from inside Run or
//   ProcessReady; they may call the library, but not destroy the object that
//   called them (leave that to Loop().Defer).
// - Text is UTF-8 std::string. On the wire it is Windows-1252: a name or unit
//   with a character that code page lacks throws TextError before anything is
//   sent.
// - A publisher should publish only while OnSubscribers says somebody listens:
//   the server drops values nobody subscribed to.
// - Sending is paced, so that a burst cannot overrun the server's 2048-byte
//   limit: frames wait in a queue (Queued()) and leave in order.
// - A server that vanishes without a word (power lost, cable pulled) is
//   noticed by TCP keepalive within about two minutes (SetKeepAlive).

#include "client/ClientProtocol.h"
#include "client/Connection.h"
#include "client/Discovery.h"
#include "client/NamePatterns.h"
#include "client/Roster.h"
#include "client/SendWindow.h"
#include "client/Ending.h"
#include "client/WireText.h"
#include "loop/EventLoop.h"
