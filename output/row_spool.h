// Where output rows wait when they cannot be written as they complete: an
// unnamed temporary file beside the output for compressed rows that arrive top
// row first (they are encoded bottom row first once the last one is in), and a
// record of which output rows were written, so that rows a reader never
// delivered can be given their zero value at the end. Plain rows are gathered
// into one contiguous stretch of the file and written together, in either
// direction, which saves thousands of small writes and seeks on large images.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korv {

class RowSpool {
public:
  RowSpool() = default;
  RowSpool(const RowSpool&) = delete;
  RowSpool& operator=(const RowSpool&) = delete;
  ~RowSpool();

  // Forgets every row and closes the temporary file.
  void Reset();

  // Opens an unnamed temporary file in the directory of `outputPath` for rows of
  // `width` samples; false (errno kept) when it cannot be created.
  bool Open(const std::string& outputPath, uint16_t width);
  bool IsOpen() const { return fd_ >= 0; }
  // Stores one row at its slot (it must hold the width given to Open).
  bool Put(uint16_t slot, std::span<const uint16_t> row);
  // Reads one row back; a slot never stored reads as zeros.
  bool Get(uint16_t slot, std::span<uint16_t> row);

  // Place in the gathering buffer for a plain row of n bytes (at most
  // GatherCapacity) at file position `at`: rows are gathered upward (each after
  // the last) or downward (each before the last). Empty when the row does not
  // extend the gathered stretch: the caller writes that stretch, then asks again.
  std::span<uint8_t> Gather(int64_t at, std::size_t n, bool downward);
  int64_t GatheredAt() const { return low_; }
  std::span<const uint8_t> Gathered() const;
  void ClearGathered() { low_ = high_ = 0; }

  static constexpr std::size_t GatherCapacity = std::size_t{1} << 20;

  void MarkWritten(uint16_t slot) { written_[slot / 64] |= uint64_t{1} << (slot % 64); }
  bool Written(uint16_t slot) const { return (written_[slot / 64] >> (slot % 64)) & 1u; }

private:
  int fd_ = -1;
  uint16_t width_ = 0;
  std::array<uint64_t, 65536 / 64> written_{};
  std::vector<uint8_t> gather_;  // allocated once, at the first plain row
  int64_t base_ = 0;             // file position of gather_[0]
  int64_t low_ = 0, high_ = 0;   // gathered stretch [low_, high_); empty when equal
};

} // namespace korv
