#include "MqttProtocol.h"

#include <string>

namespace loadgen {
namespace {

constexpr char kTopic = 't';

void AppendRemainingLength(std::string& s, size_t len) {
  do {
    uint8_t b = len % 128;
    len /= 128;
    if (len > 0) b |= 0x80;
    s.push_back(static_cast<char>(b));
  } while (len > 0);
}

}  // namespace

void MqttProtocol::Start(Connection& c) {
  const std::string id = (c.isPublisher ? "pub" : "c") + std::to_string(c.index);
  std::string body = {0, 4, 'M', 'Q', 'T', 'T', 4, 0x02 /* clean session */, 0, 0 /* no keep-alive */};
  body.push_back(static_cast<char>(id.size() >> 8));
  body.push_back(static_cast<char>(id.size() & 0xff));
  body += id;
  std::string packet(1, '\x10');
  AppendRemainingLength(packet, body.size());
  c.Append(packet + body);
}

void MqttProtocol::Subscribe(Connection& c) {
  // packet id 1, topic "t", requested QoS 0
  static const uint8_t kSubscribe[] = {0x82, 6, 0, 1, 0, 1, kTopic, 0};
  c.Append(kSubscribe, sizeof kSubscribe);
}

void MqttProtocol::Own(Connection& c) {
  std::string topic(1, 'o');  // not `"o" + ...`: GCC 12 warns falsely on it
  topic += std::to_string(c.index);
  std::string p = {'\x82', static_cast<char>(5 + topic.size()), 0, 2, 0,
                   static_cast<char>(topic.size())};
  p += topic;
  p.push_back(0);  // QoS 0
  c.Append(p);
}

void MqttProtocol::Publish(Connection& c, uint8_t value) {
  const uint8_t p[] = {0x30, 4, 0, 1, kTopic, value};
  c.Append(p, sizeof p);
}

long MqttProtocol::Parse(Connection& c, const uint8_t* data, size_t n, SignalSink& sink) {
  size_t pos = 0;
  while (n - pos >= 2) {
    const uint8_t* p = data + pos;
    const size_t avail = n - pos;
    size_t len = 0, hdr = 1;
    bool complete = false;
    for (int shift = 0; hdr < avail && hdr <= 4; shift += 7) {
      const uint8_t b = p[hdr++];
      len |= static_cast<size_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) { complete = true; break; }
    }
    if (!complete) {
      if (hdr > 4) return -1;  // a remaining length of more than 4 bytes
      break;
    }
    if (avail < hdr + len) break;
    const uint8_t* body = p + hdr;
    switch (p[0] >> 4) {
      case 2:  // CONNACK: session-present flag, return code
        if (len < 2 || body[1] != 0) return -1;
        sink.OnSignal(c, Signal::Registered, 0);
        break;
      case 9:  // SUBACK: packet id, granted QoS
        if (len < 3 || body[2] == 0x80) return -1;
        sink.OnSignal(c, body[1] == 2 ? Signal::Owned : Signal::Subscribed, 0);
        break;
      case 3: {  // PUBLISH at QoS 0: topic length, topic, payload
        if (len < 2) return -1;
        const size_t topicLen = static_cast<size_t>(body[0] << 8 | body[1]);
        size_t payloadAt = 2 + topicLen + (((p[0] >> 1) & 3) ? 2 : 0);
        if (payloadAt >= len) return -1;
        sink.OnSignal(c, Signal::Delivery, body[payloadAt]);
        break;
      }
      default:  // PINGRESP and anything else carries nothing for us
        break;
    }
    pos += hdr + len;
  }
  return static_cast<long>(pos);
}

}  // namespace loadgen
