// The per-image colour weighting must give, for every pixel, what the
// extended-precision weighting gives: exhaustively over 8-bit channels with the
// default weights, and over random channels and weights of every magnitude,
// sign and kind (zero, subnormal, ties, infinite, NaN) otherwise.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include "core/colour.h"

namespace korv {
namespace {

// The weighting as computed before the double path existed.
uint16_t Reference(const ImageState& st, uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  const long double sum = static_cast<long double>(r) * st.ChannelWeightR +
                          static_cast<long double>(g) * st.ChannelWeightV +
                          static_cast<long double>(b) * st.ChannelWeightB +
                          static_cast<long double>(a) * st.ChannelWeightA;
  if (!(sum > 0.0L)) return 0;
  if (sum >= 65535.0L) return 65535;
  constexpr long double shift = 0x1p63L;
  const long double rounded = (sum + shift) - shift;
  return static_cast<uint16_t>(static_cast<double>(rounded));
}

// On the heap: the state is large, and a test holds several.
std::unique_ptr<ImageState> Weights(float r, float v, float b, float a) {
  auto st = std::make_unique<ImageState>();
  st->ChannelWeightR = r;
  st->ChannelWeightV = v;
  st->ChannelWeightB = b;
  st->ChannelWeightA = a;
  return st;
}

TEST(GreyWeighting, EveryEightBitPixelWithTheDefaultWeights) {
  // The options stage's default weights, also scaled by a level factor.
  for (const float level : {1.0f, 2.5f}) {
    const auto held = Weights(0.299f * level, 0.587f * level, 0.114f * level, 0.0f);
    const ImageState& st = *held;
    const GreyWeighting grey(st, 8);
    ASSERT_TRUE(grey.Exact());
    for (uint32_t r = 0; r < 256; ++r)
      for (uint32_t g = 0; g < 256; ++g)
        for (uint32_t b = 0; b < 256; ++b)
          ASSERT_EQ(grey(r, g, b), Reference(st, r, g, b, 0)) << r << " " << g << " " << b;
  }
}

TEST(GreyWeighting, EveryBgrPixelOfARowWithTheDefaultWeights) {
  const auto held = Weights(0.299f, 0.587f, 0.114f, 0.0f);
  const ImageState& st = *held;
  const GreyWeighting grey(st, 8);
  // All 2^24 colours, 4096 to a row of blue, green, red bytes.
  std::vector<uint8_t> pixels(3 * 4096);
  std::vector<uint16_t> out(4096);
  for (uint32_t first = 0; first < (1u << 24); first += 4096) {
    for (uint32_t k = 0; k < 4096; ++k) {
      const uint32_t v = first + k;
      pixels[3 * k] = static_cast<uint8_t>(v);
      pixels[3 * k + 1] = static_cast<uint8_t>(v >> 8);
      pixels[3 * k + 2] = static_cast<uint8_t>(v >> 16);
    }
    grey.RowBgr(pixels, out);
    for (uint32_t k = 0; k < 4096; ++k)
      ASSERT_EQ(out[k], Reference(st, pixels[3 * k + 2], pixels[3 * k + 1], pixels[3 * k], 0))
          << first + k;
  }
}

TEST(GreyWeighting, RowsOfEveryLengthAndWeightsOfEveryKind) {
  std::mt19937 rng(24);
  const float inf = std::numeric_limits<float>::infinity();
  const float big = std::ldexp(1.0f, 45), tiny = std::ldexp(1.0f, -60);
  const float sets[][4] = {{0.299f, 0.587f, 0.114f, 0.0f}, {0.5f, 0.5f, 0.25f, 0.125f},
                           {-0.7f, 1.3f, 0.4f, -0.2f},     {300.0f, 1e-3f, 2.0f, 1.0f},
                           {3e13f, 1.0f, 0.0f, 0.0f},      {1.0f, tiny, 0.5f, 0.0f},
                           {0.3f, 0.6f, inf, 0.1f},        {0.0f, 0.0f, 0.0f, 0.0f},
                           // exact, with sums too large for the branch-free rounding
                           {big, -big, big / 4, 0.0f}};
  for (const auto& w : sets) {
    const auto held = Weights(w[0], w[1], w[2], w[3]);
    const ImageState& st = *held;
    const GreyWeighting grey(st, 8);
    for (std::size_t n = 0; n < 40; ++n) {
      std::vector<uint8_t> pixels(4 * n + 3);
      for (uint8_t& b : pixels)
        b = static_cast<uint8_t>(rng() % 5 == 0 ? 255 * (rng() & 1) : rng());
      std::vector<uint16_t> three(n + 1, 7), four(n + 1, 7);
      const std::span<const uint8_t> bytes(pixels);
      grey.RowBgr(bytes.first(3 * n), std::span<uint16_t>(three).first(n));
      grey.RowBgra(bytes.first(4 * n), std::span<uint16_t>(four).first(n));
      for (std::size_t c = 0; c < n; ++c) {
        const uint8_t* p = &pixels[3 * c];
        ASSERT_EQ(three[c], Reference(st, p[2], p[1], p[0], 0)) << w[0] << " " << n << " " << c;
        const uint8_t* q = &pixels[4 * c];
        ASSERT_EQ(four[c], Reference(st, q[2], q[1], q[0], q[3])) << w[0] << " " << n << " " << c;
      }
      // Nothing past the pixels is written.
      ASSERT_EQ(three[n], 7);
      ASSERT_EQ(four[n], 7);
    }
  }
}

TEST(GreyWeighting, TiesGoToTheEvenValue) {
  const auto held = Weights(0.5f, 0.5f, 0.25f, 0.125f);
  const ImageState& st = *held;
  const GreyWeighting grey(st, 16);
  ASSERT_TRUE(grey.Exact());
  EXPECT_EQ(grey(1, 0, 0), 0);          // 0.5
  EXPECT_EQ(grey(3, 0, 0), 2);          // 1.5
  EXPECT_EQ(grey(2, 3, 0), 2);          // 2.5
  EXPECT_EQ(grey(0, 0, 1, 2), 0);       // 0.5 from the last two channels
  EXPECT_EQ(grey(65535, 65534, 0), 65534); // 65534.5
  EXPECT_EQ(grey(65535, 65535, 4), 65535); // clamped
  for (uint32_t r = 0; r < 2048; ++r)
    for (uint32_t g = 0; g < 64; ++g)
      ASSERT_EQ(grey(r, g, r ^ g, g * 3), Reference(st, r, g, r ^ g, g * 3));
}

// A float of random significand and exponent, either sign.
float RandomWeight(std::mt19937& rng) {
  std::uniform_int_distribution<int> exponent(-40, 20);
  std::uniform_real_distribution<float> unit(0.5f, 1.0f);
  float w = std::ldexp(unit(rng), exponent(rng));
  if (rng() & 1) w = -w;
  switch (rng() % 16) {
  case 0: return 0.0f;
  case 1: return std::ldexp(static_cast<float>(rng() % 64), -2); // short binary fractions: ties
  case 2: return std::numeric_limits<float>::denorm_min() * static_cast<float>(rng() % 1000);
  case 3: return static_cast<float>(rng() % 8); // whole numbers
  default: return w;
  }
}

uint32_t RandomChannel(std::mt19937& rng, unsigned bits) {
  const uint32_t v = static_cast<uint32_t>(rng());
  return bits >= 32 ? v : v & ((uint32_t{1} << bits) - 1);
}

TEST(GreyWeighting, RandomWeightsAndChannelsAgreeWithTheExtendedSum) {
  std::mt19937 rng(20261209);
  unsigned exactSets = 0, extendedSets = 0;
  for (int set = 0; set < 3000; ++set) {
    std::array<float, 4> w{};
    for (float& x : w) x = RandomWeight(rng);
    const auto held = Weights(w[0], w[1], w[2], w[3]);
    const ImageState& st = *held;
    const unsigned bits = std::array<unsigned, 5>{5, 8, 12, 16, 24}[set % 5];
    const GreyWeighting grey(st, bits);
    (grey.Exact() ? exactSets : extendedSets) += 1;
    for (int i = 0; i < 400; ++i) {
      // Mostly channels that fit, sometimes wider ones (which take the extended path).
      const unsigned width = i % 10 == 0 ? 32 : bits;
      const uint32_t r = RandomChannel(rng, width), g = RandomChannel(rng, width),
                     b = RandomChannel(rng, width), a = RandomChannel(rng, width);
      ASSERT_EQ(grey(r, g, b), Reference(st, r, g, b, 0))
          << st.ChannelWeightR << " " << st.ChannelWeightV << " " << st.ChannelWeightB << " / "
          << r << " " << g << " " << b;
      ASSERT_EQ(grey(r, g, b, a), Reference(st, r, g, b, a))
          << st.ChannelWeightR << " " << st.ChannelWeightV << " " << st.ChannelWeightB << " "
          << st.ChannelWeightA << " / " << r << " " << g << " " << b << " " << a;
    }
  }
  // Both paths were exercised.
  EXPECT_GT(exactSets, 200u);
  EXPECT_GT(extendedSets, 200u);
}

TEST(GreyWeighting, WeightsTooFarApartOrNotFiniteTakeTheExtendedPath) {
  // 2^-40 next to 1: a 16-bit channel sum would need 80 bits in units of the small weight.
  EXPECT_FALSE(GreyWeighting(*Weights(1.0f, std::ldexp(1.0f, -40), 0.0f, 0.0f), 16).Exact());
  EXPECT_TRUE(GreyWeighting(*Weights(1.0f, std::ldexp(1.0f, -10), 0.0f, 0.0f), 16).Exact());
  EXPECT_TRUE(GreyWeighting(*Weights(0.0f, 0.0f, 0.0f, 0.0f), 32).Exact());
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float odd[][4] = {
      {0.3f, 0.6f, 0.1f, inf}, {nan, 0.6f, 0.1f, 0.0f}, {0.3f, -inf, 0.1f, 0.0f}};
  for (const auto& w : odd) {
    const auto held = Weights(w[0], w[1], w[2], w[3]);
    const ImageState& st = *held;
    const GreyWeighting grey(st, 8);
    EXPECT_FALSE(grey.Exact());
    for (uint32_t v : {0u, 1u, 77u, 255u, 70000u}) {
      EXPECT_EQ(grey(v, v / 2, 255 - v % 256), Reference(st, v, v / 2, 255 - v % 256, 0));
      EXPECT_EQ(grey(v, 3, 9, v % 5), Reference(st, v, 3, 9, v % 5));
    }
  }
  // A tie plus a tiny part: a sum with too few bits would lose the tiny part
  // and round the tie to even instead of up.
  for (int k = 20; k <= 62; ++k) {
    const auto held = Weights(0.5f, std::ldexp(1.0f, -k), 0.0f, 0.0f);
    const ImageState& st = *held;
    for (const unsigned bits : {8u, 16u}) {
      const GreyWeighting grey(st, bits);
      for (uint32_t r = 1; r < (1u << bits); r += 2 + (r >> 4) * 2)
        for (uint32_t g = 1; g < 4; ++g)
          ASSERT_EQ(grey(r, g, 0), Reference(st, r, g, 0, 0)) << k << " " << r << " " << g;
    }
  }
  // Near the limit of the double path: sums of 2^24-scale channels with weights 2^-28 apart.
  std::mt19937 rng(5);
  for (int k = 20; k <= 32; ++k) {
    const auto held = Weights(1.0f + std::ldexp(1.0f, -23), std::ldexp(1.0f, -k), 0.75f, 0.0f);
    const ImageState& st = *held;
    const GreyWeighting grey(st, 24);
    for (int i = 0; i < 20000; ++i) {
      const uint32_t r = RandomChannel(rng, 16), g = RandomChannel(rng, 24),
                     b = RandomChannel(rng, 16);
      ASSERT_EQ(grey(r, g, b), Reference(st, r, g, b, 0)) << k << " " << r << " " << g << " " << b;
    }
  }
}

} // namespace
} // namespace korv
