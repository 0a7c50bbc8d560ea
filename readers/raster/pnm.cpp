// Portable anymap reader: P1 to P6, the plain-text and binary forms of the bit,
// grey and pixel maps. Header numbers are unsigned decimal kept modulo 65536; a
// '#' comment may sit anywhere in the header, even inside a number, whose digits
// then continue after the comment. Plain bit map samples are single digits.
// Samples are never rescaled by maxval, and colour is reduced to grey with the
// channel weights of the options.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/colour.h"
#include "core/conversion.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/truncation.h"
#include "driver/arguments.h"
#include "driver/options.h"
#include "driver/run.h"
#include "output/row_pipeline.h"
#include "readers/readers.h"

namespace korv {
namespace {

// Holds the widest binary row (16-bit colour, 180000 bytes) with room to spare.
constexpr std::size_t SourceBufferSize = std::size_t{256} << 10;
// Reads are whole multiples of this, so the stdio layer below passes them
// straight to the system instead of splitting each in two.
constexpr std::size_t ReadGranule = 4096;
// Output that would come from bytes the file does not hold is refused beyond this.

// The input seen through one private buffer: header numbers, text samples and
// binary rows all come from here, so the header costs no system call per byte
// and binary rows are decoded in place. Past the end every read is short and
// stays short.
class PnmSource {
public:
  explicit PnmSource(InputFile& in) : in_(in), buffer_(SourceBufferSize) {}

  // The next byte, or -1 at the end of the file.
  int Next() {
    if (pos_ == fill_ && !Refill(1)) return -1;
    return buffer_[pos_++];
  }

  // A view of the next n bytes (n at most SourceBufferSize - ReadGranule),
  // shorter only at the end of the file. Valid until the next call.
  std::span<const uint8_t> Take(std::size_t n) {
    if (fill_ - pos_ < n) Refill(n);
    const std::size_t got = std::min(n, fill_ - pos_);
    const std::span<const uint8_t> view(buffer_.data() + pos_, got);
    pos_ += got;
    return view;
  }

  // True once the file is exhausted and the buffer is empty.
  bool Exhausted() const { return atEnd_ && pos_ == fill_; }
  // Set when a text sample found the end of the file instead of a digit.
  bool SampleMissing = false;
  // Bytes of the file taken so far.
  int64_t Consumed() const { return in_.Tell() - static_cast<int64_t>(fill_ - pos_); }

private:
  // Keeps the unread bytes at the front and reads until `need` bytes are
  // buffered or the file ends; false when nothing is buffered.
  bool Refill(std::size_t need) {
    if (pos_ > 0) {
      std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(pos_),
                buffer_.begin() + static_cast<std::ptrdiff_t>(fill_), buffer_.begin());
      fill_ -= pos_;
      pos_ = 0;
    }
    while (!atEnd_ && fill_ < need) {
      const std::size_t room = (buffer_.size() - fill_) / ReadGranule * ReadGranule;
      const std::size_t got = in_.Read(buffer_.data() + fill_, room);
      if (got == 0) atEnd_ = true;
      fill_ += got;
    }
    return fill_ > 0;
  }

  InputFile& in_;
  std::vector<uint8_t> buffer_;
  std::size_t fill_ = 0;
  std::size_t pos_ = 0;
  bool atEnd_ = false;
};

bool IsDigit(int b) { return b >= '0' && b <= '9'; }

// A header number: non-digits before it are skipped, the first non-digit after
// it is consumed and ends it. A comment runs to the end of its line and does
// not end a number. The end of the file ends the number with what was read.
uint16_t ReadHeaderNumber(PnmSource& src) {
  uint32_t value = 0;
  bool digitSeen = false;
  for (;;) {
    int b = src.Next();
    if (b < 0) return static_cast<uint16_t>(value);
    if (b == '#') {
      // A TAB inside a comment is comment text: only a line end closes it.
      do {
        b = src.Next();
      } while (b >= 0 && b != '\n' && b != '\r');
      digitSeen = false;
      continue;
    }
    if (IsDigit(b)) {
      value = (value * 10 + static_cast<uint32_t>(b - '0')) & 0xFFFFu;
      digitSeen = true;
    } else if (digitSeen) {
      return static_cast<uint16_t>(value);
    }
  }
}

// A sample of the text variants: the same digit rule, without comments.
uint16_t ReadTextSample(PnmSource& src) {
  uint32_t value = 0;
  bool digitSeen = false;
  for (;;) {
    const int b = src.Next();
    if (b < 0) {
      if (!digitSeen) src.SampleMissing = true;
      return static_cast<uint16_t>(value);
    }
    if (IsDigit(b)) {
      value = (value * 10 + static_cast<uint32_t>(b - '0')) & 0xFFFFu;
      digitSeen = true;
    } else if (digitSeen) {
      return static_cast<uint16_t>(value);
    }
  }
}

// A sample of the plain bit map: one digit, whitespace or not between them, as
// plain bit maps are commonly written ("0110" is four pixels). 0 at the end.
bool ReadTextBit(PnmSource& src) {
  for (;;) {
    const int b = src.Next();
    if (b < 0) {
      src.SampleMissing = true;
      return false;
    }
    if (IsDigit(b)) return b != '0';
  }
}

struct PnmHeader {
  bool MagicOk = false;
  uint16_t Variant = 0;
  uint16_t Width = 0;
  uint16_t Height = 0;
  uint16_t MaxVal = 1;
  int64_t DataStart = 0; // first byte after the header
};

bool IsText(uint16_t v) { return v <= 3; }
bool IsColour(uint16_t v) { return v == 3 || v == 6; }
bool IsBitmap(uint16_t v) { return v == 1 || v == 4; }
bool IsWide(const PnmHeader& h) { return h.MaxVal > 255; }

// Bytes of one binary row in the file.
uint64_t BinaryRowBytes(const PnmHeader& h) {
  if (h.Variant == 4) return (uint64_t{h.Width} + 7) / 8;
  const uint64_t perSample = IsWide(h) ? 2 : 1;
  return uint64_t{h.Width} * perSample * (IsColour(h.Variant) ? 3 : 1);
}

// Bytes per sample of the output the image naturally gives (8 or 16 bits).
uint64_t OutputSampleBytes(const PnmHeader& h) { return IsWide(h) ? 2 : 1; }

PnmHeader ReadPnmHeader(PnmSource& src) {
  PnmHeader h;
  h.MagicOk = src.Next() == 'P';
  if (!h.MagicOk) return h;
  h.Variant = ReadHeaderNumber(src);
  if (h.Variant < 1 || h.Variant > 6) return h;
  h.Width = ReadHeaderNumber(src);
  h.Height = ReadHeaderNumber(src);
  if (!IsBitmap(h.Variant)) h.MaxVal = ReadHeaderNumber(src);
  h.DataStart = src.Consumed();
  return h;
}

// Rows whose data the file cannot hold: exact for the binary variants; for the
// text variants a lower bound, each sample taking at least a digit and a
// separator (a plain bit map digit needs no separator).
uint64_t RowsBeyondEnd(const PnmHeader& h, int64_t fileSize) {
  const uint64_t available =
      fileSize > h.DataStart ? static_cast<uint64_t>(fileSize - h.DataStart) : 0;
  uint64_t rowsHeld = 0;
  if (h.Variant == 1) {
    rowsHeld = available / h.Width;
  } else if (IsText(h.Variant)) {
    const uint64_t samplesPerRow = uint64_t{h.Width} * (IsColour(h.Variant) ? 3 : 1);
    rowsHeld = (available + 1) / (2 * samplesPerRow);
  } else {
    rowsHeld = available / BinaryRowBytes(h);
  }
  return rowsHeld >= h.Height ? 0 : h.Height - rowsHeld;
}

// Every limit, before any output. Prints the variant line on the way.
void CheckPnmHeader(Conversion& cv, const PnmHeader& h) {
  if (!h.MagicOk) Stop(cv, "Pas du PNM !");
  Say(cv, "Tdo=" + std::to_string(h.Variant));
  if (h.Variant < 1 || h.Variant > 6) Stop(cv, "Pas du PNM !");
  if (h.Width == 0 || h.Height == 0 || h.Width > MaxRowSamples) {
    Stop(cv, "Taille d'image incorrecte : " + std::to_string(h.Width) + " x " +
                 std::to_string(h.Height));
  }
  // A header claiming a huge image in a tiny file must not fill the disk with zeros.
  // A size of 0 is a file whose length is unknown: the row loop guards it.
  const int64_t size = cv.Input.Size();
  if (size > 0) {
    const uint64_t missing = RowsBeyondEnd(h, size) * h.Width * OutputSampleBytes(h);
    if (missing > MaxMissingOutputBytes) {
      Stop(cv, "Fichier tronqu\u00e9 : " + std::to_string(missing >> 20) +
                   " Mo de l'image manquent");
    }
  }
}

uint16_t WeightedGrey(float r, float g, float b, const ImageState& st) {
  // The plain colour map is weighted in single precision, products and running sum.
  const float sum = r * st.ChannelWeightR + g * st.ChannelWeightV + b * st.ChannelWeightB;
  return RoundClampToWord(static_cast<double>(sum));
}

void DecodeTextRow(PnmSource& src, const PnmHeader& h, const ImageState& st,
                   std::span<uint16_t> row) {
  for (uint16_t& sample : row) {
    if (h.Variant == 1) {
      sample = ReadTextBit(src) ? 255 : 0;
    } else if (h.Variant == 2) {
      sample = ReadTextSample(src);
    } else {
      const uint16_t r = ReadTextSample(src);
      const uint16_t g = ReadTextSample(src);
      const uint16_t b = ReadTextSample(src);
      sample = WeightedGrey(r, g, b, st);
    }
  }
}

uint32_t WordAt(std::span<const uint8_t> bytes, std::size_t i) {
  return (uint32_t{bytes[2 * i]} << 8) | bytes[2 * i + 1];
}

// One block of the row; bytes the file no longer holds read as 0. False when
// the file did not hold the whole row.
bool DecodeBinaryRow(PnmSource& src, const PnmHeader& h, const ImageState& st,
                     std::span<uint8_t> shortRow, std::span<uint16_t> row) {
  std::span<const uint8_t> bytes = src.Take(shortRow.size());
  const bool whole = bytes.size() == shortRow.size();
  if (!whole) {
    // Past the end: the missing part is zeros, never stale buffer contents.
    std::copy(bytes.begin(), bytes.end(), shortRow.begin());
    std::fill(shortRow.begin() + static_cast<std::ptrdiff_t>(bytes.size()), shortRow.end(),
              uint8_t{0});
    bytes = shortRow;
  }
  const std::size_t width = row.size();
  if (h.Variant == 4) {
    for (std::size_t c = 0; c < width; ++c) {
      row[c] = (bytes[c >> 3] & (0x80u >> (c & 7))) != 0 ? 255 : 0;
    }
  } else if (h.Variant == 5) {
    if (IsWide(h)) {
      for (std::size_t c = 0; c < width; ++c) row[c] = static_cast<uint16_t>(WordAt(bytes, c));
    } else {
      for (std::size_t c = 0; c < width; ++c) row[c] = bytes[c];
    }
  } else if (IsWide(h)) {
    for (std::size_t c = 0; c < width; ++c) {
      // The binary colour map is weighted in extended precision.
      row[c] = WeightedGreyExtended(st, WordAt(bytes, 3 * c), WordAt(bytes, 3 * c + 1),
                                    WordAt(bytes, 3 * c + 2));
    }
  } else {
    for (std::size_t c = 0; c < width; ++c) {
      row[c] = WeightedGreyExtended(st, bytes[3 * c], bytes[3 * c + 1], bytes[3 * c + 2]);
    }
  }
  return whole;
}

} // namespace

void ReadPnm(Conversion& cv) {
  ReadOptions(cv);
  OpenInput(cv);
  PnmSource src(cv.Input);
  const PnmHeader h = ReadPnmHeader(src);
  CheckPnmHeader(cv, h);

  ImageState& st = cv.State;
  st.ImageWidth = h.Width;
  st.ImageHeight = h.Height;
  PrepareOutput(cv);
  if (!IsBitmap(h.Variant)) {
    Say(cv, "rvb={" + FormatFixed(st.ChannelWeightR, 3) + "," + FormatFixed(st.ChannelWeightV, 3) +
                "," + FormatFixed(st.ChannelWeightB, 3) + "}");
  }
  if (h.MaxVal <= 255) st.InputMax = 255;

  // Sized once from the checked width: a 16-bit colour row is 180000 bytes.
  std::vector<uint8_t> shortRow(IsText(h.Variant) ? 0 : BinaryRowBytes(h));
  uint64_t missingBytes = 0;
  for (uint32_t r = 0; r < h.Height; ++r) {
    // Rows that start past the end are zeros; only a small amount of them is accepted.
    if (src.Exhausted()) {
      missingBytes += uint64_t{h.Width} * OutputSampleBytes(h);
      if (missingBytes > MaxMissingOutputBytes) {
        Stop(cv, "Fichier tronqu\u00e9 : " + std::to_string(missingBytes >> 20) +
                     " Mo de l'image manquent");
      }
    }
    bool whole = true;
    if (IsText(h.Variant)) {
      src.SampleMissing = false;
      DecodeTextRow(src, h, st, cv.Row());
      whole = !src.SampleMissing;
    } else {
      whole = DecodeBinaryRow(src, h, st, shortRow, cv.Row());
    }
    // A row the file held only in part counts as missing.
    if (!whole) NoteMissingData(cv, 1, h.Height, MissingUnit::Rows);
    WriteOutputRow(cv, static_cast<uint16_t>(r));
  }
  cv.Input.Close();
}

} // namespace korv
