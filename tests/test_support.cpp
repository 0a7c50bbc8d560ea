#include "tests/test_support.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sys/wait.h>

namespace korv::test {

std::unique_ptr<Conversion> MakeConversion(const std::vector<std::string>& args,
                                           std::ostringstream& out) {
  auto cv = std::make_unique<Conversion>();
  cv->RawArgs = args;
  cv->Console = &out;
  return cv;
}

ScratchDir::ScratchDir() {
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    path_ = base / ("korv-test-" + std::to_string(rd()));
    if (std::filesystem::create_directory(path_)) break;
  }
  previous_ = std::filesystem::current_path();
  std::filesystem::current_path(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::current_path(previous_, ec);
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

CommandResult RunCommand(const std::string& command) {
  CommandResult r;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return r;
  std::array<char, 4096> buf{};
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) r.Output.append(buf.data(), n);
  const int st = ::pclose(pipe);
  r.Status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string ProgramPath() {
  const char* env = std::getenv("KORV_BINARY");
  return env ? env : KORV_BINARY;
}

std::filesystem::path CorpusDir() {
  std::filesystem::path p = KORV_CORPUS_DIR;
  return std::filesystem::exists(p) ? p : std::filesystem::path();
}

} // namespace korv::test
