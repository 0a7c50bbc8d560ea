// libFuzzer target for the lossless JPEG decoder without its container: the
// input is the stream; the first byte's low bit picks in-memory or block reads
// (blocks of a size taken from the same byte), the next bit raw differences.
// Every line of the frame is decoded, capped so that a huge frame stays quick.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "readers/tiff/lossless_jpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0];
  const std::span<const uint8_t> stream(data + 1, size - 1);
  korv::LosslessJpegDecoder dec;
  korv::LjpegOptions o;
  o.RawDifferences = (mode & 2) != 0;
  o.BlockBytes = 64u << (mode >> 4);
  o.Trace = [](std::string_view) {};
  korv::LjpegStatus st;
  if (mode & 1) {
    auto read = [stream](uint64_t off, std::span<uint8_t> out) -> std::size_t {
      if (off >= stream.size()) return 0;
      const std::size_t n = std::min<std::size_t>(out.size(), stream.size() - off);
      std::copy_n(stream.data() + off, n, out.data());
      return n;
    };
    st = dec.Start(read, stream.size(), o);
  } else {
    st = dec.Start(stream, o);
  }
  (void)korv::LjpegMessage(st);
  if (st != korv::LjpegStatus::Ok) return 0;
  const korv::LjpegFrame& f = dec.Frame();
  std::vector<uint16_t> line(f.LineSamples());
  // At most about four million samples per input.
  const uint64_t maxLines = std::max<uint64_t>(1, (uint64_t{1} << 22) / std::max(1u, f.LineSamples()));
  for (uint64_t y = 0; y < f.Lines && y < maxLines; ++y) dec.DecodeLine(line);
  (void)dec.FirstShortLine();
  return 0;
}
