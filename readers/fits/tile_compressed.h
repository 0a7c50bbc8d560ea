// Tile-compressed FITS images: a BINTABLE extension with ZIMAGE = T whose rows
// hold the compressed tiles (the convention of fpack and its peers).
#pragma once

#include <cstdint>
#include <string_view>

#include "core/short_text.h"

namespace korv {

struct Conversion;

// What the header of one BINTABLE HDU says about a tile-compressed image.
struct TileCompression {
  bool IsImage = false;       // ZIMAGE = T
  ShortText<20> Type;         // ZCMPTYPE, e.g. RICE_1
  int ZBitpix = 0;
  int ZNaxis = 0;
  int64_t ZNaxis1 = 0, ZNaxis2 = 0, ZNaxis3 = 1;
  int64_t ZTile1 = 0, ZTile2 = 1;
  int64_t TableRowBytes = 0;  // NAXIS1 of the table
  int64_t TableRows = 0;      // NAXIS2 of the table
  int64_t Pcount = 0;
  int64_t Theap = -1;         // -1: heap right after the table
  int BlockSize = 32;         // ZNAME/ZVAL BLOCKSIZE
  int BytePix = 4;            // ZNAME/ZVAL BYTEPIX
  double ZScale = 1.0, ZZero = 0.0;  // header constants (columns override)
  bool HasZBlank = false;
  int64_t ZBlank = 0;
  // Column layout, filled from TFIELDS/TTYPEn/TFORMn.
  int CompressedColumn = -1;  // 0-based index of COMPRESSED_DATA
  int ZScaleColumn = -1, ZZeroColumn = -1, ZBlankColumn = -1;
  int64_t ColumnOffset[8] = {}; // byte offset of each of the first columns in a row
  char ColumnType[8] = {};      // TFORM letter (P, Q, E, D, J, K...)
  int Fields = 0;
};

// Feeds one header card (keyword as stored, value text already split from its
// comment and trimmed) of the current HDU. Reset the struct for every HDU.
void NoteTileCard(TileCompression& tc, std::string_view keyword, std::string_view value);

} // namespace korv
