#include "net/VariantBytes.h"

#include <gtest/gtest.h>

namespace toruna::net {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Layout(const Variant& v) {
  Bytes out;
  EXPECT_TRUE(AppendVariantBytes(v, out));
  return out;
}

TEST(VariantBytesTest, LayoutsOfEveryKind) {
  EXPECT_EQ(Layout(Variant(int16_t{1})), (Bytes{0x01, 0x00}));
  EXPECT_EQ(Layout(Variant(int16_t{-2})), (Bytes{0xFE, 0xFF}));
  EXPECT_EQ(Layout(Variant(int32_t{1})), (Bytes{0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Layout(Variant(int32_t{0x12345678})), (Bytes{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(Layout(Variant(2.5)), (Bytes{0, 0, 0, 0, 0, 0, 0x04, 0x40}));
  EXPECT_EQ(Layout(Variant(2.5f)), (Bytes{0, 0, 0x20, 0x40}));
  EXPECT_EQ(Layout(Variant(true)), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(Layout(Variant(false)), (Bytes{0x00, 0x00}));
  EXPECT_EQ(Layout(Variant(uint8_t{200})), (Bytes{0xC8}));
  EXPECT_EQ(Layout(Variant("Ab")), (Bytes{0x41, 0x62}));
  EXPECT_EQ(Layout(Variant("\xC3\xA9")), (Bytes{0xE9}));         // U+00E9
  EXPECT_EQ(Layout(Variant("\xE2\x82\xAC")), (Bytes{0x80}));     // euro sign
  EXPECT_EQ(Layout(Variant::Currency(25000)), (Bytes{0xA8, 0x61, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Layout(Variant::Currency(-1)), Bytes(8, 0xFF));
  EXPECT_EQ(Layout(Variant::Date(2.5)), (Bytes{0, 0, 0, 0, 0, 0, 0x04, 0x40}));
  EXPECT_EQ(Layout(Variant(Bytes{0, 42, 255})), (Bytes{0, 42, 255}));
  EXPECT_TRUE(Layout(Variant("")).empty());
  EXPECT_TRUE(Layout(Variant(Bytes{})).empty());
}

TEST(VariantBytesTest, AppendsBehindExistingBytes) {
  Bytes out{9};
  ASSERT_TRUE(AppendVariantBytes(Variant(int16_t{1}), out));
  EXPECT_EQ(out, (Bytes{9, 1, 0}));
}

TEST(VariantBytesTest, KindsWithoutLayoutAreRefusedAndAppendNothing) {
  const Variant refused[] = {Variant(),       Variant::Null(),          Variant::Object(),
                             Variant::Missing(), Variant::Array(vbLong, 2),
                             Variant::Array(vbString, 1)};
  for (const Variant& v : refused) {
    Bytes out{7};
    EXPECT_FALSE(AppendVariantBytes(v, out)) << v.Type();
    EXPECT_EQ(out, Bytes{7}) << v.Type();
  }
}

TEST(VariantBytesTest, ValuesBuiltFromBytes) {
  const Bytes one{0x01, 0x00, 0x00, 0x00};
  EXPECT_EQ(VariantFromBytes(vbLong, one.data(), 4), Variant(int32_t{1}));
  EXPECT_EQ(VariantFromBytes(vbInteger, one.data(), 4), Variant(int16_t{1}));  // uses the first 2
  EXPECT_EQ(VariantFromBytes(vbByte, one.data(), 1), Variant(uint8_t{1}));

  const Bytes minusTwo{0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(VariantFromBytes(vbLong, minusTwo.data(), 4), Variant(int32_t{-2}));

  const Bytes half{0, 0, 0, 0, 0, 0, 0x04, 0x40};
  EXPECT_EQ(VariantFromBytes(vbDouble, half.data(), 8), Variant(2.5));
  EXPECT_EQ(VariantFromBytes(vbDate, half.data(), 8), Variant::Date(2.5));
  const Bytes single{0, 0, 0x20, 0x40};
  EXPECT_EQ(VariantFromBytes(vbSingle, single.data(), 4), Variant(2.5f));
  const Bytes currency{0xA8, 0x61, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(VariantFromBytes(vbCurrency, currency.data(), 8), Variant::Currency(25000));
  EXPECT_DOUBLE_EQ(VariantFromBytes(vbCurrency, currency.data(), 8).ToNumber(), 2.5);

  // Boolean: the 16-bit value, anything but 0 is True.
  const Bytes f{0, 0}, t{0xFF, 0xFF}, odd{0x01, 0x00};
  EXPECT_EQ(VariantFromBytes(vbBoolean, f.data(), 2), Variant(false));
  EXPECT_EQ(VariantFromBytes(vbBoolean, t.data(), 2), Variant(true));
  EXPECT_EQ(VariantFromBytes(vbBoolean, odd.data(), 2), Variant(true));

  const Bytes hello{0x48, 0x65, 0x6C, 0x6C, 0x6F};
  EXPECT_EQ(VariantFromBytes(vbString, hello.data(), 5), Variant("Hello"));
  EXPECT_EQ(VariantFromBytes(vbByteArray, hello.data(), 5), Variant(hello));
  const Bytes e9{0xE9};
  EXPECT_EQ(VariantFromBytes(vbString, e9.data(), 1), Variant("\xC3\xA9"));
  EXPECT_EQ(VariantFromBytes(vbString, nullptr, 0), Variant(""));
  EXPECT_EQ(VariantFromBytes(vbByteArray, nullptr, 0), Variant(Bytes{}));
}

TEST(VariantBytesTest, TooFewBytesOrNoLayoutGiveEmpty) {
  const Bytes three{1, 0, 0};
  EXPECT_TRUE(VariantFromBytes(vbLong, three.data(), 3).IsEmpty());
  EXPECT_TRUE(VariantFromBytes(vbDouble, three.data(), 3).IsEmpty());
  EXPECT_TRUE(VariantFromBytes(vbObject, three.data(), 3).IsEmpty());
}

TEST(VariantBytesTest, EveryKindSurvivesTheRoundTrip) {
  const Variant values[] = {Variant(int16_t{-12345}), Variant(int32_t{-7}), Variant(-0.125f),
                            Variant(1e300),           Variant::Currency(-123456789012LL),
                            Variant::Date(45000.25),  Variant(true),
                            Variant(uint8_t{0}),      Variant("caf\xC3\xA9 \xE2\x80\x9Cq\xE2\x80\x9D"),
                            Variant(Bytes{0, 1, 2, 255})};
  for (const Variant& v : values) {
    Bytes out;
    ASSERT_TRUE(AppendVariantBytes(v, out));
    EXPECT_EQ(VariantFromBytes(v.Type(), out.data(), out.size()), v) << v.Type();
  }
}

}  // namespace
}  // namespace toruna::net
