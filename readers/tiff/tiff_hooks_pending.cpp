// Interim definitions of the hooks of tiff_hooks.h. Each is replaced, and its
// definition here deleted, when the decoder or interpreter it stands for is in.
// Until then a file that needs one stops with a clear message before any
// output; files that do not need them convert as they will then.

#include <string>
#include <string_view>

#include "core/conversion.h"
#include "core/stop.h"
#include "readers/tiff/tiff_hooks.h"

namespace korv {
namespace {

constexpr std::string_view NotYet = "D\u00e9codage pas encore disponible : ";
} // namespace

void ReadPanasonicRaw(TiffReader& t) { Stop(t.cv, std::string(NotYet) + "Panasonic"); }
void ReadPentaxRaw(TiffReader& t) { Stop(t.cv, std::string(NotYet) + "Pentax"); }
void ReadKodakDc120(TiffReader& t) { Stop(t.cv, std::string(NotYet) + "Kodak DC120"); }
void ReadLosslessLoco(TiffReader& t) { Stop(t.cv, std::string(NotYet) + "Olympus"); }

} // namespace korv
