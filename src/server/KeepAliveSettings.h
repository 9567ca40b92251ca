#pragma once
// How soon the server notices a client that has vanished without closing its
// connection: the keys KeepAliveIdle, KeepAliveInterval, KeepAliveCount (TCP
// keepalive) and UserTimeout (data left unacknowledged), all in seconds but
// the count, in the [Toruna] section of the settings file. A key that is
// missing keeps its default; one that is not a whole number in its range keeps
// its default too, and says so in Problems().

#include <string>
#include <vector>

#include "net/CNetSocket.h"

namespace toruna::server {

class clsSettings;

class KeepAliveSettings {
 public:
  static KeepAliveSettings Read(const clsSettings& settings);

  const net::KeepAlive& Values() const { return values_; }
  // One sentence per value that was not taken, e.g.
  // "KeepAliveIdle=soon in the settings file is not a whole number from 0 to 32767; 30 is used".
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  net::KeepAlive values_;
  std::vector<std::string> problems_;
};

}  // namespace toruna::server
