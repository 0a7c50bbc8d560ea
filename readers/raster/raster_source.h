// Buffered input shared by the raster readers: header blocks, whole rows and
// single bytes of run-length data all come through one private buffer. Bytes
// past the end of the file read as 0 and are counted, so a reader can tell how
// much of its image the file did not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/image_state.h"
#include "core/input_file.h"

namespace korv {

class RasterSource {
public:
  // The longest block Take hands out: a 32-bit row of 30000 pixels with room to spare.
  static constexpr std::size_t MaxTake = std::size_t{192} << 10;

  explicit RasterSource(InputFile& in);

  // Moves to an absolute offset of the file (past the end reads as zeros).
  void Seek(int64_t position);
  int64_t Tell() const { return base_ + static_cast<int64_t>(pos_); }

  uint8_t Byte() {
    if (pos_ == fill_ && !Refill(1)) {
      ++missing_;
      return 0;
    }
    return buffer_[pos_++];
  }
  uint16_t WordLE() {
    const uint16_t lo = Byte();
    return static_cast<uint16_t>(lo | (Byte() << 8));
  }
  void Skip(uint64_t n);

  // Exactly n bytes (n at most MaxTake); what the file does not hold is 0.
  // Valid until the next call.
  std::span<const uint8_t> Take(std::size_t n);

  // Bytes asked for beyond the end of the file so far.
  uint64_t MissingBytes() const { return missing_; }
  // True once no byte is left (tries to read more first).
  bool Exhausted() { return pos_ == fill_ && !Refill(1); }

private:
  bool Refill(std::size_t need);

  InputFile& in_;
  std::vector<uint8_t> buffer_;
  int64_t base_ = 0;     // file offset of buffer_[0]
  std::size_t fill_ = 0;
  std::size_t pos_ = 0;
  bool atEnd_ = false;
  uint64_t missing_ = 0;
};

// The channel weights line, "rvb={r,v,b}" or with the fourth weight "rvba={r,v,b,a}".
std::string WeightsLine(const ImageState& st, bool withAlpha);

} // namespace korv
