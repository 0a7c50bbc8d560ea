// Checked file view, directory entries and their listing fields, and the sample
// post-processing shared by every unpack mode and raw decoder of the family.

#include "readers/tiff/tiff_container.h"

#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "core/conversion.h"
#include "core/input_file.h"
#include "core/numbers.h"
#include "core/stop.h"

namespace korv {

int64_t TiffFileView::FileSize() const { return in_.Size(); }

std::size_t TiffFileView::ReadAt(uint64_t position, std::span<uint8_t> out) {
  std::fill(out.begin(), out.end(), uint8_t{0});
  const uint64_t size = static_cast<uint64_t>(in_.Size());
  if (position >= size) {
    if (!out.empty()) overran_ = true;
    return 0;
  }
  const std::size_t wanted =
      static_cast<std::size_t>(std::min<uint64_t>(out.size(), size - position));
  if (!in_.Seek(static_cast<int64_t>(position))) {
    overran_ = true;
    return 0;
  }
  const std::size_t got = in_.Read(out.data(), wanted);
  if (got < out.size()) overran_ = true;
  return got;
}

namespace {

uint64_t Assemble(std::span<const uint8_t> b, ByteOrder order) {
  uint64_t v = 0;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (order == ByteOrder::Little)
      v |= uint64_t{b[i]} << (8 * i);
    else
      v = (v << 8) | b[i];
  }
  return v;
}

} // namespace

uint8_t TiffFileView::U8At(uint64_t position) {
  std::array<uint8_t, 1> b{};
  ReadAt(position, b);
  return b[0];
}

uint16_t TiffFileView::U16At(uint64_t position) {
  std::array<uint8_t, 2> b{};
  ReadAt(position, b);
  return static_cast<uint16_t>(Assemble(b, order_));
}

uint32_t TiffFileView::U32At(uint64_t position) {
  std::array<uint8_t, 4> b{};
  ReadAt(position, b);
  return static_cast<uint32_t>(Assemble(b, order_));
}

uint16_t TiffFileView::U16BigAt(uint64_t position) {
  std::array<uint8_t, 2> b{};
  ReadAt(position, b);
  return static_cast<uint16_t>(Assemble(b, ByteOrder::Big));
}

uint32_t TiffFileView::U32BigAt(uint64_t position) {
  std::array<uint8_t, 4> b{};
  ReadAt(position, b);
  return static_cast<uint32_t>(Assemble(b, ByteOrder::Big));
}

double TiffFileView::RationalAt(uint64_t position, bool isSigned) {
  const uint32_t num = U32At(position);
  const uint32_t den = U32At(position + 4);
  if (den == 0) return 0;
  if (isSigned) {
    return static_cast<double>(static_cast<int32_t>(num)) /
           static_cast<double>(static_cast<int32_t>(den));
  }
  return static_cast<double>(num) / static_cast<double>(den);
}

float TiffFileView::FloatAt(uint64_t position) {
  const uint32_t bits = U32At(position);
  float f = 0;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

double TiffFileView::DoubleAt(uint64_t position) {
  std::array<uint8_t, 8> b{};
  ReadAt(position, b);
  const uint64_t bits = Assemble(b, order_);
  double d = 0;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

unsigned TiffTypeSize(uint16_t type) {
  switch (type) {
  case 1:
  case 2:
  case 6:
  case 7:
    return 1;
  case 3:
  case 8:
    return 2;
  case 4:
  case 9:
  case 11:
  case 13: // IFD pointer
    return 4;
  case 5:
  case 10:
  case 12:
    return 8;
  default:
    return 0;
  }
}

namespace {

uint8_t ClassifyValueMode(uint16_t type, uint32_t count) {
  switch (type) {
  case 1:
    return count == 1 ? 0 : count <= 4 ? 2 : 3;
  case 2:
  case 6:
  case 7:
    return count <= 4 ? 1 : 3;
  case 3:
    return count == 1 ? 0 : count <= 2 ? 2 : 3;
  case 4:
  case 9:
    return count == 1 ? 0 : 3;
  case 8:
    return count <= 2 ? 1 : 3;
  case 11:
    return count == 1 ? 1 : 3;
  default:
    // Rationals, doubles and any type without a size of its own sit elsewhere.
    return 3;
  }
}

// Panasonic raw files number their own tags; the ones the reader uses are
// mapped to their TIFF meaning, the others are ignored.
uint16_t PanasonicTag(uint16_t tag) {
  switch (tag) {
  case 2:
    return 256;
  case 3:
    return 257;
  case 23:
    return 34855;
  case 280:
    return 273;
  case 271:
  case 272:
  case 278:
  case 34665:
    return tag;
  default:
    return 0;
  }
}

std::string PadLeft(std::string s, std::size_t width) {
  if (s.size() < width) s.insert(0, width - s.size(), ' ');
  return s;
}

} // namespace

TiffEntry ReadTiffEntry(TiffReader& t, uint64_t entryPos) {
  TiffEntry e;
  e.EntryPos = entryPos;
  e.RawTag = t.file.U16At(entryPos);
  e.Type = t.file.U16At(entryPos + 2);
  e.Count = t.file.U32At(entryPos + 4);
  e.Tag = t.FileKind == TiffFileKind::PanasonicRaw ? PanasonicTag(e.RawTag) : e.RawTag;
  if (e.Type > 255) {
    Say(t.cv, "");
    Stop(t.cv, "Type d'entr\u00e9e incorrect : " + std::to_string(e.Type));
  }
  e.ValueMode = ClassifyValueMode(e.Type, e.Count);
  e.ValuePos = entryPos + 8;
  switch (e.ValueMode) {
  case 0:
    if (e.Type == 1)
      e.Value = t.file.U8At(entryPos + 8);
    else if (e.Type == 3)
      e.Value = t.file.U16At(entryPos + 8);
    else
      e.Value = t.file.U32At(entryPos + 8);
    break;
  case 3:
    e.Value = t.file.U32At(entryPos + 8);
    e.ValuePos = t.Base + e.Value;
    break;
  default:
    break;
  }
  return e;
}

std::string TiffListingFields(const TiffEntry& e) {
  std::string line = PadLeft(std::to_string(e.Tag), 5) + PadLeft(std::to_string(e.Type), 5) +
                     PadLeft(std::to_string(e.Count), 8);
  switch (e.ValueMode) {
  case 0:
    line += PadLeft(std::to_string(e.Value), 9) + " ";
    break;
  case 1:
    line += PadLeft("-", 9) + " ";
    break;
  case 2:
    line += PadLeft("[tabloc]", 9) + " ";
    break;
  default:
    line += PadLeft(std::to_string(e.Value), 9) + "^";
    break;
  }
  return line;
}

uint32_t TiffEntryInteger(TiffReader& t, const TiffEntry& e, uint32_t i) {
  if (i >= e.Count) return 0;
  const uint64_t size = TiffTypeSize(e.Type);
  const uint64_t pos = e.ValuePos + size * i;
  switch (e.Type) {
  case 1:
  case 2:
  case 6:
  case 7:
    return t.file.U8At(pos);
  case 3:
  case 8:
    return t.file.U16At(pos);
  case 4:
  case 9:
  case 13:
    return t.file.U32At(pos);
  default:
    return 0;
  }
}

double TiffEntryNumber(TiffReader& t, const TiffEntry& e, uint32_t i) {
  if (i >= e.Count) return 0;
  const uint64_t pos = e.ValuePos + uint64_t{TiffTypeSize(e.Type)} * i;
  switch (e.Type) {
  case 1:
  case 3:
  case 4:
  case 7:
  case 13:
    return TiffEntryInteger(t, e, i);
  case 6:
    return static_cast<int8_t>(t.file.U8At(pos));
  case 8:
    return static_cast<int16_t>(t.file.U16At(pos));
  case 9:
    return static_cast<int32_t>(t.file.U32At(pos));
  case 5:
    return t.file.RationalAt(pos, false);
  case 10:
    return t.file.RationalAt(pos, true);
  case 11:
    return t.file.FloatAt(pos);
  case 12:
    return t.file.DoubleAt(pos);
  default:
    return 0;
  }
}

std::size_t TiffEntryBytes(TiffReader& t, const TiffEntry& e, std::span<uint8_t> out) {
  const uint64_t total = uint64_t{e.Count} * TiffTypeSize(e.Type);
  const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(total, out.size()));
  std::fill(out.begin(), out.end(), uint8_t{0});
  return t.file.ReadAt(e.ValuePos, out.first(n));
}

uint16_t FinishSample(const TiffReader& t, uint32_t value, unsigned column, unsigned row) {
  const ImageState& st = t.cv.State;
  double v = value;
  if (t.GammaOn && value > 0) v = std::nearbyint(std::pow(v, t.GammaExponent) * t.GammaScale);
  if (st.IsCfa) {
    v *= st.CfaFactor[2 * (row & 1) + (column & 1)];
  } else {
    v *= st.LevelFactor;
  }
  return RoundClampToWord(v);
}

} // namespace korv
