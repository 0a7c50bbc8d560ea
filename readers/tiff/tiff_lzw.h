// TIFF LZW: codes of 9 to 12 bits, most significant bit first; 256 clears the
// table (back to 9-bit codes, next code 258), 257 ends the data; the code width
// grows one code early, after codes 510, 1022 and 2046 are assigned. Streams of
// the early writers (least significant bit first, no early change) are
// recognised from their first bytes and decoded as such.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "readers/tiff/chunk_input.h"

namespace korv {

class TiffLzwDecoder {
public:
  TiffLzwDecoder();

  // Starts a new coded stream (one strip or tile).
  void Reset();
  // Fills out with the next decoded bytes; a string longer than what is left
  // of out continues in the next call. Returns the count decoded; after the end
  // code, an invalid code or the end of the input the rest of out is 0.
  std::size_t Decode(ChunkInput& in, std::span<uint8_t> out);
  bool Ended() const { return ended_; }

private:
  static constexpr unsigned TableSize = 4096;
  bool NextCode(ChunkInput& in, uint32_t& code);
  // Writes the string of a code into the string scratch; returns its first byte.
  void Expand(uint32_t code);

  std::vector<uint16_t> prefix_;
  std::vector<uint8_t> suffix_;
  std::vector<uint16_t> length_;
  std::vector<uint8_t> string_; // the string being emitted, from stringPos_
  std::size_t stringPos_ = 0;
  std::size_t stringEnd_ = 0;
  std::span<const uint8_t> chunk_;
  uint32_t bitBuffer_ = 0;
  unsigned bitCount_ = 0;
  unsigned width_ = 9;
  uint32_t nextCode_ = 258;
  int32_t oldCode_ = -1;
  bool ended_ = false;
  bool started_ = false;
  bool compat_ = false;
};

} // namespace korv
