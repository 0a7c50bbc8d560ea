// Unpacking the chosen image row by row: the mode choice from the bit layout,
// strips, the row bytes (uncompressed, LZW or PackBits, fill order, horizontal
// differencing), the colour conversions and the bit-stream modes of the raw
// files. Every row starts on a byte boundary, as TIFF strips store them.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "core/input_file.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/truncation.h"
#include "output/row_pipeline.h"
#include "readers/tiff/packbits.h"
#include "readers/tiff/tiff_byte_source.h"
#include "readers/tiff/tiff_lzw.h"
#include "readers/tiff/tiff_walk.h"

namespace korv {
namespace {

// The widest row of bytes: 30000 pixels of four 16-bit planes.
constexpr std::size_t MaxRowBytes = std::size_t{MaxRowSamples} * 8;

bool PlanesTwoToFourEmpty(const TiffReader& t) {
  return t.BitsPerSample[1] == 0 && t.BitsPerSample[2] == 0 && t.BitsPerSample[3] == 0;
}

bool Bits(const TiffReader& t, unsigned a, unsigned b, unsigned c, unsigned d) {
  return t.BitsPerSample[0] == a && t.BitsPerSample[1] == b && t.BitsPerSample[2] == c &&
         t.BitsPerSample[3] == d;
}

bool ModelIs(const ImageState& st, std::initializer_list<std::string_view> models) {
  return std::find(models.begin(), models.end(), st.Detector.view()) != models.end();
}

// Bytes of one stored row in a byte-aligned mode (0 for the bit-stream modes
// that read a stream across rows).
uint64_t RowBytesOf(const TiffReader& t) {
  const uint64_t w = t.ImageWidth;
  switch (t.Mode) {
  case '1':
    return (w + 7) / 8;
  case '2':
    return (w + 3) / 4;
  case 'q':
    return (w * t.BitsPerSample[0] + 7) / 8;
  case '4':
  case 'Q':
    return (w + 1) / 2;
  case 'g':
  case 'p':
  case 'S':
    return w;
  case 'G':
  case 'P':
  case '6':
  case '#':
  case '=':
  case 'Y':
    return 2 * w;
  case 'c':
    return 3 * w;
  case 'C':
    return 6 * w;
  case 'a':
    return 4 * w;
  case '?': {
    uint64_t bits = 0;
    for (uint8_t b : t.BitsPerSample) bits += b;
    return w * bits / 8;
  }
  case 'x':
  case 'y':
  case '-':
  case 'z':
    return (3 * w + 1) / 2;
  case 'X':
    return (w * t.BitsPerSample[0] + 7) / 8;
  default:
    // 12-bit samples from 32-bit words: 16 bytes per 10 samples at the most.
    return (w + 9) / 10 * 16;
  }
}

class SourceChunks final : public ChunkInput {
public:
  explicit SourceChunks(TiffByteSource& s) : s_(s) {}
  std::span<const uint8_t> NextChunk() override { return s_.TakeChunk(); }

private:
  TiffByteSource& s_;
};

// Strips, row bytes and the stream decoders of one image.
class RowReader {
public:
  explicit RowReader(TiffReader& t)
      : t_(t), src_(t.cv.Input), chunks_(src_), bytes_(MaxRowBytes + 16) {
    tablePos_ = t.StripTablePos;
    offset_ = t.StripOrigin;
    if (t.RowsPerStrip != 0) rowsPerStrip_ = t.RowsPerStrip;
    if (t.FileKind == TiffFileKind::Mrw) single_ = true;
    if (t.Mode == '*') src_.SetSwap(4);
  }

  TiffByteSource& Source() { return src_; }

  // Positions at the strip of row r; a new strip resets the stream state.
  void StartRow() {
    if (stripRow_ == 0 || stripRow_ > rowsPerStrip_) {
      stripRow_ = 1;
      if (single_) {
        if (!started_) src_.Seek(t_.MrwDataOffset);
      } else {
        NextStripOffset();
        src_.Seek(t_.Base + offset_);
      }
      started_ = true;
      lzw_.Reset();
      packBits_.Reset();
      bitsLeft_ = 0;
      prevWord_ = latestWord_ = 0;
    }
    ++stripRow_;
    src_.ResetBits();
  }

  // The stored bytes of one row, decompressed, bit order and differencing undone.
  std::span<uint8_t> ReadRowBytes(std::size_t n, unsigned stride, bool swap16) {
    const std::span<uint8_t> out(bytes_.data(), n);
    if (t_.Compression == CodeLzw) {
      lzw_.Decode(chunks_, out);
    } else if (t_.Compression == CodePackBits) {
      packBits_.Decode(chunks_, out, t_.FillReversed);
    } else {
      src_.Read(out);
      if (t_.FillReversed)
        for (uint8_t& b : out) b = ReverseBits(b);
    }
    if ((t_.Compression == CodeLzw || t_.Compression == CodePackBits) && stride >= 1 &&
        stride <= 4) {
      for (std::size_t i = stride; i < n; ++i)
        out[i] = static_cast<uint8_t>(out[i] + out[i - stride]);
    }
    if (swap16)
      for (std::size_t i = 0; i + 1 < n; i += 2) std::swap(out[i], out[i + 1]);
    return out;
  }

  // 12 bits from the 32-bit accumulators of modes "%", "&", "*", "^".
  uint32_t Accumulated12(bool lsbFirst) {
    if (bitsLeft_ < 12) {
      prevWord_ = latestWord_;
      uint32_t w = 0;
      for (unsigned k = 0; k < 4; ++k) {
        const uint8_t b = src_.Byte();
        w = (w << 8) | (lsbFirst ? ReverseBits(b) : b);
      }
      latestWord_ = w;
      bitsLeft_ += 32;
    }
    bitsLeft_ -= 12;
    const uint64_t window = (uint64_t{prevWord_} << 32) | latestWord_;
    return static_cast<uint32_t>((window >> bitsLeft_) & 0xFFF);
  }
  void ClearAccumulator() { bitsLeft_ = 0; }

  // Rows read from an absolute position (modes "-" and "z").
  void SeekAbsolute(uint64_t position) {
    src_.Seek(position);
    lzw_.Reset();
    packBits_.Reset();
  }

private:
  void NextStripOffset() {
    // Strips the table does not declare are not in the file: they read as zeros.
    if (stripIndex_ >= t_.StripCount && t_.StripCount != 0) {
      offset_ = UINT32_MAX;
    } else if (t_.StripType == 3) {
      offset_ = TableValue(2);
    } else if (t_.StripType == 4) {
      offset_ = TableValue(4);
    }
    ++stripIndex_;
  }

  // The next entry of the strip-offset table, read through a block of the
  // table (one read for 256 strips instead of one each).
  uint32_t TableValue(unsigned size) {
    const uint64_t pos = t_.Base + tablePos_;
    tablePos_ += size;
    if (pos < tableAt_ || pos + size > tableAt_ + tableLen_) {
      // The rest of the declared table at most (a table of unknown length: one entry).
      const uint64_t left = t_.StripCount > stripIndex_ ? uint64_t{t_.StripCount - stripIndex_} * size : size;
      const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(table_.size(), left));
      tableAt_ = pos;
      tableLen_ = want;
      std::fill(table_.begin(), table_.end(), uint8_t{0});
      t_.file.ReadAt(pos, std::span<uint8_t>(table_.data(), want));
    }
    const uint8_t* b = &table_[static_cast<std::size_t>(pos - tableAt_)];
    if (size == 2) return t_.file.BigEndian() ? (b[0] << 8 | b[1]) : (b[1] << 8 | b[0]);
    return t_.file.BigEndian() ? (uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3])
                               : (uint32_t{b[3]} << 24 | uint32_t{b[2]} << 16 | uint32_t{b[1]} << 8 | b[0]);
  }

  TiffReader& t_;
  TiffByteSource src_;
  SourceChunks chunks_;
  TiffLzwDecoder lzw_;
  PackBitsDecoder packBits_;
  std::vector<uint8_t> bytes_;
  uint64_t tablePos_ = 0;
  std::array<uint8_t, 1024> table_{};  // a block of the strip-offset table
  uint64_t tableAt_ = 0;               // its absolute position
  std::size_t tableLen_ = 0;           // bytes of it in use
  uint64_t offset_ = 0;
  uint32_t rowsPerStrip_ = UINT32_MAX;
  uint32_t stripRow_ = 0;
  uint32_t stripIndex_ = 0;
  bool single_ = false;
  bool started_ = false;
  unsigned bitsLeft_ = 0;
  uint32_t prevWord_ = 0;
  uint32_t latestWord_ = 0;
};

uint16_t Word(std::span<const uint8_t> b, std::size_t i, bool big) {
  return big ? static_cast<uint16_t>(b[2 * i] << 8 | b[2 * i + 1])
             : static_cast<uint16_t>(b[2 * i + 1] << 8 | b[2 * i]);
}

// The 16-bit words of a row of bytes, as many as `out` holds.
void WordsOf(std::span<const uint8_t> b, bool big, std::span<uint16_t> out) {
  const uint8_t* p = b.first(2 * out.size()).data();
  uint16_t* o = out.data();
  const std::size_t n = out.size();
  if (big) {
    for (std::size_t i = 0; i < n; ++i) o[i] = static_cast<uint16_t>(p[2 * i] << 8 | p[2 * i + 1]);
  } else if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(o, p, 2 * n);
  } else {
    for (std::size_t i = 0; i < n; ++i) o[i] = static_cast<uint16_t>(p[2 * i + 1] << 8 | p[2 * i]);
  }
}

uint8_t ClampByte(double v) {
  const double r = std::nearbyint(v);
  return static_cast<uint8_t>(r < 0 ? 0 : r > 255 ? 255 : r);
}

// One 8-bit pixel of three or four channels as red, green, blue and the fourth.
struct Rgba {
  uint32_t R = 0, G = 0, B = 0, A = 0;
};

Rgba ConvertColour8(uint16_t photometric, uint8_t c0, uint8_t c1, uint8_t c2, uint8_t c3) {
  Rgba p{c0, c1, c2, c3};
  if (photometric == 5) {
    const uint32_t x = 255u - c3;
    p.R = (255u - c0) * x;
    p.G = (255u - c1) * x;
    p.B = (255u - c2) * x;
  } else if (photometric == 6) {
    // Chroma is stored with an offset of 128.
    const double y = c0;
    const double cb = c1 - 128.0;
    const double cr = c2 - 128.0;
    const double b = y + 1.8558 * cb;
    const double r = y + 1.575 * cr;
    const double g = (y - 0.0721 * b - 0.2125 * r) * 1.3978194017;
    p.R = ClampByte(r);
    p.G = ClampByte(g);
    p.B = ClampByte(b);
  } else if (photometric == 8) {
    const double l = c0 * 100.0 / 255.0;
    const double a = static_cast<int8_t>(c1);
    const double bb = static_cast<int8_t>(c2);
    const double y = l <= 8 ? l / 903.3 : std::pow((l + 16) / 116, 3);
    const double f = y <= 0.008856 ? 7.787 * y + 16.0 / 116 : std::cbrt(y);
    const auto g = [](double v) {
      const double lin = (v - 16.0 / 116) * 0.12841916;
      return lin <= 0.008856 ? lin : v * v * v;
    };
    const double x = g(f + a / 500);
    const double z = g(f - bb / 200);
    p.R = ClampByte(826.2 * x - 391.935 * y - 127.245 * z);
    p.G = ClampByte(-247.095 * x + 478.38 * y + 10.71 * z);
    p.B = ClampByte(14.28 * x - 52.02 * y + 269.535 * z);
  }
  return p;
}

class ImageDecoder {
public:
  explicit ImageDecoder(TiffReader& t)
      : t_(t), st_(t.cv.State), rows_(t), wR_(st_.ChannelWeightR), wV_(st_.ChannelWeightV),
        wB_(st_.ChannelWeightB), wA_(st_.ChannelWeightA),
        linear_(t.LookupFill > 0),
        plainSamples_(!linear_ && !t.GammaOn && !st_.IsCfa && st_.LevelFactor == 1.0f) {}

  void Run() {
    const unsigned h = t_.ImageHeight;
    uint64_t missingRows = 0;
    for (unsigned r = 0; r < h; ++r) {
      const uint64_t before = rows_.Source().MissingBytes();
      if (t_.Mode != 'z' && t_.Mode != '-') rows_.StartRow();
      DecodeRow(r, t_.cv.Row());
      if (rows_.Source().MissingBytes() != before) ++missingRows;
      WriteOutputRow(t_.cv, static_cast<uint16_t>(r));
    }
    NoteMissingData(t_.cv, missingRows, h);
  }

private:
  bool Big() const { return t_.file.BigEndian(); }
  unsigned Stride(unsigned perPixel) const { return t_.Predictor ? perPixel : 0; }
  uint16_t Grey(const Rgba& p) const { return Weighted(p.R, p.G, p.B, p.A); }

  // The weighted sum of the channels in extended precision, rounded to nearest
  // (ties to even) and clamped, as WeightedGreyExtended computes it; the
  // rounding is done here without a library call, which dominated colour rows.
  uint16_t Weighted(uint32_t r, uint32_t g, uint32_t b, uint32_t a = 0) const {
    const long double sum = r * wR_ + g * wV_ + b * wB_ + a * wA_;
    if (!(sum > 0.0L)) return 0;
    if (sum >= 65535.0L) return 65535;
    auto n = static_cast<uint32_t>(sum);
    const long double f = sum - n;
    if (f > 0.5L || (f == 0.5L && (n & 1) != 0)) ++n;
    return static_cast<uint16_t>(n);
  }

  // A DNG linearisation table, then FinishSample, with the common case of
  // nothing to apply taken directly.
  uint16_t Finish(uint32_t v, std::size_t c, unsigned r, bool linearise = true) const {
    if (linear_ && linearise) v = t_.LookupTable[v > 65535 ? 65535 : v];
    if (plainSamples_) return static_cast<uint16_t>(v > 65535 ? 65535 : v);
    return FinishSample(t_, v, static_cast<unsigned>(c), r);
  }

  // Horizontal differencing of 16-bit samples, undone on the values.
  void UndoWordDifferencing(std::span<uint16_t> v, std::size_t stride) const {
    if (!t_.Predictor || (t_.Compression != CodeLzw && t_.Compression != CodePackBits)) return;
    for (std::size_t i = stride; i < v.size(); ++i)
      v[i] = static_cast<uint16_t>(v[i] + v[i - stride]);
  }

  void DecodeRow(unsigned r, std::span<uint16_t> row) {
    const std::size_t w = row.size();
    const std::size_t n = RowBytesOf(t_);
    switch (t_.Mode) {
    case '1': {
      const auto b = rows_.ReadRowBytes(n, 0, false);
      for (std::size_t c = 0; c < w; ++c) {
        const unsigned bit = (b[c >> 3] >> (7 - (c & 7))) & 1;
        row[c] = static_cast<uint16_t>(((bit ? 255 : 0) ^ t_.InvertMask) & 255);
      }
      break;
    }
    case '2':
    case '4': {
      const unsigned bits = t_.Mode == '2' ? 2 : 4;
      const unsigned scale = bits == 2 ? 0x55 : 0x11;
      const auto b = rows_.ReadRowBytes(n, 0, false);
      for (std::size_t c = 0; c < w; ++c) {
        const std::size_t bit = c * bits;
        const unsigned v = (b[bit >> 3] >> (8 - bits - (bit & 7))) & ((1u << bits) - 1);
        const unsigned g = v * scale;
        row[c] = static_cast<uint16_t>(t_.InvertMask ? 255 - g : g);
      }
      break;
    }
    case 'q':
    case 'Q': {
      // Two-colour palettes are read as "q" with one bit per index.
      const unsigned bits = t_.Mode == 'q' ? (t_.BitsPerSample[0] == 1 ? 1 : 2) : 4;
      const auto b = rows_.ReadRowBytes(n, 0, false);
      for (std::size_t c = 0; c < w; ++c) {
        const std::size_t bit = c * bits;
        const unsigned v = (b[bit >> 3] >> (8 - bits - (bit & 7))) & ((1u << bits) - 1);
        row[c] = t_.LookupTable[v];
      }
      break;
    }
    case 'g': {
      const auto b = rows_.ReadRowBytes(n, Stride(1), false);
      for (std::size_t c = 0; c < w; ++c) {
        uint32_t v = b[c];
        // White-is-zero rows are inverted, not linearised.
        row[c] = t_.Photometric == 0 ? Finish(255 - v, c, r, false) : Finish(v, c, r);
      }
      break;
    }
    case 'p': {
      const auto b = rows_.ReadRowBytes(n, Stride(1), false);
      for (std::size_t c = 0; c < w; ++c) row[c] = t_.LookupTable[b[c]];
      break;
    }
    case 'G':
    case 'P':
    case '#':
    case '=': {
      const auto b = rows_.ReadRowBytes(n, 0, false);
      const bool big = t_.Mode == '=' ? true : t_.Mode == '#' ? Big() : Big();
      WordsOf(b, big, row);
      UndoWordDifferencing(row, 1);
      // The choices are made once a row; with nothing to apply, a word is its
      // own sample (Finish leaves a value of at most 65535 as it is).
      if (t_.Mode == 'P') {
        for (std::size_t c = 0; c < w; ++c) row[c] = t_.LookupTable[row[c]];
        break;
      }
      const bool invert = t_.Mode == 'G' && t_.Photometric == 0;
      if (plainSamples_) {
        if (invert)
          for (uint16_t& v : row) v = static_cast<uint16_t>(65535 - v);
        break;
      }
      for (std::size_t c = 0; c < w; ++c)
        row[c] = Finish(invert ? 65535u - row[c] : row[c], c, r);
      break;
    }
    case 'c':
    case 'a': {
      const unsigned k = t_.Mode == 'c' ? 3 : 4;
      const auto b = rows_.ReadRowBytes(n, Stride(k), false);
      for (std::size_t c = 0; c < w; ++c) {
        const uint8_t* p = &b[k * c];
        row[c] = Grey(ConvertColour8(t_.Photometric, p[0], p[1], p[2], k == 4 ? p[3] : 0));
      }
      break;
    }
    case 'C': {
      const auto b = rows_.ReadRowBytes(n, 0, false);
      std::span<uint16_t> words(wide_.data(), 3 * w);
      for (std::size_t i = 0; i < 3 * w; ++i) words[i] = Word(b, i, Big());
      UndoWordDifferencing(words, 3);
      for (std::size_t c = 0; c < w; ++c)
        row[c] = Weighted(words[3 * c], words[3 * c + 1], words[3 * c + 2]);
      break;
    }
    case '6': {
      const auto b = rows_.ReadRowBytes(n, 0, false);
      for (std::size_t c = 0; c < w; ++c) row[c] = Word(b, c, Big());
      UndoWordDifferencing(row, 1);
      for (std::size_t c = 0; c < w; ++c) {
        const unsigned v = row[c];
        unsigned rr = (v >> 11) * 2;
        unsigned bb = (v & 31) * 2;
        if (rr > 31) ++rr;
        if (bb > 31) ++bb;
        row[c] = Weighted(rr, (v >> 5) & 63, bb);
      }
      break;
    }
    case '?':
      DecodeMixedRow(row, n);
      break;
    case 'X': {
      // Packed samples, most significant bit first; each row starts on a byte.
      const auto b = rows_.ReadRowBytes(n, 0, false);
      const unsigned bits = t_.BitsPerSample[0];
      uint64_t acc = 0;
      unsigned have = 0;
      std::size_t i = 0;
      for (std::size_t c = 0; c < w; ++c) {
        while (have < bits) {
          acc = (acc << 8) | b[i++];
          have += 8;
        }
        have -= bits;
        row[c] = Finish(static_cast<uint32_t>((acc >> have) & LowMask[bits]), c, r);
      }
      break;
    }
    case 'Y': {
      const auto b = rows_.ReadRowBytes(n, 0, false);
      const uint16_t mask = LowMask[std::min<unsigned>(t_.BitsPerSample[0], 16)];
      for (std::size_t c = 0; c < w; ++c)
        row[c] = Finish(Word(b, c, false) & mask, c, r);
      break;
    }
    case 'x':
    case 'y':
    case '-':
    case 'z':
      DecodeTwelveBitRow(r, row, n);
      break;
    case 'S':
      DecodeSonyRow(r, row, n);
      break;
    case '%':
    case '&':
    case '*':
    case '^': {
      const bool lsb = t_.Mode == '%';
      const bool groupsOfTen = t_.Mode == '%' || t_.Mode == '&';
      for (std::size_t c = 0; c < w; ++c) {
        uint32_t v = rows_.Accumulated12(lsb);
        if (lsb) v = (uint32_t{ReverseBits(static_cast<uint8_t>(v))} << 4) |
                     (ReverseBits(static_cast<uint8_t>(v >> 8)) >> 4);
        row[c] = Finish(v, c, r);
        if (groupsOfTen && c % 10 == 9) rows_.ClearAccumulator();
      }
      break;
    }
    default:
      std::fill(row.begin(), row.end(), uint16_t{0});
      break;
    }
  }

  // Up to four planes of 0, 8 or 16 bits, uncompressed.
  void DecodeMixedRow(std::span<uint16_t> row, std::size_t n) {
    const auto b = rows_.ReadRowBytes(n, 0, false);
    std::size_t i = 0;
    for (std::size_t c = 0; c < row.size(); ++c) {
      std::array<uint32_t, 4> v{};
      for (unsigned k = 0; k < 4; ++k) {
        if (t_.BitsPerSample[k] == 8) {
          v[k] = b[i++];
        } else if (t_.BitsPerSample[k] == 16) {
          v[k] = Big() ? (uint32_t{b[i]} << 8 | b[i + 1]) : (uint32_t{b[i + 1]} << 8 | b[i]);
          i += 2;
        }
      }
      if (t_.Photometric < 2) {
        // Grey with extra planes (alpha): the grey plane is the image.
        uint32_t g = v[0];
        if (t_.Photometric == 0) g = (t_.BitsPerSample[0] == 16 ? 65535u : 255u) - g;
        row[c] = static_cast<uint16_t>(g);
        continue;
      }
      if (t_.Photometric == 5) {
        const bool wide = t_.BitsPerSample[3] == 16;
        const double x = wide ? 1.0 - v[3] / 65535.0 : 255.0 - v[3];
        const double full = t_.BitsPerSample[0] == 16 ? 65535.0 : 255.0;
        v[0] = static_cast<uint32_t>(std::nearbyint((full - v[0]) * x));
        v[1] = static_cast<uint32_t>(std::nearbyint((full - v[1]) * x));
        v[2] = static_cast<uint32_t>(std::nearbyint((full - v[2]) * x));
      }
      row[c] = Weighted(v[0], v[1], v[2], v[3]);
    }
  }

  void DecodeTwelveBitRow(unsigned r, std::span<uint16_t> row, std::size_t n) {
    const unsigned h = t_.ImageHeight;
    if (t_.Mode == '-' || t_.Mode == 'z') {
      uint64_t phys = (r & 1) == 0 ? r / 2 : (uint64_t{r} + h) / 2;
      const uint64_t rowBytes = uint64_t{t_.ImageWidth} * 3 / 2;
      if (t_.Mode == '-') {
        rows_.SeekAbsolute(t_.Base + t_.StripOrigin + phys * rowBytes);
      } else {
        if (r & 1) phys += t_.OddRowShift;
        const uint64_t rps = t_.RowsPerStrip ? t_.RowsPerStrip : h;
        const uint64_t strip = phys / rps;
        const uint64_t start = strip < t_.StripCount || t_.StripCount == 0
                                   ? t_.file.U32At(t_.Base + t_.StripTablePos + 4 * strip)
                                   : UINT32_MAX;
        rows_.SeekAbsolute(t_.Base + start + (phys % rps) * rowBytes);
      }
    }
    const auto b = rows_.ReadRowBytes(n, 0, false);
    const bool little = t_.Mode == 'y';
    for (std::size_t c = 0; c < row.size(); ++c) {
      // The last sample of an odd row ends within the second byte of its group.
      const std::size_t i = (c / 2) * 3;
      const unsigned b0 = b[i];
      const unsigned b1 = i + 1 < b.size() ? b[i + 1] : 0;
      const unsigned b2 = i + 2 < b.size() ? b[i + 2] : 0;
      unsigned v = 0;
      if (little)
        v = (c & 1) == 0 ? (b0 | ((b1 & 15) << 8)) : ((b1 >> 4) | (b2 << 4));
      else
        v = (c & 1) == 0 ? ((b0 << 4) | (b1 >> 4)) : (((b1 & 15) << 8) | b2);
      row[c] = Finish(v, c, r);
    }
  }

  // Blocks of 16 samples in 128 bits: maximum, minimum, their positions, and
  // 14 seven-bit steps above the minimum; two blocks fill 32 interleaved columns.
  void DecodeSonyRow(unsigned r, std::span<uint16_t> row, std::size_t n) {
    const auto b = rows_.ReadRowBytes(n, 0, false);
    const std::size_t w = row.size();
    std::fill(row.begin(), row.end(), uint16_t{0});
    std::size_t col = 0;
    for (std::size_t g = 0; g + 16 <= n; g += 16) {
      const auto bit = [&](unsigned from, unsigned count) {
        uint32_t v = 0;
        for (unsigned k = 0; k < count; ++k) {
          const unsigned p = from + k;
          v |= static_cast<uint32_t>((b[g + p / 8] >> (p % 8)) & 1) << k;
        }
        return v;
      };
      const uint32_t mx = bit(0, 11), mn = bit(11, 11);
      const uint32_t imax = bit(22, 4), imin = bit(26, 4);
      unsigned sh = 0;
      while (sh < 4 && mx >= mn && mx - mn >= (128u << sh)) ++sh;
      if (mx < mn) sh = 0;
      std::array<uint32_t, 16> pix{};
      unsigned pos = 30;
      for (unsigned i = 0; i < 16; ++i) {
        if (i == imax) {
          pix[i] = mx;
        } else if (i == imin) {
          pix[i] = mn;
        } else {
          pix[i] = (bit(pos, 7) << sh) + mn;
          pos += 7;
        }
      }
      for (unsigned i = 0; i < 16; ++i) {
        const std::size_t c = col + 2 * i;
        if (c < w) row[c] = FinishSample(t_, std::min<uint32_t>(pix[i], 0xFFFF),
                                         static_cast<unsigned>(c), r);
      }
      col += ((g / 16) & 1) == 0 ? 1 : 31;
    }
  }

  TiffReader& t_;
  const ImageState& st_;
  RowReader rows_;
  const long double wR_, wV_, wB_, wA_;
  const bool linear_;        // stored values pass the DNG linearisation table
  const bool plainSamples_;
  std::vector<uint16_t> wide_ = std::vector<uint16_t>(3 * std::size_t{MaxRowSamples});
};

} // namespace

void ChooseUnpackMode(TiffReader& t) {
  ImageState& st = t.cv.State;
  const auto& b = t.BitsPerSample;
  const bool empty = PlanesTwoToFourEmpty(t);
  const bool palette = t.PaletteOffset != 0 && t.PaletteCount != 0;
  char m = 0;
  if (palette && (b[0] == 1 || b[0] == 2)) m = 'q';
  else if (palette && b[0] == 4) m = 'Q';
  else if (palette && b[0] == 8) m = 'p';
  else if (palette && b[0] == 16) m = 'P';
  else if (b[0] == 1 && empty) m = '1';
  else if (b[0] == 2 && empty) m = '2';
  else if (b[0] == 4 && empty) m = '4';
  else if (b[0] == 8 && empty) m = 'g';
  else if (Bits(t, 8, 8, 8, 0)) m = 'c';
  else if (Bits(t, 8, 8, 8, 8)) m = 'a';
  else if (b[0] == 16 && empty) m = 'G';
  else if (Bits(t, 16, 16, 16, 0)) m = 'C';
  if (m == '1' || m == '2' || m == '4' || m == 'c') st.InputMax = 255;
  if (m == 'g' && t.LookupFill == 0 && !st.IsCfa) st.InputMax = 255;
  if (m != 0) {
    t.Mode = m;
    return;
  }
  if (Bits(t, 0, 0, 0, 0)) Stop(t.cv, "Rien de d\u00e9codable");
  if (std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0 || v == 8 || v == 16; })) {
    if (t.Compression != CodeNone || t.Predictor)
      Stop(t.cv, "Plans de 8 et 16 binons : seulement sans compression");
    t.Mode = '?';
    return;
  }
  if (Bits(t, 5, 6, 5, 0)) {
    t.Mode = '6';
    return;
  }
  const std::string_view model = st.Detector.view();
  if (b[0] == 14 && empty && model.substr(0, 5) == "NIKON") {
    t.Mode = '#';
    return;
  }
  if (b[0] == 14 && empty && model == "DSC-R1") {
    t.Mode = '=';
    return;
  }
  if ((b[0] == 14 || (b[0] == 12 && empty && model == "EX2F")) &&
      (t.Compression == 32769 || t.Compression == 32770)) {
    t.Mode = 'Y';
    t.Compression = CodeNone;
    return;
  }
  const bool twelveLayout = b[0] == 12 && b[1] == b[2] && (b[1] == 0 || b[1] == 12) && b[3] == 0;
  if (twelveLayout && (t.Photometric == 32803 || t.Compression == 32770 ||
                       t.Compression == 32772 || t.Photometric == 1)) {
    t.Mode = ModelIs(st, {"NX20", "NX210", "NX1000"}) ? 'y' : 'x';
    return;
  }
  if ((b[0] == 10 || b[0] == 12 || b[0] == 14) && empty &&
      (t.Photometric == 1 || t.Photometric == 32803 || t.Photometric == 34892)) {
    Say(t.cv, "Convertisseur 10, 12 et 14 binons - exp\u00e9rimental");
    st.EraseInput = 0;
    t.Mode = 'X';
    return;
  }
  Stop(t.cv, "Seulement 0, 8, 10, 12, 14 ou 16 binons par valeur (" + std::to_string(b[0]) + "," +
                 std::to_string(b[1]) + "," + std::to_string(b[2]) + "," +
                 std::to_string(b[3]) + ")");
}

void CheckImageData(TiffReader& t) {
  // Without a strip table the data would be read from the file's start.
  if (t.FileKind != TiffFileKind::Mrw && t.Mode != '-' && t.Mode != 'z' &&
      (t.StripType == 0 || t.StripCount == 0)) {
    Stop(t.cv, "Origines des bandes absentes");
  }
  const uint64_t size = static_cast<uint64_t>(t.file.FileSize());
  const uint64_t h = t.ImageHeight;
  const uint64_t rowBytes = std::max<uint64_t>(RowBytesOf(t), 1);
  const bool compressed = t.Compression == CodeLzw || t.Compression == CodePackBits;
  uint64_t missingRows = 0;
  const auto rowsBeyond = [&](uint64_t start, uint64_t rows) -> uint64_t {
    if (start >= size) return rows;
    if (compressed) return 0;
    const uint64_t held = (size - start) / rowBytes;
    return held >= rows ? 0 : rows - held;
  };
  if (t.FileKind == TiffFileKind::Mrw || t.Mode == '-') {
    const uint64_t start = t.FileKind == TiffFileKind::Mrw ? t.MrwDataOffset
                                                            : t.Base + t.StripOrigin;
    missingRows = rowsBeyond(start, h);
  } else if (t.Mode != 'z') {
    const uint64_t rps = t.RowsPerStrip ? std::min<uint64_t>(t.RowsPerStrip, h) : h;
    const uint64_t strips = (h + rps - 1) / rps;
    uint64_t pos = t.StripTablePos;
    uint64_t offset = t.StripOrigin;
    for (uint64_t s = 0; s < strips; ++s) {
      const uint64_t rows = std::min(rps, h - s * rps);
      if (s >= t.StripCount && t.StripCount != 0) {
        missingRows += rows;
        continue;
      }
      if (t.StripType == 3) {
        offset = t.file.U16At(t.Base + pos);
        pos += 2;
      } else if (t.StripType == 4) {
        offset = t.file.U32At(t.Base + pos);
        pos += 4;
      }
      missingRows += rowsBeyond(t.Base + offset, rows);
    }
  }
  // A raw file whose image data were stripped (metadata samples) holds not one
  // row of them: nothing to convert.
  if (missingRows >= h) Stop(t.cv, "Pas de donn\u00e9es d'image dans le fichier");
  CheckMissingOutput(t.cv, missingRows * t.ImageWidth * 2);
}

void DecodeTiffRows(TiffReader& t) {
  ImageDecoder decoder(t);
  decoder.Run();
}

} // namespace korv
