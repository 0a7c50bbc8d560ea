#include "readers/fits/prof_var_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace korv {

namespace {

// Bit i (i < 4) of a byte moved to bit 0 of the 16-bit lane i of a word: or-ing
// a plane's spread byte shifted by the plane number builds four columns at once.
constexpr std::array<uint64_t, 256> Spread(unsigned firstBit) {
  std::array<uint64_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b)
    for (unsigned i = 0; i < 4; ++i)
      if ((b >> (firstBit + i)) & 1u) t[b] |= uint64_t{1} << (16 * i);
  return t;
}
constexpr std::array<uint64_t, 256> SpreadLow = Spread(0);
constexpr std::array<uint64_t, 256> SpreadHigh = Spread(4);

// Fills one packed plane from its records. Header bytes: 1..127 literal of that
// many bytes; 0 then a 16-bit little-endian count, literal; 129..255 run of
// (h - 128) copies of the next byte; 128 then a 16-bit count, run. A long count
// of 0 never runs out: the record lasts to the end of the plane. What a record
// holds beyond the end of the plane is dropped (a literal's extra bytes are not
// read).
void DecodePlane(DataSource& src, std::span<uint8_t> plane) {
  constexpr uint32_t Endless = 0xFFFFFFFFu;
  std::size_t j = 0;
  const std::size_t n = plane.size();
  while (j < n) {
    const uint8_t h = src.Next();
    const bool run = h >= 128;
    uint32_t count = h & 127u;
    if (count == 0) {
      const uint8_t lo = src.Next();
      count = lo | static_cast<uint32_t>(src.Next()) << 8;
      if (count == 0) count = Endless;
    }
    const std::size_t take = std::min<std::size_t>(count, n - j);
    if (run) {
      std::memset(plane.data() + j, src.Next(), take);
    } else {
      src.Read(plane.data() + j, take);
    }
    j += take;
  }
}

} // namespace

void DecodeProfVarRow(DataSource& src, ProfVarCarry& carry, std::span<uint16_t> out,
                      std::span<uint8_t> scratch) {
  const std::size_t width = out.size();
  const std::size_t n = (width + 7) / 8;
  std::fill(out.begin(), out.end(), uint16_t{0});
  if (scratch.size() < ProfVarPlaneScratch(width)) return;
  for (unsigned p = 0; p < 16; ++p) DecodePlane(src, scratch.subspan(p * n, n));

  uint16_t even = carry.Sample1;
  uint16_t odd = carry.Sample0;
  for (std::size_t j = 0; j < n; ++j) {
    uint64_t low = 0, high = 0;
    for (unsigned p = 0; p < 16; ++p) {
      const uint8_t b = scratch[p * n + j];
      low |= SpreadLow[b] << p;
      high |= SpreadHigh[b] << p;
    }
    const std::size_t first = 8 * j;
    const std::size_t count = std::min<std::size_t>(8, width - first);
    for (std::size_t i = 0; i < count; ++i) {
      const uint16_t z =
          static_cast<uint16_t>((i < 4 ? low >> (16 * i) : high >> (16 * (i - 4))) & 0xFFFFu);
      const uint16_t d =
          (z & 1u) ? static_cast<uint16_t>(~(z >> 1)) : static_cast<uint16_t>(z >> 1);
      uint16_t& pred = (i & 1u) ? odd : even;
      pred = static_cast<uint16_t>(pred + d);
      out[first + i] = pred;
    }
  }
  carry.Sample0 = width > 0 ? out[0] : 0;
  carry.Sample1 = width > 1 ? out[1] : 0;
}

} // namespace korv
