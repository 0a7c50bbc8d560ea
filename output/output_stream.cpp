// Checked low-level writes of the output file.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/conversion.h"
#include "core/stop.h"
#include "output/output_file.h"

namespace korv {

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool OutputFile::Create(const std::string& path, bool exclusive) {
  if (fd_ >= 0) return false;
  const int flags = O_RDWR | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
  fd_ = ::open(path.c_str(), flags, 0666);
  if (fd_ < 0) return false;
  created_ = true;
  path_ = path;
  return true;
}

bool OutputFile::Write(const void* data, std::size_t n) {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(fd_, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool OutputFile::Seek(int64_t position) {
  return fd_ >= 0 && ::lseek(fd_, static_cast<off_t>(position), SEEK_SET) == position;
}

int64_t OutputFile::Size() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool OutputFile::SetModificationTime(const timespec& t) {
  const timespec times[2] = {t, t};
  return fd_ >= 0 && ::futimens(fd_, times) == 0;
}

bool OutputFile::ModificationTime(timespec& t) const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
  t = st.st_mtim;
  return true;
}

bool OutputFile::Reopen() {
  if (fd_ >= 0 || !created_) return false;
  fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  return fd_ >= 0;
}

bool OutputFile::ReadAt(int64_t position, void* data, std::size_t n) const {
  auto* p = static_cast<char*>(data);
  while (n > 0) {
    const ssize_t r = ::pread(fd_, p, n, static_cast<off_t>(position));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
    position += r;
  }
  return true;
}

bool OutputFile::Close() {
  if (fd_ < 0) return false;
  const int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0;
}

void OutputFile::Discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (created_) ::unlink(path_.c_str());
  created_ = false;
}

void WriteOutput(Conversion& cv, const void* data, std::size_t n) {
  if (cv.Output.Write(data, n)) return;
  Say(cv, std::string("Erreur d'\u00e9criture : ") + std::strerror(errno));
  Finish(cv, true);
}

void SeekOutput(Conversion& cv, int64_t position) {
  if (cv.Output.Seek(position)) return;
  Say(cv, std::string("Erreur d'\u00e9criture : ") + std::strerror(errno));
  Finish(cv, true);
}

} // namespace korv
