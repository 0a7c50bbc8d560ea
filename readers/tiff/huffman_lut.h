// Canonical Huffman codes of JPEG (16 counts of codes of length 1 to 16, then
// the symbols in code order) decoded through a lookup table: the next LutBits
// bits of the stream give the symbol and its length in one step; longer codes
// are resolved by comparing against the largest code of each length. A code
// the table does not hold decodes as symbol 0 after the longest length (an
// empty table as symbol 0 after no bits), as a tree grown from the counts would.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace korv {

class HuffmanLut {
public:
  static constexpr unsigned LutBits = 11;

  HuffmanLut() { Build({}, {}); }

  // Builds the codes; symbols beyond the counted ones are ignored, missing ones
  // read as 0. Counts above what a length can hold are cut to what fits.
  void Build(std::span<const uint8_t> counts16, std::span<const uint8_t> symbols);

  // Table entry for the next LutBits bits: symbol in bits 0-7, code length in
  // bits 8-12 (0 = the code is longer than LutBits).
  uint16_t Entry(uint32_t peek) const { return lut_[peek]; }
  // Resolves a code longer than LutBits from the next 16 bits; sets the length.
  uint8_t DecodeLong(uint32_t peek16, unsigned& length) const;
  unsigned MaxLength() const { return maxLength_; }
  // Symbol and length of the code of the next 16 bits, by either path.
  uint8_t Decode(uint32_t peek16, unsigned& length) const {
    const uint16_t e = lut_[peek16 >> (16 - LutBits)];
    if (e >> 8) {
      length = e >> 8;
      return static_cast<uint8_t>(e);
    }
    return DecodeLong(peek16, length);
  }

private:
  std::array<uint16_t, 1u << LutBits> lut_{};
  std::array<int32_t, 18> maxCode_{};  // largest code of each length, -1 when none
  std::array<int32_t, 18> valOffset_{}; // index of the first symbol of each length minus its first code
  std::array<uint8_t, 256> symbols_{};
  unsigned maxLength_ = 0;
};

} // namespace korv
