// Format recognition from the file name's extension, and the one reader call.
#include "driver/dispatch.h"

#include <string>

#include "core/conversion.h"
#include "core/input_file.h"
#include "core/text.h"
#include "driver/arguments.h"
#include "driver/run.h"
#include "readers/readers.h"

namespace korv {

// Row numbers matter: a name given without an extension is probed in the order
// of rows 1, 2, ..., 126, then 0, so "fip" comes before "fit".
const std::array<ExtensionRow, 127> ExtensionTable = {{
    {60, "fit"},  {61, "fip"},  {61, "fiv"},  {62, "fts"},  {62, "ftz"},  {62, "fits"},
    {62, "fitz"}, {10, "gif"},  {30, "tif"},  {30, "tiff"}, {30, "ptif"}, {31, "ujg"},
    {32, "erf"},  {31, "3fr"},  {31, "fff"},  {32, "dng"},  {7, "cpa"},   {5, "stx"},
    {5, "st5"},   {5, "st6"},   {5, "st7"},   {5, "st8"},   {5, "st9"},   {5, "237"},
    {63, "at1"},  {2, "pds"},   {2, "lbl"},   {2, "arn"},   {2, "blu"},   {2, "bb1"},
    {2, "bb2"},   {2, "bb3"},   {2, "bb4"},   {2, "grn"},   {2, "irq"},   {2, "ibg"},
    {2, "img"},   {2, "ir1"},   {2, "ir2"},   {2, "ir3"},   {2, "n07"},   {2, "n15"},
    {2, "vic"},   {2, "red"},   {2, "sgr"},   {2, "sur"},   {2, "sun"},   {2, "vio"},
    {2, "ihw"},   {2, "imq"},   {2, "gls"},   {8, "pic"},   {33, "nef"},  {33, "nrw"},
    {34, "cr2"},  {31, "orf"},  {41, "st4"},  {41, "08b"},  {41, "sbi"},  {51, "ima"},
    {40, "ccd"},  {11, "mx5"},  {42, "hx5"},  {43, "xl8"},  {44, "dat"},  {3, "bmp"},
    {3, "dib"},   {15, "pcx"},  {16, "per"},  {47, "bil"},  {47, "cn1"},  {47, "cn2"},
    {47, "cn3"},  {47, "cn4"},  {47, "cn5"},  {47, "cn6"},  {47, "cn7"},  {47, "cn8"},
    {47, "cn9"},  {48, "ser"},  {49, "l1g"},  {45, "imi"},  {46, "sxl"},  {20, "pnm"},
    {20, "ppm"},  {20, "pbm"},  {20, "pgm"},  {21, "tga"},  {21, "vst"},  {21, "icb"},
    {21, "vda"},  {22, "ras"},  {26, "imc"},  {70, "crw"},  {31, "cpt"},  {32, "sr2"},
    {28, "t1m"},  {31, "iiq"},  {31, "mrw"},  {31, "pef"},  {33, "dcr"},  {32, "kdc"},
    {32, "mef"},  {32, "arw"},  {36, "raw"},  {36, "rw2"},  {36, "rwl"},  {17, "spe"},
    {29, "dcm"},  {29, "dic"},  {29, "acr"},  {33, "srw"},  {50, "003"},  {80, "raf"},
    {81, "eps"},  {81, "ps"},   {91, "rif"},  {52, "xxx"},  {53, "plu"},  {54, "vk4"},
    {55, "surf"}, {62, "fz"},
    // Sun raster files are commonly named after their depth.
    {22, "im1"},  {22, "im8"},  {22, "im24"}, {22, "im32"}, {22, "rs"},
}};

namespace {

constexpr std::string_view NameTooLong = "Nom de fichier trop long.";

using ReaderEntry = void (*)(Conversion&, uint16_t);

struct DispatchRow {
  uint8_t FormatCode;
  ReaderEntry Entry;
  uint16_t Variant;
};

// One row per FormatCode that has a reader; a code absent here stops the run.
constexpr std::array<DispatchRow, 44> DispatchTable = {{
    {2, [](Conversion& cv, uint16_t) { ReadPds(cv); }, 0},
    {20, [](Conversion& cv, uint16_t) { ReadPnm(cv); }, 0},
    {10, [](Conversion& cv, uint16_t) { ReadGif(cv); }, 0},
    {3, [](Conversion& cv, uint16_t) { ReadBmp(cv); }, 0},
    {15, [](Conversion& cv, uint16_t) { ReadPcx(cv); }, 0},
    {21, [](Conversion& cv, uint16_t) { ReadTga(cv); }, 0},
    {22, [](Conversion& cv, uint16_t) { ReadSunRaster(cv); }, 0},
    // TIFF family: the variant is the image converted by default (65535: Panasonic raw).
    {30, [](Conversion& cv, uint16_t v) { ReadTiffFamily(cv, static_cast<int16_t>(v)); }, 0},
    {31, [](Conversion& cv, uint16_t v) { ReadTiffFamily(cv, static_cast<int16_t>(v)); }, 1},
    {32, [](Conversion& cv, uint16_t v) { ReadTiffFamily(cv, static_cast<int16_t>(v)); }, 2},
    {33, [](Conversion& cv, uint16_t v) { ReadTiffFamily(cv, static_cast<int16_t>(v)); }, 3},
    {34, [](Conversion& cv, uint16_t v) { ReadTiffFamily(cv, static_cast<int16_t>(v)); }, 4},
    {36, [](Conversion& cv, uint16_t v) { ReadTiffFamily(cv, static_cast<int16_t>(v)); }, 65535},
    {60, [](Conversion& cv, uint16_t v) { ReadFitsFile(cv, v); }, 0},
    {61, [](Conversion& cv, uint16_t v) { ReadFitsFile(cv, v); }, 1},
    {62, [](Conversion& cv, uint16_t v) { ReadFitsFile(cv, v); }, 2},
    // Little-endian FITS: the sample byte order flag is inverted first.
    {63,
     [](Conversion& cv, uint16_t v) {
       cv.State.LittleEndianSamples = cv.State.LittleEndianSamples ? 0 : 1;
       ReadFitsFile(cv, v);
     },
     2},
    {5, [](Conversion& cv, uint16_t) { ReadSbig(cv); }, 0},
    {17, [](Conversion& cv, uint16_t) { ReadSpe(cv); }, 0},
    {28, [](Conversion& cv, uint16_t) { ReadT1m(cv); }, 0},
    {40, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 0},
    {41, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 1},
    {42, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 2},
    {43, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 3},
    {44, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 4},
    {45, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 5},
    {46, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 6},
    {47, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 7},
    {48, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 8},
    {49, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 9},
    {50, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 10},
    {51, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 11},
    {52, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 12},
    {53, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 13},
    {54, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 14},
    {55, [](Conversion& cv, uint16_t v) { ReadRawBinary(cv, v); }, 15},
    {11, [](Conversion& cv, uint16_t) { ReadMx5(cv); }, 0},
    {16, [](Conversion& cv, uint16_t) { ReadPer(cv); }, 0},
    {26, [](Conversion& cv, uint16_t) { ReadImc(cv); }, 0},
    {81, [](Conversion& cv, uint16_t) { ReadPostScript(cv); }, 0},
    {91, [](Conversion& cv, uint16_t) { ListRif(cv); }, 0},
    {29, [](Conversion& cv, uint16_t) { ReadDicomFile(cv); }, 0},
    {70, [](Conversion& cv, uint16_t) { ReadCrw(cv); }, 0},
    {80, [](Conversion& cv, uint16_t) { ReadRaf(cv); }, 0},
}};

// Extensions are made of ASCII letters, digits, '-' and '_' only, so bytes of
// a UTF-8 name never extend one.
bool IsExtensionChar(char c) {
  return c == '-' || c == '_' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z');
}

// Rows in probe order: 1, 2, ..., last, then 0.
std::size_t ProbeRow(std::size_t k) { return (k + 1) % ExtensionTable.size(); }

std::string UpperAscii(std::string_view s) {
  std::string u(s);
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return u;
}

// True when a file of that name opens for reading (and closes again).
bool Openable(Conversion& cv, std::string_view storedName) {
  InputFile probe;
  const bool opened = probe.Open(NormalizePath(3, storedName).str());
  cv.State.LastIoResult = opened ? probe.Close() : 2;
  return cv.State.LastIoResult == 0;
}

} // namespace

uint8_t DetectFormat(Conversion& cv) {
  ImageState& st = cv.State;
  const std::string argument = GetArgumentFull(cv, 1);
  const std::string_view fileName = std::string_view(argument).substr(0, argument.find(','));
  st.InputFilePath = NormalizePath(0, fileName);
  // A name cut to fit the stored path could name another file, which would
  // then be converted (and erased by EFFACE): refuse it.
  const bool tooLong = fileName.size() > Text::Capacity;

  const std::string_view path = st.InputFilePath.view();
  std::size_t pos = path.size(); // 1-based position of the character examined
  while (pos > 1 && IsExtensionChar(path[pos - 1])) --pos;
  const bool hasExtension = pos > 0 && path[pos - 1] == '.';

  uint8_t code = 0;
  if (tooLong) {
    // Nothing is detected from a cut name.
  } else if (hasExtension) {
    st.Scratch = FoldUpper(path.substr(pos));
    for (std::size_t k = 0; k < ExtensionTable.size() && code == 0; ++k) {
      const ExtensionRow& row = ExtensionTable[ProbeRow(k)];
      if (FoldUpper(row.Extension) == st.Scratch.view()) code = row.FormatCode;
    }
  } else {
    st.InputFilePath += '.';
    const Text base = st.InputFilePath;
    for (std::size_t k = 0; k < ExtensionTable.size() && code == 0; ++k) {
      const ExtensionRow& row = ExtensionTable[ProbeRow(k)];
      // Lower case first, then upper case: names on disk keep their case.
      for (const std::string& ext : {std::string(row.Extension), UpperAscii(row.Extension)}) {
        Text candidate = base;
        candidate += ext;
        if (candidate.size() != base.size() + ext.size()) continue; // cut at capacity
        if (Openable(cv, candidate.view())) {
          code = row.FormatCode;
          st.InputFilePath = candidate;
          break;
        }
      }
    }
  }
  st.FormatCode = code;
  Say(cv, "Ent=" + st.InputFilePath.str());
  Say(cv, "Tfi=" + std::to_string(code));
  if (tooLong) Say(cv, NameTooLong);
  return code;
}

void Dispatch(Conversion& cv) {
  const uint8_t code = DetectFormat(cv);
  for (const DispatchRow& row : DispatchTable) {
    if (row.FormatCode == code) {
      row.Entry(cv, row.Variant);
      return;
    }
  }
  // No reader: say why (a cut name has said so already).
  const Text& name = cv.State.InputFilePath;
  const std::string argument = GetArgumentFull(cv, 1);
  if (argument.substr(0, argument.find(',')).size() <= Text::Capacity) {
    if (code != 0)
      Say(cv, "Format pas support\u00e9 : " + name.str());
    else if (!name.empty() && name[name.size() - 1] == '.')
      Say(cv, "Lecture impossible : " + name.str()); // no file of that name with a known extension
    else
      Say(cv, "Format inconnu : " + name.str());
  }
  Finish(cv, true);
}

} // namespace korv
