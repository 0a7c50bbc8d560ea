// Pieces of the Fujifilm RAF reader that work on bytes alone: the zero run
// before the raw data, the date of the preview, the packings of the layouts.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace korv {

// Bytes from the start of `data` to the first non-zero byte after a run of
// more than 20 zero 32-bit words; 0 when no such run ends within 51,200 bytes.
uint64_t RafZeroRunSkip(std::span<const uint8_t> data);

struct RafDate {
  unsigned Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  std::size_t Place = 0;
};
// The first "YYYY:MM:DD HH:MM:SS" in `text` (year 1xxx or 2xxx); false if none.
bool FindRafDate(std::span<const uint8_t> text, RafDate& out);

// Reverses the bytes of every whole 4-byte group.
void SwapGroupsOf4(std::span<uint8_t> bytes);
// Sample x of a row packed as 12-bit big-endian pairs in 3 bytes.
unsigned Unpack12Big(std::span<const uint8_t> row, std::size_t x);
// Sample x of a row packed as 12-bit little-endian pairs in 3 bytes.
unsigned Unpack12Little(std::span<const uint8_t> row, std::size_t x);
// Sample x of a row of 14-bit fields, most significant bit first.
unsigned Unpack14Msb(std::span<const uint8_t> row, std::size_t x);

} // namespace korv
