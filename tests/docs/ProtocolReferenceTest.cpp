// docs/protocol.md checked against the project's code: each frame example built
// by the frame code, and the table of pacing at the edges sent by the client
// library's send window, frame for frame and wait for wait.
// An example is a fenced block of hex bytes after a line "<!-- example: NAME -->";
// every frame example in the reference must be one of the cases here and the
// other way round, so no example goes unchecked. (The discovery datagrams, the
// worked session and the other tables are checked by the Python tests, against
// the server.)

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/Cp1252.h"
#include "client/SendWindow.h"
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

// The rows of the table after "<!-- MARKER -->", each a list of its cells.
std::vector<std::vector<std::string>> Table(const std::string& reference, const std::string& marker) {
  std::vector<std::vector<std::string>> rows;
  const size_t at = reference.find("<!-- " + marker + " -->\n");
  if (at == std::string::npos) {
    ADD_FAILURE() << "no table " << marker;
    return rows;
  }
  std::istringstream lines(reference.substr(reference.find('\n', at) + 1));
  std::string line;
  for (int n = 0; std::getline(lines, line) && !line.empty() && line[0] == '|'; ++n) {
    if (n < 2) continue;  // the head and its rule
    std::vector<std::string> cells;
    std::istringstream cellText(line.substr(1));
    std::string cell;
    while (std::getline(cellText, cell, '|')) {
      cell.erase(0, cell.find_first_not_of(' '));
      cell.erase(cell.find_last_not_of(' ') + 1);
      cells.push_back(cell);
    }
    rows.push_back(cells);
  }
  return rows;
}

TEST(ProtocolReferenceTest, TheLibrarySendsThePacingTableFrameForFrame) {
  const auto rows = Table(ReadReference(), "pacing");
  ASSERT_FALSE(rows.empty());
  std::deque<Bytes> wire;
  client::SendWindow window([&](const Bytes& f) { wire.push_back(f); });

  // What the program asks for at once: the registration and the creations, in
  // the sizes the table gives them; the values once the last event exists.
  std::vector<size_t> creations;
  int values = 0;
  for (const auto& row : rows) {
    if (row[1] == "sends" && row[2].rfind("EventInfo ", 0) == 0) creations.push_back(std::stoul(row[3]));
    if (row[1] == "sends" && row[2].find(" EventData") != std::string::npos) values += std::stoi(row[2]);
  }
  window.Send(protocol::frames::ClientInfoRequest(Bytes(2044, 'N')), true);
  for (size_t i = 0; i < creations.size(); ++i) {
    window.Send(protocol::frames::EventInfoRequest(static_cast<int32_t>(i + 1), 0, 0, Bytes(creations[i] - 12, 'E')),
                true);
  }
  const std::string lastCreated = "EventCreated " + std::to_string(creations.size());

  auto next = [&]() -> Bytes {
    if (wire.empty()) return {};
    Bytes f = wire.front();
    wire.pop_front();
    return f;
  };
  for (const auto& row : rows) {
    const std::string step = "step " + row[0] + ": " + row[1] + " " + row[2];
    const std::string& what = row[2];
    if (row[1] == "receives") {
      EXPECT_TRUE(wire.empty()) << step << ": the library sent more before this answer";
      wire.clear();
      window.Answered();
      if (what == lastCreated) {
        for (int i = 0; i < values; ++i) window.Send(protocol::frames::EventData(5, static_cast<uint8_t>(i)));
      }
      continue;
    }
    ASSERT_EQ(row[1], "sends") << step;
    const size_t size = std::stoul(row[3]);
    if (what == "round trip") {
      if (wire.empty()) window.Probe();  // the program asks to know that all was handled
      EXPECT_EQ(next(), protocol::frames::EventData(0, 0)) << step;
    } else if (what == "ClientInfo") {
      const Bytes f = next();
      EXPECT_EQ(f.size(), size) << step;
      EXPECT_EQ(f.empty() ? 0 : f[3], protocol::ClientInfo) << step;
    } else if (what.rfind("EventInfo ", 0) == 0) {
      const Bytes f = next();
      ASSERT_EQ(f.size(), size) << step;
      EXPECT_EQ(f[3], protocol::EventInfo) << step;
      EXPECT_EQ(protocol::FrameView(f).Int32At(4), std::stoi(what.substr(10))) << step;
    } else {
      const int count = std::stoi(what);
      EXPECT_EQ(static_cast<size_t>(count) * 9, size) << step;
      for (int i = 0; i < count; ++i) {
        const Bytes f = next();
        ASSERT_EQ(f.size(), 9u) << step << ", value " << i;
        EXPECT_EQ(f[3], protocol::EventData) << step;
        EXPECT_NE(protocol::FrameView(f).Int32At(4), 0) << step << ": a round trip among the values";
      }
    }
  }
  EXPECT_TRUE(wire.empty());
  EXPECT_TRUE(window.Idle());
}

}  // namespace
}  // namespace toruna::session
