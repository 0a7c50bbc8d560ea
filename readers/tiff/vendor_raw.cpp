#include "readers/tiff/vendor_raw.h"

#include <algorithm>

#include "core/conversion.h"
#include "core/stop.h"
#include "core/truncation.h"

namespace korv {

uint64_t CheckVendorData(TiffReader& t, uint64_t origin, uint64_t needed) {
  const int64_t size = t.file.FileSize();
  const uint64_t fileSize = size > 0 ? static_cast<uint64_t>(size) : 0;
  const uint64_t held = origin < fileSize ? std::min(needed, fileSize - origin) : 0;
  if (needed == 0 || held < (needed + 1) / 2)
    Stop(t.cv, "Pas de donn\u00e9es d'image dans le fichier");
  const uint64_t outBytes = 2 * uint64_t{t.ImageWidth} * t.ImageHeight;
  CheckMissingOutput(t.cv, (needed - held) * outBytes / needed);
  return held;
}

void NoteVendorShortfall(TiffReader& t, uint64_t held, uint64_t needed) {
  if (held >= needed || needed == 0) return;
  const uint64_t h = t.ImageHeight;
  const uint64_t missingRows = ((needed - held) * h + needed - 1) / needed;
  NoteMissingData(t.cv, std::min(missingRows, h), h, MissingUnit::Rows);
}

void RefuseCompression(TiffReader& t) {
  Stop(t.cv, "Compression pas support\u00e9e");
}

} // namespace korv
