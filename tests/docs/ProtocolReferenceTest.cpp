// The frame examples of docs/protocol.md, each built by the project's frame code.
// An example is a fenced block of hex bytes after a line "<!-- example: NAME -->";
// every frame example in the reference must be one of the cases here and the
// other way round, so no example goes unchecked. (The discovery datagrams and
// the worked session are checked by the Python tests, against the server.)

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/Cp1252.h"
#include "protocol/Frame.h"

namespace toruna::session {
namespace {

using Bytes = std::vector<uint8_t>;

std::string ReadReference() {
  std::ifstream in(TORUNA_SOURCE_DIR "/docs/protocol.md");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// NAME -> bytes of every labelled example; a block that is not hex fails the test.
std::map<std::string, Bytes> Examples(const std::string& reference) {
  std::map<std::string, Bytes> examples;
  const std::string mark = "<!-- example: ";
  for (size_t at = reference.find(mark); at != std::string::npos;
       at = reference.find(mark, at + 1)) {
    const size_t nameBegin = at + mark.size();
    const std::string name = reference.substr(nameBegin, reference.find(" -->", nameBegin) - nameBegin);
    const size_t open = reference.find("```", nameBegin);
    const size_t body = reference.find('\n', open) + 1;
    const size_t close = reference.find("```", body);
    std::istringstream hex(reference.substr(body, close - body));
    Bytes bytes;
    std::string token;
    while (hex >> token) {
      EXPECT_EQ(token.size(), 2u) << name << ": '" << token << "' is not a hex byte";
      bytes.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    }
    EXPECT_FALSE(examples.count(name)) << "two examples called " << name;
    examples[name] = bytes;
  }
  return examples;
}

Bytes Wire(const std::string& utf8) { return base::Cp1252::FromUtf8(utf8); }

Bytes TempInCelsius() {
  Bytes text = Wire("Temp");
  text.push_back(0);
  const Bytes unit = Wire("°C");
  text.insert(text.end(), unit.begin(), unit.end());
  return text;
}

TEST(ProtocolReferenceTest, EveryFrameExampleIsWhatTheFrameCodeBuilds) {
  const std::map<std::string, Bytes> built = {
      {"frame-event-data", protocol::frames::EventData(2, 21)},
      {"frame-client-info-request", protocol::frames::ClientInfoRequest(Wire("Alice"))},
      {"frame-client-info", protocol::frames::ClientInfo(1, Wire("Alice"))},
      {"frame-client-gone", protocol::frames::ClientGone(3)},
      {"frame-event-info-request", protocol::frames::EventInfoRequest(1, 1000, 120, TempInCelsius())},
      {"frame-event-info", protocol::frames::EventInfo(1, 2, 1000, 120, TempInCelsius())},
      {"frame-event-remove", protocol::frames::EventRemove(2)},
      {"frame-event-subscribe", protocol::frames::EventSubscribe(2, 1)},
      {"frame-event-unsubscribe", protocol::frames::EventSubscribe(2, 0)},
      {"frame-event-created", protocol::frames::EventCreated(1, 2)},
      {"frame-server-info", protocol::frames::ServerInfo(Wire("Lab"))},
      {"frame-round-trip", protocol::frames::EventData(0, 0)},
      {"frame-round-trip-answer", protocol::frames::EventSubscribe(0, 0)},
  };
  const std::map<std::string, Bytes> documented = Examples(ReadReference());
  size_t frameExamples = 0;
  for (const auto& [name, bytes] : documented) {
    if (name.rfind("frame-", 0) != 0) continue;
    ++frameExamples;
    auto it = built.find(name);
    if (it == built.end()) {
      ADD_FAILURE() << "the reference's example " << name << " has no case here";
      continue;
    }
    EXPECT_EQ(bytes, it->second) << name;
  }
  EXPECT_EQ(frameExamples, built.size()) << "a case here is missing from the reference";
}

}  // namespace
}  // namespace toruna::session
