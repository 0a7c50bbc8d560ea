// Data of FITS images: plain samples (BITPIX 8, 16, 32, -32, -64, big-endian or,
// for .at1 files, little-endian), this program's "PREVPIXEL", "PROF-VAR" and
// Rice rows, and RICE_1 tile-compressed images. Selected images are laid side by
// side row by row; rows go to the output bottom row first, as FITS stores them.
#include "readers/fits/fits_data_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "core/stop.h"
#include "core/truncation.h"
#include "output/row_pipeline.h"
#include "readers/fits/data_source.h"
#include "readers/fits/prev_pixel_decoder.h"
#include "readers/fits/prof_var_decoder.h"
#include "readers/fits/rice_decoder.h"

namespace korv {

namespace {

constexpr uint8_t PlainCode = 0;
constexpr uint8_t PrevPixelCode = 2;
constexpr uint8_t RiceCode = 3;
constexpr uint8_t ProfVarCode = 4;
constexpr uint8_t TileCode = 5;

// Samples that may come from data the file does not hold (64 MiB of 16-bit output).
constexpr int64_t MaxMissingSamples = int64_t{32} << 20;

// (s * Bscale + Bzero) * ValueScale + ValueOffset, rounded half to even and
// clamped to 0..65535; NaN gives 0.
struct SampleScaling {
  long double Bscale = 1, Bzero = 0, Scale = 1, Offset = 0;
  bool IntegerOnly = false; // all four make s + Shift exact in integers
  int64_t Shift = 0;

  SampleScaling(const SelectionEntry& e, const ImageState& st)
      : Bscale(e.Bscale), Bzero(e.Bzero), Scale(st.ValueScale), Offset(st.ValueOffset) {
    const auto integral = [](long double v) {
      return std::isfinite(v) && std::fabs(v) < 1e12L && std::nearbyint(v) == v;
    };
    if (Bscale == 1 && Scale == 1 && integral(Bzero) && integral(Offset)) {
      IntegerOnly = true;
      Shift = static_cast<int64_t>(Bzero) + static_cast<int64_t>(Offset);
    }
  }

  uint16_t Integer(int64_t s) const {
    if (IntegerOnly) {
      const int64_t v = s + Shift;
      return static_cast<uint16_t>(v <= 0 ? 0 : v >= 65535 ? 65535 : v);
    }
    return Real(static_cast<long double>(s));
  }

  uint16_t Real(long double s) const {
    const long double v = (s * Bscale + Bzero) * Scale + Offset;
    if (!(v > 0)) return 0; // also NaN
    if (v >= 65535) return 65535;
    // Half to even, without the cost of switching rounding modes.
    const int64_t whole = static_cast<int64_t>(v);
    const long double fraction = v - static_cast<long double>(whole);
    const int64_t up = fraction > 0.5L || (fraction == 0.5L && (whole & 1)) ? 1 : 0;
    return static_cast<uint16_t>(whole + up);
  }
};

int BytesPerSample(int bitpix) {
  switch (bitpix) {
  case 8: return 1;
  case 16: return 2;
  case 32:
  case -32: return 4;
  case -64: return 8;
  default: return 0;
  }
}

template <int N> uint64_t Load(const uint8_t* p, bool little) {
  uint64_t v = 0;
  if (little) {
    for (int i = N - 1; i >= 0; --i) v = v << 8 | p[i];
  } else {
    for (int i = 0; i < N; ++i) v = v << 8 | p[i];
  }
  return v;
}

// Stored samples of one plain row to output values.
void ConvertPlainRow(std::span<const uint8_t> stored, int bitpix, bool little,
                     const SampleScaling& sc, std::span<uint16_t> out) {
  const std::size_t n = out.size();
  const uint8_t* p = stored.data();
  switch (bitpix) {
  case 8:
    for (std::size_t i = 0; i < n; ++i) out[i] = sc.Integer(p[i]);
    break;
  case 16:
    for (std::size_t i = 0; i < n; ++i)
      out[i] = sc.Integer(static_cast<int16_t>(Load<2>(p + 2 * i, little)));
    break;
  case 32:
    for (std::size_t i = 0; i < n; ++i)
      out[i] = sc.Integer(static_cast<int32_t>(Load<4>(p + 4 * i, little)));
    break;
  case -32:
    for (std::size_t i = 0; i < n; ++i)
      out[i] = sc.Real(std::bit_cast<float>(static_cast<uint32_t>(Load<4>(p + 4 * i, little))));
    break;
  case -64:
    for (std::size_t i = 0; i < n; ++i)
      out[i] = sc.Real(std::bit_cast<double>(Load<8>(p + 8 * i, little)));
    break;
  default: std::fill(out.begin(), out.end(), uint16_t{0}); break;
  }
}

std::size_t ReadInput(void* context, uint8_t* buffer, std::size_t cap) {
  return static_cast<InputFile*>(context)->Read(buffer, cap);
}

// Fewest bytes one row of an entry can take in the file.
int64_t LeastRowBytes(const SelectionEntry& e) {
  switch (e.CompressionCode) {
  case PlainCode: return int64_t{BytesPerSample(e.Bitpix)} * e.Width;
  case PrevPixelCode: return e.Width + 2;
  case ProfVarCode: return ProfVarLeastRowBytes(e.Width);
  case RiceCode: return e.Width / 8; // one bit per sample
  default: return 0;
  }
}

struct EntryWork {
  SelectionEntry* Entry = nullptr;
  std::size_t Index = 0; // in the SelectionList
  RiceStream Rice;
  std::unique_ptr<TileImageReader> Tiles;
};

class FitsDataReader {
public:
  FitsDataReader(Conversion& cv, std::span<const TileCompression> tiles)
      : cv_(cv), st_(cv.State), tiles_(tiles),
        source_(std::span<uint8_t>(cv.Reader.Buffer), &ReadInput, &cv.Input) {}

  void Run() {
    CollectEntries();
    CheckEntries();
    stored_.assign(std::size_t{8} * MaxRowSamples, 0);
    tileRow_.assign(MaxRowSamples, 0.0);
    CheckFileHoldsData();
    ReadMosaic();
    st_.LastIoResult = cv_.Input.Close();
  }

private:
  void CollectEntries() {
    for (std::size_t i = 1; i < st_.SelectionList.size(); ++i) {
      SelectionEntry& e = st_.SelectionList[i];
      if (e.MosaicRow == 0 || e.MosaicColumn == 0 || e.Width == 0 || e.Height == 0) continue;
      EntryWork w;
      w.Entry = &e;
      w.Index = i;
      w.Rice.K = st_.RiceBits;
      w.Rice.M = st_.RiceLimit;
      totalSamples_ += uint64_t{e.Width} * e.Height;
      entries_.push_back(std::move(w));
    }
  }

  void CheckEntries() {
    // Each mosaic row must fit the row block the output was prepared for, and
    // the picture must hold every stacked mosaic row (each as tall as its
    // tallest image) or the last rows would be lost.
    int maxRow = 0;
    for (const EntryWork& w : entries_) maxRow = std::max<int>(maxRow, w.Entry->MosaicRow);
    int64_t height = 0;
    for (int r = 1; r <= maxRow; ++r) {
      int64_t width = 0;
      int64_t rowHeight = 0;
      for (const EntryWork& w : entries_) {
        if (w.Entry->MosaicRow != r) continue;
        width += w.Entry->Width;
        rowHeight = std::max<int64_t>(rowHeight, w.Entry->Height);
      }
      if (width > st_.ImageWidth || width > MaxRowSamples)
        Stop(cv_, "Image trop large : plus de 30000 pixels par ligne");
      height += rowHeight;
    }
    if (height > 65535) Stop(cv_, "Image trop haute : plus de 65535 lignes");
    if (height > st_.ImageHeight) st_.ImageHeight = static_cast<uint16_t>(height);
    for (EntryWork& w : entries_) {
      const uint8_t code = w.Entry->CompressionCode;
      if (code == PlainCode || code == PrevPixelCode || code == RiceCode || code == ProfVarCode)
        continue;
      if (code != TileCode || w.Index >= tiles_.size()) Stop(cv_, "Compression pas support\u00e9e");
      const TileCompression& tc = tiles_[w.Index];
      const ShortText<80> problem = TileSupportProblem(tc);
      if (!problem.empty())
        Stop(cv_, std::string("Compression pas support\u00e9e : ") + problem.str());
      if (tc.ZNaxis1 != w.Entry->Width) Stop(cv_, "Compression pas support\u00e9e : ZNAXIS1");
      w.Tiles = std::make_unique<TileImageReader>(tc, w.Entry->DataOffset, cv_.Input.Size());
    }
  }

  // A header that claims far more data than the file holds is refused before
  // anything is written.
  void CheckFileHoldsData() {
    const int64_t size = cv_.Input.Size();
    int64_t missing = 0;
    for (EntryWork& w : entries_) {
      const SelectionEntry& e = *w.Entry;
      const int64_t available = std::max<int64_t>(0, size - e.DataOffset);
      if (e.CompressionCode == TileCode) {
        const TileCompression& tc = tiles_[w.Index];
        if (tc.TableRowBytes * tc.TableRows > available) missing += int64_t{e.Width} * e.Height;
        continue;
      }
      const int64_t perRow = LeastRowBytes(e);
      if (perRow <= 0) continue;
      int64_t rowsHeld = available / perRow;
      if (NeedsRowCount(e, available)) rowsHeld = RowsHeld(w);
      if (rowsHeld < e.Height) missing += (e.Height - rowsHeld) * int64_t{e.Width};
    }
    // Checked on its own: the rows count their missing samples again as they
    // are read.
    if (missing > MaxMissingSamples) Stop(cv_, "Fichier tronqu\u00e9");
  }

  // Compressed rows take anything from their least size up: a file that holds
  // the least size of every row may still lack most of them. Where the zeros
  // could pass the bound (a large image, fewer bytes than its rows can take),
  // the rows the file holds are counted by decoding them once, before any output.
  static bool NeedsRowCount(const SelectionEntry& e, int64_t available) {
    if (int64_t{e.Width} * e.Height * 2 <= static_cast<int64_t>(MaxMissingOutputBytes))
      return false;
    int64_t mostPerRow = 0;
    switch (e.CompressionCode) {
    case PrevPixelCode: mostPerRow = 3 * int64_t{e.Width}; break;
    case ProfVarCode: mostPerRow = 16 * (2 * ((int64_t{e.Width} + 7) / 8) + 4); break;
    case RiceCode: return true; // an escape prefix has no useful bound
    default: return false;
    }
    return available < mostPerRow * e.Height;
  }

  // Rows of entry w decoded before its data run out; the decoders' state and
  // the byte source are left as they were.
  int64_t RowsHeld(EntryWork& w) {
    const SelectionEntry& e = *w.Entry;
    std::vector<uint16_t> row(e.Width);
    int16_t predictor = e.Predictor;
    RiceStream rice = w.Rice;
    ProfVarCarry carry;
    cv_.Input.Seek(e.DataOffset);
    source_.Restart();
    int64_t held = 0;
    for (; held < e.Height; ++held) {
      switch (e.CompressionCode) {
      case PrevPixelCode: DecodePrevPixelRow(source_, predictor, row); break;
      case RiceCode: DecodeRiceRow(source_, rice, predictor, row); break;
      default: DecodeProfVarRow(source_, carry, row, stored_); break;
      }
      if (source_.Overran() || rice.RanOut) break;
    }
    source_.Restart();
    current_ = nullptr;
    return held;
  }

  void CountMissing(int64_t samples) {
    missing_ += samples;
    if (missing_ > MaxMissingSamples) Stop(cv_, "Fichier tronqu\u00e9");
  }

  // Samples of a row that the file did not hold (or a damaged tile lost): zeros
  // in the output, reported at the end of the run.
  void RowShort(int64_t samples) {
    CountMissing(samples);
    NoteMissingData(cv_, static_cast<uint64_t>(samples), totalSamples_, MissingUnit::Samples);
  }

  // Puts the byte source at the data of entry w, keeping where the previous
  // entry stopped. With a single image the data are read straight through.
  void UseSource(EntryWork& w) {
    if (current_ == &w) return;
    ParkSource();
    cv_.Input.Seek(w.Entry->DataOffset);
    source_.Restart();
    sourceBase_ = w.Entry->DataOffset;
    current_ = &w;
  }

  void ParkSource() {
    if (current_) current_->Entry->DataOffset = sourceBase_ + source_.Consumed();
    current_ = nullptr;
  }

  void DecodeEntryRow(EntryWork& w, int64_t y, std::span<uint16_t> out) {
    SelectionEntry& e = *w.Entry;
    const SampleScaling scaling(e, st_);
    switch (e.CompressionCode) {
    case PlainCode: {
      const int bytes = BytesPerSample(e.Bitpix);
      if (bytes == 0) {
        // Samples of a type this reader does not know read as zeros.
        std::fill(out.begin(), out.end(), uint16_t{0});
        return;
      }
      UseSource(w);
      const std::size_t n = out.size() * static_cast<std::size_t>(bytes);
      const std::size_t got = source_.Read(stored_.data(), n);
      if (got < n) {
        const auto b = static_cast<std::size_t>(bytes);
        RowShort(static_cast<int64_t>((n - got + b - 1) / b));
      }
      ConvertPlainRow(std::span<const uint8_t>(stored_.data(), n), e.Bitpix,
                      st_.LittleEndianSamples != 0, scaling, out);
      return;
    }
    case PrevPixelCode:
      UseSource(w);
      DecodePrevPixelRow(source_, e.Predictor, out);
      // A row the data ran out in (or after) is zeros from there on.
      if (source_.Overran()) RowShort(static_cast<int64_t>(out.size()));
      for (uint16_t& s : out) s = scaling.Integer(s);
      return;
    case RiceCode:
      UseSource(w);
      DecodeRiceRow(source_, w.Rice, e.Predictor, out);
      if (w.Rice.RanOut || source_.Overran()) RowShort(static_cast<int64_t>(out.size()));
      for (uint16_t& s : out) s = scaling.Integer(static_cast<int16_t>(s));
      return;
    case ProfVarCode:
      // Stored values are output values: no scaling of any kind.
      UseSource(w);
      DecodeProfVarRow(source_, profVar_, out, stored_);
      if (source_.Overran()) RowShort(static_cast<int64_t>(out.size()));
      return;
    case TileCode: {
      ParkSource();
      TileImageReader::RowStatus status;
      if (w.Tiles->IntegerPixels()) {
        std::span<const int32_t> pixels;
        status = w.Tiles->ReadIntegerRow(cv_.Input, y, pixels);
        for (std::size_t i = 0; i < out.size(); ++i)
          out[i] = i < pixels.size() ? scaling.Integer(pixels[i]) : 0;
      } else {
        const std::span<double> values(tileRow_.data(), out.size());
        status = w.Tiles->ReadRow(cv_.Input, y, values);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = scaling.Real(values[i]);
      }
      switch (status) {
      case TileImageReader::RowStatus::Ok: break;
      case TileImageReader::RowStatus::Damaged:
        RowShort(static_cast<int64_t>(out.size()));
        break;
      case TileImageReader::RowStatus::Unsupported:
        Stop(cv_, "Compression pas support\u00e9e : tuile non RICE_1");
      }
      return;
    }
    default: std::fill(out.begin(), out.end(), uint16_t{0}); return;
    }
  }

  // Defective columns of the TAROT cameras, on a row of `used` samples.
  void RepairTarot(std::span<uint16_t> row, std::size_t used) {
    // Only rows laid out like the 2066-column detector are touched.
    if (used != st_.ImageWidth || used < 1038) return;
    if (st_.SourceSoftware == 12) {
      for (std::size_t i = 0; i <= 1030; ++i) row[i] = row[i + 2];
      for (std::size_t i = used - 1; i >= 1035; --i) row[i] = row[i - 2];
      for (std::size_t i = 1031; i <= 1034; ++i) row[i] = 0;
    } else if (st_.SourceSoftware == 13) {
      for (std::size_t i = 1033; i <= 1037; ++i) row[i] = 0;
    }
  }

  void HandOver() {
    if (rowsOut_ >= st_.ImageHeight) return;
    WriteOutputRow(cv_, static_cast<uint16_t>(st_.ImageHeight - 1 - rowsOut_));
    ++rowsOut_;
  }

  void ReadMosaic() {
    const std::span<uint16_t> row = cv_.Row();
    int maxRow = 0;
    for (const EntryWork& w : entries_) maxRow = std::max<int>(maxRow, w.Entry->MosaicRow);
    for (int r = 1; r <= maxRow; ++r) {
      int height = 0;
      for (const EntryWork& w : entries_)
        if (w.Entry->MosaicRow == r) height = std::max<int>(height, w.Entry->Height);
      for (int y = 0; y < height && rowsOut_ < st_.ImageHeight; ++y) {
        std::size_t c = 0;
        for (EntryWork& w : entries_) {
          if (w.Entry->MosaicRow != r) continue;
          const std::span<uint16_t> part = row.subspan(c, w.Entry->Width);
          if (y >= w.Entry->Height)
            std::fill(part.begin(), part.end(), uint16_t{0});
          else
            DecodeEntryRow(w, y, part);
          c += w.Entry->Width;
        }
        std::fill(row.begin() + static_cast<std::ptrdiff_t>(c), row.end(), uint16_t{0});
        RepairTarot(row, c);
        HandOver();
      }
    }
    // The output expects ImageHeight rows whatever the layout gave.
    while (rowsOut_ < st_.ImageHeight) {
      std::fill(row.begin(), row.end(), uint16_t{0});
      HandOver();
    }
  }

  Conversion& cv_;
  ImageState& st_;
  std::span<const TileCompression> tiles_;
  DataSource source_;
  EntryWork* current_ = nullptr;
  int64_t sourceBase_ = 0;
  ProfVarCarry profVar_;
  std::vector<EntryWork> entries_;
  std::vector<uint8_t> stored_;
  std::vector<double> tileRow_;
  int64_t missing_ = 0;
  uint64_t totalSamples_ = 0; // of every image read
  unsigned rowsOut_ = 0;
};

} // namespace

void ReadFitsData(Conversion& cv, std::span<const TileCompression> tiles) {
  FitsDataReader reader(cv, tiles);
  reader.Run();
}

} // namespace korv
