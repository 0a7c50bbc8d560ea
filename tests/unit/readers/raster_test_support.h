// Helpers of the raster reader tests: a whole run on a file written here, the
// FITS image it made (in picture order), and a GIF LZW encoder that writes the
// code streams the decoder is tested on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "driver/run.h"
#include "tests/test_support.h"

namespace korv::test {

struct RasterRun {
  int Status = -1;
  std::string Console;
  bool Has(const std::string& line) const { return Console.find(line + "\n") != std::string::npos; }
};

inline RasterRun ConvertBytes(const std::string& name, const std::string& bytes,
                              const std::vector<std::string>& options = {}) {
  WriteFile(name, bytes);
  std::vector<std::string> args = {"korvalix", name};
  args.insert(args.end(), options.begin(), options.end());
  std::ostringstream out;
  RasterRun r;
  r.Status = Run(args, out);
  r.Console = out.str();
  return r;
}

// The primary image of a plain 8- or 16-bit FITS file, top row of the picture first.
struct Picture {
  bool Valid = false;
  long Width = 0;
  long Height = 0;
  std::vector<int64_t> Values;
  int64_t At(long x, long y) const { return Values.at(static_cast<std::size_t>(y * Width + x)); }
  std::vector<int64_t> Row(long y) const {
    return {Values.begin() + y * Width, Values.begin() + (y + 1) * Width};
  }
};

inline Picture ReadPicture(const std::string& path) {
  Picture p;
  if (!std::filesystem::exists(path)) return p;
  const std::string f = ReadFile(path);
  long bitpix = 0;
  double bzero = 0;
  std::size_t pos = 0;
  bool end = false;
  for (; pos + 80 <= f.size() && !end; pos += 80) {
    const std::string key = f.substr(pos, 8);
    const std::string value = f.substr(pos + 10, 20);
    if (key == "END     ") end = true;
    if (key == "BITPIX  ") bitpix = std::stol(value);
    if (key == "NAXIS1  ") p.Width = std::stol(value);
    if (key == "NAXIS2  ") p.Height = std::stol(value);
    if (key == "BZERO   ") bzero = std::stod(value);
  }
  const std::size_t data = (pos + 2879) / 2880 * 2880;
  const std::size_t bytes = bitpix == 8 ? 1 : bitpix == 16 ? 2 : 0;
  const auto count = static_cast<std::size_t>(p.Width * p.Height);
  if (!end || bytes == 0 || data + count * bytes > f.size()) return p;
  p.Values.resize(count);
  for (long fitsRow = 0; fitsRow < p.Height; ++fitsRow) {
    for (long x = 0; x < p.Width; ++x) {
      const std::size_t at = data + (static_cast<std::size_t>(fitsRow * p.Width + x)) * bytes;
      const auto* b = reinterpret_cast<const unsigned char*>(f.data() + at);
      const int64_t v = bytes == 1 ? b[0] : static_cast<int16_t>((b[0] << 8) | b[1]);
      // FITS holds the bottom row first.
      p.Values[static_cast<std::size_t>((p.Height - 1 - fitsRow) * p.Width + x)] =
          v + static_cast<int64_t>(bzero);
    }
  }
  p.Valid = true;
  return p;
}

inline void PutLE16(std::string& s, unsigned v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
inline void PutLE32(std::string& s, uint32_t v) {
  PutLE16(s, v & 0xFFFF);
  PutLE16(s, v >> 16);
}
inline void PutBE32(std::string& s, uint32_t v) {
  for (int k = 3; k >= 0; --k) s += static_cast<char>((v >> (8 * k)) & 0xFF);
}

// GIF LZW code stream of `indices` (each below 2^minCodeSize), as bytes not yet
// cut into sub-blocks. With resetWhenFull the encoder sends a clear code when
// the table is full; otherwise it goes on with the full table.
inline std::vector<uint8_t> LzwEncode(const std::vector<uint8_t>& indices, unsigned minCodeSize,
                                      bool resetWhenFull = true, bool endCode = true) {
  std::vector<uint8_t> out;
  uint32_t acc = 0;
  unsigned nbits = 0;
  const unsigned clear = 1u << minCodeSize;
  unsigned size = minCodeSize + 1;
  unsigned next = clear + 2;
  std::map<std::pair<unsigned, uint8_t>, unsigned> table;
  auto emit = [&](unsigned code) {
    acc |= code << nbits;
    nbits += size;
    while (nbits >= 8) {
      out.push_back(static_cast<uint8_t>(acc & 0xFF));
      acc >>= 8;
      nbits -= 8;
    }
  };
  emit(clear);
  if (!indices.empty()) {
    unsigned w = indices[0];
    for (std::size_t i = 1; i < indices.size(); ++i) {
      const uint8_t c = indices[i];
      const auto it = table.find({w, c});
      if (it != table.end()) {
        w = it->second;
        continue;
      }
      emit(w);
      if (next < 4096) {
        table[{w, c}] = next++;
        if (next > (1u << size) && size < 12) ++size;
      } else if (resetWhenFull) {
        emit(clear);
        table.clear();
        size = minCodeSize + 1;
        next = clear + 2;
      }
      w = c;
    }
    emit(w);
  }
  if (endCode) emit(clear + 1);
  if (nbits > 0) out.push_back(static_cast<uint8_t>(acc & 0xFF));
  return out;
}

// The code stream cut into sub-blocks of `blockSize` bytes, with the terminator.
inline std::string SubBlocks(const std::vector<uint8_t>& data, std::size_t blockSize = 255) {
  std::string s;
  for (std::size_t i = 0; i < data.size(); i += blockSize) {
    const std::size_t n = std::min(blockSize, data.size() - i);
    s += static_cast<char>(n);
    s.append(reinterpret_cast<const char*>(data.data() + i), n);
  }
  s += '\0';
  return s;
}

} // namespace korv::test
