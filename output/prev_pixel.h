// "PREVPIXEL" row code: each sample as the difference to its left neighbour,
// biased by 127 in one byte, or escaped (byte 255) as an absolute big-endian
// sample when the difference does not fit and always for the first column.
#pragma once

#include <cstdint>
#include <span>

#include "output/byte_sink.h"

namespace korv {

constexpr uint8_t PrevPixelEscape = 255;
constexpr int PrevPixelBias = 127;

// Encodes one row; the predictor starts at 0 on every row.
void EncodePrevPixelRow(std::span<const uint16_t> row, ByteSink& sink);

} // namespace korv
