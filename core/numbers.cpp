#include "core/numbers.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "core/text.h"

namespace korv {

namespace {

bool InNumberSet(char c) {
  return c == '+' || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 'E' || c == 'e';
}

// Signed decimal integer over the whole text (optional sign, then digits).
bool WholeDecimal(std::string_view s, int32_t& out) {
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    if (!s.empty() && s.front() == '-') return false;
  }
  if (s.empty() || s.front() == '+') return false;
  int32_t v = 0;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || ptr != s.data() + s.size()) return false;
  out = v;
  return true;
}

} // namespace

void CutToNumber(Text& t) {
  TrimBlanks(t);
  std::size_t n = 0;
  while (n < t.size() && InNumberSet(t[n])) ++n;
  t.erase(n);
}

int32_t ParseInteger(std::string_view t) {
  Text s = t;
  CutToNumber(s);
  int32_t v = 0;
  return WholeDecimal(s.view(), v) ? v : 0;
}

double ParseReal(std::string_view t) {
  Text s = t;
  CutToNumber(s);
  return StrictParseReal(s.view());
}

double StrictParseReal(std::string_view t) {
  Text s = t;
  TrimBlanks(s);
  bool inMantissa = true;
  int points = 0;
  int signs = 0;
  int digits = 0;
  for (char c : s.view()) {
    if (c == 'e') c = 'E';
    if (c == '+' || c == '-') {
      if (signs != 0 || digits != 0) return 0.0;
      ++signs;
    } else if (c == '.') {
      if (points != 0) return 0.0;
      ++points;
      ++signs;
    } else if (c >= '0' && c <= '9') {
      if (digits > 25 || (!inMantissa && digits > 3)) return 0.0;
      ++digits;
    } else if (c == 'E') {
      if (!inMantissa) return 0.0;
      inMantissa = false;
      points = 1;
      signs = 0;
      digits = 0;
    } else {
      return 0.0;
    }
  }
  std::string_view v = s.view();
  if (!v.empty() && v.front() == '+') v.remove_prefix(1);
  if (v.empty()) return 0.0;
  double d = 0.0;
  const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), d);
  if (ec != std::errc() || ptr != v.data() + v.size()) return 0.0;
  return d;
}

int32_t ParseWholeInteger(std::string_view t) {
  Text s = t;
  TrimBlanks(s);
  if (s.empty()) return 0;
  const char first = s.front();
  if (first == '$' || first == 'X' || first == 'x') return 0;
  int32_t v = 0;
  return WholeDecimal(s.view(), v) ? v : 0;
}

int32_t MinInt(int32_t a, int32_t b) { return a < b ? a : b; }
int32_t MaxInt(int32_t a, int32_t b) { return a > b ? a : b; }
int16_t MinSmall(int16_t a, int16_t b) { return a < b ? a : b; }
int16_t MaxSmall(int16_t a, int16_t b) { return a > b ? a : b; }

uint16_t ClampToWord(int64_t v) {
  if (v <= 0) return 0;
  if (v >= 65535) return 65535;
  return static_cast<uint16_t>(v);
}

int32_t ClampRange(int32_t lo, int32_t x, int32_t hi) {
  if (x <= lo) return lo;
  if (x < hi) return x;
  return hi;
}

uint16_t RoundClampToWord(double v) {
  if (std::isnan(v) || v <= 0.0) return 0;
  if (v >= 65535.0) return 65535;
  return static_cast<uint16_t>(std::nearbyint(v));
}

void SwapNibbles(uint8_t& b) { b = static_cast<uint8_t>((b >> 4) | (b << 4)); }

uint16_t Swap16(uint16_t& v) {
  v = static_cast<uint16_t>((v >> 8) | (v << 8));
  return v;
}

uint32_t Swap32(uint32_t& v) {
  v = ((v & 0x000000FFu) << 24) | ((v & 0x0000FF00u) << 8) | ((v & 0x00FF0000u) >> 8) |
      ((v & 0xFF000000u) >> 24);
  return v;
}

uint64_t Swap64(uint64_t& v) {
  uint64_t r = 0;
  for (int i = 0; i < 8; ++i) r = (r << 8) | ((v >> (8 * i)) & 0xFFu);
  v = r;
  return v;
}

bool IsNanSingle(uint32_t bits) {
  return (bits & 0x7F800000u) == 0x7F800000u && (bits & 0x007FFFFFu) != 0;
}

std::string FormatFixed(double v, int decimals) {
  if (decimals < 0) decimals = 0;
  if (decimals > 60) decimals = 60;
  // Large enough for the widest double (309 integer digits) with 60 decimals.
  std::array<char, 400> buf{};
  const auto [ptr, ec] =
      std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed, decimals);
  if (ec != std::errc()) return std::string();
  return std::string(buf.data(), ptr);
}

std::string FormatFixedPadded(double v, int decimals, int width) {
  std::string s = FormatFixed(v, decimals);
  if (width < 0 || s.size() >= static_cast<std::size_t>(width)) return s;
  const std::size_t pad = static_cast<std::size_t>(width) - s.size();
  // Not-a-number and infinities are not padded with digits.
  if (s.find_first_of("0123456789") == std::string::npos) return s;
  const std::size_t at = (!s.empty() && s.front() == '-') ? 1 : 0;
  s.insert(at, pad, '0');
  return s;
}

} // namespace korv
