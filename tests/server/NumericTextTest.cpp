#include "server/NumericText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>

#include "base/RaisedError.h"

namespace toruna::server {
namespace {

struct Case {
  const char* text;
  double value;
};

void ExpectReads(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(NumericText::Read(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(NumericTextTest, ReadsDecimalNumbersAndStopsWhereTheNumberEnds) {
  ExpectReads({
      {"5000", 5000},      {"", 0},           {"abc", 0},          {"-12", -12},
      {"+7", 7},           {"2.5", 2.5},      {".5", 0.5},         {"1e3", 1000},
      {"1E+2", 100},       {"25E-1", 2.5},    {"5E", 5},           {"5E-", 5},
      {"50?00", 50},       {"12abc34", 12},   {"--5", 0},          {".", 0},
      {"3.14.15", 3.14},   {"7-", 7},         {"1,5", 1},          {"0x10", 0},
      {"1e-999", 0},       {"-1e999", -HUGE_VAL}, {"0.001e310", 1e307}, {"12e-2", 0.12},
  });
}

TEST(NumericTextTest, SkipsBlanksTabsAndLineFeedsAnywhere) {
  ExpectReads({
      {" 50 00 ", 5000}, {"\t1\n2", 12},      {"- 4", -4},
      {"1 e 2", 100},    {"& H ff", 255},     {"5\r0", 5},  // a carriage return is not skipped
  });
}

TEST(NumericTextTest, ReadsHexadecimalAndOctalPrefixes) {
  ExpectReads({
      {"&H1F", 31}, {"&hff", 255}, {"&O17", 15}, {"&o8", 0},
      {"&H", 0},    {"&X12", 0},   {"&O78", 7},  {"&H1G", 1},
  });
}

TEST(NumericTextTest, RoundsHalvesToEven) {
  EXPECT_EQ(NumericText::ReadLong("0.5", "t"), 0);
  EXPECT_EQ(NumericText::ReadLong("1.5", "t"), 2);
  EXPECT_EQ(NumericText::ReadLong("2.5", "t"), 2);
  EXPECT_EQ(NumericText::ReadLong("2.51", "t"), 3);
  EXPECT_EQ(NumericText::ReadLong("-2.5", "t"), -2);
  EXPECT_EQ(NumericText::ReadLong("-3.5", "t"), -4);
  EXPECT_EQ(NumericText::ReadLong("5000.4", "t"), 5000);
}

TEST(NumericTextTest, OverflowsOutsideTheSigned32BitRange) {
  EXPECT_EQ(NumericText::ReadLong("2147483647", "t"), 2147483647);
  EXPECT_EQ(NumericText::ReadLong("-2147483648", "t"), INT32_MIN);
  EXPECT_EQ(NumericText::ReadLong("2147483647.4", "t"), 2147483647);
  for (const char* text : {"2147483648", "-2147483649", "1e300", "1e999", "&HFFFFFFFFFF"}) {
    try {
      NumericText::ReadLong(text, "frmMain.SearchSock_DataArrival");
      ADD_FAILURE() << text << " did not overflow";
    } catch (const base::RaisedError& e) {
      EXPECT_EQ(e.Number(), 6) << text;
      EXPECT_EQ(e.Description(), "Overflow");
      EXPECT_EQ(e.Source(), "frmMain.SearchSock_DataArrival");
    }
  }
}

}  // namespace
}  // namespace toruna::server
