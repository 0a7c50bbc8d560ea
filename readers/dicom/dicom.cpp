// DICOM files (128-byte preamble and "DICM") and older ACR-NEMA files (data
// elements from byte 0). The element walk prints a trace line per element and
// follows explicit and implicit value representations, byte-swapped group words,
// items, sequences and their delimiters, undefined lengths and group lengths.
// The group-2 meta header is little-endian; a big-endian transfer syntax makes
// the rest of the data set and the samples big-endian. Pixel data may be native
// (8-bit, packed 12-bit, 16-bit, grey, palette or three-sample colour, pixel by
// pixel or plane by plane), run-length encoded, or JPEG lossless; one frame of a
// multi-frame image is converted, the one given as image number.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/colour.h"
#include "core/conversion.h"
#include "core/input_file.h"
#include "core/julian.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/text.h"
#include "core/truncation.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/dicom/rle_segment.h"
#include "readers/readers.h"
#include "readers/tiff/lossless_jpeg.h"

namespace korv {
namespace {

constexpr std::string_view NotDicom = "Pas du DICOM !";
constexpr std::string_view NoImage = "Pas d'image dans le fichier";
constexpr std::string_view BadStructure = "Structure DICOM incorrecte";
constexpr std::string_view Unsupported = "Compression pas support\u00e9e";
constexpr std::string_view BadRle = "Donn\u00e9es RLE incorrectes";
constexpr std::string_view BadLayout = "Format de pixel pas support\u00e9 : ";
constexpr std::string_view NoPalette = "Palette absente";
constexpr std::string_view BadJpeg = "JPEG sans perte : image diff\u00e9rente de l'en-t\u00eate";
constexpr std::string_view FrameTooLarge = "Image compress\u00e9e trop grande";

constexpr int64_t PreambleBytes = 128;
// Elements of real files number in the thousands; a walk that goes on and on
// over a hostile file is cut short.
constexpr uint32_t MaxElements = 1u << 20;
// Nested sequences and items deeper than this are refused.
constexpr unsigned MaxNesting = 64;
constexpr uint32_t UndefinedLength = 0xFFFFFFFFu;
constexpr std::size_t WindowBytes = 1024 * 1024;
// A compressed frame is held in memory whole; never more than the file holds.
constexpr uint64_t MaxFrameBytes = uint64_t{256} << 20;

// Random access to the input through a read window. Bytes past the end of the
// file (or past a caller's limit) read as 0.
class FileWindow {
public:
  explicit FileWindow(InputFile& in) : in_(in), size_(in.Size()), buffer_(WindowBytes) {}

  int64_t Size() const { return size_; }

  uint8_t U8(int64_t pos) {
    if (pos < 0 || pos >= size_) return 0;
    if (pos < start_ || pos >= start_ + static_cast<int64_t>(fill_)) Load(pos);
    return buffer_[static_cast<std::size_t>(pos - start_)];
  }
  uint16_t U16(int64_t pos, bool swap) {
    const uint16_t a = U8(pos), b = U8(pos + 1);
    return static_cast<uint16_t>(swap ? (a << 8) | b : (b << 8) | a);
  }
  uint32_t U32(int64_t pos, bool swap) {
    const uint32_t a = U16(pos, swap), b = U16(pos + 2, swap);
    return swap ? (a << 16) | b : (b << 16) | a;
  }

  // Copies the bytes at [pos, pos + out.size()) that lie before `limit` and the
  // end of the file; the rest of out is 0. Returns the count copied. Short
  // reads go through the window, which is placed ahead of the read or, when
  // the reads walk backwards (rows handed over bottom row first), behind it.
  std::size_t Read(int64_t pos, std::span<uint8_t> out, int64_t limit) {
    const int64_t end = std::min(limit, size_);
    std::size_t got = 0;
    if (pos >= 0 && pos < end) {
      const auto want = static_cast<std::size_t>(
          std::min<int64_t>(static_cast<int64_t>(out.size()), end - pos));
      const auto inWindow = [&] {
        return pos >= start_ && pos + static_cast<int64_t>(want) <= start_ + static_cast<int64_t>(fill_);
      };
      if (!inWindow() && want <= buffer_.size() / 8) {
        const bool backwards = fill_ > 0 && pos < start_;
        Load(backwards ? std::max<int64_t>(0, pos + static_cast<int64_t>(want) -
                                                  static_cast<int64_t>(buffer_.size()))
                       : pos);
      }
      if (inWindow()) {
        std::copy_n(buffer_.begin() + (pos - start_), want, out.begin());
        got = want;
      } else {
        if (in_.Tell() != pos) in_.Seek(pos);
        got = in_.Read(out.data(), want);
      }
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(got), out.end(), uint8_t{0});
    return got;
  }

private:
  void Load(int64_t pos) {
    start_ = pos;
    if (in_.Tell() != pos) in_.Seek(pos);
    fill_ = in_.Read(buffer_.data(), buffer_.size());
    if (fill_ == 0) buffer_[0] = 0;
  }

  InputFile& in_;
  int64_t size_;
  std::vector<uint8_t> buffer_;
  int64_t start_ = 0;
  std::size_t fill_ = 0;
};

// One palette channel: descriptor (entries, first mapped index, bits) and
// where its table sits in the file.
struct PaletteChannel {
  bool Described = false;
  uint32_t Entries = 0; // 0 in the file stands for 65536
  uint16_t FirstRaw = 0;
  uint16_t Bits = 0;
  int64_t DataPos = -1;
  uint32_t DataLength = 0;
};

struct DicomHeader {
  uint16_t SamplesPerPixel = 0;
  uint16_t BitsAllocated = 0;
  uint16_t BitsStored = 0;
  uint16_t HighBit = 0;
  uint16_t Width = 0;
  uint16_t Height = 0;
  ShortText<40> TransferSyntax;
  uint8_t DicomCompression = 1; // 1 none, 4 JPEG, 5 run-length
  bool ExplicitVr = true;
  bool SwapWords = false;
  bool BigEndianSyntax = false;
  bool PixelDataFound = false;
  int64_t GroupEnd = 0;

  uint16_t PixelRepresentation = 0; // 1: signed samples
  uint16_t PlanarConfiguration = 0; // 1: plane after plane
  int32_t NumberOfFrames = 0;       // 0: not given
  ShortText<20> Photometric;
  std::array<PaletteChannel, 3> Palette{};

  int64_t PixelStart = 0; // first byte of the pixel data value
  uint32_t PixelLength = 0;
  bool PixelOw = false;
};

// Sequences and items being walked, so that only the top level gives the image.
struct Container {
  int64_t End = 0;     // defined length: first byte after it
  bool Undefined = false;
  bool Item = false;   // an item (ends with E00D) rather than a sequence (E0DD)
};

class Nesting {
public:
  unsigned Depth() const { return depth_; }
  bool Push(Conversion& cv, Container c) {
    if (depth_ == MaxNesting) Stop(cv, BadStructure);
    stack_[depth_++] = c;
    return true;
  }
  // Containers of defined length that end at or before p are left.
  void LeaveEnded(int64_t p) {
    while (depth_ > 0 && !stack_[depth_ - 1].Undefined && stack_[depth_ - 1].End <= p) --depth_;
  }
  void EndItem() {
    if (depth_ > 0 && stack_[depth_ - 1].Item && stack_[depth_ - 1].Undefined) --depth_;
  }
  void EndSequence() {
    // An undefined-length item left open by a damaged file ends with its sequence.
    while (depth_ > 0 && stack_[depth_ - 1].Item) --depth_;
    if (depth_ > 0) --depth_;
  }

private:
  std::array<Container, MaxNesting> stack_{};
  unsigned depth_ = 0;
};

std::string Padded(uint64_t v, std::size_t width) {
  std::string s = std::to_string(v);
  if (s.size() < width) s.insert(0, width - s.size(), ' ');
  return s;
}

std::string Hex(uint32_t v, unsigned digits) {
  constexpr std::string_view d = "0123456789ABCDEF";
  std::string s(digits, '0');
  for (unsigned i = 0; i < digits; ++i) s[digits - 1 - i] = d[(v >> (4 * i)) & 15];
  return s;
}

bool IsUpperLetter(uint8_t c) { return c >= 'A' && c <= 'Z'; }
uint8_t UpperAscii(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c; }

// Representations followed by two reserved bytes and a 32-bit length.
bool HasLongLength(std::string_view vr) {
  return In(vr, {"OB", "OW", "OF", "SQ", "WQ", "UT", "UN", "OD", "OL", "OV", "SV", "UV", "UC",
                 "UR"});
}

bool IsTextVr(std::string_view vr) {
  return In(vr, {"AE", "AS", "CS", "SH", "IS", "PN", "UI", "TM", "DS", "LO", "LT", "DA", "DT"});
}

constexpr uint32_t Tag(uint16_t g, uint16_t e) { return uint32_t{g} << 16 | e; }
constexpr uint32_t PixelDataTag = Tag(0x7FE0, 0x0010);

// The six image-pixel elements with their trace labels.
struct ImageTag {
  uint32_t Tag;
  std::string_view Label;
};
constexpr std::array<ImageTag, 6> ImageTags = {{
    {Tag(0x0028, 0x0002), "Nsp="},
    {Tag(0x0028, 0x0010), "Npv="},
    {Tag(0x0028, 0x0011), "Nph="},
    {Tag(0x0028, 0x0100), "Nba="},
    {Tag(0x0028, 0x0101), "Nbs="},
    {Tag(0x0028, 0x0102), "Nbh="},
}};

const ImageTag* FindImageTag(uint32_t tag) {
  for (const ImageTag& t : ImageTags)
    if (t.Tag == tag) return &t;
  return nullptr;
}

void StoreImageTag(DicomHeader& h, uint32_t tag, uint16_t v) {
  switch (tag) {
  case Tag(0x0028, 0x0002): h.SamplesPerPixel = v; break;
  case Tag(0x0028, 0x0010): h.Height = v; break;
  case Tag(0x0028, 0x0011): h.Width = v; break;
  case Tag(0x0028, 0x0100): h.BitsAllocated = v; break;
  case Tag(0x0028, 0x0101): h.BitsStored = v; break;
  case Tag(0x0028, 0x0102): h.HighBit = v; break;
  default: break;
  }
}

// Text of a value: NULs dropped, at most 68 bytes kept and trimmed; the trace
// shows it up to 199 characters, then "...".
struct TextValue {
  ShortText<68> Kept;
  std::string Shown;
};

TextValue ReadTextValue(FileWindow& f, int64_t pos, uint32_t length) {
  TextValue t;
  const uint32_t n = std::min<uint32_t>(length, 200);
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t c = f.U8(pos + i);
    if (i == 199) {
      t.Shown += "...";
      break;
    }
    if (c == 0) continue;
    t.Kept.push_back(static_cast<char>(c));
    // The console is UTF-8: bytes of other code pages are not shown as they are.
    t.Shown.push_back(c >= 32 && c < 127 ? static_cast<char>(c) : '?');
  }
  Text trimmed = t.Kept;
  TrimBlanks(trimmed);
  t.Kept = trimmed;
  return t;
}

void MergeInto(ShortText<68>& field, std::string_view value) {
  Text list = field;
  MergeList(list, 68, value);
  field = list;
}
void MergeInto(ShortText<20>& field, std::string_view value) {
  Text list = field;
  MergeList(list, 20, value);
  field = list;
}

// The decimal digits of a date or time value, whatever separates them.
std::string DigitsOf(std::string_view v) {
  std::string d;
  for (char c : v) {
    if (IsDigit(c)) d.push_back(c);
    else if (c == '.' && d.size() >= 6) break; // the fraction of a time
  }
  return d;
}

int Number(std::string_view digits, std::size_t pos, std::size_t n) {
  int v = 0;
  for (std::size_t i = pos; i < pos + n && i < digits.size(); ++i) v = v * 10 + (digits[i] - '0');
  return v;
}

void TakeDate(ImageState& st, std::string_view value) {
  if (st.DateKnown) return;
  const std::string d = DigitsOf(value);
  const int year = Number(d, 0, 4), month = Number(d, 4, 2), day = Number(d, 6, 2);
  // A value that is no calendar date gives no date.
  if (d.size() < 8 || month < 1 || month > 12 || day < 1 || day > 31) return;
  st.DateObs += JulianDate(year, month, day);
  st.DateKnown = 1;
}

void TakeTime(ImageState& st, std::string_view value) {
  if (st.TimeKnown) return;
  std::string_view v = value;
  // hhmmss.ffffff (or hh:mm:ss.ffffff in older files); the fraction is kept.
  const std::string d = DigitsOf(v);
  if (d.size() < 2) return;
  const int hours = Number(d, 0, 2), minutes = Number(d, 2, 2);
  double seconds = Number(d, 4, 2);
  const std::size_t dot = v.find('.');
  if (d.size() >= 6 && dot != std::string_view::npos) {
    double scale = 0.1;
    for (std::size_t i = dot + 1; i < v.size() && IsDigit(v[i]); ++i, scale *= 0.1)
      seconds += (v[i] - '0') * scale;
  }
  if (hours > 23 || minutes > 59 || seconds >= 61) return;
  st.DateObs += hours / 24.0 + minutes / 1440.0 + seconds / 86400.0;
  st.TimeKnown = 1;
}

// `after` receives a line to print after the element's own.
void ApplyTextValue(Conversion& cv, DicomHeader& h, uint32_t tag, std::string_view v,
                    bool topLevel, std::string& after) {
  ImageState& st = cv.State;
  switch (tag) {
  case Tag(0x0002, 0x0010):
    h.TransferSyntax = v;
    after = "Tui=" + h.TransferSyntax.str();
    break;
  case Tag(0x0010, 0x0010):
    // The patient's name is kept out of the output unless asked for.
    if (st.IncludeExtraData) MergeInto(st.ObjectName, v);
    break;
  case Tag(0x0008, 0x0022): TakeDate(st, v); break;
  case Tag(0x0008, 0x0032): TakeTime(st, v); break;
  case Tag(0x0008, 0x0060):
  case Tag(0x0018, 0x0022): MergeInto(st.ImageType, v); break;
  case Tag(0x0008, 0x0070):
  case Tag(0x0008, 0x0080): MergeInto(st.Detector, v); break;
  case Tag(0x0018, 0x0015): MergeInto(st.ObjectName, v); break;
  case Tag(0x0020, 0x4000):
    h.DicomCompression = StartsWith(v, "JPEG") ? 4 : StartsWith(v, "RLE") ? 5 : 1;
    break;
  case Tag(0x0028, 0x0004):
    if (topLevel) h.Photometric = v;
    break;
  case Tag(0x0028, 0x0008):
    if (topLevel) h.NumberOfFrames = ParseInteger(v);
    break;
  default: break;
  }
}

// Elements beyond the six that the pixel decoding needs, at the top level.
void ApplyPixelModuleValue(FileWindow& f, DicomHeader& h, uint32_t tag, int64_t pos,
                           uint32_t length) {
  const bool swap = h.SwapWords;
  switch (tag) {
  case Tag(0x0028, 0x0006): h.PlanarConfiguration = f.U16(pos, swap); break;
  case Tag(0x0028, 0x0103): h.PixelRepresentation = f.U16(pos, swap); break;
  case Tag(0x0028, 0x1101):
  case Tag(0x0028, 0x1102):
  case Tag(0x0028, 0x1103): {
    if (length < 6) break;
    PaletteChannel& c = h.Palette[(tag & 0xF) - 1];
    c.Described = true;
    const uint16_t n = f.U16(pos, swap);
    c.Entries = n == 0 ? 65536 : n;
    c.FirstRaw = f.U16(pos + 2, swap);
    c.Bits = f.U16(pos + 4, swap);
    break;
  }
  case Tag(0x0028, 0x1201):
  case Tag(0x0028, 0x1202):
  case Tag(0x0028, 0x1203): {
    PaletteChannel& c = h.Palette[(tag & 0xF) - 1];
    c.DataPos = pos;
    c.DataLength = length;
    break;
  }
  default: break;
  }
}

// Skips an element of undefined length that is no sequence (an unknown
// representation holding implicit little-endian items): walks its items and
// nested undefined lengths to the matching sequence delimiter. Returns the
// position after it, or -1 when the file ends first.
int64_t SkipUndefined(FileWindow& f, int64_t p, bool swap) {
  unsigned depth = 1;
  for (uint32_t n = 0; n < MaxElements && p + 8 <= f.Size(); ++n) {
    const uint16_t g = f.U16(p, swap), e = f.U16(p + 2, swap);
    const uint32_t len = f.U32(p + 4, swap);
    if (g == 0xFFFE && e == 0xE0DD) {
      p += 8;
      if (--depth == 0) return p;
    } else if (g == 0xFFFE && e == 0xE00D) {
      p += 8;
    } else if (len == UndefinedLength) {
      if (g != 0xFFFE && ++depth > MaxNesting) return -1;
      p += 8;
    } else {
      p += 8 + int64_t{len};
    }
  }
  return -1;
}

class ElementWalk {
public:
  ElementWalk(Conversion& cv, FileWindow& f, DicomHeader& h) : cv_(cv), f_(f), h_(h) {}

  void Run(int64_t start);

private:
  uint16_t U16(int64_t p) { return f_.U16(p, h_.SwapWords); }
  uint32_t U32(int64_t p) { return f_.U32(p, h_.SwapWords); }

  // Group length: the group ends that many bytes after this element.
  std::string TakeGroupLength(int64_t valueEnd, uint32_t value) {
    h_.GroupEnd = valueEnd + int64_t{value};
    std::string s = " taille du groupe=" + std::to_string(value) + " -> " +
                    std::to_string(h_.GroupEnd);
    if (h_.GroupEnd == f_.Size()) s += "=fin";
    return s;
  }
  void EndOfMetaGroup();
  void FoundPixelData(int64_t valueStart, uint32_t length, bool ow) {
    h_.PixelDataFound = true;
    h_.PixelStart = valueStart;
    h_.PixelLength = length;
    h_.PixelOw = ow;
  }
  // Handles the element at p; returns the next position, or -1 to end the walk.
  int64_t Implicit(int64_t p, uint32_t tag, std::string& line);
  int64_t Explicit(int64_t p, uint32_t tag, std::string& line);

  Conversion& cv_;
  FileWindow& f_;
  DicomHeader& h_;
  Nesting nest_;
  bool metaSeen_ = false;
  bool metaDone_ = false;
  std::string after_; // printed after the current element's line
};

// The data set after the group-2 meta header takes the byte order and the
// representation of the transfer syntax.
void ElementWalk::EndOfMetaGroup() {
  metaDone_ = true;
  const std::string_view ts = h_.TransferSyntax.view();
  if (ts == "1.2.840.10008.1.2.2") h_.SwapWords = true;
  if (ts == "1.2.840.10008.1.2") h_.ExplicitVr = false;
  // A deflated data set cannot be walked.
  if (ts == "1.2.840.10008.1.2.1.99") Stop(cv_, Unsupported);
}

int64_t ElementWalk::Implicit(int64_t p, uint32_t tag, std::string& line) {
  const uint32_t len = U32(p + 4);
  const int64_t valueStart = p + 8;
  const bool top = nest_.Depth() == 0;
  line += " -- " + std::to_string(len);
  if (tag == PixelDataTag && top) {
    FoundPixelData(valueStart, len, true);
    return -1;
  }
  if (const ImageTag* t = FindImageTag(tag); t && top) {
    const uint16_t v = U16(valueStart);
    StoreImageTag(h_, tag, v);
    line += " " + std::string(t->Label) + std::to_string(v);
  } else if ((tag & 0xFFFF) == 0 && len == 4) {
    line += TakeGroupLength(valueStart + 4, U32(valueStart));
  } else if (top && (tag == Tag(0x0028, 0x0004) || tag == Tag(0x0028, 0x0008))) {
    ApplyTextValue(cv_, h_, tag, ReadTextValue(f_, valueStart, len).Kept, true, after_);
  } else if (top && (tag >> 16) == 0x0028) {
    ApplyPixelModuleValue(f_, h_, tag, valueStart, len);
  }
  if (len == UndefinedLength) {
    // A sequence of undefined length: its items are walked.
    nest_.Push(cv_, Container{0, true, false});
    return valueStart;
  }
  return valueStart + int64_t{len};
}

int64_t ElementWalk::Explicit(int64_t p, uint32_t tag, std::string& line) {
  const uint16_t g = static_cast<uint16_t>(tag >> 16), e = static_cast<uint16_t>(tag);
  if ((g == 0 || (g >= 0x7F01 && g != 0x7FE0 && g != 0xFFFE)) && e != 0 && h_.GroupEnd > p) {
    // Command and private high groups are stepped over by their group length.
    // Without one ahead of us (most files have none) the element is walked as
    // any other: a group end behind us would walk in circles.
    const int64_t next = h_.GroupEnd;
    line += " -> " + std::to_string(next);
    h_.GroupEnd = 0;
    return next;
  }
  std::string vr;
  vr.push_back(static_cast<char>(UpperAscii(f_.U8(p + 4))));
  vr.push_back(static_cast<char>(UpperAscii(f_.U8(p + 5))));
  uint32_t len = 0;
  int64_t valueStart = 0;
  if (HasLongLength(vr)) {
    len = U32(p + 8);
    valueStart = p + 12;
  } else if (!IsUpperLetter(static_cast<uint8_t>(vr[0])) ||
             !IsUpperLetter(static_cast<uint8_t>(vr[1]))) {
    // No representation here: the stream is implicit from this element on.
    h_.ExplicitVr = false;
    return Implicit(p, tag, line);
  } else {
    len = U16(p + 6);
    valueStart = p + 8;
  }
  line += " " + vr + " " + Padded(len, 3);
  const bool top = nest_.Depth() == 0;

  if (tag == PixelDataTag && top && (vr == "OB" || vr == "OW" || vr == "UN")) {
    FoundPixelData(valueStart, len, vr == "OW");
    return -1;
  }
  if (IsTextVr(vr)) {
    const TextValue t = ReadTextValue(f_, valueStart, len);
    line += " " + t.Shown;
    ApplyTextValue(cv_, h_, tag, t.Kept, top, after_);
  } else if (vr == "US" || vr == "OW" || vr == "SS") {
    if (const ImageTag* t = FindImageTag(tag); t && top && vr == "US") {
      const uint16_t v = U16(valueStart);
      StoreImageTag(h_, tag, v);
      line += " " + std::string(t->Label) + std::to_string(v);
    } else if (top && g == 0x0028) {
      ApplyPixelModuleValue(f_, h_, tag, valueStart, len);
    }
  } else if (vr == "UL" || vr == "SL") {
    const uint32_t count = len / 4;
    for (uint32_t i = 0; i < count; ++i) {
      if (i == 49) {
        line += " ...";
        break;
      }
      const uint32_t v = U32(valueStart + 4 * int64_t{i});
      line += " " + (vr == "SL" ? std::to_string(static_cast<int32_t>(v)) : std::to_string(v));
    }
    if (e == 0 && count > 0) line += TakeGroupLength(valueStart + len, U32(valueStart));
  } else if (vr == "OB" && len != UndefinedLength) {
    for (uint32_t i = 0; i < len && i < 49; ++i) line += " " + Hex(f_.U8(valueStart + i), 2);
  }

  if (vr == "SQ") {
    // The sequence's items are walked.
    nest_.Push(cv_, Container{valueStart + int64_t{len}, len == UndefinedLength, false});
    return valueStart;
  }
  if (len == UndefinedLength) {
    if (tag == PixelDataTag) {
      // Encapsulated pixel data below the top level (an icon): its fragments
      // are items of defined length, closed by a sequence delimiter.
      nest_.Push(cv_, Container{0, true, false});
      return valueStart;
    }
    return SkipUndefined(f_, valueStart, h_.SwapWords);
  }
  return valueStart + int64_t{len};
}

void ElementWalk::Run(int64_t start) {
  int64_t p = start;
  bool first = true;
  for (uint32_t count = 0;; ++count) {
    if (count == MaxElements) Stop(cv_, BadStructure);
    // The end of the file ends the walk.
    if (p < 0 || p + 8 > f_.Size()) return;
    nest_.LeaveEnded(p);
    uint16_t g = U16(p);
    if (first) {
      first = false;
      if (g >= 257) {
        h_.SwapWords = !h_.SwapWords;
        g = U16(p);
      }
    }
    if (g == 0x0002) {
      metaSeen_ = true;
    } else if (metaSeen_ && !metaDone_) {
      EndOfMetaGroup();
      g = U16(p);
    }
    const uint16_t e = U16(p + 2);
    const uint32_t tag = Tag(g, e);
    std::string line = Padded(static_cast<uint64_t>(p), 5) + " " + Hex(g, 4) + "," + Hex(e, 4);
    int64_t next = 0;
    if (g == 0xFFFE && (e == 0xE00D || e == 0xE0DD)) {
      if (e == 0xE00D)
        nest_.EndItem();
      else
        nest_.EndSequence();
      next = p + 8;
    } else if (g == 0xFFFE && e == 0xE000) {
      const uint32_t len = U32(p + 4);
      if (len == UndefinedLength) {
        // The item's content is walked.
        nest_.Push(cv_, Container{0, true, true});
        next = p + 8;
      } else {
        next = p + 8 + int64_t{len};
      }
    } else if (!h_.ExplicitVr) {
      next = Implicit(p, tag, line);
    } else {
      next = Explicit(p, tag, line);
    }
    Say(cv_, line);
    if (!after_.empty()) {
      Say(cv_, after_);
      after_.clear();
    }
    if (h_.PixelDataFound || next < 0) return;
    p = next;
  }
}


// --- Encapsulated frames --------------------------------------------------------

enum class FrameStatus : uint8_t { Ok, Absent, TooLarge, Bad };

// Encapsulated pixel data: an item holding the basic offset table (offsets of
// the frames from the first fragment item, possibly none), then fragment items
// up to a sequence delimiter. A frame is the fragments from its offset to the
// next one; without offsets a single frame is every fragment, and frames of a
// multi-frame image are one fragment each (run-length) or begin at a fragment
// that starts a JPEG stream.
class FragmentList {
public:
  FragmentList(FileWindow& f, int64_t valueStart) : f_(f), valueStart_(valueStart) {}

  FrameStatus Load(uint32_t frame, uint32_t frames, bool jpeg, uint64_t maxBytes,
                   std::vector<uint8_t>& out) {
    if (f_.U16(valueStart_, false) != 0xFFFE || f_.U16(valueStart_ + 2, false) != 0xE000)
      return FrameStatus::Bad;
    const uint32_t tableBytes = f_.U32(valueStart_ + 4, false);
    first_ = valueStart_ + 8 + int64_t{tableBytes};
    if (first_ > f_.Size()) return FrameStatus::Bad;
    const uint32_t offsets = tableBytes / 4;
    if (offsets >= frame && offsets > 0) {
      byOffset_ = true;
      from_ = first_ + f_.U32(valueStart_ + 8 + 4 * (int64_t{frame} - 1), false);
      to_ = frame < offsets ? first_ + f_.U32(valueStart_ + 8 + 4 * int64_t{frame}, false)
                            : std::numeric_limits<int64_t>::max();
      if (to_ <= from_) return FrameStatus::Bad;
    }
    frame_ = frame;
    all_ = !byOffset_ && frames == 1;
    jpeg_ = jpeg;
    uint64_t total = 0;
    Visit([&](int64_t, uint32_t n) { total += n; });
    if (total == 0) return FrameStatus::Absent;
    if (total > maxBytes) return FrameStatus::TooLarge;
    out.assign(static_cast<std::size_t>(total), 0);
    std::size_t at = 0;
    Visit([&](int64_t pos, uint32_t n) {
      f_.Read(pos, std::span<uint8_t>(out).subspan(at, n), f_.Size());
      at += n;
    });
    return FrameStatus::Ok;
  }

private:
  // Calls take(position, length) for each fragment of the frame, its length cut
  // to what the file holds.
  template <typename Take> void Visit(Take take) {
    int64_t q = first_;
    uint32_t index = 0;  // fragments seen
    uint32_t current = 0; // frame of the fragment at q
    for (uint32_t n = 0; n < MaxElements && q + 8 <= f_.Size(); ++n) {
      const uint16_t g = f_.U16(q, false), e = f_.U16(q + 2, false);
      if (g != 0xFFFE || e != 0xE000) return; // the sequence delimiter, or damage
      const uint32_t len = f_.U32(q + 4, false);
      const int64_t data = q + 8;
      const uint32_t held = static_cast<uint32_t>(
          std::clamp<int64_t>(f_.Size() - data, 0, int64_t{len}));
      bool selected = false;
      if (byOffset_) {
        selected = q >= from_ && q < to_;
      } else if (all_) {
        selected = true;
      } else {
        if (!jpeg_ || index == 0 || (f_.U8(data) == 0xFF && f_.U8(data + 1) == 0xD8)) ++current;
        selected = current == frame_;
      }
      if (selected && held > 0) take(data, held);
      ++index;
      if (len == UndefinedLength) return;
      q = data + int64_t{len};
    }
  }

  FileWindow& f_;
  int64_t valueStart_;
  int64_t first_ = 0;
  bool byOffset_ = false;
  bool all_ = false;
  bool jpeg_ = false;
  int64_t from_ = 0;
  int64_t to_ = 0;
  uint32_t frame_ = 1;
};

// --- Pixel layout -----------------------------------------------------------

enum class Colour : uint8_t { Grey, Palette, Rgb, Ybr };
enum class Coding : uint8_t { Native, Rle, LosslessJpeg };

// How a stored sample word becomes a value: the stored bits sit from HighBit
// down; signed values are sign-extended from their top bit.
struct SampleCode {
  unsigned Shift = 0;
  uint32_t Mask = 0xFFFF;
  uint32_t SignBit = 0; // 0: unsigned
  int32_t Extract(uint32_t raw) const {
    const uint32_t v = (raw >> Shift) & Mask;
    if (SignBit != 0 && (v & SignBit) != 0) return static_cast<int32_t>(v) - static_cast<int32_t>(Mask) - 1;
    return static_cast<int32_t>(v);
  }
};

struct PixelPlan {
  Colour Kind = Colour::Grey;
  Coding Code = Coding::Native;
  unsigned Samples = 1;        // 1 or 3
  unsigned Bits = 16;          // 8, 12 or 16 allocated
  unsigned SampleBytes = 2;    // 1 or 2 (12-bit: packed)
  bool Planar = false;
  bool SwapPairs = false;      // 8-bit: bytes exchanged in pairs
  bool SwapWords = false;      // 16-bit: words big-endian
  SampleCode Sample;           // grey values and palette indices
  SampleCode ColourSample;     // colour channels (never signed)
  uint32_t Frame = 1;          // 1-based
  uint32_t Frames = 1;
  uint64_t FrameBytes = 0;     // native: bytes of one frame
  int64_t ValueStart = 0;      // first byte of the pixel data value
  int64_t FrameStart = 0;      // native: first byte of the frame
  int64_t DataEnd = 0;         // native: end of the pixel data value
};

struct Palette {
  std::array<uint32_t, 3> Entries{};
  std::array<int32_t, 3> First{};
  std::vector<uint16_t> Table; // 3 x 65536 entries
};

SampleCode MakeSampleCode(unsigned allocated, unsigned stored, unsigned highBit, bool isSigned) {
  SampleCode c;
  // Inconsistent values are read as if every allocated bit were stored.
  if (stored == 0 || stored > allocated || highBit >= allocated || highBit + 1 < stored) {
    stored = allocated;
    highBit = allocated - 1;
  }
  c.Shift = highBit + 1 - stored;
  c.Mask = stored >= 32 ? 0xFFFFFFFFu : (uint32_t{1} << stored) - 1;
  c.SignBit = isSigned ? uint32_t{1} << (stored - 1) : 0;
  return c;
}

std::string TrimmedUpper(std::string_view v) {
  std::string s;
  for (char c : v) s.push_back(static_cast<char>(UpperAscii(static_cast<uint8_t>(c))));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// --- Rows ---------------------------------------------------------------------

class RowDecoder {
public:
  RowDecoder(Conversion& cv, FileWindow& f, const PixelPlan& plan, const Palette& palette)
      : cv_(cv), st_(cv.State), f_(f), plan_(plan), palette_(palette) {
    const std::size_t w = st_.ImageWidth;
    identity_ = st_.ValueScale == 1.0f && st_.ValueOffset == 0.0f;
    bytes_.resize(w * 6 + 8);
    swapped_.resize(w * 6 + 8);
  }

  void UseRle(std::span<const uint8_t> frame, const RleHeader& header) {
    const unsigned n = plan_.Samples * plan_.SampleBytes;
    for (unsigned i = 0; i < n; ++i) segments_[i] = RleSegmentDecoder(RleSegment(frame, header, i));
  }

  // The frame's stream must outlive the decoder; its header was checked.
  void UseJpeg(LosslessJpegDecoder& jpeg) {
    jpeg_ = &jpeg;
    line_.assign(jpeg.Frame().LineSamples(), 0);
  }

  void DecodeRow(uint32_t r, std::span<uint16_t> row);

private:
  uint16_t Grey(int32_t v) const {
    if (identity_) return static_cast<uint16_t>(std::clamp<int32_t>(v, 0, 65535));
    return RoundClampToWord(static_cast<double>(v) * st_.ValueScale + st_.ValueOffset);
  }
  uint16_t FromPalette(int32_t index) const {
    uint32_t rgb[3];
    for (unsigned c = 0; c < 3; ++c) {
      const int64_t i = std::clamp<int64_t>(int64_t{index} - palette_.First[c], 0,
                                            int64_t{palette_.Entries[c]} - 1);
      rgb[c] = palette_.Table[c * 65536 + static_cast<std::size_t>(i)];
    }
    return WeightedGreyExtended(st_, rgb[0], rgb[1], rgb[2]);
  }
  uint16_t FromColour(uint32_t a, uint32_t b, uint32_t c) const {
    if (plan_.Kind == Colour::Ybr) {
      // Full-range luminance and chrominance of 8-bit samples.
      const double y = a, cb = double(b) - 128, cr = double(c) - 128;
      const auto channel = [](double v) {
        return static_cast<uint32_t>(std::clamp(v + 0.5, 0.0, 255.0));
      };
      return WeightedGreyExtended(st_, channel(y + 1.402 * cr),
                                  channel(y - 0.344136 * cb - 0.714136 * cr),
                                  channel(y + 1.772 * cb));
    }
    return WeightedGreyExtended(st_, a, b, c);
  }
  uint16_t FromSample(uint32_t raw) const {
    const int32_t v = plan_.Sample.Extract(raw);
    return plan_.Kind == Colour::Palette ? FromPalette(v) : Grey(v);
  }
  // Reads n stored bytes at offset rel of the pixel data value into out,
  // exchanging bytes in pairs (pairs count from the start of the value).
  std::span<const uint8_t> ReadStored(uint64_t rel, std::size_t n, std::span<uint8_t> out);
  // Row of one-sample pixels from stored bytes through f.
  template <typename F>
  void Samples(std::span<const uint8_t> b, std::span<uint16_t> row, F f) const {
    const std::size_t w = row.size();
    const uint8_t* p = b.data();
    uint16_t* out = row.data();
    if (plan_.SampleBytes == 1) {
      for (std::size_t c = 0; c < w; ++c) out[c] = f(p[c]);
    } else if (plan_.SwapWords) {
      for (std::size_t c = 0; c < w; ++c) out[c] = f(uint32_t{p[2 * c]} << 8 | p[2 * c + 1]);
    } else {
      for (std::size_t c = 0; c < w; ++c) out[c] = f(uint32_t{p[2 * c + 1]} << 8 | p[2 * c]);
    }
  }
  void NativeRow(uint32_t r, std::span<uint16_t> row);
  void PackedRow(uint32_t r, std::span<uint16_t> row);
  void RleRow(std::span<uint16_t> row);
  void JpegRow(std::span<uint16_t> row);

  Conversion& cv_;
  ImageState& st_;
  FileWindow& f_;
  const PixelPlan& plan_;
  const Palette& palette_;
  bool identity_ = true;
  std::vector<uint8_t> bytes_;
  std::vector<uint8_t> swapped_;
  std::array<RleSegmentDecoder, 6> segments_{};
  LosslessJpegDecoder* jpeg_ = nullptr;
  std::vector<uint16_t> line_;
};

std::span<const uint8_t> RowDecoder::ReadStored(uint64_t rel, std::size_t n,
                                                std::span<uint8_t> out) {
  const int64_t base = plan_.ValueStart;
  if (!plan_.SwapPairs) {
    f_.Read(base + static_cast<int64_t>(rel), out.first(n), plan_.DataEnd);
    return out.first(n);
  }
  const uint64_t aligned = rel & ~uint64_t{1};
  const std::size_t span = ((rel + n + 1) & ~uint64_t{1}) - aligned;
  const std::span<uint8_t> raw(swapped_.data(), span);
  f_.Read(base + static_cast<int64_t>(aligned), raw, plan_.DataEnd);
  for (std::size_t i = 0; i < n; ++i) out[i] = raw[((rel + i) ^ 1) - aligned];
  return out.first(n);
}

void RowDecoder::NativeRow(uint32_t r, std::span<uint16_t> row) {
  const std::size_t w = row.size();
  const uint64_t frameRel = (uint64_t{plan_.Frame} - 1) * plan_.FrameBytes;
  const unsigned sb = plan_.SampleBytes;
  if (plan_.Samples == 1) {
    const std::span<const uint8_t> b =
        ReadStored(frameRel + uint64_t{r} * w * sb, w * sb, bytes_);
    // The common cases get loops of their own that the compiler can unroll.
    const SampleCode code = plan_.Sample;
    const bool direct = identity_ && plan_.Kind == Colour::Grey;
    if (direct && code.Shift == 0 && code.SignBit == 0 && code.Mask >= (1u << (8 * sb)) - 1) {
      // Little-endian 16-bit words are the row itself on a little-endian machine.
      if (sb == 2 && !plan_.SwapWords && std::endian::native == std::endian::little)
        std::memcpy(row.data(), b.data(), 2 * w);
      else
        Samples(b, row, [](uint32_t raw) { return static_cast<uint16_t>(raw); });
    } else if (direct) {
      Samples(b, row, [code](uint32_t raw) {
        return static_cast<uint16_t>(std::clamp<int32_t>(code.Extract(raw), 0, 65535));
      });
    } else {
      Samples(b, row, [this](uint32_t raw) { return FromSample(raw); });
    }
    return;
  }
  // Three samples: interleaved pixel by pixel, or one plane after the other.
  std::array<std::span<const uint8_t>, 3> ch;
  std::size_t step = 3 * sb;
  if (plan_.Planar) {
    const uint64_t plane = uint64_t{st_.ImageWidth} * st_.ImageHeight * sb;
    for (unsigned k = 0; k < 3; ++k)
      ch[k] = ReadStored(frameRel + k * plane + uint64_t{r} * w * sb, w * sb,
                         std::span<uint8_t>(bytes_).subspan(k * w * sb));
    step = sb;
  } else {
    const std::span<const uint8_t> b =
        ReadStored(frameRel + uint64_t{r} * w * 3 * sb, w * 3 * sb, bytes_);
    for (unsigned k = 0; k < 3; ++k) ch[k] = b.subspan(k * sb);
  }
  const auto word = [&](std::span<const uint8_t> s, std::size_t i) -> uint32_t {
    if (sb == 1) return s[i];
    return plan_.SwapWords ? uint32_t{s[i]} << 8 | s[i + 1] : uint32_t{s[i + 1]} << 8 | s[i];
  };
  const SampleCode& code = plan_.ColourSample;
  for (std::size_t c = 0; c < w; ++c) {
    const std::size_t i = c * step;
    row[c] = FromColour(static_cast<uint32_t>(code.Extract(word(ch[0], i))),
                        static_cast<uint32_t>(code.Extract(word(ch[1], i))),
                        static_cast<uint32_t>(code.Extract(word(ch[2], i))));
  }
}

// Two 12-bit samples in three bytes AB CD EF: ABC and DEF. The samples run on
// from row to row.
void RowDecoder::PackedRow(uint32_t r, std::span<uint16_t> row) {
  const std::size_t w = row.size();
  const uint64_t first = uint64_t{r} * w;
  const uint64_t pairStart = first / 2;
  const uint64_t pairEnd = (first + w + 1) / 2;
  const uint64_t frameRel = (uint64_t{plan_.Frame} - 1) * plan_.FrameBytes;
  const std::span<const uint8_t> b = ReadStored(
      frameRel + pairStart * 3, static_cast<std::size_t>((pairEnd - pairStart) * 3), bytes_);
  for (std::size_t c = 0; c < w; ++c) {
    const uint64_t k = first + c;
    const std::size_t at = static_cast<std::size_t>((k / 2 - pairStart) * 3);
    const uint32_t v = (k & 1) == 0 ? uint32_t{b[at]} << 4 | b[at + 1] >> 4
                                    : uint32_t{b[at + 1] & 15u} << 8 | b[at + 2];
    row[c] = FromSample(v);
  }
}

void RowDecoder::RleRow(std::span<uint16_t> row) {
  const std::size_t w = row.size();
  const unsigned sb = plan_.SampleBytes;
  const unsigned n = plan_.Samples * sb;
  for (unsigned i = 0; i < n; ++i) segments_[i].Decode(std::span<uint8_t>(bytes_).subspan(i * w, w));
  const auto sample = [&](unsigned s, std::size_t c) -> uint32_t {
    const uint8_t* seg = bytes_.data() + std::size_t{s} * sb * w;
    return sb == 1 ? seg[c] : uint32_t{seg[c]} << 8 | seg[w + c];
  };
  if (plan_.Samples == 1) {
    for (std::size_t c = 0; c < w; ++c) row[c] = FromSample(sample(0, c));
    return;
  }
  const SampleCode& code = plan_.ColourSample;
  for (std::size_t c = 0; c < w; ++c)
    row[c] = FromColour(static_cast<uint32_t>(code.Extract(sample(0, c))),
                        static_cast<uint32_t>(code.Extract(sample(1, c))),
                        static_cast<uint32_t>(code.Extract(sample(2, c))));
}

void RowDecoder::JpegRow(std::span<uint16_t> row) {
  jpeg_->DecodeLine(line_);
  const std::size_t w = row.size();
  if (plan_.Samples == 1) {
    for (std::size_t c = 0; c < w; ++c) row[c] = FromSample(line_[c]);
    return;
  }
  const SampleCode& code = plan_.ColourSample;
  for (std::size_t c = 0; c < w; ++c)
    row[c] = FromColour(static_cast<uint32_t>(code.Extract(line_[3 * c])),
                        static_cast<uint32_t>(code.Extract(line_[3 * c + 1])),
                        static_cast<uint32_t>(code.Extract(line_[3 * c + 2])));
}

void RowDecoder::DecodeRow(uint32_t r, std::span<uint16_t> row) {
  if (plan_.Code == Coding::Rle) {
    RleRow(row);
  } else if (plan_.Code == Coding::LosslessJpeg) {
    JpegRow(row);
  } else if (plan_.Bits == 12) {
    PackedRow(r, row);
  } else {
    NativeRow(r, row);
  }
  (void)cv_;
}

// --- Reader -------------------------------------------------------------------

// Signature: an ACR-NEMA file starts with a small group number and element;
// otherwise "DICM" follows the 128-byte preamble.
int64_t CheckSignature(Conversion& cv, FileWindow& f) {
  const uint8_t b1 = f.U8(0), b2 = f.U8(1), b3 = f.U8(2), b4 = f.U8(3);
  std::string line = "Sig=" + Hex(b1, 2) + " " + Hex(b2, 2) + " " + Hex(b3, 2) + " " + Hex(b4, 2);
  const bool acrNema = In(std::string_view(line).substr(4, 2), {"02", "03", "05", "08", "10"}) &&
                       b2 == 0 && (b3 == 0 || b3 == 5 || b3 == 8 || b3 == 16 || b3 == 22) &&
                       b4 == 0;
  if (acrNema) {
    Say(cv, line);
    return 0;
  }
  Say(cv, line + " - pas bon");
  std::string magic;
  std::string shown;
  for (int64_t i = 0; i < 4; ++i) {
    const uint8_t c = f.U8(PreambleBytes + i);
    magic.push_back(static_cast<char>(UpperAscii(c)));
    if (c != 27) shown.push_back(c >= 32 && c < 127 ? static_cast<char>(c) : '?');
  }
  const bool ok = magic == "DICM";
  Say(cv, "Sig=" + shown + (ok ? " - bon" : " - pas bon"));
  if (!ok) Stop(cv, NotDicom);
  return PreambleBytes + 4;
}

// The transfer syntax without its first four items "1.2.840.10008" sets the
// compression; other syntaxes keep what the image comments said.
void ApplyTransferSyntax(Conversion& cv, DicomHeader& h) {
  Text rest = h.TransferSyntax;
  Text item;
  for (int i = 0; i < 4; ++i) TakeItemDot(rest, item);
  const std::string_view r = rest.view();
  if (r == "1.2" || r == "1.2.1") {
    h.DicomCompression = 1;
  } else if (r == "1.2.2") {
    h.DicomCompression = 1;
    h.BigEndianSyntax = !h.BigEndianSyntax;
  } else if (r == "1.2.5") {
    h.DicomCompression = 5;
  } else if (r == "1.2.4" || StartsWith(r, "1.2.4.")) {
    h.DicomCompression = 4;
  }
  Say(cv, "Cpr=" + std::to_string(h.DicomCompression) + " (" + h.TransferSyntax.str() + ")");
}

bool IsLosslessJpegSyntax(std::string_view ts) {
  return ts == "1.2.840.10008.1.2.4.57" || ts == "1.2.840.10008.1.2.4.70";
}

// Every limit of the pixel data, before any output; fills the plan.
PixelPlan PlanPixels(Conversion& cv, const DicomHeader& h) {
  ImageState& st = cv.State;
  PixelPlan plan;
  const bool encapsulated = h.PixelLength == UndefinedLength;
  if (h.DicomCompression == 5) {
    if (!encapsulated) Stop(cv, BadRle);
    plan.Code = Coding::Rle;
  } else if (h.DicomCompression == 4) {
    if (!encapsulated || !IsLosslessJpegSyntax(h.TransferSyntax.view())) Stop(cv, Unsupported);
    plan.Code = Coding::LosslessJpeg;
  } else if (encapsulated) {
    // Encapsulated data of a syntax we do not know.
    Stop(cv, Unsupported);
  }

  const unsigned spp = h.SamplesPerPixel == 0 ? 1 : h.SamplesPerPixel;
  if (spp != 1 && spp != 3)
    Stop(cv, std::string(BadLayout) + std::to_string(spp) + " \u00e9chantillons");
  const unsigned bits = h.BitsAllocated;
  if (bits != 8 && bits != 16 && !(bits == 12 && spp == 1 && plan.Code == Coding::Native))
    Stop(cv, std::string(BadLayout) + std::to_string(bits) + " bits");
  plan.Samples = spp;
  plan.Bits = bits;
  plan.SampleBytes = bits == 8 ? 1 : 2;

  const std::string photometric = TrimmedUpper(h.Photometric.view());
  if (photometric == "PALETTE COLOR") {
    if (spp != 1) Stop(cv, std::string(BadLayout) + photometric);
    plan.Kind = Colour::Palette;
  } else if (spp == 3) {
    plan.Kind = Colour::Rgb;
    if (StartsWith(photometric, "YBR")) {
      // Subsampled chrominance is laid out differently; only full YBR is read.
      if (photometric != "YBR_FULL" || bits != 8 || plan.Code == Coding::LosslessJpeg)
        Stop(cv, std::string(BadLayout) + photometric);
      plan.Kind = Colour::Ybr;
    }
  }
  plan.Planar = spp == 3 && h.PlanarConfiguration == 1 && plan.Code == Coding::Native;
  plan.Sample =
      MakeSampleCode(bits, h.BitsStored, h.HighBit, h.PixelRepresentation == 1);
  plan.ColourSample = MakeSampleCode(bits, h.BitsStored, h.HighBit, false);

  plan.Frames = h.NumberOfFrames > 1 ? static_cast<uint32_t>(h.NumberOfFrames) : 1;
  plan.Frame = st.ImageNumber > 0 ? st.ImageNumber : 1;
  if (plan.Frame > plan.Frames) {
    Stop(cv, "Image " + std::to_string(plan.Frame) + " absente : le fichier en contient " +
                 std::to_string(plan.Frames));
  }
  return plan;
}

// Native data: where the frame lies and how much of it the file holds.
void PlanNativeFrame(Conversion& cv, const DicomHeader& h, PixelPlan& plan) {
  const uint64_t w = h.Width, rows = h.Height;
  const uint64_t pixels = w * rows;
  plan.FrameBytes = plan.Bits == 12 ? (pixels + 1) / 2 * 3 : pixels * plan.Samples * plan.SampleBytes;
  const uint64_t rel = (uint64_t{plan.Frame} - 1) * plan.FrameBytes;
  plan.ValueStart = h.PixelStart;
  plan.FrameStart = h.PixelStart + static_cast<int64_t>(rel);
  // The value's own length bounds the data; bytes after it belong to other elements.
  plan.DataEnd = std::min<int64_t>(h.PixelStart + int64_t{h.PixelLength}, cv.Input.Size());
  const uint64_t held = plan.DataEnd > plan.FrameStart
                            ? static_cast<uint64_t>(plan.DataEnd - plan.FrameStart)
                            : 0;
  uint64_t pixelsHeld = 0;
  if (plan.Bits == 12) {
    pixelsHeld = held / 3 * 2 + (held % 3 == 2 ? 1 : 0);
  } else if (plan.Planar) {
    const uint64_t plane = pixels * plan.SampleBytes;
    pixelsHeld = held >= 2 * plane ? (held - 2 * plane) / plan.SampleBytes : 0;
  } else {
    pixelsHeld = held / (uint64_t{plan.Samples} * plan.SampleBytes);
  }
  pixelsHeld = std::min(pixelsHeld, pixels);
  const uint64_t missingRows = rows - pixelsHeld / w;
  CheckMissingOutput(cv, missingRows * w * 2);
  NoteMissingData(cv, missingRows, rows, MissingUnit::Rows);
}

// Run-length data: the segments of the frame, and how many rows they hold.
void PlanRleFrame(Conversion& cv, const DicomHeader& h, const PixelPlan& plan,
                  std::span<const uint8_t> frame, RleHeader& header) {
  if (ReadRleHeader(frame, header) != RleHeaderStatus::Ok) Stop(cv, BadRle);
  const unsigned needed = plan.Samples * plan.SampleBytes;
  if (header.SegmentCount < needed) Stop(cv, BadRle);
  const uint64_t plane = uint64_t{h.Width} * h.Height;
  uint64_t held = plane;
  for (unsigned i = 0; i < needed; ++i) {
    RleSegmentDecoder d(RleSegment(frame, header, i));
    held = std::min(held, d.Skip(plane));
  }
  const uint64_t missingRows = h.Height - held / h.Width;
  CheckMissingOutput(cv, missingRows * h.Width * 2);
  NoteMissingData(cv, missingRows, h.Height, MissingUnit::Rows);
}

// JPEG lossless: the stream's frame must be the image the header describes.
// Every sample costs at least one bit, which bounds what a short stream holds.
void PlanJpegFrame(Conversion& cv, const DicomHeader& h, const PixelPlan& plan,
                   std::span<const uint8_t> frame, LosslessJpegDecoder& jpeg) {
  const LjpegStatus status = jpeg.Start(frame);
  if (status != LjpegStatus::Ok) Stop(cv, LjpegMessage(status));
  const LjpegFrame& f = jpeg.Frame();
  if (f.Lines != h.Height || f.SamplesPerLine != h.Width || f.Components != plan.Samples ||
      f.Precision > plan.Bits)
    Stop(cv, BadJpeg);
  const uint64_t rowSamples = uint64_t{h.Width} * plan.Samples;
  const uint64_t rowsHeld = std::min<uint64_t>(h.Height, frame.size() * 8 / rowSamples);
  CheckMissingOutput(cv, (h.Height - rowsHeld) * h.Width * 2);
}

void LoadPalette(Conversion& cv, FileWindow& f, const DicomHeader& h, Palette& p) {
  p.Table.assign(3 * 65536, 0);
  for (unsigned c = 0; c < 3; ++c) {
    const PaletteChannel& ch = h.Palette[c];
    if (!ch.Described || ch.DataPos < 0 || ch.DataLength == 0) Stop(cv, NoPalette);
    p.Entries[c] = ch.Entries;
    p.First[c] = h.PixelRepresentation == 1 ? static_cast<int16_t>(ch.FirstRaw) : ch.FirstRaw;
    // One byte per entry when the table is as long as its entry count, else words.
    const bool bytes = ch.DataLength == ch.Entries;
    const uint32_t stored = bytes ? ch.DataLength : ch.DataLength / 2;
    const uint32_t n = std::min(stored, ch.Entries);
    for (uint32_t i = 0; i < n; ++i) {
      p.Table[c * 65536 + i] = bytes ? f.U8(ch.DataPos + i)
                                     : f.U16(ch.DataPos + 2 * int64_t{i}, h.SwapWords);
    }
  }
}

void ReportColour(Conversion& cv, const PixelPlan& plan, const DicomHeader& h) {
  const ImageState& st = cv.State;
  if (h.SamplesPerPixel >= 2 || plan.Kind == Colour::Palette) {
    Say(cv, "Nsb=RVB rvba={" + FormatFixed(st.ChannelWeightR, 3) + "," +
                FormatFixed(st.ChannelWeightV, 3) + "," + FormatFixed(st.ChannelWeightB, 3) + "," +
                FormatFixed(st.ChannelWeightA, 3) + "}");
  } else {
    Say(cv, "Nsb=gris");
  }
}

} // namespace

void ReadDicomFile(Conversion& cv) {
  ReadOptions(cv);
  ImageState& st = cv.State;
  if (!OpenInput(cv)) Stop(cv, "Lecture impossible : " + st.InputFilePath.str());
  FileWindow f(cv.Input);
  Say(cv, "Lfi=" + std::to_string(f.Size()));
  const int64_t start = CheckSignature(cv, f);

  DicomHeader h;
  ElementWalk walk(cv, f, h);
  walk.Run(start);

  if (!h.PixelDataFound) Stop(cv, NoImage);
  if (h.Height == 0 || h.Width == 0 || h.Width > MaxRowSamples) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(h.Width) + " x " +
                 std::to_string(h.Height));
  }
  ApplyTransferSyntax(cv, h);
  PixelPlan plan = PlanPixels(cv, h);

  std::vector<uint8_t> frame;
  RleHeader rle;
  LosslessJpegDecoder jpeg;
  if (plan.Code == Coding::Native) {
    PlanNativeFrame(cv, h, plan);
  } else {
    FragmentList fragments(f, h.PixelStart);
    const FrameStatus got = fragments.Load(plan.Frame, plan.Frames,
                                           plan.Code == Coding::LosslessJpeg, MaxFrameBytes, frame);
    if (got == FrameStatus::TooLarge) Stop(cv, FrameTooLarge);
    if (got == FrameStatus::Absent) {
      Stop(cv, "Image " + std::to_string(plan.Frame) + " absente : le fichier en contient " +
                   std::to_string(plan.Frames));
    }
    if (got != FrameStatus::Ok) Stop(cv, BadStructure);
    if (plan.Code == Coding::Rle) PlanRleFrame(cv, h, plan, frame, rle);
    if (plan.Code == Coding::LosslessJpeg) PlanJpegFrame(cv, h, plan, frame, jpeg);
  }
  Palette palette;
  if (plan.Kind == Colour::Palette) LoadPalette(cv, f, h, palette);

  st.ImageWidth = h.Width;
  st.ImageHeight = h.Height;
  ReportColour(cv, plan, h);
  st.Epepinag = std::to_string(h.BitsStored) + ":" + std::to_string(h.BitsAllocated) + "x" +
                std::to_string(h.SamplesPerPixel) + " " + std::to_string(h.DicomCompression) +
                " " + std::to_string(h.Width) + "x" + std::to_string(h.Height) + " " +
                st.ImageType.str() + " " + h.TransferSyntax.str();
  // Some devices wrote 8-bit fluoroscopy frames with the bytes of each pair exchanged.
  if (h.DicomCompression < 2 && h.BitsAllocated == 8 && h.SamplesPerPixel == 1 &&
      st.ImageType.view() == "RF" &&
      (st.Detector.view() == "GE MEDICAL SYSTEMS" || StartsWith(st.Detector.view(), "Picker")))
    st.LittleEndianSamples = st.LittleEndianSamples ? 0 : 1;
  const bool littleEndian = st.LittleEndianSamples != 0;
  // 8-bit samples in big-endian words are stored with each pair exchanged; in
  // byte values (OB) they are in order.
  const bool bigEndianBytes = h.BigEndianSyntax && h.PixelOw;
  if (plan.Code == Coding::Native) {
    plan.SwapWords = plan.Bits == 16 && littleEndian != h.BigEndianSyntax;
    if (plan.Bits == 8)
      plan.SwapPairs = plan.Samples == 1 ? littleEndian != bigEndianBytes : bigEndianBytes;
  }

  PrepareOutput(cv);
  const uint8_t given = ReadValueTransform(cv);
  if (given & 1) Say(cv, "F_z=" + FormatFixed(st.ValueOffset, 1));
  if (given & 2) Say(cv, "F_s=" + FormatFixed(st.ValueScale, 4));
  Say(cv, "Exp\u00e9rimental");

  RowDecoder rows(cv, f, plan, palette);
  if (plan.Code == Coding::Rle) rows.UseRle(frame, rle);
  if (plan.Code == Coding::LosslessJpeg) rows.UseJpeg(jpeg);
  // Native rows can be read in any order: handed over bottom row first, they go
  // to the file in sequence (a plain file holds the bottom row first) instead
  // of into a pre-filled data area row by row. Decoded streams run top down.
  const bool bottomFirst = plan.Code == Coding::Native;
  for (uint32_t i = 0; i < h.Height; ++i) {
    const uint32_t r = bottomFirst ? h.Height - 1 - i : i;
    rows.DecodeRow(r, cv.Row());
    WriteOutputRow(cv, static_cast<uint16_t>(r));
  }
  // Rows the stream did not hold came out as zeros.
  if (plan.Code == Coding::LosslessJpeg && jpeg.FirstShortLine() < h.Height)
    NoteMissingData(cv, h.Height - jpeg.FirstShortLine(), h.Height, MissingUnit::Rows);
  cv.Input.Close();
}

} // namespace korv
