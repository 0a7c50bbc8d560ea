// The options stage: every reader calls ReadOptions at its start.
#pragma once

#include <cstdint>

namespace korv {

struct Conversion;

void ReadOptions(Conversion& cv);
void CfaSetup(Conversion& cv);
// Option F. Returns bit 0 offset given, bit 1 scale given (or forced), bit 2 mode given.
uint8_t ReadValueTransform(Conversion& cv);

} // namespace korv
