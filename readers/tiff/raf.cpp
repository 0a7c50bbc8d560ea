// Fujifilm RAF: a fixed big-endian header pointing to a JPEG preview (which
// carries the date and the byte order of 16-bit data), to a directory of raw
// geometry entries and to the raw mosaic, stored in one of several layouts the
// camera model and the data size tell apart.

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "core/julian.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/text.h"
#include "core/truncation.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/readers.h"
#include "readers/tiff/raf_layout.h"
#include "readers/tiff/tiff_container.h"

namespace korv {
namespace {

constexpr uint32_t MaxDirectoryEntries = 1024;
constexpr uint32_t MaxWidth = 30000;

struct RafHeader {
  std::string Model;
  std::array<uint32_t, 6> Place{}; // preview offset, length, directory offset, length, data offset, length
  uint32_t Width = 0;
  uint32_t Height = 0;
};

std::string NumberAndHex(uint32_t v) {
  return std::to_string(v) + "=$" + std::string(HexDigits(v, 1).view());
}

bool MagicOk(TiffFileView& f) {
  std::array<uint8_t, 16> m{};
  f.ReadAt(0, m);
  std::string kept;
  for (uint8_t c : m)
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')
      kept.push_back(static_cast<char>(c));
  return kept == "FUJIFILMCCD-RAW";
}

// Byte order of the EXIF block inside the preview (APP1 "Exif\0\0" then II/MM);
// big-endian when the preview holds none.
bool PreviewIsLittleEndian(std::span<const uint8_t> preview) {
  static constexpr std::array<uint8_t, 6> Exif{'E', 'x', 'i', 'f', 0, 0};
  const auto at = std::search(preview.begin(), preview.end(), Exif.begin(), Exif.end());
  if (preview.end() - at < 8) return false;
  return at[6] == 'I' && at[7] == 'I';
}

void ReadGeometry(Conversion& cv, TiffFileView& f, RafHeader& h) {
  const uint64_t start = h.Place[2];
  const uint64_t end = start + h.Place[3];
  const uint32_t count = f.U32BigAt(start);
  Say(cv, "Nen=" + std::to_string(count));
  uint64_t pos = start + 4;
  for (uint32_t k = 0; k < std::min(count, MaxDirectoryEntries); ++k) {
    if (pos + 4 > end) break;
    const uint16_t tag = f.U16BigAt(pos);
    const uint16_t size = f.U16BigAt(pos + 2);
    pos += 4;
    if (size == 4 && tag == 0x100) {
      h.Height = f.U16BigAt(pos);
      h.Width = f.U16BigAt(pos + 2);
      Say(cv, "Nph=" + std::to_string(h.Width) + " Npv=" + std::to_string(h.Height));
    } else if (size == 4) {
      Say(cv, "$" + std::string(HexDigits(tag, 4).view()) + "=" +
                  std::to_string(f.U32BigAt(pos)));
    }
    pos += size;
  }
}

uint64_t ZeroSkipAt(TiffFileView& f, uint64_t at) {
  std::vector<uint8_t> probe(51200);
  const std::size_t got = f.ReadAt(at, probe);
  return RafZeroRunSkip(std::span<const uint8_t>(probe.data(), got));
}

} // namespace

void ReadRaf(Conversion& cv) {
  ReadOptions(cv);
  ImageState& st = cv.State;
  if (!OpenInput(cv)) Stop(cv, "Lecture impossible : " + cv.State.InputFilePath.str());
  st.EraseInput = 0;
  TiffFileView f(cv.Input);
  f.SetOrder(ByteOrder::Big);
  if (!MagicOk(f)) Stop(cv, "Pas un fichier RAF");

  RafHeader h;
  for (unsigned k = 28; k < 60; ++k) {
    const uint8_t c = f.U8At(k);
    if (c != 0 && c != 7 && c != 27) h.Model.push_back(static_cast<char>(c));
  }
  Text model(h.Model);
  TrimBlanks(model);
  st.Detector = model;
  Say(cv, "Det=" + std::string(st.Detector.view()));
  static constexpr std::array<const char*, 6> Names{"Ojp=", "Ljp=", "Oen=", "Len=", "Oim=", "Lim="};
  for (unsigned k = 0; k < 6; ++k) {
    h.Place[k] = f.U32BigAt(84 + 4 * k);
    Say(cv, std::string(Names[k]) + NumberAndHex(h.Place[k]));
  }

  std::vector<uint8_t> preview(1024);
  f.ReadAt(h.Place[0], preview);
  RafDate date;
  if (FindRafDate(preview, date)) {
    Say(cv, "Oda=" + std::to_string(date.Place));
    st.DateObs = JulianDate(date.Year, date.Month,
                            date.Day + date.Hour / 24.0 + date.Minute / 1440.0 +
                                date.Second / 86400.0);
  }
  const bool littleSamples = PreviewIsLittleEndian(preview);
  ReadGeometry(cv, f, h);

  const std::string_view modelText = st.Detector.view();
  const auto has = [&](std::string_view s) { return FoldedPos(s, modelText) > 0; };
  const uint64_t fileSize = static_cast<uint64_t>(std::max<int64_t>(0, f.FileSize()));
  const uint64_t cfa = h.Place[4];
  int layout = 0;
  if (has("HS10 HS11")) {
    // Packed 12-bit data whether or not the directory gives the geometry; the
    // camera's own when it does not.
    if (h.Width == 0 || h.Height == 0) {
      h.Width = 3664;
      h.Height = 2742;
    }
    layout = 5;
  } else if (has("SL1000") || has(" S1")) {
    layout = 5;
  } else if (has("S2PRO")) {
    layout = 3;
  } else if (has("F800EXR")) {
    layout = 4;
  } else if (has("X-A3")) {
    layout = 10;
  } else if (has("X-A10")) {
    layout = 6;
  } else if (h.Width != 0 && h.Height != 0 &&
             8 * uint64_t{h.Place[5]} / (uint64_t{h.Width} * h.Height) > 15) {
    layout = h.Height < h.Width ? 1 : 2;
  }
  if (h.Width == 0 || h.Height == 0)
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(h.Width) + " x " +
                 std::to_string(h.Height));

  uint64_t start = cfa;
  uint64_t second = 0;
  uint32_t width = h.Width;
  if (layout == 0) {
    start = cfa + ZeroSkipAt(f, cfa);
    width = 2 * h.Width;
    second = start + uint64_t{width} * 3 / 2 * h.Height / 2;
    second += ZeroSkipAt(f, second);
    if (second < start) {
      layout = 4;
      width = h.Width;
    }
  }
  if (width > MaxWidth || h.Height > 65535)
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(width) + " x " +
                 std::to_string(h.Height));
  uint64_t rowBytes = 2 * uint64_t{width};
  if (layout == 0 || layout == 5 || layout == 6) rowBytes = uint64_t{width} * 3 / 2;
  if (layout == 10) rowBytes = uint64_t{width} * 14 / 8;
  if (layout == 5) start = cfa + ZeroSkipAt(f, cfa);
  if (layout == 6) start = cfa + 1024;
  if (layout == 10) start = fileSize > rowBytes * h.Height ? fileSize - rowBytes * h.Height : 0;
  if (layout >= 1 && layout <= 4) start = cfa + ZeroSkipAt(f, cfa);

  // The raw data must be in the file: a file whose raw data were stripped is
  // refused rather than read from its header or its preview.
  const uint64_t needed = rowBytes * h.Height;
  const uint64_t end = layout == 0 ? second + needed / 2 : start + needed;
  const uint64_t held = start < fileSize ? std::min(end, fileSize) - start : 0;
  if (cfa == 0 || start < 108 || held < (end - start + 1) / 2)
    Stop(cv, "Pas de donn\u00e9es d'image dans le fichier");
  const uint64_t missing = (end - start) - held;
  const uint64_t outBytes = 2 * uint64_t{width} * h.Height;
  CheckMissingOutput(cv, missing * outBytes / (end - start));

  st.ImageWidth = static_cast<uint16_t>(width);
  st.ImageHeight = static_cast<uint16_t>(h.Height);
  PrepareOutput(cv);
  st.EraseInput = 0;
  Say(cv, "Fujifilm - exp\u00e9rimental");
  switch (layout) {
  case 0: st.CfaPattern = {2, 1, 3, 2}; break;
  case 4: st.CfaPattern = {2, 3, 1, 2}; break;
  case 5:
  case 6: st.CfaPattern = {3, 2, 2, 1}; break;
  case 10: st.CfaPattern = {1, 2, 2, 3}; break;
  default: st.CfaPattern = {2, 2, 1, 3}; break;
  }
  CfaSetup(cv);
  Say(cv, "Cas=" + std::to_string(layout));

  const auto finish = [&](unsigned v, unsigned cell) -> uint16_t {
    if (!st.IsCfa) return static_cast<uint16_t>(v);
    return ClampToWord(static_cast<int64_t>(v * st.CfaFactor[cell & 3]));
  };
  std::vector<uint8_t> bytes(rowBytes);
  std::vector<uint8_t> words(layout == 5 || layout == 6 ? (rowBytes + 6) / 4 * 4 : 0);
  std::span<uint16_t> row = cv.Row();
  std::array<uint64_t, 2> streams{start, second};
  for (uint32_t r = 0; r < h.Height; ++r) {
    if (layout == 0) {
      f.ReadAt(streams[r & 1], bytes);
      streams[r & 1] += rowBytes;
      for (uint32_t x = 0; x < width; ++x) {
        const uint32_t column = x < width / 2 ? 2 * x : 2 * x - (width - 1);
        row[column] = finish(Unpack12Little(bytes, x), column);
      }
    } else if (layout == 5 || layout == 6) {
      // One stream of 32-bit little-endian words read from their top bit
      // down, the rows following one another inside the words: a row whose
      // start is not on a word is read from the word it starts in.
      const uint64_t at = rowBytes * r;
      const unsigned lead = static_cast<unsigned>(at & 3);
      f.ReadAt(start + at - lead, words);
      SwapGroupsOf4(words);
      const std::span<const uint8_t> packed(words.data() + lead, rowBytes);
      for (uint32_t x = 0; x < width; ++x)
        row[x] = finish(Unpack12Big(packed, x), (x & 1) | 2 * (r & 1));
    } else if (layout == 10) {
      // Each row on its own: its whole words swapped, then 14-bit fields.
      f.ReadAt(start + rowBytes * r, bytes);
      SwapGroupsOf4(bytes);
      for (uint32_t x = 0; x < width; ++x)
        row[x] = finish(Unpack14Msb(bytes, x), (x & 1) | 2 * (r & 1));
    } else {
      f.ReadAt(start + rowBytes * r, bytes);
      // Every 16-bit layout, the S2Pro's too, is in the preview's byte order.
      for (uint32_t x = 0; x < width; ++x) {
        const unsigned a = bytes[2 * x], b = bytes[2 * x + 1];
        const unsigned v = littleSamples ? (a | b << 8) : (a << 8 | b);
        unsigned cell;
        if (layout == 1 || layout == 3)
          cell = (x & 1) == 0 ? 2 + ((r ^ ((x + 1) >> 1)) & 1) : (r & 1);
        else
          cell = (r & 1) == 0 ? 2 + ((x ^ (r >> 1)) & 1) : (x & 1);
        row[x] = finish(v, cell);
      }
    }
    WriteOutputRow(cv, static_cast<uint16_t>(r));
  }
  if (missing > 0) {
    const uint64_t total = end - start;
    NoteMissingData(cv, std::min<uint64_t>(h.Height, (missing * h.Height + total - 1) / total),
                    h.Height, MissingUnit::Rows);
  }
  cv.Input.Close();
}

} // namespace korv
