// One row of the T1M camera difference coding: a first 16-bit little-endian
// sample, then differences of 4 bits (high nibble first, value - 7) or 8 bits
// (value - 127); the nibble 15 or the byte 255 is followed by an absolute
// 16-bit little-endian sample. A row of exactly two bytes per sample is plain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korv {

// Decodes `bytes` (without their length word) with `bits` 4 or 8 into `row`;
// samples the bytes do not reach are 0. Returns the samples decoded.
std::size_t DecodeT1mRow(std::span<const uint8_t> bytes, unsigned bits, std::span<uint16_t> row);

} // namespace korv
