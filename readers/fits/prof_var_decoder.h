// "PROF-VAR" rows: each sample is predicted from the sample two columns to its
// left (the first two from the previous row's samples 1 and 0), the zig-zag
// mapped differences are split into 16 bit planes, least significant first,
// and each packed plane is coded as literal and run records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "readers/fits/data_source.h"

namespace korv {

// Samples 0 and 1 of the previous row (0 before the first row).
struct ProfVarCarry {
  uint16_t Sample0 = 0;
  uint16_t Sample1 = 0;
};

// Scratch a row of `width` samples needs: its sixteen packed planes.
constexpr std::size_t ProfVarPlaneScratch(std::size_t width) {
  return 16 * ((width + 7) / 8);
}

// Fewest bytes a row of `width` samples can take: each of its sixteen planes at
// least one run record, two bytes when the plane is short enough for the
// one-byte count (127 bytes), four otherwise.
constexpr int64_t ProfVarLeastRowBytes(std::size_t width) {
  return 16 * (((width + 7) / 8) <= 127 ? 2 : 4);
}

// Decodes out.size() samples and updates the carried samples. scratch must hold
// ProfVarPlaneScratch(out.size()) bytes (a shorter one leaves the row zero).
void DecodeProfVarRow(DataSource& src, ProfVarCarry& carry, std::span<uint16_t> out,
                      std::span<uint8_t> scratch);

} // namespace korv
