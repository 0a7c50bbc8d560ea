// Panasonic and Leica compressed raw data: a bit stream read backwards through
// 16 KiB blocks (each block optionally rotated by a split offset), coding the
// samples in blocks of 14 with one predictor per column parity.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace korv {

class PanasonicBitSource {
public:
  static constexpr std::size_t BlockBytes = 0x4000;
  // fill(out) copies the next out.size() bytes of the stream, zeros past its
  // end, and returns how many the stream held.
  using Fill = std::function<std::size_t(std::span<uint8_t>)>;

  PanasonicBitSource(Fill fill, unsigned splitOffset)
      : fill_(std::move(fill)), split_(splitOffset < BlockBytes ? splitOffset : 0),
        buf_(BlockBytes + 2) {}

  // The next n bits (n from 1 to 16).
  unsigned Bits(unsigned n);
  // Bytes asked of the stream that it did not hold.
  uint64_t MissingBytes() const { return missing_; }

private:
  Fill fill_;
  unsigned split_;
  uint32_t bitPos_ = 0;
  uint64_t missing_ = 0;
  // Two spare bytes: the last index reads one byte past the block.
  std::vector<uint8_t> buf_;
};

// Decodes one row of `row.size()` samples; blocks of 14 start at column 0.
void DecodePanasonicRow(PanasonicBitSource& bits, std::span<uint16_t> row);

} // namespace korv
