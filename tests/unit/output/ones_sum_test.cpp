// The data sum added by byte lanes, wide blocks included, against a sum of
// big-endian words one at a time: pieces of every length and alignment, and
// bytes of all ones, which fill the lane counters to their limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "output/fits_checksum.h"

namespace korv {
namespace {

// Ones'-complement sum of the big-endian 32-bit words of `data` (a short last
// word padded with zeros).
uint32_t WordByWord(const std::vector<uint8_t>& data) {
  uint64_t s = 0;
  for (std::size_t i = 0; i < data.size(); i += 4) {
    uint32_t w = 0;
    for (std::size_t k = 0; k < 4; ++k)
      w = (w << 8) | (i + k < data.size() ? data[i + k] : 0u);
    s += w;
    s = (s & 0xFFFFFFFFu) + (s >> 32);
  }
  return static_cast<uint32_t>(s);
}

TEST(OnesSum, WidePiecesAtAnyOffsetSumLikeWordByWord) {
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    std::vector<uint8_t> data(1 + rng() % 200000);
    const bool saturated = round % 4 == 0;
    for (uint8_t& b : data) b = saturated ? 0xFF : static_cast<uint8_t>(rng());
    // Pieces of random length, added in a shuffled order.
    std::vector<std::pair<std::size_t, std::size_t>> pieces;
    for (std::size_t at = 0; at < data.size();) {
      const std::size_t n = std::min<std::size_t>(data.size() - at, 1 + rng() % 70000);
      pieces.emplace_back(at, n);
      at += n;
    }
    std::shuffle(pieces.begin(), pieces.end(), rng);
    OnesSum sum;
    for (const auto& [at, n] : pieces) sum.Add(std::span<const uint8_t>(data).subspan(at, n), at);
    ASSERT_EQ(sum.Value(), WordByWord(data)) << data.size();
    OnesSum whole;
    whole.Add(data, 0);
    ASSERT_EQ(whole.Value(), WordByWord(data)) << data.size();
  }
}

} // namespace
} // namespace korv
