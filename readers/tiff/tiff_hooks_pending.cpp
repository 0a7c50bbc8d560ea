// Interim definitions of the hooks of tiff_hooks.h. Each is replaced, and its
// definition here deleted, when the decoder or interpreter it stands for is in.
// Until then a file that needs one stops with a clear message before any
// output; files that do not need them convert as they will then.

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "core/conversion.h"
#include "core/stop.h"
#include "core/text.h"
#include "readers/tiff/tiff_hooks.h"

namespace korv {
namespace {

constexpr std::string_view NotYet = "D\u00e9codage pas encore disponible : ";

// The text of an ASCII entry up to its first NUL, at most 255 bytes.
std::string EntryText(TiffReader& t, const TiffEntry& e) {
  std::array<uint8_t, 255> bytes{};
  const std::size_t n = std::min<std::size_t>(e.Count, bytes.size());
  TiffEntryBytes(t, e, std::span<uint8_t>(bytes.data(), n));
  std::string s;
  for (std::size_t i = 0; i < n && bytes[i] != 0; ++i) s.push_back(static_cast<char>(bytes[i]));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

bool StartsWithFolded(std::string_view text, std::string_view prefix) {
  return FoldedPos(prefix, text) == 1;
}

bool IsOneOf(std::string_view v, std::initializer_list<std::string_view> list) {
  return std::find(list.begin(), list.end(), v) != list.end();
}

} // namespace

// Only the maker, the model and the software are taken, since the unpack modes
// depend on them; tags that change the image mark the file as not decodable yet.
void HandleMetadataTag(TiffReader& t, const TiffEntry& e) {
  ImageState& st = t.cv.State;
  switch (e.Tag) {
  case 271:
    st.DetectorMaker = EntryText(t, e);
    t.Line += "Marque: " + st.DetectorMaker.str();
    return;
  case 272:
    st.Detector = EntryText(t, e);
    t.Line += "Appareil: " + st.Detector.str();
    if (!t.ImageNumberGiven &&
        IsOneOf(st.Detector.view(),
                {"NIKON D1", "NIKON D1X", "NIKON D1H", "NIKON D100", "LS-5000"})) {
      t.NotDecodableYet = "choix d'image de l'appareil";
    }
    return;
  case 305: {
    const std::string s = EntryText(t, e);
    st.Creator = s.substr(0, s.find(' '));
    t.Line += "Logiciel: " + s;
    return;
  }
  case 50712:
  case 50752:
  case 50649:
    t.NotDecodableYet = "table DNG ou Canon";
    break;
  default:
    break;
  }
  t.Line += "? ";
}

void ReadMetadataDirectories(TiffReader& t) {
  const ImageState& st = t.cv.State;
  if (StartsWithFolded(st.DetectorMaker.view(), "LEICA") ||
      FoldedPos("DC120 CAMERA", st.Creator.view()) > 0) {
    t.NotDecodableYet = "r\u00e8gles de l'appareil";
  }
  if (!t.NotDecodableYet.empty()) Stop(t.cv, std::string(NotYet) + std::string(t.NotDecodableYet));
}

void ApplyModelRules(TiffReader& t) {
  const ImageState& st = t.cv.State;
  if (t.BitsPerSample[0] == 14 && IsOneOf(st.Detector.view(), {"SLT-A99V", "DSC-RX1"}))
    Stop(t.cv, std::string(NotYet) + "r\u00e8gles de l'appareil");
}

void ApplyPatternRules(TiffReader& t) {
  const ImageState& st = t.cv.State;
  if (IsOneOf(st.Detector.view(),
              {"COOLPIX P330", "COOLPIX P7700", "COOLPIX P7800", "COOLPIX P6000",
               "COOLPIX P7000", "COOLPIX P7100", "COOLPIX B700", "COOLPIX P340"})) {
    Stop(t.cv, std::string(NotYet) + "r\u00e8gles de l'appareil");
  }
}

bool ApplyMakerRefinements(TiffReader& t) {
  const ImageState& st = t.cv.State;
  const std::string_view maker = st.DetectorMaker.view();
  const std::string_view model = st.Detector.view();
  const unsigned bits = t.BitsPerSample[0];
  const bool pentaxModel = FoldUpper(model) == std::string_view("PENTAX *IST D") ||
                           FoldUpper(model) == std::string_view("PENTAX *IST DL");
  const bool applies =
      t.Compression == 32769 || t.Compression == 65535 ||
      ((t.Compression == 32773 || t.Compression == CodePackBits || t.Compression == CodeNone) &&
       bits == 12 && pentaxModel) ||
      (t.Compression == 32767 && FoldedPos("SONY", maker) > 0) ||
      (t.Compression == CodeNone && bits == 14 && FoldedPos("SONY", maker) > 0) ||
      (FoldedPos("NIKON", maker) > 0 && IsOneOf(model, {"E5400", "E5700", "E8400"})) ||
      FoldedPos("OLYMPUS", maker) > 0;
  if (applies) Stop(t.cv, std::string(NotYet) + "r\u00e8gles de l'appareil");
  return false;
}

void DecodeLosslessJpeg(TiffReader& t) {
  Stop(t.cv, std::string(NotYet) + "JPEG sans perte ou NEF");
}

void ReadPanasonicRaw(TiffReader& t) { Stop(t.cv, std::string(NotYet) + "Panasonic"); }
void ReadPentaxRaw(TiffReader& t) { Stop(t.cv, std::string(NotYet) + "Pentax"); }
void ReadKodakDc120(TiffReader& t) { Stop(t.cv, std::string(NotYet) + "Kodak DC120"); }
void ReadLosslessLoco(TiffReader& t) { Stop(t.cv, std::string(NotYet) + "Olympus"); }

} // namespace korv
