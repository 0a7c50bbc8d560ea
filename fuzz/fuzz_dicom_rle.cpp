// libFuzzer target for the run-length segment decoder of DICOM pixel data,
// without its container: the first byte picks the number of segments a row
// takes (1 to 6), the next two the row width; the rest is one compressed frame
// (its 64-byte header, then the segments), decoded row after row.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "readers/dicom/rle_segment.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const unsigned segments = 1 + data[0] % 6;
  const std::size_t width = 1 + ((static_cast<std::size_t>(data[1]) << 8 | data[2]) % 30000);
  const std::span<const uint8_t> frame(data + 3, size - 3);
  korv::RleHeader header;
  if (korv::ReadRleHeader(frame, header) != korv::RleHeaderStatus::Ok) return 0;
  std::vector<korv::RleSegmentDecoder> decoders;
  for (unsigned i = 0; i < segments; ++i)
    decoders.emplace_back(korv::RleSegment(frame, header, i));
  std::vector<uint8_t> row(width);
  // Rows are bounded: past its end a segment reads as zeros forever.
  for (int r = 0; r < 64; ++r) {
    std::size_t got = 0;
    for (auto& d : decoders) got += d.Decode(row);
    if (got == 0) break;
  }
  korv::RleSegmentDecoder skip(korv::RleSegment(frame, header, 0));
  skip.Skip(uint64_t{width} * 64);
  return 0;
}
