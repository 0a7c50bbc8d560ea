// The LZW and PackBits decoders of TIFF strips on their own: streams made by a
// small reference encoder (both LZW bit orders, table resets), strings and runs
// that cross the end of a row, and corrupt or short data.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "readers/tiff/packbits.h"
#include "readers/tiff/tiff_lzw.h"

namespace korv {
namespace {

using Bytes = std::vector<uint8_t>;

// Straightforward TIFF LZW encoder: MSB-first codes with early change, or the
// early LSB-first form (compat). Clears the table when it is full.
class LzwEncoder {
public:
  explicit LzwEncoder(bool compat) : compat_(compat) {}

  Bytes Encode(const Bytes& in) {
    Put(256);
    Reset();
    int32_t w = -1;
    for (uint8_t c : in) {
      if (w < 0) {
        w = c;
        continue;
      }
      const uint32_t key = (static_cast<uint32_t>(w) << 8) | c;
      auto it = dict_.find(key);
      if (it != dict_.end()) {
        w = static_cast<int32_t>(it->second);
        continue;
      }
      Put(static_cast<uint32_t>(w));
      dict_[key] = next_++;
      Grow();
      if (next_ >= 4094) {
        Put(256);
        Reset();
      }
      w = c;
    }
    if (w >= 0) {
      Put(static_cast<uint32_t>(w));
      ++next_;
      Grow();
    }
    Put(257);
    if (bits_ > 0) {
      out_.push_back(static_cast<uint8_t>(compat_ ? acc_ : acc_ << (8 - bits_)));
    }
    return out_;
  }

private:
  void Reset() {
    dict_.clear();
    next_ = 258;
    width_ = 9;
  }
  // The decoder assigns each code one step later than the encoder, so an
  // encoder widening at 512 is what the decoder sees as the early change.
  void Grow() {
    const uint32_t late = compat_ ? 1 : 0;
    if (next_ == 512 + late) width_ = 10;
    if (next_ == 1024 + late) width_ = 11;
    if (next_ == 2048 + late) width_ = 12;
  }
  void Put(uint32_t code) {
    if (compat_) {
      acc_ |= code << bits_;
      bits_ += width_;
      while (bits_ >= 8) {
        out_.push_back(static_cast<uint8_t>(acc_));
        acc_ >>= 8;
        bits_ -= 8;
      }
    } else {
      acc_ = (acc_ << width_) | code;
      bits_ += width_;
      while (bits_ >= 8) {
        bits_ -= 8;
        out_.push_back(static_cast<uint8_t>(acc_ >> bits_));
      }
      acc_ &= (1u << bits_) - 1;
    }
  }

  bool compat_;
  std::map<uint32_t, uint32_t> dict_;
  uint32_t next_ = 258;
  unsigned width_ = 9;
  uint32_t acc_ = 0;
  unsigned bits_ = 0;
  Bytes out_;
};

Bytes Sample(std::size_t n, unsigned alphabet, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<uint8_t>(gen() % alphabet);
  return b;
}

// Decodes in pieces of `piece` bytes, as rows of a strip are read.
Bytes DecodeLzw(const Bytes& coded, std::size_t total, std::size_t piece) {
  TiffLzwDecoder d;
  MemoryChunks in(coded);
  Bytes out(total);
  for (std::size_t at = 0; at < total; at += piece) {
    const std::size_t n = std::min(piece, total - at);
    d.Decode(in, std::span<uint8_t>(out.data() + at, n));
  }
  return out;
}

TEST(TiffLzw, RoundTripsThroughEveryCodeWidthAndTableReset) {
  for (bool compat : {false, true}) {
    for (unsigned alphabet : {1u, 3u, 40u, 256u}) {
      SCOPED_TRACE(testing::Message() << "compat " << compat << " alphabet " << alphabet);
      const Bytes plain = Sample(70000, alphabet, alphabet);
      const Bytes coded = LzwEncoder(compat).Encode(plain);
      for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, plain.size()})
        EXPECT_EQ(DecodeLzw(coded, plain.size(), piece), plain);
    }
  }
}

TEST(TiffLzw, StopsCleanlyOnEndCodeCorruptionAndShortData) {
  const Bytes plain = Sample(3000, 5, 9);
  const Bytes coded = LzwEncoder(false).Encode(plain);
  // Asking for more than the stream holds: the rest is zeros.
  Bytes out = DecodeLzw(coded, plain.size() + 100, 333);
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out.begin()));
  EXPECT_TRUE(std::all_of(out.begin() + 3000, out.end(), [](uint8_t b) { return b == 0; }));

  // Cut in half: what was decoded is right, then zeros.
  const Bytes half(coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(coded.size() / 2));
  out = DecodeLzw(half, plain.size(), 100);
  std::size_t same = 0;
  while (same < plain.size() && out[same] == plain[same]) ++same;
  EXPECT_GT(same, 100u);
  EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(same) + 4096, out.end(),
                          [](uint8_t b) { return b == 0; }));

  // A code not yet defined ends the data instead of reading outside the table.
  const Bytes bad = {0x80, 0x4B, 0x00}; // clear, then code 300 where a literal must be
  out = DecodeLzw(bad, 64, 64);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; }));
}

Bytes DecodePackBits(const Bytes& coded, std::size_t total, std::size_t piece, bool reverse) {
  PackBitsDecoder d;
  d.Reset();
  MemoryChunks in(coded);
  Bytes out(total);
  for (std::size_t at = 0; at < total; at += piece) {
    const std::size_t n = std::min(piece, total - at);
    d.Decode(in, std::span<uint8_t>(out.data() + at, n), reverse);
  }
  return out;
}

TEST(PackBits, LiteralsRepeatsAndNoOpsAcrossRows) {
  // 3 literals, a no-op, 5 repeats of 9, 1 literal, 2 repeats of 0xAA.
  const Bytes coded = {2, 1, 2, 3, 128, 0xFC, 9, 0, 7, 0xFF, 0xAA};
  const Bytes expected = {1, 2, 3, 9, 9, 9, 9, 9, 7, 0xAA, 0xAA};
  for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{4}, expected.size()})
    EXPECT_EQ(DecodePackBits(coded, expected.size(), piece, false), expected);

  // With the fill order reversed, control and data bytes are bit-reversed first.
  Bytes reversed;
  for (uint8_t b : coded) reversed.push_back(ReverseBits(b));
  Bytes expectedReversed = expected;
  EXPECT_EQ(DecodePackBits(reversed, expected.size(), 3, true), expectedReversed);

  // Short data: the rest is zeros, and a repeat count beyond the row is clamped.
  const Bytes shortRun = {0x81, 5}; // 128 repeats
  const Bytes out = DecodePackBits(shortRun, 200, 50, false);
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 128, [](uint8_t b) { return b == 5; }));
  EXPECT_TRUE(std::all_of(out.begin() + 128, out.end(), [](uint8_t b) { return b == 0; }));
}

} // namespace
} // namespace korv
