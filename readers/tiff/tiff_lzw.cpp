#include "readers/tiff/tiff_lzw.h"

#include <algorithm>

namespace korv {

namespace {
constexpr uint32_t ClearCode = 256;
constexpr uint32_t EndCode = 257;
constexpr uint32_t FirstFreeCode = 258;
} // namespace

TiffLzwDecoder::TiffLzwDecoder()
    : prefix_(TableSize), suffix_(TableSize), length_(TableSize), string_(TableSize) {
  for (uint32_t i = 0; i < 256; ++i) {
    prefix_[i] = 0;
    suffix_[i] = static_cast<uint8_t>(i);
    length_[i] = 1;
  }
  Reset();
}

void TiffLzwDecoder::Reset() {
  stringPos_ = stringEnd_ = 0;
  chunk_ = {};
  bitBuffer_ = 0;
  bitCount_ = 0;
  width_ = 9;
  nextCode_ = FirstFreeCode;
  oldCode_ = -1;
  ended_ = false;
  started_ = false;
  compat_ = false;
}

bool TiffLzwDecoder::NextCode(ChunkInput& in, uint32_t& code) {
  while (bitCount_ < width_) {
    if (chunk_.empty()) {
      chunk_ = in.NextChunk();
      if (chunk_.empty()) return false;
      if (!started_) {
        // Early writers stored the codes least significant bit first; their
        // streams begin with a clear code read that way (bytes 00, then odd).
        started_ = true;
        compat_ = chunk_.size() >= 2 && chunk_[0] == 0 && (chunk_[1] & 1) != 0;
      }
    }
    if (compat_)
      bitBuffer_ |= uint32_t{chunk_[0]} << bitCount_;
    else
      bitBuffer_ = (bitBuffer_ << 8) | chunk_[0];
    chunk_ = chunk_.subspan(1);
    bitCount_ += 8;
  }
  bitCount_ -= width_;
  if (compat_) {
    code = bitBuffer_ & ((1u << width_) - 1);
    bitBuffer_ >>= width_;
  } else {
    code = (bitBuffer_ >> bitCount_) & ((1u << width_) - 1);
  }
  return true;
}

void TiffLzwDecoder::Expand(uint32_t code) {
  // Strings are at most TableSize bytes long: each code adds one byte to a
  // shorter one, so the scratch always holds them.
  const std::size_t n = length_[code];
  std::size_t i = n;
  while (i > 0) {
    string_[--i] = suffix_[code];
    code = prefix_[code];
  }
  stringPos_ = 0;
  stringEnd_ = n;
}

std::size_t TiffLzwDecoder::Decode(ChunkInput& in, std::span<uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    if (stringPos_ < stringEnd_) {
      const std::size_t n = std::min(out.size() - done, stringEnd_ - stringPos_);
      std::copy_n(string_.begin() + static_cast<std::ptrdiff_t>(stringPos_), n,
                  out.begin() + static_cast<std::ptrdiff_t>(done));
      stringPos_ += n;
      done += n;
      continue;
    }
    if (ended_) break;
    uint32_t code = 0;
    if (!NextCode(in, code)) {
      ended_ = true;
      break;
    }
    if (code == EndCode) {
      ended_ = true;
      break;
    }
    if (code == ClearCode) {
      width_ = 9;
      nextCode_ = FirstFreeCode;
      oldCode_ = -1;
      continue;
    }
    if (oldCode_ < 0) {
      // The first code after a clear is a literal byte.
      if (code > 255) {
        ended_ = true;
        break;
      }
      Expand(code);
      oldCode_ = static_cast<int32_t>(code);
      continue;
    }
    if (code > nextCode_ || (code == nextCode_ && nextCode_ >= TableSize)) {
      // A code not yet defined: the data are corrupt from here on.
      ended_ = true;
      break;
    }
    const uint32_t old = static_cast<uint32_t>(oldCode_);
    uint8_t first = 0;
    if (code < nextCode_) {
      Expand(code);
      first = string_[0];
    } else {
      // The code being defined: the old string and its own first byte.
      Expand(old);
      first = string_[0];
      string_[stringEnd_++] = first;
    }
    if (nextCode_ < TableSize) {
      prefix_[nextCode_] = static_cast<uint16_t>(old);
      suffix_[nextCode_] = first;
      length_[nextCode_] = static_cast<uint16_t>(length_[old] + 1);
      ++nextCode_;
      // Early change: the width grows as the last code of a width is assigned
      // (one code later in the old least-significant-first streams).
      const uint32_t early = compat_ ? 0 : 1;
      if (nextCode_ == 512 - early)
        width_ = 10;
      else if (nextCode_ == 1024 - early)
        width_ = 11;
      else if (nextCode_ == 2048 - early)
        width_ = 12;
    }
    oldCode_ = static_cast<int32_t>(code);
  }
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(done), out.end(), uint8_t{0});
  return done;
}

} // namespace korv
