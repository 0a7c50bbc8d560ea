#include "readers/tiff/packbits.h"

#include <algorithm>

namespace korv {

uint8_t ReverseBits(uint8_t b) {
  b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
  b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
  b = static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
  return b;
}

void PackBitsDecoder::Reset() {
  chunk_ = {};
  literalLeft_ = 0;
  repeatLeft_ = 0;
  repeatByte_ = 0;
  ended_ = false;
}

bool PackBitsDecoder::NextByte(ChunkInput& in, bool reverseBits, uint8_t& b) {
  if (chunk_.empty()) {
    if (ended_) return false;
    chunk_ = in.NextChunk();
    if (chunk_.empty()) {
      ended_ = true;
      return false;
    }
  }
  b = reverseBits ? ReverseBits(chunk_[0]) : chunk_[0];
  chunk_ = chunk_.subspan(1);
  return true;
}

std::size_t PackBitsDecoder::Decode(ChunkInput& in, std::span<uint8_t> out, bool reverseBits) {
  std::size_t done = 0;
  while (done < out.size()) {
    if (repeatLeft_ > 0) {
      const std::size_t n = std::min<std::size_t>(out.size() - done, repeatLeft_);
      std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(done), n, repeatByte_);
      repeatLeft_ -= static_cast<unsigned>(n);
      done += n;
      continue;
    }
    uint8_t b = 0;
    if (literalLeft_ > 0) {
      if (!NextByte(in, reverseBits, b)) break;
      out[done++] = b;
      --literalLeft_;
      continue;
    }
    if (!NextByte(in, reverseBits, b)) break;
    if (b < 128) {
      literalLeft_ = b + 1u;
    } else if (b > 128) {
      uint8_t v = 0;
      if (!NextByte(in, reverseBits, v)) break;
      repeatByte_ = v;
      repeatLeft_ = 257u - b;
    }
  }
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(done), out.end(), uint8_t{0});
  return done;
}

} // namespace korv
