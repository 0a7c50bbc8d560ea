// The camera-rule table, applied at the places of the reader named in
// tiff_hooks.h, each in its table order. Model names compare exactly; makers
// by folded prefix or folded containment as each rule says.
#include "readers/tiff/camera_rules.h"

#include <string>

#include "core/conversion.h"
#include "core/stop.h"
#include "core/text.h"
#include "readers/tiff/tiff_hooks.h"

namespace korv {

namespace {

bool MakerStarts(const ImageState& st, std::string_view prefix) {
  return FoldedPos(prefix, st.DetectorMaker.view()) == 1;
}
bool MakerHas(const ImageState& st, std::string_view part) {
  return FoldedPos(part, st.DetectorMaker.view()) > 0;
}
bool ModelIs(const ImageState& st, std::initializer_list<std::string_view> models) {
  return In(st.Detector.view(), models);
}

void SetDefaultPattern(TiffReader& t) {
  ImageState& st = t.cv.State;
  if (st.CfaPatternGiven) return;
  st.CfaPattern = {1, 2, 2, 3};
}

const std::initializer_list<std::string_view> CoolpixX = {"COOLPIX P330", "COOLPIX P7700",
                                                              "COOLPIX P7800"};
const std::initializer_list<std::string_view> CoolpixStar = {"COOLPIX P6000", "COOLPIX P7000",
                                                                 "COOLPIX P7100", "COOLPIX B700"};
const std::initializer_list<std::string_view> SonyBlockModels = {"ILCE-7S", "ILCE-7M2",
                                                                     "ILCE-7RM2", "ILCE-6300"};

} // namespace

void ApplyModelImageRule(TiffReader& t) {
  const ImageState& st = t.cv.State;
  if (ModelIs(st, {"NIKON D1", "NIKON D1X", "NIKON D1H", "NIKON D100"})) {
    t.WantedNumber = 2;
    t.Decodable = t.CurrentNumber == 2;
  } else if (ModelIs(st, {"LS-5000"})) {
    t.WantedNumber = 1;
    t.Decodable = t.CurrentNumber == 1;
  }
}

void ApplyDirectoryRules(TiffReader& t) {
  ImageState& st = t.cv.State;
  if (MakerStarts(st, "LEICA")) {
    if (FoldedPos("MONOCHROM", st.Detector.view()) > 0) {
      // A monochrome sensor has no colour cells: no mosaic unless the options
      // fixed a pattern.
      if (st.CfaPatternGiven) {
        t.MosaicByMaker = true;
      } else {
        st.IsCfa = 0;
        st.CfaPattern = {0, 0, 0, 0};
        t.MosaicByMaker = false;
      }
    } else if (t.ImageWidth == 0 && t.ImageHeight == 0 && t.FirstStripBytes != 0 &&
               t.StripOrigin != 0 && t.RowsPerStrip != 0) {
      t.BitsPerSample = {16, 0, 0, 0};
      t.ImageHeight = t.RowsPerStrip;
      t.ImageWidth = t.FirstStripBytes / (2 * t.ImageHeight);
      if (!st.CfaPatternGiven) st.CfaPattern = {3, 2, 2, 1};
      t.MosaicByMaker = true;
    }
  }
  // The DC120 is told by its model, wherever the maker's text puts it.
  if (FoldedPos("DC120", st.Detector.view()) > 0 && t.ImageWidth == 1280) {
    t.Decodable = true;
    t.Compression = CodeKodakDc120;
    t.ImageWidth = 848;
  }
}

void ApplyModelRules(TiffReader& t) {
  ImageState& st = t.cv.State;
  if (t.BitsPerSample[0] == 14 && ModelIs(st, {"SLT-A99V", "DSC-RX1"})) t.BitsPerSample[0] = 12;
  // Pixel size from the focal-plane resolution (pixels per inch or per cm).
  if (t.FocalPlaneUnit == 2 || t.FocalPlaneUnit == 3) {
    const double mm = t.FocalPlaneUnit == 2 ? 25.4 : 10.0;
    if (st.PixelSizeXSet != 1 && t.FocalPlaneResX > 0) {
      st.PixelSizeX = mm / t.FocalPlaneResX;
      st.PixelSizeXSet = 2;
    }
    if (st.PixelSizeYSet != 1 && t.FocalPlaneResY > 0) {
      st.PixelSizeY = mm / t.FocalPlaneResY;
      st.PixelSizeYSet = 2;
    }
  }
}

void ApplyPatternRules(TiffReader& t) {
  const ImageState& st = t.cv.State;
  if (ModelIs(st, CoolpixX)) {
    SetDefaultPattern(t);
    t.Compression = CodeNone;
    t.BitsPerSample[0] = 16;
    t.Mode = 'X';
  } else if (ModelIs(st, CoolpixStar)) {
    SetDefaultPattern(t);
    t.Compression = CodeNone;
    t.Mode = '*';
  } else if (ModelIs(st, {"COOLPIX P340"})) {
    SetDefaultPattern(t);
    t.Compression = CodeNone;
    t.Mode = '^';
  }
}

bool ApplyMakerRefinements(TiffReader& t) {
  ImageState& st = t.cv.State;
  // A mode a model rule chose stays.
  if (ModelIs(st, CoolpixX) || ModelIs(st, CoolpixStar) || ModelIs(st, {"COOLPIX P340"}) ||
      ModelIs(st, SonyBlockModels)) {
    return false;
  }
  const unsigned bits = t.BitsPerSample[0];
  const std::string folded = std::string(FoldUpper(st.Detector.view()).view());
  const uint64_t area = uint64_t{t.ImageWidth} * t.ImageHeight;
  const bool packBits = t.Compression == 32773 || t.Compression == CodePackBits;
  if (t.Compression == 32769) {
    st.EraseInput = 0;
    t.Mode = '&';
  } else if ((packBits || t.Compression == CodeNone) && bits == 12 && folded == "PENTAX *IST D") {
    t.Mode = 'G';
    t.Compression = CodeNone;
  } else if (packBits && bits == 12 && folded == "PENTAX *IST DL") {
    t.Mode = 'x';
    t.Compression = CodeNone;
  } else if (t.Compression == 65535) {
    Say(t.cv, "Exp\u00e9rimental");
    st.EraseInput = 0;
    ReadPentaxRaw(t);
    return true;
  } else if (t.Compression == 32767 && (bits == 8 || bits == 12 || bits == 14) &&
             MakerHas(st, "SONY")) {
    if (bits == 8 || bits == 14)
      t.Mode = 'S';
    else if (t.Mode == 'x')
      t.Mode = area == t.FirstStripBytes ? 'S' : 'y';
  } else if (t.Compression == CodeNone && bits == 14 && MakerHas(st, "SONY") && t.Mode == 'X') {
    if (2 * area == t.FirstStripBytes) t.Mode = 'Y';
  } else if (t.Compression == CodeNone && MakerHas(st, "NIKON") &&
             ModelIs(st, {"E5400", "E5700", "E8400"}) && t.Mode == 'x') {
    t.Mode = '-';
  } else if (MakerHas(st, "OLYMPUS") && t.VersionWord == 0x5352) {
    t.Mode = 'z';
    t.OddRowShift = t.ImageHeight % 32 == 5 ? 12 : t.ImageHeight % 32 == 21 ? 6 : 0;
  } else if (MakerHas(st, "OLYMPUS") && ModelIs(st, {"E-1", "E-20,E-20N,E-20P", "E-400"})) {
    t.Mode = 'G';
  } else if (MakerHas(st, "OLYMPUS") && ModelIs(st, {"E-300", "E-330", "E-500"})) {
    t.Mode = '%';
  } else if (MakerHas(st, "OLYMPUS") && bits >= 14 && t.FirstStripBytes != 2 * area) {
    // 16-bit samples: the Olympus compressed code, as the peers read every
    // such image (a noisy image's stream can take more than 16 bits a
    // sample); only a strip of exactly one word a sample is read as words.
    ReadLosslessLoco(t);
    return true;
  } else if (MakerHas(st, "OLYMPUS") && bits == 12 && 2 * uint64_t{t.FirstStripBytes} == 3 * area) {
    // Packed 12-bit samples: little-endian 32-bit words, first bit the most
    // significant, one stream across the rows.
    t.Mode = '*';
  } else if (MakerHas(st, "OLYMPUS") && bits < 14) {
    Stop(t.cv, "Compression pas support\u00e9e");
  }
  return false;
}

} // namespace korv
