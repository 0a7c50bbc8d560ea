#include "core/truncation.h"

#include <string>

#include "core/conversion.h"
#include "core/stop.h"

namespace korv {

void NoteMissingData(Conversion& cv, uint64_t missing, uint64_t total, MissingUnit unit) {
  if (missing == 0) return;
  Truncation& t = cv.Truncated;
  // Mixed units cannot be added up: the unit first recorded holds (a row count
  // added to a sample count would be reported as rows).
  if (t.Missing != 0 && t.Unit != unit) return;
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

std::string TruncationMessage(const Truncation& t) {
  const bool one = t.Missing == 1;
  std::string line = "Fichier tronqu\u00e9 : " + std::to_string(t.Missing);
  if (t.Unit == MissingUnit::Rows)
    line += one ? " ligne" : " lignes";
  else
    line += one ? " \u00e9chantillon" : " \u00e9chantillons";
  line += " sur " + std::to_string(t.Total) + (one ? " manque" : " manquent");
  return line;
}

std::vector<std::string> TruncationCards(const Truncation& t) {
  constexpr std::string_view Lead = "COMMENT   ";
  constexpr std::size_t Room = 80 - Lead.size();
  const std::string text = "Input truncated: the last " + std::to_string(t.Missing) + " of " +
                           std::to_string(t.Total) +
                           (t.Unit == MissingUnit::Rows ? " rows" : " samples") +
                           " are missing and set to 0";
  std::vector<std::string> cards;
  std::string_view rest = text;
  while (!rest.empty()) {
    std::size_t cut = rest.size();
    if (cut > Room) {
      // Break at the last blank that fits; the counts are never that long.
      cut = rest.rfind(' ', Room);
      if (cut == std::string_view::npos || cut == 0) cut = Room;
    }
    cards.push_back(std::string(Lead) + std::string(rest.substr(0, cut)));
    rest.remove_prefix(cut);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  }
  return cards;
}

} // namespace korv
