// Bits of a raw stream that has no markers and no byte stuffing (Pentax and
// Olympus compressed data), first bit the most significant of its byte. Past
// the end of the data the stream reads as zero bits; the reader counts them so
// that the decoder can tell where the data ran out.
#pragma once

#include <cstdint>

#include "readers/tiff/block_feed.h"

namespace korv {

class MsbBitReader {
public:
  BlockFeed& Feed() { return feed_; }

  // Makes at least n bits (n <= 57) ready for Show.
  void Ensure(int n) {
    if (bits_ < n) Fill();
  }
  // The next n ready bits (1 <= n <= 32) without taking them.
  uint32_t Show(unsigned n) const {
    return static_cast<uint32_t>((acc_ >> (bits_ - static_cast<int>(n))) & ((uint64_t{1} << n) - 1));
  }
  // The next n bits (1 <= n <= 32) without taking them.
  uint32_t Peek(unsigned n) {
    Ensure(static_cast<int>(n));
    return Show(n);
  }
  void Skip(unsigned n) { bits_ -= static_cast<int>(n); }
  // The next n bits (0 <= n <= 32).
  uint32_t Take(unsigned n) {
    if (n == 0) return 0;
    const uint32_t v = Peek(n);
    Skip(n);
    return v;
  }
  // True once a bit past the end of the data has been taken.
  bool PastEnd() const { return fake_ > bits_; }

private:
  void Fill() {
    // Whole bytes straight from the block in hand, then one at a time.
    const uint8_t* d = feed_.data_;
    std::size_t i = feed_.idx_;
    while (bits_ <= 56 && i < feed_.len_) {
      acc_ = acc_ << 8 | d[i++];
      bits_ += 8;
    }
    feed_.idx_ = i;
    while (bits_ <= 56) {
      uint8_t b = 0;
      if (feed_.Next(b)) {
        acc_ = acc_ << 8 | b;
      } else {
        acc_ <<= 8;
        fake_ += 8;
      }
      bits_ += 8;
    }
    // Zero bits already taken need no counting any more.
    if (fake_ > 64) fake_ = 64;
  }

  BlockFeed feed_;
  uint64_t acc_ = 0;
  int bits_ = 0;  // bits of acc_ not yet taken
  int fake_ = 0;  // zero bits put in past the end, at the low end of acc_
};

} // namespace korv
