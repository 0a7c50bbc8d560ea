// libFuzzer target for the CRW Huffman decoder and its low bits without the
// heap: the first two bytes choose the table and the row width; the rest is
// the coded data, decoded for a bounded number of rows.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "readers/tiff/crw_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t width = 4 + (data[1] << 2);
  const std::span<const uint8_t> stream(data + 2, size - 2);
  std::size_t pos = 0;
  korv::CrwDecoder dec(data[0] & 7, [&](std::span<uint8_t> out) {
    const std::size_t got = pos < stream.size() ? std::min(out.size(), stream.size() - pos) : 0;
    std::fill(out.begin(), out.end(), 0);
    if (got) std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(pos), got, out.begin());
    pos += out.size();
    return got;
  });
  std::vector<uint16_t> row(width);
  for (int r = 0; r < 16; ++r) {
    dec.DecodeRow(row);
    korv::CombineCrwLowBits(row, stream.subspan(0, std::min(stream.size(), width / 4)));
  }
  (void)korv::CrwHasLowBits(stream);
  return 0;
}
