// The two text encodings of PostScript image data. ASCIIHex: two hexadecimal
// digits a byte, high digit first, '>' ends the data, and a lone final digit is
// followed by an implied 0. ASCII85: five characters '!'..'u' (base 85, most
// significant first) give four bytes, 'z' at the start of a group gives four
// zero bytes, "~>" ends the data, and a final group of k = 2..4 characters
// gives k - 1 bytes. White space (NUL, TAB, LF, FF, CR, blank) may sit anywhere
// in either and is ignored, so CR and CR LF line breaks are no data.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace korv {

enum class PsEncoding : uint8_t { Hex, Ascii85 };

// Where the encoded characters come from.
class EncodedBytes {
public:
  // The next byte, or -1 once the input has ended (and on every later call).
  virtual int Next() = 0;

protected:
  ~EncodedBytes() = default;
};

// Encoded characters served from a block in memory.
class EncodedSpan final : public EncodedBytes {
public:
  explicit EncodedSpan(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  int Next() override { return pos_ < bytes_.size() ? bytes_[pos_++] : -1; }

private:
  std::span<const uint8_t> bytes_;
  std::size_t pos_ = 0;
};

enum class PsDataEnd : uint8_t {
  NotYet,   // more data may follow
  Marker,   // the end-of-data marker was read
  InputEnd, // the input ended without a marker
  BadByte,  // a character the encoding cannot hold (the data end there)
};

class PsTextDecoder {
public:
  PsTextDecoder(PsEncoding encoding, EncodedBytes& source) : encoding_(encoding), source_(source) {}

  // The next decoded byte; false, with b = 0, once the data have ended.
  bool Next(uint8_t& b) {
    if (pos_ == count_ && !Refill()) {
      b = 0;
      return false;
    }
    b = group_[pos_++];
    return true;
  }

  // Fills out with decoded bytes; returns how many the data held (the rest is 0).
  std::size_t Decode(std::span<uint8_t> out);

  PsDataEnd End() const { return end_; }
  // True once the data have ended and every decoded byte was handed out.
  bool Exhausted() const { return end_ != PsDataEnd::NotYet && pos_ == count_; }

private:
  bool Refill();
  bool RefillHex();
  bool RefillAscii85();
  // The next character that is not white space, or -1 at the end of the input.
  int NextSignificant();

  PsEncoding encoding_;
  EncodedBytes& source_;
  std::array<uint8_t, 4> group_{};
  unsigned count_ = 0; // decoded bytes in group_
  unsigned pos_ = 0;   // of which already handed out
  PsDataEnd end_ = PsDataEnd::NotYet;
};

} // namespace korv
