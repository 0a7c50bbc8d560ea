// libFuzzer target for the options stage: the input is split at NUL bytes into
// command-line arguments, which the options stage parses.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "core/conversion.h"
#include "core/stop.h"
#include "driver/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  auto cv = std::make_unique<korv::Conversion>();
  std::ostringstream console;
  cv->Console = &console;
  cv->RawArgs = {"korvalix"};
  std::string arg;
  for (std::size_t i = 0; i < size && cv->RawArgs.size() < 64; ++i) {
    if (data[i] == 0) {
      cv->RawArgs.push_back(arg);
      arg.clear();
    } else {
      arg.push_back(static_cast<char>(data[i]));
    }
  }
  cv->RawArgs.push_back(arg);
  // A command line the stage refuses stops the run: fine, not a fault.
  try {
    korv::ReadOptions(*cv);
  } catch (const korv::StopRun&) {
    return 0;
  }
  korv::ReadValueTransform(*cv);
  korv::CfaSetup(*cv);
  return 0;
}
