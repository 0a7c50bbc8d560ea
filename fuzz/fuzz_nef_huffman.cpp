// libFuzzer target for the Nikon Huffman raw decoder without its container:
// the first four bytes choose the bit depth, lossless or lossy, the split row
// and the row width; the rest is the coded data, decoded row after row.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "readers/tiff/nef_huffman.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  korv::NefStreamParams p;
  p.Bits = (data[0] & 3) == 0 ? 12 : (data[0] & 3) == 1 ? 14 : (data[0] & 3) == 2 ? 10 : 16;
  p.Lossless = (data[0] & 4) != 0;
  p.SplitRow = data[1] % 8;
  p.InitialPredictor = {static_cast<uint16_t>(data[2] << 4), 0x800, 0x200, 0xFFFF};
  const std::size_t width = 1 + (static_cast<std::size_t>(data[3]) << 4) + (data[0] >> 3);
  korv::NefHuffmanDecoder dec;
  dec.Start(std::span<const uint8_t>(data + 4, size - 4), p);
  std::vector<uint16_t> row(width);
  // Rows are bounded: past the end the data read as zeros forever.
  for (int r = 0; r < 64; ++r) dec.DecodeRow(row);
  (void)dec.FirstShortRow();
  return 0;
}
