// SER planetary videos: a 178-byte little-endian header, the frames one after
// another, then optionally one 8-byte time stamp per frame. Stamps count 100-ns
// ticks from 0001-01-01 00:00 UTC. The byte-order flag of the header is read
// the way capture programs write it: the value 1 marks samples to be swapped.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "core/byte_view.h"
#include "core/conversion.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/text.h"
#include "driver/options.h"
#include "readers/instrument/raw_layout.h"

namespace korv {
namespace {

constexpr unsigned SerHeaderBytes = 178;
// 0001-01-01 00:00 UTC in the proleptic Gregorian calendar.
constexpr double SerEpochJulian = 1721425.5;
constexpr double TicksPerDay = 864000000000.0;
constexpr uint64_t StampMask = (uint64_t{1} << 62) - 1;
// Rows of the largest image the output can hold.
constexpr uint64_t MaxImageRows = 65535;

struct SerHeader {
  Text Creator;
  int32_t SeriesNumber = 0;
  int32_t ColourId = 0;
  int32_t ByteOrderFlag = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t Bits = 0;
  int32_t Frames = 0;
  Text Observer;
  Text Instrument;
  Text Telescope;
  uint64_t LocalStamp = 0;
  uint64_t UtcStamp = 0;
};

// A fixed text field, NUL padding and blanks removed at both ends.
Text FieldText(std::span<const uint8_t> bytes) {
  std::size_t begin = 0, end = bytes.size();
  while (begin < end && (bytes[begin] == 0 || bytes[begin] == ' ')) ++begin;
  while (end > begin && (bytes[end - 1] == 0 || bytes[end - 1] == ' ')) --end;
  // Text stops at an inner NUL: what follows it is left-over buffer contents.
  std::size_t stop = begin;
  while (stop < end && bytes[stop] != 0) ++stop;
  Text t(std::string_view(reinterpret_cast<const char*>(bytes.data()) + begin, stop - begin));
  TrimRightBlanks(t);
  return t;
}

SerHeader ParseSerHeader(std::span<const uint8_t> block) {
  ByteView v(block, ByteOrder::Little);
  SerHeader h;
  h.Creator = FieldText(v.Bytes(14));
  h.SeriesNumber = static_cast<int32_t>(v.U32());
  h.ColourId = static_cast<int32_t>(v.U32());
  h.ByteOrderFlag = static_cast<int32_t>(v.U32());
  h.Width = static_cast<int32_t>(v.U32());
  h.Height = static_cast<int32_t>(v.U32());
  h.Bits = static_cast<int32_t>(v.U32());
  h.Frames = static_cast<int32_t>(v.U32());
  h.Observer = FieldText(v.Bytes(40));
  h.Instrument = FieldText(v.Bytes(40));
  h.Telescope = FieldText(v.Bytes(40));
  h.LocalStamp = v.U64();
  h.UtcStamp = v.U64();
  return h;
}

// The 2 x 2 colour-filter cell of a Bayer colour identifier (1 red, 2 green,
// 3 blue), or nothing for the other identifiers.
std::optional<std::array<uint8_t, 4>> BayerCell(int32_t colourId) {
  switch (colourId) {
  case 8:
    return std::array<uint8_t, 4>{1, 2, 2, 3}; // RGGB
  case 9:
    return std::array<uint8_t, 4>{2, 1, 3, 2}; // GRBG
  case 10:
    return std::array<uint8_t, 4>{2, 3, 1, 2}; // GBRG
  case 11:
    return std::array<uint8_t, 4>{3, 2, 2, 1}; // BGGR
  default:
    return std::nullopt;
  }
}

std::string JulianText(double jd) { return FormatFixed(jd, 7); }

// The stamp of frame k (from 1) of the trailer, when the file holds it and it is set.
std::optional<double> FrameStamp(Conversion& cv, int64_t trailer, uint64_t k) {
  const int64_t at = trailer + static_cast<int64_t>(8 * (k - 1));
  const int64_t size = cv.Input.Size();
  if (k == 0 || at < trailer || size < 8 || at > size - 8) return std::nullopt;
  std::array<uint8_t, 8> b{};
  if (!cv.Input.Seek(at) || cv.Input.Read(b.data(), b.size()) != b.size()) return std::nullopt;
  ByteView v(b, ByteOrder::Little);
  const double jd = SerStampToJulian(v.U64());
  if (jd == 0) return std::nullopt;
  return jd;
}

void StoreTimes(Conversion& cv, const SerHeader& h, uint64_t frameBytes, uint64_t requested) {
  ImageState& st = cv.State;
  const double local = SerStampToJulian(h.LocalStamp);
  const double utc = SerStampToJulian(h.UtcStamp);
  if (h.LocalStamp == 0) {
    Say(cv, "Te1=" + JulianText(local) + " - pas d'horodatage");
  } else {
    Say(cv, "Te1=" + JulianText(local));
  }
  Say(cv, "Te0=" + JulianText(utc));
  st.DateObs = utc;
  if (h.LocalStamp == 0 || h.Frames <= 0) return;

  const uint64_t frames = static_cast<uint64_t>(h.Frames);
  // The stamps follow every plane of every frame; a trailer beyond any file
  // size holds nothing.
  if (frameBytes != 0 && frames > (uint64_t{1} << 60) / frameBytes) return;
  const int64_t trailer = SerHeaderBytes + static_cast<int64_t>(frameBytes * frames);
  uint64_t n = requested == 0 ? 1 : std::min(requested, frames);
  const std::optional<double> te2 = FrameStamp(cv, trailer, n);
  // Exposure from two stamps: the frame and the one before it, or for frame 1
  // frames 1 and 2; over the whole video, the first and the last frame.
  uint64_t first = 1, second = frames, k = frames;
  if (requested != 0) {
    first = n > 1 ? n - 1 : 1;
    second = n > 1 ? n : 2;
    k = 1;
  }
  const std::optional<double> te3 = FrameStamp(cv, trailer, first);
  std::optional<double> te4;
  if (second <= frames) te4 = FrameStamp(cv, trailer, second);
  if (te2) Say(cv, "Te2=" + JulianText(*te2));
  if (te3) Say(cv, "Te3=" + JulianText(*te3));
  if (te4) Say(cv, "Te4=" + JulianText(*te4));
  if (!te2) return;
  st.DateObs = *te2 + (utc - local);
  st.DateRef = 3;
  if (te3 && te4 && *te4 > *te3 && first != second) {
    st.Exptime = (*te4 - *te3) / static_cast<double>(k) * 86400.0;
  }
}

} // namespace

double SerStampToJulian(uint64_t stamp) {
  const uint64_t ticks = stamp & StampMask;
  if (ticks == 0) return 0;
  return SerEpochJulian + static_cast<double>(ticks) / TicksPerDay;
}

void AnalyseSer(Conversion& cv, RawLayout& layout) {
  ImageState& st = cv.State;
  std::array<uint8_t, SerHeaderBytes> block{};
  cv.Input.Seek(0);
  if (cv.Input.Read(block.data(), block.size()) != block.size()) {
    Stop(cv, "Pas du SER : en-t\u00eate incomplet");
  }
  const SerHeader h = ParseSerHeader(block);

  st.Creator = h.Creator.view();
  st.Observer = h.Observer.view();
  st.Telescope = h.Telescope.view();
  Text detector = h.Instrument;
  if (h.SeriesNumber != 0) detector += "; " + std::to_string(h.SeriesNumber);
  st.Detector = detector.view();
  if (h.ByteOrderFlag == 1) layout.SwapBytes = !layout.SwapBytes;

  Say(cv, "Nph=" + std::to_string(h.Width));
  Say(cv, "Npv=" + std::to_string(h.Height));
  Say(cv, "Nbp=" + std::to_string(h.Bits));
  Say(cv, "Nsi=" + std::to_string(h.Frames));
  if (h.Width <= 0 || h.Height <= 0 || h.Frames < 0) {
    Stop(cv, "Pas du SER : taille " + std::to_string(h.Width) + " x " + std::to_string(h.Height) +
                 ", " + std::to_string(h.Frames) + " images");
  }
  // One frame must fit an image: this also keeps every offset below in range.
  if (static_cast<uint64_t>(h.Width) > MaxRowSamples || static_cast<uint64_t>(h.Height) > MaxImageRows) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(h.Width) + " x " +
                 std::to_string(h.Height));
  }
  const uint64_t requested = st.ImageNumber;
  if (requested > static_cast<uint64_t>(h.Frames)) {
    Stop(cv, "Image " + std::to_string(requested) + " absente : la vid\u00e9o en a " +
                 std::to_string(h.Frames));
  }

  layout.SampleType = h.Bits >= 9 ? 2 : 1;
  layout.Width = static_cast<uint64_t>(h.Width);
  layout.FrameRows = static_cast<uint64_t>(h.Height);
  if (h.ColourId == 100) layout.Colour = RawColour::Rgb;
  if (h.ColourId == 101) layout.Colour = RawColour::Bgr;
  const uint8_t mode = st.ValueTransformMode;
  layout.Shift = mode >= 1 && mode <= 6 ? mode : 0;
  Say(cv, "Nbd=" + std::to_string(layout.Shift));

  const uint64_t frameBytes = layout.Width * layout.FrameRows *
                              RawSampleBytes(layout.SampleType) * RawPlanes(layout);
  StoreTimes(cv, h, frameBytes, requested);

  if (requested != 0) {
    // Frames are at most 11.8 GB and at most 65535 of them are asked for.
    layout.DataOffset = SerHeaderBytes + static_cast<int64_t>((requested - 1) * frameBytes);
    layout.Height = layout.FrameRows;
  } else {
    layout.DataOffset = SerHeaderBytes;
    layout.Height = layout.FrameRows * static_cast<uint64_t>(h.Frames);
    if (h.Frames == 0) Stop(cv, "Vid\u00e9o SER sans image");
    if (layout.Height > MaxImageRows) {
      Stop(cv, "Vid\u00e9o trop longue pour une seule image : " + std::to_string(layout.Height) +
                   " lignes (65535 au plus) ; choisir une image (nom.ser,n)");
    }
  }

  if (const auto cell = BayerCell(h.ColourId)) {
    layout.Colour = RawColour::Bayer;
    if (!st.CfaPatternGiven) st.CfaPattern = *cell;
    CfaSetup(cv);
  }
}

} // namespace korv
