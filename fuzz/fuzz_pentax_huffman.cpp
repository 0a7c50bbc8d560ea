// libFuzzer target for the Pentax Huffman raw decoder without its container:
// the first 62 bytes are the code table as maker-note tag 0x220 stores it,
// the next byte chooses the row width, the rest is the coded data.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "readers/tiff/pentax_huffman.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < korv::PentaxTableBytes + 1) return 0;
  korv::PentaxCodeTable table;
  // The byte order of the words comes from the low bit of the first byte.
  if (!korv::ReadPentaxCodeTable(std::span<const uint8_t>(data, korv::PentaxTableBytes), (data[0] & 1) == 0,
                                 table)) {
    return 0;
  }
  const std::size_t width = 1 + data[korv::PentaxTableBytes];
  korv::PentaxHuffmanDecoder dec;
  const std::size_t head = korv::PentaxTableBytes + 1;
  dec.Start(std::span<const uint8_t>(data + head, size - head), table);
  std::vector<uint16_t> row(width);
  // Rows are bounded: past the end the data read as zeros forever.
  for (int r = 0; r < 64; ++r) dec.DecodeRow(row);
  (void)dec.FirstShortRow();
  return 0;
}
