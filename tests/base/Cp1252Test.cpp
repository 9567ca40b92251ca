#include "base/Cp1252.h"

#include <gtest/gtest.h>

#include <set>

namespace toruna::base {
namespace {

TEST(Cp1252Test, EveryByteSurvivesTheRoundTrip) {
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  std::string text = Cp1252::ToUtf8(all.data(), all.size());
  EXPECT_EQ(Cp1252::FromUtf8(text), all);
  EXPECT_EQ(Cp1252::ByteLength(text), 256u);

  // Each byte on its own, too: no two bytes may share a character.
  std::set<std::string> seen;
  for (int i = 0; i < 256; ++i) {
    uint8_t b = static_cast<uint8_t>(i);
    std::string one = Cp1252::ToUtf8(&b, 1);
    EXPECT_TRUE(seen.insert(one).second) << "byte " << i;
    EXPECT_EQ(Cp1252::FromUtf8(one), std::vector<uint8_t>{b}) << "byte " << i;
  }
}

TEST(Cp1252Test, CharactersOfTheCodePage) {
  struct Case {
    uint8_t byte;
    const char* utf8;
  };
  const Case cases[] = {
      {0x41, "A"},
      {0x80, "\xE2\x82\xAC"},  // euro sign
      {0x81, "\xC2\x81"},      // unassigned: the control character of that value
      {0x8D, "\xC2\x8D"},
      {0x8F, "\xC2\x8F"},
      {0x90, "\xC2\x90"},
      {0x9D, "\xC2\x9D"},
      {0x92, "\xE2\x80\x99"},  // right single quotation mark
      {0x9F, "\xC5\xB8"},      // Y with diaeresis
      {0xA0, "\xC2\xA0"},
      {0xE9, "\xC3\xA9"},
      {0xFF, "\xC3\xBF"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Cp1252::ToUtf8(&c.byte, 1), c.utf8) << int(c.byte);
    EXPECT_EQ(Cp1252::FromUtf8(c.utf8), std::vector<uint8_t>{c.byte}) << int(c.byte);
  }
  EXPECT_EQ(Cp1252::ToUtf8(std::string_view("\x48\xE9", 2)), "H\xC3\xA9");
  EXPECT_EQ(Cp1252::FromUtf8AsString("H\xC3\xA9"), "H\xE9");
}

TEST(Cp1252Test, UnmappableAndMalformedTextBecomesQuestionMarks) {
  struct Case {
    const char* name;
    std::string utf8;
    std::string bytes;
  };
  const Case cases[] = {
      {"not in the code page", "a\xE2\x88\x9E" "b", "a?b"},     // infinity sign
      {"control 80 is assigned elsewhere", "\xC2\x80", "?"},
      {"outside the basic plane", "\xF0\x9F\x98\x80", "?"},
      {"lone continuation byte", "a\x80" "b", "a?b"},
      {"truncated sequence", "a\xC3", "a?"},
      {"lead without continuation", "\xE2" "ab", "?ab"},
      {"overlong form", "\xC0\xAF", "??"},
      {"surrogate", "\xED\xA0\x80", "???"},
      {"invalid lead", "\xFF", "?"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Cp1252::FromUtf8AsString(c.utf8), c.bytes) << c.name;
    EXPECT_EQ(Cp1252::ByteLength(c.utf8), c.bytes.size()) << c.name;
  }
}

TEST(Cp1252Test, ByteLengthCountsCharacters) {
  EXPECT_EQ(Cp1252::ByteLength(""), 0u);
  EXPECT_EQ(Cp1252::ByteLength("Ann"), 3u);
  EXPECT_EQ(Cp1252::ByteLength("Jos\xC3\xA9 \xE2\x82\xAC"), 6u);
}

}  // namespace
}  // namespace toruna::base
