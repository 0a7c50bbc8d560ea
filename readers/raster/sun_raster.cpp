// Sun raster reader: uncompressed images of 8 bits per pixel, through their
// RGB colour map when there is one, and of 24 bits per pixel, blue, green, red
// in the standard type and red, green, blue in the RGB type. Rows are padded
// to an even number of bytes and stored top row first.

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "core/byte_view.h"
#include "core/colour.h"
#include "core/conversion.h"
#include "core/stop.h"
#include "core/truncation.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/raster/raster_source.h"
#include "readers/readers.h"

namespace korv {
namespace {

constexpr uint32_t SunMagic = 0x59A66A95;
constexpr uint32_t TypeStandard = 1;
constexpr uint32_t TypeRgb = 3;
constexpr uint32_t MapRgb = 1;

struct SunHeader {
  uint32_t Magic = 0;
  uint32_t Width = 0;
  uint32_t Height = 0;
  uint32_t Depth = 0;
  uint32_t Type = 0;
  uint32_t MapType = 0;
  uint32_t MapLength = 0; // bytes
};

SunHeader ReadSunHeader(RasterSource& src) {
  ByteView v(src.Take(32), ByteOrder::Big);
  SunHeader h;
  h.Magic = v.U32();
  h.Width = v.U32();
  h.Height = v.U32();
  h.Depth = v.U32();
  v.Skip(4); // data length
  h.Type = v.U32();
  h.MapType = v.U32();
  h.MapLength = v.U32();
  return h;
}

} // namespace

void ReadSunRaster(Conversion& cv) {
  ReadOptions(cv);
  if (!OpenInput(cv)) Stop(cv, "Lecture impossible : " + cv.State.InputFilePath.str());
  ImageState& st = cv.State;
  RasterSource src(cv.Input);
  const SunHeader h = ReadSunHeader(src);
  if (h.Magic != SunMagic) Stop(cv, "Pas du Sun raster !");
  Say(cv, "Typ=" + std::to_string(h.Type));
  Say(cv, "Nbp=" + std::to_string(h.Depth));
  Say(cv, "Tpa=" + std::to_string(h.MapLength));
  if (h.Width == 0 || h.Height == 0 || h.Width > MaxRowSamples || h.Height > 65535) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(h.Width) + " x " +
                 std::to_string(h.Height));
  }
  if (h.Type != TypeStandard && h.Type != TypeRgb)
    Stop(cv, "Compression pas support\u00e9e");
  if (h.Depth != 8 && h.Depth != 24)
    Stop(cv, "Profondeur pas support\u00e9e : " + std::to_string(h.Depth) + " bits par pixel");

  const uint32_t width = h.Width;
  const uint64_t rowBytes = uint64_t{width} * (h.Depth / 8) + (width & 1u);
  const uint64_t dataStart = 32 + uint64_t{h.MapLength};
  const int64_t size = cv.Input.Size();
  if (size > 0) {
    const uint64_t have = static_cast<uint64_t>(size) > dataStart ? size - dataStart : 0;
    const uint64_t rowsHeld = have / rowBytes;
    if (rowsHeld < h.Height) CheckMissingOutput(cv, (h.Height - rowsHeld) * uint64_t{width});
  }
  st.ImageWidth = static_cast<uint16_t>(width);
  st.ImageHeight = static_cast<uint16_t>(h.Height);
  PrepareOutput(cv);

  std::array<uint16_t, 256> grey{};
  if (h.MapType == MapRgb && h.MapLength != 0) {
    // Three planes, red, green, blue; indices beyond a short map give 0.
    const uint32_t entries = h.MapLength / 3;
    const uint32_t used = std::min<uint32_t>(entries, 256);
    std::array<std::array<uint8_t, 256>, 3> planes{};
    for (unsigned p = 0; p < 3; ++p) {
      src.Seek(32 + int64_t{p} * entries);
      const std::span<const uint8_t> bytes = src.Take(used);
      std::copy(bytes.begin(), bytes.end(), planes[p].begin());
    }
    for (uint32_t i = 0; i < used; ++i)
      grey[i] = WeightedGreyExtended(st, planes[0][i], planes[1][i], planes[2][i]);
  } else {
    for (unsigned i = 0; i < 256; ++i) grey[i] = static_cast<uint16_t>(i);
  }
  st.InputMax = 255;

  // A map of any kind sits between the header and the pixels.
  src.Seek(static_cast<int64_t>(dataStart));
  const std::span<uint16_t> row = cv.Row();
  const bool bgr = h.Type == TypeStandard;
  uint64_t shortRows = 0;
  for (uint32_t r = 0; r < h.Height; ++r) {
    const uint64_t missingBefore = src.MissingBytes();
    const std::span<const uint8_t> bytes = src.Take(static_cast<std::size_t>(rowBytes));
    if (src.MissingBytes() != missingBefore) ++shortRows;
    if (h.Depth == 8) {
      for (uint32_t c = 0; c < width; ++c) row[c] = grey[bytes[c]];
    } else if (bgr) {
      for (uint32_t c = 0; c < width; ++c)
        row[c] = WeightedGreyExtended(st, bytes[3 * c + 2], bytes[3 * c + 1], bytes[3 * c]);
    } else {
      for (uint32_t c = 0; c < width; ++c)
        row[c] = WeightedGreyExtended(st, bytes[3 * c], bytes[3 * c + 1], bytes[3 * c + 2]);
    }
    WriteOutputRow(cv, static_cast<uint16_t>(r));
  }
  NoteMissingData(cv, shortRows, h.Height);
  cv.Input.Close();
}

} // namespace korv
