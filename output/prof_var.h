// "PROF-VAR" row code: every sample is predicted from the sample two columns to
// its left (the first two from the previous row's first two samples), the
// differences are zig-zag mapped and the sixteen bit planes, least significant
// first, are packed eight columns a byte and coded as run and literal records:
//   1..127   literal of that many bytes      0, lo, hi   literal of lo + 256 hi bytes
//   129..255 run of (byte - 128) copies      128, lo, hi run of lo + 256 hi copies
// each run header being followed by the repeated byte. A plane with no bit set
// is the single record 128, count (little-endian), 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "output/byte_sink.h"

namespace korv {

constexpr unsigned ProfVarPlanes = 16;

// Packed bytes of one plane of a row of `width` samples.
constexpr std::size_t ProfVarPlaneBytes(std::size_t width) { return (width + 7) / 8; }
// Scratch an encoder needs for a row of `width` samples: the zig-zag values
// (16 bits each, rounded up to a multiple of 8 columns) and all sixteen packed
// planes; 120000 bytes for the widest row of 30000 samples.
constexpr std::size_t ProfVarScratchBytes(std::size_t width) {
  return 2 * 8 * ProfVarPlaneBytes(width) + ProfVarPlanes * ProfVarPlaneBytes(width);
}

// Predictors carried from one row to the next; both 0 at the start of a file.
struct ProfVarPredictors {
  uint16_t PrevEven = 0; // sample 0 of the previous row
  uint16_t PrevOdd = 0;  // sample 1 of the previous row (0 for a one-sample row)
};

// Zig-zag mapping of a 16-bit difference: 0, -1, 1, -2, 2 ... become 0, 1, 2, 3, 4 ...
constexpr uint16_t ZigZag(uint16_t d) {
  return (d & 0x8000u) ? static_cast<uint16_t>(((d ^ 0xFFFFu) << 1) | 1u)
                       : static_cast<uint16_t>(d << 1);
}

// Encodes one row and updates the predictors. `zeroPlaneCount` is the count
// stored in the record of an all-zero plane (the input row length, which a
// decoder only reads as "the rest of the plane is zero"). `scratch` must hold
// ProfVarScratchBytes(row.size()) bytes.
void EncodeProfVarRow(std::span<const uint16_t> row, uint16_t zeroPlaneCount,
                      ProfVarPredictors& predictors, std::span<uint8_t> scratch,
                      ByteSink& sink);

// Codes the packed bytes of one plane as run and literal records.
void EncodeProfVarPlane(std::span<const uint8_t> plane, ByteSink& sink);

} // namespace korv
