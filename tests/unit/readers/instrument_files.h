// Writers of instrument files for the tests (SER videos, ST-x camera images,
// SPE and T1M files), laid out as the published formats describe them, and a
// whole-run helper that reads the primary image back from the FITS output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run.h"
#include "tests/test_support.h"

namespace korv::insttest {

using test::ReadFile;
using test::WriteFile;

inline void PutLE(std::string& s, uint64_t v, unsigned n) {
  for (unsigned i = 0; i < n; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline void PutBE(std::string& s, uint64_t v, unsigned n) {
  for (unsigned i = n; i-- > 0;) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline std::string Field(const std::string& text, std::size_t n) {
  std::string f = text.substr(0, n);
  f.resize(n, '\0');
  return f;
}

// 100-ns ticks since 0001-01-01 00:00 of a proleptic Gregorian date and time.
inline uint64_t SerTicks(int year, int month, int day, int hour, int minute, double second) {
  // Days from the civil calendar (Howard Hinnant's algorithm), 0001-01-01 being day 0.
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t fromEpoch1970 = int64_t{era} * 146097 + doe - 719468;
  const int64_t days = fromEpoch1970 + 719162; // 0001-01-01 to 1970-01-01
  const double seconds = static_cast<double>(days) * 86400.0 + hour * 3600.0 + minute * 60.0 + second;
  return static_cast<uint64_t>(seconds * 1e7 + 0.5);
}

struct SerVideo {
  uint32_t Width = 4;
  uint32_t Height = 3;
  uint32_t Bits = 16;
  uint32_t ColourId = 0;       // 0 mono, 8..11 Bayer, 100 RGB, 101 BGR
  uint32_t ByteOrderFlag = 0;  // 1: samples stored big-endian
  int32_t SeriesNumber = 0;
  uint64_t LocalStamp = 0;
  uint64_t UtcStamp = 0;
  std::string Instrument = "Cam";
  std::vector<std::vector<uint16_t>> Frames; // each Width x Height x planes samples
  std::vector<uint64_t> Stamps;              // trailer; empty: none
  int32_t DeclaredFrames = -1;               // -1: Frames.size()

  unsigned Planes() const { return ColourId == 100 || ColourId == 101 ? 3 : 1; }
  // Frame k (from 0) filled with a pattern distinct per frame, row and column.
  void AddPatternFrames(unsigned count) {
    const uint32_t max = Bits > 8 ? 0xFFFF : 0xFF;
    for (unsigned k = 0; k < count; ++k) {
      std::vector<uint16_t> f(Width * Height * Planes());
      for (std::size_t i = 0; i < f.size(); ++i)
        f[i] = static_cast<uint16_t>((i * 2654435761u + k * 40503u + 7) & max);
      Frames.push_back(f);
    }
  }
  std::string Bytes() const {
    std::string s = Field("LUCAM-RECORDER", 14);
    PutLE(s, static_cast<uint32_t>(SeriesNumber), 4);
    PutLE(s, ColourId, 4);
    PutLE(s, ByteOrderFlag, 4);
    PutLE(s, Width, 4);
    PutLE(s, Height, 4);
    PutLE(s, Bits, 4);
    PutLE(s, DeclaredFrames >= 0 ? static_cast<uint32_t>(DeclaredFrames) : Frames.size(), 4);
    s += Field("Observer", 40) + Field(Instrument, 40) + Field("Scope", 40);
    PutLE(s, LocalStamp, 8);
    PutLE(s, UtcStamp, 8);
    for (const auto& f : Frames)
      for (uint16_t v : f) {
        if (Bits <= 8) s.push_back(static_cast<char>(v));
        else if (ByteOrderFlag == 1) PutBE(s, v, 2);
        else PutLE(s, v, 2);
      }
    for (uint64_t t : Stamps) PutLE(s, t, 8);
    return s;
  }
};

// ST-x camera image: text header padded to 2048 bytes, rows plain or compressed.
struct SbigImage {
  uint32_t Width = 3;
  uint32_t Height = 2;
  bool Compressed = false;
  std::vector<std::string> ExtraLines;
  std::vector<uint16_t> Samples; // top row first
  std::string Bytes() const {
    std::string h = Compressed ? "ST-7 Compressed Image\n\r" : "ST-7 Image\n\r";
    h += "File_version = 3\n\r";
    h += "Width = " + std::to_string(Width) + "\n\r";
    h += "Height = " + std::to_string(Height) + "\n\r";
    for (const std::string& l : ExtraLines) h += l + "\n\r";
    h += "End\n\r";
    h.resize(2048, '\0');
    for (uint32_t r = 0; r < Height; ++r) {
      const uint16_t* row = Samples.data() + r * Width;
      if (!Compressed) {
        for (uint32_t c = 0; c < Width; ++c) PutLE(h, row[c], 2);
        continue;
      }
      std::string coded;
      PutLE(coded, row[0], 2);
      for (uint32_t c = 1; c < Width; ++c) {
        const int d = int{row[c]} - int{row[c - 1]};
        if (d >= -127 && d <= 127) {
          coded.push_back(static_cast<char>(static_cast<int8_t>(d)));
        } else {
          coded.push_back('\x80');
          PutLE(coded, row[c], 2);
        }
      }
      // A coded row no shorter than a plain one is stored plain.
      if (coded.size() >= 2 * Width) {
        coded.clear();
        for (uint32_t c = 0; c < Width; ++c) PutLE(coded, row[c], 2);
      }
      PutLE(h, coded.size(), 2);
      h += coded;
    }
    return h;
  }
};

// The primary image of a FITS file as values, in file order (bottom row first).
struct FitsImage {
  bool Valid = false;
  long Bitpix = 0;
  long Width = 0;
  long Height = 0;
  double Bzero = 0;
  std::string Header;
  std::vector<int64_t> Values;
  int64_t At(long column, long fitsRow) const { return Values.at(fitsRow * Width + column); }
  // Row r counted from the top of the picture.
  std::vector<int64_t> TopRow(long r) const {
    const auto b = Values.begin() + (Height - 1 - r) * Width;
    return {b, b + Width};
  }
  std::string Card(const std::string& key) const {
    for (std::size_t p = 0; p + 80 <= Header.size(); p += 80) {
      std::string k = key;
      k.resize(8, ' ');
      if (Header.compare(p, 8, k) == 0) return Header.substr(p, 80);
    }
    return {};
  }
};

inline FitsImage ReadFits(const std::string& path) {
  FitsImage img;
  const std::string f = ReadFile(path);
  std::size_t pos = 0;
  bool end = false;
  for (; pos + 80 <= f.size() && !end; pos += 80) {
    const std::string card = f.substr(pos, 80);
    const std::string key = card.substr(0, 8);
    const std::string value = card.substr(10, 20);
    if (key == "END     ") end = true;
    if (key == "BITPIX  ") img.Bitpix = std::stol(value);
    if (key == "NAXIS1  ") img.Width = std::stol(value);
    if (key == "NAXIS2  ") img.Height = std::stol(value);
    if (key == "BZERO   ") img.Bzero = std::stod(value);
  }
  if (!end) return img;
  img.Header = f.substr(0, pos);
  const std::size_t data = (pos + 2879) / 2880 * 2880;
  const std::size_t bytes = img.Bitpix == 8 ? 1 : img.Bitpix == 16 ? 2 : 0;
  const std::size_t count = static_cast<std::size_t>(img.Width * img.Height);
  if (bytes == 0 || data + count * bytes > f.size()) return img;
  img.Values.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto* p = reinterpret_cast<const unsigned char*>(f.data() + data + i * bytes);
    const int64_t v = bytes == 1 ? p[0] : static_cast<int16_t>((p[0] << 8) | p[1]);
    img.Values.push_back(v + static_cast<int64_t>(img.Bzero));
  }
  img.Valid = true;
  return img;
}

struct RunResult {
  int Status = -1;
  std::string Console;
  bool Has(const std::string& s) const { return Console.find(s) != std::string::npos; }
};

inline std::string FitName(const std::string& input);

// Runs the program in-process on `argument` (a file name, maybe with ",n"),
// after removing an earlier output of that name.
inline RunResult RunOn(const std::string& argument, const std::vector<std::string>& options = {}) {
  std::filesystem::remove(FitName(argument.substr(0, argument.find(','))));
  std::vector<std::string> args = {"korvalix", argument};
  args.insert(args.end(), options.begin(), options.end());
  std::ostringstream out;
  RunResult r;
  r.Status = Run(args, out);
  r.Console = out.str();
  return r;
}

inline RunResult Convert(const std::string& name, const std::string& bytes,
                         const std::vector<std::string>& options = {}) {
  WriteFile(name, bytes);
  return RunOn(name, options);
}

// The output's name: the input's with the extension "fit".
inline std::string FitName(const std::string& input) {
  return std::filesystem::path(input).replace_extension("fit").string();
}

} // namespace korv::insttest
