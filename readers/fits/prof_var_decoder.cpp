#include "readers/fits/prof_var_decoder.h"

#include <algorithm>

namespace korv {

namespace {

// Record header bytes: 1..127 literal of that many bytes, 0 + u16 LE literal,
// 129..255 run of (h - 128) copies of the next byte, 128 + u16 LE run.
struct PlaneRecords {
  DataSource& Src;
  uint32_t Left = 0;
  bool Run = false;
  uint8_t RunByte = 0;

  uint8_t NextPlaneByte() {
    if (Left == 0) {
      const uint8_t h = Src.Next();
      Run = h >= 128;
      Left = h & 127u;
      if (Left == 0) {
        const uint8_t lo = Src.Next();
        Left = lo | static_cast<uint32_t>(Src.Next()) << 8;
      }
      if (Run) RunByte = Src.Next();
    }
    // A zero count yields one byte as well, like any other record header.
    if (Left > 0) --Left;
    return Run ? RunByte : Src.Next();
  }
};

} // namespace

void DecodeProfVarRow(DataSource& src, ProfVarCarry& carry, std::span<uint16_t> out) {
  const std::size_t width = out.size();
  std::fill(out.begin(), out.end(), uint16_t{0});
  for (unsigned plane = 0; plane < 16; ++plane) {
    const uint16_t weight = static_cast<uint16_t>(1u << plane);
    PlaneRecords records{src};
    for (std::size_t x = 0; x < width; x += 8) {
      uint8_t b = records.NextPlaneByte();
      // A record running past the end of the plane is dropped with the plane.
      for (std::size_t i = x; b != 0 && i < width; ++i, b >>= 1) {
        if (b & 1u) out[i] = static_cast<uint16_t>(out[i] | weight);
      }
    }
  }
  uint16_t even = carry.Sample1;
  uint16_t odd = carry.Sample0;
  for (std::size_t x = 0; x < width; ++x) {
    const uint16_t z = out[x];
    const uint16_t d = (z & 1u) ? static_cast<uint16_t>(~(z >> 1)) : static_cast<uint16_t>(z >> 1);
    uint16_t& pred = (x & 1u) ? odd : even;
    pred = static_cast<uint16_t>(pred + d);
    out[x] = pred;
  }
  carry.Sample0 = width > 0 ? out[0] : 0;
  carry.Sample1 = width > 1 ? out[1] : 0;
}

} // namespace korv
