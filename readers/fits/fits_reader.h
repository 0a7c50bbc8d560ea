// FITS header walk: structure of every HDU, choice and layout of the wanted
// images, and the observation metadata of their headers.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/short_text.h"
#include "readers/fits/tile_compressed.h"

namespace korv {

struct Conversion;

// The value and comment of a card's value field. The comment is folded to upper
// case; a slash inside a quoted run does not start it.
struct CardValue {
  Text Value;
  Text Comment;
};
CardValue SplitCardValue(std::string_view field);

// The eight-character keyword a HIERARCH long keyword stands for (digits match
// any digits), or an empty text when it is not one we use.
ShortText<8> MapHierarchKeyword(std::string_view longKeyword);

// Everything before the data: options, both header passes, the mosaic layout,
// the final corrections and PrepareOutput. On return the input is positioned at
// the data of entry 1 and tiles[i] describes entry i when it is tile-compressed.
// variant: 0 .fit, 1 the program's own compressed files, 2 other FITS names.
void ReadFitsHeaders(Conversion& cv, uint16_t variant, std::span<TileCompression> tiles);

} // namespace korv
