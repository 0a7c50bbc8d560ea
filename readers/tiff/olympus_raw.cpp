// Olympus compressed raw data (the adaptive lossless scheme of ORF files) is not
// decoded yet: such files are refused, never converted to an empty image.

#include "readers/tiff/tiff_hooks.h"
#include "readers/tiff/vendor_raw.h"

namespace korv {

void ReadLosslessLoco(TiffReader& t) { RefuseCompression(t); }

} // namespace korv
