// PCX reader: one-plane images of 1, 2, 4 or 8 bits per pixel through the
// 16-entry header palette or the trailing 256-entry one, planar palette images
// (EGA: up to four planes of 1 bit, their bits forming the index), and three
// or four planes of 8-bit colour, raw or run-length encoded. A run never
// continues into the next line. Rows are stored top row first.

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

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

constexpr int64_t HeaderBytes = 128;
constexpr int64_t TrailingPaletteBytes = 769; // marker 12 and 256 entries
// Bytes of a line that are kept: the four planes a pixel can use, each at most
// 65535 bytes. Further bytes of a line are decoded and dropped.
constexpr std::size_t LineKeep = std::size_t{4} * 65535;

struct PcxHeader {
  uint8_t Version = 0;
  uint8_t Encoding = 0;
  uint8_t Bits = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  std::array<uint8_t, 48> Palette{};
  uint8_t Planes = 0;
  uint16_t BytesPerPlane = 0;
};

PcxHeader ReadPcxHeader(RasterSource& src) {
  ByteView v(src.Take(HeaderBytes));
  PcxHeader h;
  v.Skip(1);
  h.Version = v.U8();
  h.Encoding = v.U8();
  h.Bits = v.U8();
  const int32_t xmin = v.U16LE(), ymin = v.U16LE(), xmax = v.U16LE(), ymax = v.U16LE();
  h.Width = xmax - xmin + 1;
  h.Height = ymax - ymin + 1;
  v.Seek(16);
  for (uint8_t& b : h.Palette) b = v.U8();
  v.Skip(1);
  h.Planes = v.U8();
  h.BytesPerPlane = v.U16LE();
  return h;
}

// Palette images: one plane, or several planes of fewer than 8 bits whose
// values together form the index.
bool IsIndexed(const PcxHeader& h) { return h.Planes <= 1 || h.Bits < 8; }

// One line of L positions; `keep` receives the first positions. Returns false
// when the file ended before the line did (the rest of the line is 0).
bool DecodeLine(RasterSource& src, bool rle, uint32_t length, std::span<uint8_t> keep) {
  uint32_t pos = 0;
  while (pos < length) {
    // Past the end every byte is 0: the rest of the line at once, not byte by byte.
    if (src.Exhausted()) {
      if (pos < keep.size()) std::fill(keep.begin() + pos, keep.end(), uint8_t{0});
      return false;
    }
    uint8_t b = src.Byte();
    uint32_t count = 1;
    if (rle && (b & 0xC0) == 0xC0) {
      // A count of 0 stands for 256 (the counter is a byte that wraps).
      count = (b & 63) != 0 ? b & 63u : 256u;
      b = src.Byte();
    }
    // Runs are cut at the end of the line.
    count = std::min(count, length - pos);
    const uint32_t kept = pos < keep.size() ? std::min<uint32_t>(count, keep.size() - pos) : 0;
    std::fill_n(keep.begin() + pos, kept, b);
    pos += count;
  }
  return true;
}

} // namespace

void ReadPcx(Conversion& cv) {
  ReadOptions(cv);
  if (!OpenInput(cv)) Stop(cv, "Lecture impossible : " + cv.State.InputFilePath.str());
  ImageState& st = cv.State;
  const int64_t size = cv.Input.Size();
  RasterSource src(cv.Input);
  const PcxHeader h = ReadPcxHeader(src);
  Say(cv, "Nph=" + std::to_string(h.Width));
  Say(cv, "NpV=" + std::to_string(h.Height));
  Say(cv, "Ver=" + std::to_string(h.Version));
  Say(cv, "Cmp=" + std::to_string(h.Encoding));
  Say(cv, "Nbp=" + std::to_string(h.Bits));
  Say(cv, "Npl=" + std::to_string(h.Planes));
  Say(cv, "Bpl=" + std::to_string(h.BytesPerPlane));
  if (h.Width <= 0 || h.Height <= 0 || h.Width > static_cast<int32_t>(MaxRowSamples)) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(h.Width) + " x " +
                 std::to_string(h.Height));
  }
  const bool rle = h.Encoding == 1;
  const uint32_t length = uint32_t{h.BytesPerPlane} * h.Planes;
  const auto width = static_cast<uint32_t>(h.Width);
  const auto height = static_cast<uint32_t>(h.Height);
  const unsigned bits = h.Bits == 0 || h.Bits > 8 ? 8 : h.Bits;
  const unsigned perByte = 8 / bits;
  // Columns a line has bytes for; the others are 0 on every line.
  const uint64_t dataColumns =
      IsIndexed(h) ? std::min<uint64_t>(width, uint64_t{h.BytesPerPlane} * perByte)
                   : (h.BytesPerPlane > 0 ? width : 0);
  // A header claiming far more than the file can give would produce mostly
  // zeros: a run pair gives at most 256 positions.
  uint64_t linesHeld = 0;
  if (size > 0 && length > 0) {
    const uint64_t data = size > HeaderBytes ? static_cast<uint64_t>(size - HeaderBytes) : 0;
    const uint64_t positions = rle ? (data + 1) / 2 * 256 : data;
    linesHeld = std::min<uint64_t>(positions / length, height);
  } else if (length > 0) {
    linesHeld = height; // size unknown: the line loop bounds the work
  }
  CheckMissingOutput(cv, uint64_t{height} * width - linesHeld * dataColumns);
  st.ImageWidth = static_cast<uint16_t>(width);
  st.ImageHeight = static_cast<uint16_t>(height);
  PrepareOutput(cv);

  std::array<uint16_t, 256> grey{};
  bool paletteIsColour = false;
  auto convert = [&](std::span<const uint8_t> rgb, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      const uint8_t r = rgb[3 * i], g = rgb[3 * i + 1], b = rgb[3 * i + 2];
      if (r != g || g != b) paletteIsColour = true;
      grey[i] = WeightedGreyExtended(st, r, g, b);
    }
  };
  convert(h.Palette, 16);
  unsigned paletteSize = 16;
  if (h.Version == 5 && h.Planes == 1 && size > 897) {
    src.Seek(size - TrailingPaletteBytes);
    const std::span<const uint8_t> tail = src.Take(TrailingPaletteBytes);
    if (tail[0] == 12) {
      convert(tail.subspan(1), 256);
      paletteSize = 256;
    }
  }
  if (h.Bits == 1 && h.Planes <= 1 && grey[0] == grey[1]) {
    grey[0] = 0;
    grey[1] = 255;
  }
  if (IsIndexed(h)) {
    Say(cv, std::string("Tpa=") + (paletteIsColour ? "RVB" : "gris") + std::to_string(paletteSize));
  } else {
    Say(cv, h.Planes == 4 ? "Tpl=RVBA" : "Tpl=RVB");
  }
  Say(cv, WeightsLine(st, true));
  st.InputMax = 255;

  src.Seek(HeaderBytes);
  Say(cv, "Nvo=" + std::to_string(perByte));
  const unsigned indexMask = (1u << bits) - 1;
  const uint32_t plane = h.BytesPerPlane;
  // Positions past the line read as 0: the line never fills them.
  std::vector<uint8_t> line(std::min<std::size_t>(LineKeep, length) + 4 * std::size_t{plane} +
                            width, 0);
  const std::span<uint8_t> keep(line.data(), std::min<std::size_t>(LineKeep, length));
  const std::span<uint16_t> row = cv.Row();
  uint64_t shortLines = 0;
  for (uint32_t y = 0; y < height; ++y) {
    const uint64_t missingBefore = src.MissingBytes();
    if (!DecodeLine(src, rle, length, keep) || src.MissingBytes() != missingBefore) ++shortLines;
    if (h.Planes <= 1) {
      // Columns beyond the line's bytes have no data: 0.
      const uint32_t covered = std::min<uint64_t>(width, uint64_t{plane} * perByte);
      for (uint32_t c = 0; c < covered; ++c) {
        const unsigned shift = 8 - bits * (c % perByte + 1);
        row[c] = grey[(line[c / perByte] >> shift) & indexMask];
      }
      std::fill(row.begin() + covered, row.end(), uint16_t{0});
    } else if (IsIndexed(h)) {
      // Up to four planes form the index (16 colours for EGA's 1-bit planes).
      const unsigned planes = std::min<unsigned>({h.Planes, 4u, 8 / bits});
      const uint32_t covered = std::min<uint64_t>(width, uint64_t{plane} * perByte);
      for (uint32_t c = 0; c < covered; ++c) {
        const unsigned shift = 8 - bits * (c % perByte + 1);
        unsigned index = 0;
        for (unsigned k = 0; k < planes; ++k)
          index |= ((line[k * plane + c / perByte] >> shift) & indexMask) << (k * bits);
        row[c] = grey[index];
      }
      std::fill(row.begin() + covered, row.end(), uint16_t{0});
    } else {
      const bool alpha = h.Planes == 4;
      for (uint32_t c = 0; c < width; ++c) {
        row[c] = WeightedGreyExtended(st, line[c], line[c + plane], line[c + 2 * plane],
                                      alpha ? line[c + 3 * plane] : 0);
      }
    }
    WriteOutputRow(cv, static_cast<uint16_t>(y));
  }
  NoteMissingData(cv, shortLines, height);
  cv.Input.Close();
}

} // namespace korv
