#include "readers/tiff/vendor_raw.h"

#include <algorithm>

#include "core/conversion.h"
#include "core/stop.h"
#include "core/truncation.h"

namespace korv {

BlockReadAt FileReads(TiffReader& t, uint64_t start) {
  return [&t, start](uint64_t off, std::span<uint8_t> out) -> std::size_t {
    return t.file.ReadAt(start + off, out);
  };
}

uint64_t BytesFrom(const TiffReader& t, uint64_t start) {
  const int64_t size = t.file.FileSize();
  const uint64_t fileSize = size > 0 ? static_cast<uint64_t>(size) : 0;
  return start < fileSize ? fileSize - start : 0;
}

void CheckDataPresent(TiffReader& t, uint64_t start) {
  if (BytesFrom(t, start) == 0) Stop(t.cv, "Pas de donn\u00e9es d'image dans le fichier");
}

void CheckDataSize(TiffReader& t, uint64_t bytes, unsigned minBits) {
  CheckCodedSamples(t, bytes * 8 / (minBits > 0 ? minBits : 1),
                    uint64_t{t.ImageWidth} * t.ImageHeight);
}

void CheckCodedSamples(TiffReader& t, uint64_t held, uint64_t samples) {
  // Even at the shortest code, less than half of the image: its data were
  // stripped (metadata samples), not cut short.
  if (held < samples / 2) Stop(t.cv, "Pas de donn\u00e9es d'image dans le fichier");
  if (held < samples) CheckMissingOutput(t.cv, (samples - held) * 2);
}

bool FinishIsIdentity(const TiffReader& t) {
  const ImageState& st = t.cv.State;
  if (t.GammaOn) return false;
  if (!st.IsCfa) return st.LevelFactor == 1.0f;
  for (float f : st.CfaFactor)
    if (f != 1.0f) return false;
  return true;
}

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
