// One row of the ST-x camera row compression: a first 16-bit little-endian
// sample, then for each further sample either a signed byte difference to the
// previous sample or the byte 0x80 and an absolute 16-bit little-endian value.
// A row whose stored length is exactly two bytes per sample is kept plain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korv {

// Decodes `bytes` (the row's stored bytes, without their length word) into
// `row`; samples the bytes do not reach are 0. Returns the samples decoded.
std::size_t DecodeSbigRow(std::span<const uint8_t> bytes, std::span<uint16_t> row);

} // namespace korv
