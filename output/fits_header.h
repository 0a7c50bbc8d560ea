// FITS primary header composition.
#pragma once

#include <string_view>

namespace korv {

struct Conversion;

enum class RowEncoding { Plain, PrevPixel, ProfVar };

// Writes every card and the header padding; HeaderBytes holds its length after.
void WriteHeader(Conversion& cv, RowEncoding encoding);
// Applies the user edits and writes one 80-byte card.
void WriteCard(Conversion& cv, std::string_view card);

// TT - UT in seconds at Julian date jd.
double DeltaT(double jd);

} // namespace korv
