// Plain rows of every length, the wide steps included, against the big-endian
// encoding of each sample on its own.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "output/fits_data.h"

namespace korv {
namespace {

std::vector<uint8_t> Expected(const std::vector<uint16_t>& row, uint8_t code) {
  std::vector<uint8_t> out;
  for (uint16_t v : row) {
    if (code == 8) {
      out.push_back(static_cast<uint8_t>(v));
    } else if (code == 16) {
      const auto s = static_cast<uint16_t>(v - 32768);
      out.push_back(static_cast<uint8_t>(s >> 8));
      out.push_back(static_cast<uint8_t>(s));
    } else if (code == 32) {
      out.insert(out.end(), {0, 0, static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
    } else {
      const float f = v;
      uint32_t bits;
      std::memcpy(&bits, &f, 4);
      for (int k = 3; k >= 0; --k) out.push_back(static_cast<uint8_t>(bits >> (8 * k)));
    }
  }
  return out;
}

TEST(PlainRowEncoding, EveryLengthAndCodeEncodesEachSampleBigEndian) {
  std::mt19937 rng(3);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 70; ++n) lengths.push_back(n);
  lengths.push_back(30000);
  for (std::size_t n : lengths) {
    std::vector<uint16_t> row(n);
    for (uint16_t& v : row) v = static_cast<uint16_t>(rng());
    if (n > 3) row[0] = 0, row[1] = 65535, row[2] = 32768, row[3] = 0x00FF;
    for (uint8_t code : {8, 16, 32, 224}) {
      std::vector<uint8_t> out(4 * n + 1, 0xA5);
      ASSERT_EQ(EncodePlainRow(row, code, out), Expected(row, code).size());
      out.resize(Expected(row, code).size());
      ASSERT_EQ(out, Expected(row, code)) << n << " " << int{code};
    }
  }
}

} // namespace
} // namespace korv
