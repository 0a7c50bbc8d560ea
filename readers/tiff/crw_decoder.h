// Canon CRW raw data: blocks of 64 differences coded with one of three built-in
// Huffman table pairs (first coefficient, other coefficients), in a byte stream
// where every 0xFF is followed by a stuffed 0x00. The first difference of a
// block carries over from the previous block; each row restarts two
// predictors (even and odd positions) at 512. Optional low bits (two per
// sample, four samples per byte) extend the 10-bit values to 12 bits.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "readers/tiff/huffman_lut.h"

namespace korv {

class CrwDecoder {
public:
  // fill(out) copies the next out.size() stream bytes, zeros past the end, and
  // returns how many the stream held.
  using Fill = std::function<std::size_t(std::span<uint8_t>)>;

  // Table numbers above 2 use table 2.
  CrwDecoder(unsigned table, Fill fill);

  // The next row of 10-bit samples.
  void DecodeRow(std::span<uint16_t> row);
  // Bytes asked of the stream that it did not hold.
  uint64_t MissingBytes() const { return missing_; }

private:
  void DecodeBlock();
  uint32_t Peek16();
  void Skip(unsigned n);
  uint32_t Bits(unsigned n);
  uint8_t NextByte();

  Fill fill_;
  HuffmanLut first_, other_;
  std::vector<uint8_t> chunk_;
  std::size_t chunkPos_ = 0, chunkFill_ = 0;
  uint64_t missing_ = 0;
  bool marker_ = false;
  uint64_t bitBuf_ = 0;
  unsigned bitCount_ = 0;
  std::array<int32_t, 64> diff_{};
  unsigned used_ = 64;
  int32_t carry_ = 0;
};

// The built-in code of table `table` (0 to 2): counts of lengths 1..16 and
// symbols, for the first coefficient of a block or for the others.
std::span<const uint8_t> CrwCodeCounts(unsigned table, bool firstCoefficient);
std::span<const uint8_t> CrwCodeSymbols(unsigned table, bool firstCoefficient);

// Whether the raw data hold the low-bit area: `probe` is the stretch of file
// from the compressed data up to byte 16,383 of the file. Present when a 0xFF
// there is followed by a non-zero byte, or when no 0xFF is there at all.
bool CrwHasLowBits(std::span<const uint8_t> probe);

// Puts the two low bits of each sample (byte k holds samples 4k..4k+3, first
// sample in the lowest bits) under the decoded 10-bit values. Rows 2672 wide
// raise values below 512 by 2, as the cameras of that width need.
void CombineCrwLowBits(std::span<uint16_t> row, std::span<const uint8_t> lowBits);

} // namespace korv
