// TIFF and the camera raw files built on it: plain TIFF, the MRW container (a
// TIFF header inside its TTW block, the geometry in its PRD block), Panasonic
// raw files with their own tag numbers, and the TIFF-based raws of most makers.
// The directories are walked in file order, sub-directories numbered right
// after their parent, up to the wanted image; every entry is listed.

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/text.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/readers.h"
#include "readers/tiff/tiff_hooks.h"
#include "readers/tiff/tiff_walk.h"

namespace korv {
namespace {

// Directories a walk may visit: far more than any camera writes, few enough
// that a chain made to loop (or a sub-directory tree) ends quickly.
constexpr unsigned MaxDirectories = 1024;

TiffFileKind KindOfVariant(int16_t variant) {
  if (variant == 0) return TiffFileKind::PlainTiff;
  if (variant < 0) return TiffFileKind::PanasonicRaw;
  return TiffFileKind::CameraRaw;
}

// The MRW container: blocks of a 4-byte name and a big-endian length; the TIFF
// header sits in the TTW block, the geometry in PRD, the pixels after all blocks.
void ReadMrwBlocks(TiffReader& t) {
  ImageState& st = t.cv.State;
  TiffFileView& f = t.file;
  if (f.U32BigAt(0) != 0x004D524D) Stop(t.cv, "Pas du TIFF !");
  t.FileKind = TiffFileKind::Mrw;
  t.MrwDataOffset = uint64_t{f.U32BigAt(4)} + 8;
  uint64_t pos = 8;
  bool tiffFound = false;
  for (unsigned k = 0; k < 64 && pos + 8 <= t.MrwDataOffset; ++k) {
    const uint32_t name = f.U32BigAt(pos);
    const uint32_t length = f.U32BigAt(pos + 4);
    if (name == 0x00545457) { // TTW
      t.Base = pos + 8;
      tiffFound = true;
      break;
    }
    if (name == 0x00505244) { // PRD
      t.ImageHeight = f.U16BigAt(pos + 16);
      t.ImageWidth = f.U16BigAt(pos + 18);
      t.RowsPerStrip = t.ImageHeight;
      t.BitsPerSample = {};
      t.BitsPerSample[0] = f.U8At(pos + 24);
      if (t.BitsPerSample[0] == 12) t.Photometric = 32803;
      t.MosaicByMaker = true;
    } else if (name != 0x00574247 && name != 0x00524946 && name != 0x00504144) { // WBG RIF PAD
      Stop(t.cv, "Pas du TIFF !");
    }
    pos += 8 + uint64_t{length};
  }
  if (!tiffFound) Stop(t.cv, "Pas du TIFF !");
  (void)st;
}

void ReadHeader(TiffReader& t) {
  TiffFileView& f = t.file;
  uint16_t mark = f.U16BigAt(0);
  if (mark != 0x4949 && mark != 0x4D4D) {
    ReadMrwBlocks(t);
    mark = f.U16BigAt(t.Base);
    if (mark != 0x4949 && mark != 0x4D4D) Stop(t.cv, "Pas du TIFF !");
  }
  if (mark == 0x4949) {
    f.SetOrder(ByteOrder::Little);
    Say(t.cv, "Ord=II");
  } else {
    f.SetOrder(ByteOrder::Big);
    Say(t.cv, "Ord=MM");
  }
  t.VersionWord = f.U16At(t.Base + 2);
  Say(t.cv, "Ver=" + std::to_string(t.VersionWord));
  // 64-bit offsets throughout: read as a classic file it would give garbage.
  if (t.VersionWord == 43) Stop(t.cv, "BigTIFF pas support\u00e9");
}

void WalkDirectories(TiffReader& t, uint64_t firstOffset) {
  std::vector<uint64_t> visited;
  uint64_t offset = firstOffset;
  bool sub = false;
  for (unsigned k = 0; k < MaxDirectories; ++k) {
    t.CurrentNumber = static_cast<uint16_t>(std::min<uint32_t>(t.NextNumber, 65535));
    if (t.NextNumber < UINT32_MAX) ++t.NextNumber;
    t.Decodable = t.CurrentNumber == t.WantedNumber;
    t.InSubIfd = sub;
    ResetDirectoryState(t);
    if (!sub && !t.FocalPlaneFromExif) {
      t.FocalPlaneResX = t.FocalPlaneResY = 0;
      t.FocalPlaneUnit = 0;
    }
    t.DirectoryOffset = offset;
    Say(t.cv, "Ori=" + std::to_string(t.Base));
    Say(t.cv, "Fdo=" + std::to_string(offset));
    const uint64_t at = t.Base + offset;
    if (offset >= UINT32_MAX || at + 2 > static_cast<uint64_t>(t.file.FileSize()))
      Stop(t.cv, "R\u00e9pertoire hors du fichier");
    if (std::find(visited.begin(), visited.end(), at) != visited.end()) {
      Say(t.cv, "R\u00e9pertoire d\u00e9j\u00e0 vu");
      t.Decodable = false;
      return;
    }
    visited.push_back(at);
    const uint16_t entries = t.file.U16At(at);
    Say(t.cv, "Nde=" + std::to_string(entries));
    Say(t.cv, "Num=" + std::to_string(t.CurrentNumber));
    Say(t.cv, " Signe Type  Nombre  Val/Ori Sens");
    for (unsigned i = 0; i < entries; ++i) {
      const TiffEntry e = ReadTiffEntry(t, at + 2 + 12 * uint64_t{i});
      t.Line = TiffListingFields(e);
      if (e.Tag != 0 && !HandleImageTag(t, e)) HandleMetadataTag(t, e);
      Say(t.cv, t.Line);
    }
    if (t.PendingSubIfd != 0) {
      offset = t.PendingSubIfd;
      t.PendingSubIfd = 0;
      sub = true;
      continue;
    }
    if (t.CurrentNumber >= t.WantedNumber) return;
    const uint32_t next = t.file.U32At(at + 2 + 12 * uint64_t{entries});
    if (next == 0) {
      t.ChainEnded = true;
      return;
    }
    offset = next;
    sub = false;
  }
  t.Decodable = false;
}

void ApplyFileOrientation(TiffReader& t) {
  ImageState& st = t.cv.State;
  if (!st.FollowFileOrientation) return;
  if (t.Orientation == 2 || t.Orientation == 3) st.MirrorX = st.MirrorX ? 0 : 1;
  if (t.Orientation == 3 || t.Orientation == 4) st.FlipY = st.FlipY ? 0 : 1;
}

void CheckDecodable(TiffReader& t) {
  if (!t.Decodable) {
    if (t.CurrentNumber != t.WantedNumber)
      Stop(t.cv, "Image " + std::to_string(t.WantedNumber) + " absente du fichier");
    Stop(t.cv, t.Refusal.empty() ? std::string("Image pas d\u00e9codable") : t.Refusal);
  }
  // Halved chroma is stored in blocks across rows: refused rather than misplaced.
  if (t.Photometric == 6 && t.Compression != CodeJpeg &&
      (t.YCbCrSubsampling[0] != 1 || t.YCbCrSubsampling[1] != 1)) {
    Stop(t.cv, "YCbCr sous-\u00e9chantillonn\u00e9 pas support\u00e9");
  }
  if (t.ImageWidth == 0 || t.ImageHeight == 0 || t.ImageWidth > MaxRowSamples ||
      t.ImageHeight > 65535) {
    Stop(t.cv, "Taille d'image incorrecte : " + std::to_string(t.ImageWidth) + " x " +
                   std::to_string(t.ImageHeight));
  }
}

// Grey values of the palette, or the identity, unless a linearisation table
// filled the lookup table. The three colour arrays hold `count` entries each.
void PrepareLookupTable(TiffReader& t) {
  if (t.LookupFill > 0) return;
  const ImageState& st = t.cv.State;
  if (t.PaletteOffset == 0 || t.PaletteCount == 0) {
    for (std::size_t i = 0; i < LookupTableSize; ++i) t.LookupTable[i] = static_cast<uint16_t>(i);
    return;
  }
  const uint64_t n = std::min<uint64_t>(t.PaletteCount, LookupTableSize);
  const uint64_t plane = 2 * uint64_t{t.PaletteCount};
  for (uint64_t i = 0; i < n; ++i) {
    const double r = t.file.U16At(t.PaletteOffset + 2 * i);
    const double g = t.file.U16At(t.PaletteOffset + plane + 2 * i);
    const double b = t.file.U16At(t.PaletteOffset + 2 * plane + 2 * i);
    t.LookupTable[i] = RoundClampToWord(r * st.ChannelWeightR + g * st.ChannelWeightV +
                                        b * st.ChannelWeightB);
  }
  for (uint64_t i = n; i < LookupTableSize; ++i) t.LookupTable[i] = 0;
}

// The image is a colour-filter mosaic when its directory says so, when a
// maker rule or the container says so, or when the options fixed a pattern.
bool IsMosaic(const TiffReader& t) {
  const ImageState& st = t.cv.State;
  const auto& p = st.CfaPattern;
  if (p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 0) return st.CfaPatternGiven != 0;
  return t.Photometric == 32803 || (t.Photometric == 34892 && t.CfaPatternSeen) ||
         t.MosaicByMaker || st.CfaPatternGiven != 0 ||
         FoldedPos("OLYMPUS", st.DetectorMaker.view()) == 1;
}

void SetupGamma(TiffReader& t) {
  const ImageState& st = t.cv.State;
  t.GammaOn = st.GammaValue > 0.0f && st.GammaValue != 1.0f && t.BitsPerSample[0] != 0;
  if (!t.GammaOn) return;
  const double m = std::ldexp(1.0, t.BitsPerSample[0]) - 1.0;
  t.GammaExponent = st.GammaInverse;
  t.GammaScale = std::pow(m, 1.0 - t.GammaExponent);
}

bool PlanesTwoToFourEmpty(const TiffReader& t) {
  return t.BitsPerSample[1] == 0 && t.BitsPerSample[2] == 0 && t.BitsPerSample[3] == 0;
}

bool ModelIs(const ImageState& st, std::initializer_list<std::string_view> models) {
  return std::find(models.begin(), models.end(), st.Detector.view()) != models.end();
}

// The header and the directories up to the wanted one. The reader state holds
// the 128 KiB lookup table: it lives on the heap.
std::unique_ptr<TiffReader> WalkFile(Conversion& cv, TiffFileView& view, int16_t variant,
                                     uint16_t wanted) {
  auto reader = std::make_unique<TiffReader>(cv, view);
  TiffReader& t = *reader;
  t.FileKind = KindOfVariant(variant);
  t.ImageNumberGiven = cv.State.ImageNumber != 0;
  t.WantedNumber = wanted;
  ReadHeader(t);
  WalkDirectories(t, view.U32At(t.Base + 4));
  return reader;
}

} // namespace

void ReadTiffFamily(Conversion& cv, int16_t defaultImageNumber) {
  ReadOptions(cv);
  ImageState& st = cv.State;
  OpenInput(cv);
  TiffFileView view(cv.Input);
  const uint16_t wanted = st.ImageNumber != 0
                             ? st.ImageNumber
                             : static_cast<uint16_t>(std::max<int>(1, defaultImageNumber));
  auto reader = WalkFile(cv, view, defaultImageNumber, wanted);
  // A DNG without the sub-directory that usually holds its raw image (its raw
  // image is IFD0): the last directory when it is a full-size mosaic or linear
  // raw image, unless the command line chose one. Anything else (a preview
  // left alone) is not taken for the raw image.
  if (!reader->Decodable && reader->ChainEnded && st.ImageNumber == 0 && reader->DngSeen &&
      reader->CurrentNumber >= 1 && reader->CurrentNumber < wanted &&
      (reader->Photometric == 32803 || reader->Photometric == 34892) && !reader->ReducedImage) {
    const uint16_t last = reader->CurrentNumber;
    Say(cv, "Image " + std::to_string(wanted) + " absente du fichier : image " + std::to_string(last));
    reader = WalkFile(cv, view, defaultImageNumber, last);
  }
  TiffReader& t = *reader;

  ReadMetadataDirectories(t);
  CheckDecodable(t);
  ApplyModelRules(t);
  PrepareLookupTable(t);
  ApplyPatternRules(t);
  Say(cv, "Pav=" + std::to_string(st.CfaPattern[0]) + "," + std::to_string(st.CfaPattern[1]) +
              "," + std::to_string(st.CfaPattern[2]) + "," + std::to_string(st.CfaPattern[3]));
  if (FoldedPos("OLYMPUS", st.DetectorMaker.view()) == 1) t.Photometric = 32803;
  if (IsMosaic(t)) {
    CfaSetup(cv);
  } else {
    st.IsCfa = 0;
  }
  if (t.Compression == CodePackBits && t.BitsPerSample[0] == 12 &&
      FoldedPos("PENTAX", st.DetectorMaker.view()) == 1) {
    t.Compression = CodeNone;
  }
  if (t.Compression == CodeJpeg && FoldedPos("SONY", st.DetectorMaker.view()) == 1)
    Stop(cv, "JPEG, pas d\u00e9cod\u00e9e");
  if (ModelIs(st, {"ILCE-7S", "ILCE-7M2", "ILCE-7RM2", "ILCE-6300"})) t.Mode = 'S';

  st.ImageWidth = static_cast<uint16_t>(t.ImageWidth);
  st.ImageHeight = static_cast<uint16_t>(t.ImageHeight);
  ApplyFileOrientation(t);
  if ((t.Compression == CodeJpeg || t.Compression == 34712 || t.Compression == 34713) &&
      PlanesTwoToFourEmpty(t)) {
    if (st.Detector.find(" 5DS") != std::string_view::npos) {
      t.LargeFrameJpeg = true;
      st.EraseInput = 0;
    }
    DecodeLosslessJpeg(t);
    cv.Input.Close();
    return;
  }
  if (t.Compression == CodeJpeg) Stop(cv, "JPEG, pas d\u00e9cod\u00e9e");
  // Tiles are placed by the lossless JPEG decoder only; the strip machinery
  // must never read them as strips.
  if (t.TiledImage) Stop(cv, "Image en tuiles pas support\u00e9e");

  // The vendor unpackers check their data first and then prepare the output.
  if (t.Compression == CodeKodakDc120) {
    ReadKodakDc120(t);
    cv.Input.Close();
    return;
  }
  if (t.FileKind == TiffFileKind::PanasonicRaw) {
    ReadPanasonicRaw(t);
    cv.Input.Close();
    return;
  }
  SetupGamma(t);
  if (t.Mode == 0) ChooseUnpackMode(t);
  if (t.FileKind != TiffFileKind::PlainTiff && ApplyMakerRefinements(t)) {
    cv.Input.Close();
    return;
  }
  CheckImageData(t);
  PrepareOutput(cv);
  Say(cv, std::string("Mod=") + t.Mode);
  DecodeTiffRows(t);
  cv.Input.Close();
}

} // namespace korv
