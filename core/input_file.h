// The one input file of a run: a file on disk, or a memory block (tests, fuzzers).
// Reads past the end are short, never errors; nothing here aborts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <span>
#include <string>
#include <vector>

namespace korv {

class InputFile {
public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() { Close(); }

  // Opens a file for binary reading; false when it cannot be opened.
  bool Open(const std::string& path);
  // Serves the given bytes instead of a file (the next Open of any path reads them).
  void UseMemory(std::span<const uint8_t> data);
  bool IsOpen() const { return open_; }
  // Reads up to n bytes at the current position; returns the count obtained.
  std::size_t Read(void* buffer, std::size_t n);
  bool Seek(int64_t position);
  int64_t Tell() const { return position_; }
  int64_t Size() const { return size_; }
  // 0 on success; closing a file that is not open gives a non-zero result.
  int Close();
  // Modification time of the open file; false when unknown (memory input).
  bool ModificationTime(timespec& out) const;
  const std::string& Path() const { return path_; }

private:
  std::FILE* file_ = nullptr;
  bool open_ = false;
  bool memoryMode_ = false;
  std::vector<uint8_t> memory_;
  int64_t position_ = 0;
  int64_t size_ = 0;
  std::string path_;
};

} // namespace korv
