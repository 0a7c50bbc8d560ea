// The GIF LZW decoder on code streams made by the test encoder and by hand:
// code growth up to 12 bits across sub-blocks, the KwKwK case, clear codes,
// a full table without a clear code, and streams that end early.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include "readers/raster/gif_lzw.h"
#include "tests/unit/readers/raster_test_support.h"

namespace korv {
namespace {

// Hands out a code stream in sub-blocks of a fixed size.
class VectorFeed final : public GifBlockFeed {
public:
  VectorFeed(std::vector<uint8_t> data, std::size_t blockSize)
      : data_(std::move(data)), blockSize_(blockSize) {}
  std::span<const uint8_t> NextBlock() override {
    if (pos_ >= data_.size()) return {};
    const std::size_t n = std::min(blockSize_, data_.size() - pos_);
    const std::span<const uint8_t> block(data_.data() + pos_, n);
    pos_ += n;
    ++blocks_;
    return block;
  }
  int Blocks() const { return blocks_; }

private:
  std::vector<uint8_t> data_;
  std::size_t blockSize_;
  std::size_t pos_ = 0;
  int blocks_ = 0;
};

// Decodes everything, `chunk` indices per call.
std::vector<uint8_t> DecodeAll(GifLzwDecoder& lzw, VectorFeed& feed, std::size_t expected,
                               std::size_t chunk) {
  std::vector<uint8_t> out(expected + 16);
  std::size_t n = 0;
  for (;;) {
    const std::size_t want = std::min(chunk, out.size() - n);
    const std::size_t got = lzw.Fill(std::span<uint8_t>(out.data() + n, want), feed);
    n += got;
    if (got < want || n == out.size()) break;
  }
  out.resize(n);
  return out;
}

std::vector<uint8_t> Noise(std::size_t n, unsigned bits, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  // Runs of repeated values make long strings, noise makes many codes.
  for (std::size_t i = 0; i < n; ++i)
    v[i] = static_cast<uint8_t>((i % 97 < 40 ? (i / 97) : rng()) & ((1u << bits) - 1));
  return v;
}

TEST(GifLzw, RoundTripsEveryCodeSizeAcrossSubBlocks) {
  for (unsigned m : {2u, 3u, 4u, 7u, 8u}) {
    for (std::size_t block : {std::size_t{1}, std::size_t{7}, std::size_t{255}}) {
      SCOPED_TRACE("min code size " + std::to_string(m) + ", blocks of " + std::to_string(block));
      const std::vector<uint8_t> pixels = Noise(40000, m, m * 31 + static_cast<unsigned>(block));
      VectorFeed feed(test::LzwEncode(pixels, m), block);
      auto lzw = std::make_unique<GifLzwDecoder>();
      lzw->Start(m);
      // Odd chunk sizes cut long strings between calls.
      EXPECT_EQ(DecodeAll(*lzw, feed, pixels.size(), 333), pixels);
      EXPECT_TRUE(lzw->EndCodeSeen());
    }
  }
}

TEST(GifLzw, KwKwKCodeRepeatsThePreviousString) {
  // "aaaa" with 2-bit codes: clear, 0, 6 (not yet in the table: "a"+"a"), 0, end.
  // Codes least significant bit first: 4, 0, 6, 0 in 3 bits, then 5 in 4 bits
  // (the table reached 8 entries).
  const std::vector<uint8_t> stream = {0x84, 0x51};
  VectorFeed feed(stream, 255);
  // The decoder's tables are too large for the stack.
  auto held = std::make_unique<GifLzwDecoder>();
  GifLzwDecoder& lzw = *held;
  lzw.Start(2);
  EXPECT_EQ(DecodeAll(lzw, feed, 4, 100), (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_TRUE(lzw.EndCodeSeen());
}

TEST(GifLzw, FullTableWithoutClearKeepsDecoding) {
  const std::vector<uint8_t> pixels = Noise(200000, 8, 5);
  VectorFeed feed(test::LzwEncode(pixels, 8, /*resetWhenFull=*/false), 255);
  auto lzw = std::make_unique<GifLzwDecoder>();
  lzw->Start(8);
  EXPECT_EQ(DecodeAll(*lzw, feed, pixels.size(), 4096), pixels);
}

TEST(GifLzw, StreamEndsWithoutEndCode) {
  const std::vector<uint8_t> pixels = Noise(5000, 4, 9);
  std::vector<uint8_t> data = test::LzwEncode(pixels, 4, true, /*endCode=*/false);
  {
    VectorFeed feed(data, 100);
    // The decoder's tables are too large for the stack.
    auto held = std::make_unique<GifLzwDecoder>();
    GifLzwDecoder& lzw = *held;
    lzw.Start(4);
    EXPECT_EQ(DecodeAll(lzw, feed, pixels.size(), 512), pixels);
    EXPECT_FALSE(lzw.EndCodeSeen());
  }
  // Cut in the middle: what was decoded is a prefix, then nothing more.
  data.resize(data.size() / 2);
  VectorFeed feed(data, 100);
  // The decoder's tables are too large for the stack.
  auto held = std::make_unique<GifLzwDecoder>();
  GifLzwDecoder& lzw = *held;
  lzw.Start(4);
  const std::vector<uint8_t> part = DecodeAll(lzw, feed, pixels.size(), 512);
  ASSERT_LT(part.size(), pixels.size());
  EXPECT_TRUE(std::equal(part.begin(), part.end(), pixels.begin()));
  std::vector<uint8_t> more(10);
  EXPECT_EQ(lzw.Fill(more, feed), 0u);
}

TEST(GifLzw, HostileCodesStayInTheTable) {
  // Every code value, table codes before any string exists, codes beyond the
  // next free one: the decoder never reads outside its tables and always ends.
  std::mt19937 rng(77);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> data(1 + rng() % 3000);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    VectorFeed feed(data, 1 + rng() % 255);
    // The decoder's tables are too large for the stack.
    auto held = std::make_unique<GifLzwDecoder>();
    GifLzwDecoder& lzw = *held;
    lzw.Start(rng() % 12);
    std::vector<uint8_t> out(1 << 16);
    std::size_t total = 0;
    for (int k = 0; k < 1000; ++k) {
      const std::size_t got = lzw.Fill(out, feed);
      total += got;
      if (got < out.size()) break;
    }
    EXPECT_LE(total, std::size_t{1000} << 16);
  }
}

} // namespace
} // namespace korv
