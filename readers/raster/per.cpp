// PER files: an 8-bit grey image in square tiles of 16 x 16 bytes. The header
// starts with the little-endian value 0x00030001 and holds the height at offset
// 14 and the width at offset 18 (little-endian words); the tiles start at 1280,
// tile row after tile row, ceil(width / 16) tiles each, left to right, every
// tile 16 lines of 16 samples. Columns of the right-hand tiles beyond the width
// are stored but unused.

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/byte_view.h"
#include "core/conversion.h"
#include "core/stop.h"
#include "core/truncation.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/readers.h"

namespace korv {
namespace {

constexpr uint32_t PerSignature = 0x00030001;
constexpr int64_t TilesOffset = 1280;
constexpr std::size_t TileSide = 16;
constexpr std::size_t TileBytes = TileSide * TileSide;

struct PerHeader {
  uint32_t Signature = 0;
  uint16_t Height = 0;
  uint16_t Width = 0;
};

PerHeader ReadPerHeader(Conversion& cv) {
  std::array<uint8_t, 20> bytes{};
  const std::size_t got = cv.Input.Read(bytes.data(), bytes.size());
  ByteView view(std::span<const uint8_t>(bytes.data(), got), ByteOrder::Little);
  PerHeader h;
  h.Signature = view.U32At(0);
  h.Height = view.U16At(14);
  h.Width = view.U16At(18);
  return h;
}

uint64_t TilesPerRow(const PerHeader& h) { return (uint64_t{h.Width} + TileSide - 1) / TileSide; }

void CheckPerHeader(Conversion& cv, const PerHeader& h) {
  if (h.Signature != PerSignature) Stop(cv, "Pas du PER !");
  if (h.Width == 0 || h.Height == 0 || h.Width > MaxRowSamples) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(h.Width) + " x " +
                 std::to_string(h.Height));
  }
  // A header claiming a huge image in a tiny file must not fill the disk with zeros.
  const int64_t size = cv.Input.Size();
  if (size <= 0) return;
  const uint64_t tileRows = (uint64_t{h.Height} + TileSide - 1) / TileSide;
  const uint64_t needed = tileRows * TilesPerRow(h) * TileBytes;
  const uint64_t held = size > TilesOffset ? uint64_t(size - TilesOffset) : 0;
  if (held < needed) CheckMissingOutput(cv, needed - held);
}

} // namespace

void ReadPer(Conversion& cv) {
  ReadOptions(cv);
  OpenInput(cv);
  const PerHeader h = ReadPerHeader(cv);
  CheckPerHeader(cv, h);

  ImageState& st = cv.State;
  st.ImageWidth = h.Width;
  st.ImageHeight = h.Height;
  PrepareOutput(cv);
  st.InputMax = 255;

  // One tile row (16 image rows) at a time: at most 1875 tiles, 480000 bytes.
  const uint64_t tilesPerRow = TilesPerRow(h);
  std::vector<uint8_t> tileRow(tilesPerRow * TileBytes);
  std::size_t held = 0;
  uint64_t missing = 0;
  for (uint32_t y = 0; y < h.Height; ++y) {
    const std::size_t line = y % TileSide;
    if (line == 0) {
      const uint64_t tileRowIndex = y / TileSide;
      cv.Input.Seek(TilesOffset + static_cast<int64_t>(tileRowIndex * tilesPerRow * TileBytes));
      held = cv.Input.Read(tileRow.data(), tileRow.size());
      // Tiles past the end of the file are 0.
      std::fill(tileRow.begin() + static_cast<std::ptrdiff_t>(held), tileRow.end(), uint8_t{0});
    }
    const std::span<uint16_t> row = cv.Row();
    for (std::size_t x = 0; x < row.size(); ++x) {
      const std::size_t at = (x / TileSide) * TileBytes + line * TileSide + x % TileSide;
      row[x] = tileRow[at];
      if (at >= held) ++missing;
    }
    WriteOutputRow(cv, static_cast<uint16_t>(y));
  }
  NoteMissingData(cv, missing, uint64_t{h.Width} * h.Height, MissingUnit::Samples);
  cv.Input.Close();
}

} // namespace korv
