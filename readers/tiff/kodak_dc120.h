// Kodak DC120 rows: 848 stored bytes rotated left by a row-dependent amount.
#pragma once

#include <cstdint>
#include <span>

namespace korv {

constexpr unsigned Dc120RowBytes = 848;

// Byte of the stored row where column 0 of row `row` is.
unsigned Dc120RowShift(uint32_t row);
// Puts the 848 stored bytes of a row back in column order.
void UnrotateDc120Row(std::span<const uint8_t> stored, uint32_t row, std::span<uint16_t> out);

} // namespace korv
