// Tile-compressed FITS images: a BINTABLE extension with ZIMAGE = T whose rows
// hold the compressed tiles (the convention of fpack and its peers).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/short_text.h"

namespace korv {

struct Conversion;
class InputFile;

constexpr int MaxTileColumns = 16;

// What the header of one BINTABLE HDU says about a tile-compressed image.
struct TileCompression {
  bool IsImage = false; // ZIMAGE = T
  ShortText<20> Type;   // ZCMPTYPE, e.g. RICE_1
  int ZBitpix = 0;
  int ZNaxis = 0;
  int64_t ZNaxis1 = 0, ZNaxis2 = 0, ZNaxis3 = 1;
  int64_t ZTile1 = 0, ZTile2 = 1, ZTile3 = 1;
  int64_t TableRowBytes = 0; // NAXIS1 of the table
  int64_t TableRows = 0;     // NAXIS2 of the table
  int64_t Pcount = 0;
  int64_t Theap = -1;               // -1: heap right after the table
  int BlockSize = 32;               // ZNAME/ZVAL BLOCKSIZE
  int BytePix = 4;                  // ZNAME/ZVAL BYTEPIX
  double ZScale = 1.0, ZZero = 0.0; // header constants (columns override)
  bool HasZBlank = false;
  int64_t ZBlank = 0;
  ShortText<20> Quantize; // ZQUANTIZ, e.g. NO_DITHER, SUBTRACTIVE_DITHER_1
  int64_t ZDither0 = 0;
  // Column layout, filled from TFIELDS/TTYPEn/TFORMn.
  int CompressedColumn = -1; // 0-based index of COMPRESSED_DATA
  int ZScaleColumn = -1, ZZeroColumn = -1, ZBlankColumn = -1;
  int GzipColumn = -1, UncompressedColumn = -1;
  int64_t ColumnOffset[MaxTileColumns] = {}; // byte offset of each column in a row
  int64_t ColumnWidth[MaxTileColumns] = {};  // bytes of each column in a row
  char ColumnType[MaxTileColumns] = {};      // TFORM letter (P, Q, E, D, J, K...)
  char ElementType[MaxTileColumns] = {};     // element letter of a P or Q descriptor
  int Fields = 0;
  // ZNAMEn / ZVALn pairs as read (n = 1..8), resolved into BlockSize and BytePix.
  ShortText<20> ParamName[9];
  int64_t ParamValue[9] = {};
  bool ParamValueSet[9] = {};
};

// Feeds one header card (keyword as stored, value text already split from its
// comment and trimmed) of the current HDU. Reset the struct for every HDU.
void NoteTileCard(TileCompression& tc, std::string_view keyword, std::string_view value);

// Empty when this program decodes the image; otherwise the reason, for the
// console ("RICE_1" tiles of integer pixels, or of quantised floating-point
// pixels without dithering, in tiles of whole rows).
ShortText<80> TileSupportProblem(const TileCompression& tc);

// Decodes one tile compressed with the RICE_1 algorithm: the first pixel raw
// in bytePix bytes, then per block of blockSize pixels a code selecting
// all-equal, raw or Rice-coded zig-zag differences. Pixels are unsigned for
// bytePix 1 and signed otherwise. Returns false (the rest of out zeroed) when
// the stream is malformed or too short.
bool DecodeRiceTile(std::span<const uint8_t> in, int blockSize, int bytePix,
                    std::span<int32_t> out);

// Reads the rows of one tile-compressed image in storage order, decoding a tile
// of rows at a time into a buffer sized once from the tile shape.
class TileImageReader {
public:
  // dataOffset: start of the table; fileSize bounds every heap read.
  TileImageReader(const TileCompression& tc, int64_t dataOffset, int64_t fileSize);
  enum class RowStatus {
    Ok,
    Damaged,     // malformed tile or bytes missing from the file: zeros stand in
    Unsupported, // the tile was stored with another algorithm (gzip or raw)
  };

  // Row y (0 = first stored row) as physical tile values: the decoded integer
  // times ZSCALE plus ZZERO; null pixels (ZBLANK) are NaN. out holds the row.
  RowStatus ReadRow(InputFile& in, int64_t y, std::span<double> out);

  // True when the tile values are the decoded integers themselves: integer
  // pixels without ZSCALE, ZZERO or null value. ReadIntegerRow then gives row y
  // without any conversion (valid until the next call).
  bool IntegerPixels() const;
  RowStatus ReadIntegerRow(InputFile& in, int64_t y, std::span<const int32_t>& row);

private:
  RowStatus LoadTile(InputFile& in, int64_t tile);
  // Subtractive dithering: the quantised floats had a pseudo-random offset in
  // [0, 1) subtracted before rounding, taken from a fixed sequence that starts
  // at a place chosen by the tile number and ZDITHER0.
  void StartDither();
  double NextDither();

  const TileCompression& tc_;
  int64_t dataOffset_;
  int64_t fileSize_;
  int64_t loadedTile_ = -1;
  RowStatus tileStatus_ = RowStatus::Ok;
  int dither_ = 0; // 0 none, 1 or 2 for SUBTRACTIVE_DITHER_1 or _2
  std::vector<double> random_;
  int64_t ditherTile_ = -1; // tile the sequence was started for
  int64_t ditherRow_ = 0;   // row of that tile the sequence has reached
  int ditherSeed_ = 0, ditherNext_ = 0;
  double scale_ = 1.0, zero_ = 0.0;
  bool hasBlank_ = false;
  int64_t blank_ = 0;
  std::vector<int32_t> pixels_;
  std::vector<uint8_t> packed_;
  std::vector<uint8_t> tableRow_;
};

} // namespace korv
