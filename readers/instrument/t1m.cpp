// T1M camera images: keyword text lines up to the line "ENTETE offset" (1024
// when absent), then rows stored bottom row first, each a 16-bit little-endian
// byte count and the row in 4- or 8-bit difference coding. Lines beginning
// "T1M" carry a second keyword (DATE, UTC, BINNING, or an exposure "POSE").
#include <algorithm>
#include <array>
#include <cmath>
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
#include "readers/instrument/t1m_row_decoder.h"
#include "readers/readers.h"

namespace korv {
namespace {

constexpr unsigned HeaderCharacters = 1020;
// Room for the header lines read: their lengths add up to at most 1020 plus
// the last line, itself at most 255 characters once kept.
constexpr unsigned HeaderBlockBytes = 4096;

struct T1mHeader {
  uint32_t Width = 0;
  uint32_t Height = 0;
  int32_t Bits = 0;
  int64_t DataOffset = 1024;
};

bool IsAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

void AddCommentCard(ImageState& st, const Text& line) {
  for (ExtraCard& card : st.ExtraCards) {
    if (!card.Card.empty()) continue;
    card.Marker = '+';
    card.Card = "COMMENT   ";
    card.Card += line.view();
    return;
  }
}

// Returns false at the line that ends the header.
bool TakeLine(Conversion& cv, T1mHeader& h, const Text& line) {
  ImageState& st = cv.State;
  Text rest = line, word, w2, w3;
  TakeItemBlank(rest, word);
  Text key = FoldUpper(word.view());
  TakeItemBlank(rest, w2);
  TakeItemBlank(rest, w3);
  if (key == "T1M") {
    const Text f2 = FoldUpper(w2.view());
    if (f2 != "DATE" && f2 != "UTC" && f2 != "BINNING" && FoldUpper(w3.view()) != "POSE") return true;
    key = f2;
    w2 = w3;
    TakeItemBlank(rest, w3);
  }
  if (FoldUpper(w2.view()) == "BITS") {
    h.Bits = ParseInteger(key.view());
    Say(cv, "Nbp=" + std::to_string(h.Bits));
  }
  if (key == "LARGEUR") {
    const int32_t v = ParseInteger(w2.view());
    h.Width = v > 0 ? static_cast<uint32_t>(v) : 0;
    Say(cv, "Nph=" + std::to_string(h.Width));
  } else if (key == "LONGUEUR") {
    const int32_t v = ParseInteger(w2.view());
    h.Height = v > 0 ? static_cast<uint32_t>(v) : 0;
    Say(cv, "Npv=" + std::to_string(h.Height));
  } else if (key == "DATE") {
    st.DateObs += JulianDate(ParseInteger(w2.view()), ParseInteger(w3.view()),
                             ParseInteger(rest.view()));
  } else if (key == "UTC") {
    st.DateObs += ParseInteger(w2.view()) / 24.0 + ParseInteger(w3.view()) / 1440.0 +
                  ParseReal(rest.view()) / 86400.0;
  } else if (key == "POSE") {
    st.Exptime = ParseReal(w3.view());
  } else if (key == "ENTETE") {
    const int32_t v = ParseInteger(w2.view());
    h.DataOffset = v > 0 ? v : 0;
    return false;
  } else if (key == "BINNING") {
    const int32_t bx = ParseInteger(w2.view()), by = ParseInteger(w3.view());
    if (bx > 1 && by > 1) {
      st.PixelSizeX *= bx;
      st.PixelSizeY *= by;
    }
  } else if (key == "FILTRE") {
    st.Filter = w2.view();
    Say(cv, "Ftr=" + st.Filter.str());
  } else if (key == "ACQUISITION" || key == "POSITION" || key == "F1" || key == "HEURE") {
    AddCommentCard(st, line);
  } else if (FoldedPos("S2P", line.view()) != 0) {
    st.Telescope = line.view();
  } else if (const unsigned at = FoldedPos("DH 710B", line.view()); at != 0) {
    st.ObjectName = line.substr(0, at - 1);
    st.Detector = line.substr(at - 1);
  }
  return true;
}

T1mHeader ReadT1mHeader(Conversion& cv) {
  T1mHeader h;
  std::vector<uint8_t> block(HeaderBlockBytes);
  cv.Input.Seek(0);
  const std::size_t got = cv.Input.Read(block.data(), block.size());
  std::size_t pos = 0, counted = 0;
  // Each line consumes at least one byte of the block: bounded by its size.
  while (pos < got && counted < HeaderCharacters) {
    std::size_t end = pos;
    while (end < got && block[end] != '\n') ++end;
    std::string_view raw(reinterpret_cast<const char*>(block.data()) + pos, end - pos);
    pos = end + 1;
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    counted += raw.size() + 2;
    while (!raw.empty() && raw.back() == ' ') raw.remove_suffix(1);
    while (!raw.empty() && !IsAlnum(raw.front())) raw.remove_prefix(1);
    if (raw.empty()) continue;
    if (!TakeLine(cv, h, Text(raw))) break;
  }
  return h;
}

} // namespace

void ReadT1m(Conversion& cv) {
  ImageState& st = cv.State;
  // Rows are stored bottom row first.
  st.FlipY = st.FlipY ? 0 : 1;
  ReadOptions(cv);
  if (!OpenInput(cv)) Stop(cv, "Lecture impossible : " + st.InputFilePath.str());
  const T1mHeader h = ReadT1mHeader(cv);
  st.DateRef = 1;
  if (h.Width == 0 || h.Height == 0 || h.Width > MaxRowSamples || h.Height > 65535) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(h.Width) + " x " +
                 std::to_string(h.Height));
  }
  if (h.Bits != 4 && h.Bits != 8) Stop(cv, "Compression pas support\u00e9e");
  // Every row takes at least its count and its first sample.
  const int64_t size = cv.Input.Size();
  if (size > 0) {
    const uint64_t data = size > h.DataOffset ? static_cast<uint64_t>(size - h.DataOffset) : 0;
    const uint64_t held = data / 4;
    if (held < h.Height) CheckMissingOutput(cv, (h.Height - held) * uint64_t{h.Width} * 2);
  }

  st.ImageWidth = static_cast<uint16_t>(h.Width);
  st.ImageHeight = static_cast<uint16_t>(h.Height);
  PrepareOutput(cv);
  const uint8_t given = ReadValueTransform(cv);
  if (given & 1) Say(cv, "F_z=" + FormatFixed(st.ValueOffset, 1));
  if (given & 2) Say(cv, "F_s=" + FormatFixed(st.ValueScale, 4));

  cv.Input.Seek(h.DataOffset);
  ResetByteReader(cv);
  // A row's count is 16 bits: this holds any row.
  std::vector<uint8_t> stored(65535);
  const double scale = st.ValueScale, offset = st.ValueOffset;
  uint64_t missingRows = 0;
  for (uint32_t r = 0; r < h.Height; ++r) {
    const std::size_t length = ReadWordLE(cv);
    if (ByteReaderAtEnd(cv)) ++missingRows;
    for (std::size_t i = 0; i < length; ++i) stored[i] = ReadByte(cv);
    const std::span<uint16_t> row = cv.Row();
    DecodeT1mRow(std::span<const uint8_t>(stored.data(), length), static_cast<unsigned>(h.Bits),
                 row);
    for (uint16_t& s : row) {
      // The low 16 bits of the rounded value are kept.
      const double v = std::clamp(std::nearbyint(s * scale + offset), -4.0e18, 4.0e18);
      s = static_cast<uint16_t>(static_cast<int64_t>(std::isnan(v) ? 0.0 : v));
    }
    WriteOutputRow(cv, static_cast<uint16_t>(r));
  }
  NoteMissingData(cv, missingRows, h.Height, MissingUnit::Rows);
  cv.Input.Close();
}

} // namespace korv
