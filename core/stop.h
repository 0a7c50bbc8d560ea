// The one way a run stops: every fatal condition of every reader goes through
// Finish (or Stop, which prints the reason first).
#pragma once

#include <string_view>

namespace korv {

struct Conversion;

// Thrown by Finish only; caught only by the main routine. Not a std::exception
// on purpose, so that no generic handler can swallow a stop.
struct StopRun {};

// Ends the run: closes the input when asked, prints the author notice and
// unwinds to the main routine, which removes an unfinished output file and
// returns the exit status (1 unless the run was marked successful).
[[noreturn]] void Finish(Conversion& cv, bool closeInput);

// Prints the reason of a failure as one console line, then stops the run.
[[noreturn]] void Stop(Conversion& cv, std::string_view message);

} // namespace korv
