// Text on the wire (Windows-1252) and the event names users select.

#include <gtest/gtest.h>

#include <functional>

#include "client/NamePatterns.h"
#include "client/WireText.h"

namespace toruna::client {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(NamesTest, NonAsciiNamesRoundTripThroughWindows1252) {
  EXPECT_EQ(WireText::ToWire("Café €"), (Bytes{'C', 'a', 'f', 0xE9, ' ', 0x80}));
  EXPECT_EQ(WireText::FromWire(Bytes{'C', 'a', 'f', 0xE9, ' ', 0x80}), "Café €");
  EXPECT_EQ(WireText::FromWire(Bytes{0xB0, 'C'}), "°C");
  EXPECT_EQ(WireText::ToWire("a?b"), (Bytes{'a', '?', 'b'}));  // a real '?' is fine
}

std::string TextErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const TextError& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(NamesTest, TextThatCannotBeSentIsAnErrorNotAQuestionMark) {
  EXPECT_EQ(TextErrorOf([] { WireText::ToWire("Zoë温", "the client name"); }),
            "the client name 'Zoë温' holds '温', which Windows-1252 (the code page of text on the "
            "wire) lacks");
  for (const std::string& bad : {std::string("a\xC3("), std::string("\xC3"),
                                std::string("\xC0\x80"), std::string("\xED\xA0\x80"),
                                std::string("x\x80")}) {
    EXPECT_EQ(TextErrorOf([&] { WireText::ToWire(bad, "the unit"); }),
              "the unit holds bytes that are not UTF-8");
  }
  EXPECT_EQ(TextErrorOf([] { WireText::ToWire(std::string("a\0b", 3), "the event name"); }),
            "the event name holds a byte 0, which cannot be sent");
}

TEST(NamesTest, NamesAreCheckedForEmptinessAndSizeOnTheWire) {
  EXPECT_EQ(TextErrorOf([] { WireText::CheckClientName(""); }), "the client name must not be empty");
  EXPECT_EQ(TextErrorOf([] { WireText::CheckEvent("", "°C"); }), "an event needs a name");
  // Sizes count wire bytes: 'é' is two bytes of UTF-8 and one on the wire.
  std::string e500;
  for (int i = 0; i < 500; ++i) e500 += "é";
  EXPECT_EQ(TextErrorOf([&] { WireText::CheckClientName(e500 + e500); }), "(accepted)");
  EXPECT_NE(TextErrorOf([&] { WireText::CheckClientName(e500 + e500 + "x"); }).find("too long"),
            std::string::npos);
  EXPECT_EQ(TextErrorOf([&] { WireText::CheckEvent(e500, e500); }), "(accepted)");
  EXPECT_NE(TextErrorOf([&] { WireText::CheckEvent(e500, e500 + "x"); }).find("too long"),
            std::string::npos);
}

TEST(NamesTest, EventTextIsNameZeroUnit) {
  EXPECT_EQ(WireText::EventToWire("Temp", "°C"), (Bytes{'T', 'e', 'm', 'p', 0, 0xB0, 'C'}));
  EXPECT_EQ(WireText::EventToWire("Temp", ""), (Bytes{'T', 'e', 'm', 'p'}));
}

TEST(NamesTest, EventTextSplitsAtTheFirstTwoZeros) {
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

TEST(NamesTest, ShellWildcardsOverClientSlashEvent) {
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
