// Shared helpers of the tests: a fresh conversion, a scratch directory, files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/conversion.h"

namespace korv::test {

// A heap-allocated conversion whose console goes to `out`, with the given
// arguments (args[0] is the program path).
std::unique_ptr<Conversion> MakeConversion(const std::vector<std::string>& args,
                                           std::ostringstream& out);

// A fresh empty directory under the system temporary directory; the current
// directory is switched into it for the lifetime of the object.
class ScratchDir {
public:
  ScratchDir();
  ~ScratchDir();
  const std::filesystem::path& Path() const { return path_; }

private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
};

void WriteFile(const std::filesystem::path& p, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& p);

struct CommandResult {
  int Status = -1;
  std::string Output;
};
// Runs a shell command and captures its standard output.
CommandResult RunCommand(const std::string& command);
// The built program, for end-to-end tests.
std::string ProgramPath();
// The shared corpus folder; empty when absent (tests then skip, or fail under CI).
std::filesystem::path CorpusDir();

} // namespace korv::test
