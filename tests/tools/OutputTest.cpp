#include "Output.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>

#include "JsonWriter.h"

namespace toruna::cli {
namespace {

TEST(OutputTest, EscapesQuotesBackslashesAndControlCharacters) {
  EXPECT_EQ(JsonWriter::Quote("plain"), "\"plain\"");
  EXPECT_EQ(JsonWriter::Quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonWriter::Quote("l1\nl2\r\t"), "\"l1\\nl2\\r\\t\"");
  EXPECT_EQ(JsonWriter::Quote(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
  EXPECT_EQ(JsonWriter::Quote(std::string("a\0b", 3)), "\"a\\u0000b\"");
  // UTF-8 passes unchanged.
  EXPECT_EQ(JsonWriter::Quote("°C €"), "\"°C €\"");
}

TEST(OutputTest, BuildsOneObjectInInsertionOrder) {
  EXPECT_EQ(JsonWriter().Str(), "{}");
  const std::string s = JsonWriter()
                            .Add("type", "value")
                            .Add("id", int32_t{-7})
                            .Add("big", int64_t{5000000000})
                            .Add("ok", true)
                            .Add("no", false)
                            .Add("k\"ey", "v")
                            .Str();
  EXPECT_EQ(s, R"({"type":"value","id":-7,"big":5000000000,"ok":true,"no":false,"k\"ey":"v"})");
}

TEST(OutputTest, WritesJsonOrTextLinesAndNotesOnStandardError) {
  std::ostringstream out, err;
  Output text(out, err, false);
  text.Record(JsonWriter().Add("a", 1), "one");
  text.Note("waiting");
  EXPECT_EQ(out.str(), "one\n");
  EXPECT_EQ(err.str(), "toruna-cli: waiting\n");

  std::ostringstream jout, jerr;
  Output json(jout, jerr, true);
  json.Record(JsonWriter().Add("a", 1), "one");
  json.Note("still text");
  EXPECT_EQ(jout.str(), "{\"a\":1}\n");
  EXPECT_EQ(jerr.str(), "toruna-cli: still text\n");
}

TEST(OutputTest, PrintableReplacesControlCharactersOnly) {
  EXPECT_EQ(Output::Printable("Temp °C"), "Temp °C");
  EXPECT_EQ(Output::Printable("a\nb\tc\x7f"), "a?b?c?");
  // U+0081 (from the unassigned wire byte 0x81) is a C1 control character.
  EXPECT_EQ(Output::Printable("x\xC2\x81y"), "x?y");
  // U+00A0 and above are text.
  EXPECT_EQ(Output::Printable("\xC2\xA0\xC3\xA9"), "\xC2\xA0\xC3\xA9");
}

TEST(OutputTest, TimeStampIsLocalTimeWithMilliseconds) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "UTC", 1);
  tzset();
  std::ostringstream out, err;
  Output o(out, err, false);
  // 2026-12-08 23:10:01.123 UTC
  o.SetClock([] {
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(1796771401123LL));
  });
  EXPECT_EQ(o.TimeStamp(), "2026-12-08T23:10:01.123");
  setenv("TZ", "Etc/GMT-2", 1);  // two hours east of Greenwich
  tzset();
  EXPECT_EQ(o.TimeStamp(), "2026-12-09T01:10:01.123");
  if (old) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
}  // namespace toruna::cli
