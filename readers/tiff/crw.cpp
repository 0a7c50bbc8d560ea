// Canon CRW: a CIFF heap of tagged records (sub-heaps nest), in either byte
// order, followed by the Huffman-coded raw mosaic and its optional low bits.

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "core/julian.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/text.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/readers.h"
#include "readers/tiff/crw_decoder.h"
#include "readers/tiff/tiff_container.h"

namespace korv {
namespace {

constexpr unsigned MaxHeapDepth = 8;
constexpr uint32_t MaxRecordsPerHeap = 1024;
constexpr uint32_t MaxRecordsInAll = 20000;
constexpr uint32_t MaxWidth = 30000;
// The low-bit probe ends here, whatever the data offset.
constexpr uint64_t LowBitProbeEnd = 0x3FFF;

struct CrwInfo {
  bool RawFound = false;
  uint64_t RawStart = 0; // absolute
  uint64_t RawSize = 0;
  uint32_t Table = 0;
  uint32_t DataShift = 0;
  uint32_t Width = 0;
  uint32_t Height = 0;
  uint32_t SensorWidth = 0;  // thousandths of an inch
  uint32_t SensorHeight = 0;
  uint32_t RecordsSeen = 0;
};

struct CrwWalk {
  Conversion& cv;
  TiffFileView& f;
  CrwInfo& info;
};

std::string Hex(uint32_t v, unsigned digits) { return std::string(HexDigits(v, digits).view()); }

// Texts of a record, cut at the first NUL and at the record's end.
std::string RecordText(TiffFileView& f, uint64_t at, uint64_t size, std::size_t skipTexts) {
  std::vector<uint8_t> bytes(static_cast<std::size_t>(std::min<uint64_t>(size, 256)));
  f.ReadAt(at, bytes);
  std::size_t i = 0;
  for (std::size_t k = 0; k < skipTexts; ++k) {
    while (i < bytes.size() && bytes[i] != 0) ++i;
    if (i < bytes.size()) ++i;
  }
  std::string s;
  while (i < bytes.size() && bytes[i] != 0) s.push_back(static_cast<char>(bytes[i++]));
  return s;
}

void TakeShotInfo(CrwWalk& w, uint64_t at, uint64_t size) {
  ImageState& st = w.cv.State;
  // Value k sits at byte 2k.
  const auto value = [&](unsigned k) -> int16_t {
    return 2 * uint64_t{k} + 2 <= size ? static_cast<int16_t>(w.f.U16At(at + 2 * k)) : 0;
  };
  if (size >= 6 && st.DetectorIsoSet != 1) {
    st.DetectorIso = 3.125 * std::exp2(value(2) / 32.0);
    st.DetectorIsoSet = 2;
    Say(w.cv, " (Sen=" + std::to_string(st.DetectorIso) + ")");
  }
  if (size >= 50) {
    st.Exptime = value(5) == -32768 ? value(24) * 0.1 : std::exp2(-value(22) / 32.0);
    Say(w.cv, " (Poz=" + std::to_string(st.Exptime) + ")");
  }
}

void TakeRecord(CrwWalk& w, uint16_t id, uint16_t parent, uint64_t at, uint64_t size) {
  ImageState& st = w.cv.State;
  TiffFileView& f = w.f;
  if (id == 0x2005 && parent == 0) {
    w.info.RawFound = true;
    w.info.RawStart = at;
    w.info.RawSize = size;
  } else if (id == 0x080A && parent == 0x2807) {
    Text model(RecordText(f, at, size, 1));
    TrimBlanks(model);
    st.Detector = model;
    Text maker(RecordText(f, at, size, 0));
    TrimBlanks(maker);
    st.DetectorMaker = maker;
    Say(w.cv, " Det=" + std::string(st.Detector.view()));
  } else if (id == 0x0810 && parent == 0x2807) {
    std::string owner = RecordText(f, at, size, 0);
    for (char& c : owner) {
      const bool keep = c == ' ' || c == ',' || c == '-' || c == '.' || (c >= '0' && c <= '9') ||
                        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
      if (!keep) c = '_';
    }
    Text trimmed(owner);
    TrimBlanks(trimmed);
    st.Observer = trimmed;
    Say(w.cv, " Obs=" + std::string(st.Observer.view()));
  } else if ((id == 0x180B && parent == 0x3004) ||
             ((id == 0x1804 || id == 0x1817) && parent == 0x300A)) {
    Say(w.cv, " " + std::to_string(f.U32At(at)));
  } else if (id == 0x180E && parent == 0x300A) {
    const uint32_t seconds = f.U32At(at);
    st.DateObs = JulianDate(1970, 1, 1) + seconds / 86400.0;
    st.DateRef = 3;
    Say(w.cv, " (Dat=" + std::to_string(seconds) + ") ");
  } else if (id == 0x1835 && parent == 0x300B) {
    w.info.Table = f.U32At(at);
    w.info.DataShift = f.U32At(at + 8);
    Say(w.cv, " Tab=" + std::to_string(w.info.Table) + "," + std::to_string(f.U32At(at + 4)) +
                  "," + std::to_string(w.info.DataShift) + "," + std::to_string(f.U32At(at + 12)));
  } else if (id == 0x1031 && parent == 0x300B) {
    w.info.Width = f.U16At(at + 2);
    w.info.Height = f.U16At(at + 4);
    Say(w.cv, " Nph=" + std::to_string(w.info.Width) + " Npv=" + std::to_string(w.info.Height));
  } else if (id == 0x1029 && parent == 0x300B) {
    const uint16_t focal = f.U16At(at + 2);
    if (st.FocalLengthSet != 1 && focal != 0) {
      st.FocalLength = focal;
      st.FocalLengthSet = 2;
    }
    w.info.SensorWidth = f.U16At(at + 4);
    w.info.SensorHeight = f.U16At(at + 6);
    Say(w.cv, " Foc=" + std::to_string(focal));
  } else if (id == 0x102A && parent == 0x300B) {
    TakeShotInfo(w, at, size);
  }
}

// Walks the heap of `length` bytes at absolute `start`. Every record's data
// must lie inside its heap; sub-heaps nest at most MaxHeapDepth deep.
void WalkHeap(CrwWalk& w, uint64_t start, uint64_t length, uint16_t parent, unsigned depth) {
  TiffFileView& f = w.f;
  if (depth > MaxHeapDepth || length < 6) return;
  const uint64_t table = f.U32At(start + length - 4);
  if (table + 2 > length - 4) return;
  const uint32_t stored = f.U16At(start + table);
  const uint32_t fits = static_cast<uint32_t>((length - 4 - table - 2) / 10);
  const uint32_t count = std::min({stored, fits, MaxRecordsPerHeap});
  Say(w.cv, "Ori=" + std::to_string(start) + " a Tai=" + std::to_string(length) +
                " Sbs=" + std::to_string(table) + " Nbs=" + std::to_string(stored));
  for (uint32_t k = 0; k < count; ++k) {
    if (++w.info.RecordsSeen > MaxRecordsInAll) return;
    const uint64_t rec = start + table + 2 + 10 * uint64_t{k};
    const uint16_t tag = f.U16At(rec);
    const uint16_t id = tag & 0x3FFF;
    uint64_t at = rec + 2;
    uint64_t size = 8;
    if ((tag & 0x4000) == 0) {
      size = f.U32At(rec + 2);
      const uint64_t offset = f.U32At(rec + 6);
      if (offset > length || size > length - offset) {
        Say(w.cv, "Rep=" + Hex(id, 4) + " hors du bloc");
        continue;
      }
      at = start + offset;
    }
    Say(w.cv, "Rep=" + Hex(id, 4) + " donn\u00e9es en " + std::to_string(at));
    const uint16_t kind = tag & 0x3800;
    if ((tag & 0x4000) == 0 && (kind == 0x2800 || kind == 0x3000)) {
      WalkHeap(w, at, size, id, depth + 1);
    } else {
      TakeRecord(w, id, parent, at, size);
    }
  }
}

} // namespace

void ReadCrw(Conversion& cv) {
  ReadOptions(cv);
  ImageState& st = cv.State;
  st.EraseInput = 0;
  Say(cv, "En d\u00e9veloppement !");
  if (!OpenInput(cv)) Stop(cv, "Lecture impossible : " + cv.State.InputFilePath.str());
  TiffFileView f(cv.Input);
  const uint16_t mark = f.U16BigAt(0);
  if (mark == 0x4949) {
    Say(cv, "Ord=II");
  } else if (mark == 0x4D4D) {
    // Big-endian heaps differ only in the byte order of their numbers.
    f.SetOrder(ByteOrder::Big);
    Say(cv, "Ord=MM");
  } else {
    Stop(cv, "Pas un fichier CRW");
  }
  const int64_t size = f.FileSize();
  const uint64_t fileSize = size > 0 ? static_cast<uint64_t>(size) : 0;
  const uint64_t header = f.U32At(2);
  Say(cv, "Ver=" + std::to_string(f.U16At(14)) + "," + std::to_string(f.U16At(16)));
  if (header < 14 || header >= fileSize) Stop(cv, "Pas un fichier CRW");

  CrwInfo info;
  CrwWalk walk{cv, f, info};
  WalkHeap(walk, header, fileSize - header, 0, 0);

  const uint32_t w = info.Width, h = info.Height;
  if (w == 0 || h == 0 || w > MaxWidth || h > 65535)
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(w) + " x " + std::to_string(h));
  if (info.SensorWidth != 0 && info.SensorHeight != 0) {
    if (st.PixelSizeXSet != 1) {
      st.PixelSizeX = 0.0254 * info.SensorWidth / w;
      st.PixelSizeXSet = 2;
    }
    if (st.PixelSizeYSet != 1) {
      st.PixelSizeY = 0.0254 * info.SensorHeight / h;
      st.PixelSizeYSet = 2;
    }
  }

  // The raw data must be in the file (files whose raw data were stripped keep
  // only the heap's metadata).
  const uint64_t dataStart = info.RawStart + info.DataShift;
  if (!info.RawFound || info.RawSize == 0 || dataStart >= info.RawStart + info.RawSize)
    Stop(cv, "Pas de donn\u00e9es d'image dans le fichier");
  std::vector<uint8_t> probe(
      dataStart < LowBitProbeEnd ? static_cast<std::size_t>(LowBitProbeEnd - dataStart) : 0);
  f.ReadAt(dataStart, probe);
  const bool lowBits = CrwHasLowBits(probe);
  Say(cv, lowBits ? "Bsu=oui" : "Bsu=non");
  const uint64_t lowBytes = lowBits ? uint64_t{w} * h / 4 : 0;
  if (info.RawStart + info.RawSize <= dataStart + lowBytes)
    Stop(cv, "Pas de donn\u00e9es d'image dans le fichier");

  st.ImageWidth = static_cast<uint16_t>(w);
  st.ImageHeight = static_cast<uint16_t>(h);
  PrepareOutput(cv);
  CfaSetup(cv);

  const unsigned bits = lowBits ? 12 : 10;
  const bool gammaOn = st.GammaValue > 0.0f && st.GammaValue != 1.0f;
  const double top = std::ldexp(1.0, bits) - 1.0;
  const double gammaScale = gammaOn ? std::pow(top, 1.0 - st.GammaInverse) : 1.0;

  uint64_t pos = dataStart + lowBytes;
  CrwDecoder decoder(info.Table, [&](std::span<uint8_t> out) {
    const std::size_t got = f.ReadAt(pos, out);
    pos += out.size();
    return got;
  });
  std::vector<uint8_t> low(w / 4);
  std::span<uint16_t> row = cv.Row();
  for (uint32_t r = 0; r < h; ++r) {
    decoder.DecodeRow(row);
    if (lowBits) {
      f.ReadAt(info.RawStart + uint64_t{r} * (w / 4), low);
      CombineCrwLowBits(row, low);
    }
    for (uint32_t x = 0; x < w; ++x) {
      double v = row[x];
      if (gammaOn && v > 0) v = std::nearbyint(std::pow(v, st.GammaInverse) * gammaScale);
      v *= st.IsCfa ? st.CfaFactor[2 * (r & 1) + (x & 1)] : st.LevelFactor;
      row[x] = RoundClampToWord(v);
    }
    WriteOutputRow(cv, static_cast<uint16_t>(r));
  }
  cv.Input.Close();
}

} // namespace korv
