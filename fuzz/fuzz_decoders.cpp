// libFuzzer target for the FITS row decoders without their container: the
// first byte picks the decoder, the next two the row width; the rest is the
// compressed stream, decoded row after row until it is used up.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "readers/fits/data_source.h"
#include "readers/fits/prev_pixel_decoder.h"
#include "readers/fits/prof_var_decoder.h"
#include "readers/fits/rice_decoder.h"
#include "readers/fits/tile_compressed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const unsigned which = data[0] % 4;
  const std::size_t width = 1 + ((static_cast<std::size_t>(data[1]) << 8 | data[2]) % 30000);
  const std::span<const uint8_t> stream(data + 3, size - 3);
  std::vector<uint16_t> row(width);
  korv::DataSource src(stream);
  // Rows are bounded: past the end the stream reads as zeros forever.
  const int maxRows = 64;
  switch (which) {
  case 0: {
    int16_t predictor = 0;
    for (int r = 0; r < maxRows && !src.AtEnd(); ++r) korv::DecodePrevPixelRow(src, predictor, row);
    break;
  }
  case 1: {
    korv::ProfVarCarry carry;
    std::vector<uint8_t> scratch(korv::ProfVarPlaneScratch(width));
    for (int r = 0; r < maxRows && !src.AtEnd(); ++r)
      korv::DecodeProfVarRow(src, carry, row, scratch);
    break;
  }
  case 2: {
    korv::RiceStream rs;
    rs.K = data[1] % 17;
    rs.M = data[2] % 40;
    int16_t predictor = 0;
    for (int r = 0; r < maxRows && !src.AtEnd(); ++r) korv::DecodeRiceRow(src, rs, predictor, row);
    break;
  }
  default: {
    static const std::array<int, 3> bytePix = {1, 2, 4};
    std::vector<int32_t> out(width);
    korv::DecodeRiceTile(stream, 16 + 16 * (data[1] & 1), bytePix[data[2] % 3], out);
    break;
  }
  }
  return 0;
}
