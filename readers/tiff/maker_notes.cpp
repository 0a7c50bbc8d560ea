// Nikon maker notes start with "Nikon\0", two version bytes, two zero bytes and
// a TIFF header of their own: offsets inside count from its byte-order mark.
// The 0x96 data begin with two version bytes; then four starting predictors,
// the count of curve points and the points; the split row sits at +562 (after
// 2110 more bytes for the versions that insert a block first).
#include "readers/tiff/maker_notes.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "core/numbers.h"
#include "core/text.h"
#include "readers/tiff/exif.h"

namespace korv {

namespace {

// Finds "Nikon\0" then "II*\0" / "MM\0*" after it; the position of the
// byte-order mark, or 0 when there is none.
uint64_t FindNikonTiffHeader(TiffReader& t) {
  const int64_t size = t.file.FileSize();
  static constexpr char Sig[6] = {'N', 'i', 'k', 'o', 'n', '\0'};
  std::vector<uint8_t> block(65536 + 16);
  uint64_t pos = 0;
  unsigned matched = 0;
  uint64_t sigEnd = 0;
  while (pos < static_cast<uint64_t>(size) && sigEnd == 0) {
    const std::size_t got = t.file.ReadAt(pos, std::span<uint8_t>(block.data(), 65536));
    if (got == 0) break;
    for (std::size_t i = 0; i < got; ++i) {
      const char c = static_cast<char>(block[i]);
      if (c == Sig[matched]) {
        if (++matched == 6) {
          sigEnd = pos + i + 1;
          break;
        }
      } else {
        matched = c == Sig[0] ? 1 : 0;
      }
    }
    pos += got;
  }
  if (sigEnd == 0) return 0;
  // The byte-order mark follows within a few bytes (version and padding).
  for (uint64_t p = sigEnd; p < sigEnd + 64 && p + 4 <= static_cast<uint64_t>(size); ++p) {
    const uint8_t a = t.file.U8At(p), b = t.file.U8At(p + 1);
    const uint8_t c = t.file.U8At(p + 2), d = t.file.U8At(p + 3);
    if (a == 'I' && b == 'I' && c == 42 && d == 0) return p;
    if (a == 'M' && b == 'M' && c == 0 && d == 42) return p;
  }
  return 0;
}

void ReadRawParameters(TiffReader& t, uint64_t at, unsigned bits, NikonRawInfo& info) {
  info.HasRawParameters = true;
  info.Version0 = t.file.U8At(at);
  info.Version1 = t.file.U8At(at + 1);
  uint64_t p = at + 2;
  if (info.Version0 == 0x49 || info.Version1 == 0x58) p += 2110;
  std::string line = " Vini:";
  for (unsigned i = 0; i < 4; ++i) {
    info.Stream.InitialPredictor[i] = t.file.U16At(p + 2 * i);
    line += " " + std::to_string(info.Stream.InitialPredictor[i]);
  }
  p += 8;
  const unsigned n = t.file.U16At(p);
  p += 2;
  info.CurvePoints = n;
  line += " Ccal: " + std::to_string(n);
  // Lossless data (version 0x46) carry no curve; 0x44 data with the versions
  // below store sampled points to interpolate; the others store the table.
  // 2^bits below 2^15, else 0 (a damaged depth must not shift by 32 or more).
  unsigned max = bits < 15 ? 1u << bits : 0;
  const unsigned step0 = n > 1 ? max / (n - 1) : 0;
  const bool sampled = info.Version0 == 0x44 &&
                       (info.Version1 == 0x20 || (info.Version1 == 0x40 && step0 > 3)) && step0 > 0;
  if (sampled) {
    unsigned step = step0;
    if (info.Version1 == 0x40) {
      step /= 4;
      max /= 4;
    }
    // Points at every multiple of step, straight lines between them.
    std::vector<uint16_t> pts(n);
    bool ok = true;
    for (unsigned i = 0; i < n; ++i) {
      pts[i] = t.file.U16At(p + 2 * i);
      if (i < 8) line += " " + std::to_string(pts[i]);
      if (i > 0 && pts[i] < pts[i - 1]) ok = false;
    }
    if (bits < 16 && n > 0 && pts[n - 1] >= (1u << bits)) ok = false;
    if (!ok) {
      line += " invalide";
      info.CurveValid = false;
    } else {
      for (unsigned i = 0; i < max && i < NefCurveSize; ++i) {
        const unsigned k = i / step, r = i % step;
        const unsigned a = k < n ? pts[k] : (k * step < NefCurveSize ? k * step : 0);
        const unsigned b = k + 1 < n ? pts[k + 1] : ((k + 1) * step < NefCurveSize ? (k + 1) * step : 0);
        info.Curve[i] = static_cast<uint16_t>((a * (step - r) + b * r) / step);
      }
    }
    info.Stream.SplitRow = t.file.U16At(at + 562);
  } else if (info.Version0 != 0x46 && n > 1 && n <= 0x4001) {
    // A table of n entries (a curve of 0 or 1 point is the identity).
    for (unsigned i = 0; i < n && i < NefCurveSize; ++i) {
      info.Curve[i] = t.file.U16At(p + 2 * i);
      if (i < 8) line += " " + std::to_string(info.Curve[i]);
    }
  }
  t.Line += line;
}

} // namespace

void ReadNikonMakerNote(TiffReader& t, unsigned bits, NikonRawInfo& info) {
  for (std::size_t i = 0; i < NefCurveSize; ++i) info.Curve[i] = static_cast<uint16_t>(i);
  info.Stream.Bits = bits;
  const uint64_t bom = FindNikonTiffHeader(t);
  if (bom == 0) return;
  info.Found = true;
  ImageState& st = t.cv.State;
  const ByteOrder saved = t.file.Order();
  const uint64_t savedBase = t.Base;
  t.file.SetOrder(t.file.U8At(bom) == 'M' ? ByteOrder::Big : ByteOrder::Little);
  t.Base = bom;
  Say(t.cv, "MNT trouv\u00e9 en " + std::to_string(bom));
  const uint32_t first = t.file.U32At(bom + 4);
  const uint64_t dir = bom + (first >= 8 ? first : 8);
  Say(t.cv, " Signe Type  Nombre  Val/Ori Sens");
  const unsigned count = t.file.U16At(dir);
  for (unsigned i = 0; i < count && i < MaxMakerNoteEntries; ++i) {
    const TiffEntry e = ReadTiffEntry(t, dir + 2 + 12 * uint64_t{i});
    t.Line = TiffListingFields(e);
    switch (e.Tag) {
    case 1: {
      t.Line += "Ver:";
      for (uint32_t k = 0; k < e.Count && k < 4; ++k)
        t.Line.push_back(static_cast<char>(t.file.U8At(e.ValuePos + k)));
      break;
    }
    case 2: {
      const double iso = TiffEntryInteger(t, e, 1);
      if (st.DetectorIsoSet != 1 && iso > 0) {
        st.DetectorIso = iso;
        st.DetectorIsoSet = 2;
      }
      t.Line += "ISO " + std::to_string(static_cast<long>(iso));
      break;
    }
    case 0x85: {
      const double f = TiffEntryNumber(t, e, 0);
      if (f != 0 && st.FocalLengthSet != 1) {
        st.FocalLength = f;
        st.FocalLengthSet = 2;
      }
      t.Line += "f " + FormatReal(f);
      break;
    }
    case 0x93: {
      info.CompressionKind = TiffEntryInteger(t, e, 0);
      if (info.CompressionKind == 1 || info.CompressionKind == 4) t.Line += "Perte";
      if (info.CompressionKind == 3) t.Line += "Sans perte";
      break;
    }
    case 0x96:
      ReadRawParameters(t, e.ValuePos, bits, info);
      break;
    case 0x9A: {
      t.Line += "Tailles:";
      const double x = TiffEntryNumber(t, e, 0) * 0.001;
      double y = TiffEntryNumber(t, e, 1) * 0.001;
      if (y == 0) y = x;
      t.Line += " " + FormatReal(x) + " " + FormatReal(y);
      if (x != 0 && st.PixelSizeXSet != 1) {
        st.PixelSizeX = x;
        st.PixelSizeXSet = 2;
      }
      if (y != 0 && st.PixelSizeYSet != 1) {
        st.PixelSizeY = y;
        st.PixelSizeYSet = 2;
      }
      break;
    }
    default:
      t.Line += ListEntryValues(t, e);
      break;
    }
    Say(t.cv, t.Line);
  }
  t.Line.clear();
  t.Base = savedBase;
  t.file.SetOrder(saved);
  // Lossless data carry version 0x46; other versions are lossy. A file of
  // neither kind is taken as lossless when its predictors say so.
  if (info.Version0 == 0x46) {
    info.Stream.Lossless = true;
  } else if (info.Version0 != 0x44) {
    const uint16_t v = info.Stream.InitialPredictor[0];
    info.Stream.Lossless = (bits == 12 && v == 0x200) || (bits == 14 && v == 0x800);
  }
  if (info.Stream.Lossless) info.Stream.SplitRow = 0;
}

void ReadPentaxMakerNote(TiffReader& t) {
  const uint64_t note = t.Base + t.MakerNoteOffset;
  std::array<uint8_t, 10> head{};
  t.file.ReadAt(note, head);
  auto orderAt = [&](std::size_t i, ByteOrder fallback) {
    if (head[i] == 'M' && head[i + 1] == 'M') return ByteOrder::Big;
    if (head[i] == 'I' && head[i + 1] == 'I') return ByteOrder::Little;
    return fallback;
  };
  const ByteOrder saved = t.file.Order();
  const uint64_t savedBase = t.Base;
  uint64_t dir = note;
  if (std::equal(head.begin(), head.begin() + 4, "AOC")) {
    // Offsets count from the TIFF header, as in the rest of the file.
    t.file.SetOrder(orderAt(4, saved));
    dir = note + 6;
  } else if (std::equal(head.begin(), head.begin() + 8, "PENTAX ")) {
    t.file.SetOrder(orderAt(8, saved));
    t.Base = note;
    dir = note + 10;
  } else if (FoldedPos("PENTAX", t.cv.State.DetectorMaker.view()) != 1 &&
             FoldedPos("ASAHI", t.cv.State.DetectorMaker.view()) != 1) {
    return;  // another maker's note of its own kind, not a Pentax one
  }
  const unsigned count = t.file.U16At(dir);
  Say(t.cv, "MNT Pentax en " + std::to_string(note) + " Nde=" + std::to_string(count));
  Say(t.cv, " Signe Type  Nombre  Val/Ori Sens");
  for (unsigned i = 0; i < count && i < MaxMakerNoteEntries; ++i) {
    const TiffEntry e = ReadTiffEntry(t, dir + 2 + 12 * uint64_t{i});
    t.Line = TiffListingFields(e);
    if (e.Tag == 0x220) {
      t.PentaxTablePos = e.ValuePos;
      t.PentaxTableLength = static_cast<uint32_t>(
          std::min<uint64_t>(uint64_t{e.Count} * TiffTypeSize(e.Type), UINT32_MAX));
      t.Line += "Table de Huffman";
    } else {
      t.Line += ListEntryValues(t, e);
    }
    Say(t.cv, t.Line);
  }
  t.Line.clear();
  t.Base = savedBase;
  t.file.SetOrder(saved);
}

void ReadCanonMakerNote(TiffReader& t) {
  ImageState& st = t.cv.State;
  Say(t.cv, "ReL: NoF=" + std::to_string(t.MakerNoteOffset));
  const uint64_t dir = t.Base + t.MakerNoteOffset;
  const unsigned count = t.file.U16At(dir);
  Say(t.cv, "Nde=" + std::to_string(count));
  Say(t.cv, " Signe Type  Nombre  Val/Ori Sens");
  for (unsigned i = 0; i < count && i < MaxMakerNoteEntries; ++i) {
    const TiffEntry e = ReadTiffEntry(t, dir + 2 + 12 * uint64_t{i});
    t.Line = TiffListingFields(e);
    if (e.Tag == 4 && e.ValueMode == 3) {
      // Shot information: the 13th value is the camera temperature + 128.
      const unsigned code = t.file.U16At(e.ValuePos + 24);
      if (code != 0 && st.DetectorTempSet != 1) {
        st.DetectorTemp = static_cast<double>(code) - 128;
        st.DetectorTempSet = 2;
        t.Line += " TmC=" + FormatFixed(st.DetectorTemp, 2);
      }
    } else {
      t.Line += ListEntryValues(t, e);
    }
    Say(t.cv, t.Line);
  }
  t.Line.clear();
}

} // namespace korv
