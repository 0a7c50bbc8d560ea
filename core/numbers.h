// Number parsing with the program's own acceptance rules, integer limits,
// byte-order swaps and fixed-point number text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/short_text.h"

namespace korv {

void CutToNumber(Text& t);
int32_t ParseInteger(std::string_view t);
double ParseReal(std::string_view t);
double StrictParseReal(std::string_view t);
int32_t ParseWholeInteger(std::string_view t);

int32_t MinInt(int32_t a, int32_t b);
int32_t MaxInt(int32_t a, int32_t b);
int16_t MinSmall(int16_t a, int16_t b);
int16_t MaxSmall(int16_t a, int16_t b);
uint16_t ClampToWord(int64_t v);
int32_t ClampRange(int32_t lo, int32_t x, int32_t hi);
// Rounds to nearest, ties to even, then clamps to 0..65535; NaN gives 0.
uint16_t RoundClampToWord(double v);

void SwapNibbles(uint8_t& b);
uint16_t Swap16(uint16_t& v);
uint32_t Swap32(uint32_t& v);
uint64_t Swap64(uint64_t& v);
bool IsNanSingle(uint32_t bits);

// Fixed-point text with exactly `decimals` digits after the point (none when 0),
// rounded, no exponent. Locale-free.
std::string FormatFixed(double v, int decimals);
// The same, left-padded with '0' to `width` characters (zeros after a minus sign).
std::string FormatFixedPadded(double v, int decimals, int width);

} // namespace korv
