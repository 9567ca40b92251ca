#include "TopicNames.h"

namespace toruna::bridge {

namespace {

const char kHex[] = "0123456789ABCDEF";

void PutEscaped(std::string& out, unsigned char byte) {
  out += '%';
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

TopicNames::TopicNames(std::string prefix, const std::string& server, BrokerProfile profile)
    : profile_(profile), base_(std::move(prefix) + "/" + Escape(server, profile)) {}

std::string TopicNames::Escape(std::string_view name, BrokerProfile profile) {
  const bool nats = profile == BrokerProfile::Nats;
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    const auto b = static_cast<unsigned char>(name[i]);
    if (b == '%' || b == '/' || b == '+' || b == '#' || b < 0x20 || b == 0x7F ||
        (nats && (b == ' ' || b == '.' || b == '*' || b == '>'))) {
      PutEscaped(out, b);
    } else if (b == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(name[i + 1]) <= 0x9F) {
      // U+0080 to U+009F, the C1 controls, which brokers refuse as well.
      PutEscaped(out, b);
      PutEscaped(out, static_cast<unsigned char>(name[++i]));
    } else {
      out += static_cast<char>(b);
    }
  }
  return out;
}

std::optional<std::string> TopicNames::Unescape(std::string_view level) {
  std::string out;
  out.reserve(level.size());
  for (size_t i = 0; i < level.size(); ++i) {
    if (level[i] != '%') {
      out += level[i];
      continue;
    }
    if (i + 2 >= level.size()) return std::nullopt;
    const int hi = HexValue(level[i + 1]);
    const int lo = HexValue(level[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

std::optional<std::string> TopicNames::CheckPrefix(std::string_view prefix, BrokerProfile profile) {
  if (prefix.empty()) return "the prefix must not be empty";
  if (profile == BrokerProfile::Nats && prefix.find_first_of(" .*>") != std::string_view::npos) {
    return "NATS takes no ' ', '.', '*' or '>' in a topic";
  }
  if (prefix.front() == '$') return "the prefix must not begin with '$' (the brokers' own topics)";
  if (prefix.find_first_of(std::string_view("+#\0", 3)) != std::string_view::npos) {
    return "the prefix must not hold '+', '#' or NUL";
  }
  if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string_view::npos) {
    return "the prefix must not have empty levels (a leading, trailing or double '/')";
  }
  return std::nullopt;
}

std::string TopicNames::Status() const { return base_ + "/status"; }

std::string TopicNames::Value(std::string_view client, std::string_view event) const {
  return base_ + "/" + Escape(client, profile_) + "/" + Escape(event, profile_);
}

std::string TopicNames::Meta(std::string_view client, std::string_view event) const {
  return Value(client, event) + "/meta";
}

std::string TopicNames::Set(std::string_view client, std::string_view event) const {
  return Value(client, event) + "/set";
}

std::string TopicNames::Available(std::string_view client, std::string_view event) const {
  return Value(client, event) + "/available";
}

std::string TopicNames::Forget() const { return base_ + "/forget"; }

std::string TopicNames::SetFilter(std::string_view bridgeName) const {
  return base_ + "/" + Escape(bridgeName, profile_) + "/+/set";
}

std::string TopicNames::MetaFilter() const { return base_ + "/+/+/meta"; }

std::string TopicNames::AvailableFilter() const { return base_ + "/+/+/available"; }

std::optional<TopicNames::EventPath> TopicNames::ParseTail(std::string_view topic,
                                                           std::string_view last) const {
  if (topic.size() <= base_.size() + 1 || topic.substr(0, base_.size()) != base_ ||
      topic[base_.size()] != '/') {
    return std::nullopt;
  }
  std::string_view rest = topic.substr(base_.size() + 1);
  const size_t a = rest.find('/');
  if (a == std::string_view::npos) return std::nullopt;
  const size_t b = rest.find('/', a + 1);
  if (b == std::string_view::npos || rest.substr(b + 1) != last) return std::nullopt;
  auto client = Unescape(rest.substr(0, a));
  auto event = Unescape(rest.substr(a + 1, b - a - 1));
  if (!client || !event) return std::nullopt;
  return EventPath{*client, *event};
}

std::optional<std::string> TopicNames::ParseSet(std::string_view topic,
                                                std::string_view bridgeName) const {
  auto path = ParseTail(topic, "set");
  if (!path || path->client != bridgeName) return std::nullopt;
  return path->event;
}

std::optional<TopicNames::EventPath> TopicNames::ParseMeta(std::string_view topic) const {
  return ParseTail(topic, "meta");
}

std::optional<TopicNames::EventPath> TopicNames::ParseAvailable(std::string_view topic) const {
  return ParseTail(topic, "available");
}

}  // namespace toruna::bridge
