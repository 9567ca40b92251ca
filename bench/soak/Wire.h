#pragma once
// The relay's frames as the soak's clients write and read them: marker 42, a
// signed 16-bit little-endian length (type byte plus payload), the type, the
// payload. Written here from the protocol, not taken from the server's code,
// so that the soak checks the server's bytes on its own terms.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace soak {

enum Type : uint8_t {
  kEventData = 1,
  kClientInfo = 2,
  kClientGone = 3,
  kEventInfo = 4,
  kEventRemove = 5,
  kEventSubscribe = 6,
  kEventCreated = 7,
  kServerInfo = 8,
};

// An event nobody owns: a value published on it is answered with
// EventSubscribe flag 0, and since a connection's frames are handled in order,
// that answer says everything sent before it has been handled.
inline constexpr int32_t kNobody = 0x7FFF0000;

inline void Put16(std::vector<uint8_t>& out, int32_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}
inline void Put32(std::vector<uint8_t>& out, int32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF));
}
inline int32_t Get32(const uint8_t* p) {
  return static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
}

// Appends a frame of the given type and payload to out.
inline void AppendFrame(std::vector<uint8_t>& out, uint8_t type, std::span<const uint8_t> payload) {
  out.push_back(42);
  Put16(out, static_cast<int32_t>(payload.size() + 1));
  out.push_back(type);
  out.insert(out.end(), payload.begin(), payload.end());
}

inline void AppendIdFrame(std::vector<uint8_t>& out, uint8_t type, int32_t id, int extra = -1) {
  std::vector<uint8_t> payload;
  Put32(payload, id);
  if (extra >= 0) payload.push_back(static_cast<uint8_t>(extra));
  AppendFrame(out, type, payload);
}

inline void AppendRegistration(std::vector<uint8_t>& out, std::string_view name) {
  AppendFrame(out, kClientInfo, {reinterpret_cast<const uint8_t*>(name.data()), name.size()});
}

inline void AppendCreate(std::vector<uint8_t>& out, int32_t requestId, std::string_view name) {
  std::vector<uint8_t> payload;
  Put32(payload, requestId);
  Put16(payload, 10);   // interval
  Put16(payload, 100);  // max
  payload.insert(payload.end(), name.begin(), name.end());
  payload.push_back(0);
  payload.push_back('u');
  AppendFrame(out, kEventInfo, payload);
}

inline void AppendBarrier(std::vector<uint8_t>& out) { AppendIdFrame(out, kEventData, kNobody, 0); }

// One frame at the front of a byte stream.
struct FrameRef {
  uint8_t type = 0;
  const uint8_t* payload = nullptr;
  size_t size = 0;  // payload bytes
};

enum class Cut { Frame, NeedMore, Broken };

// Looks at the bytes from `at`: a complete frame (and `at` moved past it), not
// enough bytes yet, or a stream that breaks the framing. Frames of length 0
// are skipped.
inline Cut NextFrame(const std::vector<uint8_t>& in, size_t& at, FrameRef& frame) {
  for (;;) {
    if (in.size() - at < 3) return Cut::NeedMore;
    if (in[at] != 42) return Cut::Broken;
    const int length = static_cast<int16_t>(in[at + 1] | (in[at + 2] << 8));
    if (length < 0) return Cut::Broken;
    if (in.size() - at < 3 + static_cast<size_t>(length)) return Cut::NeedMore;
    if (length == 0) {
      at += 3;
      continue;
    }
    frame.type = in[at + 3];
    frame.payload = in.data() + at + 4;
    frame.size = static_cast<size_t>(length - 1);
    at += 3 + static_cast<size_t>(length);
    return Cut::Frame;
  }
}

}  // namespace soak
