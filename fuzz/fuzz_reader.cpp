// libFuzzer target for one reader family, chosen by the file extension that
// the target's own small generated source defines (FuzzExtension): the fuzzer's bytes are served as the input file of a
// whole conversion run, with options picked by the last input byte. Stops are
// expected outcomes; crashes, sanitizer reports and hangs are bugs.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/conversion.h"
#include "driver/run.h"

// The input extension of this target; compiled once per target, while this
// file is compiled once for all of them.
extern const char* const FuzzExtension;

namespace {

// Option sets that steer the output stage through its different paths.
const std::vector<std::vector<std::string>> OptionSets = {
    {},
    {"Z2"},
    {"CPRP"},
    {"CPVA"},
    {"MXY", "S0"},
    {"TL", "Z3,1"},
    {"TS", "C1,1,1"},
    {"TB", "MRVVB", "M="},
    {"F10,2", "HD20240315.5,12.3045,30"},
    {"K12H3045,+45D3000,1000,0.009", "Y+FILTER=R"},
    // Geometry from the command line, for the readers that take it from there.
    {"I16"},
};

void EnterScratchDir() {
  static bool done = false;
  if (done) return;
  done = true;
  const auto dir = std::filesystem::temp_directory_path() /
                   ("korv-fuzz-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
}

void RemoveOutputs() {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(".", ec)) std::filesystem::remove(e.path(), ec);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  EnterScratchDir();
  auto cv = std::make_unique<korv::Conversion>();
  std::ostringstream console;
  cv->Console = &console;
  cv->Input.UseMemory(std::span<const uint8_t>(data, size));
  cv->RawArgs = {"korvalix", std::string("fuzz.") + FuzzExtension};
  const auto& options = OptionSets[size ? data[size - 1] % OptionSets.size() : 0];
  cv->RawArgs.insert(cv->RawArgs.end(), options.begin(), options.end());
  korv::RunConversion(*cv);
  cv.reset();
  RemoveOutputs();
  return 0;
}
