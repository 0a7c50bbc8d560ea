// Princeton Instruments SPE files: a 4100-byte little-endian header (version 2
// and 3 alike; version 3 adds an XML footer after the data), then the frames,
// rows top first. Only the first frame is converted. Sample types: 0 32-bit
// float, 1 signed 32-bit, 2 signed 16-bit, 3 unsigned 16-bit.
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/byte_view.h"
#include "core/conversion.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/truncation.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/readers.h"

namespace korv {
namespace {

constexpr unsigned SpeHeaderBytes = 4100;

struct SpeHeader {
  uint16_t Width = 0;
  int16_t Type = 0;
  uint16_t Height = 0;
  int32_t Frames = 0;
};

SpeHeader ReadSpeHeader(Conversion& cv) {
  std::array<uint8_t, 1450> block{};
  cv.Input.Seek(0);
  const std::size_t got = cv.Input.Read(block.data(), block.size());
  ByteView v(std::span<const uint8_t>(block.data(), got), ByteOrder::Little);
  SpeHeader h;
  h.Width = v.U16At(42);
  h.Type = static_cast<int16_t>(v.U16At(108));
  h.Height = v.U16At(656);
  h.Frames = static_cast<int32_t>(v.U32At(1446));
  return h;
}

const char* TypeName(int16_t type) {
  switch (type) {
  case 0:
    return "R32";
  case 1:
    return "I32";
  case 2:
    return "I16";
  case 3:
    return "W16";
  default:
    return "?";
  }
}

unsigned SampleBytes(int16_t type) { return type <= 1 ? 4 : 2; }

double SampleAt(std::span<const uint8_t> row, std::size_t i, int16_t type, bool swap) {
  const unsigned n = SampleBytes(type);
  const uint8_t* p = row.data() + n * i;
  uint32_t s = 0;
  for (unsigned k = 0; k < n; ++k) s |= uint32_t{p[swap ? n - 1 - k : k]} << (8 * k);
  switch (type) {
  case 0: {
    float f = 0;
    std::memcpy(&f, &s, sizeof f);
    return f;
  }
  case 1:
    return static_cast<int32_t>(s);
  case 2:
    return static_cast<int16_t>(s) + 32768.0;
  default:
    return s;
  }
}

} // namespace

void ReadSpe(Conversion& cv) {
  ReadOptions(cv);
  ReadValueTransform(cv);
  if (!OpenInput(cv)) Stop(cv, "Lecture impossible : " + cv.State.InputFilePath.str());
  const SpeHeader h = ReadSpeHeader(cv);
  Say(cv, "Ipa=" + std::to_string(h.Type) + " " + TypeName(h.Type));
  Say(cv, "Num=" + std::to_string(h.Frames));
  if (h.Width == 0 || h.Height == 0 || h.Width > MaxRowSamples) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(h.Width) + " x " +
                 std::to_string(h.Height));
  }
  if (h.Type < 0 || h.Type > 3) {
    Stop(cv, "Type d'\u00e9chantillon inconnu : " + std::to_string(h.Type));
  }
  const uint64_t rowBytes = uint64_t{h.Width} * SampleBytes(h.Type);
  const int64_t size = cv.Input.Size();
  if (size > 0) {
    const uint64_t data = size > SpeHeaderBytes ? static_cast<uint64_t>(size) - SpeHeaderBytes : 0;
    const uint64_t held = data / rowBytes;
    if (held < h.Height) {
      CheckMissingOutput(cv, (h.Height - held) * uint64_t{h.Width} * 2);
      NoteMissingData(cv, h.Height - held, h.Height, MissingUnit::Rows);
    }
  }

  ImageState& st = cv.State;
  st.ImageWidth = h.Width;
  st.ImageHeight = h.Height;
  PrepareOutput(cv);
  if (st.ValueScale == 0.0f) st.ValueScale = 1.0f;
  Say(cv, "F_z=" + FormatFixed(st.ValueOffset, 1));
  Say(cv, "F_s=" + FormatFixed(st.ValueScale, 4));

  // Option S declares the samples big-endian.
  const bool swap = st.LittleEndianSamples != 0;
  const double scale = st.ValueScale, offset = st.ValueOffset;
  std::vector<uint8_t> stored(rowBytes);
  cv.Input.Seek(SpeHeaderBytes);
  for (uint32_t r = 0; r < h.Height; ++r) {
    const std::size_t got = cv.Input.Read(stored.data(), stored.size());
    std::fill(stored.begin() + static_cast<std::ptrdiff_t>(got), stored.end(), uint8_t{0});
    const std::span<uint16_t> row = cv.Row();
    for (std::size_t c = 0; c < row.size(); ++c)
      row[c] = RoundClampToWord(SampleAt(stored, c, h.Type, swap) * scale + offset);
    WriteOutputRow(cv, static_cast<uint16_t>(r));
  }
  cv.Input.Close();
}

} // namespace korv
