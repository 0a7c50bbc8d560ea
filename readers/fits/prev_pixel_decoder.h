// "PREVPIXEL" rows: one byte per sample holding the difference to the previous
// sample biased by 127, or the escape byte 255 followed by the absolute sample
// (big-endian). The running sample carries over from row to row.
#pragma once

#include <cstdint>
#include <span>

#include "readers/fits/data_source.h"

namespace korv {

// Decodes out.size() samples; predictor is the running sample (kept by the caller).
void DecodePrevPixelRow(DataSource& src, int16_t& predictor, std::span<uint16_t> out);

} // namespace korv
