// libFuzzer target for the TIFF LZW decoder without its container: the first
// two bytes give the row length, the rest is one coded strip, decoded row
// after row (strings cross rows) for a bounded number of rows.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "readers/tiff/chunk_input.h"
#include "readers/tiff/tiff_lzw.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t row = 1 + ((static_cast<std::size_t>(data[0]) << 8 | data[1]) % 8192);
  korv::MemoryChunks in(std::span<const uint8_t>(data + 2, size - 2));
  korv::TiffLzwDecoder lzw;
  std::vector<uint8_t> out(row);
  for (int r = 0; r < 64 && !lzw.Ended(); ++r) lzw.Decode(in, out);
  return 0;
}
