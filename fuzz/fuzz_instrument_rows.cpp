// libFuzzer target for the instrument row decoders without their files: the
// first byte picks the decoder (ST-x rows, T1M 4-bit or 8-bit differences),
// the next two the row width; the rest is cut into rows by 16-bit counts, as
// both files store them.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "readers/instrument/sbig_row_decoder.h"
#include "readers/instrument/t1m_row_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const unsigned which = data[0] % 3;
  const std::size_t width = 1 + ((static_cast<std::size_t>(data[1]) << 8 | data[2]) % 30000);
  std::vector<uint16_t> row(width);
  std::size_t pos = 3;
  // Each row consumes its count: bounded by the input size.
  while (pos + 2 <= size) {
    const std::size_t length = data[pos] | (static_cast<std::size_t>(data[pos + 1]) << 8);
    pos += 2;
    const std::size_t take = length < size - pos ? length : size - pos;
    const std::span<const uint8_t> bytes(data + pos, take);
    pos += take;
    std::size_t done = 0;
    if (which == 0)
      done = korv::DecodeSbigRow(bytes, row);
    else
      done = korv::DecodeT1mRow(bytes, which == 1 ? 4 : 8, row);
    if (done > row.size()) __builtin_trap();
  }
  return 0;
}
