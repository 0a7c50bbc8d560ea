// Headerless and fixed-header sample matrices: sixteen file kinds that differ
// in their preset layout and in how the unknown part of it is found (file size,
// divisor proposals, a text header, a run of zeros, row autocorrelation, the SER
// video header). The layout option I[offset,width,height,type,swap] overrides
// the presets; samples are little-endian unless swapped.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/byte_view.h"
#include "core/colour.h"
#include "core/conversion.h"
#include "core/julian.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/text.h"
#include "core/truncation.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/instrument/raw_layout.h"
#include "readers/readers.h"

namespace korv {
namespace {

constexpr uint64_t MaxImageRows = 65535;
constexpr std::string_view Experimental = "Exp\u00e9rimental";

struct Preset {
  int64_t Offset;
  uint32_t Width;
  uint32_t Height;
  int16_t Type;
};

// Variant 0 to 15; offsets of the kinds whose data start at a fixed place.
constexpr std::array<Preset, 16> Presets = {{
    {0, 0, 0, 0},           // ccd
    {0, 192, 165, 1},       // st4, 08b, sbi
    {0, 660, 500, 2},       // hx5
    {0, 510, 500, 2},       // xl8
    {0, 1080, 1035, 2},     // dat
    {0, 1020, 1020, 1},     // imi
    {0, 510, 512, 2},       // sxl
    {0, 0, 0, 0},           // bil, cn1..cn9
    {178, 0, 0, 0},         // ser
    {0, 0, 0, 1},           // l1g
    {8292, 0, 0, 2},        // 003
    {512, 0, 0, 0},         // ima
    {0, 0, 0, 0},           // xxx
    {508, 768, 480, RawFloatImage}, // plu
    {0, 0, 0, 0},           // vk4
    {1536, 0, 0, 4},        // surf
}};

char TypeLetter(int16_t type) {
  switch (type) {
  case 2:
    return 'W';
  case -2:
    return 'I';
  case 4:
    return 'Q';
  case -4:
    return 'S';
  default:
    return 'B';
  }
}

int16_t TypeOfLetter(char c) {
  switch (FoldUpperByte(static_cast<unsigned char>(c))) {
  case 'W':
    return 2;
  case 'I':
    return -2;
  case 'Q':
    return 4;
  case 'S':
    return -4;
  default:
    return 1;
  }
}

bool IsGeometryKnown(const RawLayout& l) { return l.Width != 0 || l.Height != 0; }

// A non-negative decimal integer written with digits only.
bool ParseCount(std::string_view t, uint64_t& out) {
  if (t.empty() || t.size() > 18) return false;
  uint64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  out = v;
  return true;
}

// Bytes of the file from `at` on (0 when it starts past the end).
uint64_t BytesFrom(const Conversion& cv, int64_t at) {
  const int64_t size = cv.Input.Size();
  return size > at ? static_cast<uint64_t>(size - at) : 0;
}

// Reads n bytes at `at`; what the file does not hold reads as 0. Returns the count read.
std::size_t ReadAt(Conversion& cv, int64_t at, std::span<uint8_t> out) {
  std::size_t got = 0;
  if (cv.Input.Seek(at)) got = cv.Input.Read(out.data(), out.size());
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(got), out.end(), uint8_t{0});
  return got;
}

void ApplyLayoutOptions(Conversion& cv, RawLayout& l) {
  const unsigned count = ArgumentCount(cv);
  for (unsigned n = 2; n <= count; ++n) {
    Text arg = GetArgument(cv, n);
    if (arg.empty() || (arg[0] != 'I' && arg[0] != 'i')) continue;
    Text rest = arg.substr(1);
    Text item;
    uint64_t v = 0;
    TakeItemComma(rest, item);
    if (ParseCount(item.view(), v)) l.DataOffset = static_cast<int64_t>(v);
    TakeItemComma(rest, item);
    if (ParseCount(item.view(), v)) l.Width = v;
    TakeItemComma(rest, item);
    if (ParseCount(item.view(), v)) l.Height = v;
    TakeItemComma(rest, item);
    if (!item.empty()) l.SampleType = TypeOfLetter(item[0]);
    TakeItemComma(rest, item);
    if (FoldUpperByte(static_cast<unsigned char>(item[0])) == 'S') l.SwapBytes = !l.SwapBytes;
  }
}

// Every factorisation of the sample count, the most square one first.
void ProposeSizes(Conversion& cv, RawLayout& l) {
  const unsigned bytes = RawSampleBytes(l.SampleType);
  const uint64_t n = BytesFrom(cv, l.DataOffset) / bytes;
  // Widths beyond the largest image height cannot give a usable proposal.
  const uint64_t start = std::min<uint64_t>(std::llround(std::sqrt(static_cast<double>(n))), 65535);
  bool first = true;
  for (uint64_t d = start; d >= 1; --d) {
    if (n % d != 0) continue;
    if (first) {
      Say(cv, "Tailles possibles:");
      l.Width = d;
      l.Height = n / d;
      first = false;
    }
    Say(cv, " I" + std::to_string(l.DataOffset) + "," + std::to_string(d) + "," +
                std::to_string(n / d) + "," + TypeLetter(l.SampleType));
  }
  if (!first) Say(cv, " ou l'inverse");
}

// "*" NAME number words of the text header.
void ReadImaHeader(Conversion& cv, RawLayout& l) {
  std::array<uint8_t, 255> block{};
  const std::size_t got = ReadAt(cv, 0, block);
  Text text(std::string_view(reinterpret_cast<const char*>(block.data()), got));
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\0' || text[i] == '\r' || text[i] == '\n' || text[i] == '\t') text.set(i, ' ');
  TrimLeftBlanks(text);
  Text word, name, number;
  // Each pass removes at least one character: bounded by the text length.
  while (!text.empty() && (l.Width == 0 || l.Height == 0)) {
    TakeItemBlank(text, word);
    if (word != "*") continue;
    TakeItemBlank(text, name);
    TakeItemBlank(text, number);
    const Text key = FoldUpper(name.view());
    const int32_t v = ParseInteger(number.view());
    if (v <= 0) continue;
    if (key == "LIGNES") l.Height = static_cast<uint64_t>(v);
    if (key == "COLONNES") l.Width = static_cast<uint64_t>(v);
  }
}

// Height as decimal digits at bytes 238 to 245.
void ReadHeight003(Conversion& cv, RawLayout& l) {
  std::array<uint8_t, 8> field{};
  ReadAt(cv, 238, field);
  uint64_t v = 0;
  bool digit = false;
  for (uint8_t c : field) {
    if (c >= '0' && c <= '9') {
      v = v * 10 + (c - '0');
      digit = true;
    } else if (digit) {
      break;
    }
  }
  l.Height = v;
}

// The width is the distance between the ends of the first two runs of at least
// five zero bytes, adjusted by up to 10 to divide the file size.
void DetectWidthL1g(Conversion& cv, RawLayout& l) {
  std::vector<uint8_t> head(std::min<uint64_t>(BytesFrom(cv, 0), 30000));
  ReadAt(cv, 0, head);
  const uint64_t size = BytesFrom(cv, 0);
  unsigned phase = 0, zeros = 0;
  std::size_t p1 = 0;
  for (std::size_t p = 0; p < head.size(); ++p) {
    if (head[p] == 0) {
      if (++zeros == 5) {
        if (phase == 0) phase = 1;
        if (phase == 2) phase = 3;
      }
      continue;
    }
    zeros = 0;
    if (phase == 1) {
      phase = 2;
      p1 = p;
    } else if (phase == 3) {
      const int64_t m = static_cast<int64_t>(p - p1);
      int64_t width = m;
      for (int64_t k = 0; k <= 10; ++k) {
        const int64_t a = m - k, b = m + k;
        if (a > 0 && size % static_cast<uint64_t>(a) == 0) {
          width = a;
          break;
        }
        if (k > 0 && b > 0 && size % static_cast<uint64_t>(b) == 0) {
          width = b;
          break;
        }
      }
      l.Width = static_cast<uint64_t>(width);
      l.Height = width > 0 ? size / static_cast<uint64_t>(width) : 0;
      l.DataOffset = 0;
      return;
    }
  }
}

// Row length from the autocorrelation of samples in the middle of the data.
void DetectRowLength(Conversion& cv, RawLayout& l) {
  const bool words = l.SampleType == 2;
  const unsigned step = words ? 2 : 1;
  const uint64_t data = BytesFrom(cv, l.DataOffset);
  int64_t at = l.DataOffset;
  if (data / 2 >= uint64_t{step} * 15000) at += static_cast<int64_t>(data / 2 - step * 15000);
  const std::size_t count = static_cast<std::size_t>(std::min<uint64_t>(data / step, 30000));
  std::vector<uint8_t> raw(count * step);
  ReadAt(cv, at, raw);
  std::vector<double> x(count);
  double mean = 0;
  for (std::size_t i = 0; i < count; ++i) {
    uint32_t s = raw[i * step];
    if (words) {
      const uint32_t hi = raw[i * 2 + 1];
      s = l.SwapBytes ? (s << 8) | hi : s | (hi << 8);
    }
    x[i] = s;
    mean += s;
  }
  if (count > 0) mean /= static_cast<double>(count);
  for (double& v : x) v -= mean;

  struct Score {
    std::size_t Lag = 0;
    double Value = 0;
  };
  std::array<Score, 32> best{}; // best first
  for (std::size_t lag = 100; lag < count / 2; ++lag) {
    double sum = 0;
    for (std::size_t i = 0; i + lag < count; ++i) sum += x[i] * x[i + lag];
    // The mean product, not the bare sum, is compared: a sum over fewer terms
    // divided after the root would favour ever longer lags, and so a multiple
    // of the row length over the row length itself.
    const double score = std::sqrt(std::abs(sum) / static_cast<double>(count - lag - 1));
    if (score <= best.back().Value) continue;
    std::size_t k = best.size() - 1;
    while (k > 0 && best[k - 1].Value < score) {
      best[k] = best[k - 1];
      --k;
    }
    best[k] = {lag, score};
  }
  for (std::size_t k = best.size(); k-- > 0;) {
    if (best[k].Value == 0) continue;
    std::string lag = std::to_string(best[k].Lag);
    if (lag.size() < 5) lag.insert(0, 5 - lag.size(), ' ');
    Say(cv, "h=" + lag + " c=" + FormatFixed(best[k].Value, 3));
  }
  if (best[0].Value == 0) return;
  l.Width = best[0].Lag;
  l.Height = data / (RawSampleBytes(l.SampleType) * l.Width);
  Say(cv, "Opt=I" + std::to_string(l.DataOffset) + "," + std::to_string(l.Width) + ",," +
              TypeLetter(l.SampleType));
}

void CompleteFromFileSize(Conversion& cv, RawLayout& l) {
  if (l.Width != 0 && l.Height != 0) return;
  const uint64_t n = BytesFrom(cv, l.DataOffset) / RawSampleBytes(l.SampleType);
  if (l.Width != 0) l.Height = (n + l.Width - 1) / l.Width;
  else if (l.Height != 0) l.Width = (n + l.Height - 1) / l.Height;
}

uint64_t StoredRowBytes(const RawLayout& l) {
  return l.Width * RawSampleBytes(l.SampleType) * RawPlanes(l);
}

// Every limit before any output; rows the file does not hold become zeros
// within the bound on output made of nothing.
void CheckLayout(Conversion& cv, const RawLayout& l) {
  if (l.Width == 0 || l.Height == 0 || l.Width > MaxRowSamples) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(l.Width) + " x " +
                 std::to_string(l.Height));
  }
  if (l.Height > MaxImageRows) {
    Stop(cv, "Image trop haute : " + std::to_string(l.Height) + " lignes (65535 au plus)");
  }
  if (cv.Input.Size() <= 0) return; // length unknown: the row loop zero-fills
  const uint64_t held = BytesFrom(cv, l.DataOffset) / StoredRowBytes(l);
  if (held < l.Height) {
    const uint64_t missing = l.Height - held;
    CheckMissingOutput(cv, missing * l.Width * 2);
    NoteMissingData(cv, missing, l.Height, MissingUnit::Rows);
  }
}

// mm/dd/yy AT hh:mm:ss text stamp and exposure in the block after an st4 image.
void ReadSt4Trailer(Conversion& cv, const RawLayout& l) {
  std::array<uint8_t, 89> b{};
  if (ReadAt(cv, static_cast<int64_t>(l.Width * l.Height), b) < b.size()) return;
  auto up = [&](std::size_t i) { return static_cast<char>(FoldUpperByte(b[i])); };
  const bool stamp = up(17) == '/' && up(20) == '/' && up(23) == ' ' && up(24) == 'A' &&
                     up(25) == 'T' && up(26) == ' ' && up(29) == ':' && up(32) == ':';
  if (!stamp) return;
  auto number = [&](std::size_t from, std::size_t n) {
    return ParseInteger(std::string_view(reinterpret_cast<const char*>(b.data()) + from, n));
  };
  const int32_t month = number(15, 2), day = number(18, 2), yy = number(21, 2);
  const int32_t year = yy < 71 ? 2000 + yy : 1900 + yy;
  const double dayFraction = number(27, 2) / 24.0 + number(30, 2) / 1440.0 + number(33, 2) / 86400.0;
  ImageState& st = cv.State;
  st.DateObs = JulianDate(year, month, day + dayFraction);
  st.DateRef = 1;
  st.Exptime = number(83, 6) * 0.01;
}

struct SampleDecoder {
  int16_t Type;
  bool Swap;
  uint8_t Shift;

  // The sample at index i of a stored row, as the value to scale.
  double At(std::span<const uint8_t> row, std::size_t i) const {
    switch (Type) {
    case 1:
      return row[i] >> Shift;
    case 2:
    case -2: {
      const uint8_t* p = row.data() + 2 * i;
      const uint16_t s = Swap ? static_cast<uint16_t>((p[0] << 8) | p[1])
                              : static_cast<uint16_t>(p[0] | (p[1] << 8));
      if (Type == 2) return s >> Shift;
      return static_cast<int16_t>(s) + 32768.0;
    }
    default: {
      const uint8_t* p = row.data() + 4 * i;
      const uint32_t s = Swap ? (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
                                    (uint32_t{p[2]} << 8) | p[3]
                              : uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
                                    (uint32_t{p[3]} << 24);
      if (Type == 4) return static_cast<int32_t>(s);
      float f = 0;
      std::memcpy(&f, &s, sizeof f);
      return f;
    }
    }
  }
};

void ConvertRow(Conversion& cv, const RawLayout& l, const SampleDecoder& dec,
                std::span<const uint8_t> stored, uint64_t rowIndex) {
  ImageState& st = cv.State;
  const std::span<uint16_t> out = cv.Row();
  const double scale = st.ValueScale, offset = st.ValueOffset;
  const bool identity = scale == 1.0 && offset == 0.0;
  if (l.Colour == RawColour::Rgb || l.Colour == RawColour::Bgr) {
    const std::size_t r = l.Colour == RawColour::Rgb ? 0 : 2, b = 2 - r;
    for (std::size_t c = 0; c < out.size(); ++c) {
      const auto ch = [&](std::size_t k) { return static_cast<uint32_t>(dec.At(stored, 3 * c + k)); };
      const uint16_t grey = WeightedGreyExtended(st, ch(r), ch(1), ch(b));
      out[c] = identity ? grey : RoundClampToWord(grey * scale + offset);
    }
    return;
  }
  if (identity && (dec.Type == 1 || dec.Type == 2)) {
    // Whole numbers of at most 16 bits: the layout is chosen once a row.
    const uint8_t* p = stored.data();
    uint16_t* o = out.data();
    const std::size_t n = std::min(out.size(), stored.size() / (dec.Type == 1 ? 1 : 2));
    const unsigned shift = dec.Shift;
    if (dec.Type == 1) {
      for (std::size_t c = 0; c < n; ++c) o[c] = static_cast<uint16_t>(p[c] >> shift);
    } else {
      // Little-endian words unless swapped, taken whole and then shifted.
      std::memcpy(o, p, 2 * n);
      if (dec.Swap == (std::endian::native == std::endian::little))
        for (std::size_t c = 0; c < n; ++c) o[c] = static_cast<uint16_t>(o[c] << 8 | o[c] >> 8);
      if (shift != 0)
        for (std::size_t c = 0; c < n; ++c) o[c] = static_cast<uint16_t>(o[c] >> shift);
    }
    for (std::size_t c = n; c < out.size(); ++c) out[c] = static_cast<uint16_t>(dec.At(stored, c));
  } else {
    for (std::size_t c = 0; c < out.size(); ++c)
      out[c] = RoundClampToWord(dec.At(stored, c) * scale + offset);
  }
  if (l.Colour == RawColour::Bayer && st.IsCfa) {
    const uint64_t frameRow = l.FrameRows ? rowIndex % l.FrameRows : rowIndex;
    const std::size_t cell = 2 * (frameRow & 1);
    for (std::size_t c = 0; c < out.size(); ++c)
      out[c] = RoundClampToWord(out[c] * double{st.CfaFactor[cell + (c & 1)]});
  }
}

// Float images of "plu" files: invalid values (NaN or beyond +-1000) get the
// blank value, the valid ones are stretched over 0..65534. Two passes over the
// file keep the memory to one row whatever the layout option says.
void ReadFloatImage(Conversion& cv, const RawLayout& l) {
  ImageState& st = cv.State;
  std::vector<uint8_t> stored(l.Width * 4);
  auto valueAt = [&](std::size_t c, float& v) {
    uint32_t bits = uint32_t{stored[4 * c]} | (uint32_t{stored[4 * c + 1]} << 8) |
                    (uint32_t{stored[4 * c + 2]} << 16) | (uint32_t{stored[4 * c + 3]} << 24);
    std::memcpy(&v, &bits, sizeof v);
    return !std::isnan(v) && std::abs(v) <= 1000.0f;
  };
  uint64_t invalid = 0;
  float lo = 0, hi = 0;
  bool any = false;
  cv.Input.Seek(l.DataOffset);
  for (uint64_t r = 0; r < l.Height; ++r) {
    const std::size_t got = cv.Input.Read(stored.data(), stored.size());
    std::fill(stored.begin() + static_cast<std::ptrdiff_t>(got), stored.end(), uint8_t{0});
    for (std::size_t c = 0; c < l.Width; ++c) {
      float v = 0;
      if (!valueAt(c, v)) {
        ++invalid;
        continue;
      }
      lo = any ? std::min(lo, v) : v;
      hi = any ? std::max(hi, v) : v;
      any = true;
    }
  }
  Say(cv, "Nmp=" + std::to_string(invalid));
  Say(cv, "VMi=" + FormatFixed(lo, 6));
  Say(cv, "VMa=" + FormatFixed(hi, 6));
  st.DataMin = 0;
  st.DataMinSet = 2;
  st.DataMax = 65534;
  st.DataMaxSet = 2;
  st.BlankValue = 65535;
  st.BlankSet = 2;
  // A flat image has no range to stretch: every valid value becomes 0.
  const double stretch = hi > lo ? 65534.0 / (double{hi} - lo) : 0.0;
  cv.Input.Seek(l.DataOffset);
  for (uint64_t r = 0; r < l.Height; ++r) {
    const std::size_t got = cv.Input.Read(stored.data(), stored.size());
    std::fill(stored.begin() + static_cast<std::ptrdiff_t>(got), stored.end(), uint8_t{0});
    const std::span<uint16_t> out = cv.Row();
    for (std::size_t c = 0; c < out.size(); ++c) {
      float v = 0;
      out[c] = valueAt(c, v) ? RoundClampToWord((double{v} - lo) * stretch) : 65535;
    }
    WriteOutputRow(cv, static_cast<uint16_t>(r));
  }
}

void ReadSurfHeader(Conversion& cv, RawLayout& l, uint8_t transformFlags) {
  std::array<uint8_t, 8> b{};
  ReadAt(cv, 108, b);
  ByteView v(b, ByteOrder::Little);
  l.Width = v.U32();
  l.Height = v.U32();
  if ((transformFlags & 2) == 0) cv.State.ValueScale = 1.0e-5f;
}

} // namespace

void ReadRawBinary(Conversion& cv, uint16_t variant) {
  ImageState& st = cv.State;
  const Preset& p = Presets[std::min<std::size_t>(variant, Presets.size() - 1)];
  RawLayout l;
  l.DataOffset = p.Offset;
  l.Width = p.Width;
  l.Height = p.Height;
  l.SampleType = p.Type;

  ReadOptions(cv);
  const uint8_t transformFlags = ReadValueTransform(cv);
  // Option S declares the samples big-endian.
  l.SwapBytes = st.LittleEndianSamples != 0;
  if (variant == 10) l.SwapBytes = !l.SwapBytes;
  if (!OpenInput(cv)) Stop(cv, "Lecture impossible : " + st.InputFilePath.str());

  if (variant >= 13) Say(cv, Experimental);
  if (variant == 14) {
    // The offset tables of these files are not publicly described.
    Stop(cv, "Format vk4 : disposition des donn\u00e9es non publi\u00e9e, pas de conversion");
  }
  if (variant == 15) ReadSurfHeader(cv, l, transformFlags);
  ApplyLayoutOptions(cv, l);
  if (l.SampleType == 0) l.SampleType = 1;

  if (!IsGeometryKnown(l)) {
    switch (variant) {
    case 7:
      ProposeSizes(cv, l);
      break;
    case 8:
      AnalyseSer(cv, l);
      break;
    case 9:
      DetectWidthL1g(cv, l);
      break;
    case 10:
      ReadHeight003(cv, l);
      break;
    case 11:
      ReadImaHeader(cv, l);
      break;
    case 12:
      DetectRowLength(cv, l);
      break;
    default:
      break;
    }
  }
  CompleteFromFileSize(cv, l);
  CheckLayout(cv, l);
  if (variant == 1) ReadSt4Trailer(cv, l);

  st.ImageWidth = static_cast<uint16_t>(l.Width);
  st.ImageHeight = static_cast<uint16_t>(l.Height);
  PrepareOutput(cv);
  Say(cv, "F_z=" + FormatFixed(st.ValueOffset, 1));
  Say(cv, "F_s=" + FormatFixed(st.ValueScale, st.ValueScale < 0.01f ? 6 : 4));

  if (l.SampleType == RawFloatImage) {
    ReadFloatImage(cv, l);
  } else {
    // Stored rows, sized from the checked width (at most 360000 bytes each),
    // read as many at a time as fit in 256 KiB (at least one): one read for
    // many rows instead of a system call or two for each.
    const auto rowBytes = static_cast<std::size_t>(StoredRowBytes(l));
    const std::size_t blockRows = std::max<std::size_t>(1, (std::size_t{1} << 18) / rowBytes);
    std::vector<uint8_t> block(rowBytes * blockRows);
    const SampleDecoder dec{l.SampleType, l.SwapBytes, l.Shift};
    cv.Input.Seek(l.DataOffset);
    for (uint64_t r = 0; r < l.Height;) {
      const auto rows = static_cast<std::size_t>(std::min<uint64_t>(blockRows, l.Height - r));
      const std::size_t want = rows * rowBytes;
      const std::size_t got = cv.Input.Read(block.data(), want);
      std::fill(block.begin() + static_cast<std::ptrdiff_t>(got),
                block.begin() + static_cast<std::ptrdiff_t>(want), uint8_t{0});
      for (std::size_t k = 0; k < rows; ++k, ++r) {
        ConvertRow(cv, l, dec, std::span<const uint8_t>(block).subspan(k * rowBytes, rowBytes), r);
        WriteOutputRow(cv, static_cast<uint16_t>(r));
      }
    }
  }
  cv.Input.Close();
}

} // namespace korv
