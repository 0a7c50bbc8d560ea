#include "readers/raster/gif_lzw.h"

#include <algorithm>

namespace korv {

void GifLzwDecoder::Start(unsigned minCodeSize) {
  minCodeSize_ = std::clamp(minCodeSize, 1u, 8u);
  clear_ = 1u << minCodeSize_;
  for (unsigned c = 0; c < clear_; ++c) {
    prefix_[c] = NoCode;
    suffix_[c] = static_cast<uint8_t>(c);
    first_[c] = static_cast<uint8_t>(c);
    length_[c] = 1;
  }
  ResetTable();
  pendingPos_ = pendingEnd_ = 0;
  block_ = {};
  blockPos_ = 0;
  bits_ = 0;
  bitCount_ = 0;
  dataEnded_ = false;
  done_ = false;
  endCode_ = false;
}

void GifLzwDecoder::ResetTable() {
  codeSize_ = minCodeSize_ + 1;
  next_ = clear_ + 2;
  previous_ = NoCode;
}

int GifLzwDecoder::ReadCode(GifBlockFeed& feed) {
  while (bitCount_ < codeSize_) {
    if (blockPos_ == block_.size()) {
      if (dataEnded_) return -1;
      // Empty blocks end the data; a block boundary is invisible inside a code.
      block_ = feed.NextBlock();
      blockPos_ = 0;
      if (block_.empty()) {
        dataEnded_ = true;
        return -1;
      }
    }
    bits_ |= uint32_t{block_[blockPos_++]} << bitCount_;
    bitCount_ += 8;
  }
  const auto code = static_cast<int>(bits_ & ((1u << codeSize_) - 1));
  bits_ >>= codeSize_;
  bitCount_ -= codeSize_;
  return code;
}

void GifLzwDecoder::Unpack(unsigned code) {
  // Walks the prefix chain from the last index back to the first; the chain of
  // a code only reaches codes below it, so it ends within length_[code] steps.
  const unsigned n = length_[code];
  unsigned pos = n;
  while (pos > 0) {
    pending_[--pos] = suffix_[code];
    code = prefix_[code];
    if (code == NoCode) break;
  }
  pendingPos_ = pos;
  pendingEnd_ = n;
}

std::size_t GifLzwDecoder::Fill(std::span<uint8_t> out, GifBlockFeed& feed) {
  std::size_t n = 0;
  while (n < out.size()) {
    if (pendingPos_ < pendingEnd_) {
      const std::size_t take = std::min<std::size_t>(pendingEnd_ - pendingPos_, out.size() - n);
      std::copy_n(pending_.begin() + pendingPos_, take, out.begin() + static_cast<std::ptrdiff_t>(n));
      pendingPos_ += static_cast<unsigned>(take);
      n += take;
      continue;
    }
    if (done_) break;
    const int read = ReadCode(feed);
    if (read < 0) {
      done_ = true;
      break;
    }
    auto code = static_cast<unsigned>(read);
    if (code == clear_) {
      ResetTable();
      continue;
    }
    if (code == clear_ + 1) {
      done_ = true;
      endCode_ = true;
      break;
    }
    if (previous_ == NoCode) {
      // The first code after a clear is a single index; the two special codes
      // and table codes cannot come first, and a stream that sends one is
      // taken by its low bits, as a lenient decoder would.
      if (code >= clear_) code &= clear_ - 1;
      previous_ = static_cast<uint16_t>(code);
      out[n++] = static_cast<uint8_t>(code);
      continue;
    }
    // A code not yet in the table repeats the previous string plus its own
    // first index (the KwKwK case); codes beyond it are taken the same way.
    const bool known = code < next_;
    const uint8_t head = known ? first_[code] : first_[previous_];
    if (next_ < TableSize) {
      // A full table stays as it is until the next clear code.
      prefix_[next_] = previous_;
      suffix_[next_] = head;
      first_[next_] = first_[previous_];
      length_[next_] = static_cast<uint16_t>(length_[previous_] + 1);
      if (!known) code = next_;
      ++next_;
      if (next_ == (1u << codeSize_) && codeSize_ < 12) ++codeSize_;
    }
    previous_ = static_cast<uint16_t>(code);
    const unsigned len = length_[code];
    if (len <= out.size() - n) {
      // The usual case: the string goes straight into the output, back to front.
      std::size_t pos = n + len;
      unsigned c = code;
      while (pos > n) {
        out[--pos] = suffix_[c];
        c = prefix_[c];
        if (c == NoCode) break;
      }
      n += len;
    } else {
      Unpack(code);
    }
  }
  return n;
}

} // namespace korv
