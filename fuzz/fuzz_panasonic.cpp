// libFuzzer target for the Panasonic raw bit stream without its container: the
// first two bytes choose the split offset and the row width; the rest is the
// stream, decoded for a bounded number of rows (zeros past its end).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "readers/tiff/panasonic_raw.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned split = (data[0] & 1) ? 8200 : 0;
  const std::size_t width = 1 + data[1] * 7u;
  const std::span<const uint8_t> stream(data + 2, size - 2);
  std::size_t pos = 0;
  korv::PanasonicBitSource bits(
      [&](std::span<uint8_t> out) {
        const std::size_t got = pos < stream.size() ? std::min(out.size(), stream.size() - pos) : 0;
        std::fill(out.begin(), out.end(), 0);
        if (got) std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(pos), got, out.begin());
        pos += out.size();
        return got;
      },
      split);
  std::vector<uint16_t> row(width);
  for (int r = 0; r < 16; ++r) korv::DecodePanasonicRow(bits, row);
  return 0;
}
