// The options stage: the image selection list of the first argument and the
// one-letter conversion options that follow it. Options never stop the run:
// an item that does not convert is ignored, and every access stays inside the
// argument text, whatever the user typed.
#include "driver/options.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "core/conversion.h"
#include "core/stop.h"
#include "core/julian.h"
#include "core/numbers.h"
#include "core/text.h"
#include "driver/arguments.h"

namespace korv {

namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string_view TrimBlankEnds(std::string_view t) {
  while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
  while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
  return t;
}

// Decimal real as the user writes it: optional sign, digits with at most one
// point, optional exponent (E or e, optional sign, at most 4 digits). Anything
// else, an empty text, a lone sign or point, or a value beyond the double
// range does not convert; that is distinct from converting to 0.
bool ConvertReal(std::string_view text, double& out) {
  const std::string_view t = TrimBlankEnds(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
    negative = t[i] == '-';
    ++i;
  }
  const std::size_t mantissaStart = i;
  unsigned mantissaDigits = 0;
  bool point = false;
  for (; i < t.size(); ++i) {
    if (IsDigit(t[i])) {
      if (++mantissaDigits > 26) return false;
    } else if (t[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (mantissaDigits == 0) return false;
  bool negativeExponent = false;
  if (i < t.size() && (t[i] == 'E' || t[i] == 'e')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
      negativeExponent = t[i] == '-';
      ++i;
    }
    unsigned exponentDigits = 0;
    for (; i < t.size() && IsDigit(t[i]); ++i) {
      if (++exponentDigits > 4) return false;
    }
    if (exponentDigits == 0) return false;
  }
  if (i != t.size()) return false;
  // from_chars takes no leading '+'; the sign is applied afterwards.
  double v = 0.0;
  const char* first = t.data() + mantissaStart;
  const auto res = std::from_chars(first, t.data() + t.size(), v, std::chars_format::general);
  if (res.ptr != t.data() + t.size()) return false;
  if (res.ec == std::errc::result_out_of_range) {
    // At most 26 mantissa digits: only a negative exponent can underflow, and
    // a value that small is 0. Anything else out of range is an overflow.
    if (!negativeExponent) return false;
    v = 0.0;
  } else if (res.ec != std::errc()) {
    return false;
  }
  if (!std::isfinite(v)) return false;
  out = negative ? -v : v;
  return true;
}

// A real that must also fit a single-precision field.
bool ConvertFloat(std::string_view text, float& out) {
  double v = 0.0;
  if (!ConvertReal(text, v)) return false;
  if (std::abs(v) > static_cast<double>(std::numeric_limits<float>::max())) return false;
  out = static_cast<float>(v);
  return true;
}

// Unsigned 32-bit integer: optional '+', digits only.
bool ConvertUnsigned(std::string_view text, uint32_t& out) {
  const std::string_view t = TrimBlankEnds(text);
  std::size_t i = (!t.empty() && t[0] == '+') ? 1 : 0;
  if (i >= t.size()) return false;
  uint64_t v = 0;
  for (; i < t.size(); ++i) {
    if (!IsDigit(t[i])) return false;
    v = v * 10 + static_cast<uint64_t>(t[i] - '0');
    if (v > std::numeric_limits<uint32_t>::max()) return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

// Signed 16-bit integer: optional sign, digits only.
bool ConvertSmall(std::string_view text, int16_t& out) {
  const std::string_view t = TrimBlankEnds(text);
  std::size_t i = 0;
  bool negative = false;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
    negative = t[0] == '-';
    i = 1;
  }
  if (i >= t.size()) return false;
  int32_t v = 0;
  for (; i < t.size(); ++i) {
    if (!IsDigit(t[i])) return false;
    v = v * 10 + (t[i] - '0');
    if (v > 32768) return false;
  }
  if (negative) v = -v;
  if (v > 32767) return false;
  out = static_cast<int16_t>(v);
  return true;
}

// A packed sexagesimal value (12.3045 = 12 h 30 min 45 s, or degrees) in units.
double DecodePacked(double x) {
  const double a = std::abs(x);
  double h = std::trunc(a);
  const double minutesWithFraction = (a - h) * 100.0;
  double m = std::trunc(minutesWithFraction);
  double s = (minutesWithFraction - m) * 100.0;
  if (s > 99.0) {
    s = 0.0;
    m += 1.0;
  }
  if (m > 99.0) {
    m = 0.0;
    h += 1.0;
  }
  const double v = h + (m + s / 60.0) / 60.0;
  return x < 0 ? -v : v;
}

constexpr double DegreesToRadians = Pi / 180.0;

struct SoftwareName {
  std::string_view Name;
  uint8_t Code;
};

constexpr std::array<SoftwareName, 16> SoftwareNames = {{
    {"AUTO", 0},
    {"NORM", 1},
    {"ASTROART", 2},
    {"CCDSOFT", 3},
    {"CCDSOFT2", 4},
    {"IRIS", 5},
    {"OFXB", 6},
    {"PISCO", 7},
    {"PRISM", 7},
    {"AVI2BMP", 8},
    {"IHW", 9},
    {"EULER", 10},
    {"TAROT", 12},
    {"D154", 14},
    {"PMIS", 15},
    {"NAXIS3", 16},
}};

void ReadSelection(Conversion& cv) {
  ImageState& st = cv.State;
  st.SelectionList[0] = SelectionEntry{};
  for (unsigned i = 1; i <= MaxSelections; ++i) st.SelectionList[i] = st.SelectionList[0];

  Text text = GetArgument(cv, 1);
  Text item;
  TakeItemComma(text, item); // the file name
  unsigned used = 0;
  uint8_t group = 0;
  uint8_t position = 0;
  while (!text.empty()) {
    TakeItemComma(text, item);
    const int64_t n = ParseInteger(item.view());
    // Image numbers are 16-bit; a larger request names an image that cannot
    // exist rather than wrapping round to some other image.
    const int64_t magnitude = n < 0 ? -n : n;
    const uint16_t v = static_cast<uint16_t>(magnitude > 65535 ? 65535 : magnitude);
    st.ImageNumber = v;
    if (v == 0 || used >= MaxSelections) continue;
    ++used;
    if (n < 0 || used == 1) {
      ++group;
      position = 1;
    } else {
      ++position;
    }
    SelectionEntry& e = st.SelectionList[used];
    e.ImageNumber = v;
    e.Group = group;
    e.Position = position;
  }
  if (used == 0) {
    for (unsigned k = 1; k <= MaxSelections; ++k) {
      SelectionEntry& e = st.SelectionList[k];
      e.ImageNumber = static_cast<uint16_t>(k);
      e.Group = static_cast<uint8_t>(k);
      e.Position = 1;
    }
  }
}

void ReadWeightsOption(ImageState& st, Text rest) {
  const Text folded = FoldUpper(rest.view());
  if (folded == "PRP") {
    st.CompressPrevPixel = 1;
    st.AutoByteOutput = 0;
    st.OutputBitpix = 16;
    return;
  }
  if (folded == "PVA") {
    st.CompressProfVar = 1;
    st.AutoByteOutput = 0;
    return;
  }
  std::array<float*, 4> weights = {&st.ChannelWeightR, &st.ChannelWeightV, &st.ChannelWeightB,
                                   &st.ChannelWeightA};
  bool any = false;
  Text item;
  for (float* w : weights) {
    TakeItemSeparator(rest, item);
    float v = 0.0f;
    if (ConvertFloat(item.view(), v)) {
      *w = v;
      any = true;
    }
  }
  if (!any) {
    for (float* w : weights) *w = 1.0f;
  }
}

void ReadWindowSizeOption(ImageState& st, Text rest) {
  Text item;
  int16_t v = 0;
  TakeItemSeparator(rest, item);
  if (ConvertSmall(item.view(), v) && v > 0) st.WindowWidth = v;
  TakeItemSeparator(rest, item);
  if (ConvertSmall(item.view(), v) && v > 0) st.WindowHeight = v;
}

void ReadSoftwareOption(Conversion& cv, std::string_view rest) {
  const Text folded = FoldUpper(rest);
  for (const SoftwareName& s : SoftwareNames) {
    if (folded == s.Name) {
      cv.State.SourceSoftware = s.Code;
      std::string line = "Bul=";
      line += s.Name;
      Say(cv, line);
      return;
    }
  }
}

// True when a packed hh.mmssd value names a time of day: hours below 24,
// minutes and seconds below 60 (after the carry DecodePacked applies).
bool IsTimeOfDay(double x) {
  const double h = std::trunc(x);
  const double minutesWithFraction = (x - h) * 100.0;
  double m = std::trunc(minutesWithFraction);
  double s = (minutesWithFraction - m) * 100.0;
  if (s > 99.0) {
    s = 0.0;
    m += 1.0;
  }
  return h < 24.0 && m < 60.0 && s < 60.0;
}

// Items of HD, HM, HF: [yyyymmdd],[hh.mmssd],[exposure s]. The date and the
// time are added to DateObs as it stands, so together they make the instant.
// A date or time that is not on the calendar or the clock stops the run: it
// would silently give another instant.
void ReadDateItems(Conversion& cv, Text text) {
  ImageState& st = cv.State;
  Text item;
  for (unsigned k = 1; k <= 3; ++k) {
    TakeItemSeparator(text, item);
    double x = 0.0;
    if (!ConvertReal(item.view(), x) || !(x > 0.0)) continue;
    x += 1e-9;
    if (k == 1) {
      const double year = std::trunc(x * 0.0001);
      const double month = std::fmod(std::trunc(x * 0.01), 100.0);
      const double day = (x * 0.01 - std::trunc(x * 0.01)) * 100.0;
      if (month < 1.0 || month > 12.0 || day < 1.0 || day >= 32.0)
        Stop(cv, "Date incorrecte : " + item.str());
      st.DateObs += JulianDate(year, month, day);
    } else if (k == 2) {
      if (!IsTimeOfDay(x)) Stop(cv, "Date incorrecte : " + item.str());
      st.DateObs += DecodePacked(x) / 24.0;
    } else {
      st.Exptime = x;
    }
  }
}

void ReadDateOption(Conversion& cv, const Text& rest) {
  ImageState& st = cv.State;
  const char second = UpperAscii(rest[0]);
  switch (second) {
  case 'D':
  case 'M':
  case 'F':
    st.DateOutRef = second == 'D' ? 1 : second == 'M' ? 2 : 3;
    ReadDateItems(cv, Text(rest.substr(1)));
    return;
  case 'O':
  case 'P':
  case 'Q':
    st.DateFormat = second;
    return;
  default:
    break;
  }
  Text text = rest;
  Text item;
  TakeItemSeparator(text, item);
  double s = 0.0;
  if (ConvertReal(item.view(), s)) st.TimeShift = s;
}

// An angle item of option K that does not convert is read again with its
// separators turned into the packed form: "12H3045" and "+45D3000" become
// 12.3045 and +45.3000; colons, quotes, points and degree signs are dropped.
bool ConvertAngle(const Text& item, double& out) {
  if (ConvertReal(item.view(), out)) return true;
  Text packed;
  for (std::size_t i = 0; i < item.size(); ++i) {
    const char c = item[i];
    const char u = UpperAscii(c);
    if (c == '+' || c == '-' || IsDigit(c)) {
      packed.push_back(c);
    } else if (u == 'D' || u == 'H') {
      packed.push_back('.');
    }
  }
  return ConvertReal(packed.view(), out);
}

void ReadPointingOption(ImageState& st, Text rest) {
  Text item;
  for (unsigned k = 1; k <= 6; ++k) {
    TakeItemComma(rest, item);
    if (item.empty()) continue;
    double v = 0.0;
    if (k <= 2) {
      if (!ConvertAngle(item, v)) continue;
      const double radians = DecodePacked(v) * (k == 1 ? 15.0 : 1.0) * DegreesToRadians;
      // Hours near the double limit overflow once turned into degrees.
      if (!std::isfinite(radians)) continue;
      if (k == 1) {
        st.RightAscension = radians;
        st.RightAscensionSet = 1;
      } else {
        st.Declination = radians;
        st.DeclinationSet = 1;
      }
      continue;
    }
    if (!ConvertReal(item.view(), v) || v == 0.0) continue;
    switch (k) {
    case 3:
      st.FocalLength = v;
      st.FocalLengthSet = 1;
      break;
    case 4:
      st.PixelSizeX = v;
      st.PixelSizeXSet = 1;
      break;
    case 5:
      st.PixelSizeY = v;
      st.PixelSizeYSet = 1;
      break;
    default:
      st.Gain = v;
      st.GainSet = 1;
      break;
    }
  }
  st.AutoByteOutput = 0;
}

void ReadMosaicOption(ImageState& st, const Text& rest) {
  if (rest.empty()) {
    st.CfaMode = st.CfaMode ? 0 : 1;
    return;
  }
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const char c = UpperAscii(rest[i]);
    uint8_t channel = 0;
    switch (c) {
    case 'X':
      st.MirrorX = st.MirrorX ? 0 : 1;
      break;
    case 'Y':
      st.FlipY = st.FlipY ? 0 : 1;
      break;
    case '-':
      st.FollowFileOrientation = st.FollowFileOrientation ? 0 : 1;
      break;
    case '=':
      st.CfaMode = 1;
      st.CfaAverageDuplicates = st.CfaAverageDuplicates ? 0 : 1;
      break;
    case 'R':
    case '1':
      channel = 1;
      break;
    case 'V':
    case '2':
      channel = 2;
      break;
    case 'B':
    case '3':
      channel = 3;
      break;
    case 'A':
    case '4':
      channel = 4;
      break;
    default:
      break;
    }
    if (channel != 0) {
      // The cell has four positions; further channel letters are ignored.
      if (st.CfaPatternCount < st.CfaPattern.size()) {
        st.CfaPattern[st.CfaPatternCount] = channel;
        ++st.CfaPatternCount;
      }
      st.CfaMode = 1;
      st.CfaPatternGiven = 1;
    }
  }
}

void ReadObjectOption(ImageState& st, const Text& rest) {
  const char first = rest[0];
  if (rest.empty() || IsDigit(first) || first == ',') {
    Text text = rest;
    Text item;
    uint32_t v = 0;
    TakeItemSeparator(text, item);
    st.WindowX = ConvertUnsigned(item.view(), v) ? v : 0;
    v = 0;
    TakeItemSeparator(text, item);
    st.WindowY = ConvertUnsigned(item.view(), v) ? v : 0;
    st.WindowOriginGiven = 1;
    return;
  }
  if (first == '=') {
    st.ObjectName = rest;
    return;
  }
  Text name = "@";
  name += rest.view();
  st.ObjectName = name;
}

void ReadSampleTypeOption(ImageState& st, const Text& rest) {
  if (rest.empty()) {
    st.RotateQuarter = st.RotateQuarter ? 0 : 1;
    return;
  }
  uint8_t bitpix = 0;
  switch (UpperAscii(rest[0])) {
  case 'B':
    bitpix = 8;
    break;
  case 'W':
    bitpix = 16;
    break;
  case 'L':
    bitpix = 32;
    break;
  case 'S':
    bitpix = 224; // 32-bit float
    break;
  case '0':
    st.FieldSelect = 1;
    return;
  case '1':
    st.FieldSelect = 2;
    return;
  default:
    return;
  }
  st.AutoByteOutput = 0;
  st.OutputBitpix = bitpix;
}

// The keyword of a Y card: its text up to the first blank or "=".
std::string_view CardOptionKeyword(std::string_view card) {
  return card.substr(0, card.find_first_of(" ="));
}

bool IsKeywordChar(char c) {
  const char u = UpperAscii(c);
  return (u >= 'A' && u <= 'Z') || IsDigit(u) || u == '-' || u == '_';
}

// A keyword FITS readers cannot parse makes the whole file unreadable to them:
// such a card is refused before any output.
void CheckCardOption(Conversion& cv, const Text& arg) {
  if (arg.size() < 3) return;
  const std::string_view keyword = CardOptionKeyword(arg.view().substr(2));
  bool ok = keyword.size() <= 8;
  for (char c : keyword) ok = ok && IsKeywordChar(c);
  if (!ok) Stop(cv, "Mot-cl\u00e9 FITS incorrect : " + std::string(keyword));
}

bool IsFitsNumber(std::string_view t) {
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  std::size_t digits = 0;
  for (; i < t.size() && IsDigit(t[i]); ++i) ++digits;
  if (i < t.size() && t[i] == '.') {
    for (++i; i < t.size() && IsDigit(t[i]); ++i) ++digits;
  }
  if (digits == 0) return false;
  if (i < t.size() && (t[i] == 'E' || t[i] == 'e' || t[i] == 'D' || t[i] == 'd')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t exponent = 0;
    for (; i < t.size() && IsDigit(t[i]); ++i) ++exponent;
    if (exponent == 0) return false;
  }
  return i == t.size();
}

// Index just past the closing quote of a string starting at t[0] == '\'', or
// npos when it is not closed ("''" inside is a quote character).
std::size_t StringEnd(std::string_view t) {
  for (std::size_t i = 1; i < t.size(); ++i) {
    if (t[i] != '\'') continue;
    if (i + 1 < t.size() && t[i + 1] == '\'') {
      ++i;
      continue;
    }
    return i + 1;
  }
  return std::string_view::npos;
}

// The value field of a Y card is kept as typed when it is a FITS value (a
// number, a logical, a complex pair, a closed string, or nothing), possibly
// followed by a comment; any other text becomes a string: OBSERVER= 'Me'.
Text QuotedCardValue(std::string_view head, std::string_view value) {
  std::string_view t = TrimBlankEnds(value);
  if (t.empty()) return Text(std::string(head) + std::string(value));
  std::string_view token;
  if (t.front() == '\'') {
    const std::size_t end = StringEnd(t);
    if (end != std::string_view::npos) {
      const std::string_view after = TrimBlankEnds(t.substr(end));
      if (after.empty() || after.front() == '/') return Text(std::string(head) + std::string(value));
    }
  } else {
    token = TrimBlankEnds(t.substr(0, t.find('/')));
    if (token == "T" || token == "F" || IsFitsNumber(token) ||
        (token.size() >= 2 && token.front() == '(' && token.back() == ')'))
      return Text(std::string(head) + std::string(value));
  }
  // Quotes inside are doubled; the text is cut so that the closing quote still
  // fits in the 80 columns of the card.
  const std::size_t room = 80 - head.size() - 2;
  std::string quoted;
  for (char c : t) {
    const std::size_t need = c == '\'' ? 2 : 1;
    if (quoted.size() + need > room) break;
    quoted += c;
    if (c == '\'') quoted += c;
  }
  return Text(std::string(head) + "'" + quoted + "'");
}

// Y with a marker ('+' add, ':' replace or add, '=' replace, '-' delete) and a
// card. A keyword alone is padded to 8 columns; "KEY=value" is laid out as a
// FITS value card, the "=" in column 9 and a blank in column 10.
void ReadCardOption(ImageState& st, const Text& arg) {
  if (arg.size() < 3) return;
  const char marker = arg[1];
  if (marker != '+' && marker != '-' && marker != ':' && marker != '=') return;
  Text card = arg.substr(2);
  const std::size_t eq = card.find('=');
  if (eq == std::string_view::npos) {
    if (card.size() < 8) card.resize(8, ' ');
  } else if (eq <= 8 || eq + 1 < card.size()) {
    std::size_t p = eq; // 0-based column of "="
    while (p < 8) {
      card.insert(p, " ");
      ++p;
    }
    // Only a value card gets its blank after the "="; an "=" further right is
    // part of the user's text (a long keyword or a comment) and stays as typed.
    if (p == 8 && (card.size() == 9 || card[9] != ' ')) card.insert(9, " ");
  }
  for (std::size_t i = 0; i < 8 && i < card.size(); ++i) card.set(i, UpperAscii(card[i]));
  if (card.size() >= 10 && card[8] == '=' && card[9] == ' ')
    card = QuotedCardValue(card.view().substr(0, 10), card.view().substr(10));
  for (ExtraCard& slot : st.ExtraCards) {
    if (slot.Card.empty()) {
      slot.Marker = marker;
      slot.Card = card;
      slot.Verbatim = 1; // typed by the user: written exactly as given
      return;
    }
  }
  // All slots taken: the card is dropped.
}

void ReadBinningOption(ImageState& st, Text rest) {
  if (rest.empty()) {
    st.BinX = 1;
    st.BinY = 1;
    return;
  }
  Text item;
  uint32_t v = 0;
  TakeItemSeparator(rest, item);
  st.BinX = static_cast<uint8_t>(ConvertUnsigned(item.view(), v) ? (v & 0xFF) : 0);
  v = 0;
  TakeItemSeparator(rest, item);
  st.BinY = static_cast<uint8_t>(ConvertUnsigned(item.view(), v) ? (v & 0xFF) : 0);
  st.AutoByteOutput = 0;
}

void ReadNamingOption(ImageState& st, const Text& rest) {
  if (rest.empty()) {
    st.NamingMode = 2;
    return;
  }
  Text item;
  if (rest[0] == '+') {
    Text text = rest.substr(1);
    TakeItemSeparator(text, item);
    st.OutputPrefix = item; // cut to 4
    if (st.OutputPrefix.empty()) st.OutputPrefix = "_";
    st.NamingMode = 4;
    return;
  }
  Text text = rest;
  TakeItemSeparator(text, item);
  st.OutputPrefix = item;
  TakeItemSeparator(text, item);
  const uint8_t start = static_cast<uint8_t>(static_cast<uint32_t>(ParseInteger(item.view())) & 0xFF);
  st.NumberStart = static_cast<int8_t>(start);
  st.NamingMode = start == 0 ? 1 : 3;
}

void ReadOneOption(Conversion& cv, const Text& arg) {
  ImageState& st = cv.State;
  if (arg.empty()) return;
  if (arg == "EFFACE") {
    st.EraseInput = st.EraseInput ? 0 : 1;
    return;
  }
  const Text rest = arg.substr(1);
  Text item;
  switch (UpperAscii(arg[0])) {
  case 'A':
    st.ChannelWeightA += 1.0f;
    break;
  case 'B':
    st.ChannelWeightB += 1.0f;
    break;
  case 'R':
    st.ChannelWeightR += 1.0f;
    break;
  case 'V':
    st.ChannelWeightV += 1.0f;
    break;
  case 'C':
    ReadWeightsOption(st, rest);
    break;
  case 'D':
    ReadWindowSizeOption(st, rest);
    break;
  case 'E':
    ReadSoftwareOption(cv, rest.view());
    break;
  case 'G': {
    Text text = rest;
    TakeItemSeparator(text, item);
    float g = 0.0f;
    // The reciprocal must stay finite too.
    if (ConvertFloat(item.view(), g) && g > 0.0f && std::isfinite(1.0f / g)) {
      st.GammaValue = g;
      st.GammaInverse = 1.0f / g;
    }
    break;
  }
  case 'H':
    ReadDateOption(cv, rest);
    break;
  case 'K':
    ReadPointingOption(st, rest);
    break;
  case 'L': {
    Text text = rest;
    TakeItemSeparator(text, item);
    float l = 0.0f;
    if (ConvertFloat(item.view(), l) && l > 0.0f) st.LevelFactor = l;
    break;
  }
  case 'M':
    ReadMosaicOption(st, rest);
    break;
  case 'N': {
    Text text = rest;
    TakeItemSeparator(text, item);
    uint32_t v = 0;
    st.CoordStyle = static_cast<uint8_t>(ConvertUnsigned(item.view(), v) ? (v & 0xFF) : 0);
    break;
  }
  case 'O':
    ReadObjectOption(st, rest);
    break;
  case 'P':
    if (rest.size() == 1 && UpperAscii(rest[0]) == 'A') {
      st.WriteCoordinates = st.WriteCoordinates ? 0 : 1;
    }
    break;
  case 'S':
    if (rest.empty()) {
      st.LittleEndianSamples = st.LittleEndianSamples ? 0 : 1;
    } else if (rest[0] == '0') {
      st.RowParityKeep[1] = 0; // odd rows zeroed
    } else if (rest[0] == '1') {
      st.RowParityKeep[0] = 0; // even rows zeroed
    }
    break;
  case 'T':
    ReadSampleTypeOption(st, rest);
    break;
  case 'X':
    st.WriteConventionalCards = st.WriteConventionalCards ? 0 : 1;
    break;
  case 'Y':
    ReadCardOption(st, arg);
    break;
  case 'Z':
    ReadBinningOption(st, rest);
    break;
  case '+':
    st.IncludeExtraData = st.IncludeExtraData ? 0 : 1;
    break;
  case '=':
    ReadNamingOption(st, rest);
    break;
  default:
    break; // F and I are read by the readers that use them; anything else is ignored
  }
}

// First letters of the options (F and I are read by the readers that use them).
constexpr std::string_view OptionLetters = "ABCDEFGHIKLMNOPRSTVXYZ+=";

// An argument naming an existing file is a second input (a shell wildcard
// typically), and one whose first letter is no option letter is a typing
// error; either would otherwise be read as an option or ignored.
void CheckOptionArgument(Conversion& cv, const Text& arg) {
  if (arg.empty()) return;
  struct stat info {};
  if (::stat(NormalizePath(3, arg.view()).str().c_str(), &info) == 0)
    Stop(cv, "Un seul fichier par commande : " + arg.str());
  if (arg == "EFFACE") return;
  if (OptionLetters.find(UpperAscii(arg[0])) == std::string_view::npos)
    Stop(cv, "Option inconnue : " + arg.str());
  if (UpperAscii(arg[0]) == 'Y') CheckCardOption(cv, arg);
}

void FinalAdjustments(ImageState& st) {
  if (st.ChannelWeightR == 0.0f && st.ChannelWeightV == 0.0f && st.ChannelWeightB == 0.0f &&
      st.ChannelWeightA == 0.0f) {
    st.ChannelWeightR = 0.299f * st.LevelFactor;
    st.ChannelWeightV = 0.587f * st.LevelFactor;
    st.ChannelWeightB = 0.114f * st.LevelFactor;
  }
  const double sum = static_cast<double>(st.ChannelWeightR) + st.ChannelWeightV +
                     st.ChannelWeightB + st.ChannelWeightA;
  if (sum > 1.00001) st.AutoByteOutput = 0;
  if (st.CfaMode) {
    st.BinX = 2;
    st.BinY = 2;
  }
  // The binning accumulator is a fixed block of the conversion; with both
  // factors 0 nothing is binned and the output stage writes no rows.
  if (st.BinX != 0 || st.BinY != 0) {
    if (st.BinX == 0) st.BinX = st.BinY;
    if (st.BinY == 0) st.BinY = st.BinX;
  }
}

float ChannelWeight(const ImageState& st, uint8_t channel) {
  switch (channel) {
  case 1:
    return st.ChannelWeightR;
  case 2:
    return st.ChannelWeightV;
  case 3:
    return st.ChannelWeightB;
  default:
    return st.ChannelWeightA;
  }
}

} // namespace

void ReadOptions(Conversion& cv) {
  ReadSelection(cv);
  const unsigned count = ArgumentCount(cv);
  // Every argument is checked before any is applied: a misread command line
  // stops before anything is written.
  for (unsigned n = 2; n <= count; ++n) CheckOptionArgument(cv, GetArgument(cv, n));
  for (unsigned n = 2; n <= count; ++n) ReadOneOption(cv, GetArgument(cv, n));
  FinalAdjustments(cv.State);
  if (cv.State.BinX == 0 && cv.State.BinY == 0)
    Stop(cv, "Binning nul : aucune image ne serait convertie");
}

void CfaSetup(Conversion& cv) {
  ImageState& st = cv.State;
  st.IsCfa = 1;
  st.DetectorCfa.clear();
  for (std::size_t i = 0; i < 4; ++i) {
    const uint8_t channel = st.CfaPattern[i];
    if (channel >= 1 && channel <= 4) {
      st.CfaFactor[i] = ChannelWeight(st, channel);
      st.DetectorCfa.push_back(static_cast<char>('0' + channel));
    } else {
      st.CfaFactor[i] = 0.0f;
      st.DetectorCfa.push_back('x');
    }
  }
  if (st.CfaMode && st.CfaAverageDuplicates) {
    for (uint8_t channel = 1; channel <= 4; ++channel) {
      unsigned k = 0;
      for (uint8_t c : st.CfaPattern) k += c == channel ? 1 : 0;
      if (k <= 1) continue;
      for (std::size_t i = 0; i < 4; ++i) {
        if (st.CfaPattern[i] == channel) st.CfaFactor[i] /= static_cast<float>(k);
      }
    }
  }
  for (float& f : st.CfaFactor) f *= st.LevelFactor;
  std::string line = "Cco=";
  for (std::size_t i = 0; i < 4; ++i) {
    if (i > 0) line += ',';
    line += FormatFixed(st.CfaFactor[i], 3);
  }
  line += ": oui";
  Say(cv, line);
}

uint8_t ReadValueTransform(Conversion& cv) {
  ImageState& st = cv.State;
  uint8_t flags = 0;
  const unsigned count = ArgumentCount(cv);
  for (unsigned n = 2; n <= count; ++n) {
    const Text arg = GetArgument(cv, n);
    if (UpperAscii(arg[0]) != 'F') continue;
    Text rest = arg.substr(1);
    Text item;
    float v = 0.0f;
    TakeItemSeparator(rest, item);
    if (ConvertFloat(item.view(), v)) {
      st.ValueOffset = v;
      flags |= 1;
    }
    TakeItemSeparator(rest, item);
    if (ConvertFloat(item.view(), v) && v != 0.0f) {
      st.ValueScale = v;
      flags |= 2;
    }
    TakeItemSeparator(rest, item);
    double mode = 0.0;
    if (ConvertReal(item.view(), mode)) {
      // Only the low byte of the rounded value is kept (-1 gives 255).
      double low = std::fmod(std::nearbyint(mode), 256.0);
      if (low < 0) low += 256.0;
      st.ValueTransformMode = static_cast<uint8_t>(low);
      flags |= 4;
    }
  }
  if (st.ValueScale == 0.0f) {
    st.ValueScale = 1.0f;
    flags |= 2;
  }
  return flags;
}

} // namespace korv
