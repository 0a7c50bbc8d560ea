// Byte-level helpers of the planetary labels and samples: the EBCDIC
// translation of the old fixed-layout labels and the square-root companding of
// 8-bit camera samples.
#pragma once

#include <cstdint>

#include "readers/pds/ebcdic_table.h"

namespace korv {

// Translates one label byte in place; bytes with no ASCII counterpart become a blank.
inline void EbcdicToAscii(uint8_t& b) { b = EbcdicTable[b]; }

// Expands a square-root companded byte to the sample it stands for (0 .. 2879).
constexpr uint16_t ExpandSquareRoot(uint8_t b) {
  const int v = b;
  if (v < 24) return static_cast<uint16_t>(v);
  if (v < 44) return static_cast<uint16_t>(2 * v - 23);
  if (v < 90) return static_cast<uint16_t>(4 * v - 109);
  if (v < 185) return static_cast<uint16_t>(8 * v - 465);
  if (v < 210) return static_cast<uint16_t>(16 * v - 1937);
  return static_cast<uint16_t>(32 * v - 5281);
}

} // namespace korv
