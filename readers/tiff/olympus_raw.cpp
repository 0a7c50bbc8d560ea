// Olympus compressed raw data (ORF): the adaptive lossless code, decoded from
// 7 bytes after the strip offset.
#include "core/conversion.h"
#include "readers/tiff/olympus_decoder.h"
#include "readers/tiff/tiff_hooks.h"
#include "readers/tiff/vendor_raw.h"

namespace korv {

void ReadLosslessLoco(TiffReader& t) {
  Conversion& cv = t.cv;
  Say(cv, "jpeg-loco - exp\u00e9rimental");
  cv.State.EraseInput = 0;
  const uint64_t start = t.Base + t.StripOrigin + OlympusDataSkip;
  CheckDataPresent(t, start);
  // A sample takes 6 bits at least: 3 for its sign and low bits, the end of
  // its count of zeros, 2 low bits of its magnitude.
  CheckDataSize(t, BytesFrom(t, start), 6);
  cv.State.DetectorBits = 12;
  PrepareOutput(cv);
  OlympusDecoder dec;
  dec.Start(FileReads(t, start), BytesFrom(t, start), t.ImageWidth);
  DeliverDecodedRows(t, dec);
}

} // namespace korv
