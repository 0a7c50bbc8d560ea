// VICAR labels: blank-separated KEY=value items from the start of the file, the
// label being LBLSIZE bytes long; quoted values may hold blanks. The older
// EBCDIC labels of the same family are translated byte by byte; their fixed
// layout gives the line count, samples per line and bytes per sample at fixed
// positions of the first record, and "KEY= value" and the bare words YR, DAY and
// GMT are items too.
#include <cmath>
#include <string>

#include "core/conversion.h"
#include "core/julian.h"
#include "core/numbers.h"
#include "core/text.h"
#include "readers/pds/pds_label.h"
#include "readers/pds/pds_samples.h"

namespace korv {
namespace {

constexpr uint64_t MaxVicarLabelBytes = uint64_t{4} << 20;
// Label positions (bytes read) where the EBCDIC fixed layout ends its fields.
constexpr uint64_t FixedLinesEnd = 36;
constexpr uint64_t FixedSamplesEnd = 40;
constexpr uint64_t FixedBytesEnd = 44;

// The same form as the PDS dates but always by day of the year.
bool DayOfYearDate(std::string_view v, double& jd) {
  return v.size() > 8 && v[4] == '-' && v.substr(5, 3).find_first_not_of("0123456789") ==
                                              std::string_view::npos &&
         ParseLabelDate(v, jd);
}

class VicarReader {
public:
  VicarReader(Conversion& cv, PdsLabel& label, bool ebcdic)
      : cv_(cv), label_(label), ebcdic_(ebcdic) {}
  void Read(LabelSource& in);

private:
  void Item(std::string_view item);
  void InvalidateDate() {
    dateValid_ = false;
    cv_.State.DateObs = 0;
    cv_.State.DateRef = 0;
  }

  Conversion& cv_;
  PdsLabel& label_;
  bool ebcdic_;
  bool dateValid_ = false;  // a spacecraft event year has been read
};

void VicarReader::Read(LabelSource& in) {
  DataSource& src = in.Source();
  std::string item;
  item.reserve(256);
  bool quoted = false;
  uint64_t position = 0;
  const auto flush = [&] {
    if (!item.empty()) Item(item);
    item.clear();
    quoted = false;
  };
  while (position < label_.LabelLength && position < MaxVicarLabelBytes) {
    uint8_t b = src.Next();
    if (src.Overran()) b = 0;
    ++position;
    if (ebcdic_) EbcdicToAscii(b);
    if (b == 0) break;
    if (b == '\'') quoted = !quoted;
    if (b == ' ' && !quoted) {
      if (ebcdic_ && !item.empty() && item.back() == '=') continue;
      if (ebcdic_ && (item == "YR" || item == "DAY" || item == "GMT")) {
        item += '=';
        continue;
      }
      flush();
    } else if (item.size() < 255) {
      item.push_back(static_cast<char>(b));
    }
    if (ebcdic_ && (position == FixedLinesEnd || position == FixedSamplesEnd ||
                    position == FixedBytesEnd)) {
      Text value(item);
      CutToNumber(value);
      const double v = ParseReal(value.view());
      if (position == FixedLinesEnd) label_.Height = LabelCount(v);
      if (position == FixedSamplesEnd) label_.Width = LabelCount(v);
      if (position == FixedBytesEnd) {
        label_.RecordBytes = LabelCount(static_cast<double>(label_.Width) * v, MaxRecordBytes);
        label_.LabelLength = label_.RecordBytes;
      }
      item.clear();
      quoted = false;
    }
  }
  flush();
}

void VicarReader::Item(std::string_view item) {
  ImageState& st = cv_.State;
  const std::size_t eq = item.find('=');
  if (eq == std::string_view::npos) return;
  Text keyword = FoldUpper(item.substr(0, eq));
  TrimBlanks(keyword);
  const Text text = Unquoted(item.substr(eq + 1));
  const Text folded = FoldUpper(text.view());
  const double number = ParseReal(text.view());
  const auto is = [&](std::string_view k) { return keyword == k; };

  if (is("LBLSIZE")) {
    label_.LabelLength = LabelCount(number, MaxVicarLabelBytes);
  } else if (is("RECSIZE")) {
    label_.RecordBytes = LabelCount(number, MaxRecordBytes);
    if (ebcdic_) label_.LabelLength = label_.RecordBytes;
  } else if (is("NB")) {
    label_.Bands = LabelCount(number);
  } else if (is("ORG")) {
    label_.BandSequential = folded == "BSQ";
  } else if (is("NL")) {
    label_.Height = LabelCount(number);
  } else if (is("NS")) {
    label_.Width = LabelCount(number);
  } else if (is("NBB")) {
    label_.LineSuffixBytes = LabelCount(number);
  } else if (is("NLB")) {
    label_.BinaryHeaderLines = LabelCount(number);
  } else if (is("SCETYEAR")) {
    // A null year (-32768 in the archives) means that no date is known.
    if (number >= 1 && number <= 9999) {
      st.DateObs = JulianDate(std::floor(number), 1, 0);
      st.DateRef = 1;
      dateValid_ = true;
    } else {
      InvalidateDate();
    }
  } else if (is("SCETDAY") || is("SCETHOUR") || is("SCETMIN") || is("SCETSEC") ||
             is("SCETMSEC")) {
    if (!dateValid_) return;
    if (!(number >= 0 && number < 100000)) {
      InvalidateDate();
      return;
    }
    const double unit = is("SCETDAY")    ? 1.0
                        : is("SCETHOUR") ? 1.0 / 24
                        : is("SCETMIN")  ? 1.0 / 1440
                        : is("SCETSEC")  ? 1.0 / 86400
                                         : 1.0 / 86400000;
    st.DateObs += number * unit;
  } else if (is("EXP") || is("EXPOSE_DURATION") || is("EXPOSURE_DURATION")) {
    if (std::isfinite(number) && number >= 0) st.Exptime = number * 0.001;
  } else if (is("IMAGE_MID_TIME") || is("IMAGE_TIME")) {
    double jd = 0;
    if (DayOfYearDate(text.view(), jd)) {
      st.DateObs = jd;
      st.DateRef = is("IMAGE_MID_TIME") ? 2 : 3;
      dateValid_ = false;
    }
  } else if (is("PRODUCT_VERSION_TYPE")) {
    st.Quality = text.view();
  } else if (is("FORMAT")) {
    if (folded == "HALF" || folded == "WORD") {
      label_.SampleBits = 16;
    } else if (folded == "REAL") {
      label_.SampleBits = 224;
    } else {
      label_.SampleBits = 8;
      // Wider integers and complex samples would be misread as bytes.
      if (folded == "FULL" || folded == "DOUB" || folded == "COMP" || folded == "COMPLEX")
        label_.Unsupported = text.view();
    }
    if (label_.SampleBits != 8) st.AutoByteOutput = 0;
  } else if (is("INTFMT")) {
    label_.LowByteFirst = folded != "HIGH";
  } else if (is("TARGET") || is("TARGET_NAME")) {
    st.ObjectName = text.view();
  } else if (is("FILTER") || is("FILTER_NAME")) {
    st.Filter = text.view();
  } else if (is("IMAGE_NUMBER")) {
    st.ImageIdent = text.view();
  } else if (is("RA") || is("DEC")) {
    const bool ra = is("RA");
    uint8_t& set = ra ? st.RightAscensionSet : st.DeclinationSet;
    if (set != 1 && std::isfinite(number)) {
      (ra ? st.RightAscension : st.Declination) = number * Pi / 180;
      set = 2;
    }
  } else if (ebcdic_ && is("YR")) {
    if (number >= 1 && number <= 8099) {
      st.DateObs = JulianDate(1900 + std::floor(number), 1, 0);
      st.DateRef = 1;
      dateValid_ = true;
    }
  } else if (ebcdic_ && is("DAY")) {
    if (dateValid_ && number > 0 && number < 400) st.DateObs += number;
  } else if (ebcdic_ && is("GMT")) {
    std::string t;
    for (char c : text.view())
      if (c != '/') t.push_back(c);
    if (dateValid_ && t.size() >= 8) {
      const double h = ParseReal(t.substr(0, 2));
      const double m = ParseReal(t.substr(3, 2));
      const double s = ParseReal(t.substr(6, 2));
      st.DateObs += h / 24 + m / 1440 + s / 86400;
    }
  } else if (ebcdic_ && is("EXPOSURE")) {
    if (std::isfinite(number) && number > 0) st.Exptime = number * 0.001;
  } else if (is("PICNO") || (ebcdic_ && is("FDS"))) {
    st.ImageIdent = text.view();
  }
}

} // namespace

PdsLabel ReadVicarLabel(Conversion& cv, bool ebcdic) {
  PdsLabel label;
  label.Kind = ebcdic ? LabelKind::Ebcdic : LabelKind::Vicar;
  cv.State.InputMax = 255;
  LabelSource in(cv);
  in.SeekTo(0);
  VicarReader reader(cv, label, ebcdic);
  reader.Read(in);
  return label;
}

} // namespace korv
