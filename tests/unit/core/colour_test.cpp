// The fast rounding of the colour weighting must give exactly what the library's
// round-to-nearest-even gives, ties included, over the whole sample range.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/colour.h"

namespace korv {
namespace {

uint16_t Reference(const ImageState& st, uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  const long double sum = static_cast<long double>(r) * st.ChannelWeightR +
                          static_cast<long double>(g) * st.ChannelWeightV +
                          static_cast<long double>(b) * st.ChannelWeightB +
                          static_cast<long double>(a) * st.ChannelWeightA;
  if (!(sum > 0.0L)) return 0;
  if (sum >= 65535.0L) return 65535;
  return static_cast<uint16_t>(std::nearbyintl(sum));
}

TEST(Colour, WeightedGreyRoundsLikeTheLibrary) {
  ImageState st;
  std::mt19937 rng(11);
  const float weightSets[][4] = {{0.299f, 0.587f, 0.114f, 0.0f},
                                 {0.5f, 0.5f, 0.5f, 0.5f}, // exact ties: x.5 sums
                                 {1.0f, 1.0f, 1.0f, 0.0f},
                                 {-0.3f, 0.9f, 0.4f, 0.0f},
                                 {2.1f, 1.7f, 0.9f, 0.25f}};
  for (const auto& w : weightSets) {
    st.ChannelWeightR = w[0];
    st.ChannelWeightV = w[1];
    st.ChannelWeightB = w[2];
    st.ChannelWeightA = w[3];
    for (int i = 0; i < 200000; ++i) {
      const uint32_t limit = (i & 1) ? 256 : 65536;
      const uint32_t r = rng() % limit, g = rng() % limit, b = rng() % limit, a = rng() % limit;
      ASSERT_EQ(WeightedGreyExtended(st, r, g, b, a), Reference(st, r, g, b, a))
          << r << " " << g << " " << b << " " << a;
    }
  }
  st.ChannelWeightR = 0.5f;
  st.ChannelWeightV = st.ChannelWeightB = st.ChannelWeightA = 0.0f;
  EXPECT_EQ(WeightedGreyExtended(st, 1, 0, 0), 0);   // 0.5 goes to the even 0
  EXPECT_EQ(WeightedGreyExtended(st, 3, 0, 0), 2);   // 1.5 to 2
  EXPECT_EQ(WeightedGreyExtended(st, 5, 0, 0), 2);   // 2.5 to 2
  EXPECT_EQ(WeightedGreyExtended(st, 131069, 0, 0), 65534); // 65534.5 to 65534
}

} // namespace
} // namespace korv
