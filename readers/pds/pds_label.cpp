// PDS labels in the object description language: one KEY = value statement per
// line, OBJECT/GROUP blocks, "END". Keywords and values are matched whatever
// their letter case; comments (from "/*") are dropped; a quoted value may run
// over several lines. Labels of variable-length record files (a 16-bit little-
// endian length before each record, padded to even length) are read record by
// record once RECORD_TYPE says so.
#include "readers/pds/pds_label.h"

#include <cmath>
#include <string>

#include "core/conversion.h"
#include "core/julian.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/text.h"
#include "readers/pds/pds_samples.h"

namespace korv {
namespace {

// Real labels are a few tens of kilobytes; a data file without END is not
// scanned to its end.
constexpr int64_t MaxLabelBytes = int64_t{4} << 20;
// Longer lines are cut: no statement of interest needs more.
constexpr std::size_t MaxLineBytes = 4096;
constexpr uint16_t MaxLabelRecordBytes = 255;

std::size_t RefillFromInput(void* context, uint8_t* buffer, std::size_t cap) {
  return static_cast<InputFile*>(context)->Read(buffer, cap);
}

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

std::size_t CountQuotes(std::string_view s) {
  std::size_t n = 0;
  for (char c : s)
    if (c == '"') ++n;
  return n;
}

std::string Blanks(std::size_t n) { return std::string(n, ' '); }

bool IsNumberText(std::string_view s) {
  if (s.empty()) return false;
  std::size_t digits = 0;
  for (char c : s) {
    if (c >= '0' && c <= '9')
      ++digits;
    else if (c != '+' && c != '-' && c != '.' && c != 'E' && c != 'e')
      return false;
  }
  return digits > 0 && std::isfinite(StrictParseReal(s)) &&
         (StrictParseReal(s) != 0 || s.find_first_of("123456789") == std::string_view::npos);
}

// "KEYWORD =  value / comment": the first word right-aligned to column 30; a
// first word that is no number is written as a string so that the card stays valid.
std::string GeometryCard(std::string_view keyword, std::string_view value) {
  const std::size_t blank = value.find(' ');
  const std::string_view word = value.substr(0, blank);
  const std::string_view rest =
      blank == std::string_view::npos ? std::string_view() : TrimView(value.substr(blank));
  std::string key(keyword.substr(0, 8));
  key += Blanks(8 - key.size());
  std::string card;
  if (IsNumberText(word)) {
    card = key + "= " + Blanks(word.size() < 20 ? 20 - word.size() : 0) + std::string(word);
  } else {
    card = StringCardText(key + "= '", word);
  }
  if (!rest.empty()) card += " / " + std::string(rest);
  return card.substr(0, 80);
}

// Where the image data are, from the value of a pointer: "n", "n <BYTES>",
// "FILE", "("FILE", n)" or "("FILE", n <BYTES>)".
struct Pointer {
  uint64_t Value = 1;
  bool InBytes = false;
  Text File;
};

Pointer ParsePointer(std::string_view value) {
  Pointer p;
  std::string_view v = TrimView(value);
  std::string_view offset = v;
  if (!v.empty() && v.front() == '(') {
    v.remove_prefix(1);
    const std::size_t comma = v.find(',');
    p.File = Unquoted(v.substr(0, comma));
    offset = comma == std::string_view::npos ? std::string_view() : v.substr(comma + 1);
    if (!offset.empty() && offset.back() == ')') offset.remove_suffix(1);
  } else if (!v.empty() && !(v.front() >= '0' && v.front() <= '9') && v.front() != '+') {
    p.File = Unquoted(v);
    offset = {};
  }
  offset = TrimView(offset);
  if (!offset.empty()) p.Value = LabelCount(ParseReal(offset));
  p.InBytes = Contains(FoldUpper(offset).view(), "<BYTES>");
  return p;
}

// Exposures are in milliseconds unless the unit says seconds.
bool SecondsUnit(std::string_view foldedValue) {
  for (std::string_view u : {"<S>", "<SEC>", "<SECOND>", "<SECONDS>"})
    if (Contains(foldedValue, u)) return true;
  return false;
}

bool StartsWithDigitOrPlus(std::string_view v) {
  return !v.empty() && ((v.front() >= '0' && v.front() <= '9') || v.front() == '+');
}

class OdlReader {
public:
  OdlReader(Conversion& cv, LabelSource& in) : cv_(cv), in_(in) {}

  // False when the label asks to be read again as variable-length records.
  bool Read(PdsLabel& label, bool variable);

private:
  bool NextLine(bool variable, std::string& line);
  // Returns false on END.
  bool Statement(PdsLabel& label, std::string_view keyword, std::string_view value, bool variable);

  Conversion& cv_;
  LabelSource& in_;
  Text object_;  // innermost OBJECT or GROUP, folded
};

bool OdlReader::NextLine(bool variable, std::string& line) {
  DataSource& src = in_.Source();
  line.clear();
  if (src.AtEnd() || in_.Position() >= MaxLabelBytes) return false;
  if (variable) {
    const uint16_t length = static_cast<uint16_t>(src.Next() | src.Next() << 8);
    if (length > MaxLabelRecordBytes) Stop(cv_, "Enregistrement trop long");
    for (uint16_t i = 0; i < length; ++i) line.push_back(static_cast<char>(src.Next()));
    if (length & 1u) src.Next();
    return true;
  }
  // A line ends at LF, CR or NUL; the last one is what the record-structured
  // labels leave between their records.
  while (!src.AtEnd()) {
    const uint8_t b = src.Next();
    if (b == '\n' || b == '\r' || b == 0) break;
    if (line.size() < MaxLineBytes) line.push_back(static_cast<char>(b));
  }
  return true;
}

bool OdlReader::Read(PdsLabel& label, bool variable) {
  std::string line;
  line.reserve(MaxLineBytes);
  bool inQuote = false;  // inside a quoted value begun on an earlier line
  object_.clear();
  while (NextLine(variable, line)) {
    for (char& c : line)
      if (c == '\t') c = ' ';
    if (inQuote) {
      if (CountQuotes(line) % 2 == 1) inQuote = false;
      continue;
    }
    std::string_view text = line;
    const std::size_t comment = text.find("/*");
    if (comment != std::string_view::npos) text = text.substr(0, comment);
    text = TrimView(text);
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
      if (FoldUpper(text) == "END") return true;
      continue;
    }
    const Text keyword = FoldUpper(TrimView(text.substr(0, eq)));
    const std::string_view value = TrimView(text.substr(eq + 1));
    if (CountQuotes(value) % 2 == 1) inQuote = true;
    if (keyword.empty() || value.empty()) continue;
    if (keyword == "END") return true;
    if (!variable && keyword == "RECORD_TYPE" &&
        StartsWith(FoldUpper(Unquoted(value).view()).view(), "VARIABLE_LENGTH")) {
      label.VariableRecords = true;
      return false;
    }
    if (!Statement(label, keyword.view(), value, variable)) return true;
  }
  return true;
}

bool OdlReader::Statement(PdsLabel& label, std::string_view keyword, std::string_view value,
                          bool /*variable*/) {
  ImageState& st = cv_.State;
  const Text text = Unquoted(value);          // the value as text
  const Text folded = FoldUpper(text.view()); // for comparisons
  const double number = ParseReal(text.view());
  const std::string_view obj = object_.view();
  const bool inImage = obj == "IMAGE";
  const bool inBrowse = obj == "BROWSE_IMAGE";
  const bool outside = obj.empty();
  const auto is = [&](std::string_view k) { return keyword == k; };

  if (is("RECORD_TYPE")) {
    if (StartsWith(folded.view(), "VARIABLE_LENGTH")) label.VariableRecords = true;
  } else if (is("RECORD_BYTES")) {
    label.RecordBytes = LabelCount(number, MaxRecordBytes);
  } else if (is("^ENCODING_HISTOGRAM")) {
    label.HistogramRecord = ParsePointer(value).Value;
  } else if (is("^IMAGE")) {
    const Pointer p = ParsePointer(value);
    label.ImagePointerSeen = true;
    label.LabelRecords = p.Value;
    label.ImagePointerInBytes = p.InBytes;
    label.ImageFile = p.File;
  } else if (is("^BROWSE_IMAGE")) {
    const Pointer p = ParsePointer(value);
    label.BrowseRecord = p.Value;
    label.BrowseInBytes = p.InBytes;
  } else if (is("LABEL_RECORDS")) {
    // The first LABEL_RECORDS only sets where the image starts when no pointer did.
    if (!label.ImagePointerSeen) label.LabelRecords = LabelCount(number) + 1;
  } else if (is("OBJECT") || is("GROUP")) {
    object_ = FoldUpper(text.view().substr(0, 30));
  } else if (is("END_OBJECT") || is("END_GROUP")) {
    object_.clear();
  } else if (is("ENCODING_TYPE") && inImage) {
    std::string line = "Cod=" + text.str();
    if (folded == "HUFFMAN_FIRST_DIFFERENCE") {
      label.EncodingCode = PdsEncoding::HuffmanFirstDifference;
    } else if (folded == "CLEM-JPEG-0" || folded == "CLEM-JPEG-1") {
      line += ": pas d\u00e9cod\u00e9";
      if (label.BrowseRecord != 0) {
        line += " -> image r\u00e9duite";
        label.EncodingCode = PdsEncoding::Browse;
      } else {
        label.Refused = true;
      }
    } else if (folded == "PREVIOUS_PIXEL") {
      label.EncodingCode = PdsEncoding::PreviousPixel;
    } else if (folded == "MOC-NONE") {
      label.EncodingCode = PdsEncoding::MocNone;
    } else if (folded == "MOC-PRED-X-5") {
      label.EncodingCode = PdsEncoding::MocPredX5;
    } else if (StartsWith(folded.view(), "MOC-PRED") || StartsWith(folded.view(), "MOC-DCT") ||
               StartsWith(folded.view(), "MOC-WHT")) {
      line += ": pas d\u00e9cod\u00e9";
      label.Refused = true;
    }
    Say(cv_, line);
  } else if ((is("NUMBER") && inImage) || ((is("IMAGE_NUMBER") || is("PRODUCT_ID")) && outside)) {
    st.ImageIdent = text.view();
  } else if (inBrowse && (is("ROW_BYTES") || is("LINES"))) {
    label.BrowseHeight = LabelCount(number);
  } else if (inBrowse && (is("ROWS") || is("LINE_SAMPLES"))) {
    label.BrowseWidth = LabelCount(number);
  } else if (inBrowse && is("LINE_PREFIX_BYTES")) {
    label.BrowsePrefixBytes = LabelCount(number);
  } else if (inBrowse && is("LINE_SUFFIX_BYTES")) {
    label.BrowseSuffixBytes = LabelCount(number);
  } else if (((is("ROW_BYTES") || is("LINES")) && inImage) || (is("IMAGE_LINES") && outside)) {
    label.Height = LabelCount(number);
  } else if (((is("ROWS") || is("LINE_SAMPLES")) && inImage) || (is("LINE_SAMPLES") && outside)) {
    label.Width = LabelCount(number);
  } else if (is("LINE_PREFIX_BYTES")) {
    label.LinePrefixBytes = LabelCount(number);
  } else if (is("LINE_SUFFIX_BYTES")) {
    label.LineSuffixBytes = LabelCount(number);
  } else if (is("SAMPLE_BITS")) {
    // A browse image's sample size does not change the image's.
    if (!inBrowse) {
      label.SampleBits = static_cast<unsigned>(LabelCount(number, 1024));
      label.SampleBitsFromLabel = true;
    }
  } else if (is("BANDS") && inImage) {
    label.Bands = LabelCount(number);
  } else if (is("SAMPLE_TYPE") && (inImage || inBrowse)) {
    if (Contains(folded.view(), "REAL")) {
      label.SamplesReal = true;
      label.Unsupported = text.view();
    } else {
      label.SamplesSigned = !Contains(folded.view(), "UNSIGNED");
    }
    if (Contains(folded.view(), "LSB") || Contains(folded.view(), "VAX") ||
        Contains(folded.view(), "PC"))
      label.SamplesMsbFirst = false;
    if (Contains(folded.view(), "MSB") || Contains(folded.view(), "MAC") ||
        Contains(folded.view(), "SUN"))
      label.SamplesMsbFirst = true;
  } else if (is("MINIMUM") && inImage) {
    st.InputMin = ClampToWord(static_cast<int64_t>(std::llround(std::fmax(std::fmin(number, 1e9), -1e9))));
  } else if (is("MAXIMUM") && inImage) {
    st.InputMax = ClampToWord(static_cast<int64_t>(std::llround(std::fmax(std::fmin(number, 1e9), -1e9))));
  } else if (is("SCALING_FACTOR") && inImage) {
    if (std::isfinite(number) && number != 0) st.ValueScale = static_cast<float>(number);
  } else if (is("SAMPLE_BIT_MASK") && inImage) {
    if (StartsWith(folded.view(), "2#")) {
      uint32_t mask = 0;
      for (char c : folded.view().substr(2)) {
        if (c != '0' && c != '1') break;
        mask = ((mask << 1) | static_cast<uint32_t>(c - '0')) & 0xFFFFu;
      }
      if (mask != 0) label.SampleBitMask = static_cast<uint16_t>(mask);
    }
  } else if (obj == "SITE_DERIVED_GEOMETRY_PARMS" &&
             (is("REFERENCE_COORD_SYSTEM_NAME") || is("INSTRUMENT_AZIMUTH") ||
              is("INSTRUMENT_ELEVATION") || is("REFERENCE_COORD_SYSTEM_INDEX") ||
              is("SOLAR_AZIMUTH") || is("SOLAR_ELEVATION"))) {
    if (is("REFERENCE_COORD_SYSTEM_NAME")) {
      QueueExtraCard(cv_, StringCardText("RCOOSYSN= '", text.view()));
    } else {
      const std::string_view key = is("INSTRUMENT_AZIMUTH")             ? "INST_AZI"
                                   : is("INSTRUMENT_ELEVATION")         ? "INST_ELE"
                                   : is("REFERENCE_COORD_SYSTEM_INDEX") ? "RCOOSYSI"
                                   : is("SOLAR_AZIMUTH")                ? "SOLARAZI"
                                                                        : "SOLARELE";
      QueueExtraCard(cv_, GeometryCard(key, text.view()));
    }
  } else if (is("INSTRUMENT_HOST_ID") || is("INSTRUMENT_HOST_NAME") || is("INSTRUMENT_ID") ||
             is("LOCAL_TRUE_SOLAR_TIME") || is("OBSERVATION_ID") || is("GAIN_MOD_ID") ||
             is("NOTE")) {
    const std::string_view key = is("INSTRUMENT_HOST_ID")      ? "INSTHOSI= '"
                                 : is("INSTRUMENT_HOST_NAME")  ? "INSTHOSN= '"
                                 : is("INSTRUMENT_ID")         ? "INSTIDEN= '"
                                 : is("LOCAL_TRUE_SOLAR_TIME") ? "LOCSOLTI= '"
                                 : is("OBSERVATION_ID")        ? "OBSERVID= '"
                                 : is("GAIN_MOD_ID")           ? "INSTGAIN= '"
                                                               : "COMMENTS= '";
    QueueExtraCard(cv_, StringCardText(key, text.view()));
    if (is("GAIN_MOD_ID")) Say(cv_, "Gin=" + text.str());
    if (is("NOTE")) Say(cv_, "Not=" + text.str());
  } else if (is("INSTRUMENT_NAME")) {
    Say(cv_, "Ins=" + text.str());
    QueueExtraCard(cv_, StringCardText("INSTNAME= '", text.view()));
  } else if (is("PLANET_DAY_NUMBER")) {
    const std::string_view word = TrimView(text.view().substr(0, text.view().find(' ')));
    if (IsNumberText(word))
      QueueExtraCard(cv_, "PLANDAYN=" + Blanks(word.size() < 21 ? 21 - word.size() : 0) +
                              std::string(word));
  } else if (is("TARGET_NAME") || is("TARGET_BODY")) {
    Say(cv_, "Cib=" + text.str());
    st.ObjectName = text.view();
  } else if (is("SPACECRAFT_NAME")) {
    Say(cv_, "Son=" + text.str());
    st.Origin = text.view();
  } else if (is("FILTER_NAME") || is("INSTRUMENT_FILTER_NAME")) {
    Say(cv_, "Fil=" + text.str());
    st.Filter = text.view();
  } else if (is("DATA_QUALITY_DESC")) {
    Say(cv_, "Qlt=" + text.str());
    st.Quality = text.view();
  } else if (is("SHUTTER_MODE_ID") || is("INSTRUMENT_SHUTTER_MODE")) {
    Say(cv_, "Rid=" + text.str());
  } else if (is("IMAGE_ID") || is("IMAGE_NUMBER")) {
    Say(cv_, "Iim=" + text.str());
    st.ImageIdent = text.view();
  } else if (is("IMAGE_TIME") || is("SPACECRAFT_EVENT_TIME")) {
    Say(cv_, "Dat=" + text.str());
    double jd = 0;
    if (StartsWithDigitOrPlus(text.view()) && ParseLabelDate(text.view(), jd)) {
      st.DateObs = jd;
      st.DateRef = 1;
    }
  } else if (is("START_TIME") || is("STOP_TIME")) {
    Say(cv_, (is("START_TIME") ? "DaD=" : "DaF=") + text.str());
    double jd = 0;
    if (StartsWithDigitOrPlus(text.view()) && ParseLabelDate(text.view(), jd))
      (is("START_TIME") ? st.DateStart : st.DateEnd) = jd;
  } else if (is("EXPOSE_DURATION") || is("EXPOSURE_DURATION") ||
             is("INSTRUMENT_EXPOSURE_DURATION")) {
    Say(cv_, "Dex=" + text.str());
    if (StartsWithDigitOrPlus(text.view()) && std::isfinite(number) && number >= 0)
      st.Exptime = SecondsUnit(folded.view()) ? number : number * 0.001;
  } else if (is("RIGHT_ASCENSION")) {
    if (st.RightAscensionSet != 1 && std::fabs(number) < 361) {
      st.RightAscension = number * Pi / 180;
      st.RightAscensionSet = 2;
    }
  } else if (is("DECLINATION")) {
    if (st.DeclinationSet != 1 && std::fabs(number) < 91) {
      st.Declination = number * Pi / 180;
      st.DeclinationSet = 2;
    }
  } else if (is("DETECTOR_PIXEL_WIDTH")) {
    if (st.PixelSizeXSet != 1 && std::isfinite(number)) {
      st.PixelSizeX = number * 0.001;
      st.PixelSizeXSet = 2;
    }
  } else if (is("DETECTOR_PIXEL_HEIGHT")) {
    if (st.PixelSizeYSet != 1 && std::isfinite(number)) {
      st.PixelSizeY = number * 0.001;
      st.PixelSizeYSet = 2;
    }
  } else if (is("SAMPLE_BIT_MODE_ID")) {
    if (folded == "SQROOT") label.SquareRootSamples = true;
  }
  return true;
}

uint32_t Digits(std::string_view s, std::size_t& pos, std::size_t maxDigits, bool& ok) {
  uint32_t v = 0;
  std::size_t n = 0;
  while (pos < s.size() && n < maxDigits && s[pos] >= '0' && s[pos] <= '9') {
    v = v * 10 + static_cast<uint32_t>(s[pos] - '0');
    ++pos;
    ++n;
  }
  if (n == 0) ok = false;
  return v;
}

} // namespace

LabelSource::LabelSource(Conversion& cv)
    : cv_(cv), window_(65536), src_(std::span<uint8_t>(window_), RefillFromInput, &cv.Input) {}

void LabelSource::SeekTo(int64_t offset) {
  cv_.Input.Seek(offset);
  src_.Restart();
  base_ = offset;
}

uint64_t LabelCount(double v, uint64_t cap) {
  if (!(v > 0)) return 0;
  if (v >= static_cast<double>(cap)) return cap;
  return static_cast<uint64_t>(std::llround(v));
}

Text Unquoted(std::string_view value) {
  std::string_view v = TrimView(value);
  if (!v.empty() && (v.front() == '"' || v.front() == '\'')) {
    const char q = v.front();
    v.remove_prefix(1);
    const std::size_t end = v.find(q);
    if (end != std::string_view::npos) v = v.substr(0, end);
  }
  return Text(TrimView(v));
}

void QueueExtraCard(Conversion& cv, std::string_view card) {
  if (card.empty()) return;
  for (ExtraCard& e : cv.State.ExtraCards) {
    if (e.Marker == 0 && e.Card.empty()) {
      e.Marker = ':';
      e.Card = card;
      e.Verbatim = 0;
      return;
    }
  }
}

std::string StringCardText(std::string_view keyEquals, std::string_view text) {
  std::string card(keyEquals);
  for (char c : TrimView(text)) {
    const std::size_t need = c == '\'' ? 2 : 1;
    if (card.size() + need > 79) break;  // room for the closing quote
    card.append(need, c);
  }
  card += '\'';
  return card;
}

bool ParseLabelDate(std::string_view text, double& jd) {
  std::string_view s = TrimView(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (!s.empty() && (s.back() == 'Z' || s.back() == 'z')) s.remove_suffix(1);
  bool ok = true;
  std::size_t pos = 0;
  const uint32_t year = Digits(s, pos, 4, ok);
  if (!ok || pos != 4 || year < 1 || year > 9999 || pos >= s.size() || s[pos] != '-') return false;
  ++pos;
  const std::size_t fieldStart = pos;
  const uint32_t first = Digits(s, pos, 3, ok);
  if (!ok) return false;
  double day = 0;
  double month = 1;
  if (pos - fieldStart == 3) {
    // Day of the year.
    if (first < 1 || first > 366) return false;
    day = first;
  } else {
    if (pos >= s.size() || s[pos] != '-' || first < 1 || first > 12) return false;
    ++pos;
    const uint32_t d = Digits(s, pos, 2, ok);
    if (!ok || d < 1 || d > 31) return false;
    month = first;
    day = d;
  }
  double seconds = 0;
  if (pos < s.size() && (s[pos] == 'T' || s[pos] == 't' || s[pos] == ' ')) {
    ++pos;
    const uint32_t h = Digits(s, pos, 2, ok);
    uint32_t m = 0;
    double sec = 0;
    if (ok && pos < s.size() && s[pos] == ':') {
      ++pos;
      m = Digits(s, pos, 2, ok);
      if (ok && pos < s.size() && s[pos] == ':') {
        ++pos;
        sec = StrictParseReal(s.substr(pos, 12));
      }
    }
    if (!ok || h > 24 || m > 59 || !(sec >= 0 && sec < 61)) return false;
    seconds = h * 3600.0 + m * 60.0 + sec;
  }
  jd = JulianDate(year, month, day + seconds / 86400.0);
  return true;
}

PdsLabel ReadPdsLabel(Conversion& cv) {
  LabelSource in(cv);
  PdsLabel label;
  OdlReader reader(cv, in);
  in.SeekTo(0);
  const auto cardsBefore = cv.State.ExtraCards;
  if (!reader.Read(label, false)) {
    // Read again, record by record; the cards queued so far would come twice.
    cv.State.ExtraCards = cardsBefore;
    label = PdsLabel{};
    label.VariableRecords = true;
    in.SeekTo(0);
    reader.Read(label, true);
  }
  return label;
}

} // namespace korv
