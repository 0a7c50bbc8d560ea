#include "core/conversion.h"

namespace korv {

void Say(Conversion& cv, std::string_view line) {
  if (!cv.Console) return;
  cv.Console->write(line.data(), static_cast<std::streamsize>(line.size()));
  cv.Console->put('\n');
}

} // namespace korv
