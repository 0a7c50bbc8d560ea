// libFuzzer target for the Olympus compressed raw decoder without its
// container: the first byte chooses the row width, the rest is the coded data
// (from its first coded byte).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "readers/tiff/olympus_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const unsigned width = 1 + data[0];
  korv::OlympusDecoder dec;
  dec.Start(std::span<const uint8_t>(data + 1, size - 1), width);
  std::vector<uint16_t> row(width);
  for (int r = 0; r < 64; ++r) dec.DecodeRow(row);
  (void)dec.FirstShortRow();
  return 0;
}
