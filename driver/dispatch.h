// Format recognition from the file name and dispatch to one reader.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace korv {

struct Conversion;

struct ExtensionRow {
  uint8_t FormatCode;
  std::string_view Extension; // lower case, 1 to 4 characters
};

// Rows 0..126 (row 121, "fz", and rows 122..126, the Sun raster names, were
// added after the original 121 rows).
extern const std::array<ExtensionRow, 127> ExtensionTable;

// Fills InputFilePath, prints "Ent=" and "Tfi=", returns the FormatCode (0 = none).
uint8_t DetectFormat(Conversion& cv);
void Dispatch(Conversion& cv);

} // namespace korv
