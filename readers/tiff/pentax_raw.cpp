// Pentax compressed raw data (compression 65535). Its Huffman tables sit in
// maker-note tag 0x220, which the maker-note walk does not pass on yet, so the
// data cannot be decoded here: the file is refused rather than delivered as an
// image of undecoded bytes.

#include "readers/tiff/tiff_hooks.h"
#include "readers/tiff/vendor_raw.h"

namespace korv {

void ReadPentaxRaw(TiffReader& t) { RefuseCompression(t); }

} // namespace korv
