// Planetary-mission images with a text label: PDS (attached or detached labels,
// fixed or variable-length records) and VICAR, including the older EBCDIC
// labels. Plain 8- and 16-bit samples (signed ones shifted by 32768, masked and
// scaled as the label says), VICAR reals, three-band colour, square-root
// companded bytes, and the archive codings: previous-pixel differences, the
// first-difference Huffman code and the Mars camera streams.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_reader.h"
#include "core/colour.h"
#include "core/conversion.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/text.h"
#include "core/truncation.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "output/row_pipeline.h"
#include "readers/pds/huffman_first_difference.h"
#include "readers/pds/moc_stream.h"
#include "readers/pds/pds_label.h"
#include "readers/pds/pds_samples.h"
#include "readers/readers.h"

namespace korv {
namespace {

constexpr std::string_view Incoherent = "Incoh\u00e9rence de l'image";
constexpr std::size_t MaxHuffmanRecord = 3072;
// Records walked before the image of a variable-length record file.
constexpr uint64_t MaxSkippedRecords = uint64_t{1} << 20;
constexpr std::array<uint8_t, 8> EbcdicSignature = {247, 247, 64, 64, 64, 64, 64, 64};

enum class SampleKind : uint8_t { Byte, Word, Real };

// Where the samples are and how they are coded.
struct DataPlan {
  uint64_t Start = 0;          // first byte of line 0 of band 0, prefix included
  uint64_t SampleOffset = 0;   // bytes before the samples in each stored line
  uint64_t Stride = 0;         // bytes from one stored line to the next
  uint64_t PlaneBytes = 0;     // bytes from one band plane to the next
  uint64_t LineBytes = 0;      // bytes of the samples of one line
  SampleKind Kind = SampleKind::Byte;
  bool BigEndian = true;
  bool Signed = false;
  bool Colour = false;         // three bands weighted to grey
  bool SquareRoot = false;
  uint16_t Mask = 65535;
  float Scale = 1.0f;
};

std::string Decimal(uint64_t v) { return std::to_string(v); }

[[noreturn]] void StopGeometry(Conversion& cv, uint64_t w, uint64_t h) {
  Stop(cv, "Taille d'image incorrecte : " + Decimal(w) + " x " + Decimal(h));
}

// Byte offset of a pointer given in records (from 1) or in bytes (from 1).
uint64_t PointerOffset(uint64_t pointer, bool inBytes, uint64_t recordBytes) {
  if (pointer == 0) return 0;
  if (inBytes || recordBytes == 0) return pointer - 1;
  return (pointer - 1) * recordBytes;
}

// Where the image starts: at its pointer, else after the label records.
uint64_t ImageStart(const PdsLabel& l) {
  if (l.ImagePointerSeen) return PointerOffset(l.LabelRecords, l.ImagePointerInBytes, l.RecordBytes);
  if (l.LabelRecords > 0 && l.RecordBytes > 0) return (l.LabelRecords - 1) * l.RecordBytes;
  return 0;
}

bool HasPathSeparator(std::string_view name) {
  return name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos ||
         name == "." || name == "..";
}

std::string Directory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string CaseOf(std::string_view s, bool upper) {
  std::string out(s);
  for (char& c : out) {
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool Exists(const std::string& path) {
  InputFile probe;
  return probe.Open(path) && probe.Close() == 0;
}

// A detached label names its data file; it is looked for beside the label, as
// written, then in lower and in upper case. A .lbl label whose pointer names no
// file describes the .img file of the same name.
void OpenDataFile(Conversion& cv, const PdsLabel& label) {
  const std::string labelPath = cv.Input.Path();
  std::string name = label.ImageFile.str();
  if (name.empty()) {
    const std::size_t dot = labelPath.rfind('.');
    if (!label.ImagePointerSeen || dot == std::string::npos ||
        labelPath.find('/', dot) != std::string::npos ||
        FoldUpper(std::string_view(labelPath).substr(dot + 1)) != "LBL")
      return;
    const std::string base = labelPath.substr(0, dot + 1);
    for (const char* ext : {"img", "IMG"}) {
      if (Exists(base + ext)) {
        name = labelPath.substr(labelPath.rfind('/') == std::string::npos ? 0
                                                                          : labelPath.rfind('/') + 1);
        name = name.substr(0, name.rfind('.') + 1) + ext;
        break;
      }
    }
    if (name.empty()) return;
  }
  // Only a file beside the label: a pointer must not reach elsewhere.
  if (HasPathSeparator(name)) Stop(cv, "Lecture impossible : " + name);
  const std::string dir = Directory(labelPath);
  for (const std::string& candidate : {name, CaseOf(name, false), CaseOf(name, true)}) {
    if (cv.Input.Open(dir + candidate)) {
      ResetByteReader(cv);
      return;
    }
  }
  Stop(cv, "Lecture impossible : " + dir + name);
}

unsigned BytesPerSample(const PdsLabel& l) {
  if (l.Kind == LabelKind::Pds) return l.SampleBits == 8 ? 1 : 2;
  return l.SampleBits == 224 ? 4 : l.SampleBits == 16 ? 2 : 1;
}

void CheckGeometry(Conversion& cv, const PdsLabel& l) {
  if (l.Width == 0 || l.Height == 0 || l.Width > MaxRowSamples || l.Height > MaxRowSamples)
    StopGeometry(cv, l.Width, l.Height);
}

// Settles the VICAR and EBCDIC geometry and the layout of their samples.
DataPlan SettleVicar(Conversion& cv, PdsLabel& l) {
  ImageState& st = cv.State;
  if (l.Kind == LabelKind::Ebcdic && !st.IncludeExtraData && l.Width == 968 && l.Height == 700) {
    l.Width = 832;
    l.LineSuffixBytes = 136;
    l.RecordBytes = l.RecordBytes > 136 ? l.RecordBytes - 136 : 0;
  }
  const unsigned bps = BytesPerSample(l);
  if (l.Kind == LabelKind::Vicar && st.IncludeExtraData) {
    // The binary prefix counts in samples of the image's own size.
    l.Width += l.LineSuffixBytes / bps;
    l.Height += l.BinaryHeaderLines;
    l.LineSuffixBytes = 0;
    l.BinaryHeaderLines = 0;
  }
  if (!l.Unsupported.empty())
    Stop(cv, "Type d'\u00e9chantillon pas support\u00e9 : " + l.Unsupported.str());
  CheckGeometry(cv, l);
  DataPlan p;
  p.Kind = bps == 4 ? SampleKind::Real : bps == 2 ? SampleKind::Word : SampleKind::Byte;
  p.BigEndian = !l.LowByteFirst;
  p.Signed = bps == 2;  // HALF samples are signed
  p.LineBytes = l.Width * bps;
  p.Stride = l.LineSuffixBytes + p.LineBytes;
  p.Start = l.BinaryHeaderLines * l.RecordBytes + l.LabelLength + l.LineSuffixBytes;
  p.PlaneBytes = l.Height * p.Stride;
  p.Colour = l.Bands == 3;
  p.Scale = st.ValueScale;
  if (p.Colour) {
    Say(cv, "rvb={" + FormatFixed(st.ChannelWeightR, 3) + "," + FormatFixed(st.ChannelWeightV, 3) +
                "," + FormatFixed(st.ChannelWeightB, 3) + "}");
  }
  return p;
}

// Settles the PDS geometry; stops on what cannot be decoded.
DataPlan SettlePds(Conversion& cv, PdsLabel& l) {
  ImageState& st = cv.State;
  if (l.EncodingCode == PdsEncoding::Browse) {
    l.Width = l.BrowseWidth;
    l.Height = l.BrowseHeight;
    l.LinePrefixBytes = l.BrowsePrefixBytes;
    l.LineSuffixBytes = l.BrowseSuffixBytes;
    l.SampleBits = 8;
  }
  const unsigned bps = BytesPerSample(l);
  if (st.IncludeExtraData) {
    l.Width += (l.LinePrefixBytes + l.LineSuffixBytes) / bps;
    l.Height += l.BinaryHeaderLines;
    l.LinePrefixBytes = l.LineSuffixBytes = l.BinaryHeaderLines = 0;
  }
  // The reason was printed with the coding's name.
  if (l.Refused) Finish(cv, true);
  if (l.SamplesReal && l.EncodingCode != PdsEncoding::Browse)
    Stop(cv, "Type d'\u00e9chantillon pas support\u00e9 : " + l.Unsupported.str());
  CheckGeometry(cv, l);
  const PdsEncoding code = l.EncodingCode;
  if (code == PdsEncoding::None && l.VariableRecords) Stop(cv, Incoherent);
  if (code == PdsEncoding::HuffmanFirstDifference &&
      (l.HistogramRecord == 0 || !l.ImagePointerSeen || !l.VariableRecords))
    Stop(cv, Incoherent);
  if (code == PdsEncoding::None && l.SampleBits != 8 && l.SampleBits != 10 && l.SampleBits != 16)
    Stop(cv, "Bits par \u00e9chantillon pas support\u00e9s : " + Decimal(l.SampleBits));

  DataPlan p;
  p.Kind = bps == 2 ? SampleKind::Word : SampleKind::Byte;
  p.BigEndian = l.SamplesMsbFirst;
  p.Signed = l.SamplesSigned;
  p.Mask = l.SampleBitMask;
  p.Scale = st.ValueScale;
  p.SquareRoot = l.SquareRootSamples && bps == 1;
  p.LineBytes = l.Width * bps;
  p.SampleOffset = l.LinePrefixBytes;
  p.Stride = l.LinePrefixBytes + l.LineSuffixBytes + p.LineBytes;
  p.PlaneBytes = l.Height * p.Stride;
  p.Colour = l.Bands == 3 && bps == 1 && code == PdsEncoding::None;
  p.Start = code == PdsEncoding::Browse
                ? PointerOffset(l.BrowseRecord, l.BrowseInBytes, l.RecordBytes)
                : ImageStart(l);

  if (code == PdsEncoding::None && bps == 1) {
    if (p.SquareRoot) {
      st.AutoByteOutput = 0;
    } else if (st.InputMax == 0 || st.InputMax > 255) {
      st.InputMax = 255;
    }
    if (p.Colour && st.ChannelWeightR >= 0 && st.ChannelWeightV >= 0 && st.ChannelWeightB >= 0 &&
        st.ChannelWeightR + st.ChannelWeightV + st.ChannelWeightB <= 1.0f)
      st.InputMax = 255;
  } else if (code == PdsEncoding::None || code == PdsEncoding::PreviousPixel) {
    st.AutoByteOutput = 0;
  } else {
    st.InputMin = 0;
    st.InputMax = 255;
  }
  return p;
}

// Rows of plain samples the file cannot hold (the last ones); zero when its size is unknown.
uint64_t RowsBeyondEnd(const DataPlan& p, uint64_t height, int64_t fileSize) {
  if (fileSize <= 0) return 0;
  const uint64_t lastBand = p.Colour ? 2 : 0;
  const uint64_t firstEnd = p.Start + lastBand * p.PlaneBytes + p.SampleOffset + p.LineBytes;
  const auto size = static_cast<uint64_t>(fileSize);
  if (size < firstEnd) return height;
  const uint64_t held = (size - firstEnd) / p.Stride + 1;
  return held >= height ? 0 : height - held;
}

uint16_t WordSample(const DataPlan& p, const uint8_t* b) {
  uint32_t v = p.BigEndian ? (uint32_t{b[0]} << 8 | b[1]) : (uint32_t{b[1]} << 8 | b[0]);
  if (p.Signed) v = (v + 32768u) & 0xFFFFu;
  v &= p.Mask;
  if (p.Scale == 1.0f) return static_cast<uint16_t>(v);
  return RoundClampToWord(static_cast<double>(v) * static_cast<double>(p.Scale));
}

uint16_t RealSample(const DataPlan& p, const uint8_t* b) {
  const uint32_t bits = p.BigEndian ? (uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 |
                                       uint32_t{b[2]} << 8 | b[3])
                                    : (uint32_t{b[3]} << 24 | uint32_t{b[2]} << 16 |
                                       uint32_t{b[1]} << 8 | b[0]);
  float f = 0;
  std::memcpy(&f, &bits, sizeof f);
  if (!std::isfinite(f)) return 0;
  return RoundClampToWord(static_cast<double>(f));
}

uint16_t Sample(const DataPlan& p, const uint8_t* line, std::size_t c) {
  switch (p.Kind) {
  case SampleKind::Byte:
    return p.SquareRoot ? ExpandSquareRoot(line[c]) : line[c];
  case SampleKind::Word:
    return WordSample(p, line + 2 * c);
  case SampleKind::Real:
    return RealSample(p, line + 4 * c);
  }
  return 0;
}

// Reads of stored lines through a window of the file, so that a large image
// costs a few large reads rather than two small ones per line. Bytes the file
// does not hold read as zeros.
class LineWindow {
public:
  static constexpr std::size_t Size = std::size_t{256} << 10;
  // The window is allocated by its first fill: a band that is never read costs nothing.

  // The n bytes at offset: in the window when they fit there, else copied to
  // scratch (at least n bytes) with zeros for what the file does not hold.
  const uint8_t* Line(Conversion& cv, uint64_t offset, std::size_t n, uint8_t* scratch) {
    if (n <= Size && (offset < start_ || offset + n > start_ + filled_)) Fill(cv, offset);
    if (offset >= start_ && offset + n <= start_ + filled_)
      return data_.data() + static_cast<std::size_t>(offset - start_);
    std::size_t done = 0;
    while (done < n) {
      if (offset < start_ || offset >= start_ + filled_) {
        if (!Fill(cv, offset)) break;
      }
      const auto at = static_cast<std::size_t>(offset - start_);
      const std::size_t take = std::min(n - done, filled_ - at);
      std::memcpy(scratch + done, data_.data() + at, take);
      offset += take;
      done += take;
    }
    std::memset(scratch + done, 0, n - done);
    return scratch;
  }

private:
  bool Fill(Conversion& cv, uint64_t offset) {
    start_ = offset;
    filled_ = 0;
    if (cv.Input.Tell() != static_cast<int64_t>(offset) &&
        !cv.Input.Seek(static_cast<int64_t>(offset)))
      return false;
    if (data_.empty()) data_.resize(Size);
    filled_ = cv.Input.Read(data_.data(), data_.size());
    return filled_ > 0;
  }

  std::vector<uint8_t> data_;
  uint64_t start_ = 0;
  std::size_t filled_ = 0;
};

void DecodePlain(Conversion& cv, const DataPlan& p) {
  ImageState& st = cv.State;
  const std::size_t lineBytes = static_cast<std::size_t>(p.LineBytes);
  const unsigned bands = p.Colour ? 3 : 1;
  // Sized once from the checked width: at most 3 x 30000 x 4 bytes, and one
  // window per band plane.
  std::vector<uint8_t> lines(lineBytes * bands);
  std::array<LineWindow, 3> windows;
  std::array<const uint8_t*, 3> band{};
  const GreyWeighting weigh(st, 16);
  for (uint32_t r = 0; r < st.ImageHeight; ++r) {
    for (unsigned b = 0; b < bands; ++b)
      band[b] = windows[b].Line(cv, p.Start + b * p.PlaneBytes + r * p.Stride + p.SampleOffset,
                                lineBytes, lines.data() + b * lineBytes);
    const std::span<uint16_t> row = cv.Row();
    if (p.Colour) {
      for (std::size_t c = 0; c < row.size(); ++c)
        row[c] = weigh(Sample(p, band[0], c), Sample(p, band[1], c), Sample(p, band[2], c));
    } else if (p.Kind == SampleKind::Byte && !p.SquareRoot) {
      std::copy(band[0], band[0] + row.size(), row.begin());
    } else {
      for (std::size_t c = 0; c < row.size(); ++c) row[c] = Sample(p, band[0], c);
    }
    WriteOutputRow(cv, static_cast<uint16_t>(r));
  }
}

// Byte-difference code: 255 escapes an absolute big-endian 16-bit value, any
// other byte b adds b - 127 to the running value. The data begin at the first 255.
void DecodePreviousPixel(Conversion& cv, const DataPlan& p) {
  ImageState& st = cv.State;
  LabelSource in(cv);
  in.SeekTo(static_cast<int64_t>(p.Start));
  DataSource& src = in.Source();
  while (!src.AtEnd() && src.Next() != 255) {
  }
  bool first = true;
  uint16_t value = 0;
  uint64_t missing = 0;
  for (uint32_t r = 0; r < st.ImageHeight; ++r) {
    if (src.AtEnd()) {
      ++missing;
      CheckMissingOutput(cv, missing * st.ImageWidth * 2);
    }
    for (uint16_t& s : cv.Row()) {
      const uint8_t b = first ? 255 : src.Next();
      first = false;
      if (b == 255) {
        value = static_cast<uint16_t>(src.Next() << 8);
        value = static_cast<uint16_t>(value | src.Next());
      } else {
        value = static_cast<uint16_t>(value + b - 127);
      }
      s = value;
    }
    WriteOutputRow(cv, static_cast<uint16_t>(r));
  }
  NoteMissingData(cv, missing, st.ImageHeight);
}

// Mars camera streams, handed over bottom line first.
void DecodeMoc(Conversion& cv, const DataPlan& p, bool predicted) {
  ImageState& st = cv.State;
  LabelSource in(cv);
  in.SeekTo(static_cast<int64_t>(p.Start));
  MocStream stream(in.Source());
  stream.Start();
  uint64_t missing = 0;
  for (uint32_t n = 0; n < st.ImageHeight; ++n) {
    if (stream.AtEnd()) {
      ++missing;
      CheckMissingOutput(cv, missing * st.ImageWidth);
    }
    if (!predicted)
      stream.DecodePlainLine(cv.Row());
    else if (n % 128 == 0)
      stream.DecodeSyncLine(cv.Row());
    else
      stream.DecodePredictedLine(cv.Row());
    WriteOutputRow(cv, static_cast<uint16_t>(st.ImageHeight - 1 - n));
  }
  NoteMissingData(cv, missing, st.ImageHeight);
}

// One variable-length record: a 16-bit little-endian length, the bytes, a pad
// byte after an odd length. Bytes beyond `out` are skipped. Returns the length.
uint16_t ReadRecord(DataSource& src, std::span<uint8_t> out) {
  const auto length = static_cast<uint16_t>(src.Next() | src.Next() << 8);
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t b = src.Next();
    if (i < out.size()) out[i] = b;
  }
  if (length & 1u) src.Next();
  return length;
}

void DecodeHuffman(Conversion& cv, const PdsLabel& l) {
  ImageState& st = cv.State;
  LabelSource in(cv);
  in.SeekTo(0);
  DataSource& src = in.Source();
  uint64_t records = 0;  // records read so far
  while (records + 1 < l.HistogramRecord && records < MaxSkippedRecords && !src.AtEnd()) {
    ReadRecord(src, {});
    ++records;
  }
  // The histogram records hold 511 32-bit little-endian counts in all.
  std::array<uint8_t, HuffmanHistogramBytes> bytes{};
  std::vector<uint8_t> record(65536);  // the longest record a 16-bit length allows
  std::size_t filled = 0;
  for (unsigned k = 0; k < 64 && filled < bytes.size() && !src.AtEnd(); ++k) {
    const uint16_t n = ReadRecord(src, record);
    const std::size_t take = std::min<std::size_t>(n, bytes.size() - filled);
    std::copy_n(record.begin(), take, bytes.begin() + static_cast<std::ptrdiff_t>(filled));
    filled += take;
    ++records;
  }
  std::array<uint32_t, HuffmanHistogramEntries> counts{};
  for (std::size_t i = 0; i < counts.size(); ++i)
    counts[i] = uint32_t{bytes[4 * i]} | uint32_t{bytes[4 * i + 1]} << 8 |
                uint32_t{bytes[4 * i + 2]} << 16 | uint32_t{bytes[4 * i + 3]} << 24;
  auto tree = std::make_unique<HuffmanTree>();
  const bool built = BuildHuffmanTree(counts, *tree);
  Say(cv, "Nni=" + Decimal(tree->LeafCount));
  if (!built) Stop(cv, "Histogramme de codage vide");
  Say(cv, "Nnf=" + Decimal(tree->NodeCount));
  if (l.LabelRecords < records + 1) Stop(cv, Incoherent);
  while (records + 1 < l.LabelRecords && records < MaxSkippedRecords && !src.AtEnd()) {
    ReadRecord(src, {});
    ++records;
  }
  uint64_t missing = 0;
  const uint64_t total = uint64_t{st.ImageWidth} * st.ImageHeight;
  for (uint32_t r = 0; r < st.ImageHeight; ++r) {
    const std::span<uint16_t> row = cv.Row();
    std::size_t stored = 0;
    if (!src.AtEnd()) {
      const uint16_t n = ReadRecord(src, std::span<uint8_t>(record).first(MaxHuffmanRecord));
      if (n > MaxHuffmanRecord) Stop(cv, "Longueur erron\u00e9e");
      stored = DecodeHuffmanLine(*tree, std::span<const uint8_t>(record).first(n),
                                 static_cast<std::size_t>(l.LinePrefixBytes), row);
    }
    // A short line is completed with zeros, never with the previous line.
    std::fill(row.begin() + static_cast<std::ptrdiff_t>(stored), row.end(), uint16_t{0});
    missing += row.size() - stored;
    // Short records must not fill a disk with zeros either.
    CheckMissingOutput(cv, missing);
    WriteOutputRow(cv, static_cast<uint16_t>(r));
  }
  NoteMissingData(cv, missing, total, MissingUnit::Samples);
}

} // namespace

void ReadPds(Conversion& cv) {
  ReadOptions(cv);
  if (!OpenInput(cv)) Stop(cv, "Lecture impossible : " + cv.State.InputFilePath.str());
  ImageState& st = cv.State;
  std::array<uint8_t, 8> head{};
  cv.Input.Read(head.data(), head.size());
  if (head[0] == 255) Stop(cv, "Pas une image PDS ou VICAR");
  const bool ebcdic = head == EbcdicSignature;
  const bool vicar = std::memcmp(head.data(), "LBLSIZE=", 8) == 0;

  PdsLabel label = ebcdic || vicar ? ReadVicarLabel(cv, ebcdic) : ReadPdsLabel(cv);
  if (label.Kind == LabelKind::Pds) OpenDataFile(cv, label);
  const DataPlan plan = label.Kind == LabelKind::Pds ? SettlePds(cv, label) : SettleVicar(cv, label);
  const PdsEncoding code = label.Kind == LabelKind::Pds ? label.EncodingCode : PdsEncoding::None;

  // Only plain samples have a known size; coded lines are checked as they are read.
  uint64_t missingRows = 0;
  if (code == PdsEncoding::None || code == PdsEncoding::Browse) {
    missingRows = RowsBeyondEnd(plan, label.Height, cv.Input.Size());
    const bool bytesOut = plan.Kind == SampleKind::Byte && !plan.SquareRoot;
    CheckMissingOutput(cv, missingRows * label.Width * (bytesOut ? 1 : 2));
  }
  st.ImageWidth = static_cast<uint16_t>(label.Width);
  st.ImageHeight = static_cast<uint16_t>(label.Height);
  PrepareOutput(cv);
  Say(cv, "Cmp=" + Decimal(static_cast<unsigned>(code)));

  switch (code) {
  case PdsEncoding::None:
  case PdsEncoding::Browse:
    DecodePlain(cv, plan);
    NoteMissingData(cv, missingRows, label.Height);
    break;
  case PdsEncoding::PreviousPixel:
    DecodePreviousPixel(cv, plan);
    break;
  case PdsEncoding::MocNone:
  case PdsEncoding::MocPredX5:
    DecodeMoc(cv, plan, code == PdsEncoding::MocPredX5);
    break;
  case PdsEncoding::HuffmanFirstDifference:
    DecodeHuffman(cv, label);
    break;
  }
  cv.Input.Close();
}

} // namespace korv
