// One entry point per reader; Dispatch calls them by FormatCode.
#pragma once

#include <cstdint>

namespace korv {

struct Conversion;

void ReadPnm(Conversion& cv);
void ReadFitsFile(Conversion& cv, uint16_t variant);

} // namespace korv
