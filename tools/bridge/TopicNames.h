#pragma once
// Where the bridge puts a server's traffic in MQTT, and how names become
// topic levels.
//
//   PREFIX/SERVER/status               online / offline (retained)
//   PREFIX/SERVER/CLIENT/EVENT         each value, as decimal text
//   PREFIX/SERVER/CLIENT/EVENT/meta    the event's description (retained JSON)
//   PREFIX/SERVER/BRIDGE/EVENT/set     values for the bridge's own events
//
// A name becomes one level: it is UTF-8 as it is, except that '%' and what
// MQTT reserves or brokers refuse in a topic ('/', '+', '#', NUL and the
// other control characters) are written as '%' and two hex digits per byte
// of their UTF-8 ("a/b" is "a%2Fb", "100%" is "100%25"). Unescape reverses it.

#include <optional>
#include <string>
#include <string_view>

namespace toruna::bridge {

class TopicNames {
 public:
  // prefix is checked already (CheckPrefix); server is the server's name.
  TopicNames(std::string prefix, const std::string& server);

  static std::string Escape(std::string_view name);
  // nullopt for a '%' not followed by two hex digits.
  static std::optional<std::string> Unescape(std::string_view level);
  // Why a prefix cannot be used, or nullopt when it can: it is one or more
  // levels, none empty, without '+', '#' or NUL, and does not begin with '$'
  // (the brokers' own topics).
  static std::optional<std::string> CheckPrefix(std::string_view prefix);

  const std::string& Base() const { return base_; }  // PREFIX/SERVER
  std::string Status() const;
  std::string Value(std::string_view client, std::string_view event) const;
  std::string Meta(std::string_view client, std::string_view event) const;
  std::string Set(std::string_view client, std::string_view event) const;
  // Filters for the bridge's subscriptions: the set topics of the bridge's
  // own events, and every meta topic of this server.
  std::string SetFilter(std::string_view bridgeName) const;
  std::string MetaFilter() const;

  struct EventPath {
    std::string client;
    std::string event;
  };
  // The event a set topic names for the bridge, or nullopt when the topic is
  // not one of those.
  std::optional<std::string> ParseSet(std::string_view topic, std::string_view bridgeName) const;
  // The event a meta topic describes, or nullopt.
  std::optional<EventPath> ParseMeta(std::string_view topic) const;

 private:
  // The levels that follow Base() and end with `last`: CLIENT/EVENT/last.
  std::optional<EventPath> ParseTail(std::string_view topic, std::string_view last) const;

  std::string base_;
};

}  // namespace toruna::bridge
