#include "readers/instrument/t1m_row_decoder.h"

#include <algorithm>

namespace korv {

namespace {

uint16_t WordAt(std::span<const uint8_t> b, std::size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

} // namespace

std::size_t DecodeT1mRow(std::span<const uint8_t> bytes, unsigned bits, std::span<uint16_t> row) {
  const std::size_t n = bytes.size();
  std::size_t done = 0;
  if (n == 2 * row.size()) {
    for (; done < row.size(); ++done) row[done] = WordAt(bytes, 2 * done);
    return done;
  }
  if (row.empty() || n < 2) {
    std::fill(row.begin(), row.end(), uint16_t{0});
    return 0;
  }
  // Sample arithmetic is modulo 65536.
  uint16_t previous = WordAt(bytes, 0);
  row[done++] = previous;
  std::size_t pos = 2;
  bool lowNibble = false; // 4-bit coding: the next nibble is the low one of bytes[pos]
  while (done < row.size() && pos < n) {
    unsigned code = 0;
    if (bits == 4) {
      code = lowNibble ? bytes[pos] & 0x0Fu : bytes[pos] >> 4;
      if (code == 15) {
        // The absolute sample follows the byte holding the escape.
        if (pos + 3 > n) break;
        previous = WordAt(bytes, pos + 1);
        pos += 3;
        lowNibble = false;
      } else {
        previous = static_cast<uint16_t>(previous + code - 7);
        if (lowNibble) ++pos;
        lowNibble = !lowNibble;
      }
    } else {
      code = bytes[pos];
      if (code == 255) {
        if (pos + 3 > n) break;
        previous = WordAt(bytes, pos + 1);
        pos += 3;
      } else {
        previous = static_cast<uint16_t>(previous + code - 127);
        ++pos;
      }
    }
    row[done++] = previous;
  }
  std::fill(row.begin() + static_cast<std::ptrdiff_t>(done), row.end(), uint16_t{0});
  return done;
}

} // namespace korv
