// Truevision targa reader: colour-mapped, true-colour and grey images (types 1,
// 2, 3) and their run-length forms (9, 10, 11), reduced to grey with the
// channel weights. Run-length packets carry pixels of the image's own depth
// and may run on into the next row, as encoders write them; they stop at the
// end of the image. The descriptor's origin bits set the row and column order.
// Options T0 and T1 keep one video field and double its lines.

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
#include "core/text.h"
#include "core/truncation.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/raster/raster_source.h"
#include "readers/readers.h"

namespace korv {
namespace {

constexpr unsigned MaxColourMap = 16384;
constexpr unsigned MaxIndex = MaxColourMap - 1;

struct TgaHeader {
  uint8_t IdLength = 0;
  uint8_t Type = 0;
  uint16_t MapLength = 0;
  uint8_t MapEntryBits = 0;
  uint16_t Width = 0;
  uint16_t Height = 0;
  uint8_t Depth = 0;
  uint8_t Descriptor = 0;
};

TgaHeader ReadTgaHeader(RasterSource& src) {
  ByteView v(src.Take(18));
  TgaHeader h;
  h.IdLength = v.U8();
  v.Skip(1); // colour map type: the entry size tells whether a map is stored
  h.Type = v.U8();
  v.Skip(2); // first entry: entries are numbered from 0
  h.MapLength = v.U16LE();
  h.MapEntryBits = v.U8();
  v.Skip(4); // origin
  h.Width = v.U16LE();
  h.Height = v.U16LE();
  h.Depth = v.U8();
  h.Descriptor = v.U8();
  return h;
}

enum class PixelKind : uint8_t { Index8, Index16, Grey8, Grey16, GreyAlpha, Rgb15, Rgb24, Rgb32 };

// The pixel layout of an image type and depth; false when unsupported.
bool KindOf(const TgaHeader& h, PixelKind& kind) {
  const unsigned base = h.Type & 7u;
  const unsigned d = h.Depth;
  if (base == 1 && (h.Type == 1 || h.Type == 9)) {
    if (d == 8) kind = PixelKind::Index8;
    else if (d == 15 || d == 16) kind = PixelKind::Index16;
    else return false;
    return true;
  }
  if (base == 2 && (h.Type == 2 || h.Type == 10)) {
    if (d == 15 || d == 16) kind = PixelKind::Rgb15;
    else if (d == 24) kind = PixelKind::Rgb24;
    else if (d == 32) kind = PixelKind::Rgb32;
    else return false;
    return true;
  }
  if (base == 3 && (h.Type == 3 || h.Type == 11)) {
    // Eight attribute bits make a 16-bit grey pixel grey and alpha bytes.
    if (d == 8) kind = PixelKind::Grey8;
    else if (d == 16 && (h.Descriptor & 15u) == 8) kind = PixelKind::GreyAlpha;
    else if (d == 15 || d == 16) kind = PixelKind::Grey16;
    else return false;
    return true;
  }
  return false;
}

unsigned PixelBytes(PixelKind k) {
  switch (k) {
  case PixelKind::Index8:
  case PixelKind::Grey8: return 1;
  case PixelKind::Rgb24: return 3;
  case PixelKind::Rgb32: return 4;
  default: return 2;
  }
}

uint16_t Rgb15Grey(const ImageState& st, uint32_t w) {
  return WeightedGreyExtended(st, (w >> 10) & 31u, (w >> 5) & 31u, w & 31u);
}

// Sample of one stored pixel (its bytes at p).
uint16_t Sample(const ImageState& st, const GreyWeighting& weigh, PixelKind k, const uint8_t* p,
                const std::vector<uint16_t>& grey) {
  switch (k) {
  case PixelKind::Index8: return grey[p[0]];
  case PixelKind::Index16: return grey[std::min<unsigned>(p[0] | (p[1] << 8), MaxIndex)];
  case PixelKind::Grey8:
  case PixelKind::GreyAlpha: return p[0];
  case PixelKind::Grey16: return static_cast<uint16_t>(p[0] | (p[1] << 8));
  case PixelKind::Rgb15: return Rgb15Grey(st, p[0] | (p[1] << 8));
  case PixelKind::Rgb24: return weigh(p[2], p[1], p[0]);
  default: return weigh(p[2], p[1], p[0], p[3]);
  }
}

// Run-length packets, read as one stream over the whole image.
class TgaPackets {
public:
  TgaPackets(RasterSource& src, unsigned bytes) : src_(src), bytes_(bytes) {}
  // The bytes of the next pixel (valid until the next call).
  const uint8_t* Next() {
    if (left_ == 0) {
      const uint8_t h = src_.Byte();
      left_ = (h & 127u) + 1;
      run_ = (h & 128u) != 0;
      if (run_) Load();
    }
    --left_;
    if (!run_) Load();
    return pixel_.data();
  }
  // True when every further pixel would come from past the end of the file.
  bool Drained() { return (left_ == 0 || !run_) && src_.Exhausted(); }

private:
  void Load() {
    for (unsigned i = 0; i < bytes_; ++i) pixel_[i] = src_.Byte();
  }
  RasterSource& src_;
  unsigned bytes_;
  unsigned left_ = 0;
  bool run_ = false;
  std::array<uint8_t, 4> pixel_{};
};

} // namespace

void ReadTga(Conversion& cv) {
  ReadOptions(cv);
  ImageState& st = cv.State;
  Say(cv, "Tra=" + BinaryDigits(st.FieldSelect, 2).str());
  Say(cv, WeightsLine(st, true));
  if (!OpenInput(cv)) Stop(cv, "Lecture impossible : " + st.InputFilePath.str());
  RasterSource src(cv.Input);
  const TgaHeader h = ReadTgaHeader(src);
  if (h.Width == 0 || h.Height == 0 || h.Width > MaxRowSamples) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(h.Width) + " x " +
                 std::to_string(h.Height));
  }
  Say(cv, "Typ=" + std::to_string(h.Type));
  Say(cv, "Cpa=" + std::to_string(h.MapLength));
  Say(cv, "Tpa=" + std::to_string(h.MapEntryBits));
  Say(cv, "Nbp=" + std::to_string(h.Depth));
  if (h.MapLength > MaxColourMap) Stop(cv, "Palette trop longue : " + std::to_string(h.MapLength));
  const unsigned entry = h.MapEntryBits;
  if (entry != 0 && entry != 15 && entry != 16 && entry != 24 && entry != 32)
    Stop(cv, "Palette pas support\u00e9e : " + std::to_string(entry) + " bits");
  PixelKind kind{};
  if (!KindOf(h, kind)) {
    Stop(cv, "Type d'image pas support\u00e9 : " + std::to_string(h.Type) + ", " +
                 std::to_string(h.Depth) + " bits");
  }
  const bool rle = h.Type >= 9;
  const unsigned bytes = PixelBytes(kind);
  const unsigned mapBytes = entry == 0 ? 0 : (entry + 7) / 8;
  // Refuse a header that claims far more rows than the file can hold; a
  // packet gives at most 128 pixels.
  const int64_t size = cv.Input.Size();
  if (size > 0) {
    const int64_t start = 18 + h.IdLength + int64_t{h.MapLength} * mapBytes;
    const uint64_t data = size > start ? static_cast<uint64_t>(size - start) : 0;
    const uint64_t pixels = rle ? (data + bytes) / (bytes + 1) * 128 : data / bytes;
    const uint64_t rowsHeld = pixels / h.Width;
    if (rowsHeld < h.Height) CheckMissingOutput(cv, (h.Height - rowsHeld) * uint64_t{h.Width});
  }
  st.ImageWidth = h.Width;
  st.ImageHeight = h.Height;
  st.InputMax = 255;
  PrepareOutput(cv);
  // Rows stored bottom-up, or columns right to left, invert what the options set.
  if ((h.Descriptor & 0x20) == 0) st.FlipY = st.FlipY ? 0 : 1;
  if ((h.Descriptor & 0x10) != 0) st.MirrorX = st.MirrorX ? 0 : 1;

  src.Seek(18 + int64_t{h.IdLength});
  std::vector<uint16_t> grey(MaxColourMap, 0); // indices are clamped to its last entry
  if (mapBytes != 0) {
    const std::span<const uint8_t> map = src.Take(std::size_t{h.MapLength} * mapBytes);
    for (unsigned i = 0; i < h.MapLength; ++i) {
      const uint8_t* p = map.data() + std::size_t{i} * mapBytes;
      if (mapBytes == 2) grey[i] = Rgb15Grey(st, p[0] | (p[1] << 8));
      else if (mapBytes == 3) grey[i] = WeightedGreyExtended(st, p[2], p[1], p[0]);
      else grey[i] = WeightedGreyExtended(st, p[2], p[1], p[0], p[3]);
    }
  }

  const std::span<uint16_t> row = cv.Row();
  // The row as decoded: the output stage mirrors and blanks RowBuffer in place,
  // so a row handed over twice is restored from here first.
  std::vector<uint16_t> kept(st.FieldSelect == 1 || st.FieldSelect == 2 ? h.Width : 0);
  auto handOver = [&](uint32_t r) {
    if (st.FieldSelect == 1) {
      if (r & 1u) return;
      std::copy(row.begin(), row.end(), kept.begin());
      WriteOutputRow(cv, static_cast<uint16_t>(r));
      // An odd height leaves the last even row without a partner.
      if (r + 1 < h.Height) {
        std::copy(kept.begin(), kept.end(), row.begin());
        WriteOutputRow(cv, static_cast<uint16_t>(r + 1));
      }
    } else if (st.FieldSelect == 2) {
      if ((r & 1u) == 0) {
        // The last row of an odd height has no odd partner: it is blank.
        if (r + 1 == h.Height) {
          std::fill(row.begin(), row.end(), uint16_t{0});
          WriteOutputRow(cv, static_cast<uint16_t>(r));
        }
        return;
      }
      std::copy(row.begin(), row.end(), kept.begin());
      WriteOutputRow(cv, static_cast<uint16_t>(r - 1));
      std::copy(kept.begin(), kept.end(), row.begin());
      WriteOutputRow(cv, static_cast<uint16_t>(r));
    } else {
      WriteOutputRow(cv, static_cast<uint16_t>(r));
    }
  };

  TgaPackets packets(src, bytes);
  const GreyWeighting weigh(st, 8);
  const std::array<uint8_t, 4> zeros{};
  const uint16_t zeroSample = Sample(st, weigh, kind, zeros.data(), grey);
  uint64_t shortRows = 0;
  for (uint32_t r = 0; r < h.Height; ++r) {
    const uint64_t missingBefore = src.MissingBytes();
    if (rle) {
      uint32_t c = 0;
      // Once the file is used up the rest is zero pixels, filled at once.
      for (; c < h.Width && !packets.Drained(); ++c) row[c] = Sample(st, weigh, kind, packets.Next(), grey);
      if (c < h.Width) {
        std::fill(row.begin() + c, row.end(), zeroSample);
        ++shortRows;
        handOver(r);
        continue;
      }
    } else {
      const std::span<const uint8_t> data = src.Take(std::size_t{h.Width} * bytes);
      const uint8_t* p = data.data();
      if (kind == PixelKind::Rgb24) {
        weigh.RowBgr(data, row);
      } else if (kind == PixelKind::Rgb32) {
        weigh.RowBgra(data, row);
      } else {
        for (uint32_t c = 0; c < h.Width; ++c, p += bytes)
          row[c] = Sample(st, weigh, kind, p, grey);
      }
    }
    if (src.MissingBytes() != missingBefore) ++shortRows;
    handOver(r);
  }
  NoteMissingData(cv, shortRows, h.Height);
  cv.Input.Close();
}

} // namespace korv
