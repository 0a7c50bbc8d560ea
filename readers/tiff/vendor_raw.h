// Checks and inputs shared by the raw decoders of the TIFF family: how much of
// the data an image needs the file holds, the record of what it lacks, and the
// file seen as a compressed stream from a given position.
#pragma once

#include <cstdint>

#include "core/conversion.h"
#include "core/truncation.h"
#include "output/row_pipeline.h"
#include "readers/tiff/block_feed.h"
#include "readers/tiff/tiff_container.h"

namespace korv {

// Positioned reads of the file from absolute position `start` on.
BlockReadAt FileReads(TiffReader& t, uint64_t start);
// Bytes of the file from absolute position `start` to its end.
uint64_t BytesFrom(const TiffReader& t, uint64_t start);
// A raw file whose image data were stripped (metadata samples) holds not one
// byte of them: stops with "Pas de donn\u00e9es d'image dans le fichier".
void CheckDataPresent(TiffReader& t, uint64_t start);
// A coded stream of `bytes` whose samples take at least minBits bits each:
// refuses the geometry when the file cannot hold half of its samples even at
// the shortest code (stripped data: "Pas de donn\u00e9es d'image dans le
// fichier"), or when the zero-filled rest would pass the missing-data bound.
void CheckDataSize(TiffReader& t, uint64_t bytes, unsigned minBits);
// The same, given the samples the data can hold at most.
void CheckCodedSamples(TiffReader& t, uint64_t held, uint64_t samples);
// True when the sample finish leaves every value as it is (no gamma, unit
// factors): the rows then skip it.
bool FinishIsIdentity(const TiffReader& t);

// Rows of a stream decoder (DecodeRow, RanOut, FirstShortRow) through the
// sample finish to the output, then the record of the rows past the data.
template <class RowDecoder>
void DeliverDecodedRows(TiffReader& t, RowDecoder& dec) {
  const bool identity = FinishIsIdentity(t);
  for (uint32_t r = 0; r < t.ImageHeight; ++r) {
    std::span<uint16_t> row = t.cv.Row();
    dec.DecodeRow(row);
    if (!identity) {
      for (uint32_t x = 0; x < row.size(); ++x) row[x] = FinishSample(t, row[x], x, r);
    }
    WriteOutputRow(t.cv, static_cast<uint16_t>(r));
  }
  if (dec.RanOut()) {
    NoteMissingData(t.cv, t.ImageHeight - dec.FirstShortRow(), t.ImageHeight, MissingUnit::Rows);
  }
}

// Bytes of the `needed` data at absolute `origin` that the file holds. Stops
// the run ("Pas de donn\u00e9es d'image dans le fichier") when it holds less
// than half of them: files whose raw data were stripped, or whose offsets point
// into their header, are refused instead of read as an image. Also refuses a
// shortfall whose zero-filled output would pass the missing-data bound.
uint64_t CheckVendorData(TiffReader& t, uint64_t origin, uint64_t needed);

// After the rows: records the rows that came from data the file lacks.
void NoteVendorShortfall(TiffReader& t, uint64_t held, uint64_t needed);

// Refusal of a compression this reader does not decode.
[[noreturn]] void RefuseCompression(TiffReader& t);

} // namespace korv
