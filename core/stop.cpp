// The stop routine and the author notice that ends every run.
#include "core/stop.h"

#include "core/conversion.h"

namespace korv {

namespace {

constexpr std::string_view AuthorNotice[] = {
    "KORVALIX, convertisseur d'images vers FITS.",
    "Logiciel libre sous licence MIT, voir README.md.",
};

} // namespace

void Finish(Conversion& cv, bool closeInput) {
  // Closing a file that is not open only leaves a non-zero result.
  if (closeInput) cv.State.LastIoResult = cv.Input.Close();
  for (std::string_view line : AuthorNotice) Say(cv, line);
  throw StopRun{};
}

void Stop(Conversion& cv, std::string_view message) {
  Say(cv, message);
  Finish(cv, true);
}

} // namespace korv
