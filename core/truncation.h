// Inputs that end before the data their header declares. Readers zero-fill what
// the file does not hold and say how much that was; the run then reports it
// ("Fichier tronqué : "), marks the header and exits with status 3.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korv {

struct Conversion;
struct Truncation;

enum class MissingUnit : uint8_t { Rows, Samples };

// Zero-filled output beyond which a truncated input is refused: a few bytes
// must not fill a disk.
constexpr uint64_t MaxMissingOutputBytes = uint64_t{64} << 20;

// Records that `missing` of `total` rows (or samples) of the declared data were
// not in the file. Calls add up within one unit; the last total given holds.
void NoteMissingData(Conversion& cv, uint64_t missing, uint64_t total,
                     MissingUnit unit = MissingUnit::Rows);

// Stops the run ("Fichier tronqué : ...") when `missingBytes` of output would come
// from data the input does not hold and that exceeds MaxMissingOutputBytes.
void CheckMissingOutput(Conversion& cv, uint64_t missingBytes);

// The console line of a run whose input was truncated ("Fichier tronqu\u00e9 : ...").
std::string TruncationMessage(const Truncation& t);
// The COMMENT card(s) saying so in the output header: one card, or two when the
// counts are too long for one.
std::vector<std::string> TruncationCards(const Truncation& t);

} // namespace korv
