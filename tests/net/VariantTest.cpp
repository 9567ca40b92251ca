#include "net/Variant.h"

#include <gtest/gtest.h>

#include "base/RaisedError.h"

namespace toruna::net {
namespace {

TEST(VariantTest, NumericTextIsRecognisedAndRead) {
  struct Case {
    const char* text;
    double value;
  };
  const Case numeric[] = {
      {"0", 0},         {"13131", 13131},  {"  42  ", 42},   {"\t7", 7},
      {"-5", -5},       {"+5", 5},         {"1.5", 1.5},     {".5", 0.5},
      {"5.", 5},        {"1e3", 1000},     {"1E+3", 1000},   {"25e-1", 2.5},
      {"1D2", 100},     {"-2.5d1", -25},   {"&H10", 16},     {"&hff", 255},
      {"&HFFFF", -1},   {"&H10000", 65536}, {"&HFFFFFFFF", -1}, {"&O17", 15},
      {" &o777 ", 511},
  };
  for (const Case& c : numeric) {
    Variant v(c.text);
    EXPECT_TRUE(v.IsNumeric()) << c.text;
    EXPECT_DOUBLE_EQ(v.ToNumber(), c.value) << c.text;
  }
  const char* notNumeric[] = {"",     "   ",  "abc",  "12a",  "1 2",   "--1", "+",
                              ".",    "1e",   "1e+",  "e5",   "1.2.3", "&H",  "&HG",
                              "&O8",  "&X10", "0x10", "1e999", "&H100000000", "1,5"};
  for (const char* text : notNumeric) {
    Variant v(text);
    EXPECT_FALSE(v.IsNumeric()) << text;
    EXPECT_EQ(v.ToNumber(), 0.0) << text;
  }
}

TEST(VariantTest, NumericKinds) {
  EXPECT_TRUE(Variant().IsNumeric());
  EXPECT_EQ(Variant().ToNumber(), 0.0);
  EXPECT_TRUE(Variant(true).IsNumeric());
  EXPECT_EQ(Variant(true).ToNumber(), -1.0);
  EXPECT_EQ(Variant(false).ToNumber(), 0.0);
  EXPECT_EQ(Variant(int16_t{-3}).ToNumber(), -3.0);
  EXPECT_EQ(Variant(int32_t{100000}).ToNumber(), 100000.0);
  EXPECT_EQ(Variant(uint8_t{255}).ToNumber(), 255.0);
  EXPECT_EQ(Variant(2.5f).ToNumber(), 2.5);
  EXPECT_EQ(Variant::Currency(25000).ToNumber(), 2.5);

  EXPECT_FALSE(Variant::Null().IsNumeric());
  EXPECT_FALSE(Variant::Object().IsNumeric());
  EXPECT_FALSE(Variant::Missing().IsNumeric());
  EXPECT_FALSE(Variant(std::vector<uint8_t>{1, 2}).IsNumeric());
  EXPECT_FALSE(Variant::Date(1.0).IsNumeric());
  // A missing argument is an Error value, neither Empty nor numeric.
  EXPECT_TRUE(Variant::Missing().IsMissing());
  EXPECT_FALSE(Variant::Missing().IsEmpty());
  EXPECT_FALSE(Variant().IsMissing());
}

TEST(VariantTest, ConversionsRoundHalfToEvenAndRefuseOverflow) {
  EXPECT_EQ(Variant(2.5).AsLong(), 2);
  EXPECT_EQ(Variant(3.5).AsLong(), 4);
  EXPECT_EQ(Variant(-2.5).AsInteger(), -2);
  EXPECT_EQ(Variant(" 80 ").AsLong(), 80);
  EXPECT_EQ(Variant("&HFFFF").AsLong(), -1);
  EXPECT_EQ(Variant(int32_t{255}).AsByte(), 255);
  EXPECT_EQ(Variant(1.25).AsCurrencyScaled(), 12500);
  EXPECT_EQ(Variant::Date(2.75).AsDouble(), 2.75);
  EXPECT_TRUE(Variant(int32_t{2}).AsBoolean());
  EXPECT_FALSE(Variant("0").AsBoolean());

  const Variant tooLarge[] = {Variant(int32_t{32768}), Variant(-32769.0), Variant("70000")};
  for (const Variant& v : tooLarge) {
    try {
      (void)v.AsInteger();
      ADD_FAILURE() << "no overflow for " << v.ToNumber();
    } catch (const base::RaisedError& e) {
      EXPECT_EQ(e.Number(), base::kErrOverflow);
      EXPECT_EQ(e.Description(), "Overflow");
    }
  }
  EXPECT_THROW((void)Variant(int32_t{256}).AsByte(), base::RaisedError);
  EXPECT_THROW((void)Variant(int32_t{-1}).AsByte(), base::RaisedError);
  EXPECT_THROW((void)Variant(3e9).AsLong(), base::RaisedError);
  EXPECT_NO_THROW((void)Variant(2147483647.0).AsLong());
}

TEST(VariantTest, TextAndBytesAccessors) {
  EXPECT_EQ(Variant("h\xC3\xA9").AsString(), "h\xC3\xA9");
  EXPECT_EQ(Variant(int32_t{5}).AsString(), "");
  EXPECT_TRUE(Variant("abc").AsBytes().empty());

  Variant v(int32_t{5});
  v.MutableBytes().push_back(9);
  EXPECT_EQ(v.Type(), vbByteArray);
  EXPECT_EQ(v.AsBytes(), std::vector<uint8_t>{9});
  v.MutableBytes().push_back(10);  // an existing array keeps its bytes
  EXPECT_EQ(v.AsBytes(), (std::vector<uint8_t>{9, 10}));

  EXPECT_EQ(Variant(int16_t{1}), Variant(int16_t{1}));
  EXPECT_NE(Variant(int16_t{1}), Variant(int32_t{1}));  // kind matters
  EXPECT_NE(Variant("a"), Variant("b"));
}

}  // namespace
}  // namespace toruna::net
