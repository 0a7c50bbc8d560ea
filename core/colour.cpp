#include "core/colour.h"

#include <cmath>

namespace korv {

uint16_t WeightedGreyExtended(const ImageState& st, uint32_t r, uint32_t g, uint32_t b,
                              uint32_t a) {
  const long double sum = static_cast<long double>(r) * st.ChannelWeightR +
                          static_cast<long double>(g) * st.ChannelWeightV +
                          static_cast<long double>(b) * st.ChannelWeightB +
                          static_cast<long double>(a) * st.ChannelWeightA;
  if (!(sum > 0.0L)) return 0;
  if (sum >= 65535.0L) return 65535;
  return static_cast<uint16_t>(std::nearbyintl(sum));
}

} // namespace korv
