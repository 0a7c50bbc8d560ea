// GIF's variable-length LZW: codes of 3 to 12 bits taken least significant bit
// first from the image's data sub-blocks, with clear and end codes. The decoder
// sees only the sub-block payloads and hands out palette indices.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace korv {

// Supplies the payload of one data sub-block after another; an empty span ends
// the data (the terminating zero-length block, or the end of the file).
class GifBlockFeed {
public:
  virtual std::span<const uint8_t> NextBlock() = 0;

protected:
  ~GifBlockFeed() = default;
};

class GifLzwDecoder {
public:
  // minCodeSize is the byte stored before the data; values outside 1..8 are
  // brought into that range (codes never exceed 12 bits).
  void Start(unsigned minCodeSize);

  // Writes the next indices into `out` until it is full or the stream ends;
  // returns how many were written. Once it returns less than out.size(), the
  // stream is over and every later call returns 0.
  std::size_t Fill(std::span<uint8_t> out, GifBlockFeed& feed);

  // True when the stream ended at its end code (rather than running out of data).
  bool EndCodeSeen() const { return endCode_; }

private:
  static constexpr unsigned TableSize = 4096;
  static constexpr uint16_t NoCode = 0xFFFF;

  // The next code, or -1 when the data end before a whole code.
  int ReadCode(GifBlockFeed& feed);
  void ResetTable();
  // Puts the string of `code` into the pending stack (in reading order).
  void Unpack(unsigned code);

  std::array<uint16_t, TableSize> prefix_{};
  std::array<uint8_t, TableSize> suffix_{};
  std::array<uint8_t, TableSize> first_{};   // first index of each code's string
  std::array<uint16_t, TableSize> length_{}; // length of each code's string, 1..4096
  std::array<uint8_t, TableSize> pending_{}; // a string not yet handed out
  unsigned pendingPos_ = 0;
  unsigned pendingEnd_ = 0;

  std::span<const uint8_t> block_;
  std::size_t blockPos_ = 0;
  uint32_t bits_ = 0;
  unsigned bitCount_ = 0;
  bool dataEnded_ = false;

  unsigned minCodeSize_ = 8;
  unsigned codeSize_ = 9;
  unsigned clear_ = 256;
  unsigned next_ = 258;
  uint16_t previous_ = NoCode;
  bool done_ = false;
  bool endCode_ = false;
};

} // namespace korv
