// The output stage: every decoded row goes through row blanking, mirror, flip
// and binning; each completed output row is encoded and written. FITS stores
// the bottom row of the picture first, so rows that arrive top row first are
// placed by seeking (plain rows) or held back and encoded in reverse once the
// last one is in (compressed rows, whose length is known only once encoded).
#include "output/row_pipeline.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "core/conversion.h"
#include "core/stop.h"
#include "output/fits_data.h"
#include "output/fits_header.h"
#include "output/output_file.h"

namespace korv {

namespace {

void StopOnWriteError(Conversion& cv) {
  Say(cv, std::string("Erreur d'\u00e9criture : ") + std::strerror(errno));
  Finish(cv, true);
}

bool IsSampleCode(uint8_t code) { return code == 8 || code == 16 || code == 32 || code == 224; }

// The automatic byte output keeps every value only while a binned sum stays
// below 256; otherwise the sums would lose their high bits, and 16 bits are used.
uint8_t ChooseSampleCode(const ImageState& s, unsigned binX, unsigned binY) {
  if (s.AutoByteOutput && s.InputMin < s.InputMax && s.InputMax <= 255 &&
      unsigned{s.InputMax} * binX * binY <= 255)
    return 8;
  return IsSampleCode(s.OutputBitpix) ? s.OutputBitpix : 16;
}

RowEncoding ActiveEncoding(const ImageState& s) {
  if (s.CompressPrevPixel) return RowEncoding::PrevPixel;
  if (s.CompressProfVar) return RowEncoding::ProfVar;
  return RowEncoding::Plain;
}

// First row: geometry, sample type, file and header.
void StartOutput(Conversion& cv, unsigned width, unsigned binX, unsigned binY, unsigned row) {
  ImageState& s = cv.State;
  s.OutWidth = static_cast<uint16_t>(width / binX);
  s.OutHeight = static_cast<uint16_t>(s.ImageHeight / binY);
  s.OutputBitpix = ChooseSampleCode(s, binX, binY);

  // The extension and the flags left standing always name the same encoding.
  std::string_view extension = "fit";
  if (s.CompressPrevPixel && s.OutputBitpix == 16) {
    extension = "fip";
    s.CompressProfVar = 0;
  } else if (s.CompressProfVar && (s.OutputBitpix == 8 || s.OutputBitpix == 16)) {
    extension = "fiv";
    s.CompressPrevPixel = 0;
  } else {
    s.CompressPrevPixel = 0;
    s.CompressProfVar = 0;
  }
  const RowEncoding encoding = ActiveEncoding(s);

  cv.Spool.Reset();
  cv.Checksum = DataChecksum{};
  cv.Checksum.Active = encoding == RowEncoding::Plain;
  OpenOutputFile(cv, extension);
  WriteHeader(cv, encoding);
  const int64_t headerEnd = cv.Output.Size();
  if (headerEnd < 0) StopOnWriteError(cv);
  s.HeaderBytes = static_cast<uint32_t>(headerEnd);

  // Anything but the bottom row first means rows must be placed: no zero
  // pre-fill of the data area, since every row lands at its own position and an
  // output left incomplete is removed; rows never delivered are zeroed at the end.
  s.RowsReversed = row != unsigned{s.ImageHeight} - 1u;
  if (s.RowsReversed && encoding != RowEncoding::Plain &&
      !cv.Spool.Open(cv.Output.Path(), s.OutWidth))
    StopOnWriteError(cv);
}

int64_t PlainRowBytes(const ImageState& s) {
  return int64_t{s.OutWidth} * BytesPerSample(s.OutputBitpix);
}

// File position of the plain output row `slot` rows from the top of the picture.
int64_t PlainRowPosition(const ImageState& s, unsigned slot) {
  return int64_t{s.HeaderBytes} + (int64_t{s.OutHeight} - 1 - slot) * PlainRowBytes(s);
}

void WriteGatheredRows(Conversion& cv) {
  const std::span<const uint8_t> stretch = cv.Spool.Gathered();
  if (stretch.empty()) return;
  SeekOutput(cv, cv.Spool.GatheredAt());
  WriteOutput(cv, stretch.data(), stretch.size());
  NoteDataBytes(cv, stretch, cv.Spool.GatheredAt());
  cv.Spool.ClearGathered();
}

// Plain rows are encoded straight into the gathering buffer; each stretch of
// adjacent rows is written at once.
void PutPlainRow(Conversion& cv, std::span<const uint16_t> out, int64_t position, bool downward) {
  const auto n = static_cast<std::size_t>(PlainRowBytes(cv.State));
  if (n == 0) return;
  std::span<uint8_t> place = cv.Spool.Gather(position, n, downward);
  if (place.empty()) {
    WriteGatheredRows(cv);
    place = cv.Spool.Gather(position, n, downward);
  }
  EncodePlainRow(out, cv.State.OutputBitpix, place);
}

void EncodeCompressedRow(Conversion& cv, std::span<const uint16_t> out) {
  if (cv.State.CompressPrevPixel)
    WritePrevPixelRow(cv, out);
  else
    WriteProfVarRow(cv, out);
}

// A completed output row; `slot` counts output rows from the top of the picture,
// `done` the output rows completed so far, this one included.
void EmitRow(Conversion& cv, std::span<const uint16_t> out, unsigned slot, unsigned done) {
  ImageState& s = cv.State;
  const bool plain = ActiveEncoding(s) == RowEncoding::Plain;
  if (!s.RowsReversed) {
    if (plain)
      PutPlainRow(cv, out, int64_t{s.HeaderBytes} + int64_t{done - 1} * PlainRowBytes(s), false);
    else
      EncodeCompressedRow(cv, out);
    return;
  }
  // A row index outside the image has no place in the file.
  if (slot >= s.OutHeight) return;
  const auto at = static_cast<uint16_t>(slot);
  if (plain)
    PutPlainRow(cv, out, PlainRowPosition(s, slot), true);
  else if (!cv.Spool.Put(at, out))
    StopOnWriteError(cv);
  cv.Spool.MarkWritten(at);
}

void FinishOutput(Conversion& cv) {
  ImageState& s = cv.State;
  if (s.RowsReversed) {
    const std::span<uint16_t> out(cv.BinnedRow.data(), s.OutWidth);
    if (ActiveEncoding(s) == RowEncoding::Plain) {
      // Rows never delivered read back as 0.
      std::fill(out.begin(), out.end(), uint16_t{0});
      for (unsigned slot = 0; slot < s.OutHeight; ++slot)
        if (!cv.Spool.Written(static_cast<uint16_t>(slot)))
          PutPlainRow(cv, out, PlainRowPosition(s, slot), true);
    } else {
      for (unsigned slot = s.OutHeight; slot-- > 0;) {
        if (!cv.Spool.Get(static_cast<uint16_t>(slot), out)) StopOnWriteError(cv);
        EncodeCompressedRow(cv, out);
      }
    }
  }
  WriteGatheredRows(cv);
  cv.Spool.Reset();
  PadDataSection(cv);
  CloseOutputFile(cv);
  s.OutputCompleted = 1;
}

} // namespace

void PrepareOutput(Conversion& cv) {
  // The row blocks hold MaxRowSamples samples; a wider row cannot be handled.
  if (cv.State.ImageWidth > MaxRowSamples) {
    Say(cv, "Image trop large : plus de 30000 pixels par ligne");
    Finish(cv, true);
  }
}

void WriteOutputRow(Conversion& cv, uint16_t row) {
  ImageState& s = cv.State;
  // Calls beyond the declared height (the file is finished) are ignored.
  if (s.RowsReceived >= s.ImageHeight) return;
  const unsigned width = std::min<unsigned>(s.ImageWidth, MaxRowSamples);
  const std::span<uint16_t> in(cv.RowBuffer.data(), width);

  if (s.RowParityKeep[row & 1u] == 0) std::fill(in.begin(), in.end(), uint16_t{0});
  if (s.MirrorX) std::reverse(in.begin(), in.end());
  unsigned index = row;
  if (s.FlipY && index < s.ImageHeight) index = s.ImageHeight - 1u - index;

  if (s.BinX == 0 && s.BinY == 0) return;
  // A single factor of 0 would divide by zero; like the options stage, take the other one.
  const unsigned binX = s.BinX ? s.BinX : s.BinY;
  const unsigned binY = s.BinY ? s.BinY : s.BinX;

  if (s.RowsReceived == 0) StartOutput(cv, width, binX, binY, index);

  std::span<const uint16_t> out;
  if (binX == 1 && binY == 1) {
    out = in.first(s.OutWidth);
  } else {
    const std::span<uint16_t> binned(cv.BinnedRow.data(), s.OutWidth);
    if (s.RowsReceived % binY == 0) std::fill(binned.begin(), binned.end(), uint16_t{0});
    const uint16_t* p = in.data();
    for (uint16_t& sum : binned) {
      unsigned total = sum;
      for (unsigned k = 0; k < binX; ++k) total += *p++;
      sum = static_cast<uint16_t>(total); // binned sums wrap modulo 65536
    }
    out = binned;
  }

  ++s.RowsReceived;
  if (s.RowsReceived % binY == 0) EmitRow(cv, out, index / binY, s.RowsReceived / binY);
  // The last call finishes the file even when it leaves an incomplete group.
  if (s.RowsReceived >= s.ImageHeight) FinishOutput(cv);
}

} // namespace korv
