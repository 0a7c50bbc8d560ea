// libFuzzer target for the ASCIIHex and ASCII85 decoders of PostScript image
// data without the reader: the first byte picks the encoding, the rest is the
// encoded text, decoded until its data end.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "readers/raster/ps_text_filters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const korv::PsEncoding encoding =
      data[0] % 2 == 0 ? korv::PsEncoding::Hex : korv::PsEncoding::Ascii85;
  korv::EncodedSpan source(std::span<const uint8_t>(data + 1, size - 1));
  korv::PsTextDecoder decoder(encoding, source);
  // A character gives at most four bytes ('z'); more would mean a decoder
  // that makes data up.
  const std::size_t bound = 4 * (size - 1);
  std::size_t decoded = 0;
  std::array<uint8_t, 64> block{};
  for (;;) {
    const std::size_t held = decoder.Decode(block);
    decoded += held;
    if (decoded > bound) std::abort();
    if (held < block.size()) break;
  }
  if (!decoder.Exhausted()) std::abort();
  return 0;
}
