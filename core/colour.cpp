#include "core/colour.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korv {

uint16_t WeightedGreyExtended(const ImageState& st, uint32_t r, uint32_t g, uint32_t b,
                              uint32_t a) {
  const long double sum = static_cast<long double>(r) * st.ChannelWeightR +
                          static_cast<long double>(g) * st.ChannelWeightV +
                          static_cast<long double>(b) * st.ChannelWeightB +
                          static_cast<long double>(a) * st.ChannelWeightA;
  if (!(sum > 0.0L)) return 0;
  if (sum >= 65535.0L) return 65535;
  // Rounded to nearest, ties to even, as nearbyintl does in the default mode:
  // adding 2^63 leaves no fraction bits in the 64-bit significand. Much
  // faster than the library call, which saves and restores the x87 state.
  // The integer goes through double (exact) so that the conversion needs no
  // x87 control-word change either.
  constexpr long double shift = 0x1p63L;
  const long double rounded = (sum + shift) - shift;
  return static_cast<uint16_t>(static_cast<double>(rounded));
}

GreyWeighting::GreyWeighting(const ImageState& st, unsigned channelBits)
    : st_(st), wR_(st.ChannelWeightR), wV_(st.ChannelWeightV), wB_(st.ChannelWeightB),
      wA_(st.ChannelWeightA) {
  channelBits = std::min(channelBits, 32u);
  mask_ = (uint64_t{1} << channelBits) - 1;
  const std::array<float, 4> weights = {st.ChannelWeightR, st.ChannelWeightV, st.ChannelWeightB,
                                        st.ChannelWeightA};
  // A float weight w is M x 2^(e - 24) with M a whole number, frexp giving e;
  // every product and partial sum is then a whole number of 2^lowest.
  int lowest = INT_MAX;
  long double magnitude = 0.0L;
  for (float w : weights) {
    if (!std::isfinite(w)) return;
    if (w == 0.0f) continue;
    int e = 0;
    std::frexp(w, &e);
    lowest = std::min(lowest, e - 24);
    magnitude += std::fabs(static_cast<long double>(w));
  }
  if (lowest == INT_MAX) {
    exact_ = true; // all weights 0: every sum is an exact 0
    if (channelBits <= 8) TabulateProducts();
    return;
  }
  // The bound of any partial sum, against 2^52 units (one bit of margin below
  // the 53 of the double significand for the rounding of this bound itself).
  const long double largest = static_cast<long double>(mask_) * magnitude;
  exact_ = largest <= std::ldexp(1.0L, 52 + lowest);
  if (exact_ && channelBits <= 8) TabulateProducts();
}

void GreyWeighting::TabulateProducts() {
  products_.resize(4 * 256);
  const std::array<double, 4> weights = {wR_, wV_, wB_, wA_};
  for (std::size_t k = 0; k < 4; ++k)
    for (std::size_t v = 0; v < 256; ++v)
      products_[256 * k + v] = static_cast<double>(v) * weights[k];
  table_ = products_.data();
  const double magnitude = std::fabs(wR_) + std::fabs(wV_) + std::fabs(wB_) + std::fabs(wA_);
  small_ = 255.0 * magnitude < 0x1p50; // with room for the rounding of this bound

}

namespace {

// Pixels of `Step` bytes, blue first, then green, red and (for 4 bytes) the
// fourth channel, weighted with the tables of products.
template <unsigned Step, bool Small>
void WeighBgrRow(const double* table, const uint8_t* p, std::size_t n, uint16_t* o) {
  const double* tr = table;
  const double* tg = table + 256;
  const double* tb = table + 512;
  const double* ta = table + 768;
  std::size_t c = 0;
#if defined(__SSE2__)
  if constexpr (Small) {
    // Four pixels an operation, two to a vector, rounded as below after
    // clamping (the clamp may come first for an exact sum: every sum of at
    // most 0 gives 0 and every sum of at least 65535 gives 65535 either way).
    // The low 32 bits of each rounded lane hold its whole number.
    const __m128d zero = _mm_setzero_pd(), top = _mm_set1_pd(65535.0);
    const __m128d shift = _mm_set1_pd(0x1.8p52);
    const auto pair = [&](const uint8_t* q) {
      __m128d s = _mm_add_pd(_mm_set_pd(tr[q[Step + 2]], tr[q[2]]),
                             _mm_set_pd(tg[q[Step + 1]], tg[q[1]]));
      s = _mm_add_pd(s, _mm_set_pd(tb[q[Step]], tb[q[0]]));
      if constexpr (Step == 4) s = _mm_add_pd(s, _mm_set_pd(ta[q[Step + 3]], ta[q[3]]));
      s = _mm_min_pd(_mm_max_pd(s, zero), top);
      return _mm_shuffle_epi32(_mm_castpd_si128(_mm_add_pd(s, shift)), _MM_SHUFFLE(3, 1, 2, 0));
    };
    for (; c + 4 <= n; c += 4, p += 4 * Step) {
      __m128i v = _mm_unpacklo_epi64(pair(p), pair(p + 2 * Step));
      // Values 0..65535 in 32 bits: with their low halves sign-extended, the
      // signed packing keeps those halves as they are.
      v = _mm_srai_epi32(_mm_slli_epi32(v, 16), 16);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(o + c), _mm_packs_epi32(v, v));
    }
  }
#endif
  for (; c < n; ++c, p += Step) {
    double sum = tr[p[2]] + tg[p[1]] + tb[p[0]];
    if constexpr (Step == 4) sum += ta[p[3]];
    if constexpr (Small) {
      // An exact sum below 2^51 in magnitude: adding 1.5 x 2^52 rounds it to
      // a whole number (to nearest, ties to even) whatever its sign, and the
      // clamp can follow the rounding: every sum of at most 0 (even -0.5,
      // which rounds to 0) gives 0 and every sum of at least 65535 gives
      // 65535, as in RoundSum, without a branch.
      constexpr double shift = 0x1.8p52;
      const auto v = static_cast<int64_t>((sum + shift) - shift);
      o[c] = static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 65535));
    } else {
      o[c] = GreyWeighting::RoundSum(sum);
    }
  }
}

} // namespace

template <unsigned Step>
void GreyWeighting::BgrRow(std::span<const uint8_t> pixels, std::span<uint16_t> out) const {
  const std::size_t n = std::min(out.size(), pixels.size() / Step);
  const uint8_t* p = pixels.data();
  uint16_t* o = out.data();
  if (!table_) {
    for (std::size_t c = 0; c < n; ++c, p += Step)
      o[c] = Step == 3 ? (*this)(p[2], p[1], p[0]) : (*this)(p[2], p[1], p[0], p[3]);
  } else if (small_) {
    WeighBgrRow<Step, true>(table_, p, n, o);
  } else {
    WeighBgrRow<Step, false>(table_, p, n, o);
  }
}

void GreyWeighting::RowBgr(std::span<const uint8_t> pixels, std::span<uint16_t> out) const {
  BgrRow<3>(pixels, out);
}

void GreyWeighting::RowBgra(std::span<const uint8_t> pixels, std::span<uint16_t> out) const {
  BgrRow<4>(pixels, out);
}

} // namespace korv
