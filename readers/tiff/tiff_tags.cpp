// Tags of the image structure met in the main directory walk: geometry, bits,
// compression, photometric interpretation, strips, palette, sub-directories,
// colour-filter pattern. Each prints its label on the entry's listing line.

#include <string>

#include "core/conversion.h"
#include "core/numbers.h"
#include "readers/tiff/tiff_walk.h"

namespace korv {
namespace {

// Values of an entry listed after its label (at most 16, then ", ...").
std::string ListValues(TiffReader& t, const TiffEntry& e) {
  std::string s;
  const uint32_t n = e.Count < 16 ? e.Count : 16;
  for (uint32_t i = 0; i < n; ++i) {
    const double v = TiffEntryNumber(t, e, i);
    s += ' ';
    if (e.Type == 5 || e.Type == 10 || e.Type == 11 || e.Type == 12)
      s += FormatFixed(v, 3);
    else
      s += std::to_string(static_cast<int64_t>(v));
  }
  if (e.Count > n) s += ", ...";
  return s;
}

void Refuse(TiffReader& t, const std::string& reason) {
  t.Decodable = false;
  if (t.Refusal.empty()) t.Refusal = reason;
}

bool PlanesTwoToFourEmpty(const TiffReader& t) {
  return t.BitsPerSample[1] == 0 && t.BitsPerSample[2] == 0 && t.BitsPerSample[3] == 0;
}

void HandleCompression(TiffReader& t, uint32_t value) {
  if (value > 65535) value = 0;
  t.CompressionTag = static_cast<uint16_t>(value);
  std::string text;
  bool decoded = true;
  uint32_t code = value;
  switch (value) {
  case 1:
    text = "sans";
    code = CodeNone;
    break;
  case 2:
    text = "CCITT 1D, pas d\u00e9cod\u00e9e";
    decoded = false;
    break;
  case 3:
    text = "G3 fax, pas d\u00e9cod\u00e9e";
    decoded = false;
    break;
  case 4:
    text = "G4 fax, pas d\u00e9cod\u00e9e";
    decoded = false;
    break;
  case 5:
    text = "LZW";
    code = CodeLzw;
    break;
  case 6:
  case 7:
    code = CodeJpeg;
    if (PlanesTwoToFourEmpty(t)) {
      text = "JPEG, sans perte ?";
    } else {
      text = "JPEG, pas d\u00e9cod\u00e9e";
      decoded = false;
    }
    break;
  case 8:
    text = "ZLib, pas d\u00e9cod\u00e9e";
    decoded = false;
    break;
  case 32767:
    text = "Sony - exp\u00e9rimental";
    break;
  case 32769:
    text = "Seiko - exp\u00e9rimental";
    break;
  case 32770:
  case 32772:
    text = "Samsung - exp\u00e9rimental";
    t.MosaicByMaker = true;
    break;
  case 32773:
    text = "PackBits";
    code = CodePackBits;
    break;
  case 34713:
    text = "NEF";
    break;
  case 65000:
    text = "Kodak - pas support\u00e9";
    decoded = false;
    break;
  case 65535:
    text = "Pentax - exp\u00e9rimental";
    break;
  default:
    text = "inconnue, pas d\u00e9cod\u00e9e";
    decoded = false;
    break;
  }
  t.Line += "Compression: " + text;
  if (decoded) {
    t.Compression = code;
  } else {
    Refuse(t, "Compression pas support\u00e9e");
  }
}

void HandlePhotometric(TiffReader& t, uint32_t value) {
  ImageState& st = t.cv.State;
  t.Photometric = static_cast<uint16_t>(value > 65535 ? 65535 : value);
  switch (value) {
  case 0:
    t.Line += "Blanc \u00e0 noir";
    t.InvertMask = 0xFFFF;
    break;
  case 1:
    t.Line += "Noir \u00e0 blanc";
    t.InvertMask = 0;
    break;
  case 2:
  case 5:
  case 6:
  case 8:
    t.Line += ChannelWeightsText(st, true) + " ";
    if (value == 5) {
      t.Line += "CMJN";
      st.AutoByteOutput = 0;
    } else if (value == 6) {
      t.Line += "LCbCr";
    } else if (value == 8) {
      t.Line += "CIELab";
    }
    break;
  case 3:
    t.Line += ChannelWeightsText(st, false) + " Palette";
    break;
  case 4:
    t.Line += "Pas les masques";
    Refuse(t, "Pas les masques");
    break;
  case 32803:
    t.Line += "Pavage APN";
    break;
  default:
    t.Line += std::to_string(value);
    break;
  }
}

void HandleStripOffsets(TiffReader& t, const TiffEntry& e) {
  t.Line += "Origines des bandes";
  if (e.Type != 3 && e.Type != 4) return; // the previous offsets are kept
  t.StripType = e.Type;
  t.StripCount = e.Count;
  t.StripOrigin = TiffEntryInteger(t, e, 0);
  if (e.ValueMode == 3) {
    t.StripTablePos = e.Value;
    t.StripTableInEntry = false;
  } else {
    // The offsets sit in the entry itself.
    t.StripTablePos = e.EntryPos + 8 - t.Base;
    t.StripTableInEntry = true;
    if (e.Count <= 1) t.RowsPerStrip = 0;
  }
}

void HandleOrientation(TiffReader& t, uint32_t value) {
  t.Orientation = static_cast<uint16_t>(value > 65535 ? 0 : value);
  t.Line += "Orientation: ";
  switch (value) {
  case 1:
    t.Line += "normale";
    break;
  case 2:
    t.Line += "GD";
    break;
  case 3:
    t.Line += "HB, DG";
    break;
  case 4:
    t.Line += "HB";
    break;
  default:
    t.Line += "pas trait\u00e9e";
    break;
  }
}

// Sub-directories are numbered right after their parent; only the wanted one
// is entered.
void HandleSubIfds(TiffReader& t, const TiffEntry& e) {
  t.Line += "Pointeurs d'image:" + ListValues(t, e);
  const uint64_t current = t.CurrentNumber;
  const uint64_t wanted = t.WantedNumber;
  if (wanted > current && wanted - current <= e.Count && t.PendingSubIfd == 0) {
    const uint32_t i = static_cast<uint32_t>(wanted - current); // 1-based
    t.PendingSubIfd = TiffEntryInteger(t, e, i - 1);
    t.NextNumber = static_cast<uint32_t>(wanted);
    if (t.PendingSubIfd == 0) t.PendingSubIfd = UINT64_MAX; // a null pointer: no image there
  } else {
    const uint64_t next = uint64_t{t.NextNumber} + e.Count;
    t.NextNumber = static_cast<uint32_t>(next > UINT32_MAX ? UINT32_MAX : next);
  }
}

// TIFF/EP colour codes (0 red, 1 green, 2 blue, then cyan, magenta, yellow,
// white) as the cell codes of the mosaic (1 red, 2 green, 3 blue, 4 other).
uint8_t CellFromTiffColour(uint32_t c) { return c <= 2 ? static_cast<uint8_t>(c + 1) : 4; }

void HandleCfaPattern(TiffReader& t, const TiffEntry& e) {
  ImageState& st = t.cv.State;
  t.Line += "Pavage:" + ListValues(t, e);
  t.CfaPatternSeen = true;
  if (st.CfaPatternGiven) return;
  for (uint32_t i = 0; i < 4 && i < e.Count; ++i)
    st.CfaPattern[i] = CellFromTiffColour(TiffEntryInteger(t, e, i));
}

void HandleSampleFormat(TiffReader& t, const TiffEntry& e) {
  t.Line += "Format des valeurs:" + ListValues(t, e);
  for (uint32_t i = 0; i < e.Count && i < MaxTiffPlanes; ++i) {
    const uint32_t f = TiffEntryInteger(t, e, i);
    if (f == 3) {
      Refuse(t, "Valeurs flottantes pas support\u00e9es");
    } else if (f != 1 && f != 2 && f != 4) {
      Refuse(t, "Format de valeurs pas support\u00e9 : " + std::to_string(f));
    }
  }
}

} // namespace

std::string ChannelWeightsText(const ImageState& st, bool four) {
  std::string s = four ? "rvba={" : "rvb={";
  s += FormatFixed(st.ChannelWeightR, 3) + "," + FormatFixed(st.ChannelWeightV, 3) + "," +
       FormatFixed(st.ChannelWeightB, 3);
  if (four) s += "," + FormatFixed(st.ChannelWeightA, 3);
  return s + "}";
}

void ResetDirectoryState(TiffReader& t) {
  if (t.FileKind != TiffFileKind::Mrw) {
    t.BitsPerSample = {};
    t.Photometric = 1;
  }
  t.Compression = CodeNone;
  t.CompressionTag = 1;
  t.InvertMask = 0;
  t.FillReversed = false;
  t.Predictor = 0;
  t.SampleFormat = 1;
  t.SamplesPerPixel = 1;
  t.PlanarConfig = 1;
  t.Orientation = 1;
  t.PaletteOffset = 0;
  t.PaletteCount = 0;
  t.RowsPerStrip = 0;
  t.TiledImage = false;
  t.YCbCrSubsampling = {2, 2};
  t.CfaPatternSeen = false;
  t.ReducedImage = false;
}

bool HandleImageTag(TiffReader& t, const TiffEntry& e) {
  const uint32_t v = e.Value;
  switch (e.Tag) {
  case 254:
    t.Line += "Nouvelle image";
    t.ReducedImage = (v & 1) != 0;
    if (v == 0) t.Line += " - normale";
    if (v == 1) t.Line += " - miniature";
    return true;
  case 256:
  case 40962:
    t.Line += "Nph";
    if (t.FileKind != TiffFileKind::Mrw) t.ImageWidth = TiffEntryInteger(t, e, 0);
    return true;
  case 257:
  case 40963:
    t.Line += "Npv";
    if (t.FileKind != TiffFileKind::Mrw) t.ImageHeight = TiffEntryInteger(t, e, 0);
    return true;
  case 258:
    t.Line += "Binons par valeur" + ListValues(t, e);
    // Planes the entry does not list have no bits: a one-plane raw below a
    // three-plane thumbnail must not keep the thumbnail's planes.
    t.BitsPerSample = {};
    for (uint32_t i = 0; i < e.Count && i < MaxTiffPlanes; ++i) {
      const uint32_t b = TiffEntryInteger(t, e, i);
      t.BitsPerSample[i] = static_cast<uint8_t>(b > 255 ? 255 : b);
    }
    return true;
  case 259:
    HandleCompression(t, TiffEntryInteger(t, e, 0));
    return true;
  case 262:
    HandlePhotometric(t, TiffEntryInteger(t, e, 0));
    return true;
  case 266:
    if (TiffEntryInteger(t, e, 0) == 2) {
      t.Line += "Assemblage d'octet: invers\u00e9";
      t.FillReversed = true;
    } else {
      t.Line += "Assemblage d'octet: normal";
      t.FillReversed = false;
    }
    return true;
  case 273:
    HandleStripOffsets(t, e);
    return true;
  case 274:
    HandleOrientation(t, TiffEntryInteger(t, e, 0));
    return true;
  case 277:
    t.Line += "Valeur(s) par pixel";
    t.SamplesPerPixel = static_cast<uint16_t>(TiffEntryInteger(t, e, 0));
    return true;
  case 278:
    t.Line += "Ligne(s) par bande";
    t.RowsPerStrip = TiffEntryInteger(t, e, 0);
    return true;
  case 279:
    t.Line += "Tailles des bandes";
    t.FirstStripBytes = TiffEntryInteger(t, e, 0);
    return true;
  case 280:
    t.Line += "Valeur min";
    return true;
  case 281:
    t.Line += "Valeur max";
    return true;
  case 282:
  case 283:
    t.Line += (e.Tag == 282 ? "Nph/unit\u00e9: " : "Npv/unit\u00e9: ") +
              FormatFixed(TiffEntryNumber(t, e, 0), 3);
    return true;
  case 284: {
    const uint32_t planar = TiffEntryInteger(t, e, 0);
    t.PlanarConfig = static_cast<uint16_t>(planar);
    if (planar == 1) {
      t.Line += "Plan unique";
    } else if (t.Photometric < 2) {
      t.Line += "Mauvais nombre de plans";
    } else {
      t.Line += "Seulement plan unique";
      Refuse(t, "Seulement plan unique");
    }
    return true;
  }
  case 296:
    t.Line += v < 2 ? "Unit\u00e9: ?" : v == 2 ? "Unit\u00e9: pouce" : "Unit\u00e9: cm";
    return true;
  case 297:
    t.Line += "Page:" + ListValues(t, e);
    return true;
  case 317:
    t.Line += "Pr\u00e9dicteur";
    t.Predictor = TiffEntryInteger(t, e, 0) >= 2 ? 1 : 0;
    return true;
  case 320:
    if (t.Photometric == 3 || t.Photometric == 255) {
      t.Line += "Origine de la palette";
      t.PaletteOffset = e.ValuePos;
      t.PaletteCount = e.Count / 3;
    } else {
      t.Line += ": hors-norme !";
    }
    return true;
  case 322:
  case 323:
  case 324:
  case 325:
    t.Line += e.Tag == 322 ? "Largeur des tuiles" : e.Tag == 323 ? "Hauteur des tuiles"
              : e.Tag == 324                      ? "Origines des tuiles"
                                                  : "Tailles des tuiles";
    t.TiledImage = true;
    return true;
  case 330:
    HandleSubIfds(t, e);
    return true;
  case 336:
    t.Line += "Fourchette:" + ListValues(t, e);
    return true;
  case 338:
    t.Line += "Valeur(s) suppl\u00e9mentaire(s)";
    return true;
  case 339:
    HandleSampleFormat(t, e);
    return true;
  case 530:
    t.Line += "Sous-\u00e9chantillonnage:" + ListValues(t, e);
    t.YCbCrSubsampling = {static_cast<uint16_t>(TiffEntryInteger(t, e, 0)),
                          static_cast<uint16_t>(TiffEntryInteger(t, e, 1))};
    return true;
  case 513:
    t.Line += "Flux JPEG, origine";
    t.StripOrigin = v;
    return true;
  case 514:
    t.Line += "Flux JPEG, taille";
    return true;
  case 33421:
    t.Line += "Structure du pavage:" + ListValues(t, e);
    return true;
  case 33422:
    HandleCfaPattern(t, e);
    return true;
  default:
    return false;
  }
}

} // namespace korv
