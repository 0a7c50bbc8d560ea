// Logical command-line arguments (double quotes merge raw arguments) and paths.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/short_text.h"

namespace korv {

struct Conversion;

uint16_t ArgumentCount(Conversion& cv);
Text GetArgument(const Conversion& cv, unsigned n);
// The same, not cut at 255 bytes (to tell a name that is too long).
std::string GetArgumentFull(const Conversion& cv, unsigned n);

// mode 0: stored form with '|' separators; mode 3: the form that opens a file on
// this system ('/' separators, letter case kept); modes 1, 2 as the classic forms.
Text NormalizePath(unsigned mode, std::string_view path);

// Opens the input file named by InputFilePath; false when it cannot be opened.
bool OpenInput(Conversion& cv);

} // namespace korv
