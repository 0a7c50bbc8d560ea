// GIF87a and GIF89a reader: the first image of the file, through its local
// colour table or the global one, LZW-decoded, interlaced or not, reduced to
// grey with the channel weights. Extensions before the image (graphic control,
// comment, application, plain text) are skipped by their sub-blocks;
// transparency, disposal and later frames are not read. The image sits at its
// offset in a frame that starts at 0, 0; the frame around it is 0.

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
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
#include "readers/raster/gif_lzw.h"
#include "readers/raster/raster_source.h"
#include "readers/readers.h"

namespace korv {
namespace {

constexpr uint8_t ExtensionIntroducer = 0x21;
constexpr uint8_t ImageSeparator = 0x2C;
constexpr uint8_t Trailer = 0x3B;
// Sub-blocks skipped per extension before the file is taken as damaged.
constexpr unsigned MaxSubBlocks = 1u << 20;

struct GifPalette {
  std::array<uint8_t, 768> Rgb{}; // 256 entries red, green, blue; absent ones are 0
  unsigned Size = 0;
};

struct GifImage {
  uint16_t Left = 0;
  uint16_t Top = 0;
  uint16_t Width = 0;
  uint16_t Height = 0;
  uint8_t Packed = 0;
};

// The data sub-blocks of the image, one payload after another.
class GifSubBlocks final : public GifBlockFeed {
public:
  explicit GifSubBlocks(RasterSource& src) : src_(src) {}
  std::span<const uint8_t> NextBlock() override {
    if (ended_ || src_.Exhausted()) return {};
    const uint8_t length = src_.Byte();
    if (length == 0) {
      ended_ = true;
      return {};
    }
    return src_.Take(length);
  }

private:
  RasterSource& src_;
  bool ended_ = false;
};

// Reads a colour table of `size` entries; true when an entry is not grey.
bool ReadPalette(RasterSource& src, unsigned size, GifPalette& p) {
  const std::span<const uint8_t> bytes = src.Take(3 * size);
  std::copy(bytes.begin(), bytes.end(), p.Rgb.begin());
  std::fill(p.Rgb.begin() + 3 * size, p.Rgb.end(), uint8_t{0});
  p.Size = size;
  bool colour = false;
  for (unsigned i = 0; i < size; ++i) {
    if (p.Rgb[3 * i] != p.Rgb[3 * i + 1] || p.Rgb[3 * i + 1] != p.Rgb[3 * i + 2]) colour = true;
  }
  return colour;
}

void SkipSubBlocks(RasterSource& src) {
  for (unsigned k = 0; k < MaxSubBlocks && !src.Exhausted(); ++k) {
    const uint8_t length = src.Byte();
    if (length == 0) return;
    src.Skip(length);
  }
}

// Rows of the image in the order the file holds them: top to bottom, or the
// four interlace passes (every 8th row from 0, every 8th from 4, every 4th
// from 2, every 2nd from 1).
class GifRowOrder {
public:
  GifRowOrder(uint16_t height, bool interlaced) : height_(height), interlaced_(interlaced) {}
  // The next row relative to the image's top; false after the last.
  bool Next(uint32_t& row) {
    static constexpr std::array<uint32_t, 4> Start = {0, 4, 2, 1};
    static constexpr std::array<uint32_t, 4> Step = {8, 8, 4, 2};
    if (!interlaced_) {
      if (row_ >= height_) return false;
      row = row_++;
      return true;
    }
    while (pass_ < 4) {
      if (!begun_) {
        row_ = Start[pass_];
        begun_ = true;
      }
      if (row_ < height_) {
        row = row_;
        row_ += Step[pass_];
        return true;
      }
      ++pass_;
      begun_ = false;
    }
    return false;
  }

private:
  uint32_t height_;
  bool interlaced_;
  uint32_t row_ = 0;
  unsigned pass_ = 0;
  bool begun_ = false;
};

} // namespace

void ReadGif(Conversion& cv) {
  if (!OpenInput(cv)) Stop(cv, "Lecture impossible : " + cv.State.InputFilePath.str());
  ImageState& st = cv.State;
  RasterSource src(cv.Input);

  ByteView sig(src.Take(6));
  const bool gif8 = sig.U8() == 'G' && sig.U8() == 'I' && sig.U8() == 'F' && sig.U8() == '8';
  const uint8_t version = sig.U8();
  const uint8_t a = sig.U8();
  if (!gif8) Stop(cv, "Pas du GIF !");
  const bool printable = version >= 32 && version < 127;
  Say(cv, std::string("Ver=8") + (printable ? static_cast<char>(version) : '?'));
  if ((version != '7' && version != '9') || a != 'a') Stop(cv, "Pas du GIF !");

  ByteView screen(src.Take(7));
  screen.Skip(4); // screen width and height: the image descriptor gives the geometry
  const uint8_t screenPacked = screen.U8();
  Say(cv, "Icf=" + std::to_string(screen.U8()));

  // The global table is there only when its flag says so; reading it anyway
  // would take the first blocks for colours.
  GifPalette palette;
  bool paletteIsColour = false;
  const unsigned globalSize = (screenPacked & 0x80) ? 2u << (screenPacked & 7) : 0;
  paletteIsColour = ReadPalette(src, globalSize, palette);
  Say(cv, "Ncp=" + std::to_string(globalSize) + (paletteIsColour ? " RVB" : " gris"));

  // Blocks up to the first image descriptor; every extension is skipped by its
  // sub-blocks. Each pass takes at least one byte, so the end of the file ends it.
  for (;;) {
    if (src.Exhausted()) Stop(cv, "Pas d'image dans le fichier");
    const uint8_t b = src.Byte();
    Say(cv, "Blo=" + std::to_string(b));
    if (b == ImageSeparator) break;
    if (b == Trailer) Stop(cv, "Pas d'image dans le fichier");
    if (b == ExtensionIntroducer) {
      Say(cv, "Bld=" + std::to_string(src.Byte()));
      SkipSubBlocks(src);
    }
  }

  ByteView desc(src.Take(9));
  GifImage im;
  im.Left = desc.U16LE();
  im.Top = desc.U16LE();
  im.Width = desc.U16LE();
  im.Height = desc.U16LE();
  im.Packed = desc.U8();
  const uint32_t frameWidth = uint32_t{im.Left} + im.Width;
  const uint32_t frameHeight = uint32_t{im.Top} + im.Height;

  st.WindowX = im.Left;
  st.WindowY = im.Top;
  st.WindowWidth = static_cast<int16_t>(std::min<uint32_t>(502, im.Width));
  st.WindowHeight = static_cast<int16_t>(std::min<uint32_t>(766, im.Height));
  ReadOptions(cv);
  Say(cv, WeightsLine(st, false));

  if (im.Packed & 0x80) {
    const unsigned localSize = 2u << (im.Packed & 7);
    paletteIsColour = ReadPalette(src, localSize, palette) || paletteIsColour;
    Say(cv, "Ncp=" + std::to_string(localSize) + (paletteIsColour ? " RVB" : " gris"));
  }
  const bool interlaced = (im.Packed & 0x40) != 0;
  const uint8_t minCodeSize = src.Byte();

  if (im.Width == 0 || im.Height == 0 || frameWidth > MaxRowSamples || frameHeight > 65535) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(frameWidth) + " x " +
                 std::to_string(frameHeight));
  }
  // The frame around the image holds no data: like missing data, a few bytes
  // placing a small image far from the origin must not fill a disk with zeros.
  CheckMissingOutput(cv, uint64_t{frameWidth} * frameHeight - uint64_t{im.Width} * im.Height);
  st.ImageWidth = static_cast<uint16_t>(frameWidth);
  st.ImageHeight = static_cast<uint16_t>(frameHeight);
  PrepareOutput(cv);

  std::array<uint16_t, 256> grey{};
  for (unsigned i = 0; i < palette.Size; ++i) {
    grey[i] = WeightedGreyExtended(st, palette.Rgb[3 * i], palette.Rgb[3 * i + 1],
                                   palette.Rgb[3 * i + 2]);
  }
  st.InputMax = 255;

  const std::span<uint16_t> row = cv.Row();
  // Columns left of the image and rows above it are frame: 0.
  std::fill(row.begin(), row.end(), uint16_t{0});
  for (uint32_t y = 0; y < im.Top; ++y) WriteOutputRow(cv, static_cast<uint16_t>(y));

  // The decoder's tables (28 KiB) live on the heap, allocated once.
  const auto lzw = std::make_unique<GifLzwDecoder>();
  lzw->Start(minCodeSize);
  GifSubBlocks blocks(src);
  // Indices of one row: the byte half of the row block, past the samples.
  const std::span<uint8_t> indices = cv.RowBytes().subspan(2 * MaxRowSamples, im.Width);
  const std::span<uint16_t> image = row.subspan(im.Left, im.Width);
  const uint64_t total = uint64_t{im.Width} * im.Height;
  uint64_t decoded = 0;
  bool streamOver = false;
  GifRowOrder order(im.Height, interlaced);
  uint32_t y = 0;
  while (order.Next(y)) {
    std::size_t got = 0;
    if (!streamOver) {
      got = lzw->Fill(indices, blocks);
      decoded += got;
      if (got < indices.size()) {
        // The code stream ended early: the rest of the image is zeros.
        streamOver = true;
        const uint64_t missing = total - decoded;
        CheckMissingOutput(cv, missing);
        NoteMissingData(cv, missing, total, MissingUnit::Samples);
      }
    }
    for (std::size_t i = 0; i < got; ++i) image[i] = grey[indices[i]];
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(got), image.end(), uint16_t{0});
    WriteOutputRow(cv, static_cast<uint16_t>(im.Top + y));
  }
  cv.Input.Close();
}

} // namespace korv
