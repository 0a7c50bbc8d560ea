// The FITS file being written. Creation is exclusive unless the user asked to
// overwrite; every write is checked; an unfinished file is removed by the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>

namespace korv {

struct Conversion;

class OutputFile {
public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Creates the file; with exclusive set an existing file is never touched.
  // Returns false (errno kept) when it cannot be created.
  bool Create(const std::string& path, bool exclusive);
  bool IsOpen() const { return fd_ >= 0; }
  // Each returns false on any failure (short write, full disk, size limit).
  bool Write(const void* data, std::size_t n);
  bool Seek(int64_t position);
  int64_t Size() const;
  bool SetModificationTime(const timespec& t);
  bool ModificationTime(timespec& t) const;
  bool Close();
  // Opens the closed file it created again, for reading and writing in place.
  bool Reopen();
  // Exactly n bytes at position, or false.
  bool ReadAt(int64_t position, void* data, std::size_t n) const;
  // Closes (if open) and deletes the file it created; used when a run stops.
  void Discard();
  const std::string& Path() const { return path_; }
  bool Created() const { return created_; }

private:
  int fd_ = -1;
  bool created_ = false;
  std::string path_;
};

// Output naming and closing (decide the name, print "Sor=", create the file;
// finally set the file time and close). Both stop the run on failure.
void OpenOutputFile(Conversion& cv, std::string_view extension);
void CloseOutputFile(Conversion& cv);

// Writes bytes to the output file at its current position; a failed write
// prints a message and stops the run (the incomplete file is then removed).
void WriteOutput(Conversion& cv, const void* data, std::size_t n);
void SeekOutput(Conversion& cv, int64_t position);

// Adds whole cards (80 bytes each) to the header of the completed output file,
// just before its END card, keeping the data and the file time. The header grows
// by a 2880-byte block when its padding has no room left. Stops the run on a
// failed read or write (the file, no longer complete, is then removed).
void AppendHeaderCards(Conversion& cv, std::span<const std::string> cards);

} // namespace korv
