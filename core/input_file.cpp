#include "core/input_file.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace korv {

bool InputFile::Open(const std::string& path) {
  Close();
  path_ = path;
  position_ = 0;
  if (memoryMode_) {
    size_ = static_cast<int64_t>(memory_.size());
    open_ = true;
    return true;
  }
  // A directory opens with fopen on Linux but cannot be read: refuse it here.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) return false;
  size_ = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
  open_ = true;
  return true;
}

void InputFile::UseMemory(std::span<const uint8_t> data) {
  memory_.assign(data.begin(), data.end());
  memoryMode_ = true;
}

std::size_t InputFile::Read(void* buffer, std::size_t n) {
  if (!open_ || n == 0) return 0;
  if (memoryMode_) {
    if (position_ >= size_) return 0;
    const std::size_t got = std::min<std::size_t>(n, static_cast<std::size_t>(size_ - position_));
    std::memcpy(buffer, memory_.data() + position_, got);
    position_ += static_cast<int64_t>(got);
    return got;
  }
  const std::size_t got = std::fread(buffer, 1, n, file_);
  position_ += static_cast<int64_t>(got);
  return got;
}

bool InputFile::Seek(int64_t position) {
  if (!open_ || position < 0) return false;
  if (memoryMode_) {
    position_ = position;
    return true;
  }
  if (fseeko(file_, static_cast<off_t>(position), SEEK_SET) != 0) return false;
  position_ = position;
  return true;
}

int InputFile::Close() {
  if (!open_) return 1;
  open_ = false;
  int rc = 0;
  if (file_) rc = std::fclose(file_) == 0 ? 0 : 1;
  file_ = nullptr;
  return rc;
}

bool InputFile::ModificationTime(timespec& out) const {
  if (!open_ || memoryMode_ || !file_) return false;
  struct stat st {};
  if (::fstat(fileno(file_), &st) != 0) return false;
  out = st.st_mtim;
  return true;
}

} // namespace korv
