// Windows and OS/2 bitmap reader: uncompressed images of 1, 4, 8, 16, 24 and 32
// bits per pixel, with the info headers of every Windows version and the
// 12-byte OS/2 core header (three-byte palette entries). 16-bit pixels without
// bit fields are 5-5-5; bit-field images use the masks the file stores. Rows
// are stored bottom-up, or top-down when the height is negative. Palette
// images are reduced to grey through their palette, colour pixels with the
// channel weights; 1-bit images give their bits as they are.

#include <algorithm>
#include <array>
#include <bit>
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

constexpr uint32_t CoreHeaderSize = 12;   // OS/2 1.x
constexpr uint32_t Os2InfoHeaderSize = 64; // OS/2 2.x: its compression codes differ
constexpr uint32_t BiRgb = 0;
constexpr uint32_t BiBitfields = 3;
constexpr uint32_t BiAlphaBitfields = 6;

// One colour channel of a bit-field pixel: its bits are (pixel & Mask) >> Shift.
struct Channel {
  uint32_t Mask = 0;
  unsigned Shift = 0;
  unsigned Scale = 0; // left shift that brings a narrower channel to the widest one
};

struct BmpHeader {
  bool MagicOk = false;
  uint32_t DataOffset = 0;
  uint32_t InfoSize = 0;
  int64_t Width = 0;
  int64_t Height = 0;  // negative: rows stored top-down
  uint16_t Bits = 0;
  uint32_t Compression = 0;
  uint32_t ColoursUsed = 0;
  std::array<uint32_t, 4> Masks{}; // red, green, blue, alpha (bit-field images)
  bool HasMasks = false;
  bool HasAlphaMask = false;
};

BmpHeader ReadBmpHeader(RasterSource& src) {
  BmpHeader h;
  ByteView v(src.Take(14 + 124 + 16)); // file header, the largest info header, masks
  h.MagicOk = v.U8() == 'B' && v.U8() == 'M';
  v.Seek(10);
  h.DataOffset = v.U32LE();
  h.InfoSize = v.U32LE();
  if (h.InfoSize == CoreHeaderSize) {
    h.Width = v.U16LE();
    h.Height = v.U16LE();
    v.Skip(2); // planes
    h.Bits = v.U16LE();
    return h;
  }
  h.Width = static_cast<int32_t>(v.U32LE());
  h.Height = static_cast<int32_t>(v.U32LE());
  v.Skip(2);
  h.Bits = v.U16LE();
  h.Compression = v.U32LE();
  v.Seek(46);
  h.ColoursUsed = v.U32LE();
  h.HasMasks = h.InfoSize != Os2InfoHeaderSize &&
               (h.Compression == BiBitfields || h.Compression == BiAlphaBitfields);
  if (h.HasMasks) {
    // Inside the info header from version 2 on, right after it for version 1:
    // at offset 54 either way.
    v.Seek(54);
    for (uint32_t& m : h.Masks) m = v.U32LE();
    h.HasAlphaMask = h.InfoSize >= 56 || h.Compression == BiAlphaBitfields;
    if (!h.HasAlphaMask) h.Masks[3] = 0;
  }
  return h;
}

bool IsCore(const BmpHeader& h) { return h.InfoSize == CoreHeaderSize; }
unsigned PaletteEntryBytes(const BmpHeader& h) { return IsCore(h) ? 3 : 4; }

uint64_t PaletteOffset(const BmpHeader& h) {
  uint64_t at = 14 + uint64_t{h.InfoSize};
  // Version 1 headers keep their masks between the header and the palette.
  if (h.HasMasks && h.InfoSize == 40) at += h.Compression == BiAlphaBitfields ? 16 : 12;
  return at;
}

// Palette entries read: what the header states, 2^bits when it states 0, never
// more than an 8-bit index can reach.
unsigned PaletteCount(const BmpHeader& h) {
  if (h.Bits > 8) return 0;
  const uint32_t stated = IsCore(h) ? 0 : h.ColoursUsed;
  return std::min<uint32_t>(stated != 0 ? stated : 1u << h.Bits, 256);
}

uint64_t Stride(const BmpHeader& h, uint64_t width) {
  return (width * h.Bits + 31) / 32 * 4;
}

std::array<Channel, 4> Channels(const BmpHeader& h) {
  std::array<Channel, 4> ch{};
  std::array<uint32_t, 4> masks = h.Masks;
  if (!h.HasMasks) {
    if (h.Bits == 16) masks = {0x7C00, 0x03E0, 0x001F, 0x8000};
    else masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
  }
  unsigned widest = 0;
  for (unsigned i = 0; i < 4; ++i) {
    ch[i].Mask = masks[i];
    ch[i].Shift = masks[i] ? static_cast<unsigned>(std::countr_zero(masks[i])) : 0;
    if (i < 3) widest = std::max(widest, static_cast<unsigned>(std::popcount(masks[i])));
  }
  // 5-6-5 pixels give red and blue on the 6-bit scale of green.
  for (unsigned i = 0; i < 3; ++i) {
    const auto bits = static_cast<unsigned>(std::popcount(masks[i]));
    ch[i].Scale = masks[i] ? widest - std::min(bits, widest) : 0;
  }
  return ch;
}

// Scaling stays below 2^widest, so it never overflows.
uint32_t Extract(uint32_t pixel, const Channel& c) { return ((pixel & c.Mask) >> c.Shift) << c.Scale; }

} // namespace

void ReadBmp(Conversion& cv) {
  ReadOptions(cv);
  if (!OpenInput(cv)) Stop(cv, "Lecture impossible : " + cv.State.InputFilePath.str());
  ImageState& st = cv.State;
  RasterSource src(cv.Input);
  const BmpHeader h = ReadBmpHeader(src);
  if (!h.MagicOk) Stop(cv, "Pas du BMP !");
  Say(cv, "Pdo=" + std::to_string(h.DataOffset));
  Say(cv, "Ppa=" + std::to_string(PaletteOffset(h)));

  const bool topDown = h.Height < 0;
  const int64_t height = topDown ? -h.Height : h.Height;
  if (h.Width <= 0 || height == 0 || h.Width > MaxRowSamples || height > 65535) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(h.Width) + " x " +
                 std::to_string(height));
  }
  Say(cv, "Tpa=" + std::to_string(h.Bits));
  Say(cv, "Cpr=" + std::to_string(h.Compression));
  Say(cv, "Icn=" + std::to_string(h.ColoursUsed));
  const bool os2Info = h.InfoSize == Os2InfoHeaderSize;
  const bool fieldsOk = h.Compression == BiRgb ||
                        (!os2Info && (h.Compression == BiBitfields ||
                                      h.Compression == BiAlphaBitfields) &&
                         (h.Bits == 16 || h.Bits == 32));
  if (!fieldsOk) Stop(cv, "Compression pas support\u00e9e");
  if (h.Bits != 1 && h.Bits != 4 && h.Bits != 8 && h.Bits != 16 && h.Bits != 24 && h.Bits != 32)
    Stop(cv, "Profondeur pas support\u00e9e : " + std::to_string(h.Bits) + " bits par pixel");

  const auto width = static_cast<uint32_t>(h.Width);
  const uint64_t stride = Stride(h, width);
  const unsigned colours = PaletteCount(h);
  const uint64_t dataOffset =
      h.DataOffset != 0 ? h.DataOffset : PaletteOffset(h) + uint64_t{colours} * PaletteEntryBytes(h);
  // Rows the file cannot hold come out as zeros; refuse a header that claims
  // far more than the file has.
  const int64_t size = cv.Input.Size();
  uint64_t rowsMissing = 0;
  if (size > 0) {
    const uint64_t have = static_cast<uint64_t>(size) > dataOffset ? size - dataOffset : 0;
    const uint64_t rowsHeld = have / stride;
    rowsMissing = rowsHeld >= static_cast<uint64_t>(height) ? 0 : height - rowsHeld;
    CheckMissingOutput(cv, rowsMissing * width);
  }

  st.ImageWidth = static_cast<uint16_t>(width);
  st.ImageHeight = static_cast<uint16_t>(height);
  PrepareOutput(cv);

  std::array<uint16_t, 256> grey{};
  bool paletteIsColour = colours == 0;
  if (colours > 0) {
    src.Seek(static_cast<int64_t>(PaletteOffset(h)));
    const unsigned entry = PaletteEntryBytes(h);
    const std::span<const uint8_t> pal = src.Take(std::size_t{colours} * entry);
    for (unsigned i = 0; i < colours; ++i) {
      const uint8_t b = pal[entry * i], g = pal[entry * i + 1], r = pal[entry * i + 2];
      if (r != g || g != b) paletteIsColour = true;
      grey[i] = WeightedGreyExtended(st, r, g, b);
    }
  }
  Say(cv, "Ncp=" + std::to_string(colours) + (paletteIsColour ? " RVB" : " gris"));
  if (paletteIsColour) Say(cv, WeightsLine(st, true));
  st.InputMax = 255;

  const std::array<Channel, 4> ch = Channels(h);
  // Mask channels hold up to 32 bits; pixels whose channels exceed 16 bits
  // take the extended path inside the weighting.
  const GreyWeighting weigh(st, h.Bits == 24 || (h.Bits == 32 && !h.HasMasks) ? 8 : 16);
  const std::span<uint16_t> row = cv.Row();
  src.Seek(static_cast<int64_t>(dataOffset));
  uint64_t shortRows = 0;
  for (uint32_t k = 0; k < height; ++k) {
    const uint64_t missingBefore = src.MissingBytes();
    const std::span<const uint8_t> bytes = src.Take(static_cast<std::size_t>(stride));
    if (src.MissingBytes() != missingBefore) ++shortRows;
    switch (h.Bits) {
    case 1:
      for (uint32_t c = 0; c < width; ++c) row[c] = (bytes[c >> 3] >> (7 - (c & 7))) & 1u;
      break;
    case 4:
      for (uint32_t c = 0; c < width; ++c)
        row[c] = grey[(c & 1) ? bytes[c >> 1] & 15u : bytes[c >> 1] >> 4];
      break;
    case 8:
      for (uint32_t c = 0; c < width; ++c) row[c] = grey[bytes[c]];
      break;
    case 16:
      for (uint32_t c = 0; c < width; ++c) {
        const uint32_t w = bytes[2 * c] | (uint32_t{bytes[2 * c + 1]} << 8);
        row[c] = weigh(Extract(w, ch[0]), Extract(w, ch[1]), Extract(w, ch[2]), Extract(w, ch[3]));
      }
      break;
    case 24:
      weigh.RowBgr(bytes, row);
      break;
    default:
      if (!h.HasMasks) {
        weigh.RowBgra(bytes, row);
      } else {
        for (uint32_t c = 0; c < width; ++c) {
          const uint32_t w = bytes[4 * c] | (uint32_t{bytes[4 * c + 1]} << 8) |
                             (uint32_t{bytes[4 * c + 2]} << 16) | (uint32_t{bytes[4 * c + 3]} << 24);
          row[c] =
              weigh(Extract(w, ch[0]), Extract(w, ch[1]), Extract(w, ch[2]), Extract(w, ch[3]));
        }
      }
      break;
    }
    WriteOutputRow(cv, static_cast<uint16_t>(topDown ? k : height - 1 - k));
  }
  NoteMissingData(cv, shortRows, height);
  cv.Input.Close();
}

} // namespace korv
