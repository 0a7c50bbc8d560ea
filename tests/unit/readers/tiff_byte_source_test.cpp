// The pixel byte source reads eight blocks at a time and serves seeks within
// its buffer from it; everything it serves must be what a source reading one
// block at a time from each seek serves: bytes, chunk bounds (the stream
// decoders see them), bit fields and the count of zeros past the end, over
// random files, swaps, seeks (with the file moved in between) and mixes of calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "core/input_file.h"
#include "readers/tiff/tiff_byte_source.h"

namespace korv {
namespace {

// The source as it read the file: one 31744-byte block a read.
class BlockAtATime {
public:
  static constexpr std::size_t Block = 31744;
  explicit BlockAtATime(InputFile& in) : in_(in), buffer_(Block) {}
  void Seek(uint64_t position) {
    const int64_t size = in_.Size();
    in_.Seek(position > static_cast<uint64_t>(size) ? size : static_cast<int64_t>(position));
    Drop();
    bits_ = 0;
    count_ = 0;
  }
  void SetSwap(unsigned g) { swap_ = g; }
  uint8_t Byte() {
    if (pos_ == fill_) Refill();
    return buffer_[pos_++];
  }
  void Read(std::span<uint8_t> out) {
    for (uint8_t& b : out) b = Byte();
  }
  std::vector<uint8_t> TakeChunk() {
    if (pos_ == fill_) Refill();
    std::vector<uint8_t> chunk(buffer_.begin() + static_cast<std::ptrdiff_t>(pos_),
                               buffer_.begin() + static_cast<std::ptrdiff_t>(fill_));
    pos_ = fill_;
    return chunk;
  }
  uint32_t BitsMsb(unsigned n) {
    if (n == 0) return 0;
    while (count_ < n) {
      bits_ = (bits_ << 8) | Byte();
      count_ += 8;
    }
    count_ -= n;
    return static_cast<uint32_t>((bits_ >> count_) & ((uint64_t{1} << n) - 1));
  }
  uint64_t MissingBytes() const { return missing_ + (pos_ > zeroFrom_ ? pos_ - zeroFrom_ : 0); }

private:
  void Drop() {
    missing_ = MissingBytes();
    fill_ = pos_ = zeroFrom_ = 0;
  }
  void Refill() {
    Drop();
    std::size_t got = in_.Read(buffer_.data(), Block);
    if (got == 0) {
      std::fill(buffer_.begin(), buffer_.end(), uint8_t{0});
      zeroFrom_ = 0;
      fill_ = Block;
      return;
    }
    zeroFrom_ = Block;
    if (swap_ == 2 || swap_ == 4) {
      const std::size_t whole = (got + swap_ - 1) / swap_ * swap_;
      std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(got),
                buffer_.begin() + static_cast<std::ptrdiff_t>(whole), uint8_t{0});
      for (std::size_t i = 0; i < whole; i += swap_)
        std::reverse(buffer_.begin() + static_cast<std::ptrdiff_t>(i),
                     buffer_.begin() + static_cast<std::ptrdiff_t>(i + swap_));
      zeroFrom_ = got;
      got = whole;
    }
    fill_ = got;
    pos_ = 0;
  }
  InputFile& in_;
  std::vector<uint8_t> buffer_;
  std::size_t fill_ = 0, pos_ = 0, zeroFrom_ = 0;
  unsigned swap_ = 0;
  uint64_t missing_ = 0, bits_ = 0;
  unsigned count_ = 0;
};

TEST(TiffByteSource, ServesWhatOneBlockAReadServes) {
  std::mt19937 rng(31744);
  for (int round = 0; round < 60; ++round) {
    std::vector<uint8_t> data(rng() % 400000);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    InputFile fa, fb;
    fa.UseMemory(data);
    fb.UseMemory(data);
    ASSERT_TRUE(fa.Open("a"));
    ASSERT_TRUE(fb.Open("b"));
    TiffByteSource ours(fa);
    BlockAtATime reference(fb);
    const unsigned swap = std::array<unsigned, 3>{0, 2, 4}[round % 3];
    ours.SetSwap(swap);
    reference.SetSwap(swap);
    std::vector<uint8_t> a, b;
    uint64_t last = 0;
    for (int op = 0; op < 300; ++op) {
      switch (rng() % 8) {
      case 0: {
        const uint64_t to = rng() % (data.size() + 50000);
        ours.Seek(to);
        reference.Seek(to);
        last = to;
        break;
      }
      case 6: {
        // Near the last target, often within what is buffered; the file is
        // moved first, as reads of the strip table move it.
        const uint64_t to = last + rng() % 300000;
        const auto elsewhere = static_cast<int64_t>(rng() % (data.size() + 1));
        fa.Seek(elsewhere);
        fb.Seek(elsewhere);
        std::array<uint8_t, 4> word{};
        fa.Read(word.data(), word.size());
        fb.Read(word.data(), word.size());
        ours.Seek(to);
        reference.Seek(to);
        last = to;
        break;
      }
      case 1:
        ASSERT_EQ(ours.Byte(), reference.Byte());
        break;
      case 2: {
        const std::size_t n = rng() % 40000;
        a.assign(n, 1);
        b.assign(n, 2);
        ours.Read(a);
        reference.Read(b);
        ASSERT_EQ(a, b);
        break;
      }
      case 3: {
        const std::span<const uint8_t> chunk = ours.TakeChunk();
        ASSERT_EQ(std::vector<uint8_t>(chunk.begin(), chunk.end()), reference.TakeChunk());
        break;
      }
      default: {
        const unsigned n = rng() % 26;
        ASSERT_EQ(ours.BitsMsb(n), reference.BitsMsb(n));
        break;
      }
      }
      ASSERT_EQ(ours.MissingBytes(), reference.MissingBytes()) << round << " " << op;
    }
  }
}

} // namespace
} // namespace korv
