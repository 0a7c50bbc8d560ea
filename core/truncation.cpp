#include "core/truncation.h"

#include <string>

#include "core/conversion.h"
#include "core/stop.h"

namespace korv {

void NoteMissingData(Conversion& cv, uint64_t missing, uint64_t total, MissingUnit unit) {
  if (missing == 0) return;
  Truncation& t = cv.Truncated;
  if (t.Missing != 0 && t.Unit != unit) {
    // Mixed units: samples are the finer count.
    if (t.Unit == MissingUnit::Rows) return;
  }
  t.Unit = unit;
  t.Missing += missing;
  t.Total = total;
  if (t.Missing > t.Total) t.Missing = t.Total;
}

void CheckMissingOutput(Conversion& cv, uint64_t missingBytes) {
  if (missingBytes <= MaxMissingOutputBytes) return;
  Stop(cv, "Fichier tronqu\u00e9 : " + std::to_string(missingBytes >> 20) +
               " Mo de l'image manquent");
}

} // namespace korv
