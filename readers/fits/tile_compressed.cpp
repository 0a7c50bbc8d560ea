// Tile-compressed images: the header cards of the BINTABLE that carries them,
// the RICE_1 tile algorithm, and the row reader over the table and its heap.
#include "readers/fits/tile_compressed.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "core/image_state.h"
#include "core/input_file.h"
#include "core/numbers.h"

namespace korv {

namespace {

constexpr int64_t MaxTilePixels = int64_t{8} << 20;  // 32 MiB of decoded pixels
constexpr int64_t MaxTileBytes = int64_t{256} << 20; // compressed bytes of one tile
constexpr int DitherValues = 10000;
constexpr int64_t MaxTableRowPrefix = 4096;      // table-row bytes up to the last column read
constexpr int32_t DitherZeroValue = -2147483646; // SUBTRACTIVE_DITHER_2: an exact 0.0

std::string_view Unquoted(std::string_view v) {
  while (!v.empty() && (v.front() == '\'' || v.front() == ' ')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == '\'' || v.back() == ' ')) v.remove_suffix(1);
  return v;
}

int64_t IntegerValue(std::string_view v) {
  v = Unquoted(v);
  bool negative = false;
  if (!v.empty() && (v.front() == '+' || v.front() == '-')) {
    negative = v.front() == '-';
    v.remove_prefix(1);
  }
  int64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') break;
    if (n > (std::numeric_limits<int64_t>::max() - 9) / 10) break; // keep it finite
    n = n * 10 + (c - '0');
  }
  return negative ? -n : n;
}

// Keyword ending in a number 1..maxIndex after the given prefix; 0 otherwise.
int IndexAfter(std::string_view keyword, std::string_view prefix, int maxIndex) {
  if (keyword.size() <= prefix.size() || keyword.substr(0, prefix.size()) != prefix) return 0;
  int n = 0;
  for (char c : keyword.substr(prefix.size())) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
    if (n > maxIndex) return 0;
  }
  return n;
}

void ResolveParams(TileCompression& tc) {
  for (int i = 1; i <= 8; ++i) {
    if (!tc.ParamValueSet[i]) continue;
    const std::string_view name = tc.ParamName[i].view();
    if (name == "BLOCKSIZE")
      tc.BlockSize = static_cast<int>(std::clamp<int64_t>(tc.ParamValue[i], 0, 1 << 20));
    if (name == "BYTEPIX")
      tc.BytePix = static_cast<int>(std::clamp<int64_t>(tc.ParamValue[i], 0, 8));
  }
}

// TFORM: repeat count, type letter, and for P/Q the element letter.
void NoteColumnForm(TileCompression& tc, int column, std::string_view form) {
  form = Unquoted(form);
  int64_t repeat = 0;
  std::size_t i = 0;
  bool digits = false;
  while (i < form.size() && form[i] >= '0' && form[i] <= '9') {
    repeat = std::min<int64_t>(repeat * 10 + (form[i] - '0'), int64_t{1} << 40);
    digits = true;
    ++i;
  }
  if (!digits) repeat = 1;
  const char type = i < form.size() ? form[i] : 0;
  const char element = i + 1 < form.size() ? form[i + 1] : 0;
  int64_t size = 0;
  switch (type) {
  case 'L':
  case 'B':
  case 'A': size = 1; break;
  case 'I': size = 2; break;
  case 'J':
  case 'E': size = 4; break;
  case 'K':
  case 'D':
  case 'C':
  case 'P': size = 8; break;
  case 'M':
  case 'Q': size = 16; break;
  case 'X': size = 0; break;
  default: size = 0; break;
  }
  tc.ColumnType[column] = type;
  tc.ElementType[column] = element;
  tc.ColumnWidth[column] = type == 'X' ? (repeat + 7) / 8 : repeat * size;
  int64_t offset = 0;
  for (int c = 0; c < MaxTileColumns; ++c) {
    tc.ColumnOffset[c] = offset;
    offset += tc.ColumnWidth[c];
  }
}

int64_t ReadBigEndian(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  if (bytes < 8 && (v >> (bytes * 8 - 1)) & 1u) v |= ~uint64_t{0} << (bytes * 8);
  return static_cast<int64_t>(v);
}

double ReadColumnReal(const TileCompression& tc, std::span<const uint8_t> row, int column,
                      double fallback) {
  if (column < 0 || column >= MaxTileColumns) return fallback;
  const int64_t off = tc.ColumnOffset[column];
  const char type = tc.ColumnType[column];
  const int bytes = type == 'D' || type == 'K'   ? 8
                    : type == 'E' || type == 'J' ? 4
                    : type == 'I'                ? 2
                                                 : 0;
  if (bytes == 0 || off < 0 || off + bytes > static_cast<int64_t>(row.size())) return fallback;
  const int64_t raw = ReadBigEndian(row.data() + off, bytes);
  if (type == 'D') return std::bit_cast<double>(static_cast<uint64_t>(raw));
  if (type == 'E') return std::bit_cast<float>(static_cast<uint32_t>(raw));
  return static_cast<double>(raw);
}

// MSB-first bit reader over one tile; past the end it reads zeros.
class TileBits {
public:
  explicit TileBits(std::span<const uint8_t> in) : in_(in) {}

  uint32_t Get(int k) { // k <= 32
    if (k == 0) return 0;
    if (count_ < k) Refill();
    const uint32_t v = static_cast<uint32_t>(buffer_ >> (64 - k));
    buffer_ <<= k;
    count_ -= k;
    used_ += static_cast<uint64_t>(k);
    return v;
  }

  // Zero bits before the next 1 bit, which is consumed; -1 once past the end.
  int64_t Zeros() {
    int64_t zeros = 0;
    for (;;) {
      if (count_ == 0) Refill();
      if (buffer_ == 0) {
        zeros += count_;
        used_ += static_cast<uint64_t>(count_);
        count_ = 0;
        if (Overran()) return -1;
        continue;
      }
      const int lead = std::countl_zero(buffer_);
      buffer_ <<= lead;
      buffer_ <<= 1;
      count_ -= lead + 1;
      used_ += static_cast<uint64_t>(lead + 1);
      return zeros + lead;
    }
  }

  bool Overran() const { return used_ > in_.size() * 8; }

private:
  void Refill() {
    while (count_ <= 56) {
      const uint64_t b = next_ < in_.size() ? in_[next_] : 0;
      ++next_;
      buffer_ |= b << (56 - count_);
      count_ += 8;
    }
  }

  std::span<const uint8_t> in_;
  std::size_t next_ = 0;
  uint64_t buffer_ = 0; // bits left-aligned
  int count_ = 0;       // valid bits in buffer_
  uint64_t used_ = 0;
};

} // namespace

void NoteTileCard(TileCompression& tc, std::string_view keyword, std::string_view value) {
  const std::string_view v = Unquoted(value);
  if (keyword == "ZIMAGE") {
    tc.IsImage = v == "T";
  } else if (keyword == "ZCMPTYPE") {
    tc.Type = v;
  } else if (keyword == "ZBITPIX") {
    tc.ZBitpix = static_cast<int>(std::clamp<int64_t>(IntegerValue(v), -1000, 1000));
  } else if (keyword == "ZNAXIS") {
    tc.ZNaxis = static_cast<int>(std::clamp<int64_t>(IntegerValue(v), 0, 999));
  } else if (keyword == "ZNAXIS1") {
    tc.ZNaxis1 = IntegerValue(v);
  } else if (keyword == "ZNAXIS2") {
    tc.ZNaxis2 = IntegerValue(v);
  } else if (keyword == "ZNAXIS3") {
    tc.ZNaxis3 = IntegerValue(v);
  } else if (keyword == "ZTILE1") {
    tc.ZTile1 = IntegerValue(v);
  } else if (keyword == "ZTILE2") {
    tc.ZTile2 = IntegerValue(v);
  } else if (keyword == "ZTILE3") {
    tc.ZTile3 = IntegerValue(v);
  } else if (keyword == "NAXIS1") {
    tc.TableRowBytes = IntegerValue(v);
  } else if (keyword == "NAXIS2") {
    tc.TableRows = IntegerValue(v);
  } else if (keyword == "PCOUNT") {
    tc.Pcount = IntegerValue(v);
  } else if (keyword == "THEAP") {
    tc.Theap = IntegerValue(v);
  } else if (keyword == "ZSCALE") {
    tc.ZScale = ParseReal(v);
  } else if (keyword == "ZZERO") {
    tc.ZZero = ParseReal(v);
  } else if (keyword == "ZBLANK") {
    tc.HasZBlank = true;
    tc.ZBlank = IntegerValue(v);
  } else if (keyword == "ZQUANTIZ") {
    tc.Quantize = v;
  } else if (keyword == "ZDITHER0") {
    tc.ZDither0 = IntegerValue(v);
  } else if (keyword == "TFIELDS") {
    tc.Fields = static_cast<int>(std::clamp<int64_t>(IntegerValue(v), 0, 999));
  } else if (int n = IndexAfter(keyword, "ZNAME", 8)) {
    tc.ParamName[n] = v;
    ResolveParams(tc);
  } else if (int m = IndexAfter(keyword, "ZVAL", 8)) {
    tc.ParamValue[m] = IntegerValue(v);
    tc.ParamValueSet[m] = true;
    ResolveParams(tc);
  } else if (int t = IndexAfter(keyword, "TTYPE", MaxTileColumns)) {
    const int column = t - 1;
    if (v == "COMPRESSED_DATA") tc.CompressedColumn = column;
    if (v == "GZIP_COMPRESSED_DATA") tc.GzipColumn = column;
    if (v == "UNCOMPRESSED_DATA") tc.UncompressedColumn = column;
    if (v == "ZSCALE") tc.ZScaleColumn = column;
    if (v == "ZZERO") tc.ZZeroColumn = column;
    if (v == "ZBLANK") tc.ZBlankColumn = column;
  } else if (int f = IndexAfter(keyword, "TFORM", MaxTileColumns)) {
    NoteColumnForm(tc, f - 1, v);
  }
}

ShortText<80> TileSupportProblem(const TileCompression& tc) {
  const std::string_view type = tc.Type.view();
  if (type != "RICE_1" && type != "RICE_ONE") return ShortText<80>(type.empty() ? "?" : type);
  if (tc.ZBitpix != 8 && tc.ZBitpix != 16 && tc.ZBitpix != 32 && tc.ZBitpix != -32 &&
      tc.ZBitpix != -64)
    return "ZBITPIX";
  if (tc.BytePix != 1 && tc.BytePix != 2 && tc.BytePix != 4) return "BYTEPIX";
  if (tc.BlockSize < 1) return "BLOCKSIZE";
  // Limits of the output image; they also keep every product below in range.
  if (tc.ZNaxis1 < 1 || tc.ZNaxis1 > MaxRowSamples) return "ZNAXIS1";
  if (tc.ZNaxis2 < 1 || tc.ZNaxis2 > 65535) return "ZNAXIS2";
  // Planes of a tile-compressed cube are not selected here: refuse rather than
  // hand over plane 1 whatever was asked.
  if (tc.ZNaxis >= 3 && tc.ZNaxis3 > 1) return "ZNAXIS3";
  if (tc.ZTile1 != tc.ZNaxis1) return "ZTILE1";
  if (tc.ZTile2 < 1 || tc.ZTile1 * std::min<int64_t>(tc.ZTile2, tc.ZNaxis2) > MaxTilePixels)
    return "ZTILE2";
  if (tc.CompressedColumn < 0) return "COMPRESSED_DATA";
  const char form = tc.ColumnType[tc.CompressedColumn];
  if (form != 'P' && form != 'Q') return "TFORM";
  if (tc.TableRowBytes < 1 || tc.TableRowBytes > (int64_t{1} << 30)) return "NAXIS1";
  if (tc.TableRows < 1 || tc.TableRows > 65535) return "NAXIS2";
  for (int column : {tc.CompressedColumn, tc.ZScaleColumn, tc.ZZeroColumn, tc.ZBlankColumn,
                     tc.GzipColumn, tc.UncompressedColumn})
    if (column >= 0 && tc.ColumnOffset[column] + tc.ColumnWidth[column] > MaxTableRowPrefix)
      return "TFORM";
  if (tc.ZBitpix < 0) {
    const std::string_view q = tc.Quantize.view();
    if (!q.empty() && q != "NO_DITHER" && q != "SUBTRACTIVE_DITHER_1" &&
        q != "SUBTRACTIVE_DITHER_2")
      return ShortText<80>(q);
  }
  return {};
}

bool DecodeRiceTile(std::span<const uint8_t> in, int blockSize, int bytePix,
                    std::span<int32_t> out) {
  int fsBits = 0, fsMax = 0, valueBits = 0;
  switch (bytePix) {
  case 1:
    fsBits = 3;
    fsMax = 6;
    valueBits = 8;
    break;
  case 2:
    fsBits = 4;
    fsMax = 14;
    valueBits = 16;
    break;
  case 4:
    fsBits = 5;
    fsMax = 25;
    valueBits = 32;
    break;
  default: std::fill(out.begin(), out.end(), 0); return false;
  }
  if (blockSize < 1) {
    std::fill(out.begin(), out.end(), 0);
    return false;
  }
  const uint32_t mask = valueBits == 32 ? 0xFFFFFFFFu : (1u << valueBits) - 1u;
  auto store = [bytePix](uint32_t v) -> int32_t {
    if (bytePix == 1) return static_cast<int32_t>(v & 0xFFu);
    if (bytePix == 2) return static_cast<int16_t>(static_cast<uint16_t>(v));
    return static_cast<int32_t>(v);
  };
  TileBits bits(in);
  uint32_t last = bits.Get(valueBits);
  const std::size_t n = out.size();
  std::size_t i = 0;
  bool ok = true;
  while (i < n && ok) {
    const int fs = static_cast<int>(bits.Get(fsBits)) - 1;
    const std::size_t end = std::min(n, i + static_cast<std::size_t>(blockSize));
    if (fs < 0) {
      // Every difference of the block is zero.
      for (; i < end; ++i) out[i] = store(last);
    } else if (fs == fsMax) {
      // Differences stored raw.
      for (; i < end; ++i) {
        const uint32_t mapped = bits.Get(valueBits);
        const uint32_t diff = (mapped & 1u) ? ~(mapped >> 1) : mapped >> 1;
        last = (last + diff) & mask;
        out[i] = store(last);
      }
    } else if (fs > fsMax) {
      ok = false;
    } else {
      for (; i < end; ++i) {
        const int64_t zeros = bits.Zeros();
        if (zeros < 0) {
          ok = false;
          break;
        }
        const uint32_t mapped =
            static_cast<uint32_t>(static_cast<uint64_t>(zeros) << fs) | bits.Get(fs);
        const uint32_t diff = (mapped & 1u) ? ~(mapped >> 1) : mapped >> 1;
        last = (last + diff) & mask;
        out[i] = store(last);
      }
    }
    if (bits.Overran()) ok = false;
  }
  if (!ok) std::fill(out.begin() + static_cast<std::ptrdiff_t>(std::min(i, n)), out.end(), 0);
  return ok;
}

TileImageReader::TileImageReader(const TileCompression& tc, int64_t dataOffset, int64_t fileSize)
    : tc_(tc), dataOffset_(dataOffset), fileSize_(fileSize) {
  const int64_t rows = std::clamp<int64_t>(tc.ZTile2, 1, std::max<int64_t>(tc.ZNaxis2, 1));
  const int64_t pixels = std::clamp<int64_t>(tc.ZTile1 * rows, 0, MaxTilePixels);
  pixels_.assign(static_cast<std::size_t>(pixels), 0);
  // Only the leading columns that hold the descriptor and the scaling are read.
  int64_t prefix = 0;
  for (int column : {tc.CompressedColumn, tc.ZScaleColumn, tc.ZZeroColumn, tc.ZBlankColumn,
                     tc.GzipColumn, tc.UncompressedColumn})
    if (column >= 0) prefix = std::max(prefix, tc.ColumnOffset[column] + tc.ColumnWidth[column]);
  prefix = std::min({prefix, tc.TableRowBytes, MaxTableRowPrefix});
  tableRow_.assign(static_cast<std::size_t>(std::max<int64_t>(prefix, 0)), 0);
  const std::string_view q = tc.Quantize.view();
  if (tc.ZBitpix < 0 && (q == "SUBTRACTIVE_DITHER_1" || q == "SUBTRACTIVE_DITHER_2")) {
    dither_ = q.back() == '1' ? 1 : 2;
    // The published sequence: a Park-Miller generator from seed 1.
    random_.resize(DitherValues);
    double seed = 1;
    for (double& r : random_) {
      const double t = 16807.0 * seed;
      seed = t - 2147483647.0 * std::floor(t / 2147483647.0);
      r = static_cast<float>(seed / 2147483647.0); // the sequence is single precision
    }
  }
}

void TileImageReader::StartDither() {
  // ZDITHER0 is any integer of the file: reduced first, the sum cannot overflow.
  const int64_t start =
      (loadedTile_ % DitherValues + tc_.ZDither0 % DitherValues - 1) % DitherValues;
  ditherSeed_ = static_cast<int>(start < 0 ? start + DitherValues : start);
  ditherNext_ = static_cast<int>(random_[static_cast<std::size_t>(ditherSeed_)] * 500);
  ditherRow_ = 0;
}

double TileImageReader::NextDither() {
  const double r = random_[static_cast<std::size_t>(ditherNext_)];
  if (++ditherNext_ == DitherValues) {
    if (++ditherSeed_ == DitherValues) ditherSeed_ = 0;
    ditherNext_ = static_cast<int>(random_[static_cast<std::size_t>(ditherSeed_)] * 500);
  }
  return r;
}

TileImageReader::RowStatus TileImageReader::LoadTile(InputFile& in, int64_t tile) {
  constexpr RowStatus Damaged = RowStatus::Damaged;
  loadedTile_ = tile;
  scale_ = tc_.ZScale;
  zero_ = tc_.ZZero;
  hasBlank_ = tc_.HasZBlank;
  blank_ = tc_.ZBlank;
  std::fill(pixels_.begin(), pixels_.end(), 0);
  std::fill(tableRow_.begin(), tableRow_.end(), uint8_t{0});
  if (tile < 0 || tile >= tc_.TableRows) return Damaged;
  // The table row: descriptor of the tile's bytes, and per-tile scaling.
  const int64_t rowAt = dataOffset_ + tile * tc_.TableRowBytes;
  if (!in.Seek(rowAt)) return Damaged;
  const std::size_t gotRow = in.Read(tableRow_.data(), tableRow_.size());
  const std::span<const uint8_t> row(tableRow_);
  scale_ = ReadColumnReal(tc_, row, tc_.ZScaleColumn, scale_);
  zero_ = ReadColumnReal(tc_, row, tc_.ZZeroColumn, zero_);
  if (tc_.ZBlankColumn >= 0) {
    // A blank stored as a real: only an integer in range can equal a pixel
    // (NaN or 1e300 would not convert to an integer at all).
    const double b = ReadColumnReal(tc_, row, tc_.ZBlankColumn, 0);
    hasBlank_ = b >= -9223372036854775808.0 && b < 9223372036854775808.0 && b == std::trunc(b);
    blank_ = hasBlank_ ? static_cast<int64_t>(b) : 0;
  }
  const int column = tc_.CompressedColumn;
  const bool wide = tc_.ColumnType[column] == 'Q';
  const int half = wide ? 8 : 4;
  const int64_t at = tc_.ColumnOffset[column];
  if (at < 0 || at + 2 * half > static_cast<int64_t>(row.size())) return Damaged;
  const int64_t count = ReadBigEndian(row.data() + at, half);
  const int64_t offset = ReadBigEndian(row.data() + at + half, half);
  if (gotRow < tableRow_.size()) return Damaged;
  if (count == 0) {
    // Tiles that did not compress well are stored gzipped or raw in another
    // column, which this program does not read.
    for (const int other : {tc_.GzipColumn, tc_.UncompressedColumn}) {
      if (other < 0 || other >= MaxTileColumns) continue;
      const int64_t otherAt = tc_.ColumnOffset[other];
      const int otherHalf = tc_.ColumnType[other] == 'Q' ? 8 : 4;
      if (otherAt + otherHalf <= static_cast<int64_t>(row.size()) &&
          ReadBigEndian(row.data() + otherAt, otherHalf) != 0)
        return RowStatus::Unsupported;
    }
    return Damaged;
  }
  if (count < 0 || offset < 0 || count > MaxTileBytes) return Damaged;
  // Offsets from the file are bounded by its size before any sum.
  const int64_t theap = tc_.Theap >= 0 ? tc_.Theap : tc_.TableRowBytes * tc_.TableRows;
  if (theap > fileSize_ || offset > fileSize_ || dataOffset_ > fileSize_) return Damaged;
  const int64_t start = dataOffset_ + theap + offset;
  if (start < 0 || start > fileSize_) return Damaged;
  // Missing tail bytes of a truncated file read as zeros.
  const int64_t have = std::min(count, fileSize_ - start);
  packed_.assign(static_cast<std::size_t>(have), 0);
  if (!in.Seek(start)) return Damaged;
  const std::size_t got = in.Read(packed_.data(), packed_.size());
  const int64_t firstRow = tile * tc_.ZTile2;
  const int64_t rows = std::min(tc_.ZTile2, tc_.ZNaxis2 - firstRow);
  if (rows < 1) return Damaged;
  const std::size_t pixels = static_cast<std::size_t>(
      std::min<int64_t>(rows * tc_.ZTile1, static_cast<int64_t>(pixels_.size())));
  const bool ok = DecodeRiceTile(std::span<const uint8_t>(packed_.data(), got), tc_.BlockSize,
                                 tc_.BytePix, std::span<int32_t>(pixels_.data(), pixels));
  return ok && static_cast<int64_t>(got) == count ? RowStatus::Ok : Damaged;
}

TileImageReader::RowStatus TileImageReader::ReadRow(InputFile& in, int64_t y,
                                                    std::span<double> out) {
  const int64_t tileRows = std::max<int64_t>(tc_.ZTile2, 1);
  const int64_t tile = y / tileRows;
  if (tile != loadedTile_) tileStatus_ = LoadTile(in, tile);
  const int64_t rowInTile = y - tile * tileRows;
  const std::size_t width = static_cast<std::size_t>(std::max<int64_t>(tc_.ZTile1, 0));
  const std::size_t first = static_cast<std::size_t>(rowInTile) * width;
  if (dither_) {
    // The sequence runs on pixel by pixel through the tile.
    if (tile != ditherTile_ || rowInTile < ditherRow_) {
      ditherTile_ = tile;
      StartDither();
    }
    for (; ditherRow_ < rowInTile; ++ditherRow_)
      for (std::size_t x = 0; x < width; ++x) NextDither();
    ++ditherRow_;
  }
  for (std::size_t x = 0; x < out.size(); ++x) {
    const std::size_t at = first + x;
    if (x >= width || at >= pixels_.size()) {
      out[x] = 0;
      continue;
    }
    const int32_t v = pixels_[at];
    const double offset = dither_ ? NextDither() : 0.5;
    if (hasBlank_ && v == blank_)
      out[x] = std::numeric_limits<double>::quiet_NaN();
    else if (dither_ == 2 && v == DitherZeroValue)
      out[x] = 0;
    else
      out[x] = (v - offset + 0.5) * scale_ + zero_;
    // The image held single-precision values: give exactly those.
    if (tc_.ZBitpix == -32) out[x] = static_cast<float>(out[x]);
  }
  return tileStatus_;
}

bool TileImageReader::IntegerPixels() const {
  return tc_.ZBitpix > 0 && tc_.ZScaleColumn < 0 && tc_.ZZeroColumn < 0 && tc_.ZBlankColumn < 0 &&
         !tc_.HasZBlank && tc_.ZScale == 1.0 && tc_.ZZero == 0.0;
}

TileImageReader::RowStatus TileImageReader::ReadIntegerRow(InputFile& in, int64_t y,
                                                           std::span<const int32_t>& row) {
  const int64_t tileRows = std::max<int64_t>(tc_.ZTile2, 1);
  const int64_t tile = y / tileRows;
  if (tile != loadedTile_) tileStatus_ = LoadTile(in, tile);
  const std::size_t width = static_cast<std::size_t>(std::max<int64_t>(tc_.ZTile1, 0));
  const std::size_t first = static_cast<std::size_t>(y - tile * tileRows) * width;
  row = first + width <= pixels_.size() ? std::span<const int32_t>(pixels_).subspan(first, width)
                                        : std::span<const int32_t>();
  return tileStatus_;
}

} // namespace korv
