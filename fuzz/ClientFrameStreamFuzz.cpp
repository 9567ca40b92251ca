// The client library's frame stream and roster fed whatever a server (or
// something posing as one) might send, split into reads of any size. Input:
// reads, each a 16-bit size followed by that many bytes.
// Checked against a flat reading of the same stream: the frames handed over
// are the frames in the stream, in order, and nothing more once the framing is
// lost. Each frame then goes to the roster, which must say what it changed in
// keeping with the frame's type and length, and stay consistent: a departed
// client is gone with all its events, a removed event is gone, and the roster
// is complete once the server's name has come.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "FuzzInput.h"
#include "ReferenceFrames.h"
#include "client/FrameStream.h"
#include "client/Roster.h"

using namespace toruna;
using fuzz::FuzzInput;

namespace {

// The smallest length at which the roster reads a frame of each type.
int MinimumLength(uint8_t type) {
  switch (type) {
    case protocol::EventData: return 6;
    case protocol::ClientInfo: return 5;
    case protocol::ClientGone: return 5;
    case protocol::EventInfo: return 13;
    case protocol::EventRemove: return 5;
    case protocol::EventSubscribe: return 6;
    case protocol::EventCreated: return 9;
    case protocol::ServerInfo: return 1;
    default: return -1;
  }
}

void CheckChange(const client::Roster& roster, const protocol::FrameView& frame,
                 const client::RosterChange& c) {
  const uint8_t type = frame.Type();
  const int minimum = MinimumLength(type);
  const bool read = minimum >= 0 && frame.Length() >= minimum;
  FUZZ_CHECK((c.kind == client::ChangeKind::Ignored) == !read, "a frame read or ignored wrongly");
  switch (c.kind) {
    case client::ChangeKind::ClientGone:
      FUZZ_CHECK(!roster.Clients().count(c.client.id), "a departed client stays");
      for (const auto& [id, event] : roster.Events()) {
        FUZZ_CHECK(event.owner != c.client.id, "an event of a departed client stays");
      }
      break;
    case client::ChangeKind::EventRemoved:
      FUZZ_CHECK(!roster.Events().count(c.event.id), "a removed event stays");
      break;
    case client::ChangeKind::ClientAdded:
      FUZZ_CHECK(roster.Clients().count(c.client.id), "an announced client is missing");
      break;
    case client::ChangeKind::EventAdded:
      FUZZ_CHECK(roster.Events().count(c.event.id), "an announced event is missing");
      break;
    case client::ChangeKind::ServerName:
      FUZZ_CHECK(roster.Complete(), "the roster is not complete after the server's name");
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  fuzz::ReferenceFrames reference;
  client::Roster roster;
  std::vector<std::vector<uint8_t>> delivered;
  client::FrameStream stream([&](const protocol::FrameView& frame) {
    delivered.emplace_back(frame.Bytes().begin(), frame.Bytes().end());
    const client::RosterChange change = roster.Apply(frame);
    CheckChange(roster, frame, change);
    roster.ClientName(change.client.id);
  });

  while (!in.Empty()) {
    const std::vector<uint8_t> bytes = fuzz::ExactCopy(in.Take(in.U16() & 0x1FFF));
    delivered.clear();
    const bool ok = stream.Feed(bytes);
    std::vector<std::vector<uint8_t>> expected = reference.Feed(bytes.data(), bytes.size());
    // The stream consumes frames of length 0 without handing them over.
    std::erase_if(expected, [](const std::vector<uint8_t>& f) { return f.size() == 3; });
    FUZZ_CHECK(delivered == expected, "frames handed over differ from the stream's");
    FUZZ_CHECK(ok == (reference.State() == fuzz::ReferenceFrames::Status::Ok), "loss of framing");
    FUZZ_CHECK(stream.Broken() == !ok, "Broken disagrees with Feed");
  }
  return 0;
}
