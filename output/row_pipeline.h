// The only interface from readers to the output.
#pragma once

#include <cstdint>

namespace korv {

struct Conversion;

void PrepareOutput(Conversion& cv);
// row: index of the input row now in RowBuffer, 0 being the top row of the picture.
void WriteOutputRow(Conversion& cv, uint16_t row);

} // namespace korv
