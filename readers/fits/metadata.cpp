// Normalisation of observation metadata read from FITS-like headers. Positions
// in the comments are 1-based character positions of the value, as the header
// conventions of the writing programs are usually documented.
#include "readers/fits/metadata.h"

#include <array>
#include <string>

#include "core/conversion.h"
#include "core/image_state.h"
#include "core/julian.h"
#include "core/numbers.h"
#include "core/text.h"

namespace korv {

namespace {

constexpr double DegToRad = Pi / 180.0;

// Characters pos..pos+len-1 (1-based) of v, clamped to v; never a null view.
std::string_view Sub(std::string_view v, std::size_t pos, std::size_t len) {
  if (pos == 0 || pos > v.size()) return std::string_view("", 0);
  return v.substr(pos - 1, len);
}

// Character at 1-based pos, or NUL past the end.
char At(std::string_view v, std::size_t pos) {
  return (pos >= 1 && pos <= v.size()) ? v[pos - 1] : '\0';
}

bool IsDateSeparator(char c) { return c == '-' || c == '.' || c == '/' || c == ':'; }

char Upper(char c) { return static_cast<char>(FoldUpperByte(static_cast<unsigned char>(c))); }

bool StartsFolded(std::string_view folded, std::string_view prefix) {
  return folded.substr(0, prefix.size()) == prefix;
}

// Pads one-digit day and month fields: 5/1/06 becomes 05/01/06.
Text PadDateFields(std::string_view value) {
  Text v = value;
  for (std::size_t i = 0; i < v.size(); ++i)
    if (v[i] == ',') v.set(i, '.');
  if (IsDateSeparator(At(v, 2))) v.insert(0, "0");
  if (IsDateSeparator(At(v, 5)) && At(v, 5) == At(v, 3)) v.insert(3, "0");
  return v;
}

bool IsDayFirst(std::string_view v) {
  return IsDateSeparator(At(v, 3)) && IsDateSeparator(At(v, 6));
}

// Hours, minutes and seconds starting at 1-based positions h, h+3 and h+6.
double ClockAt(std::string_view v, std::size_t h) {
  return ParseInteger(Sub(v, h, 2)) / 24.0 + ParseInteger(Sub(v, h + 3, 2)) / 1440.0 +
         ParseReal(Sub(v, h + 6, 6)) / 86400.0;
}

// Sexagesimal "d m s" (or one decimal number) with an optional leading '-'.
double SexagesimalDegrees(Text& t) {
  TrimBlanks(t);
  bool negative = false;
  if (t.front() == '-') {
    negative = true;
    t.erase(0, 1);
    TrimBlanks(t);
  }
  Text item;
  TakeItemSeparator(t, item);
  double deg = ParseReal(item);
  TrimBlanks(t);
  if (!t.empty()) {
    TakeItemSeparator(t, item);
    const double m = ParseReal(item);
    TakeItemSeparator(t, item);
    const double s = ParseReal(item);
    deg += m / 60.0 + s / 3600.0;
  }
  return negative ? -deg : deg;
}

// Keeps only what a signed sexagesimal number needs.
void KeepNumberCharacters(Text& t) {
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (!(c == ' ' || c == '+' || c == '-' || c == '.' || IsDigit(c) || c == 'E')) t.set(i, ' ');
  }
}

// A leading compass letter (with an optional blank after it) becomes a sign;
// a trailing one is dropped, or becomes a leading '-'. Returns true when the
// text carried a compass letter.
bool CompassToSign(Text& t, char plusLead, std::string_view minusLead, char plusTail,
                   char minusTail) {
  bool letter = false;
  if (t.size() >= 2) {
    const char c = t[0];
    if (c == plusLead || minusLead.find(c) != std::string_view::npos) {
      if (t[1] == ' ') t.erase(1, 1);
      t.set(0, c == plusLead ? '+' : '-');
      letter = true;
    }
  }
  if (t.back() == plusTail) {
    t.erase(t.size() - 1);
    letter = true;
  } else if (t.back() == minusTail) {
    t.erase(t.size() - 1);
    t.insert(0, "-");
    letter = true;
  }
  return letter;
}

} // namespace

void DecodeDateObs(Conversion& cv, std::string_view value) {
  ImageState& s = cv.State;
  const Text v = PadDateFields(value);
  if (IsDayFirst(v)) {
    int32_t year = ParseInteger(Sub(v, 7, 4));
    if (year == 0) year = ParseInteger(Sub(v, 7, 2));
    if (year < 20) {
      year += 2000;
    } else if (year < 100) {
      // One camera program counts its two-digit years from 1995.
      year += s.SourceSoftware == 15 ? 1995 : 1900;
    }
    if (!s.DateKnown) {
      s.DateObs += JulianDate(year, ParseInteger(Sub(v, 4, 2)), ParseInteger(Sub(v, 1, 2)));
      s.DateKnown = 1;
    }
    if (s.TimeKnown) return;
    if (Upper(At(v, 9)) == 'T') {
      // dd/mm/yyThh:mm:ss is written by a video frame extractor.
      if (s.SourceSoftware == 0) s.SourceSoftware = 8;
      if (s.SourceSoftware != 1) Say(cv, "Bul=AVI2BMP");
      s.DateObs += ClockAt(v, 10);
      s.TimeKnown = 1;
    } else if (Upper(At(v, 11)) == 'T') {
      s.DateObs += ClockAt(v, 12);
      s.TimeKnown = 1;
    }
    return;
  }
  if (!s.DateKnown) {
    s.DateObs += JulianDate(ParseInteger(Sub(v, 1, 4)), ParseInteger(Sub(v, 6, 2)),
                            ParseInteger(Sub(v, 9, 2)));
    s.DateKnown = 1;
  }
  if (Upper(At(v, 11)) == 'T' && !s.TimeKnown) {
    s.DateObs += ClockAt(v, 12);
    s.TimeKnown = 1;
  }
}

void DecodeUtDate(ImageState& s, std::string_view value) {
  const Text v = PadDateFields(value);
  if (!IsDayFirst(v)) return;
  // The date part is added once: a second header of a mosaic repeats it.
  if (s.UtDateObs >= 2) return;
  int32_t year = ParseInteger(Sub(v, 7, 4));
  if (year == 0) year = ParseInteger(Sub(v, 7, 2));
  if (year < 10) {
    year += 2000;
  } else if (year < 100) {
    year += 1900;
  }
  s.UtDateObs += JulianDate(year, ParseInteger(Sub(v, 4, 2)), ParseInteger(Sub(v, 1, 2)));
}

double IsoInstant(std::string_view value) {
  Text v = value;
  for (std::size_t i = 0; i < v.size(); ++i)
    if (v[i] == ',') v.set(i, '.');
  return JulianDate(ParseInteger(Sub(v, 1, 4)), ParseInteger(Sub(v, 6, 2)),
                    ParseInteger(Sub(v, 9, 2))) +
         ClockAt(v, 12);
}

double TimeOfDay(std::string_view value) {
  // Fixed positions need two-digit fields: " 9:27:27" (trimmed to "9:27:27")
  // is 09:27:27, not 9 h 07 min.
  Text v = value;
  if (At(v, 2) == ':') v.insert(0, "0");
  if (At(v, 5) == ':' && At(v, 3) == ':') v.insert(3, "0");
  return ClockAt(v, 1);
}

double ShutterTimeOfDay(std::string_view value) {
  return ParseInteger(Sub(value, 1, 2)) / 24.0 + ParseInteger(Sub(value, 4, 2)) / 1440.0 +
         ParseInteger(Sub(value, 7, 2)) / 86400.0;
}

double ParseRightAscension(std::string_view value, bool singleIsHours) {
  Text t = FoldUpper(value);
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (c == ',')
      t.set(i, '.');
    else if (c == '/' || c == ':' || c == 'H' || c == 'M' || c == 'S')
      t.set(i, ' ');
  }
  TrimBlanks(t);
  Text item;
  TakeItemSeparator(t, item);
  const double h = ParseReal(item);
  TrimBlanks(t);
  double deg;
  if (!t.empty()) {
    TakeItemSeparator(t, item);
    const double m = ParseReal(item);
    TakeItemSeparator(t, item);
    const double sec = ParseReal(item);
    deg = (h + m / 60.0 + sec / 3600.0) * 15.0;
  } else {
    deg = singleIsHours ? h * 15.0 : h;
  }
  return deg * DegToRad;
}

double ParseDeclination(std::string_view value) {
  Text t = FoldUpper(value);
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (c == ',')
      t.set(i, '.');
    else if (c == '"' || c == '\'' || c == '/' || c == ':' || c == 'D' || c == 'M' || c == 'S' ||
             static_cast<unsigned char>(c) == 176)
      t.set(i, ' ');
  }
  return SexagesimalDegrees(t) * DegToRad;
}

double ParseLatitude(std::string_view value) {
  Text t = FoldUpper(value);
  TrimBlanks(t);
  CompassToSign(t, 'N', "S", 'N', 'S');
  KeepNumberCharacters(t);
  return SexagesimalDegrees(t) * DegToRad;
}

double ParseLongitude(std::string_view value, std::string_view foldedComment,
                      uint8_t sourceSoftware) {
  Text t = FoldUpper(value);
  TrimBlanks(t);
  const bool compass = CompassToSign(t, 'E', "OW", 'E', 'W');
  KeepNumberCharacters(t);
  double deg = SexagesimalDegrees(t);
  // t now holds what follows d, m and s: only an explicit east marker counts.
  Text item;
  TakeItemSeparator(t, item);
  const bool eastMarker = FoldUpper(item) == "E";
  // Some programs write west-positive numbers; a compass letter in the value
  // already says which way it counts.
  const bool westPositive = sourceSoftware == 3 || sourceSoftware == 7 ||
                            foldedComment.find("OUEST") != std::string_view::npos ||
                            foldedComment.find("WEST") != std::string_view::npos;
  if (!compass && !eastMarker && westPositive) deg = -deg;
  return NormalizeAngle(deg * DegToRad);
}

bool IsNoFilterValue(std::string_view value) {
  const Text f = FoldUpper(value);
  return StartsFolded(f, "AIR") || StartsFolded(f, "NONE") || StartsFolded(f, "SOLAR") ||
         StartsFolded(f, "CLEAR");
}

ShortText<20> NormalizeFilterName(std::string_view value) {
  Text v = value;
  const std::size_t open = v.find('(');
  if (open != std::string_view::npos) v.erase(open, 1);
  const std::size_t close = v.find(')');
  if (close != std::string_view::npos) v.erase(close, 1);
  const Text f = FoldUpper(v);
  const std::string_view fv = f.view();
  auto fromPos = [&](std::size_t skip, std::string_view tail) {
    Text r = Sub(v, skip + 1, Text::Capacity);
    r += tail;
    return ShortText<20>(r);
  };
  auto letterThen = [&](std::size_t pos, bool upper, std::string_view tail) {
    Text r;
    const char c = At(v, pos);
    if (c != '\0') r += upper ? Upper(c) : c;
    r += tail;
    return ShortText<20>(r);
  };
  if (fv == "GSSELB") return "Vb";
  if (fv == "RBESSEL") return "Rb";
  if (StartsFolded(fv, "BESSELL")) return fromPos(8, "b");
  if (StartsFolded(fv, "BESSEL")) return fromPos(7, "b");
  if (StartsFolded(fv, "JOHN ")) return fromPos(5, "j");
  if (StartsFolded(fv, "SLOAN ")) return letterThen(7, true, "s");
  if (StartsFolded(fv, "SDSS ") || StartsFolded(fv, "SDSS-")) return letterThen(6, true, "s");
  if (StartsFolded(fv, "SDSS")) return letterThen(5, true, "s");
  if (StartsFolded(fv, "SL-") || StartsFolded(fv, "SL_")) return letterThen(4, true, "s");
  if (StartsFolded(fv, "JOHNSON_")) return fromPos(8, "j");
  if (Sub(fv, 3, 7) == "COUSINS") return letterThen(1, false, "c");
  if (Sub(fv, 3, 4) == "GUNN") return letterThen(1, false, "g");
  if (StartsFolded(fv, "SOLR-")) return ShortText<20>(Sub(v, 6, 2));
  if (StartsFolded(fv, "BSSL-")) return ShortText<20>(Sub(v, 6, 1));
  if (fv == "NIR_BLOCK" || fv == "LUMINANCE" || fv == "LUMI" || fv == "LUM" || fv == "LARGE")
    return "O";
  if (fv == "IR72") return "I";
  if (StartsFolded(fv, "FILTER")) return ShortText<20>(Sub(v, 7, 5));
  if (StartsFolded(fv, "JC_")) return letterThen(4, false, "c");
  return ShortText<20>(v);
}

void AddFitsObject(ImageState& s, std::string_view value) {
  Text v = value;
  if (FoldUpper(v.substr(0, RobotObserverPrefix.size())) == FoldUpper(RobotObserverPrefix)) {
    s.Observer = v.substr(0, 10);
    v.erase(0, RobotObserverPrefix.size());
  }
  if (FoldUpper(s.Origin) == "LCOGT") {
    const std::size_t colon = v.find(':');
    if (colon != std::string_view::npos) v.erase(colon);
  }
  Text item;
  // Each pass removes at least one character, so the text bounds the loop.
  for (unsigned guard = 0; !v.empty() && guard < Text::Capacity + 1; ++guard) {
    TakeItemComma(v, item);
    TrimBlanks(item);
    Text f = FoldUpper(item);
    if (StartsFolded(f, "ASTEROID_") || StartsFolded(f, "ASTEROIDE_")) {
      item.erase(0, item.find('_') + 1);
      f = FoldUpper(item);
    }
    if (item.empty() || f == "AUTOSAVE IMAGE" || f == "TEST" || f == "CAL" ||
        StartsFolded(f, "CURSOR"))
      continue;
    // The same name repeated by the headers of a mosaic is kept once.
    Text list = s.ObjectName;
    MergeList(list, decltype(s.ObjectName)::Capacity, item);
    s.ObjectName = list;
  }
}

namespace {

void ReplaceAll(std::string& s, std::string_view from, std::string_view to) {
  std::size_t pos = 0;
  while ((pos = s.find(from, pos)) != std::string::npos) {
    s.replace(pos, from.size(), to);
    pos += to.size();
  }
}

} // namespace

Text NormalizeObjectList(std::string_view list, std::size_t maxLength) {
  std::string s(list.substr(0, Text::Capacity));
  constexpr std::array<std::string_view, 7> leading = {
      "CENTER OF ",    "CENTER PART OF ", "CENTRAL PART OF ", "NORTH PART OF ",
      "EAST PART OF ", "SOUTH PART OF ",  "WEST PART OF "};
  for (std::string_view p : leading) ReplaceAll(s, p, "");
  constexpr std::array<std::string_view, 5> trailing = {
      " ( NORTH REGION )", " ( EAST REGION )", " ( SOUTH REGION )", " ( WEST REGION )", " (JET)"};
  for (std::string_view p : trailing) ReplaceAll(s, p, "");
  ReplaceAll(s, "MESSIER ", "M");
  ReplaceAll(s, "ABEL ", "ABELL ");
  constexpr std::array<std::string_view, 5> catalogues = {"NGC ", "UGC ", "ESO ", "PGC ", "IC "};
  for (std::string_view p : catalogues) ReplaceAll(s, p, p.substr(0, p.size() - 1));
  constexpr std::array<std::string_view, 3> joins = {" = ", " + ", " IN "};
  for (std::string_view p : joins) ReplaceAll(s, p, "; ");

  Text rest = std::string_view(s);
  Text item;
  Text result;
  for (unsigned guard = 0; !rest.empty() && guard < Text::Capacity + 1; ++guard) {
    TakeItemCommaSemicolon(rest, item);
    TrimBlanks(item);
    const std::string_view iv = item.view();
    const bool ngc = iv.substr(0, 3) == "NGC";
    const bool ic = iv.substr(0, 2) == "IC";
    if (ngc || ic) {
      const std::size_t slash = item.find('/');
      if (slash != std::string_view::npos) item.erase(slash);
    }
    auto numbered = [&](std::size_t prefix) {
      return item.size() > prefix && item[prefix] >= '1' && item[prefix] <= '9';
    };
    if ((ngc && numbered(3)) || (ic && numbered(2))) {
      while (!item.empty() && !IsDigit(item.back())) item.erase(item.size() - 1);
    }
    if (!item.empty()) MergeList(result, maxLength, item);
  }
  return result;
}

int32_t ParseObservatoryCode(std::string_view value) {
  Text t = value;
  TrimBlanks(t);
  if (t.empty()) t = "500";
  Text f = FoldUpper(t);
  if (f == "FTS")
    t = "E10";
  else if (f == "FTN")
    t = "F65";
  else if (f == "OFXB")
    t = "175";
  f = FoldUpper(t);
  if (f == "XXX" || t == "+") return 500;
  if (f == "YYY" || t == "-") return -500;
  const char c = f[0];
  if (c >= 'A' && c <= 'Z') return 100 * c + ParseInteger(f.substr(1, 2)) - 5500;
  return ParseWholeInteger(t);
}

} // namespace korv
