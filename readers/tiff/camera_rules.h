// Per-camera rules of the TIFF-family reader: models whose raw image sits in
// another directory, whose bit depth, colour-filter pattern, compression or
// unpack mode the file does not state, and the maker refinements of the mode.
#pragma once

#include "readers/tiff/tiff_container.h"

namespace korv {

// When the model tag is read and no image number was given: the models whose
// raw image is directory 2 (NIKON D1, D1X, D1H, D100) or 1 (LS-5000).
void ApplyModelImageRule(TiffReader& t);

// Right after the metadata directories: Leica (monochrome sensors, files whose
// geometry only the first strip gives) and the Kodak DC120.
void ApplyDirectoryRules(TiffReader& t);

} // namespace korv
