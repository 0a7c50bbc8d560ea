// Buffered sequential reads of the pixel data of a TIFF-family file: bytes,
// blocks and bit fields, in blocks of 31744 bytes (eight of them read at once),
// optionally swapping the bytes of each 16 or 32-bit group. Past the end of the
// file the source yields zeros forever and counts them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace korv {

class InputFile;

class TiffByteSource {
public:
  static constexpr std::size_t RefillBytes = 31744;
  // One read of the file fills this many blocks.
  static constexpr std::size_t BlocksPerRead = 8;

  explicit TiffByteSource(InputFile& in);

  // Repositions at an absolute file offset; drops the buffer and the bit state.
  void Seek(uint64_t position);
  // 0: bytes as stored; 2 or 4: each group of that many bytes reversed.
  void SetSwap(unsigned groupBytes) { swap_ = groupBytes; }

  uint8_t Byte() {
    if (pos_ == fill_) Refill();
    return buffer_[pos_++];
  }
  // Copies the next out.size() bytes (zeros past the end).
  void Read(std::span<uint8_t> out);
  // The bytes not yet taken of the current block (at least one; zeros past
  // the end), all taken by the call.
  std::span<const uint8_t> TakeChunk();

  // Bit fields of up to 25 bits, most or least significant bit first.
  uint32_t BitsMsb(unsigned n);
  uint32_t BitsLsb(unsigned n);
  void ResetBits() {
    bitBuffer_ = 0;
    bitCount_ = 0;
  }

  // Bytes served past the end of the file since construction.
  uint64_t MissingBytes() const { return missing_ + (pos_ > zeroFrom_ ? pos_ - zeroFrom_ : 0); }

private:
  void Refill();
  // Counts the zeros taken from the buffer about to be dropped.
  void DropBuffer() {
    missing_ = MissingBytes();
    fill_ = pos_ = zeroFrom_ = blockFrom_ = 0;
  }

  InputFile& in_;
  std::vector<uint8_t> buffer_;
  std::size_t fill_ = 0;
  std::size_t pos_ = 0;
  std::size_t zeroFrom_ = 0; // buffer positions from here on are zeros past the end
  std::size_t blockFrom_ = 0; // blocks start here in the buffer (a seek within it moves them)
  int64_t bufferAt_ = 0;      // file position of buffer_[0]
  int64_t resumeAt_ = -1;     // where the next refill reads, after a seek within the buffer
  unsigned swap_ = 0;
  uint64_t missing_ = 0;
  uint64_t bitBuffer_ = 0;
  unsigned bitCount_ = 0;
};

} // namespace korv
