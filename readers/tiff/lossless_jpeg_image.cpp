// Compressed raw images of TIFF-family files: lossless JPEG in one strip
// (CR2 with its slice layout, older DNG), in several strips or in tiles (DNG,
// lossless-JPEG TIFF), and Nikon's Huffman-coded NEF data. Rows are delivered
// as they are decoded: one line buffer per strip or per tile across the image;
// only the CR2 slice layout needs the whole image, bounded at 54,000,000 samples.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "core/stop.h"
#include "core/truncation.h"
#include "output/row_pipeline.h"
#include "readers/tiff/lossless_jpeg.h"
#include "readers/tiff/maker_notes.h"
#include "readers/tiff/nef_huffman.h"
#include "readers/tiff/tiff_hooks.h"
#include "readers/tiff/vendor_raw.h"

namespace korv {

namespace {

constexpr uint32_t CodeNef = 34713;
// Pieces (strips or tiles) across one image at most; 30000 columns in tiles of 16.
constexpr uint64_t MaxPiecesAcross = 1875;

// Samples of one JPEG stream taken in order, line after line, whatever the
// width of the rows they are cut into.
struct StreamSamples {
  LosslessJpegDecoder Dec;
  std::vector<uint16_t> Line;
  std::size_t Used = 0;  // samples of Line already taken
  uint64_t Taken = 0;
  bool Missing = false;  // a piece the file does not hold: zeros

  void Begin() {
    Line.assign(Dec.Frame().LineSamples(), 0);
    Used = Line.size();
  }
  void Take(std::span<uint16_t> out) {
    if (Missing) {
      std::fill(out.begin(), out.end(), uint16_t{0});
      Taken += out.size();
      return;
    }
    for (std::size_t i = 0; i < out.size();) {
      if (Used == Line.size()) {
        Dec.DecodeLine(Line);
        Used = 0;
        if (Line.empty()) {
          std::fill(out.begin() + static_cast<std::ptrdiff_t>(i), out.end(), uint16_t{0});
          return;
        }
      }
      const std::size_t n = std::min(out.size() - i, Line.size() - Used);
      std::copy_n(Line.begin() + static_cast<std::ptrdiff_t>(Used), n,
                  out.begin() + static_cast<std::ptrdiff_t>(i));
      Used += n;
      i += n;
    }
    Taken += out.size();
  }
  // Samples taken before the stream ran short (all of them when it did not).
  uint64_t GoodSamples() const {
    if (Missing) return 0;
    const LjpegFrame& f = Dec.Frame();
    if (Dec.FirstShortLine() >= f.Lines) return Taken;
    return std::min<uint64_t>(Taken, uint64_t{Dec.FirstShortLine()} * f.LineSamples());
  }
};

LjpegOptions TraceTo(Conversion& cv, std::size_t block = 65536) {
  LjpegOptions o;
  o.Trace = [&cv](std::string_view l) { Say(cv, l); };
  o.BlockBytes = block;
  return o;
}

// Starts the stream of one strip or tile. The first must be in the file; a
// later one that the file does not hold, or whose headers it cuts, is a piece
// of zeros (a truncated file), counted as missing.
void StartStream(TiffReader& t, StreamSamples& s, uint64_t start, std::size_t block, bool first) {
  if (first) CheckDataPresent(t, start);
  LjpegOptions o = TraceTo(t.cv, block);
  if (!first) o.Trace = nullptr;
  const uint64_t bytes = BytesFrom(t, start);
  const LjpegStatus st = bytes == 0 ? LjpegStatus::NoScan : s.Dec.Start(FileReads(t, start), bytes, o);
  if (st == LjpegStatus::NoScan && !first) {
    s.Missing = true;
    return;
  }
  if (st != LjpegStatus::Ok) Stop(t.cv, std::string(LjpegMessage(st)));
  s.Begin();
}

// Gamma as the options ask, for the samples of these decoders.
void SetupGamma(TiffReader& t) {
  const ImageState& st = t.cv.State;
  t.GammaOn = st.GammaValue > 0.0f && st.GammaValue != 1.0f && t.BitsPerSample[0] != 0;
  if (!t.GammaOn) return;
  const double m = std::ldexp(1.0, t.BitsPerSample[0]) - 1.0;
  t.GammaExponent = st.GammaInverse;
  t.GammaScale = std::pow(m, 1.0 - t.GammaExponent);
}

void StoreGeometry(TiffReader& t, uint32_t w, uint32_t h) {
  if (w == 0 || h == 0 || w > MaxRowSamples || h > 65535) {
    Stop(t.cv, "Taille d'image incorrecte : " + std::to_string(w) + " x " + std::to_string(h));
  }
  t.ImageWidth = w;
  t.ImageHeight = h;
  t.cv.State.ImageWidth = static_cast<uint16_t>(w);
  t.cv.State.ImageHeight = static_cast<uint16_t>(h);
}

// A code takes at least `minBits` bits: data shorter than that for the image
// would be made up mostly of zeros, refused beyond the zero-fill bound.
// Decoded values pass the DNG linearisation table when the file has one
// (stored values above its last entry take the last), then the sample finish.
void FinishRow(TiffReader& t, unsigned r) {
  std::span<uint16_t> row = t.cv.Row();
  const uint32_t fill = std::min<uint32_t>(t.LookupFill, LookupTableSize);
  if (fill > 0) {
    for (auto& v : row) v = t.LookupTable[std::min<uint32_t>(v, fill - 1)];
  }
  if (!FinishIsIdentity(t)) {
    for (unsigned x = 0; x < row.size(); ++x) row[x] = FinishSample(t, row[x], x, r);
  }
  WriteOutputRow(t.cv, r);
}

void NoteShort(TiffReader& t, uint64_t good) {
  const uint64_t total = uint64_t{t.ImageWidth} * t.ImageHeight;
  if (good < total) NoteMissingData(t.cv, total - good, total, MissingUnit::Samples);
}

// The CR2 layout: the stream holds slice 1 (columns 0 .. w-1) for every row,
// then slice 2, and so on; the last slice is wLast wide.
void DecodeSlices(TiffReader& t, StreamSamples& s) {
  const unsigned w = t.ImageWidth, h = t.ImageHeight;
  const unsigned n = t.CanonSlices[0], sw = t.CanonSlices[1], last = t.CanonSlices[2];
  std::vector<uint16_t> image(static_cast<std::size_t>(w) * h, 0);
  std::vector<uint16_t> piece(std::max<unsigned>(1, std::max(sw, last)));
  for (unsigned k = 0; k <= n; ++k) {
    const unsigned width = k < n ? sw : last;
    const unsigned x0 = k * sw;
    if (width == 0) continue;
    for (unsigned r = 0; r < h; ++r) {
      std::span<uint16_t> p(piece.data(), width);
      s.Take(p);
      for (unsigned i = 0; i < width && x0 + i < w; ++i)
        image[static_cast<std::size_t>(r) * w + x0 + i] = p[i];
    }
  }
  NoteShort(t, s.GoodSamples());
  for (unsigned r = 0; r < h; ++r) {
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(r) * w, w, t.cv.Row().begin());
    FinishRow(t, r);
  }
}

void DecodeOneStream(TiffReader& t, uint64_t start) {
  StreamSamples s;
  StartStream(t, s, start, 65536, true);
  const LjpegFrame& f = s.Dec.Frame();
  const uint16_t n = t.CanonSlices[0], sw = t.CanonSlices[1], last = t.CanonSlices[2];
  const bool sliced = n != 0 && sw != 0;
  // A frame no wider than 1.5 times its height gives the geometry; wider
  // ones leave it to the directory.
  if (2 * uint64_t{f.SamplesPerLine} < 3 * uint64_t{f.Lines}) {
    const uint64_t w = sliced ? uint64_t{n} * sw + last : uint64_t{f.LineSamples()};
    StoreGeometry(t, static_cast<uint32_t>(std::min<uint64_t>(w, UINT32_MAX)), f.Lines);
  } else {
    StoreGeometry(t, t.ImageWidth, t.ImageHeight);
  }
  t.cv.State.DetectorBits = f.Precision;
  CheckDataSize(t, BytesFrom(t, start), 1);
  PrepareOutput(t.cv);
  const uint64_t area = uint64_t{t.ImageWidth} * t.ImageHeight;
  if (sliced && t.ImageWidth != sw && area <= MaxLjpegImageSamples && f.Components != 3) {
    DecodeSlices(t, s);
    return;
  }
  for (unsigned r = 0; r < t.ImageHeight; ++r) {
    s.Take(t.cv.Row());
    FinishRow(t, r);
  }
  NoteShort(t, s.GoodSamples());
}

// Strips or tiles of the image: a grid of pieces, each its own JPEG stream.
struct PieceGrid {
  uint32_t Width = 0, Height = 0;  // of one piece
  uint64_t TablePos = 0;           // absolute position of the offsets
  uint16_t Type = 4;
  uint32_t Count = 0;
};

uint64_t PieceOffset(TiffReader& t, const PieceGrid& g, uint32_t k) {
  if (k >= g.Count) return 0;
  const uint32_t v = g.Type == 3 ? t.file.U16At(g.TablePos + 2 * uint64_t{k})
                                 : t.file.U32At(g.TablePos + 4 * uint64_t{k});
  return t.Base + v;
}

void DecodePieces(TiffReader& t, const PieceGrid& g) {
  StoreGeometry(t, t.ImageWidth, t.ImageHeight);
  // Tile sizes are 16-bit quantities in practice; a larger one is a damaged tag.
  if (g.Width == 0 || g.Height == 0 || g.Width > 65535 || g.Height > 65535)
    Stop(t.cv, "Taille de tuile incorrecte : " + std::to_string(g.Width) + " x " + std::to_string(g.Height));
  const uint64_t across = (uint64_t{t.ImageWidth} + g.Width - 1) / g.Width;
  const uint64_t down = (uint64_t{t.ImageHeight} + g.Height - 1) / g.Height;
  if (across > MaxPiecesAcross || across * down > g.Count)
    Stop(t.cv, "Tuiles incompl\u00e8tes : " + std::to_string(g.Count));
  const std::size_t block = static_cast<std::size_t>(std::clamp<uint64_t>((1u << 20) / across, 1024, 65536));
  // Every tile is decoded whole, overhang included: the data must hold at
  // least a bit per decoded sample, but for the zero-fill bound.
  const uint64_t work = across * down * g.Width * g.Height;
  // The tiles may be stored in any order: the data start at the first of them.
  uint64_t first = UINT64_MAX;
  for (uint64_t k = 0; k < across * down; ++k)
    first = std::min(first, PieceOffset(t, g, static_cast<uint32_t>(k)));
  CheckCodedSamples(t, BytesFrom(t, first) * 8, work);
  std::vector<StreamSamples> band(static_cast<std::size_t>(across));
  std::vector<uint16_t> piece(g.Width);
  bool prepared = false;
  uint64_t good = 0, taken = 0;
  for (uint64_t ty = 0; ty < down; ++ty) {
    for (uint64_t tx = 0; tx < across; ++tx) {
      StreamSamples& s = band[static_cast<std::size_t>(tx)];
      s = StreamSamples();
      StartStream(t, s, PieceOffset(t, g, static_cast<uint32_t>(ty * across + tx)), block,
                  ty == 0 && tx == 0);
      // One tile line is one row of the tile; a longer line would be a damaged frame.
      if (!s.Missing && s.Dec.Frame().LineSamples() > 4 * uint64_t{g.Width})
        Stop(t.cv, std::string(LjpegMessage(LjpegStatus::BadFrame)));
      if (!prepared) {
        if (!s.Missing) t.cv.State.DetectorBits = s.Dec.Frame().Precision;
        PrepareOutput(t.cv);
        prepared = true;
      }
    }
    const unsigned r0 = static_cast<unsigned>(ty * g.Height);
    for (unsigned y = 0; y < g.Height && r0 + y < t.ImageHeight; ++y) {
      std::span<uint16_t> row = t.cv.Row();
      for (uint64_t tx = 0; tx < across; ++tx) {
        band[static_cast<std::size_t>(tx)].Take(piece);
        const uint64_t x0 = tx * g.Width;
        const uint64_t n = std::min<uint64_t>(g.Width, t.ImageWidth - x0);
        std::copy_n(piece.begin(), n, row.begin() + static_cast<std::ptrdiff_t>(x0));
      }
      FinishRow(t, r0 + y);
    }
    for (auto& s : band) {
      taken += s.Taken;
      good += s.GoodSamples();
    }
  }
  // Samples of tiles overhanging the image count too: report the share missing.
  if (good < taken) {
    const uint64_t total = uint64_t{t.ImageWidth} * t.ImageHeight;
    NoteMissingData(t.cv, std::min(taken - good, total), total, MissingUnit::Samples);
  }
}

// The wanted directory's tile layout, read again from its entries.
bool FindTiles(TiffReader& t, PieceGrid& g) {
  const uint64_t dir = t.Base + t.DirectoryOffset;
  const unsigned count = t.file.U16At(dir);
  bool offsets = false;
  for (unsigned i = 0; i < count && i < 4096; ++i) {
    const uint64_t at = dir + 2 + 12 * uint64_t{i};
    const uint16_t tag = t.file.U16At(at);
    if (tag < 322 || tag > 324) continue;
    const TiffEntry e = ReadTiffEntry(t, at);
    if (tag == 322) g.Width = TiffEntryInteger(t, e, 0);
    if (tag == 323) g.Height = TiffEntryInteger(t, e, 0);
    if (tag == 324) {
      g.TablePos = e.ValuePos;
      g.Type = e.Type == 3 ? 3 : 4;
      g.Count = e.Count;
      offsets = true;
    }
  }
  return offsets;
}

void DecodeJpegImage(TiffReader& t) {
  PieceGrid g;
  if (t.TiledImage && FindTiles(t, g)) {
    DecodePieces(t, g);
    return;
  }
  if (t.StripCount > 1 && t.RowsPerStrip != 0 && t.RowsPerStrip < t.ImageHeight) {
    g.Width = t.ImageWidth;
    g.Height = t.RowsPerStrip;
    g.TablePos = t.Base + t.StripTablePos;
    g.Type = t.StripType == 3 ? 3 : 4;
    g.Count = t.StripCount;
    DecodePieces(t, g);
    return;
  }
  DecodeOneStream(t, t.Base + t.StripOrigin);
}

void DecodeNef(TiffReader& t) {
  const unsigned bits = t.BitsPerSample[0];
  auto info = std::make_unique<NikonRawInfo>();
  ReadNikonMakerNote(t, bits, *info);
  t.cv.State.DetectorBits = bits;
  const NefStreamParams& p = info->Stream;
  const bool twoTables = p.SplitRow != 0 && NefSplitTable(p) != NefFirstTable(p);
  Say(t.cv, "Nna=" + std::to_string(twoTables ? 2 : 1));
  StoreGeometry(t, t.ImageWidth, t.ImageHeight);
  const uint64_t start = t.Base + t.StripOrigin;
  CheckDataPresent(t, start);
  // The shortest built-in code is 2 bits long.
  CheckDataSize(t, BytesFrom(t, start), 2);
  PrepareOutput(t.cv);
  NefHuffmanDecoder dec;
  dec.Start(FileReads(t, start), BytesFrom(t, start), p);
  const auto& curve = info->Curve;
  const bool identity = FinishIsIdentity(t);
  for (unsigned r = 0; r < t.ImageHeight; ++r) {
    std::span<uint16_t> row = t.cv.Row();
    dec.DecodeRow(row);
    for (unsigned x = 0; x < row.size(); ++x) {
      // Values index the curve as signed 16-bit numbers, clamped to its range.
      const int v = std::clamp<int>(static_cast<int16_t>(row[x]), 0, NefCurveSize - 1);
      row[x] = curve[static_cast<std::size_t>(v)];
    }
    if (!identity) {
      for (unsigned x = 0; x < row.size(); ++x) row[x] = FinishSample(t, row[x], x, r);
    }
    WriteOutputRow(t.cv, r);
  }
  if (dec.RanOut()) {
    NoteMissingData(t.cv, t.ImageHeight - dec.FirstShortRow(), t.ImageHeight, MissingUnit::Rows);
  }
}

} // namespace

void DecodeLosslessJpeg(TiffReader& t) {
  SetupGamma(t);
  if (t.Compression == CodeNef) {
    Say(t.cv, "Flux NEF");
    DecodeNef(t);
    return;
  }
  Say(t.cv, "Flux JPEG-DHT");
  DecodeJpegImage(t);
}

} // namespace korv
