// Data of the selected FITS images, decoded row by row into the output.
#pragma once

#include <span>

#include "readers/fits/tile_compressed.h"

namespace korv {

struct Conversion;

// Called once the headers are read, PrepareOutput has run and the input is
// positioned at the data of entry 1. tiles[i] describes entry i when that HDU is
// a tile-compressed image (CompressionCode 5), and is ignored otherwise.
void ReadFitsData(Conversion& cv, std::span<const TileCompression> tiles);

} // namespace korv
