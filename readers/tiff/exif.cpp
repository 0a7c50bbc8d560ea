// EXIF and TIFF metadata tags. Dates: the first valid one met wins, so a
// DateTime of the first directory goes before the EXIF DateTimeOriginal.
// ISO from the main directory replaces one given in the options; one from the
// EXIF sub-directory does not. GPS references are single bytes; a latitude
// reference 6 is taken as N and a longitude reference 0 as W, as some cameras
// write them.
#include "readers/tiff/exif.h"

#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include "core/conversion.h"
#include "core/julian.h"
#include "core/numbers.h"
#include "core/text.h"
#include "readers/tiff/camera_rules.h"
#include "readers/tiff/maker_notes.h"
#include "readers/tiff/tiff_hooks.h"

namespace korv {

namespace {

// Bytes of a text value read for listing and storing.
constexpr std::size_t MaxTextBytes = 4096;

std::string ReadText(TiffReader& t, const TiffEntry& e) {
  const std::size_t n = e.Count < MaxTextBytes ? e.Count : MaxTextBytes;
  std::vector<uint8_t> b(n);
  TiffEntryBytes(t, e, b);
  return std::string(b.begin(), b.end());
}

// The value at index 0 read by its type, for the numeric EXIF tags of the main
// walk: bytes, 16 and 32-bit integers and rationals; other types give 0.
double NumericValue(TiffReader& t, const TiffEntry& e) {
  switch (e.Type) {
  case 1:
  case 3:
  case 4:
  case 5:
    return TiffEntryNumber(t, e, 0);
  default:
    return 0;
  }
}

bool DateAllowed(const TiffReader& t) {
  return !t.DateTaken && !t.DateTakenSecond && t.cv.State.DateObs == 0;
}

void TakeDate(TiffReader& t, const std::string& text) {
  if (!DateAllowed(t)) return;
  double jd = 0;
  if (!ParseExifDate(text, jd)) return;
  ImageState& st = t.cv.State;
  st.DateObs = jd;
  st.DateRef = 1;
  t.DateTaken = true;
  t.DateTakenSecond = true;
}

const char* TextLabel(uint16_t tag) {
  switch (tag) {
  case 269: return "Document: ";
  case 270: return "Description: ";
  case 271: return "Marque: ";
  case 272: return "Appareil: ";
  case 285: return "Page: ";
  case 305: return "Logiciel: ";
  case 306: return "Acquisition: ";
  case 315: return "Auteur: ";
  case 532: return "Vecteurs N/B: ";
  case 700: return "XML: ";
  case 33432: return "(C): ";
  case 36867: return "Cr\u00e9ation: ";
  case 36868: return "Num\u00e9risation: ";
  case 37510: return "Commentaire: ";
  case 50711: return "GCa: ";
  case 50719: return "CZD: ";
  case 50720: return "CZF: ";
  case 50721: return "MC1: ";
  case 50722: return "MC2: ";
  case 50723: return "CC1: ";
  case 50724: return "CC2: ";
  case 50727: return "BCo: ";
  case 50728: return "BNe: ";
  case 50729: return "BBl: ";
  case 50735: return "CnS: ";
  case 50778: return "IC1: ";
  case 50779: return "IC2: ";
  case 51041: return "Bruits: ";
  default: return nullptr;
  }
}

void HandleTextTag(TiffReader& t, const TiffEntry& e, const char* label) {
  ImageState& st = t.cv.State;
  t.Line += label;
  if (e.Type != 2) {
    t.Line += ListEntryValues(t, e);
    return;
  }
  const std::string raw = ReadText(t, e);
  const std::string text = CleanText(raw);
  t.Line += WrapListing(text);
  switch (e.Tag) {
  case 271:
    st.DetectorMaker = text;
    break;
  case 272:
    st.Detector = text;
    if (!t.ImageNumberGiven) ApplyModelImageRule(t);
    break;
  case 305:
    st.Creator = text.substr(0, text.find(' '));
    break;
  case 306:
  case 36867:
    TakeDate(t, text);
    break;
  case 315:
    st.Observer = text;
    break;
  default:
    break;
  }
}

void SetUnlessOption(double& field, uint8_t& set, double v) {
  if (v == 0 || set == 1) return;
  field = v;
  set = 2;
}

void HandleLinearisation(TiffReader& t, const TiffEntry& e) {
  t.Line += "Ccal:";
  if (e.Count > LookupTableSize) {
    t.Line += " pas utilis\u00e9e";
    return;
  }
  for (uint32_t i = 0; i < e.Count; ++i) {
    t.LookupTable[i] = static_cast<uint16_t>(TiffEntryInteger(t, e, i));
    if (i < 16) t.Line += " " + std::to_string(t.LookupTable[i]);
  }
  if (e.Count > 16) t.Line += ", ...";
  // Values beyond the table take its last entry.
  const uint16_t last = e.Count > 0 ? t.LookupTable[e.Count - 1] : 0;
  for (std::size_t i = e.Count; i < LookupTableSize; ++i) t.LookupTable[i] = last;
  t.LookupFill = e.Count;
}

// Focal-plane resolution tags, in the main walk and in the EXIF directory.
void HandleFocalPlane(TiffReader& t, const TiffEntry& e, double v) {
  if (e.Tag == 41486) {
    t.FocalPlaneResX = static_cast<float>(v);
    t.FocalPlaneResY = static_cast<float>(v);
    t.FocalPlaneUnit = v <= 3000 ? 3 : 2;
  } else if (e.Tag == 41487) {
    t.FocalPlaneResY = static_cast<float>(v);
  } else {
    t.FocalPlaneUnit = static_cast<uint8_t>(v == 2 || v == 3 ? v : 0);
  }
}

void ListGpsReference(TiffReader& t, const TiffEntry& e, std::array<char, 8>& refs) {
  const uint8_t b = t.file.U8At(e.ValuePos);
  char c = static_cast<char>(b);
  if (b == '+' || b == '-' || (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z')) {
    t.Line += " ";
    t.Line.push_back(c);
  } else {
    t.Line += " #" + std::to_string(b) + " - signe mal cod\u00e9 !";
  }
  if (e.Tag == 1 && b == 6) c = 'N';
  if (e.Tag == 3 && b == 0) c = 'W';
  refs[e.Tag] = c;
}

void ReadGpsDirectory(TiffReader& t) {
  ImageState& st = t.cv.State;
  Say(t.cv, "Rel: Loc=" + std::to_string(t.GpsOffset));
  const uint64_t dir = t.Base + t.GpsOffset;
  const unsigned count = t.file.U16At(dir);
  Say(t.cv, "Nde=" + std::to_string(count));
  Say(t.cv, "Signe Type  Nombre");
  std::array<char, 8> refs{};
  bool below = false;
  for (unsigned i = 0; i < count && i < MaxExifEntries; ++i) {
    const TiffEntry e = ReadTiffEntry(t, dir + 2 + 12 * uint64_t{i});
    t.Line = TiffListingFields(e);
    switch (e.Tag) {
    case 1:
    case 3:
      ListGpsReference(t, e, refs);
      break;
    case 2:
    case 4: {
      double deg = TiffEntryNumber(t, e, 0) + TiffEntryNumber(t, e, 1) / 60 +
                   TiffEntryNumber(t, e, 2) / 3600;
      if ((e.Tag == 2 && refs[1] == 'S') || (e.Tag == 4 && refs[3] == 'W')) deg = -deg;
      t.Line += (e.Tag == 2 ? " Lat=" : " Lon=") + FormatFixed(deg, 4);
      if (deg != 0) {
        if (e.Tag == 2)
          st.ObsLatitude = deg * std::numbers::pi / 180;
        else
          st.ObsLongitude = deg * std::numbers::pi / 180;
      }
      break;
    }
    case 5: {
      const uint32_t v = TiffEntryInteger(t, e, 0);
      if (v == 1)
        below = true;
      else if (v != 0)
        t.Line += " - signe mal cod\u00e9 !";
      break;
    }
    case 6: {
      double alt = TiffEntryNumber(t, e, 0);
      if (below) alt = -alt;
      t.Line += " Alt=" + FormatReal(alt);
      if (st.ObsAltitudeSet != 1 && alt != 0) {
        st.ObsAltitude = alt;
        st.ObsAltitudeSet = 2;
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
}

void ReadExifDirectory(TiffReader& t) {
  ImageState& st = t.cv.State;
  Say(t.cv, "Rel: Exif=" + std::to_string(t.ExifOffset));
  if (!t.FocalPlaneFromExif) {
    t.FocalPlaneResX = t.FocalPlaneResY = 0;
    t.FocalPlaneUnit = 0;
  }
  const uint64_t dir = t.Base + t.ExifOffset;
  const unsigned count = t.file.U16At(dir);
  Say(t.cv, "Nde=" + std::to_string(count));
  Say(t.cv, " Signe Type  Nombre  Val/Ori Sens");
  for (unsigned i = 0; i < count && i < MaxExifEntries; ++i) {
    const TiffEntry e = ReadTiffEntry(t, dir + 2 + 12 * uint64_t{i});
    t.Line = TiffListingFields(e);
    const double v = TiffEntryNumber(t, e, 0);
    switch (e.Tag) {
    case 33434:
      t.Line += "Dex " + FormatReal(v);
      if (v != 0) st.Exptime = v;
      break;
    case 33437:
      t.Line += "F/D " + FormatReal(v);
      break;
    case 34855:
      t.Line += "Sen " + FormatReal(v);
      SetUnlessOption(st.DetectorIso, st.DetectorIsoSet, v);
      break;
    case 36867: {
      const std::string text = CleanText(ReadText(t, e));
      t.Line += "Dat " + text;
      TakeDate(t, text);
      break;
    }
    case 36868:
      t.Line += "Da2 " + CleanText(ReadText(t, e));
      break;
    case 37386:
      t.Line += "Foc " + FormatReal(v);
      SetUnlessOption(st.FocalLength, st.FocalLengthSet, v);
      break;
    case 37500:
      t.Line += "ReL: NoF";
      t.MakerNoteOffset = e.Value;
      break;
    case 41486:
    case 41487:
    case 41488:
      t.Line += e.Tag == 41486 ? "Rxu " : e.Tag == 41487 ? "Ryu " : "Run ";
      t.Line += FormatReal(v);
      HandleFocalPlane(t, e, v);
      if (e.Tag == 41488) t.FocalPlaneFromExif = true;
      break;
    default:
      t.Line += ListEntryValues(t, e);
      break;
    }
    Say(t.cv, t.Line);
  }
  t.Line.clear();
}

} // namespace

std::string FormatReal(double v) {
  if (!std::isfinite(v)) return "0";
  const double a = std::fabs(v);
  int decimals = 0;
  if (a != 0 && a < 1e9) {
    const int digits = a >= 1 ? static_cast<int>(std::floor(std::log10(a))) + 1 : 0;
    decimals = 6 - digits;
    if (a < 1) decimals = 6 - static_cast<int>(std::floor(std::log10(a))) - 1;
    if (decimals < 0) decimals = 0;
    if (decimals > 12) decimals = 12;
  }
  std::string s = FormatFixed(v, decimals);
  if (s.find('.') != std::string::npos) {
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
  }
  return s;
}

std::string ListEntryValues(TiffReader& t, const TiffEntry& e) {
  if (e.Type == 2) return CleanText(ReadText(t, e));
  if (e.Type == 7) return "";
  std::string s;
  const uint32_t n = e.Count < 16 ? e.Count : 16;
  for (uint32_t i = 0; i < n; ++i) s += " " + FormatReal(TiffEntryNumber(t, e, i));
  if (e.Count > 16) s += ", ...";
  return s;
}

std::string CleanText(std::string_view raw) {
  std::string s;
  for (char ch : raw) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == 0) break;
    const char out = (c < 32 || c == 127) ? ' ' : ch;
    if (out == ' ' && (s.empty() || s.back() == ' ')) continue;
    s.push_back(out);
  }
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string WrapListing(std::string_view text) {
  std::string s;
  for (std::size_t i = 0; i < text.size(); i += 50) {
    if (i) s += "\n" + std::string(28, ' ');
    s += text.substr(i, 50);
  }
  return s;
}

bool ParseExifDate(std::string_view text, double& jd) {
  if (text.size() < 10) return false;
  const std::string_view year = text.substr(0, 4);
  if (year == "0000" || year == "9999") return false;
  auto part = [&](std::size_t at, std::size_t n) {
    return at < text.size() ? ParseInteger(text.substr(at, n)) : 0;
  };
  const int y = part(0, 4), mo = part(5, 2), d = part(8, 2);
  const int h = part(11, 2), mi = part(14, 2), sec = part(17, 2);
  if (y <= 0 || mo < 1 || mo > 12 || d < 1 || d > 31) return false;
  jd = JulianDate(y, mo, d + h / 24.0 + mi / 1440.0 + sec / 86400.0);
  return true;
}

void HandleMetadataTag(TiffReader& t, const TiffEntry& e) {
  ImageState& st = t.cv.State;
  if (const char* label = TextLabel(e.Tag)) {
    HandleTextTag(t, e, label);
    return;
  }
  const double v = NumericValue(t, e);
  switch (e.Tag) {
  case 33434:
    t.Line += "Exif, dur\u00e9e: " + FormatReal(v);
    if (v != 0) st.Exptime = v;
    return;
  case 33437:
    t.Line += "Exif, F/D: " + FormatReal(v);
    return;
  case 33723:
    t.Line += "Exif, IPTC";
    return;
  case 34665:
    t.Line += "ReL: Exif";
    t.ExifOffset = e.Value;
    return;
  case 34850:
    t.Line += "Exif, programme";
    return;
  case 34853:
    t.Line += "ReL: Loc";
    t.GpsOffset = e.Value;
    return;
  case 34855:
    t.Line += "Exif, sensibilit\u00e9: " + FormatReal(v);
    if (v != 0) {
      st.DetectorIso = v;
      st.DetectorIsoSet = 2;
    }
    return;
  case 37386:
    t.Line += "Exif, f: " + FormatReal(v);
    SetUnlessOption(st.FocalLength, st.FocalLengthSet, v);
    return;
  case 40961:
    t.Line += v == 1 ? "Exif, RVBs" : "Exif, couleurs non-calibr\u00e9es";
    return;
  case 41486:
  case 41487:
    t.Line += (e.Tag == 41486 ? "Nph/unit\u00e9: " : "Npv/unit\u00e9: ") + FormatReal(v);
    HandleFocalPlane(t, e, v);
    return;
  case 41488:
    t.Line += v == 2 ? "Unit\u00e9: pouce" : v == 3 ? "Unit\u00e9: cm" : "Unit\u00e9: ?";
    HandleFocalPlane(t, e, v);
    return;
  case 50706:
  case 50707:
    t.DngSeen = true;
    t.Line += "Dng, version:" + ListEntryValues(t, e);
    return;
  case 50712:
    HandleLinearisation(t, e);
    return;
  case 50752:
    t.Line += "M\u00e9lange:";
    for (uint32_t i = 0; i < 3; ++i) {
      t.CanonSlices[i] = static_cast<uint16_t>(TiffEntryInteger(t, e, i));
      t.Line += " " + std::to_string(t.CanonSlices[i]);
    }
    return;
  case 50649:
    if (StartsWith(st.Detector.view(), "Canon EOS") && t.CurrentNumber == t.WantedNumber)
      t.Compression = CodeNone;
    t.Line += ListEntryValues(t, e);
    return;
  default:
    t.Line += "? " + ListEntryValues(t, e);
    return;
  }
}

void ReadMetadataDirectories(TiffReader& t) {
  ImageState& st = t.cv.State;
  if (t.ExifOffset != 0) ReadExifDirectory(t);
  if (t.MakerNoteOffset != 0 && FoldedPos("CANON", st.Detector.view()) > 0) ReadCanonMakerNote(t);
  // Pentax notes, and those of the cameras sharing Pentax's compressed data.
  if (t.MakerNoteOffset != 0 && (FoldedPos("PENTAX", st.DetectorMaker.view()) == 1 ||
                                 FoldedPos("ASAHI", st.DetectorMaker.view()) == 1 ||
                                 t.Compression == 65535)) {
    ReadPentaxMakerNote(t);
  }
  if (t.GpsOffset != 0) ReadGpsDirectory(t);
  ApplyDirectoryRules(t);
}

} // namespace korv
