// PostScript and EPS files holding one sampled image written as an image
// dictionary (/ImageType, /Width, /Height, /BitsPerComponent, /Decode) whose
// data follow the line of the image operator, ASCIIHex or ASCII85 encoded, 4 or
// 8 bits per component. The file is not interpreted: text lines are scanned for
// those keys. Lines end at LF (or NUL); a CR stays part of its line. The number
// of components is half the length of the /Decode array. One component is grey
// and passes unchanged; more are weighted to grey with the channel weights.
// Rows start on a byte boundary, so an odd count of 4-bit samples leaves the
// low half of a row's last byte unused.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

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
#include "readers/raster/ps_text_filters.h"
#include "readers/readers.h"

namespace korv {
namespace {

constexpr std::size_t MaxLineLength = 255;
// Output bytes per sample: the reader states no input range, so the output is 16-bit.
constexpr uint64_t OutputSampleBytes = 2;

struct PsHeader {
  int32_t Width = 0;       // the first non-zero /Width
  int32_t Height = 0;      // the first non-zero /Height
  int32_t Bits = 0;        // the last /BitsPerComponent
  int32_t Components = 0;  // half the last /Decode array
  uint8_t Encoding = 0;    // 0 none, 1 hexadecimal, 2 ASCII85
  bool ImageFound = false; // an image operator line was reached with the above usable
  int64_t DataStart = 0;   // file offset of the byte after that line
};

bool Usable(const PsHeader& h) {
  return h.Encoding != 0 && h.Components != 0 && (h.Bits == 4 || h.Bits == 8);
}

// One line of the file: up to LF or NUL, form feeds dropped, at most 255
// characters kept (the rest of a longer line is read and dropped).
Text ReadLine(Conversion& cv) {
  Text line;
  for (;;) {
    const uint8_t b = ReadByte(cv);
    if (b == 0 || b == '\n') break;
    if (b == '\f') continue;
    if (line.size() < MaxLineLength) line.push_back(static_cast<char>(b));
  }
  return line;
}

// Half the number of items of a /Decode array. Brackets are items of their own,
// as in PostScript ("[0 1]" and "[ 0 1 ]" alike); "]" ends the count.
int32_t DecodeComponents(std::string_view rest) {
  int32_t count = 0;
  std::size_t i = 0;
  while (i < rest.size()) {
    const char c = rest[i];
    if (c == ' ') {
      ++i;
    } else if (c == '[') {
      ++i;
    } else if (c == ']') {
      return count / 2;
    } else {
      while (i < rest.size() && rest[i] != ' ' && rest[i] != '[' && rest[i] != ']') ++i;
      ++count;
    }
  }
  return count;
}

int32_t NextInteger(Text& rest) {
  Text item;
  TakeItemSeparator(rest, item);
  return ParseInteger(item.view());
}

// Scans lines until the line of an image operator with a usable dictionary, or
// the end of the file. Prints each key as it is met.
PsHeader ScanHeader(Conversion& cv) {
  PsHeader h;
  while (!ByteReaderAtEnd(cv)) {
    Text rest = FoldUpper(ReadLine(cv).view());
    const std::string_view line = rest.view();
    const bool hex = FoldedPos("ASCIIHEXDECODE", line) != 0;
    const bool a85 = FoldedPos("ASCII85DECODE", line) != 0;
    Text word;
    TakeItemBlank(rest, word);
    if (word == "/IMAGETYPE") {
      // A new image dictionary starts.
      h.Encoding = 0;
      h.Components = 0;
    } else if (word == "/WIDTH") {
      const int32_t v = NextInteger(rest);
      Say(cv, "Nph=" + std::to_string(v));
      if (h.Width == 0) h.Width = v;
    } else if (word == "/HEIGHT") {
      const int32_t v = NextInteger(rest);
      Say(cv, "NpV=" + std::to_string(v));
      if (h.Height == 0) h.Height = v;
    } else if (word == "/BITSPERCOMPONENT") {
      h.Bits = NextInteger(rest);
      Say(cv, "Nbp=" + std::to_string(h.Bits));
    } else if (word == "/DECODE") {
      h.Components = DecodeComponents(rest.view());
      Say(cv, "Nco=" + std::to_string(h.Components));
    } else if (hex) {
      h.Encoding = 1;
      Say(cv, "Cod=Hex");
    } else if (a85) {
      h.Encoding = 2;
      Say(cv, "Cod=A85");
    } else if (word == "IMAGE" && Usable(h)) {
      h.ImageFound = true;
      h.DataStart = cv.Input.Tell() - static_cast<int64_t>(ByteReaderPending(cv));
      return h;
    }
  }
  return h;
}

uint64_t RowBytes(const PsHeader& h) {
  return (uint64_t(h.Width) * uint64_t(h.Components) * uint64_t(h.Bits) + 7) / 8;
}

void CheckHeader(Conversion& cv, const PsHeader& h) {
  // Without the image operator line the data never started: nothing to convert.
  if (!h.ImageFound) Stop(cv, "Pas d'image dans le fichier");
  if (h.Width <= 0 || h.Height <= 0 || h.Width > int32_t{MaxRowSamples} || h.Height > 65535) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(h.Width) + " x " +
                 std::to_string(h.Height));
  }
  // A dictionary claiming a huge image in a short file must not fill the disk
  // with zeros: at best a hexadecimal byte takes two characters, and an ASCII85
  // 'z' four zero bytes in one.
  const int64_t size = cv.Input.Size();
  if (size <= 0) return;
  const uint64_t remaining = size > h.DataStart ? uint64_t(size - h.DataStart) : 0;
  const uint64_t decodable = h.Encoding == 1 ? remaining / 2 + 1 : remaining * 4;
  const uint64_t rowsHeld = decodable / RowBytes(h);
  const uint64_t height = uint64_t(h.Height);
  if (rowsHeld < height) {
    CheckMissingOutput(cv, (height - rowsHeld) * uint64_t(h.Width) * OutputSampleBytes);
  }
}

// The encoded data, read on from the byte after the image operator line.
class InputCharacters final : public EncodedBytes {
public:
  explicit InputCharacters(Conversion& cv) : cv_(cv) {}
  int Next() override {
    const uint8_t b = ReadByte(cv_);
    return ByteReaderAtEnd(cv_) ? -1 : b;
  }

private:
  Conversion& cv_;
};

// Samples of 4 or 8 bits, most significant first, each row from a fresh byte.
class SampleReader {
public:
  SampleReader(PsTextDecoder& decoder, int32_t bits) : decoder_(decoder), bits_(bits) {}

  // One sample; `held` is cleared when the data had ended before it.
  uint8_t Next(bool& held) {
    uint8_t b = 0;
    if (bits_ == 8) {
      if (!decoder_.Next(b)) held = false;
      return b;
    }
    if (halfHeld_) {
      halfHeld_ = false;
      return static_cast<uint8_t>(half_ & 0x0F);
    }
    if (!decoder_.Next(b)) held = false;
    half_ = b;
    halfHeld_ = true;
    return static_cast<uint8_t>(b >> 4);
  }
  // Drops the unused low half of a row's last byte.
  void EndRow() { halfHeld_ = false; }
  // True once no further sample can come from the data.
  bool Exhausted() const { return !halfHeld_ && decoder_.Exhausted(); }

private:
  PsTextDecoder& decoder_;
  int32_t bits_;
  uint8_t half_ = 0;
  bool halfHeld_ = false;
};

// Fills one row; returns how many of its pixels the data did not hold.
uint64_t DecodeRow(SampleReader& samples, const PsHeader& h, const ImageState& st,
                   std::span<uint16_t> row) {
  uint64_t missing = 0;
  for (std::size_t x = 0; x < row.size(); ++x) {
    if (samples.Exhausted()) {
      // Past the end of the data: the rest of the row is 0, without reading on.
      std::fill(row.begin() + static_cast<std::ptrdiff_t>(x), row.end(), uint16_t{0});
      missing += row.size() - x;
      break;
    }
    bool held = true;
    std::array<uint32_t, 4> c = {0, 0, 0, 0};
    for (int32_t i = 0; i < h.Components; ++i) {
      const uint8_t v = samples.Next(held);
      // Components beyond the fourth have no weight.
      if (i < 4) c[static_cast<std::size_t>(i)] = v;
    }
    row[x] = h.Components == 1 ? static_cast<uint16_t>(c[0])
                               : WeightedGreyExtended(st, c[0], c[1], c[2], c[3]);
    if (!held) ++missing;
  }
  samples.EndRow();
  return missing;
}

std::string WeightsLine(const ImageState& st) {
  return "rvb={" + FormatFixed(st.ChannelWeightR, 3) + "," + FormatFixed(st.ChannelWeightV, 3) +
         "," + FormatFixed(st.ChannelWeightB, 3) + "}";
}

} // namespace

void ReadPostScript(Conversion& cv) {
  ImageState& st = cv.State;
  Say(cv, "Exp\u00e9rimental");
  // Only an explicit EFFACE erases a PostScript input.
  st.EraseInput = 0;
  ReadOptions(cv);
  Say(cv, WeightsLine(st));
  OpenInput(cv);

  const PsHeader h = ScanHeader(cv);
  CheckHeader(cv, h);
  st.ImageWidth = static_cast<uint16_t>(h.Width);
  st.ImageHeight = static_cast<uint16_t>(h.Height);
  PrepareOutput(cv);
  ReadValueTransform(cv);
  Say(cv, "Image");

  InputCharacters characters(cv);
  PsTextDecoder decoder(h.Encoding == 1 ? PsEncoding::Hex : PsEncoding::Ascii85, characters);
  SampleReader samples(decoder, h.Bits);
  uint64_t missing = 0;
  for (int32_t y = 0; y < h.Height; ++y) {
    const uint64_t rowMissing = DecodeRow(samples, h, st, cv.Row());
    if (rowMissing != 0) {
      missing += rowMissing;
      CheckMissingOutput(cv, missing * OutputSampleBytes);
    }
    WriteOutputRow(cv, static_cast<uint16_t>(y));
  }
  NoteMissingData(cv, missing, uint64_t(h.Width) * uint64_t(h.Height), MissingUnit::Samples);
  cv.Input.Close();
}

} // namespace korv
