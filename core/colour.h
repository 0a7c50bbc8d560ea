// Colour reduced to one grey sample with the channel weights of the options
// stage (red, green, blue and a fourth channel).
#pragma once

#include <cstdint>

#include "core/image_state.h"

namespace korv {

// r x R + g x V + b x B + a x A computed in extended precision, rounded to
// nearest (ties to even) and clamped to 0..65535; negative sums and NaN give 0.
uint16_t WeightedGreyExtended(const ImageState& st, uint32_t r, uint32_t g, uint32_t b,
                              uint32_t a = 0);

} // namespace korv
