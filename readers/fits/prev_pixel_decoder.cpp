#include "readers/fits/prev_pixel_decoder.h"

namespace korv {

void DecodePrevPixelRow(DataSource& src, int16_t& predictor, std::span<uint16_t> out) {
  uint16_t p = static_cast<uint16_t>(predictor);
  for (uint16_t& sample : out) {
    const uint8_t b = src.Next();
    if (b != 255) {
      p = static_cast<uint16_t>(p + b - 127);
    } else {
      const uint8_t hi = src.Next();
      const uint8_t lo = src.Next();
      p = static_cast<uint16_t>(hi << 8 | lo);
    }
    sample = p;
  }
  predictor = static_cast<int16_t>(p);
}

} // namespace korv
