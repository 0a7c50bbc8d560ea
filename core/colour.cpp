#include "core/colour.h"

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

} // namespace korv
