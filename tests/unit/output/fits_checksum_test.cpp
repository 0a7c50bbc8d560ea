// Ones'-complement sums of data written in pieces, out of order and at
// unaligned offsets, and the ASCII encoding of CHECKSUM.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "output/fits_checksum.h"

namespace korv {
namespace {

TEST(FitsChecksum, PiecesInAnyOrderSumLikeTheWhole) {
  std::vector<uint8_t> data(1000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  OnesSum whole;
  whole.Add(data, 0);
  // Rows of 6 bytes (three 16-bit samples) placed last row first.
  OnesSum rows;
  for (std::size_t at = data.size(); at > 0;) {
    const std::size_t n = at >= 6 ? 6 : at;
    at -= n;
    rows.Add(std::span<const uint8_t>(data).subspan(at, n), at);
  }
  EXPECT_EQ(rows.Value(), whole.Value());
  // End-around carry: 0xFFFFFFFF + 1 is 1.
  OnesSum carry;
  const std::vector<uint8_t> words = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1};
  carry.Add(words, 0);
  EXPECT_EQ(carry.Value(), 1u);
  EXPECT_EQ(AddOnes(0xFFFFFFFFu, 2u), 2u);
}

TEST(FitsChecksum, EncodingMakesTheHduSumAllOnes) {
  // A sum that is already all ones encodes as sixteen zeros.
  EXPECT_EQ(EncodeChecksum(0xFFFFFFFFu), "0000000000000000");
  for (uint32_t sum : {0u, 1u, 0x12345678u, 0xDEADBEEFu, 0x7F7F7F7Fu}) {
    const std::string text = EncodeChecksum(sum);
    ASSERT_EQ(text.size(), 16u);
    for (char c : text) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                                    (c >= 'a' && c <= 'z')) << text;
    // Replacing the 16 zeros by the text adds the complement of the sum.
    std::vector<uint8_t> bytes(text.begin(), text.end());
    OnesSum s;
    s.Add(bytes, 3);  // the value starts in column 12, the fourth byte of a word
    std::vector<uint8_t> zeros(16, '0');
    OnesSum z;
    z.Add(zeros, 3);
    const uint32_t delta = AddOnes(s.Value(), ~z.Value());
    EXPECT_EQ(AddOnes(sum, delta), 0xFFFFFFFFu) << text;
  }
}

TEST(FitsChecksum, LaneSumsEqualWordByWordSums) {
  // Pieces of every length around the 8-byte and 2048-byte steps of the fast
  // loop, at every offset within a word, against the plain word-by-word sum.
  std::mt19937 rng(3);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> bytes(rng() % 5000);
    for (uint8_t& b : bytes) b = (round % 3 == 0) ? 0xFF : static_cast<uint8_t>(rng());
    const uint64_t offset = rng() % 8;
    uint64_t plain = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i)
      plain += uint64_t{bytes[i]} << (8 * (3 - (offset + i) % 4));
    while (plain >> 32) plain = (plain & 0xFFFFFFFFu) + (plain >> 32);
    OnesSum sum;
    sum.Add(bytes, offset);
    ASSERT_EQ(sum.Value(), static_cast<uint32_t>(plain)) << bytes.size() << " at " << offset;
  }
}

} // namespace
} // namespace korv
