// The run as a whole: the main routine and the one stop routine every fatal
// condition goes through.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace korv {

struct Conversion;

// Thrown by Finish only; caught only by Run. Not a std::exception on purpose,
// so that no generic handler can swallow a stop.
struct StopRun {};

// Ends the run: closes the input when asked, prints the author notice and
// unwinds to Run, which removes an unfinished output file and returns the
// exit status (1 unless the run was marked successful).
[[noreturn]] void Finish(Conversion& cv, bool closeInput);

// The main routine over a prepared conversion (RawArgs and Console set).
int RunConversion(Conversion& cv);

// The whole program: args[0] is the program path. Returns the exit status.
int Run(const std::vector<std::string>& args, std::ostream& console);

// Prints the five-line usage block.
void PrintUsage(Conversion& cv);

} // namespace korv
