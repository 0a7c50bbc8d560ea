#include "readers/raster/ps_text_filters.h"

namespace korv {
namespace {

bool IsWhiteSpace(int c) {
  return c == 0 || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

int HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

} // namespace

int PsTextDecoder::NextSignificant() {
  int c = source_.Next();
  while (c >= 0 && IsWhiteSpace(c)) c = source_.Next();
  return c;
}

std::size_t PsTextDecoder::Decode(std::span<uint8_t> out) {
  std::size_t held = 0;
  for (uint8_t& b : out)
    if (Next(b)) ++held;
  return held;
}

bool PsTextDecoder::Refill() {
  pos_ = 0;
  count_ = 0;
  if (end_ != PsDataEnd::NotYet) return false;
  return encoding_ == PsEncoding::Hex ? RefillHex() : RefillAscii85();
}

bool PsTextDecoder::RefillHex() {
  int digits[2] = {0, 0};
  int have = 0;
  while (have < 2) {
    const int c = NextSignificant();
    if (c < 0) {
      end_ = PsDataEnd::InputEnd;
      break;
    }
    if (c == '>') {
      end_ = PsDataEnd::Marker;
      break;
    }
    const int v = HexValue(c);
    if (v < 0) {
      end_ = PsDataEnd::BadByte;
      break;
    }
    digits[have++] = v;
  }
  // A lone final digit stands for a byte whose low digit is 0.
  if (have == 0 || (have == 1 && end_ == PsDataEnd::BadByte)) return false;
  group_[0] = static_cast<uint8_t>(digits[0] << 4 | digits[1]);
  count_ = 1;
  return true;
}

bool PsTextDecoder::RefillAscii85() {
  uint64_t value = 0;
  unsigned have = 0;
  while (have < 5) {
    const int c = NextSignificant();
    if (c < 0) {
      end_ = PsDataEnd::InputEnd;
      break;
    }
    if (c == 'z' && have == 0) {
      group_ = {0, 0, 0, 0};
      count_ = 4;
      return true;
    }
    if (c == '~') {
      end_ = NextSignificant() == '>' ? PsDataEnd::Marker : PsDataEnd::BadByte;
      break;
    }
    if (c < '!' || c > 'u') {
      end_ = PsDataEnd::BadByte;
      break;
    }
    value = value * 85 + static_cast<uint64_t>(c - '!');
    ++have;
  }
  if (have == 5) {
    // Five characters above "s8W-!" name no 32-bit group.
    if (value > 0xFFFFFFFFu) {
      end_ = PsDataEnd::BadByte;
      return false;
    }
    count_ = 4;
  } else {
    // A final group of k characters holds k - 1 bytes: it is completed with the
    // highest digit, which rounds the missing low bytes away. One character
    // alone holds no byte, and a bad character voids its group.
    if (have < 2 || end_ == PsDataEnd::BadByte) return false;
    for (unsigned i = have; i < 5; ++i) value = value * 85 + 84;
    count_ = have - 1;
    if (value > 0xFFFFFFFFu) {
      end_ = PsDataEnd::BadByte;
      count_ = 0;
      return false;
    }
  }
  for (unsigned i = 0; i < 4; ++i) group_[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  return true;
}

} // namespace korv
