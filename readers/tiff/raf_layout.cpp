#include "readers/tiff/raf_layout.h"

namespace korv {

uint64_t RafZeroRunSkip(std::span<const uint8_t> data) {
  constexpr std::size_t Limit = 51200;
  const std::size_t end = data.size() < Limit ? data.size() : Limit;
  unsigned zeroWords = 0;
  std::size_t i = 0;
  while (i + 4 <= end) {
    const bool zero = (data[i] | data[i + 1] | data[i + 2] | data[i + 3]) == 0;
    i += 4;
    zeroWords = zero ? zeroWords + 1 : 0;
    if (zeroWords > 20) {
      while (i < end && data[i] == 0) ++i;
      return i < end ? i : 0;
    }
  }
  return 0;
}

namespace {
bool Digit(uint8_t c) { return c >= '0' && c <= '9'; }
unsigned Two(std::span<const uint8_t> s, std::size_t i) {
  return (s[i] - '0') * 10u + (s[i + 1] - '0');
}
} // namespace

bool FindRafDate(std::span<const uint8_t> s, RafDate& out) {
  constexpr std::size_t Len = 19;
  for (std::size_t p = 0; p + Len <= s.size(); ++p) {
    const auto d = [&](std::size_t k) { return Digit(s[p + k]); };
    if (!(s[p] == '1' || s[p] == '2') || !d(1) || !d(2) || !d(3) || s[p + 4] != ':' || !d(5) ||
        !d(6) || s[p + 7] != ':' || !d(8) || !d(9) || s[p + 10] != ' ')
      continue;
    if (!(s[p + 11] >= '0' && s[p + 11] <= '2') || !d(12) || s[p + 13] != ':' ||
        !(s[p + 14] >= '0' && s[p + 14] <= '5') || !d(15) || s[p + 16] != ':' ||
        !(s[p + 17] >= '0' && s[p + 17] <= '5') || !d(18))
      continue;
    out.Year = Two(s, p) * 100 + Two(s, p + 2);
    out.Month = Two(s, p + 5);
    out.Day = Two(s, p + 8);
    out.Hour = Two(s, p + 11);
    out.Minute = Two(s, p + 14);
    out.Second = Two(s, p + 17);
    out.Place = p;
    return true;
  }
  return false;
}

void SwapGroupsOf4(std::span<uint8_t> b) {
  for (std::size_t i = 0; i + 4 <= b.size(); i += 4) {
    std::swap(b[i], b[i + 3]);
    std::swap(b[i + 1], b[i + 2]);
  }
}

unsigned Unpack12Big(std::span<const uint8_t> row, std::size_t x) {
  const std::size_t k = x / 2 * 3;
  if (k + 2 >= row.size()) return 0;
  return (x & 1) == 0 ? (unsigned{row[k]} << 4 | row[k + 1] >> 4)
                      : ((unsigned{row[k + 1]} & 15) << 8 | row[k + 2]);
}

unsigned Unpack12Little(std::span<const uint8_t> row, std::size_t x) {
  const std::size_t k = x / 2 * 3 + (x & 1);
  if (k + 1 >= row.size()) return 0;
  const unsigned w = row[k] | unsigned{row[k + 1]} << 8;
  return (x & 1) == 0 ? (w & 0xFFF) : (w >> 4);
}

unsigned Unpack14Msb(std::span<const uint8_t> row, std::size_t x) {
  const uint64_t bit = uint64_t{x} * 14;
  unsigned v = 0;
  for (unsigned b = 0; b < 14; ++b) {
    const uint64_t at = bit + b;
    const std::size_t k = static_cast<std::size_t>(at >> 3);
    const unsigned one = k < row.size() ? (row[k] >> (7 - (at & 7))) & 1 : 0;
    v = v << 1 | one;
  }
  return v;
}

} // namespace korv
