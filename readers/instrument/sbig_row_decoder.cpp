#include "readers/instrument/sbig_row_decoder.h"

#include <algorithm>

namespace korv {

std::size_t DecodeSbigRow(std::span<const uint8_t> bytes, std::span<uint16_t> row) {
  const std::size_t n = bytes.size();
  std::size_t done = 0;
  if (n == 2 * row.size()) {
    for (; done < row.size(); ++done)
      row[done] = static_cast<uint16_t>(bytes[2 * done] | (bytes[2 * done + 1] << 8));
    return done;
  }
  std::size_t pos = 0;
  uint16_t previous = 0;
  while (done < row.size()) {
    if (done == 0 || bytes[pos] == 0x80) {
      if (done > 0) ++pos; // the escape byte
      if (pos + 2 > n) break;
      previous = static_cast<uint16_t>(bytes[pos] | (bytes[pos + 1] << 8));
      pos += 2;
    } else {
      // Differences wrap modulo 65536 like the camera's own arithmetic.
      previous = static_cast<uint16_t>(previous + static_cast<int8_t>(bytes[pos]));
      ++pos;
    }
    row[done++] = previous;
    if (pos >= n) break;
  }
  std::fill(row.begin() + static_cast<std::ptrdiff_t>(done), row.end(), uint16_t{0});
  return done;
}

} // namespace korv
