// What the planetary labels (PDS object description language, VICAR, and the
// older EBCDIC fixed layout) say about the image: geometry, sample format,
// record layout and where the data are. Mission metadata go straight to the
// conversion state and to queued header cards while the label is read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/short_text.h"
#include "readers/fits/data_source.h"

namespace korv {

struct Conversion;

enum class LabelKind : uint8_t { Pds, Vicar, Ebcdic };

// Sample codings of the image data.
enum class PdsEncoding : uint8_t {
  None = 0,
  HuffmanFirstDifference = 1,
  Browse = 3,
  PreviousPixel = 4,
  MocNone = 5,
  MocPredX5 = 6,
};

// Offsets, sizes and pointers are held in 64 bits and clamped where read, so
// no product of them can overflow.
constexpr uint64_t MaxLabelCount = uint64_t{1} << 36;
constexpr uint64_t MaxRecordBytes = uint64_t{1} << 24;

struct PdsLabel {
  LabelKind Kind = LabelKind::Pds;
  uint64_t Width = 0;
  uint64_t Height = 0;
  uint64_t LinePrefixBytes = 0;
  uint64_t LineSuffixBytes = 0;     // VICAR: the binary prefix of each line (NBB)
  uint64_t BinaryHeaderLines = 0;   // VICAR NLB
  uint64_t RecordBytes = 0;
  uint64_t LabelLength = 80;        // VICAR label bytes
  uint64_t LabelRecords = 0;        // record (from 1) where the image starts; 0 = not given
  bool ImagePointerSeen = false;
  bool ImagePointerInBytes = false;
  Text ImageFile;                   // data file named by the image pointer (detached label)
  uint64_t BrowseRecord = 0;
  bool BrowseInBytes = false;
  uint64_t BrowseWidth = 0;
  uint64_t BrowseHeight = 0;
  uint64_t BrowsePrefixBytes = 0;
  uint64_t BrowseSuffixBytes = 0;
  uint64_t HistogramRecord = 0;
  unsigned SampleBits = 8;          // 8, 10, 16, or 224 for 32-bit reals
  uint64_t Bands = 1;
  bool SamplesSigned = false;
  bool SamplesReal = false;
  bool SamplesMsbFirst = true;
  bool LowByteFirst = true;         // VICAR INTFMT
  uint16_t SampleBitMask = 65535;
  bool SquareRootSamples = false;
  PdsEncoding EncodingCode = PdsEncoding::None;
  bool Refused = false;             // the label names a coding without a decoder
  Text Unsupported;                 // a sample type that cannot be decoded
  bool VariableRecords = false;
  bool BandSequential = false;
  bool SampleBitsFromLabel = false;
};

// Reads the PDS label from the start of the input. Stops the run on a label
// record that is too long.
PdsLabel ReadPdsLabel(Conversion& cv);
// Reads a VICAR or EBCDIC label from the start of the input.
PdsLabel ReadVicarLabel(Conversion& cv, bool ebcdic);

// Shared by both label forms.
void QueueExtraCard(Conversion& cv, std::string_view card);
// A card "KEYWORD= 'text'" with the quotes of the text doubled, cut to 80 bytes.
std::string StringCardText(std::string_view keyEquals, std::string_view text);
// Calendar or day-of-year date with an optional time (yyyy-mm-ddThh:mm:ss.sss or
// yyyy-dddThh:mm:ss.sss, a trailing Z allowed) as a Julian Date; false when the
// text is no date, or a null value (a year outside 1..9999).
bool ParseLabelDate(std::string_view text, double& jd);
// A count read from a label, clamped to 0 .. cap.
uint64_t LabelCount(double v, uint64_t cap = MaxLabelCount);
// The value without surrounding double or single quotes, trimmed.
Text Unquoted(std::string_view value);

// Reads the input through a 64 KiB window, from a given offset.
class LabelSource {
public:
  explicit LabelSource(Conversion& cv);
  void SeekTo(int64_t offset);
  DataSource& Source() { return src_; }
  int64_t Position() const { return base_ + src_.Consumed(); }

private:
  Conversion& cv_;
  std::vector<uint8_t> window_;
  DataSource src_;
  int64_t base_ = 0;
};

} // namespace korv
