// FITS integrity checksums: DATASUM, the 32-bit ones'-complement sum of the data
// records, and CHECKSUM, the ASCII-encoded complement of the sum of the whole
// HDU, which makes that sum all ones. The data are summed as their bytes are
// written, in any order; the two cards are filled in once the header is final.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace korv {

struct Conversion;

// Ones'-complement sum of big-endian 32-bit words. Bytes may be added in any
// order and in pieces that start anywhere: `offset` is the position of the
// piece from the start of the summed area, which fixes each byte's place in
// its word.
class OnesSum {
public:
  void Add(std::span<const uint8_t> bytes, uint64_t offset);
  uint32_t Value() const;
  void Reset() { sum_ = 0; }

private:
  uint64_t sum_ = 0;
};

uint32_t AddOnes(uint32_t a, uint32_t b);
// The 16 characters of CHECKSUM for an HDU whose sum, with CHECKSUM written
// as 16 zeros, is `sum`.
std::string EncodeChecksum(uint32_t sum);

struct DataChecksum {
  bool Active = false;   // a plain FITS file is being written
  uint64_t Bytes = 0;    // data bytes summed so far
  OnesSum Sum;
};

// The two cards as first written, with the values to be filled in.
extern const char* const ChecksumPlaceholder;
extern const char* const DatasumPlaceholder;

// Adds data bytes written at file position `position` to the data sum.
void NoteDataBytes(Conversion& cv, std::span<const uint8_t> bytes, int64_t position);
// Writes the final DATASUM and CHECKSUM into the header of the open output
// file (a file whose header has no such cards is left alone). The data are read
// back only when the bytes summed while writing are not exactly the data area.
// Stops the run on a failed read or write.
void SealChecksums(Conversion& cv);

} // namespace korv
