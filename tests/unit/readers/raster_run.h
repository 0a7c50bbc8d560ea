// Whole runs of a reader on a file written by the test, and the primary image of
// the FITS output read back as values (file order: bottom row first).
#pragma once

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "driver/run.h"
#include "tests/test_support.h"

// Own namespace: other reader tests define helpers of the same names.
namespace korv::test::misc_raster {

struct RasterRun {
  int Status = -1;
  std::string Console;
  Truncation Truncated; // what the reader recorded as missing
  bool Has(const std::string& line) const { return Console.find(line + "\n") != std::string::npos; }
};

// Writes `bytes` to `name` in the current directory and converts it.
inline RasterRun ConvertFile(const std::string& name, const std::string& bytes,
                             const std::vector<std::string>& options = {}) {
  WriteFile(name, bytes);
  std::vector<std::string> args = {"korvalix", name};
  args.insert(args.end(), options.begin(), options.end());
  std::ostringstream out;
  auto cv = MakeConversion(args, out);
  RasterRun r;
  r.Status = RunConversion(*cv);
  r.Console = out.str();
  r.Truncated = cv->Truncated;
  return r;
}

struct FitsImage {
  bool Valid = false;
  long Bitpix = 0;
  long Width = 0;
  long Height = 0;
  std::vector<int64_t> Values; // bottom row first
  // Sample at input row y (0 = top row) and column x.
  int64_t Top(long y, long x) const { return Values.at((Height - 1 - y) * Width + x); }
  // Input row y, top row first.
  std::vector<int64_t> Row(long y) const {
    const auto start = Values.begin() + (Height - 1 - y) * Width;
    return {start, start + Width};
  }
  // All rows, top row first.
  std::vector<int64_t> TopDown() const {
    std::vector<int64_t> v;
    for (long y = 0; y < Height; ++y) {
      const auto r = Row(y);
      v.insert(v.end(), r.begin(), r.end());
    }
    return v;
  }
};

inline FitsImage ReadFitsImage(const std::string& path) {
  FitsImage img;
  if (!std::filesystem::exists(path)) return img;
  const std::string f = ReadFile(path);
  double bzero = 0;
  std::size_t pos = 0;
  bool end = false;
  for (; pos + 80 <= f.size() && !end; pos += 80) {
    const std::string key = f.substr(pos, 8);
    const std::string value = f.substr(pos + 10, 20);
    if (key == "END     ") end = true;
    if (key == "BITPIX  ") img.Bitpix = std::stol(value);
    if (key == "NAXIS1  ") img.Width = std::stol(value);
    if (key == "NAXIS2  ") img.Height = std::stol(value);
    if (key == "BZERO   ") bzero = std::stod(value);
  }
  if (!end) return img;
  const std::size_t data = (pos + 2879) / 2880 * 2880;
  const std::size_t bytes = img.Bitpix == 8 ? 1 : img.Bitpix == 16 ? 2 : 0;
  const auto count = static_cast<std::size_t>(img.Width * img.Height);
  if (bytes == 0 || data + count * bytes > f.size()) return img;
  for (std::size_t i = 0; i < count; ++i) {
    const auto* p = reinterpret_cast<const unsigned char*>(f.data() + data + i * bytes);
    const int64_t v = bytes == 1 ? p[0] : static_cast<int16_t>((p[0] << 8) | p[1]);
    img.Values.push_back(v + static_cast<int64_t>(bzero));
  }
  img.Valid = true;
  return img;
}

inline void AppendLE(std::string& s, uint64_t v, unsigned n) {
  for (unsigned i = 0; i < n; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

} // namespace korv::test::misc_raster

namespace korv::test {
// The whole-run helpers by their short names, for the tests of other readers.
using misc_raster::ConvertFile;
using misc_raster::ReadFitsImage;
} // namespace korv::test
