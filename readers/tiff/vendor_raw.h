// Checks shared by the vendor raw unpackers of the TIFF family: how much of the
// data an image needs the file holds, and the record of what it lacks.
#pragma once

#include <cstdint>

#include "readers/tiff/tiff_container.h"

namespace korv {

// Bytes of the `needed` data at absolute `origin` that the file holds. Stops
// the run ("Pas de donn\u00e9es d'image dans le fichier") when it holds less
// than half of them: files whose raw data were stripped, or whose offsets point
// into their header, are refused instead of read as an image. Also refuses a
// shortfall whose zero-filled output would pass the missing-data bound.
uint64_t CheckVendorData(TiffReader& t, uint64_t origin, uint64_t needed);

// After the rows: records the rows that came from data the file lacks.
void NoteVendorShortfall(TiffReader& t, uint64_t held, uint64_t needed);

// Refusal of a compression this reader does not decode.
[[noreturn]] void RefuseCompression(TiffReader& t);

} // namespace korv
