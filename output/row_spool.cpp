// Temporary row store of the output stage.
#include "output/row_spool.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace korv {

namespace {

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

} // namespace

RowSpool::~RowSpool() { Reset(); }

void RowSpool::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  width_ = 0;
  written_.fill(0);
  ClearGathered();
}

std::span<uint8_t> RowSpool::Gather(int64_t at, std::size_t n, bool downward) {
  if (n == 0 || n > GatherCapacity) return {};
  if (gather_.empty()) gather_.resize(GatherCapacity);
  const auto size = static_cast<int64_t>(n);
  const auto capacity = static_cast<int64_t>(GatherCapacity);
  if (low_ == high_) {
    base_ = downward ? at + size - capacity : at;
    low_ = at;
    high_ = at + size;
  } else if (!downward && at == high_ && at + size <= base_ + capacity) {
    high_ = at + size;
  } else if (downward && at + size == low_ && at >= base_) {
    low_ = at;
  } else {
    return {};
  }
  return {gather_.data() + (at - base_), n};
}

std::span<const uint8_t> RowSpool::Gathered() const {
  if (low_ == high_) return {};
  return {gather_.data() + (low_ - base_), static_cast<std::size_t>(high_ - low_)};
}

bool RowSpool::Open(const std::string& outputPath, uint16_t width) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  width_ = width;
  const std::string directory = DirectoryOf(outputPath);
#ifdef O_TMPFILE
  fd_ = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ >= 0) return true;
#endif
  // File systems without unnamed files: a named one, removed at once.
  std::string name = directory + "/.korvalix-rows-XXXXXX";
  fd_ = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd_ < 0) return false;
  ::unlink(name.c_str());
  return true;
}

bool RowSpool::Put(uint16_t slot, std::span<const uint16_t> row) {
  if (fd_ < 0 || row.size() < width_) return false;
  const std::size_t bytes = std::size_t{width_} * 2;
  const auto* p = reinterpret_cast<const char*>(row.data());
  off_t at = static_cast<off_t>(slot) * static_cast<off_t>(bytes);
  std::size_t left = bytes;
  while (left > 0) {
    const ssize_t w = ::pwrite(fd_, p, left, at);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    at += w;
    left -= static_cast<std::size_t>(w);
  }
  return true;
}

bool RowSpool::Get(uint16_t slot, std::span<uint16_t> row) {
  if (fd_ < 0 || row.size() < width_) return false;
  const std::size_t bytes = std::size_t{width_} * 2;
  auto* p = reinterpret_cast<char*>(row.data());
  off_t at = static_cast<off_t>(slot) * static_cast<off_t>(bytes);
  std::size_t left = bytes;
  while (left > 0) {
    const ssize_t r = ::pread(fd_, p, left, at);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) {
      // Past the end of the file: rows never stored are zero.
      std::memset(p, 0, left);
      break;
    }
    p += r;
    at += r;
    left -= static_cast<std::size_t>(r);
  }
  return true;
}

} // namespace korv
