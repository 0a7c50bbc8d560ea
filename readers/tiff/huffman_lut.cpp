#include "readers/tiff/huffman_lut.h"

namespace korv {

void HuffmanLut::Build(std::span<const uint8_t> counts16, std::span<const uint8_t> symbols) {
  lut_.fill(0);
  maxCode_.fill(-1);
  valOffset_.fill(0);
  symbols_.fill(0);
  maxLength_ = 0;
  unsigned k = 0;     // symbols assigned
  uint32_t code = 0;  // next code of the current length
  for (unsigned len = 1; len <= 16; ++len) {
    unsigned n = len <= counts16.size() ? counts16[len - 1] : 0;
    // Codes of this length cannot exceed the space left, nor the 256 symbols.
    const uint32_t room = (1u << len) - code;
    if (n > room) n = room;
    if (n > 256 - k) n = 256 - k;
    if (n > 0) {
      valOffset_[len] = static_cast<int32_t>(k) - static_cast<int32_t>(code);
      for (unsigned i = 0; i < n; ++i, ++k, ++code) {
        const uint8_t sym = k < symbols.size() ? symbols[k] : 0;
        symbols_[k] = sym;
        if (len <= LutBits) {
          const unsigned shift = LutBits - len;
          const uint32_t first = code << shift;
          for (uint32_t j = 0; j < (1u << shift); ++j)
            lut_[first + j] = static_cast<uint16_t>(len << 8 | sym);
        }
      }
      maxCode_[len] = static_cast<int32_t>(code) - 1;
      maxLength_ = len;
    }
    code <<= 1;
  }
  // Codes the counts leave unused end as symbol 0 after the longest length;
  // within the table, mark them so that the long path settles them.
}

uint8_t HuffmanLut::DecodeLong(uint32_t peek16, unsigned& length) const {
  for (unsigned len = LutBits + 1; len <= maxLength_; ++len) {
    const int32_t code = static_cast<int32_t>(peek16 >> (16 - len));
    if (code <= maxCode_[len]) {
      length = len;
      const int32_t idx = valOffset_[len] + code;
      // Codes below the first of this length were shorter ones (handled above).
      return idx >= 0 && idx < 256 ? symbols_[static_cast<std::size_t>(idx)] : 0;
    }
  }
  length = maxLength_;
  return 0;
}

} // namespace korv
