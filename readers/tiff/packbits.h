// PackBits run-length data: a control byte n of 0..127 copies the next n + 1
// bytes, 129..255 repeats the next byte 257 - n times, 128 does nothing. Runs
// may cross the end of a row: they continue in the next call.
#pragma once

#include <cstdint>
#include <span>

#include "readers/tiff/chunk_input.h"

namespace korv {

class PackBitsDecoder {
public:
  // Starts a new coded stream (one strip or tile).
  void Reset();
  // Fills out; with reverseBits the bits of every byte (control bytes
  // included) are reversed before use. Returns the count decoded; past the
  // end of the input the rest of out is 0.
  std::size_t Decode(ChunkInput& in, std::span<uint8_t> out, bool reverseBits);

private:
  bool NextByte(ChunkInput& in, bool reverseBits, uint8_t& b);

  std::span<const uint8_t> chunk_;
  unsigned literalLeft_ = 0;
  unsigned repeatLeft_ = 0;
  uint8_t repeatByte_ = 0;
  bool ended_ = false;
};

// The byte with its bit order reversed.
uint8_t ReverseBits(uint8_t b);

} // namespace korv
