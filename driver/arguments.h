// Logical command-line arguments (double quotes merge raw arguments) and paths.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/short_text.h"
#include "core/text.h" // NormalizePath

namespace korv {

struct Conversion;

uint16_t ArgumentCount(Conversion& cv);
Text GetArgument(const Conversion& cv, unsigned n);
// The same, not cut at 255 bytes (to tell a name that is too long).
std::string GetArgumentFull(const Conversion& cv, unsigned n);

// Opens the input file named by InputFilePath. When it cannot be opened (it does
// not exist, is a directory or cannot be read) the run stops with
// "Lecture impossible : name"; the result is then true whenever it returns.
bool OpenInput(Conversion& cv);

} // namespace korv
