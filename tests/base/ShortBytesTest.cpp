#include "base/ShortBytes.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace toruna::base {
namespace {

std::vector<uint8_t> Sequence(size_t count, uint8_t start) {
  std::vector<uint8_t> v(count);
  std::iota(v.begin(), v.end(), start);
  return v;
}

std::vector<uint8_t> Contents(const ShortBytes& s) { return {s.Bytes().begin(), s.Bytes().end()}; }

// Every length around the inline limit, in both directions of change, keeps the
// bytes (zeros included) and their count; the sanitizer build sees any leak.
TEST(ShortBytesTest, KeepsAnyLengthAcrossReassignments) {
  ShortBytes s;
  EXPECT_EQ(s.size(), 0u);
  EXPECT_EQ(s.View(), "");
  for (size_t length : {size_t{0}, size_t{1}, ShortBytes::kInline, ShortBytes::kInline + 1, size_t{2048},
                        ShortBytes::kInline, size_t{300}, size_t{0}, size_t{40}}) {
    const auto bytes = Sequence(length, static_cast<uint8_t>(length));
    s.Assign(bytes);
    EXPECT_EQ(Contents(s), bytes) << length;
    EXPECT_EQ(s.View().size(), length);
  }
}

TEST(ShortBytesTest, TakesAPieceOfItsOwnBytes) {
  ShortBytes s;
  for (size_t length : {size_t{12}, size_t{64}}) {
    const auto bytes = Sequence(length, 7);
    s.Assign(bytes);
    s.Assign(s.Bytes().subspan(2, length - 4));
    EXPECT_EQ(Contents(s), std::vector<uint8_t>(bytes.begin() + 2, bytes.end() - 2)) << length;
  }
}

}  // namespace
}  // namespace toruna::base
