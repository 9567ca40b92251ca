// Text on the wire (Windows-1252) and the event names users select.

#include <gtest/gtest.h>

#include "client/NamePatterns.h"
#include "client/WireText.h"

namespace toruna::client {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(WireText, NonAsciiNamesRoundTripThroughWindows1252) {
  EXPECT_EQ(WireText::ToWire("Café €"), (Bytes{'C', 'a', 'f', 0xE9, ' ', 0x80}));
  EXPECT_EQ(WireText::FromWire(Bytes{'C', 'a', 'f', 0xE9, ' ', 0x80}), "Café €");
  EXPECT_EQ(WireText::FromWire(Bytes{0xB0, 'C'}), "°C");
  // A character the code page lacks is sent as '?'.
  EXPECT_EQ(WireText::ToWire("温"), (Bytes{'?'}));
}

TEST(WireText, EventTextIsNameZeroUnit) {
  EXPECT_EQ(WireText::EventToWire("Temp", "°C"), (Bytes{'T', 'e', 'm', 'p', 0, 0xB0, 'C'}));
  EXPECT_EQ(WireText::EventToWire("Temp", ""), (Bytes{'T', 'e', 'm', 'p'}));
}

TEST(WireText, EventTextSplitsAtTheFirstTwoZeros) {
  struct Case {
    Bytes wire;
    std::string name, unit;
  };
  const Case cases[] = {
      {{'T', 'e', 'm', 'p', 0, 0xB0, 'C'}, "Temp", "°C"},
      {{'T', 'e', 'm', 'p'}, "Temp", ""},           // no unit, no 0
      {{'T', 'e', 'm', 'p', 0}, "Temp", ""},        // empty unit
      {{'a', 0, 'u', 0, 'x', 'y'}, "a", "u"},       // after a second 0: ignored
      {{0, 'u'}, "", "u"},
      {{}, "", ""},
  };
  for (const Case& c : cases) {
    const EventText t = WireText::EventFromWire(c.wire);
    EXPECT_EQ(t.name, c.name);
    EXPECT_EQ(t.unit, c.unit);
  }
}

TEST(NamePatterns, ShellWildcardsOverClientSlashEvent) {
  const NamePatterns p({"Lab/*", "*/Temp", "Pump?/Flow", "[AB]x/e"});
  EXPECT_TRUE(p.Matches("Lab/Anything"));
  EXPECT_TRUE(p.Matches("Kitchen/Temp"));
  EXPECT_TRUE(p.Matches("Pump2/Flow"));
  EXPECT_TRUE(p.Matches("Bx/e"));
  EXPECT_FALSE(p.Matches("Lab2/x"));
  EXPECT_FALSE(p.Matches("Kitchen/Temperature"));
  EXPECT_FALSE(p.Matches("Pump10/Flow"));
  EXPECT_FALSE(p.Matches("Cx/e"));
  // '*' crosses the slash, so "*" takes everything.
  EXPECT_TRUE(NamePatterns({"*"}).Matches("a/b"));
  EXPECT_TRUE(NamePatterns({"L*"}).Matches("Lab/Temp"));
  EXPECT_FALSE(NamePatterns().Matches("a/b"));
  EXPECT_EQ(NamePatterns::EventPath("Ann", "Temp"), "Ann/Temp");
}

}  // namespace
}  // namespace toruna::client
