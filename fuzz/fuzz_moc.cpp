// libFuzzer target for the Mars camera stream decoder without its label: one
// byte picks plain or predicted lines, two give the line width; the rest is the
// stream (62-byte header first), decoded line after line until it is used up.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "readers/fits/data_source.h"
#include "readers/pds/moc_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const bool predicted = (data[0] & 1) != 0;
  const std::size_t width = 1 + ((std::size_t{data[1]} << 8 | data[2]) % 30000);
  korv::DataSource src(std::span<const uint8_t>(data + 3, size - 3));
  korv::MocStream stream(src);
  stream.Start();
  std::vector<uint16_t> row(width);
  // Lines are bounded: past its end the stream reads as zeros forever.
  for (unsigned n = 0; n < 300 && !stream.AtEnd(); ++n) {
    if (!predicted)
      stream.DecodePlainLine(row);
    else if (n % 128 == 0)
      stream.DecodeSyncLine(row);
    else
      stream.DecodePredictedLine(row);
  }
  return 0;
}
