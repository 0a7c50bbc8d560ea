// Logical arguments: raw arguments joined by double quotes, so that a name with
// blanks can be given as several words between quotes.
#include "driver/arguments.h"

#include "core/byte_reader.h"
#include "core/conversion.h"
#include "core/stop.h"

namespace korv {

std::string GetArgumentFull(const Conversion& cv, unsigned n) {
  std::string result;
  bool found = false;
  bool inQuotes = false;
  unsigned logical = 0;
  for (const std::string& raw : cv.RawArgs) {
    std::string_view s = raw;
    if (!inQuotes && !s.empty() && s.front() == '"') {
      inQuotes = true;
      s.remove_prefix(1);
    }
    if (!s.empty() && s.back() == '"') {
      s.remove_suffix(1);
      inQuotes = false;
    }
    if (logical == n) {
      if (found) result += ' ';
      result += s;
      found = true;
    }
    if (!inQuotes) ++logical;
    // Later raw arguments cannot belong to argument n any more.
    if (logical > n) break;
  }
  return result;
}

Text GetArgument(const Conversion& cv, unsigned n) { return Text(GetArgumentFull(cv, n)); }

uint16_t ArgumentCount(Conversion& cv) {
  if (cv.ArgCountKept == 0) {
    const std::size_t raw = cv.RawArgs.empty() ? 0 : cv.RawArgs.size() - 1;
    unsigned count = raw > 65535 ? 65535 : static_cast<unsigned>(raw);
    // Trailing empty logical arguments (and those absorbed by quotes) do not count.
    while (count > 0 && GetArgument(cv, count).empty()) --count;
    cv.ArgCountKept = static_cast<uint16_t>(count);
  }
  return cv.ArgCountKept;
}

bool OpenInput(Conversion& cv) {
  const Text path = NormalizePath(3, cv.State.InputFilePath.view());
  const bool ok = cv.Input.Open(path.str());
  cv.State.LastIoResult = ok ? 0 : 2;
  ResetByteReader(cv);
  // Missing, a directory or unreadable: every reader stops here with the reason.
  if (!ok) Stop(cv, "Lecture impossible : " + cv.State.InputFilePath.str());
  return ok;
}

} // namespace korv
