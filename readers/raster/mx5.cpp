// MX5 camera frames: 510 x 290 little-endian 16-bit samples from the first byte
// of the file, no header, taken through a 2 x 2 colour filter mosaic. Each
// sample is weighted by the weight of its mosaic cell (even row: R, V; odd row:
// B, A), the two green cells sharing the green weight by default, so that the
// frame approximates grey. Weighted samples keep their low 16 bits, unclamped.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>

#include "core/conversion.h"
#include "core/numbers.h"
#include "core/truncation.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/readers.h"

namespace korv {
namespace {

constexpr uint16_t FrameWidth = 510;
constexpr uint16_t FrameHeight = 290;
constexpr std::size_t FrameRowBytes = 2 * std::size_t{FrameWidth};

// The weighted sample rounded to nearest (ties to even), modulo 65536: a weight
// above 1 wraps, a negative one gives the two's complement.
uint16_t WeightedSample(uint16_t v, float weight) {
  const double r = std::nearbyint(static_cast<double>(v) * static_cast<double>(weight));
  if (!std::isfinite(r)) return 0;
  double low = std::fmod(r, 65536.0);
  if (low < 0) low += 65536.0;
  return static_cast<uint16_t>(low);
}

std::string CellLine(const std::array<std::array<float, 2>, 2>& cell) {
  return "Ccg={{" + FormatFixed(cell[0][0], 3) + "," + FormatFixed(cell[0][1], 3) + "},{" +
         FormatFixed(cell[1][0], 3) + "," + FormatFixed(cell[1][1], 3) + "}}";
}

} // namespace

void ReadMx5(Conversion& cv) {
  ImageState& st = cv.State;
  st.ChannelWeightR = 0.299f;
  st.ChannelWeightV = 0.2935f;
  st.ChannelWeightB = 0.2935f;
  st.ChannelWeightA = 0.114f;
  ReadOptions(cv);
  // [row parity][column parity]
  const std::array<std::array<float, 2>, 2> cell = {{
      {st.ChannelWeightR, st.ChannelWeightV},
      {st.ChannelWeightB, st.ChannelWeightA},
  }};
  Say(cv, CellLine(cell));
  OpenInput(cv);

  st.ImageWidth = FrameWidth;
  st.ImageHeight = FrameHeight;
  PrepareOutput(cv);
  std::array<uint8_t, FrameRowBytes> bytes{};
  uint64_t missing = 0;
  for (uint16_t y = 0; y < FrameHeight; ++y) {
    const std::size_t got = cv.Input.Read(bytes.data(), bytes.size());
    // Samples past the end of a short file are 0.
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(got), bytes.end(), uint8_t{0});
    missing += (FrameRowBytes - got + 1) / 2;
    const std::span<uint16_t> row = cv.Row();
    const std::array<float, 2>& weights = cell[y % 2];
    for (std::size_t x = 0; x < FrameWidth; ++x) {
      const uint16_t v = static_cast<uint16_t>(bytes[2 * x] | bytes[2 * x + 1] << 8);
      row[x] = WeightedSample(v, weights[x % 2]);
    }
    WriteOutputRow(cv, y);
  }
  NoteMissingData(cv, missing, std::size_t{FrameWidth} * FrameHeight, MissingUnit::Samples);
  cv.Input.Close();
}

} // namespace korv
