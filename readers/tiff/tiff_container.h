// The TIFF container as the readers of this folder see it: the checked view of
// the file, one directory entry, and the state of a walk through the image file
// directories up to the wanted image. The metadata handlers, the compressed-raw
// decoders and the vendor unpackers (tiff_hooks.h) work on these types.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/byte_view.h"

namespace korv {

struct Conversion;
class InputFile;

// Positioned reads of the input in the file's byte order. Bytes the file does
// not hold read as 0 and set the sticky Overran flag; nothing is ever read
// outside the file, whatever offset a directory gives.
class TiffFileView {
public:
  explicit TiffFileView(InputFile& in) : in_(in) {}

  void SetOrder(ByteOrder order) { order_ = order; }
  ByteOrder Order() const { return order_; }
  bool BigEndian() const { return order_ == ByteOrder::Big; }
  int64_t FileSize() const;
  bool Overran() const { return overran_; }

  // Copies the bytes at an absolute position; what lies past the end is 0.
  // Returns the count of bytes the file held.
  std::size_t ReadAt(uint64_t position, std::span<uint8_t> out);
  uint8_t U8At(uint64_t position);
  uint16_t U16At(uint64_t position);
  uint32_t U32At(uint64_t position);
  uint16_t U16BigAt(uint64_t position);
  uint32_t U32BigAt(uint64_t position);
  // Numerator over denominator; a denominator of 0 reads as 0.
  double RationalAt(uint64_t position, bool isSigned);
  float FloatAt(uint64_t position);
  double DoubleAt(uint64_t position);

private:
  InputFile& in_;
  ByteOrder order_ = ByteOrder::Little;
  bool overran_ = false;
};

// One 12-byte directory entry, classified.
struct TiffEntry {
  uint16_t Tag = 0;       // after the Panasonic remapping
  uint16_t RawTag = 0;    // as stored
  uint16_t Type = 0;
  uint32_t Count = 0;
  uint32_t Value = 0;     // the single value (mode 0) or the offset (mode 3)
  uint8_t ValueMode = 0;  // 0 value, 1 values in the entry, 2 small array in the entry, 3 elsewhere
  uint64_t EntryPos = 0;  // absolute file position of the entry
  uint64_t ValuePos = 0;  // absolute file position of the first value (entry field or base + offset)
};

// Bytes of one value of a TIFF type (0 for an unknown type).
unsigned TiffTypeSize(uint16_t type);

enum class TiffFileKind : uint8_t { PlainTiff, CameraRaw, Mrw, PanasonicRaw };

// Palette or linearisation entries: one per 16-bit value.
constexpr std::size_t LookupTableSize = 65536;
constexpr unsigned MaxTiffPlanes = 4;

// Internal compression codes the after-walk steps and the unpack modes test.
constexpr uint32_t CodeNone = 0;
constexpr uint32_t CodeLzw = 1;
constexpr uint32_t CodePackBits = 2;
constexpr uint32_t CodeJpeg = 3;
constexpr uint32_t CodeKodakDc120 = 64999;

// Everything a walk through the directories keeps, and what the decoding of
// the chosen image then needs.
struct TiffReader {
  TiffReader(Conversion& c, TiffFileView& v) : cv(c), file(v) {}
  Conversion& cv;
  TiffFileView& file;

  // --- file ---
  TiffFileKind FileKind = TiffFileKind::PlainTiff;
  uint64_t Base = 0;             // offset of the TIFF header (non-zero inside MRW)
  uint16_t VersionWord = 0;      // 42, 0x55, 0x5352 ...
  uint64_t MrwDataOffset = 0;    // raw pixels of an MRW file
  uint16_t WantedNumber = 1;     // 1-based, in walk order
  bool ImageNumberGiven = false;

  // --- walk ---
  uint16_t CurrentNumber = 0;
  uint32_t NextNumber = 1;
  uint64_t PendingSubIfd = 0;    // offset from Base, 0 = none
  uint64_t DirectoryOffset = 0;  // offset from Base of the directory being listed
  bool InSubIfd = false;
  bool ChainEnded = false;        // the last directory pointed to no next one
  bool DngSeen = false;           // a DNG version tag was met

  // --- geometry as the directories give it; stored into ImageState once checked ---
  uint32_t ImageWidth = 0;
  uint32_t ImageHeight = 0;
  std::string Refusal;           // why the wanted directory cannot be decoded (printed at the stop)

  // --- image structure of the directory being walked (TIFF defaults at its start) ---
  std::array<uint8_t, MaxTiffPlanes> BitsPerSample{};
  uint32_t Compression = CodeNone; // internal code
  uint16_t CompressionTag = 1;     // as stored
  uint16_t Photometric = 1;
  uint16_t InvertMask = 0;
  bool FillReversed = false;
  uint8_t Predictor = 0;
  uint16_t SampleFormat = 1;
  uint16_t SamplesPerPixel = 1;
  uint16_t PlanarConfig = 1;
  uint16_t Orientation = 1;
  uint64_t PaletteOffset = 0;    // absolute
  uint32_t PaletteCount = 0;     // entries per colour
  uint32_t RowsPerStrip = 0;     // 0 = the whole image
  bool TiledImage = false;
  std::array<uint16_t, 2> YCbCrSubsampling{2, 2}; // TIFF default: chroma halved both ways
  bool CfaPatternSeen = false;   // tag 33422 in the directory
  bool ReducedImage = false;     // tag 254 marks a reduced-resolution image

  // --- kept across directories ---
  uint32_t StripOrigin = 0;      // offset from Base
  uint16_t StripType = 0;        // 3 or 4, type of the strip-offset entry
  uint64_t StripTablePos = 0;    // offset from Base of the next strip offset
  uint32_t StripCount = 0;       // entries of the strip-offset table
  uint32_t FirstStripBytes = 0;
  bool StripTableInEntry = false;
  bool Decodable = false;
  char Mode = 0;                 // unpack mode, 0 = not chosen yet
  std::array<uint16_t, LookupTableSize> LookupTable{};
  uint32_t LookupFill = 0;       // entries filled by a linearisation table

  // --- metadata (the EXIF, GPS and maker-note handlers) ---
  uint64_t ExifOffset = 0;       // from Base, 0 = none
  uint64_t MakerNoteOffset = 0;
  uint64_t PentaxTablePos = 0;   // absolute: the Pentax code table (maker-note tag 0x220), 0 = none
  uint32_t PentaxTableLength = 0; // its bytes
  uint64_t GpsOffset = 0;
  float FocalPlaneResX = 0;
  float FocalPlaneResY = 0;
  uint8_t FocalPlaneUnit = 0;    // 0 none, 2 inch, 3 cm
  bool FocalPlaneFromExif = false;
  bool DateTaken = false;
  bool DateTakenSecond = false;
  std::array<uint16_t, 3> CanonSlices{};
  bool LargeFrameJpeg = false;
  uint8_t OddRowShift = 0;       // mode "z"
  bool MosaicByMaker = false;    // a maker rule says the image is a colour-filter mosaic
  // Why this file cannot be decoded by what is built in; set by the interim
  // hooks, tested before any output.
  std::string_view NotDecodableYet;

  // --- listing ---
  std::string Line;              // listing line of the entry being handled

  // --- sample post-processing ---
  bool GammaOn = false;
  double GammaScale = 1;         // M^(1 - gamma), computed once
  double GammaExponent = 1;
};

// Reads the entry at an absolute position and classifies it. A type above 255
// stops the run.
TiffEntry ReadTiffEntry(TiffReader& t, uint64_t entryPos);
// The listing fields of an entry: tag, type, count and its value or offset.
std::string TiffListingFields(const TiffEntry& e);
// The value at index i of an entry, read by its type (integers, rationals and
// floats as reals; other types give 0).
double TiffEntryNumber(TiffReader& t, const TiffEntry& e, uint32_t i);
// The integer at index i (bytes, 16 and 32-bit types); 0 for other types.
uint32_t TiffEntryInteger(TiffReader& t, const TiffEntry& e, uint32_t i);
// Up to out.size() bytes of the entry's values; the rest of out is 0.
std::size_t TiffEntryBytes(TiffReader& t, const TiffEntry& e, std::span<uint8_t> out);

// Gamma, colour-cell factor or level factor, then the clamp to 16 bits.
uint16_t FinishSample(const TiffReader& t, uint32_t value, unsigned column, unsigned row);

} // namespace korv
