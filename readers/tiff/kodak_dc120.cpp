// Kodak DC120 raw data: 848 bytes per row, each row rotated by an amount that
// depends on the row number.

#include <array>
#include <vector>

#include "core/conversion.h"
#include "core/stop.h"
#include "output/row_pipeline.h"
#include "readers/tiff/kodak_dc120.h"
#include "readers/tiff/tiff_hooks.h"
#include "readers/tiff/vendor_raw.h"

namespace korv {

unsigned Dc120RowShift(uint32_t row) {
  static constexpr std::array<uint32_t, 4> Multiplier{162, 192, 187, 92};
  static constexpr std::array<uint32_t, 4> Addend{0, 636, 424, 212};
  return static_cast<unsigned>((uint64_t{row} * Multiplier[row & 3] + Addend[row & 3]) %
                               Dc120RowBytes);
}

void UnrotateDc120Row(std::span<const uint8_t> stored, uint32_t row, std::span<uint16_t> out) {
  const unsigned shift = Dc120RowShift(row);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = stored[(i + shift) % Dc120RowBytes];
}

void ReadKodakDc120(TiffReader& t) {
  Conversion& cv = t.cv;
  if (t.ImageWidth != Dc120RowBytes) Stop(cv, "Taille d'image incorrecte pour la DC120");
  const uint64_t origin = t.Base + t.StripOrigin;
  const uint64_t needed = uint64_t{Dc120RowBytes} * t.ImageHeight;
  const uint64_t held = CheckVendorData(t, origin, needed);
  PrepareOutput(cv);
  std::vector<uint8_t> stored(Dc120RowBytes);
  std::span<uint16_t> row = cv.Row();
  for (uint32_t r = 0; r < t.ImageHeight; ++r) {
    t.file.ReadAt(origin + uint64_t{r} * Dc120RowBytes, stored);
    UnrotateDc120Row(stored, r, row);
    for (uint32_t x = 0; x < t.ImageWidth; ++x) row[x] = FinishSample(t, row[x], x, r);
    WriteOutputRow(cv, static_cast<uint16_t>(r));
  }
  NoteVendorShortfall(t, held, needed);
}

} // namespace korv
