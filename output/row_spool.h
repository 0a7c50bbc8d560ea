// Where output rows wait when they cannot be written as they complete: an
// unnamed temporary file beside the output for compressed rows that arrive top
// row first (they are encoded bottom row first once the last one is in), and a
// record of which output rows were written, so that rows a reader never
// delivered can be given their zero value at the end.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

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

  void MarkWritten(uint16_t slot) { written_[slot / 64] |= uint64_t{1} << (slot % 64); }
  bool Written(uint16_t slot) const { return (written_[slot / 64] >> (slot % 64)) & 1u; }

private:
  int fd_ = -1;
  uint16_t width_ = 0;
  std::array<uint64_t, 65536 / 64> written_{};
};

} // namespace korv
