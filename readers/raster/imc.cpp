// IMC files: 24-bit pixels (red, green, blue bytes) row after row without
// padding, after a header of fixed length (55 bytes) that is not interpreted.
// Option I gives the width, the height and the header length; a side left
// unknown is derived from the file size, rounded up, so the last row may be
// incomplete. Pixels are weighted to grey with the channel weights.

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/colour.h"
#include "core/conversion.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/text.h"
#include "core/truncation.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/readers.h"

namespace korv {
namespace {

constexpr uint32_t DefaultHeaderLength = 55;

struct ImcLayout {
  uint64_t Width = 0;
  uint64_t Height = 0;
  uint64_t HeaderLength = DefaultHeaderLength;
};

// An unsigned decimal item ("+" allowed); false for anything else or above 2^32 - 1.
bool ConvertUnsignedItem(std::string_view t, uint64_t& out) {
  while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
  while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  if (t.empty()) return false;
  uint64_t v = 0;
  for (char c : t) {
    if (!IsDigit(c)) return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > 0xFFFFFFFFu) return false;
  }
  out = v;
  return true;
}

// Option I: width, height, header length; an item that is no unsigned number
// leaves its value as it was.
void ReadLayoutOption(Conversion& cv, ImcLayout& layout) {
  const unsigned count = ArgumentCount(cv);
  for (unsigned n = 2; n <= count; ++n) {
    const Text arg = GetArgument(cv, n);
    if (arg.empty() || (arg[0] != 'I' && arg[0] != 'i')) continue;
    Text rest = arg.substr(1);
    uint64_t* fields[3] = {&layout.Width, &layout.Height, &layout.HeaderLength};
    for (uint64_t* field : fields) {
      Text item;
      TakeItemSeparator(rest, item);
      uint64_t v = 0;
      if (ConvertUnsignedItem(item.view(), v)) *field = v;
    }
  }
}

uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// A side left at 0 follows from the pixels the file holds after its header.
void DeriveGeometry(ImcLayout& layout, int64_t fileSize) {
  if (layout.Width != 0 && layout.Height != 0) return;
  const uint64_t size = fileSize > 0 ? static_cast<uint64_t>(fileSize) : 0;
  const uint64_t pixels = size > layout.HeaderLength ? (size - layout.HeaderLength) / 3 : 0;
  if (layout.Width != 0) {
    layout.Height = CeilDiv(pixels, layout.Width);
  } else if (layout.Height != 0) {
    layout.Width = CeilDiv(pixels, layout.Height);
  }
}

void CheckLayout(Conversion& cv, const ImcLayout& l) {
  if (l.Width == 0 && l.Height == 0) {
    Stop(cv, "Largeur ou hauteur \u00e0 donner avec l'option I");
  }
  if (l.Width == 0 || l.Height == 0 || l.Width > MaxRowSamples || l.Height > 65535) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(l.Width) + " x " +
                 std::to_string(l.Height));
  }
  // Geometry given by option I for a short file must not fill the disk with zeros.
  const int64_t size = cv.Input.Size();
  if (size <= 0) return;
  const uint64_t held = uint64_t(size) > l.HeaderLength ? (uint64_t(size) - l.HeaderLength) / 3 : 0;
  const uint64_t pixels = l.Width * l.Height;
  if (held < pixels) CheckMissingOutput(cv, pixels - held);
}

} // namespace

void ReadImc(Conversion& cv) {
  ImageState& st = cv.State;
  ReadOptions(cv);
  st.InputMax = 255;
  ImcLayout layout;
  layout.Width = st.ImageWidth;
  layout.Height = st.ImageHeight;
  ReadLayoutOption(cv, layout);
  Say(cv, "rvb={" + FormatFixed(st.ChannelWeightR, 3) + "," + FormatFixed(st.ChannelWeightV, 3) +
              "," + FormatFixed(st.ChannelWeightB, 3) + "}");
  OpenInput(cv);
  DeriveGeometry(layout, cv.Input.Size());
  CheckLayout(cv, layout);

  st.ImageWidth = static_cast<uint16_t>(layout.Width);
  st.ImageHeight = static_cast<uint16_t>(layout.Height);
  PrepareOutput(cv);
  cv.Input.Seek(static_cast<int64_t>(layout.HeaderLength));
  // One row of at most 90000 bytes, sized from the checked width.
  std::vector<uint8_t> bytes(3 * layout.Width);
  uint64_t missing = 0;
  for (uint32_t y = 0; y < layout.Height; ++y) {
    const std::size_t got = cv.Input.Read(bytes.data(), bytes.size());
    // Pixels past the end of the file are 0.
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(got), bytes.end(), uint8_t{0});
    missing += layout.Width - got / 3;
    const std::span<uint16_t> row = cv.Row();
    for (std::size_t x = 0; x < row.size(); ++x) {
      row[x] = WeightedGreyExtended(st, bytes[3 * x], bytes[3 * x + 1], bytes[3 * x + 2]);
    }
    WriteOutputRow(cv, static_cast<uint16_t>(y));
  }
  NoteMissingData(cv, missing, layout.Width * layout.Height, MissingUnit::Samples);
  cv.Input.Close();
}

} // namespace korv
