#include "readers/fits/rice_decoder.h"

#include <algorithm>

namespace korv {

namespace {

// True when every further bit of the stream is 0: the source is spent.
bool OnlyZerosLeft(DataSource& src, const RiceStream& rs) {
  return rs.BitsLeft == 0 && src.AtEnd();
}

unsigned NextBit(DataSource& src, RiceStream& rs) {
  if (rs.BitsLeft == 0) {
    rs.Byte = src.Next();
    rs.BitsLeft = 8;
  }
  --rs.BitsLeft;
  return (rs.Byte >> rs.BitsLeft) & 1u;
}

} // namespace

void DecodeRiceRow(DataSource& src, RiceStream& rs, int16_t& predictor, std::span<uint16_t> out) {
  // A header may claim any k and m; beyond these the code cannot mean more.
  const int k = std::clamp(rs.K, 0, 32);
  const int64_t m = std::clamp<int64_t>(rs.M, 0, int64_t{1} << 40);
  uint16_t p = static_cast<uint16_t>(predictor);
  for (uint16_t& sample : out) {
    int64_t q = 0;
    for (;;) {
      // Past the end the stream is all zeros, which always spells an escape to
      // the sample 0: taken at once, so a long prefix limit cannot stall here.
      if (OnlyZerosLeft(src, rs)) {
        rs.RanOut = true;
        q = m + 1;
        break;
      }
      if (NextBit(src, rs)) break;
      // After m + 1 zeros the next bit, whatever it is, closes an escape.
      if (q == m + 1) break;
      ++q;
    }
    const bool escape = q == m + 1;
    if (escape) {
      if (OnlyZerosLeft(src, rs)) {
        p = 0;
      } else {
        unsigned v = 0;
        for (int i = 0; i < 16; ++i) v = v << 1 | NextBit(src, rs);
        p = static_cast<uint16_t>(v);
      }
    } else {
      uint64_t low = 0;
      for (int i = 0; i < k; ++i) low = low << 1 | NextBit(src, rs);
      const uint64_t u = (static_cast<uint64_t>(q) << k) + low;
      if (u & 1u)
        p = static_cast<uint16_t>(p - ((u >> 1) + 1));
      else
        p = static_cast<uint16_t>(p + (u >> 1));
    }
    sample = p;
  }
  predictor = static_cast<int16_t>(p);
}

} // namespace korv
