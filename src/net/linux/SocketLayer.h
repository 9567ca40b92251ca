#pragma once
// The socket layer put together for a program on Linux: an event loop, the Linux
// platform and a scheduler over it, and a dispatcher over those. Programs make one
// at start-up; the client library's default constructors use the process-wide one
// (Default), so that a program built on it needs no set-up of its own.
// This class owns them all; sockets made on it must go before it does.

#include "loop/EventLoop.h"
#include "net/linux/LinuxPlatform.h"
#include "net/linux/LoopScheduler.h"
#include "net/modNetSocket.h"

namespace toruna::net {

class SocketLayer {
 public:
  // Throws std::system_error when the loop cannot be made.
  SocketLayer();
  SocketLayer(const SocketLayer&) = delete;
  SocketLayer& operator=(const SocketLayer&) = delete;

  // The process-wide layer, made on first use and kept until the program ends.
  static SocketLayer& Default();

  loop::EventLoop& Loop() { return loop_; }
  modNetSocket& Dispatcher() { return dispatcher_; }

 private:
  // In this order: each is built on the one before and goes before it.
  loop::EventLoop loop_;
  LinuxPlatform platform_;
  LoopScheduler scheduler_;
  modNetSocket dispatcher_;
};

}  // namespace toruna::net
