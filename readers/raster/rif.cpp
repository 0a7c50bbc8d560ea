// RIF files: no image is decoded. The first six 8-byte records (a four-character
// chunk name and a 32-bit little-endian size) are listed, which tells what a
// file holds; the run then ends, since no image size is known.

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "core/conversion.h"
#include "core/stop.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/readers.h"

namespace korv {
namespace {

constexpr unsigned RecordsListed = 6;
constexpr std::size_t RecordBytes = 8;

// Code page 850 characters of the bytes 128 to 255.
constexpr std::array<uint16_t, 128> UpperHalf = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0, 0x00A9, 0x2563, 0x2551, 0x2557,
    0x255D, 0x00A2, 0x00A5, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, 0x00F0, 0x00D0, 0x00CA, 0x00CB,
    0x00C8, 0x0131, 0x00CD, 0x00CE, 0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE, 0x00DE, 0x00DA, 0x00DB, 0x00D9,
    0x00FD, 0x00DD, 0x00AF, 0x00B4, 0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

// A record byte as a console character: code page 850 letters in UTF-8; control
// bytes, which would break or garble the line, as '.'.
void AppendCharacter(std::string& line, uint8_t b) {
  if (b >= 0x20 && b < 0x7F) {
    line.push_back(static_cast<char>(b));
    return;
  }
  if (b < 0x80) {
    line.push_back('.');
    return;
  }
  const uint16_t u = UpperHalf[b - 0x80];
  if (u < 0x800) {
    line.push_back(static_cast<char>(0xC0 | (u >> 6)));
  } else {
    line.push_back(static_cast<char>(0xE0 | (u >> 12)));
    line.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
  }
  line.push_back(static_cast<char>(0x80 | (u & 0x3F)));
}

// Name, value bytes and value of one record; bytes past the end of the file are 0.
std::string RecordLine(const std::array<uint8_t, RecordBytes>& r) {
  std::string line;
  for (std::size_t i = 0; i < 4; ++i) AppendCharacter(line, r[i]);
  line.push_back(' ');
  for (std::size_t i = 4; i < 8; ++i) AppendCharacter(line, r[i]);
  line.push_back(' ');
  const uint32_t v =
      uint32_t{r[4]} | uint32_t{r[5]} << 8 | uint32_t{r[6]} << 16 | uint32_t{r[7]} << 24;
  line += std::to_string(static_cast<int32_t>(v));
  return line;
}

} // namespace

void ListRif(Conversion& cv) {
  ReadOptions(cv);
  OpenInput(cv);
  for (unsigned k = 0; k < RecordsListed; ++k) {
    std::array<uint8_t, RecordBytes> record{};
    // A short read is no error: the record ends in zeros.
    const std::size_t got = cv.Input.Read(record.data(), record.size());
    cv.State.LastIoResult = static_cast<int32_t>(got);
    Say(cv, RecordLine(record));
  }

  ImageState& st = cv.State;
  // Nothing here sets the image size: a run normally ends at this point.
  if (st.ImageWidth == 0 || st.ImageHeight == 0 || st.ImageWidth > MaxRowSamples) {
    Stop(cv, "Pas d'image d\u00e9cod\u00e9e dans un fichier RIF");
  }
  PrepareOutput(cv);
  for (uint32_t y = 0; y < st.ImageHeight; ++y) {
    std::span<uint16_t> row = cv.Row();
    std::fill(row.begin(), row.end(), uint16_t{0});
    WriteOutputRow(cv, static_cast<uint16_t>(y));
  }
  cv.Input.Close();
}

} // namespace korv
