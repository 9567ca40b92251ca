#pragma once
// Where the bridge puts a server's traffic in MQTT, and how names become
// topic levels.
//
//   PREFIX/SERVER/status               online / offline (retained)
//   PREFIX/SERVER/CLIENT/EVENT         each value, as decimal text
//   PREFIX/SERVER/CLIENT/EVENT/meta    the event's description (retained JSON)
//   PREFIX/SERVER/CLIENT/EVENT/available  online / offline (retained; Home Assistant)
//   PREFIX/SERVER/BRIDGE/EVENT/set     values for the bridge's own events
//   PREFIX/SERVER/forget               "client/event" patterns to forget
//
// A name becomes one level: it is UTF-8 as it is, except that '%' and what
// MQTT reserves or brokers refuse in a topic ('/', '+', '#', NUL and the
// other control characters) are written as '%' and two hex digits per byte
// of their UTF-8 ("a/b" is "a%2Fb", "100%" is "100%25"). NATS maps topic
// levels onto its subjects, whose separator is '.' and which hold no blanks or
// wildcards: its profile also writes ' ', '.', '*' and '>' so. Unescape
// reverses either.

#include <optional>
#include <string>
#include <string_view>

namespace toruna::bridge {

enum class BrokerProfile { Standard, Nats };

class TopicNames {
 public:
  // prefix is checked already (CheckPrefix); server is the server's name.
  TopicNames(std::string prefix, const std::string& server,
             BrokerProfile profile = BrokerProfile::Standard);

  static std::string Escape(std::string_view name, BrokerProfile profile = BrokerProfile::Standard);
  // nullopt for a '%' not followed by two hex digits.
  static std::optional<std::string> Unescape(std::string_view level);
  // Why a prefix cannot be used, or nullopt when it can: it is one or more
  // levels, none empty, without '+', '#' or NUL, and does not begin with '$'
  // (the brokers' own topics).
  static std::optional<std::string> CheckPrefix(std::string_view prefix,
                                                BrokerProfile profile = BrokerProfile::Standard);

  const std::string& Base() const { return base_; }  // PREFIX/SERVER
  std::string Status() const;
  std::string Value(std::string_view client, std::string_view event) const;
  std::string Meta(std::string_view client, std::string_view event) const;
  std::string Set(std::string_view client, std::string_view event) const;
  std::string Available(std::string_view client, std::string_view event) const;
  std::string Forget() const;
  // Filters for the bridge's subscriptions: the set topics of the bridge's
  // own events, and every meta and availability topic of this server.
  std::string SetFilter(std::string_view bridgeName) const;
  std::string MetaFilter() const;
  std::string AvailableFilter() const;

  struct EventPath {
    std::string client;
    std::string event;
  };
  // The event a set topic names for the bridge, or nullopt when the topic is
  // not one of those.
  std::optional<std::string> ParseSet(std::string_view topic, std::string_view bridgeName) const;
  // The event a meta topic describes, or nullopt.
  std::optional<EventPath> ParseMeta(std::string_view topic) const;
  std::optional<EventPath> ParseAvailable(std::string_view topic) const;

 private:
  // The levels that follow Base() and end with `last`: CLIENT/EVENT/last.
  std::optional<EventPath> ParseTail(std::string_view topic, std::string_view last) const;

  BrokerProfile profile_;
  std::string base_;
};

}  // namespace toruna::bridge
