// ST-x CCD camera images: a 2048-byte block of "Key = value" text lines (the
// first one the camera banner, the last "End"), then 16-bit little-endian rows,
// top row first, plain or in the camera's row compression (each row a 16-bit
// byte count and that many bytes). Header lines end with a line feed; a
// carriage return on either side of it is ignored.
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/byte_reader.h"
#include "core/conversion.h"
#include "core/julian.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/text.h"
#include "core/truncation.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/instrument/sbig_row_decoder.h"
#include "readers/readers.h"

namespace korv {
namespace {

constexpr unsigned HeaderBlockBytes = 2048;

struct SbigHeader {
  bool Compressed = false;
  bool VersionOk = true;
  char Version = 0;
  uint32_t Width = 0;
  uint32_t Height = 0;
};


// Month/day/year text: month at characters 1-2, day 4-5, year 7-10 (or 7-8).
double DateText(std::string_view v) {
  auto part = [&](std::size_t from, std::size_t n) {
    return from < v.size() ? ParseInteger(v.substr(from, n)) : 0;
  };
  int32_t year = part(6, 4);
  if (year == 0) year = part(6, 2);
  if (year < 10) year += 2000;
  else if (year < 100) year += 1900;
  return JulianDate(year, part(0, 2), part(3, 2));
}

double TimeText(std::string_view v) {
  auto part = [&](std::size_t from) { return from < v.size() ? ParseInteger(v.substr(from, 2)) : 0; };
  return part(0) / 24.0 + part(3) / 1440.0 + part(6) / 86400.0;
}

// One header line folded to capitals: key, value, and their effect.
// Returns false at the end of the header.
bool TakeLine(Conversion& cv, SbigHeader& h, const Text& line) {
  ImageState& st = cv.State;
  std::size_t cut = line.find('=');
  if (cut == std::string_view::npos) cut = line.find(' ');
  Text key = line.substr(0, std::min<std::size_t>(cut, 20));
  TrimHeaderValue(key);
  Text value = cut == std::string_view::npos ? Text() : Text(line.substr(cut + 1));
  TrimHeaderValue(value);
  if (!key.empty() && key[0] != ' ' && (key[0] < 'A' || key[0] > 'Z')) return false;
  if (key == "END") return false;
  const std::string_view v = value.view();
  const double real = ParseReal(v);
  const int32_t integer = ParseInteger(v);
  if (StartsWith(v, "COMPRESSED") && !h.Compressed) {
    h.Compressed = true;
    Say(cv, "Cod=Compress\u00e9");
  }
  if (key == "FILE_VERSION") {
    if (v.empty() || (v[0] != '2' && v[0] != '3')) {
      h.VersionOk = false;
      h.Version = v.empty() ? ' ' : v[0];
    }
  } else if (key == "WIDTH") {
    h.Width = integer > 0 ? static_cast<uint32_t>(integer) : 0;
  } else if (key == "HEIGHT") {
    h.Height = integer > 0 ? static_cast<uint32_t>(integer) : 0;
  } else if (key == "DATE") {
    st.DateObs += DateText(v);
    st.DateRef = 1;
  } else if (key == "TIME") {
    st.DateObs += TimeText(v);
  } else if (key == "EXPOSURE") {
    st.Exptime = real * 0.01; // hundredths of a second
  } else if (key == "FOCAL_LENGTH") {
    if (st.FocalLengthSet != 1) {
      st.FocalLengthSet = 2;
      st.FocalLength = real >= 300 ? real : real * 25.4; // small values are inches
    }
  } else if (key == "X_PIXEL_SIZE") {
    if (st.PixelSizeXSet != 1) {
      st.PixelSizeX = real;
      st.PixelSizeXSet = 2;
    }
  } else if (key == "Y_PIXEL_SIZE") {
    if (st.PixelSizeYSet != 1) {
      st.PixelSizeY = real;
      st.PixelSizeYSet = 2;
    }
  } else if (key == "E_GAIN") {
    if (st.GainSet != 1) {
      st.Gain = real;
      st.GainSet = 2;
    }
  } else if (key == "OBSERVER") {
    st.Observer = v;
  }
  return true;
}

SbigHeader ReadSbigHeader(Conversion& cv) {
  SbigHeader h;
  std::array<uint8_t, HeaderBlockBytes> block{};
  cv.Input.Seek(0);
  const std::size_t got = cv.Input.Read(block.data(), block.size());
  std::size_t pos = 0;
  // Each line consumes at least one byte of the block: bounded by its size.
  while (pos < got) {
    std::size_t end = pos;
    while (end < got && block[end] != 0 && block[end] != '\n') ++end;
    std::string_view raw(reinterpret_cast<const char*>(block.data()) + pos, end - pos);
    pos = end + 1;
    while (!raw.empty() && (raw.back() == '\r' || raw.back() == '\n')) raw.remove_suffix(1);
    if (!raw.empty() && raw.front() == '\r') raw.remove_prefix(1);
    const Text line = FoldUpper(raw);
    if (!TakeLine(cv, h, line)) break;
  }
  return h;
}

void CheckSbigHeader(Conversion& cv, const SbigHeader& h) {
  if (!h.VersionOk) {
    Stop(cv, std::string("Caract\u00e9ristiques de la version ") + h.Version +
                 " non-publi\u00e9es !");
  }
  if (h.Width == 0 || h.Height == 0 || h.Width > MaxRowSamples || h.Height > 65535) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(h.Width) + " x " +
                 std::to_string(h.Height));
  }
  const int64_t size = cv.Input.Size();
  if (size <= 0) return;
  const uint64_t data = size > HeaderBlockBytes ? static_cast<uint64_t>(size) - HeaderBlockBytes : 0;
  // A compressed row takes at least its count and one byte.
  const uint64_t rowBytes = h.Compressed ? 3 : uint64_t{h.Width} * 2;
  const uint64_t held = data / rowBytes;
  if (held >= h.Height) return;
  CheckMissingOutput(cv, (h.Height - held) * uint64_t{h.Width} * 2);
  // Compressed rows have no fixed size: those are counted as they are read.
  if (!h.Compressed) NoteMissingData(cv, h.Height - held, h.Height, MissingUnit::Rows);
}

} // namespace

void ReadSbig(Conversion& cv) {
  ReadOptions(cv);
  ReadValueTransform(cv);
  if (!OpenInput(cv)) Stop(cv, "Lecture impossible : " + cv.State.InputFilePath.str());
  const SbigHeader h = ReadSbigHeader(cv);
  CheckSbigHeader(cv, h);

  ImageState& st = cv.State;
  st.ImageWidth = static_cast<uint16_t>(h.Width);
  st.ImageHeight = static_cast<uint16_t>(h.Height);
  PrepareOutput(cv);
  if (st.ValueScale == 0.0f) st.ValueScale = 1.0f;
  Say(cv, "F_z=" + FormatFixed(st.ValueOffset, 1));
  Say(cv, "F_s=" + FormatFixed(st.ValueScale, 4));

  cv.Input.Seek(HeaderBlockBytes);
  ResetByteReader(cv);
  // The stored bytes of one row: never more than a plain row.
  std::vector<uint8_t> stored(uint64_t{h.Width} * 2);
  const double scale = st.ValueScale, offset = st.ValueOffset;
  uint64_t missingRows = 0;
  for (uint32_t r = 0; r < h.Height; ++r) {
    std::size_t length = stored.size();
    if (h.Compressed) {
      length = ReadWordLE(cv);
      // Empty rows are skipped; the end of the file ends the skipping.
      while (length == 0 && !ByteReaderAtEnd(cv)) length = ReadWordLE(cv);
      if (length > stored.size()) Stop(cv, "Longueur erron\u00e9e");
    }
    if (h.Compressed && ByteReaderAtEnd(cv)) ++missingRows;
    for (std::size_t i = 0; i < length; ++i) stored[i] = ReadByte(cv);
    const std::span<uint16_t> row = cv.Row();
    DecodeSbigRow(std::span<const uint8_t>(stored.data(), length), row);
    for (uint16_t& s : row) s = RoundClampToWord(s * scale + offset);
    WriteOutputRow(cv, static_cast<uint16_t>(r));
  }
  NoteMissingData(cv, missingRows, h.Height, MissingUnit::Rows);
  cv.Input.Close();
}

} // namespace korv
