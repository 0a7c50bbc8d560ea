// Data section of the output: plain big-endian rows and the two row codecs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korv {

struct Conversion;

// Bytes per stored sample for an output code (8, 16, 32, 224).
unsigned BytesPerSample(uint8_t code);
// Encodes one plain row into `out` (at least row.size() * BytesPerSample(code)
// bytes) and returns the number of bytes.
std::size_t EncodePlainRow(std::span<const uint16_t> row, uint8_t code, std::span<uint8_t> out);
// Writes one plain row of OutWidth samples from BinnedRow at the current position.
void WritePlainRow(Conversion& cv, std::span<const uint16_t> row, uint8_t code);
// Encode one row and write it through the OutBytes staging buffer.
void WritePrevPixelRow(Conversion& cv, std::span<const uint16_t> row);
void WriteProfVarRow(Conversion& cv, std::span<const uint16_t> row);
// Pads the data section with zero bytes to a multiple of 2880.
void PadDataSection(Conversion& cv);

} // namespace korv
