// "PREVPIXEL" row encoder.
#include "output/prev_pixel.h"

namespace korv {

void EncodePrevPixelRow(std::span<const uint16_t> row, ByteSink& sink) {
  int previous = 0;
  bool first = true;
  for (const uint16_t v : row) {
    const int d = static_cast<int>(v) - previous;
    previous = v;
    if (!first && d >= -PrevPixelBias && d <= PrevPixelBias) {
      sink.Put(static_cast<uint8_t>(d + PrevPixelBias));
    } else {
      sink.Put(PrevPixelEscape);
      sink.Put(static_cast<uint8_t>(v >> 8));
      sink.Put(static_cast<uint8_t>(v & 0xFF));
    }
    first = false;
  }
}

} // namespace korv
