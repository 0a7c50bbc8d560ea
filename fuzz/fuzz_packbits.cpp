// libFuzzer target for the PackBits decoder without its container: the first
// byte picks the bit order, the next two the row length; the rest is one coded
// strip, decoded row after row (runs cross rows) for a bounded number of rows.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "readers/tiff/chunk_input.h"
#include "readers/tiff/packbits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const bool reverse = (data[0] & 1) != 0;
  const std::size_t row = 1 + ((static_cast<std::size_t>(data[1]) << 8 | data[2]) % 8192);
  korv::MemoryChunks in(std::span<const uint8_t>(data + 3, size - 3));
  korv::PackBitsDecoder pb;
  pb.Reset();
  std::vector<uint8_t> out(row);
  for (int r = 0; r < 64; ++r) pb.Decode(in, out, reverse);
  return 0;
}
