// FITS files: plain, multi-extension, cubes, this program's own row-compressed
// files and tile-compressed images (ZIMAGE tables). Headers are walked twice:
// once for the structure of every HDU, once for the metadata of the images kept.
// Cards may be separated by line ends, may hold NUL bytes, and a header may end
// without END; the many vendor spellings of metadata keywords are recognised.
#include "readers/fits/fits_reader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <string>
#include <utility>

#include "core/byte_reader.h"
#include "core/conversion.h"
#include "core/julian.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/text.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/fits/fits_data_reader.h"
#include "readers/fits/metadata.h"
#include "readers/fits/prof_var_decoder.h"
#include "readers/readers.h"

namespace korv {

namespace {

constexpr int64_t FitsBlock = 2880;
constexpr unsigned CardBytes = 80;
constexpr unsigned MaxHdus = 116;
// A header of more cards than this is a file read as cards, not a header.
constexpr unsigned MaxHeaderCards = 100000;
// Output that may come from bytes the file does not hold.
constexpr double ArcsecPerRadian = 206264.80624709636;

constexpr std::string_view MsgNotFits = "Pas du fits !";
constexpr std::string_view MsgAlreadyConverted = "Image d\u00e9j\u00e0 convertie";
constexpr std::string_view MsgPlaneRange = "Seulement 1<=sim<=";
constexpr std::string_view MsgTooShort = "Fichier trop court pour l'image d\u00e9clar\u00e9e";
constexpr std::string_view MsgNoImage = "Pas d'image dans le fichier";
constexpr std::string_view MsgRandomGroups = "Groupes al\u00e9atoires pas support\u00e9s";
constexpr std::string_view MsgTooWide = "Image trop large : plus de 30000 pixels par ligne";
constexpr std::string_view MsgTooTall = "Image trop haute : plus de 65535 lignes";

std::string Num(int64_t v) { return std::to_string(v); }

int64_t RoundUpToBlock(int64_t v) { return (v + FitsBlock - 1) / FitsBlock * FitsBlock; }

// a * b, saturating at a bound no file reaches (operands are not negative).
int64_t SatMul(int64_t a, int64_t b) {
  constexpr int64_t cap = int64_t{1} << 62;
  if (a == 0 || b == 0) return 0;
  if (a > cap / b) return cap;
  return a * b;
}

int64_t SatAdd(int64_t a, int64_t b) {
  constexpr int64_t cap = int64_t{1} << 62;
  return a > cap - b ? cap : a + b;
}

// Bytes per sample of a BITPIX, 0 when the value is not a FITS sample type.
int64_t SampleBytes(int64_t bitpix) {
  switch (bitpix) {
  case 8: return 1;
  case 16: return 2;
  case 32:
  case -32: return 4;
  case 64:
  case -64: return 8;
  default: return 0;
  }
}

// A keyword that cannot start a card: the bytes are data, not a header.
bool IsGarbageKeyword(std::string_view keyword) {
  if (keyword.empty()) return false;
  const unsigned char c = FoldUpperByte(static_cast<unsigned char>(keyword[0]));
  return !(c == ' ' || c == '_' || (c >= 'A' && c <= 'Z'));
}

bool IsChecksumKeyword(std::string_view k) {
  return In(k, {"CHECKSUM", "DATASUM", "DATAMD5", "ZHECKSUM", "ZDATASUM"});
}

void Detected(Conversion& cv, uint8_t code, std::string_view name) {
  cv.State.SourceSoftware = code;
  Text line = "Bul=";
  line += name;
  Say(cv, line);
}

// Reads one card at the current file position. Line ends in front of a card are
// skipped so that text files with one card per line still read card by card.
// Returns false at the end of the file.
bool ReadCard(Conversion& cv, ShortText<CardBytes>& card, bool& hadNul) {
  std::array<char, CardBytes> buf{};
  const std::size_t n = cv.Input.Read(buf.data(), buf.size());
  hadNul = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (buf[i] == '\0') {
      buf[i] = ' ';
      hadNul = true;
    }
  }
  card.assign(std::string_view(buf.data(), n));
  while (!card.empty() && (card[0] == '\n' || card[0] == '\r')) {
    card.erase(0, 1);
    char c = 0;
    if (cv.Input.Read(&c, 1) == 1) card.push_back(c == '\0' ? ' ' : c);
  }
  return !card.empty();
}

Text CardKeyword(const ShortText<CardBytes>& card) {
  Text k = card.substr(0, 8);
  TrimHeaderValue(k);
  return k;
}

// Per-HDU structure found by the first pass.
struct HduInfo {
  int64_t Bitpix = 0;
  bool NaxisSeen = false;
  int64_t Naxis = 0;
  int64_t Width = 0;
  int64_t Height = 0;
  uint8_t Compression = 0;
  double Bzero = 0;
  double Bscale = 1;
  int64_t Planes = 1;
  int64_t CompressedLength = 0;
  bool Table = false;
  bool BinTable = false;
  // For the size of the data: every axis as declared, and the table heap.
  int64_t Axis1 = 0;
  int64_t OtherAxes = 1; // NAXIS2 .. NAXISn
  int64_t Pcount = 0;
  int64_t Gcount = 1;
  bool Groups = false;
  Text DeferredRice; // COMPRESS/ZCMPTYPE of a table, applied when it is no tile image
  bool SeenAxis[1000] = {};
};

// What the first pass leaves for the second: the timing of cube planes, and
// whether the primary header holds only keywords for its extensions.
struct CubeTiming {
  bool Cube = false;
  bool PrimaryHeaderOnly = false;
  bool FrameSet = false, GpsStartSet = false, CycleSet = false, GpsIntervalSet = false;
  double FrameTime = 0, GpsStart = 0, Cycle = 0, GpsInterval = 0;
};

// EXPTIME and its synonyms: the comment says the unit.
void ApplyExposure(ImageState& s, double value, std::string_view comment) {
  if (Contains(comment, "MILLI") || Contains(comment, " MS") || Contains(comment, "[MS")) {
    s.Exptime = value * 0.001;
    return;
  }
  bool minutes = Contains(comment, "[M") || Contains(comment, "MIN");
  for (std::size_t p = comment.find(" M"); !minutes && p != std::string_view::npos;
       p = comment.find(" M", p + 1))
    if (comment.substr(p, 6) != " MIDAS") minutes = true;
  s.Exptime = minutes ? value * 60.0 : value;
}

bool IsExposureKeyword(std::string_view k, uint8_t sourceSoftware) {
  if (k == "TIMEFF") return sourceSoftware != 10;
  return In(k, {"EXPTIME", "RIDPOS", "TEXP", "TIME_EXP", "EXP_TIME"});
}

// RICE_k_m (or RICE_m): this program's own per-sample Rice code.
void ApplyRice(ImageState& s, HduInfo& h, std::string_view value) {
  Text v = value;
  const std::size_t first = v.find('_');
  v.erase(0, first == std::string_view::npos ? v.size() : first + 1);
  const std::size_t second = v.find('_');
  if (second == std::string_view::npos) {
    s.RiceBits = 0;
    s.RiceLimit = ParseInteger(v);
  } else {
    s.RiceBits = ParseInteger(v.substr(0, second));
    s.RiceLimit = ParseInteger(v.substr(second + 1));
  }
  h.Compression = 3;
  h.Table = false;
}

int64_t AxisValue(int32_t v) { return v < 0 ? 0 : v; }

// One card of the first pass. Returns false when the card ends the header.
bool Pass1Card(Conversion& cv, uint16_t variant, HduInfo& h, CubeTiming& timing,
               TileCompression& tile, std::string_view keyword, std::string_view field) {
  ImageState& s = cv.State;
  if (keyword == "END") return false;
  if (IsChecksumKeyword(keyword)) return true;
  const CardValue cvv = SplitCardValue(field);
  const std::string_view value = cvv.Value.view();
  const std::string_view comment = cvv.Comment.view();
  const int32_t integer = ParseInteger(value);
  const double real = ParseReal(value);
  if (h.BinTable) NoteTileCard(tile, keyword, value);

  if (keyword == "SIMPLE") {
    if (s.SourceSoftware == 0) {
      if (Contains(comment, "BASIC FORMAT"))
        Detected(cv, 11, "MEADE");
      else if (Contains(comment, "CCDSOFT")) {
        if (Contains(comment, "BISQUE 2"))
          s.SourceSoftware = 4;
        else
          Detected(cv, 3, "CCDSOFT");
      }
    }
  } else if (keyword == "BITPIX") {
    h.Bitpix = integer;
    if (s.SourceSoftware == 0 && Contains(comment, "ASTROART")) Detected(cv, 2, "ASTROART");
  } else if (keyword == "ORIGIN") {
    s.Origin = value;
    if (s.SourceSoftware == 0 && FoldUpper(value) == "CAMERA_1.0" && h.Width == 2066 &&
        h.Height == 2048)
      Detected(cv, 12, "TAROT1");
  } else if (keyword == "BUGCOLS") {
    if (integer != 0 && s.SourceSoftware == 12) Detected(cv, 13, "TAROT2");
  } else if (keyword == "TELESCOP") {
    if (value == "DK-1.54" && s.SourceSoftware == 0) Detected(cv, 14, "D154");
  } else if (In(keyword, {"SOFTWARE", "CREATOR", "SWCREATE"})) {
    Text rest = value;
    Text item;
    TakeItemSeparator(rest, item);
    Text creator = s.Creator;
    MergeList(creator, decltype(s.Creator)::Capacity, FoldUpper(item));
    s.Creator = creator;
    const bool compressing = s.CompressPrevPixel || s.CompressProfVar;
    const bool sameKind = (variant == 0 && !compressing) || (variant == 1 && compressing);
    if (s.FullOutput && Contains(value, "KORVALIX") && sameKind) {
      Say(cv, MsgAlreadyConverted);
      Finish(cv, true);
    }
  } else if (keyword == "MIRORX" || keyword == "MIRORY") {
    if (value == "T" && FoldedPos("PRISM", s.Creator) != 0 && s.FollowFileOrientation) {
      uint8_t& flag = keyword == "MIRORX" ? s.MirrorX : s.FlipY;
      flag = flag ? 0 : 1;
    }
  } else if (keyword == "XTENSION") {
    if (value == "COMPRESS")
      h.Compression = 1;
    else if (value == "TABLE")
      h.Table = true;
    else if (value == "BINTABLE") {
      h.Table = true;
      h.BinTable = true;
      NoteTileCard(tile, keyword, value);
    }
  } else if (keyword == "COMPRES1") {
    if (value == "PREVPIXEL")
      h.Compression = 2;
    else if (value == "PROF-VAR")
      h.Compression = 4;
  } else if (keyword == "COMPRESS" || keyword == "ZCMPTYPE") {
    if (Contains(FoldUpper(value), "RICE")) {
      if (h.BinTable)
        h.DeferredRice = value;
      else
        ApplyRice(s, h, value);
    }
  } else if (keyword == "NAXIS") {
    h.NaxisSeen = true;
    h.Naxis = AxisValue(integer);
    if (h.Naxis == 1) {
      // A single axis is one row.
      h.Naxis = 2;
      h.SeenAxis[2] = true;
      if (h.Compression == 0 || h.Compression == 3) h.Height = 1;
    }
  } else if (keyword == "NAXIS1") {
    h.Axis1 = AxisValue(integer);
    if (h.Compression == 0 || h.Compression == 3)
      h.Width = AxisValue(integer);
    else
      h.CompressedLength = AxisValue(integer);
  } else if (keyword == "LAXIS1") {
    if (h.Compression == 1 || h.Compression == 2) h.Width = AxisValue(integer);
  } else if (keyword == "NAXIS2") {
    h.OtherAxes = SatMul(h.OtherAxes, AxisValue(integer));
    h.SeenAxis[2] = true;
    if (h.Compression == 0 || h.Compression == 3) h.Height = AxisValue(integer);
  } else if (keyword == "LAXIS2") {
    if (h.Compression == 1 || h.Compression == 2) h.Height = AxisValue(integer);
  } else if (keyword.size() > 5 && StartsWith(keyword, "NAXIS") && IsDigit(keyword[5])) {
    const int32_t n = ParseInteger(keyword.substr(5));
    if (n >= 3 && n < 1000 && !h.SeenAxis[n]) {
      h.SeenAxis[n] = true;
      h.OtherAxes = SatMul(h.OtherAxes, AxisValue(integer));
    }
    if (keyword == "NAXIS3" && integer >= 1) {
      h.Planes = integer;
      Say(cv, "N3d=" + Num(h.Width) + "x" + Num(h.Height) + "x" + Num(h.Planes));
    }
  } else if (keyword == "PCOUNT") {
    h.Pcount = AxisValue(integer);
  } else if (keyword == "GCOUNT") {
    h.Gcount = AxisValue(integer);
  } else if (keyword == "GROUPS") {
    h.Groups = value == "T";
  } else if (keyword == "BZERO" || keyword == "BSCALE") {
    if (!(s.SourceSoftware == 11 && h.Bitpix == 8))
      (keyword == "BZERO" ? h.Bzero : h.Bscale) = real;
  } else if (keyword == "DATE-OBS") {
    if (value.size() >= 6 && !(s.DateKnown && s.TimeKnown)) {
      DecodeDateObs(cv, value);
      s.DateRef = 1;
      s.DateSeenInFirstPass = 1;
    }
  } else if (IsExposureKeyword(keyword, s.SourceSoftware)) {
    ApplyExposure(s, real, comment);
  } else if (keyword == "FRAME") {
    timing.FrameTime = IsoInstant(value);
    timing.FrameSet = true;
  } else if (keyword == "GPSSTART") {
    timing.GpsStart = IsoInstant(value);
    timing.GpsStartSet = true;
  } else if (keyword == "ACT") {
    timing.Cycle = real;
    timing.CycleSet = true;
  } else if (keyword == "GPS-INT") {
    timing.GpsInterval = real * 0.001;
    timing.GpsIntervalSet = true;
  } else if (IsGarbageKeyword(keyword)) {
    return false;
  }
  return true;
}

// Bytes of the data that follow a header, as the FITS rules size them.
int64_t DataBytes(const HduInfo& h) {
  if (h.Compression != 0 && h.Compression != 5) return h.CompressedLength;
  const int64_t bytes = SampleBytes(h.Bitpix);
  if (h.Naxis == 0) return 0;
  // Random groups declare NAXIS1 = 0 and count groups of parameters and data.
  const int64_t axis1 = (h.Groups && h.Axis1 == 0) ? 1 : h.Axis1;
  const int64_t perGroup = SatAdd(h.Pcount, SatMul(axis1, h.OtherAxes));
  return SatMul(SatMul(bytes, h.Gcount), perGroup);
}

// The smallest number of input bytes an entry's data can take, and whether the
// file holds them; too little data would make the output from zeros.
bool EntryDataFits(const SelectionEntry& e, const TileCompression& tile, int64_t fileSize) {
  const int64_t samples = SatMul(e.Width, e.Height);
  int64_t need = 0;
  switch (e.CompressionCode) {
  case 0: need = SatMul(e.RowBytes, e.Height); break;
  case 2: need = samples; break;
  case 3: need = (samples + 7) / 8; break;
  case 4: need = SatMul(e.Height, ProfVarLeastRowBytes(static_cast<std::size_t>(e.Width))); break;
  case 5: need = SatMul(tile.TableRowBytes, tile.TableRows); break;
  default: return true;
  }
  const int64_t available = fileSize > e.DataOffset ? fileSize - e.DataOffset : 0;
  if (need <= available || need == 0) return true;
  const double missingShare = static_cast<double>(need - available) / static_cast<double>(need);
  return missingShare * static_cast<double>(samples) * 2.0 <=
         static_cast<double>(MaxMissingOutputBytes);
}

std::string CompressionText(uint8_t code, const ImageState& s) {
  std::string t = "Cmp=" + Num(code);
  switch (code) {
  case 2: t += " PrP-IHW"; break;
  case 3: t += " Rice(" + Num(s.RiceBits) + "," + Num(s.RiceLimit) + ")"; break;
  case 4: t += " PVa"; break;
  default: break;
  }
  return t;
}

// What the first pass saw besides the images it kept: the reason given when
// there is no image to convert.
struct WalkSummary {
  bool RandomGroups = false; // an HDU of random groups (not converted)
  bool DataMissing = false;  // an image declared whose data the file does not hold
};

// The first pass over every HDU of the file.
WalkSummary WalkHeaders(Conversion& cv, uint16_t variant, std::span<TileCompression> tiles,
                        CubeTiming& timing) {
  ImageState& s = cv.State;
  WalkSummary summary;
  const int64_t fileSize = cv.Input.Size();
  int64_t headerOffset = 0;
  for (unsigned hdu = 1; hdu <= MaxHdus; ++hdu) {
    cv.Input.Seek(headerOffset);
    Say(cv, "Oen=" + Num(headerOffset));
    HduInfo h;
    TileCompression tile;
    bool atEnd = false;
    unsigned cards = 0;
    ShortText<CardBytes> card;
    for (; cards < MaxHeaderCards; ++cards) {
      bool hadNul = false;
      if (!ReadCard(cv, card, hadNul)) {
        atEnd = true;
        break;
      }
      if (hadNul && s.SourceSoftware == 0) Detected(cv, 7, "PISCO ou PRISM");
      const Text keyword = CardKeyword(card);
      if (hdu == 1 && cards == 0 && keyword != "SIMPLE") {
        Say(cv, MsgNotFits);
        Finish(cv, true);
      }
      if (!Pass1Card(cv, variant, h, timing, tile, keyword, Part(card, 10))) break;
    }
    if (hdu == 1 && cards == 0) {
      Say(cv, MsgNotFits);
      Finish(cv, true);
    }
    const int64_t dataOffset = RoundUpToBlock(cv.Input.Tell());
    // Sized as stored (a tile table's own BITPIX), before a tile image replaces it.
    const int64_t dataBytes = DataBytes(h);
    const bool sizeKnown = h.Naxis == 0 || SampleBytes(h.Bitpix) != 0;

    if (h.BinTable && tile.IsImage) {
      // A tile-compressed image: the table stands for the image it holds.
      h.Width = tile.ZNaxis1;
      h.Height = tile.ZNaxis2;
      h.Bitpix = tile.ZBitpix;
      h.Compression = 5;
      h.Table = false;
    } else if (!h.DeferredRice.empty()) {
      ApplyRice(s, h, h.DeferredRice);
    }

    if (h.Planes >= 2) {
      timing.Cube = true;
      s.PlaneNumber = s.ImageNumber;
      if (s.PlaneNumber == 0 || s.PlaneNumber > h.Planes) {
        Say(cv, std::string(MsgPlaneRange) + Num(h.Planes));
        Finish(cv, true);
      }
      SelectionEntry& first = s.SelectionList[1];
      first.ImageNumber = s.PlaneNumber;
      first.MosaicColumn = 1;
      first.MosaicRow = 1;
    }

    if (hdu == 1 && (h.Naxis == 0 || h.Width == 0 || h.Height == 0))
      timing.PrimaryHeaderOnly = true;
    const bool usable = h.Compression != 1;
    if (h.Groups && h.Axis1 == 0) summary.RandomGroups = true;
    if (h.NaxisSeen && usable && h.Width > 0 && h.Height > 0 && dataOffset >= fileSize)
      summary.DataMissing = true;
    if (h.NaxisSeen && usable && h.Width > 0 && h.Height > 0 && dataOffset < fileSize) {
      Say(cv, "Odo=" + Num(dataOffset));
      Say(cv, "Sim=" + Num(hdu));
      Say(cv, h.Table ? "Typ=Table" : "Typ=Image");
      Say(cv, CompressionText(h.Compression, s));
      Say(cv, "Tpa=" + Num(h.Bitpix));
      Say(cv, "Nph=" + Num(h.Width));
      Say(cv, "Npv=" + Num(h.Height));
      unsigned wanted = 0;
      if (timing.Cube) {
        wanted = 1;
      } else {
        for (unsigned i = 1; i <= MaxSelections && wanted == 0; ++i)
          if (s.SelectionList[i].ImageNumber == hdu) wanted = i;
      }
      const int64_t bytes = SampleBytes(h.Bitpix);
      if (wanted != 0 && (bytes != 0 || h.Table)) {
        Say(cv, "Dem=" + Num(wanted));
        SelectionEntry& e = s.SelectionList[wanted];
        // Rows wider or longer than a 16-bit count cannot be converted; the
        // layout refuses them (a wrapped count would read the wrong bytes).
        e.Width = static_cast<uint16_t>(h.Width > 65535 ? 65535 : h.Width);
        e.Height = static_cast<uint16_t>(h.Height > 65535 ? 65535 : h.Height);
        if (h.Height > 65535) Stop(cv, MsgTooTall);
        e.Bitpix = static_cast<int8_t>(h.Bitpix);
        e.Bzero = static_cast<float>(h.Bzero);
        e.Bscale = static_cast<float>(h.Bscale);
        e.HeaderOffset = headerOffset;
        e.DataOffset = dataOffset;
        if (timing.Cube)
          e.DataOffset = SatAdd(
              dataOffset, SatMul(SatMul(bytes, s.PlaneNumber - 1), SatMul(h.Width, h.Height)));
        e.RowBytes = h.Compression == 0 ? SatMul(bytes, h.Width) : 0;
        e.CompressionCode = h.Compression;
        if (h.Table) {
          e.MosaicColumn = 0;
          e.MosaicRow = 0;
        } else if (!timing.Cube) {
          e.MosaicColumn = e.Position;
          e.MosaicRow = e.Group;
        }
        if (wanted < tiles.size()) tiles[wanted] = h.Compression == 5 ? tile : TileCompression{};
      } else {
        Say(cv, "Dem=non");
      }
    }

    // The data length is unknown for BITPIX values FITS does not define.
    if (timing.Cube || atEnd || (h.Compression != 0 && h.Compression != 5)) break;
    if (!sizeKnown) break;
    const int64_t next = RoundUpToBlock(SatAdd(dataOffset, dataBytes));
    if (next >= fileSize || next <= headerOffset) break;
    headerOffset = next;
  }
  return summary;
}

// Drops empty entries, sorts the rest by mosaic row and column and numbers both
// densely; sets ImageWidth and ImageHeight.
void LayoutMosaic(Conversion& cv, std::span<TileCompression> tiles, const WalkSummary& walk) {
  ImageState& s = cv.State;
  auto& list = s.SelectionList;
  auto tileOf = [&](unsigned i) -> TileCompression* {
    return i < tiles.size() ? &tiles[i] : nullptr;
  };
  unsigned count = 0;
  for (unsigned i = 1; i <= MaxSelections; ++i) {
    const SelectionEntry& e = list[i];
    if (e.Width == 0 || e.Height == 0 || e.MosaicColumn == 0 || e.MosaicRow == 0) continue;
    ++count;
    if (count != i) {
      list[count] = e;
      if (tileOf(count) && tileOf(i)) *tileOf(count) = *tileOf(i);
    }
  }
  for (unsigned i = count + 1; i <= MaxSelections; ++i) {
    list[i] = SelectionEntry{};
    if (tileOf(i)) *tileOf(i) = TileCompression{};
  }
  auto key = [&](unsigned i) { return list[i].MosaicRow * 256 + list[i].MosaicColumn; };
  for (unsigned i = 1; i < count; ++i) {
    for (unsigned j = i + 1; j <= count; ++j) {
      if (key(j) < key(i)) {
        std::swap(list[i], list[j]);
        if (tileOf(i) && tileOf(j)) std::swap(*tileOf(i), *tileOf(j));
      }
    }
  }
  uint8_t row = 0;
  uint8_t column = 0;
  uint8_t previousRow = 0;
  for (unsigned i = 1; i <= count; ++i) {
    if (i == 1 || list[i].MosaicRow != previousRow) {
      ++row;
      column = 0;
    }
    previousRow = list[i].MosaicRow;
    list[i].MosaicRow = row;
    list[i].MosaicColumn = ++column;
  }
  // Mosaic rows are stacked, each as tall as its tallest image (when the
  // tallest images of two rows sit in different columns, no single column is
  // as tall as the picture).
  std::array<int64_t, MaxSelections + 1> rowWidth{};
  std::array<int64_t, MaxSelections + 1> rowHeight{};
  for (unsigned i = 1; i <= count; ++i) {
    rowWidth[list[i].MosaicRow] += list[i].Width;
    rowHeight[list[i].MosaicRow] = std::max<int64_t>(rowHeight[list[i].MosaicRow], list[i].Height);
  }
  int64_t width = 0;
  int64_t height = 0;
  for (unsigned i = 1; i <= MaxSelections; ++i) {
    width = std::max(width, rowWidth[i]);
    height += rowHeight[i];
  }
  if (width == 0 || height == 0) {
    if (walk.RandomGroups) Stop(cv, MsgRandomGroups);
    Stop(cv, walk.DataMissing ? MsgTooShort : MsgNoImage);
  }
  if (width > MaxRowSamples) Stop(cv, MsgTooWide);
  if (height > 65535) Stop(cv, MsgTooTall);
  s.ImageWidth = static_cast<uint16_t>(width);
  s.ImageHeight = static_cast<uint16_t>(height);
  const int64_t fileSize = cv.Input.Size();
  for (unsigned i = 1; i <= count; ++i) {
    const TileCompression noTile{};
    const TileCompression& tile = tileOf(i) ? *tileOf(i) : noTile;
    if (!EntryDataFits(list[i], tile, fileSize)) {
      Say(cv, MsgTooShort);
      Finish(cv, true);
    }
  }
}

template <typename T> void SetUnlessFixed(T& field, uint8_t& set, T value) {
  if (set == 1) return;
  field = value;
  set = 2;
}

// Pixel pitch in mm from a value whose comment may give the unit.
double PixelPitch(double value, std::string_view comment) {
  if (Contains(comment, "MM")) return value;
  if (Contains(comment, "[M]") || Contains(comment, "(M)")) return value * 1000.0;
  if (Contains(comment, "MICRON") || Contains(comment, "MUM")) return value * 0.001;
  return value > 1 ? value * 0.001 : value;
}

void ApplyPlaneTiming(ImageState& s, const CubeTiming& t) {
  if (t.GpsStartSet && t.GpsIntervalSet) {
    s.Exptime = t.GpsInterval - 0.00676;
    s.DateObs =
        t.GpsStart + ((s.PlaneNumber - 1) * t.GpsInterval + t.GpsInterval - s.Exptime) / 86400.0;
  } else if (t.FrameSet && t.CycleSet) {
    s.DateObs = t.FrameTime + (s.PlaneNumber - 2.0) * t.Cycle / 86400.0;
  } else {
    s.DateObs += (s.PlaneNumber - 1) * s.Exptime / 86400.0;
  }
}

bool StartsWithDigit(std::string_view v) { return !v.empty() && IsDigit(v[0]); }

// Sky coordinate of a first-wins family; the WCS reference value only fills in.
void ApplySky(double& field, uint8_t& set, bool fromWcs, double radians) {
  if (set == 1) return;
  if (fromWcs) {
    if (set != 0) return;
    field = radians;
    set = 2;
    return;
  }
  field = radians;
  set = 1;
}

// One card of the second pass; keyword and value as the card gives them.
// Returns false when the card ends the header.
bool Pass2Card(Conversion& cv, const CubeTiming& timing, std::string_view keywordIn,
               std::string_view field) {
  ImageState& s = cv.State;
  Text keyword = keywordIn;
  if (keyword == "END") return false;
  if (IsGarbageKeyword(keyword)) return false;
  CardValue cvv = SplitCardValue(IsChecksumKeyword(keyword) ? std::string_view() : field);
  Text& value = cvv.Value;
  const std::string_view comment = cvv.Comment.view();
  const Text folded = FoldUpper(value);
  if (value.empty() || folded == "NOT SPECIFIED" || folded == "UNKNOWN") return true;
  const double real = ParseReal(value);
  const int32_t integer = ParseInteger(value);

  if (keyword == "DATESEND") {
    keyword = "DATE-OBS";
    value.set(10, 'T');
  } else if (keyword == "TIMESTMP" && value.size() >= 19 && value[2] == '/' && value[5] == '/' &&
             (value[10] == ' ' || value[10] == 'T') && value[13] == ':' && value[16] == ':') {
    keyword = "DATE-OBS";
    value.set(10, 'T');
  }
  const std::string_view k = keyword.view();
  const std::string_view v = value.view();
  if (k == "DATE-OBS" && v.size() >= 6 && s.DateSeenInFirstPass == 0) {
    s.DateKnown = 0;
    s.TimeKnown = 0;
  }

  // Dates and times.
  if (k == "DATE-OBS") {
    if (v.size() >= 6 && !(s.DateKnown && s.TimeKnown)) {
      DecodeDateObs(cv, v);
      s.DateRef = 1;
    }
  } else if (k == "UT-DATE") {
    DecodeUtDate(s, v);
  } else if (In(k, {"TIME-OBS", "UT", "UT-START", "UTSTART"})) {
    if (!s.TimeKnown && StartsWithDigit(v)) {
      Text t = value;
      if (s.SourceSoftware == 15 && k == "UT") {
        t = Part(value, 0, 7);
        t += '0';
      }
      s.DateRef = 1;
      double time;
      if (Contains(comment, "DAY FRACTION")) {
        if (s.SourceSoftware == 0) Detected(cv, 9, "IHW");
        time = ParseReal(t);
      } else {
        time = TimeOfDay(t);
      }
      s.DateObs += time;
      s.UtDateObs += time;
      s.TimeKnown = 1;
    }
  } else if (k == "TAIHMS") {
    if (!s.TimeKnown && StartsWithDigit(v)) {
      const double time = TimeOfDay(v);
      s.DateObs += time;
      s.UtDateObs += time;
      s.TimeKnown = 1;
      s.DateIsAtomic = 1;
      s.DateRef = 1;
    }
  } else if (k == "EPOCH") {
    if (real > 1900 && real < 2100) {
      const double whole = std::trunc(real);
      s.EpochDate = std::round(JulianDate(whole, 1, 0) + (real - whole) * 365.0 + 0.5) - 0.5;
    }
  } else if (k == "TUNIX_DP" || k == "STARTTIM") {
    s.DateObs = JulianDate(1970, 1, 1) + real / 86400.0;
    s.DateKnown = 1;
    s.TimeKnown = 1;
    s.DateRef = 1;
  } else if (k == "JULIAN") {
    s.JulianCard = real;
  } else if (k == "SHOPEN") {
    s.ShutterOpen = ShutterTimeOfDay(v);
  } else if (k == "SHCLOSE") {
    s.ShutterClose = ShutterTimeOfDay(v);
  } else if (k == "TM-START") {
    if (!s.TimeKnown) {
      s.DateObs += real / 86400.0;
      s.TimeKnown = 1;
      s.DateRef = 1;
    }
  } else if (k == "TIME-BEG") {
    if (!s.TimeKnown) {
      Text t = value;
      for (std::size_t i = 0; i < t.size(); ++i)
        if (t[i] == ',') t.set(i, '.');
      s.DateObs += TimeOfDay(t);
      s.TimeKnown = 1;
      s.DateRef = 1;
    }
  } else if (k == "TIME-END") {
    if (s.DateObs >= 0 && s.DateObs < 1) {
      double e = (TimeOfDay(v) - s.DateObs) * 86400.0;
      if (e < 0) e += 86400.0;
      s.Exptime = e;
    }
  } else if (k == "RIDMOY") {
    s.DateObs = JulianDate(ParseInteger(Part(value, 0, 4)), ParseInteger(Part(value, 5, 2)),
                           ParseReal(Part(value, 8, 9)));
    s.DateKnown = 1;
    s.TimeKnown = 1;
    s.DateRef = 2;
  } else if (k == "FDATE") {
    if (s.DateObs == 0) {
      constexpr std::array<std::string_view, 12> months = {
          "JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
      const std::string_view name = Part(folded, 4, 3);
      for (unsigned m = 0; m < months.size(); ++m) {
        if (name != months[m]) continue;
        s.DateObs =
            JulianDate(ParseInteger(Part(value, 20, 4)), m + 1, ParseInteger(Part(value, 8, 2))) +
            ParseInteger(Part(value, 11, 2)) / 24.0 + ParseInteger(Part(value, 14, 2)) / 1440.0 +
            ParseInteger(Part(value, 17, 2)) / 86400.0;
        s.DateKnown = 1;
        s.TimeKnown = 1;
        s.DateRef = 1;
        break;
      }
    }
  }
  // Exposure.
  else if (IsExposureKeyword(k, s.SourceSoftware)) {
    ApplyExposure(s, real, comment);
  } else if (k == "TIME") {
    if (Part(folded, 11, 4) == " TO " && s.Exptime == 0) {
      const double start = ParseInteger(Part(value, 0, 2)) * 3600.0 +
                           ParseInteger(Part(value, 3, 2)) * 60.0 + ParseReal(Part(value, 6, 5));
      const double end = ParseInteger(Part(value, 15, 2)) * 3600.0 +
                         ParseInteger(Part(value, 18, 2)) * 60.0 + ParseReal(Part(value, 21, 5));
      double e = end - start;
      if (e < 0) e += 86400.0;
      s.Exptime = e;
    }
  } else if (k == "TM-EXPOS") {
    s.Exptime = real;
  } else if (k == "EXPOSURE") {
    if (s.Exptime == 0) {
      if (Contains(comment, "MSEC"))
        s.Exptime = real * 0.001;
      else if (Contains(comment, "MIN"))
        s.Exptime = real * 60.0;
      else
        s.Exptime = real;
      if (timing.Cube) ApplyPlaneTiming(s, timing);
    }
  }
  // Other metadata.
  else if (In(k, {"FILTRE", "FILTRES", "FILTER", "FILTERS", "FILTER1", "FILTER2", "FILTER3",
                  "FILTERI", "FILTERI1", "FILTERI2", "FILTERI3", "INSFLNAM", "INSTFILT", "FLTRNM",
                  "CCD_FILT", "CLRBAND"})) {
    if (s.Filter.empty() && !IsNoFilterValue(v)) s.Filter = NormalizeFilterName(v);
  } else if (k == "INSTRUME") {
    if (!(folded == "NA" || folded == "N/A" || folded == "NONE")) {
      Text list = s.Detector;
      MergeList(list, decltype(s.Detector)::Capacity, v);
      s.Detector = list;
    }
    if (s.SourceSoftware == 0) {
      if (folded == "SONY CCD")
        Detected(cv, 2, "ASTROART");
      else if (folded == "BUSCA")
        Detected(cv, 17, "BUSCA");
    }
    if (v == "ACS") {
      s.WcsRaAxis = 1;
      s.WcsDecAxis = 1;
    }
  } else if (In(k, {"EMULSION", "CAMERA", "CHIP", "SCICAM"})) {
    Text list = s.Detector;
    MergeList(list, decltype(s.Detector)::Capacity, v);
    s.Detector = list;
  } else if (k == "TELESCOP" || k == "TEL") {
    s.Telescope = v;
  } else if (k == "OBSERVER") {
    s.Observer = v;
  } else if (k == "OBSERVAT") {
    s.Observatory = v;
  } else if (k == "LOCATION") {
    if (v == "175 OFXB St-Luc" && s.SourceSoftware == 0) Detected(cv, 6, "OFXB");
  } else if (In(k, {"IMAGETYP", "IMTYPE", "IMAGTYP", "IMGTYPE", "TYPE", "CCD_TYPE", "OBJTYPE"})) {
    s.ImageType = v;
    if (k == "TYPE" && s.SourceSoftware == 0 && (folded == "BIAS" || folded == "DARK") &&
        Contains(comment, "E.TYPE"))
      Detected(cv, 10, "Euler");
  } else if (k == "LSPNSEQ") {
    if (s.SourceSoftware == 0) Detected(cv, 9, "IHW");
  } else if (k == "FIL-NUM") {
    s.ImageIdent = v;
  } else if (In(k, {"LOBJET", "OBJET", "OBJECT", "OBJNAME"})) {
    AddFitsObject(s, v);
  } else if (k == "CRVAL1") {
    s.Crval1 = real;
    if (s.WcsRaAxis)
      ApplySky(s.RightAscension, s.RightAscensionSet, true, ParseRightAscension(v, false));
  } else if (In(k, {"RA", "OBJCTRA", "OBJRA", "IMAGERA", "ALPHA", "ALPHACAT", "RA--CPME",
                    "POSTN-RA", "TELRA"})) {
    ApplySky(s.RightAscension, s.RightAscensionSet, false,
             ParseRightAscension(v, s.SourceSoftware == 14 && k == "RA"));
  } else if (k == "CRVAL2") {
    s.Crval2 = real;
    if (s.WcsDecAxis) ApplySky(s.Declination, s.DeclinationSet, true, ParseDeclination(v));
  } else if (In(k, {"DEC", "OBJCTDEC", "OBJDEC", "IMAGEDEC", "DELTA", "DELTACAT", "DEC-CPME",
                    "POSTN-DE", "TELDEC"})) {
    ApplySky(s.Declination, s.DeclinationSet, false, ParseDeclination(v));
  } else if (In(k, {"FOCAL", "FOCALLEN", "FOCALE", "FOCLEN", "FLENGTH"})) {
    if (real != 0) {
      double mm = real;
      if (Contains(comment, "INCH"))
        mm = real * 25.4;
      else if (Contains(comment, "[M]") || Contains(comment, "(M)") || Contains(comment, " METER"))
        mm = real * 1000.0;
      SetUnlessFixed(s.FocalLength, s.FocalLengthSet, mm);
    }
  } else if (k == "PLTSCALE") {
    // Arcseconds per millimetre in the focal plane: the focal length.
    if (real != 0) SetUnlessFixed(s.FocalLength, s.FocalLengthSet, ArcsecPerRadian / real);
  } else if (k == "PLATESCL") {
    if (real != 0) SetUnlessFixed(s.PixelScaleX, s.PixelScaleXSet, real / ArcsecPerRadian);
  } else if (k == "CDELTM1" || k == "PIXWIDTH") {
    if (real != 0) SetUnlessFixed(s.PixelSizeX, s.PixelSizeXSet, real);
  } else if (k == "CDELTM2" || k == "PIXHEIGH") {
    if (real != 0) SetUnlessFixed(s.PixelSizeY, s.PixelSizeYSet, real);
  } else if (In(k,
                {"XPIXSZ", "XPIXELSZ", "PIXSIZEX", "PIXSIZE1", "PIXEL_X", "PIXSIZE", "CCDPSIZE"})) {
    if (real != 0) {
      s.PixelSizeBinned = (s.PixelSizeBinned == 1 || Contains(comment, "AFTER BINNING") ||
                           Contains(comment, "BINNED PIXEL"))
                              ? 1
                              : 0;
      SetUnlessFixed(s.PixelSizeX, s.PixelSizeXSet, PixelPitch(real, comment));
    }
  } else if (In(k, {"YPIXSZ", "YPIXELSZ", "PIXSIZEY", "PIXSIZE2", "PIXEL_Y"})) {
    if (real != 0) SetUnlessFixed(s.PixelSizeY, s.PixelSizeYSet, PixelPitch(real, comment));
  } else if (In(k, {"GAIN", "CCD_GAIN", "EGAIN", "EPERADU", "CVF", "CCDSENS"})) {
    if (real != 0) SetUnlessFixed(s.Gain, s.GainSet, real);
  } else if (k == "CTYPE1") {
    s.WcsRaAxis = In(v, {"RA---TAN", "RA---ARC", "RA---TAN-SIP"}) ? 1 : 0;
    // Only a sky solution in right ascension is carried to the output.
    if (s.WcsRaAxis) s.Ctype1 = "RA---TAN";
  } else if (k == "CTYPE2") {
    s.WcsDecAxis = In(v, {"DEC--TAN", "DEC--ARC", "DEC--TAN-SIP"}) ? 1 : 0;
    if (s.WcsDecAxis) s.Ctype2 = "DEC--TAN";
  } else if (k == "CRPIX1") {
    s.Crpix1 = real;
  } else if (k == "CRPIX2") {
    s.Crpix2 = real;
  } else if (k == "CD1_1") {
    s.Cd11 = real;
  } else if (k == "CD1_2") {
    s.Cd12 = real;
  } else if (k == "CD2_1") {
    s.Cd21 = real;
  } else if (k == "CD2_2") {
    s.Cd22 = real;
  } else if (k == "CDELT1" || k == "CDELT2") {
    const bool degreesPerPixel =
        (s.WcsRaAxis && s.WcsDecAxis) || (Contains(comment, "DEG") && Contains(comment, "PIX"));
    if (degreesPerPixel && real != 0) {
      const double rad = std::fabs(real) * Pi / 180.0;
      if (k == "CDELT1")
        SetUnlessFixed(s.PixelScaleX, s.PixelScaleXSet, rad);
      else
        SetUnlessFixed(s.PixelScaleY, s.PixelScaleYSet, rad);
    }
  } else if (In(k, {"SECPIX", "PIXSCALX", "PIXSCALE", "INSTRSCL", "SECPIX1", "XPLATE"})) {
    if (real != 0) SetUnlessFixed(s.PixelScaleX, s.PixelScaleXSet, real * Pi / 648000.0);
  } else if (In(k, {"SECPIX2", "PIXSCALY", "YPLATE"})) {
    if (real != 0) SetUnlessFixed(s.PixelScaleY, s.PixelScaleYSet, real * Pi / 648000.0);
  } else if (In(k, {"BINX", "BIN1", "HBIN", "XFACTOR", "MIPS-BIX", "XBINNING", "CCDBINX"})) {
    if (integer >= 1 && integer <= 5) s.HeaderBinX = static_cast<uint8_t>(integer);
  } else if (In(k, {"BINY", "BIN2", "VBIN", "YFACTOR", "MIPS-BIY", "YBINNING", "CCDBINY"})) {
    if (integer >= 1 && integer <= 5) s.HeaderBinY = static_cast<uint8_t>(integer);
  } else if (k == "AIRMASS" || k == "FZMIL") {
    if (real > 0 && real < 10) SetUnlessFixed(s.Airmass, s.AirmassSet, real);
  } else if (k == "OBS_CODE" || k == "IAU_CODE") {
    SetUnlessFixed(s.ObsCode, s.ObsCodeSet, static_cast<double>(ParseObservatoryCode(v)));
  } else if (k == "OBS_INST") {
    SetUnlessFixed(s.ObsInstrument, s.ObsInstrumentSet, real);
  } else if (In(k, {"OBS-LONG", "OBS-LON", "LON-OBS", "LONG-OBS", "OBS_LONG", "LONGIT", "SITE_LON",
                    "SITELONG", "LONGITUD"})) {
    if (k == "SITELONG" && Contains(comment, "LONGITUDE OBSERVATORY") && s.SourceSoftware == 0)
      Detected(cv, 7, "PRISM");
    s.ObsLongitude = ParseLongitude(v, comment, s.SourceSoftware);
  } else if (In(k, {"OBS-LAT", "LAT-OBS", "SITE_LAT", "LAT--OBS", "OBS_LATI", "LATITU", "SITELAT",
                    "LATITUDE"})) {
    s.ObsLatitude = ParseLatitude(v);
  } else if (k == "OBSGEO") {
    Text rest = value;
    Text item;
    TakeItemSeparator(rest, item);
    if (!item.empty()) s.ObsLongitude = NormalizeAngle(-ParseReal(item) * Pi / 180.0);
    TakeItemSeparator(rest, item);
    if (!item.empty()) s.ObsLatitude = ParseReal(item) * Pi / 180.0;
  } else if (In(k, {"OBS-ELEV", "ELEV-OBS", "OBS-ALT", "ALT-OBS", "OBSALT", "SITE_ALT", "HEIGHT",
                    "OBS_ALTI", "SITEELEV"}) ||
             (k == "ALTITUDE" && !Contains(comment, "START") && !Contains(comment, "AXIS"))) {
    SetUnlessFixed(s.ObsAltitude, s.ObsAltitudeSet, real);
  } else if (k == "SCRIPT") {
    s.Script = v;
  } else if (In(k, {"CCD_TEMP", "CCD-TEMP", "TEMP", "DET_TEMP", "TEMP_DET", "CAMTEMP"})) {
    if (real != 0) SetUnlessFixed(s.DetectorTemp, s.DetectorTempSet, real);
  } else if (In(k, {"AIR_TEMP", "AIR-TEMP", "TEMP_AIR", "WXTEMP", "TOUTSIDE"})) {
    if (real != 0) SetUnlessFixed(s.AirTemp, s.AirTempSet, real);
  } else if (k == "FLIPSTAT") {
    if (s.FollowFileOrientation) {
      if (Contains(folded, "FLIP")) s.FlipY = s.FlipY ? 0 : 1;
      if (Contains(folded, "MIRROR")) s.MirrorX = s.MirrorX ? 0 : 1;
    }
  } else if (k == "OUTPTAMP") {
    if (s.FollowFileOrientation && Contains(folded, "ELECTRON MULTIPLYING"))
      s.MirrorX = s.MirrorX ? 0 : 1;
  }
  return true;
}

void ReadMetadataHeader(Conversion& cv, const CubeTiming& timing, int64_t headerOffset) {
  cv.Input.Seek(headerOffset);
  ShortText<CardBytes> card;
  for (unsigned n = 0; n < MaxHeaderCards; ++n) {
    bool hadNul = false;
    if (!ReadCard(cv, card, hadNul)) break;
    if (card.substr(0, 8) == "HIERARCH") {
      const std::size_t eq = card.find('=');
      if (eq == std::string_view::npos) continue;
      const ShortText<8> keyword = MapHierarchKeyword(card.substr(0, eq));
      if (keyword.empty()) continue;
      if (!Pass2Card(cv, timing, keyword, Part(card, eq + 1))) break;
      continue;
    }
    if (!Pass2Card(cv, timing, CardKeyword(card), Part(card, 10))) break;
  }
}

// The second pass: the headers of the kept images, in mosaic order. A primary
// header without data of its own describes its extensions (date, time, exposure,
// instrument), so it is read first.
void ReadMetadata(Conversion& cv, const CubeTiming& timing) {
  ImageState& s = cv.State;
  if (timing.PrimaryHeaderOnly && s.SelectionList[1].Width != 0 &&
      s.SelectionList[1].HeaderOffset != 0)
    ReadMetadataHeader(cv, timing, 0);
  for (unsigned i = 1; i <= MaxSelections; ++i) {
    const SelectionEntry& e = s.SelectionList[i];
    if (e.Width == 0) break;
    ReadMetadataHeader(cv, timing, e.HeaderOffset);
  }
}

void FinalCorrections(Conversion& cv) {
  ImageState& s = cv.State;
  if (s.SourceSoftware == 17) {
    // This camera gives seconds of time and seconds of arc.
    s.RightAscension /= 240.0;
    s.Declination /= 3600.0;
    if (s.ShutterOpen > s.ShutterClose) s.ShutterClose += 1;
    s.DateObs = std::round(s.JulianCard - s.ShutterOpen - 0.5) + 0.5 + s.ShutterOpen;
    s.Exptime = (s.ShutterClose - s.ShutterOpen) * 86400.0;
    s.DateRef = 1;
  }
  if (s.PixelSizeY == 0) s.PixelSizeY = s.PixelSizeX;
  if (s.PixelSizeBinned == 0) {
    // A header without binning keywords describes unbinned pixels.
    if (s.PixelSizeXSet != 1 && s.HeaderBinX != 0) s.PixelSizeX *= s.HeaderBinX;
    if (s.PixelSizeYSet != 1 && s.HeaderBinY != 0) s.PixelSizeY *= s.HeaderBinY;
  }
  if (s.PixelScaleY == 0) s.PixelScaleY = s.PixelScaleX;
  PrepareOutput(cv);
  if (s.SourceSoftware == 2) {
    s.Exptime /= 60.0;
  } else if (s.SourceSoftware == 5) {
    s.Exptime *= 60.0;
  } else if (s.SourceSoftware == 6) {
    if (s.UtDateObs > 2) s.DateObs = s.UtDateObs;
    s.DateRef = 1;
  }
  if (s.DateObs == 0 && s.EpochDate != 0) s.DateObs = s.EpochDate;
}

} // namespace

CardValue SplitCardValue(std::string_view field) {
  Text t;
  for (char c : field)
    if (c != '\0' && c != 27) t.push_back(c);
  char quote = 0;
  std::size_t slash = std::string_view::npos;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '/') {
      slash = i;
      break;
    }
  }
  CardValue r;
  if (slash == std::string_view::npos) {
    r.Value = t;
  } else {
    r.Value = t.substr(0, slash);
    r.Comment = t.substr(slash + 1);
  }
  Text lead = r.Value;
  TrimBlanks(lead);
  const bool quoted = lead.front() == '\'';
  TrimHeaderValue(r.Value);
  if (quoted) {
    // A quote inside a FITS string is written twice.
    for (std::size_t p = r.Value.find("''"); p != std::string_view::npos;
         p = r.Value.find("''", p + 1))
      r.Value.erase(p, 1);
  }
  TrimHeaderValue(r.Comment);
  r.Comment = FoldUpper(r.Comment);
  return r;
}

ShortText<8> MapHierarchKeyword(std::string_view longKeyword) {
  // A '#' in the table stands for a number (FILT1, FILT12); the other long
  // keywords are compared as written, so that PIXSIZE1 and PIXSIZE2 differ.
  Text exact = longKeyword;
  TrimBlanks(exact);
  Text numbered;
  for (std::size_t i = 0; i < exact.size(); ++i) {
    if (IsDigit(exact[i]) || exact[i] == '#') {
      if (numbered.back() != '#') numbered.push_back('#');
    } else {
      numbered.push_back(exact[i]);
    }
  }
  struct Row {
    std::string_view Keyword;
    std::initializer_list<std::string_view> Long;
  };
  const std::array<Row, 12> table = {{
      {"OBSERVER", {"HIERARCH ESO OBS OBSERVER", "HIERARCH QXA OBS OBSERVER"}},
      {"OBJECT", {"HIERARCH ESO OBS TARG NAME", "HIERARCH QXA OBS TARG NAME"}},
      {"IMAGETYP", {"HIERARCH ESO DPR TYPE", "HIERARCH QXA OBS TYPE", "HIERARCH ESO OBS TYPE"}},
      {"OBS_ALTI",
       {"HIERARCH ESO TEL GEOELEV", "HIERARCH QXA GEO ALTITUDE", "HIERARCH ESO GEO ALTITUDE",
        "HIERARCH CAHA TEL GEOELEV"}},
      {"OBS_LATI",
       {"HIERARCH ESO TEL GEOLAT", "HIERARCH QXA GEO LATITU", "HIERARCH ESO GEO LATITU",
        "HIERARCH CAHA TEL GEOLAT"}},
      {"OBS_LONG",
       {"HIERARCH ESO TEL GEOLON", "HIERARCH QXA GEO LONGIT", "HIERARCH ESO GEO LONGIT",
        "HIERARCH CAHA TEL GEOLON"}},
      {"FOCAL",
       {"HIERARCH ESO TEL FOCU LEN", "HIERARCH QXA TEL FOCALE", "HIERARCH ESO TEL FOCALE",
        "HIERARCH CAHA TEL FOCU LEN"}},
      {"FILTERS",
       {"HIERARCH ESO INS FILT# NAME", "HIERARCH GEO INS FILT# NAME",
        "HIERARCH CAHA INS FILT# NAME"}},
      {"BINX",
       {"HIERARCH ESO DET WIN# BINX", "HIERARCH QXA DET BINX", "HIERARCH ESO DET BINX",
        "HIERARCH CAHA DET WIN# BINX"}},
      {"BINY",
       {"HIERARCH ESO DET WIN# BINY", "HIERARCH QXA DET BINY", "HIERARCH ESO DET BINY",
        "HIERARCH CAHA DET WIN# BINY"}},
      {"PIXSIZE1",
       {"HIERARCH ESO DET CHIP# PSZX", "HIERARCH QXA DET CCD# PSZX", "HIERARCH QXA DET PIXSIZE1",
        "HIERARCH ESO DET PIXSIZE1", "HIERARCH CAHA DET CCD# PSZX"}},
      {"PIXSIZE2",
       {"HIERARCH ESO DET CHIP# PSZY", "HIERARCH QXA DET CCD# PSZY", "HIERARCH QXA DET PIXSIZE2",
        "HIERARCH ESO DET PIXSIZE2", "HIERARCH CAHA DET CCD# PSZY"}},
  }};
  for (const Row& r : table)
    for (std::string_view l : r.Long)
      if ((l.find('#') != std::string_view::npos ? numbered : exact) == l) return r.Keyword;
  return {};
}

void ReadFitsHeaders(Conversion& cv, uint16_t variant, std::span<TileCompression> tiles) {
  ImageState& s = cv.State;
  ReadOptions(cv);
  const Text suffix =
      FoldUpper(s.InputFilePath.size() >= 4 ? s.InputFilePath.substr(s.InputFilePath.size() - 4)
                                            : s.InputFilePath.view());
  const bool compressing = s.CompressPrevPixel || s.CompressProfVar;
  if (!s.FullOutput || (suffix == ".FIT" && !compressing) ||
      (suffix == ".FIP" && s.CompressPrevPixel) || (suffix == ".FIV" && s.CompressProfVar))
    s.NamingMode = 1;
  OpenInput(cv);
  ReadValueTransform(cv);
  CubeTiming timing;
  const WalkSummary walk = WalkHeaders(cv, variant, tiles, timing);
  LayoutMosaic(cv, tiles, walk);
  ReadMetadata(cv, timing);
  FinalCorrections(cv);
  Say(cv, "F_z=" + FormatFixed(s.ValueOffset, 1));
  Say(cv, "F_s=" + FormatFixed(s.ValueScale, 4));
  cv.Input.Seek(s.SelectionList[1].DataOffset);
  ResetByteReader(cv);
}

void ReadFitsFile(Conversion& cv, uint16_t variant) {
  std::array<TileCompression, MaxSelections + 1> tiles{};
  ReadFitsHeaders(cv, variant, tiles);
  ReadFitsData(cv, tiles);
}

} // namespace korv
