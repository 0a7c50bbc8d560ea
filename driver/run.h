// The run as a whole: the main routine and the one stop routine every fatal
// condition goes through.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "core/stop.h"

namespace korv {

struct Conversion;

// The main routine over a prepared conversion (RawArgs and Console set).
int RunConversion(Conversion& cv);

// The whole program: args[0] is the program path. Returns the exit status.
int Run(const std::vector<std::string>& args, std::ostream& console);

// Prints the five-line usage block.
void PrintUsage(Conversion& cv);

} // namespace korv
