// FITS primary header: the structural cards, one card per observation fact the
// conversion state holds, the user's header edits, the provenance cards and END,
// padded with blank cards to a whole 2880-byte block. Also prints the summary
// tag lines of the conversion.
#include "output/fits_header.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <system_error>

#include "core/conversion.h"
#include "core/julian.h"
#include "core/numbers.h"
#include "core/text.h"
#include "output/delta_t_table.h"
#include "output/fits_checksum.h"
#include "output/output_file.h"

namespace korv {
namespace {

constexpr std::size_t CardLength = 80;
constexpr std::size_t HeaderBlock = 2880;
constexpr std::size_t ValueField = 21;      // a number ends in column 30
constexpr std::size_t MaxStringValue = 68;  // quotes in columns 11 and 80
constexpr double ArcsecondsPerRadian = 206264.80624709636;
constexpr double SecondsPerDay = 86400.0;
constexpr std::string_view ProgramName = "KORVALIX";
constexpr std::string_view SoftwareComment =
    "COMMENT   About some used software, see https://korvalix.example.org/software";

// Instants whose calendar year lies outside 1..9999 cannot be written in the
// four-digit date forms; such a time stamp is treated as unknown.
constexpr double FirstWritableJd = 1721425.5;  // 0001-01-01 0 h
constexpr double LastWritableJd = 5373484.5;   // 10000-01-01 0 h

using Keyword = std::array<char, 8>;

// The first 8 columns of a card, blank-padded: the identity of its keyword.
Keyword KeywordOf(std::string_view card) {
  Keyword k;
  k.fill(' ');
  for (std::size_t i = 0; i < k.size() && i < card.size(); ++i) k[i] = card[i];
  return k;
}

// Cards that describe the data layout or end the header. A user edit of one of
// them would make the data unreadable (or cut the header short), so such edits
// are dropped and the card is written as computed.
bool IsStructural(const Keyword& k) {
  // CHECKSUM and DATASUM are computed from the file as written: a copied or
  // typed value would be false.
  constexpr std::array<std::string_view, 11> names = {
      "SIMPLE  ", "BITPIX  ", "NAXIS   ", "NAXIS1  ", "NAXIS2  ", "COMPRES1",
      "LAXIS1  ", "LAXIS2  ", "END     ", "CHECKSUM", "DATASUM "};
  const std::string_view key(k.data(), k.size());
  for (std::string_view n : names)
    if (key == n) return true;
  return false;
}

void EmptyEntry(ExtraCard& e) {
  e.Marker = 0;
  e.Card.clear();
  e.Verbatim = 0;
}

// Writes one 80-byte card: padded with blanks or cut. Unless the text is to be
// kept exactly as the user typed it, bytes outside printable ASCII become '_'.
void EmitCard(Conversion& cv, std::string_view text, bool verbatim) {
  std::array<char, CardLength> card;
  card.fill(' ');
  for (std::size_t i = 0; i < card.size() && i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    card[i] = (verbatim || (c >= 32 && c <= 126)) ? text[i] : '_';
  }
  WriteOutput(cv, card.data(), card.size());
  cv.State.HeaderBytes += CardLength;
}

void WriteEditedCard(Conversion& cv, std::string_view card, bool verbatim) {
  if (card.empty()) return;
  const Keyword key = KeywordOf(card);
  auto& entries = cv.State.ExtraCards;
  if (IsStructural(key)) {
    for (ExtraCard& e : entries)
      if (!e.Card.empty() && KeywordOf(e.Card.view()) == key) EmptyEntry(e);
    EmitCard(cv, card, verbatim);
    return;
  }
  for (ExtraCard& e : entries) {
    if (e.Card.empty() || KeywordOf(e.Card.view()) != key) continue;
    if (e.Marker == '-') {
      EmptyEntry(e);
      return;
    }
    if (e.Marker == ':' || e.Marker == '=') {
      const ShortText<80> replacement = e.Card;
      const bool replacementVerbatim = e.Verbatim != 0;
      EmptyEntry(e);
      EmitCard(cv, replacement.view(), replacementVerbatim);
      return;
    }
    break;  // "+" or another marker: the card stays, and so does the entry
  }
  EmitCard(cv, card, verbatim);
}

// ---- number and string cards ----

std::string Blanks(std::size_t n) { return std::string(n, ' '); }

// Fixed-point text of a finite value; a value too wide for the 20 columns
// before column 30 is written with an exponent so that it is never cut.
std::string NumberText(double v, int decimals) {
  std::string text = FormatFixed(v, decimals);
  if (text.size() < ValueField) return text;
  std::array<char, 40> buf{};
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v,
                               std::chars_format::scientific, 12);
  text.assign(buf.data(), r.ptr);
  for (char& c : text)
    if (c == 'e') c = 'E';
  return text;
}

std::string NumberCard(std::string_view key, const std::string& value,
                       std::string_view comment = {}) {
  std::string card(key);
  card += Blanks(value.size() < ValueField ? ValueField - value.size() : 1);
  card += value;
  card += comment;
  return card;
}

// Writes "key = value" with the value fixed-point; a value that is not a
// number (a NaN or an infinity from a damaged input) writes nothing.
bool WriteNumberCard(Conversion& cv, std::string_view key, double v, int decimals,
                     std::string_view comment = {}) {
  if (!std::isfinite(v)) return false;
  WriteCard(cv, NumberCard(key, NumberText(v, decimals), comment));
  return true;
}

void WriteIntegerCard(Conversion& cv, std::string_view key, int64_t v) {
  WriteCard(cv, NumberCard(key, std::to_string(v)));
}

// keyOpen ends with the opening quote ("OBJECT  = '"). The value's quotes are
// doubled and it is cut, never inside a doubled quote, so that the closing
// quote stays inside the card.
std::string StringCard(std::string_view keyOpen, std::string_view value,
                       std::string_view afterQuote = {}) {
  std::string card(keyOpen);
  std::size_t used = 0;
  for (char c : value) {
    const std::size_t width = c == '\'' ? 2 : 1;
    if (used + width > MaxStringValue) break;
    card += c;
    if (c == '\'') card += c;
    used += width;
  }
  card += '\'';
  card += afterQuote;
  return card;
}

void WriteStringCard(Conversion& cv, std::string_view keyOpen, std::string_view value) {
  WriteCard(cv, StringCard(keyOpen, value));
}

Text Trimmed(std::string_view s) {
  Text t = s;
  TrimHeaderValue(t);
  return t;
}

void WriteTrimmedCard(Conversion& cv, std::string_view keyOpen, std::string_view value) {
  const Text t = Trimmed(value);
  if (!t.empty()) WriteStringCard(cv, keyOpen, t.view());
}

// ---- sexagesimal texts ----

// |x| split into whole units, minutes and seconds (seconds scaled by
// 10^decimals and rounded). Seconds that round up to 60 carry into the
// minutes, and minutes into the units, so a text never reads ..:60.
struct Sexagesimal {
  bool Negative = false;
  double Whole = 0;
  int Minutes = 0;
  int64_t Seconds = 0;  // scaled
};

Sexagesimal SplitSexagesimal(double x, int decimals) {
  Sexagesimal s;
  if (!std::isfinite(x)) x = 0;
  s.Negative = x < 0;
  const double ax = std::fabs(x);
  double whole = std::floor(ax);
  const double f = (ax - whole) * 60.0;
  int minutes = static_cast<int>(std::floor(f));
  int64_t scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  int64_t seconds = std::llround((f - minutes) * 60.0 * static_cast<double>(scale));
  if (seconds >= 60 * scale) {
    seconds -= 60 * scale;
    ++minutes;
  }
  if (minutes >= 60) {
    minutes -= 60;
    whole += 1;
  }
  s.Whole = whole;
  s.Minutes = minutes;
  s.Seconds = seconds;
  return s;
}

std::string TwoDigits(int64_t v) { return FormatFixedPadded(static_cast<double>(v), 0, 2); }

std::string WholeText(double whole) { return FormatFixedPadded(whole, 0, 2); }

// Seconds "ss.s" (as many decimals as asked) from a scaled value.
std::string SecondsText(int64_t scaled, int decimals) {
  int64_t scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  std::string text = TwoDigits(scaled / scale);
  if (decimals > 0) {
    std::string frac = std::to_string(scaled % scale);
    text += '.';
    text += std::string(static_cast<std::size_t>(decimals) - frac.size(), '0') + frac;
  }
  return text;
}

// Hours of an angle that goes round: 24 h after a carry is 0 h.
Sexagesimal SplitHours(double hours, int decimals) {
  Sexagesimal s = SplitSexagesimal(hours, decimals);
  if (!s.Negative && s.Whole == 24 && std::fabs(hours) < 24) s.Whole = 0;
  return s;
}

struct SkyTexts {
  std::string Ra;
  std::string Dec;
};

SkyTexts MakeSkyTexts(const ImageState& st, bool quoted) {
  const double hours = st.RightAscension * 12.0 / Pi + 1e-7;
  const double degrees = std::fabs(st.Declination) * 180.0 / Pi + 1e-6;
  const Sexagesimal ra = SplitHours(hours, 2);
  const Sexagesimal dec = SplitSexagesimal(degrees, 1);
  const std::string raSign = ra.Negative ? "-" : "";
  SkyTexts t;
  if (quoted) {
    t.Ra = raSign + WholeText(ra.Whole) + " " + TwoDigits(ra.Minutes) + " " +
           SecondsText(ra.Seconds, 2);
    t.Dec = std::string(st.Declination < 0 ? "-" : "+") + WholeText(dec.Whole) + " " +
            TwoDigits(dec.Minutes) + " " + SecondsText(dec.Seconds, 1);
  } else {
    t.Ra = raSign + WholeText(ra.Whole) + "h" + TwoDigits(ra.Minutes) + "m" +
           SecondsText(ra.Seconds, 2) + "s";
    const std::string sign = st.Declination < 0 ? "-" : (st.Declination > 0 ? "+" : "");
    t.Dec = sign + WholeText(dec.Whole) + "o" + TwoDigits(dec.Minutes) + "'" +
            SecondsText(dec.Seconds, 1) + "\"";
  }
  return t;
}

std::string LongitudeText(double longitude) {
  const Sexagesimal s = SplitHours(NormalizeAngle(longitude) * 12.0 / Pi, 2);
  return WholeText(s.Whole) + "h" + TwoDigits(s.Minutes) + "m" + SecondsText(s.Seconds, 2) + "s";
}

std::string LatitudeText(double latitude) {
  const Sexagesimal s = SplitSexagesimal(latitude * 180.0 / Pi, 1);
  return std::string(s.Negative ? "-" : "+") + WholeText(s.Whole) + "o" + TwoDigits(s.Minutes) +
         "'" + SecondsText(s.Seconds, 1) + "\"";
}

// ---- time stamp ----

struct CalendarDate {
  int64_t Year = 0;
  int Month = 0;
  int Day = 0;
};

// Calendar date of the day whose noon-based Julian day number is z (Meeus),
// Gregorian from 1582-10-15, Julian before.
CalendarDate CalendarOfDay(double z) {
  double a = z;
  if (z >= 2299161) {
    const double alpha = std::trunc((z - 1867216.25) / 36524.25);
    a = z + 1 + alpha - std::trunc(alpha / 4);
  }
  const double b = a + 1524;
  const double c = std::trunc((b - 122.1) / 365.25);
  const double d = std::trunc(365.25 * c);
  const double e = std::trunc((b - d) / 30.6001);
  CalendarDate date;
  date.Day = static_cast<int>(b - d - std::trunc(30.6001 * e));
  date.Month = static_cast<int>(e < 13.5 ? e - 1 : e - 13);
  date.Year = static_cast<int64_t>(date.Month > 2 ? c - 4716 : c - 4715);
  return date;
}

struct DateTexts {
  std::string Iso;    // yyyy-mm-ddThh:mm:ss.ss
  std::string Slash;  // yyyy/mm/dd
  std::string Short;  // dd/mm/yy
  std::string Time;   // hh:mm:ss.ss
};

DateTexts MakeDateTexts(double t, int secondDecimals = 2) {
  double z = std::trunc(t + 0.5);
  const double hours = (t + 0.5 - z) * 24.0;
  Sexagesimal s = SplitSexagesimal(hours, secondDecimals);
  if (s.Whole >= 24) {  // 23:59:59.995 and later belong to the next day
    s.Whole -= 24;
    z += 1;
  }
  const CalendarDate d = CalendarOfDay(z);
  DateTexts out;
  const std::string yyyy = FormatFixedPadded(static_cast<double>(d.Year), 0, 4);
  const std::string mm = TwoDigits(d.Month);
  const std::string dd = TwoDigits(d.Day);
  out.Time = WholeText(s.Whole) + ":" + TwoDigits(s.Minutes) + ":" +
             SecondsText(s.Seconds, secondDecimals);
  out.Iso = yyyy + "-" + mm + "-" + dd + "T" + out.Time;
  out.Slash = yyyy + "/" + mm + "/" + dd;
  out.Short = dd + "/" + mm + "/" + TwoDigits(d.Year % 100);
  return out;
}

// Settles the exposure's start, middle and end; returns the middle of the
// exposure as written (shifted, in universal time), 0 when no date is known.
double MiddleOfExposure(ImageState& st) {
  if (st.DateStart != 0 && st.DateEnd != 0) {
    if (st.Exptime == 0) st.Exptime = (st.DateEnd - st.DateStart) * SecondsPerDay;
    if (st.DateObs == 0) {
      st.DateObs = (st.DateStart + st.DateEnd) / 2;
      st.DateRef = 2;
    }
  }
  const double half = st.Exptime / 172800.0;
  double m = 0;
  if (st.DateObs != 0) {
    m = st.DateObs;
    if (st.DateRef == 1) m += half;
    if (st.DateRef == 3) m -= half;
  } else if (st.DateStart != 0) {
    m = st.DateStart + half;
  } else if (st.DateEnd != 0) {
    m = st.DateEnd - half;
  }
  st.DateObs = m;
  if (m == 0) return 0;
  m += st.TimeShift / SecondsPerDay + 1e-10;
  if (st.DateIsAtomic) {
    const double tt = m + 32.184 / SecondsPerDay;
    m = tt - DeltaT(tt) / SecondsPerDay;
  }
  return m;
}

// The exposure as the date cards state it, for the cards that restate it.
struct WrittenTime {
  bool Known = false;
  double Middle = 0;  // Julian date, as MIDJDATE reads where that card is written
  double Half = 0;    // half the exposure, days
};

WrittenTime WriteTimeStamp(Conversion& cv) {
  ImageState& st = cv.State;
  const double m = MiddleOfExposure(st);
  const double half = st.Exptime / 172800.0;
  double t = m;
  std::string_view word = "start";
  if (st.DateOutRef == 2) {
    word = "middle";
  } else if (st.DateOutRef == 3) {
    t = m + half;
    word = "end";
  } else {
    t = m - half;
  }
  if (m == 0 || !(t >= FirstWritableJd && t < LastWritableJd) || !std::isfinite(st.Exptime))
    return {};

  const DateTexts d = MakeDateTexts(t);
  const char format = (st.DateFormat == 'P' || st.DateFormat == 'Q') ? st.DateFormat : 'O';
  const std::string w(word);
  if (format == 'O') {
    WriteCard(cv, StringCard("DATE-OBS= '", d.Iso, " / date and time of " + w));
  } else {
    if (format == 'P')
      WriteCard(cv, StringCard("DATE-OBS= '", d.Slash, Blanks(9) + "/ " + w + " at yyyy/mm/dd"));
    else
      WriteCard(cv, StringCard("DATE-OBS= '", d.Short, Blanks(11) + "/ " + w + " at dd/mm/yy"));
    WriteCard(cv, StringCard("TIME-OBS= '", d.Time, Blanks(8) + "/ " + w + " at hh:mm:ss.cc"));
  }
  WriteNumberCard(cv, "EXPTIME =", st.Exptime, 4, " / duration in seconds");
  WrittenTime written{true, m, half};
  if (format == 'O' && WriteNumberCard(cv, "MIDJDATE=", m, 7, " / middle exposure julian date"))
    written.Middle = std::strtod(FormatFixed(m, 7).c_str(), nullptr);
  Say(cv, "Dat=" + (format == 'O' ? d.Iso : d.Time));
  Say(cv, "Dex=" + FormatFixed(st.Exptime, 4) + "s");
  return written;
}

// ---- derived values ----

void DerivePixelScale(ImageState& st) {
  if (st.FocalLength == 0 || (st.PixelSizeX == 0 && st.PixelSizeY == 0)) return;
  if (st.PixelSizeX == 0) st.PixelSizeX = st.PixelSizeY;
  if (st.PixelSizeY == 0) st.PixelSizeY = st.PixelSizeX;
  const double sx = std::atan(st.PixelSizeX / st.FocalLength) * st.BinX;
  const double sy = std::atan(st.PixelSizeY / st.FocalLength) * st.BinY;
  if (st.PixelScaleXSet == 0) {
    st.PixelScaleX = sx;
    st.PixelScaleXSet = 2;
  }
  if (st.PixelScaleYSet == 0) {
    st.PixelScaleY = sy;
    st.PixelScaleYSet = 2;
  }
}

// Common names of filters, folded to capitals, and the letter written for them.
struct FilterName {
  std::string_view Folded;
  std::string_view Written;
};
constexpr std::array<FilterName, 30> FilterNames = {{
    {"ROUGE", "R"},      {"RED", "R"},          {"VERT", "V"},       {"GREEN", "V"},
    {"G", "V"},          {"BLEU", "B"},         {"BLUE", "B"},       {"IR", "I"},
    {"HALPHA", "HA"},    {"H-ALPHA ASTRODON", "HA"},                 {"C", "O"},
    {"-C-", "O"},        {"L", "O"},            {"RIEN", "O"},       {"SANS", "O"},
    {"SANS FILTRE", "O"}, {"CLAIR", "O"},       {"CLEAR", "O"},      {"CLE", "O"},
    {"NO", "O"},         {"NON", "O"},          {"NONE", "O"},       {"-", "O"},
    {"SIN FILTRO", "O"}, {"NO FILTER", "O"},    {"NO FILTRE", "O"},  {"NINGUNO", "O"},
    {"FREE", "O"},       {"AIR", "O"},          {"EMPTY", "O"},
}};

Text NormalizedFilter(std::string_view filter) {
  const Text trimmed = Trimmed(filter);
  const Text folded = FoldUpper(trimmed.view());
  for (const FilterName& f : FilterNames)
    if (folded.view() == f.Folded) return Text(f.Written);
  return trimmed;
}

Text WrittenObject(std::string_view object) {
  Text t = Trimmed(object);
  std::size_t first = 0;
  std::size_t last = t.size();
  while (first < last && t[first] == '#') ++first;
  while (last > first && t[last - 1] == '#') --last;
  Text out;
  for (char c : t.substr(first, last - first)) out.push_back(c == '^' ? ',' : c);
  return out;
}

std::string ObservatoryCodeText(double code) {
  const double rounded = std::round(code);
  if (rounded == 500) return "XXX";
  if (rounded == -500) return "YYY";
  if (rounded >= 1000 && rounded < 1e9) {
    const auto c = static_cast<int64_t>(rounded);
    // Letters past 'Z' are not printable for large codes; EmitCard turns them into '_'.
    const auto letter = static_cast<char>(static_cast<unsigned char>((c / 100 + 55) & 0xFF));
    return std::string(1, letter) + TwoDigits(c % 100);
  }
  return FormatFixedPadded(rounded, 0, 3);
}

// The input file name made absolute against the current directory, "." and
// ".." resolved, separators written '|'. Letter case is kept.
std::string AbsoluteInputName(std::string_view stored) {
  std::string path;
  for (char c : stored) path += (c == '|' || c == '\\') ? '/' : c;
  if (path.empty()) return {};
  if (path.front() != '/') {
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    if (!ec) path = cwd.string() + "/" + path;
  }
  std::array<std::string_view, 256> parts{};
  std::size_t count = 0;
  const std::string_view all(path);
  std::size_t pos = 0;
  while (pos <= all.size()) {
    std::size_t end = all.find('/', pos);
    if (end == std::string_view::npos) end = all.size();
    const std::string_view part = all.substr(pos, end - pos);
    if (part == "..") {
      if (count > 0) --count;
    } else if (!part.empty() && part != ".") {
      if (count < parts.size()) parts[count++] = part;
    }
    pos = end + 1;
  }
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    out += '|';
    out += parts[i];
  }
  return out;
}

std::string FromFileText(std::string_view stored) {
  std::string text = AbsoluteInputName(stored);
  if (text.size() <= 68) return text;
  text.erase(0, text.size() - 65);
  const std::size_t bar = text.find('|');
  if (bar == std::string::npos) return {};
  return "..." + text.substr(bar);
}

void WriteCoordinateCards(Conversion& cv) {
  ImageState& st = cv.State;
  const bool haveSky = st.RightAscension != 0 || st.Declination != 0 ||
                       st.RightAscensionSet != 0 || st.DeclinationSet != 0;
  if (!haveSky || !std::isfinite(st.RightAscension) || !std::isfinite(st.Declination)) return;
  if (st.CoordStyle == 1 || st.CoordStyle == 2) {
    const SkyTexts t = MakeSkyTexts(st, true);
    WriteStringCard(cv, st.CoordStyle == 1 ? "RA      = '" : "OBJCTRA = '", t.Ra);
    Say(cv, "Asc=" + t.Ra);
    WriteStringCard(cv, st.CoordStyle == 1 ? "DEC     = '" : "OBJCTDEC= '", t.Dec);
    Say(cv, "Dec=" + t.Dec);
  } else {
    const SkyTexts t = MakeSkyTexts(st, false);
    WriteNumberCard(cv, "RA      =", st.RightAscension * 180.0 / Pi, 4, " / o, " + t.Ra);
    Say(cv, "Asc=" + t.Ra);
    WriteNumberCard(cv, "DEC     =", st.Declination * 180.0 / Pi, 4, " / o, " + t.Dec);
    Say(cv, "Dec=" + t.Dec);
  }
}

void WriteWcsCards(Conversion& cv) {
  const ImageState& st = cv.State;
  const bool tangent = st.Ctype1 == std::string_view("RA---TAN") &&
                       st.Ctype2 == std::string_view("DEC--TAN");
  const bool matrix = st.Cd11 != 0 || (st.Cd12 != 0 && st.Cd21 != 0) || st.Cd22 != 0;
  if (!tangent || !matrix) return;
  WriteStringCard(cv, "CTYPE1  = '", st.Ctype1.view());
  WriteStringCard(cv, "CTYPE2  = '", st.Ctype2.view());
  WriteCard(cv, "CUNIT1  = 'DEG'");
  WriteCard(cv, "CUNIT2  = 'DEG'");
  WriteNumberCard(cv, "CRPIX1  =", st.Crpix1, 6, " / pixel");
  WriteNumberCard(cv, "CRPIX2  =", st.Crpix2, 6, " / pixel");
  WriteNumberCard(cv, "CRVAL1  =", st.Crval1, 6, " / o");
  WriteNumberCard(cv, "CRVAL2  =", st.Crval2, 6, " / o");
  WriteNumberCard(cv, "CD1_1   =", st.Cd11, 12, " / o/pixel");
  WriteNumberCard(cv, "CD1_2   =", st.Cd12, 12, " / o/pixel");
  WriteNumberCard(cv, "CD2_1   =", st.Cd21, 12, " / o/pixel");
  WriteNumberCard(cv, "CD2_2   =", st.Cd22, 12, " / o/pixel");
}

void WriteOpticsCards(Conversion& cv) {
  ImageState& st = cv.State;
  if (st.FocalLength != 0 && st.FocalLengthSet != 0 &&
      WriteNumberCard(cv, "FOCAL   =", st.FocalLength, 4, " / mm"))
    Say(cv, "Foc=" + FormatFixed(st.FocalLength, 4) + "mm");
  if (st.PixelSizeX != 0 && st.PixelSizeXSet != 0) {
    st.PixelSizeX *= st.BinX;
    if (WriteNumberCard(cv, "CDELTM1 =", std::fabs(st.PixelSizeX), 5, " / mm/pixel"))
      Say(cv, "Dph=" + FormatFixed(std::fabs(st.PixelSizeX), 5) + "mm");
  }
  if (st.PixelSizeY != 0 && st.PixelSizeYSet != 0) {
    st.PixelSizeY *= st.BinY;
    if (WriteNumberCard(cv, "CDELTM2 =", std::fabs(st.PixelSizeY), 5, " / mm/pixel"))
      Say(cv, "Dpv=" + FormatFixed(std::fabs(st.PixelSizeY), 5) + "mm");
  }
  if (st.WriteCoordinates) WriteWcsCards(cv);
  if (st.PixelScaleXSet != 0 || st.PixelScaleYSet != 0) {
    if (st.PixelScaleX == 0) st.PixelScaleX = st.PixelScaleY;
    if (st.PixelScaleY == 0) st.PixelScaleY = st.PixelScaleX;
    const double sx = st.PixelScaleX;
    const double sy = st.PixelScaleY;
    WriteNumberCard(cv, "SECPIX  =", std::sqrt((sx * sx + sy * sy) / 2) * ArcsecondsPerRadian, 4,
                    " / \"/pixel");
  }
  if (st.Gain != 0 && st.GainSet != 0 && WriteNumberCard(cv, "GAIN    =", st.Gain, 4, " / e-/ADU"))
    Say(cv, "Epn=" + FormatFixed(st.Gain, 4) + "e-/ADU");
  if (st.Airmass != 0 && st.AirmassSet != 0)
    WriteNumberCard(cv, "AIRMASS =", st.Airmass, 4, " / -");
}

void WriteSiteCards(Conversion& cv) {
  const ImageState& st = cv.State;
  if (st.ObsCodeSet != 0 &&
      WriteNumberCard(cv, "OBS_CODE=", st.ObsCode, 0, " / " + ObservatoryCodeText(st.ObsCode)))
    Say(cv, "Cod=" + FormatFixed(st.ObsCode, 0));
  if (st.ObsInstrument != 0 && st.ObsInstrumentSet != 0 &&
      WriteNumberCard(cv, "OBS_INST=", st.ObsInstrument, 0))
    Say(cv, "Ins=" + FormatFixed(st.ObsInstrument, 0));
  if (st.ObsLongitude != 0 || st.ObsLatitude != 0) {
    const double longitude = NormalizeAngle(st.ObsLongitude) * 180.0 / Pi;
    if (WriteNumberCard(cv, "OBS_LONG=", longitude, 4, " / o, " + LongitudeText(st.ObsLongitude)))
      Say(cv, "Lon=" + FormatFixed(st.ObsLongitude * 180.0 / Pi, 4) + "o");
    const double latitude = st.ObsLatitude * 180.0 / Pi;
    if (WriteNumberCard(cv, "OBS_LATI=", latitude, 4, " / o, " + LatitudeText(st.ObsLatitude)))
      Say(cv, "Lat=" + FormatFixed(latitude, 4) + "o");
  }
  if (st.ObsAltitude != 0 && st.ObsAltitudeSet != 0 &&
      WriteNumberCard(cv, "OBS_ALTI=", st.ObsAltitude, 0, " / m"))
    Say(cv, "Alt=" + FormatFixed(st.ObsAltitude, 0) + "m");
}

void WriteDescriptionCards(Conversion& cv) {
  ImageState& st = cv.State;
  if (!Trimmed(st.ObjectName.view()).empty()) {
    st.ObjectName = WrittenObject(st.ObjectName.view());
    WriteStringCard(cv, "OBJECT  = '", st.ObjectName.view());
    Say(cv, "Obj=" + st.ObjectName.str());
  }
  WriteTrimmedCard(cv, "QUALITY = '", st.Quality.view());
  WriteTrimmedCard(cv, "IMAGIDEN= '", st.ImageIdent.view());
  WriteTrimmedCard(cv, "IMAGETYP= '", st.ImageType.view());
  st.Filter = NormalizedFilter(st.Filter.view());
  if (!st.Filter.empty()) {
    WriteStringCard(cv, "FILTER  = '", st.Filter.view());
    Say(cv, "Fil=" + st.Filter.str());
  }
  WriteTrimmedCard(cv, "ORIGIN  = '", st.Origin.view());
  WriteTrimmedCard(cv, "TELESCOP= '", st.Telescope.view());
  WriteTrimmedCard(cv, "DETECTOR= '", st.Detector.view());
  WriteTrimmedCard(cv, "DETECMAR= '", st.DetectorMaker.view());
  if (st.BinX == 1 && st.BinY == 1) WriteTrimmedCard(cv, "DETECCFA= '", st.DetectorCfa.view());
  if (st.DetectorBits != 0) WriteNumberCard(cv, "DETECBIT=", st.DetectorBits, 0);
  if (st.DetectorIso != 0 && st.DetectorIsoSet != 0 &&
      WriteNumberCard(cv, "DETECISO=", st.DetectorIso, 0))
    Say(cv, "Sen=" + FormatFixed(st.DetectorIso, 0));
  WriteTrimmedCard(cv, "OBSERVER= '", st.Observer.view());
  if (!st.Observatory.empty()) WriteStringCard(cv, "OBSERVAT= '", st.Observatory.view());
  if (st.DetectorTemp != 0 && st.DetectorTempSet != 0 &&
      WriteNumberCard(cv, "TEMP_DET=", st.DetectorTemp, 2))
    Say(cv, "Tde=" + FormatFixed(st.DetectorTemp, 0));
  if (st.AirTemp != 0 && st.AirTempSet != 0) WriteNumberCard(cv, "TEMP_AIR=", st.AirTemp, 2);
  WriteTrimmedCard(cv, "EPEPINAG= '", st.Epepinag.view());
  if (!st.Script.empty()) WriteStringCard(cv, "SCRIPT  = '", st.Script.view());
}

// The user's and the readers' cards that replaced nothing: "+" cards, and ":"
// cards whose keyword the header did not hold. The rest are dropped.
void WritePendingCards(Conversion& cv) {
  auto& entries = cv.State.ExtraCards;
  for (ExtraCard& e : entries)
    if (e.Marker != '+' && e.Marker != ':') EmptyEntry(e);
  for (ExtraCard& e : entries) {
    if (e.Card.empty()) continue;
    // A second END or NAXIS1 here would break the file.
    if (IsStructural(KeywordOf(e.Card.view()))) {
      EmptyEntry(e);
      continue;
    }
    const ShortText<80> card = e.Card;
    const bool verbatim = e.Verbatim != 0;
    WriteEditedCard(cv, card.view(), verbatim);
    EmptyEntry(e);
  }
}

void WriteProvenanceCards(Conversion& cv) {
  ImageState& st = cv.State;
  const std::string from = FromFileText(st.InputFilePath.view());
  if (!from.empty()) WriteStringCard(cv, "FROMFILE= '", from);
  Text creator = Trimmed(st.Creator.view());
  MergeList(creator, 68, ProgramName);
  st.Creator = creator;
  WriteStringCard(cv, "CREATOR = '", st.Creator.view());
  WriteCard(cv, SoftwareComment);
}

// ---- conventional cards ----
// The same facts under the names that other astronomy software reads. Each is
// written only where the program's own card for the fact is written, from the
// same value, and never where the user's (or a reader's) header edits name
// the card or its counterpart.

struct GivenKeywords {
  std::array<Keyword, 16> Keys{};
  std::size_t Count = 0;
  bool Has(std::string_view name) const {
    const Keyword k = KeywordOf(name);
    for (std::size_t i = 0; i < Count; ++i)
      if (Keys[i] == k) return true;
    return false;
  }
  bool HasAny(std::initializer_list<std::string_view> names) const {
    for (std::string_view n : names)
      if (Has(n)) return true;
    return false;
  }
};

GivenKeywords KeywordsOfEdits(const ImageState& st) {
  GivenKeywords g;
  for (const ExtraCard& e : st.ExtraCards)
    if (!e.Card.empty() && g.Count < g.Keys.size()) g.Keys[g.Count++] = KeywordOf(e.Card.view());
  return g;
}

char CellLetter(char code) {
  switch (code) {
  case '1': return 'R';
  case '2': return 'G';
  case '3': return 'B';
  default: return 0;
  }
}

// Cell colours of the mosaic in the order of the FITS rows: the first two
// letters are the first two samples of the first row stored (the bottom row of
// the picture), after the mirror and the flip. A cell code for the fourth
// channel (or none) has no letter, and then there is no pattern.
std::string MosaicLetters(const ImageState& st, std::string_view cells) {
  if (cells.size() != 4) return {};
  const unsigned height = st.OutHeight;
  const unsigned width = st.OutWidth;
  std::string letters;
  for (unsigned r = 0; r < 2; ++r) {
    // FITS row r holds the picture row height-1-r from the top, which came
    // from input row (height-1-r), or row r when the rows were flipped.
    const unsigned inputRow = st.FlipY ? r : height - 1u - r;
    for (unsigned c = 0; c < 2; ++c) {
      const unsigned inputColumn = st.MirrorX ? width - 1u - c : c;
      const char letter = CellLetter(cells[2 * (inputRow & 1u) + (inputColumn & 1u)]);
      if (letter == 0) return {};
      letters += letter;
    }
  }
  return letters;
}

std::string DegreesText(double degrees, bool signAlways) {
  const Sexagesimal s = SplitSexagesimal(degrees, 0);
  std::string sign = s.Negative ? "-" : (signAlways ? "+" : "");
  return sign + WholeText(s.Whole) + " " + TwoDigits(s.Minutes) + " " + SecondsText(s.Seconds, 0);
}

std::string Instrument(const ImageState& st) {
  const Text maker = Trimmed(st.DetectorMaker.view());
  const Text model = Trimmed(st.Detector.view());
  if (maker.empty()) return model.str();
  if (model.empty()) return maker.str();
  // Models often begin with the maker's name ("NIKON D70"); its first word will do.
  const std::string_view makerView = maker.view();
  const std::string_view firstWord = makerView.substr(0, makerView.find(' '));
  if (StartsWith(FoldUpper(model.view()).view(), FoldUpper(firstWord).view())) return model.str();
  return maker.str() + " " + model.str();
}

void WriteConventionalCards(Conversion& cv, const GivenKeywords& given, const WrittenTime& time,
                            bool unbinnedMosaic) {
  const ImageState& st = cv.State;
  const auto unless = [&](std::initializer_list<std::string_view> names) {
    return !given.HasAny(names);
  };

  const Text cfa = Trimmed(st.DetectorCfa.view());
  if (unbinnedMosaic && !cfa.empty() && unless({"BAYERPAT", "XBAYROFF", "YBAYROFF", "ROWORDER",
                                                "DETECCFA"})) {
    const std::string letters = MosaicLetters(st, cfa.view());
    if (!letters.empty()) {
      WriteStringCard(cv, "BAYERPAT= '", letters);
      WriteIntegerCard(cv, "XBAYROFF=", 0);
      WriteIntegerCard(cv, "YBAYROFF=", 0);
      WriteCard(cv, "ROWORDER= 'BOTTOM-UP'");
    }
  }

  // Pixel sizes are held binned by now (see the CDELTM cards).
  const bool sizeX = st.PixelSizeX != 0 && st.PixelSizeXSet != 0 && std::isfinite(st.PixelSizeX);
  const bool sizeY = st.PixelSizeY != 0 && st.PixelSizeYSet != 0 && std::isfinite(st.PixelSizeY);
  if (sizeX && unless({"XPIXSZ", "CDELTM1"}))
    WriteNumberCard(cv, "XPIXSZ  =", std::fabs(st.PixelSizeX) * 1000.0, 4, " / um, binned");
  if (sizeY && unless({"YPIXSZ", "CDELTM2"}))
    WriteNumberCard(cv, "YPIXSZ  =", std::fabs(st.PixelSizeY) * 1000.0, 4, " / um, binned");
  if ((sizeX || sizeY || st.BinX > 1 || st.BinY > 1) && unless({"XBINNING", "YBINNING"})) {
    WriteIntegerCard(cv, "XBINNING=", st.BinX);
    WriteIntegerCard(cv, "YBINNING=", st.BinY);
  }
  if (st.FocalLength != 0 && st.FocalLengthSet != 0 && unless({"FOCALLEN", "FOCAL"}))
    WriteNumberCard(cv, "FOCALLEN=", st.FocalLength, 4, " / mm");
  if (st.DetectorTemp != 0 && st.DetectorTempSet != 0 && unless({"CCD-TEMP", "TEMP_DET"}))
    WriteNumberCard(cv, "CCD-TEMP=", st.DetectorTemp, 2, " / C");
  if (st.Gain != 0 && st.GainSet != 0 && unless({"EGAIN", "GAIN"}))
    WriteNumberCard(cv, "EGAIN   =", st.Gain, 4, " / e-/ADU");
  if (st.DetectorIso != 0 && st.DetectorIsoSet != 0 && unless({"ISOSPEED", "DETECISO"}))
    WriteNumberCard(cv, "ISOSPEED=", st.DetectorIso, 0);
  const std::string instrument = Instrument(st);
  if (!instrument.empty() && unless({"INSTRUME", "DETECTOR", "DETECMAR"}))
    WriteStringCard(cv, "INSTRUME= '", instrument);

  if ((st.ObsLongitude != 0 || st.ObsLatitude != 0) && std::isfinite(st.ObsLongitude) &&
      std::isfinite(st.ObsLatitude)) {
    double longitude = NormalizeAngle(st.ObsLongitude) * 180.0 / Pi;  // east positive
    if (longitude > 180.0) longitude -= 360.0;
    const double latitude = st.ObsLatitude * 180.0 / Pi;
    if (unless({"SITELAT", "OBS_LATI"}))
      WriteStringCard(cv, "SITELAT = '", DegreesText(latitude, true));
    if (unless({"SITELONG", "OBS_LONG"}))
      WriteStringCard(cv, "SITELONG= '", DegreesText(longitude, false));
    if (unless({"OBSGEO-B", "OBS_LATI"}))
      WriteNumberCard(cv, "OBSGEO-B=", latitude, 6, " / deg, geodetic latitude");
    if (unless({"OBSGEO-L", "OBS_LONG"}))
      WriteNumberCard(cv, "OBSGEO-L=", longitude, 6, " / deg, east positive");
    if (st.ObsAltitude != 0 && st.ObsAltitudeSet != 0 && unless({"OBSGEO-H", "OBS_ALTI"}))
      WriteNumberCard(cv, "OBSGEO-H=", st.ObsAltitude, 0, " / m");
  }

  if (time.Known && unless({"DATE-OBS", "MIDJDATE", "EXPTIME", "TIME-OBS"})) {
    constexpr double MjdOrigin = 2400000.5;
    if (unless({"DATE-AVG"}))
      WriteCard(cv, StringCard("DATE-AVG= '", MakeDateTexts(time.Middle, 3).Iso,
                               " / middle of exposure"));
    if (unless({"MJD-OBS"}))
      WriteNumberCard(cv, "MJD-OBS =", time.Middle - time.Half - MjdOrigin, 8,
                      " / start of exposure");
    if (unless({"MJD-AVG"}))
      WriteNumberCard(cv, "MJD-AVG =", time.Middle - MjdOrigin, 8, " / middle of exposure");
    if (unless({"TIMESYS"})) WriteCard(cv, "TIMESYS = 'UTC'");
  }
}

} // namespace

void WriteCard(Conversion& cv, std::string_view card) { WriteEditedCard(cv, card, false); }

double DeltaT(double jd) {
  const double mjd = jd - 2400000.5;
  const DeltaTRow& newest = DeltaTTable.front();
  const DeltaTRow& oldest = DeltaTTable.back();
  if (mjd >= oldest.StartMjd && mjd <= newest.StartMjd + 36525.0) {
    for (const DeltaTRow& row : DeltaTTable)
      if (row.StartMjd <= mjd) return row.Value + (mjd - row.RefMjd) * row.Rate;
  }
  const double t = (jd - 2415022.0) / 36525.0;
  return 24.6 + 72.318 * t + 29.952 * t * t;
}

void WriteHeader(Conversion& cv, RowEncoding encoding) {
  ImageState& st = cv.State;
  st.HeaderBytes = 0;
  const auto code = static_cast<int8_t>(st.OutputBitpix);
  // Taken before the program's own cards consume the edits.
  const GivenKeywords given = KeywordsOfEdits(st);

  WriteCard(cv, NumberCard("SIMPLE  =", "T"));
  WriteIntegerCard(cv, "BITPIX  =", code);
  Say(cv, "Nbp=" + std::to_string(code));
  Say(cv, "Nph=" + std::to_string(st.OutWidth));
  Say(cv, "Npv=" + std::to_string(st.OutHeight));
  WriteIntegerCard(cv, "NAXIS   =", 2);
  WriteIntegerCard(cv, "NAXIS1  =", st.OutWidth);
  WriteIntegerCard(cv, "NAXIS2  =", st.OutHeight);
  if (encoding == RowEncoding::PrevPixel) {
    WriteCard(cv, "COMPRES1= 'PREVPIXEL'");
    Say(cv, "Cmp=PrP");
    WriteIntegerCard(cv, "LAXIS1  =", st.OutWidth);
    WriteIntegerCard(cv, "LAXIS2  =", st.OutHeight);
  } else if (encoding == RowEncoding::ProfVar) {
    WriteCard(cv, "COMPRES1= 'PROF-VAR'");
    Say(cv, "Cmp=PVa");
  }
  const bool noZeroPoint =
      encoding == RowEncoding::PrevPixel || code == 8 || code == 32 || code == -32;
  WriteIntegerCard(cv, "BZERO   =", noZeroPoint ? 0 : 32768);
  WriteIntegerCard(cv, "BSCALE  =", 1);
  if (st.DataMinSet) WriteNumberCard(cv, "DATAMIN =", st.DataMin, 4);
  if (st.DataMaxSet) WriteNumberCard(cv, "DATAMAX =", st.DataMax, 4);
  if (st.BlankSet) WriteNumberCard(cv, "BLANK   =", st.BlankValue, 0);

  const WrittenTime time = WriteTimeStamp(cv);
  DerivePixelScale(st);
  if (st.WriteCoordinates) WriteCoordinateCards(cv);
  WriteOpticsCards(cv);
  WriteSiteCards(cv);
  WriteDescriptionCards(cv);
  if (st.WriteConventionalCards)
    WriteConventionalCards(cv, given, time, st.BinX == 1 && st.BinY == 1);
  WritePendingCards(cv);
  WriteProvenanceCards(cv);
  // Filled in once the data are written; FITS readers find them before END.
  if (encoding == RowEncoding::Plain) {
    EmitCard(cv, ChecksumPlaceholder, false);
    EmitCard(cv, DatasumPlaceholder, false);
  }
  WriteCard(cv, "END");

  std::array<char, CardLength> blank;
  blank.fill(' ');
  while (st.HeaderBytes % HeaderBlock != 0) {
    WriteOutput(cv, blank.data(), blank.size());
    st.HeaderBytes += CardLength;
  }
}

} // namespace korv
