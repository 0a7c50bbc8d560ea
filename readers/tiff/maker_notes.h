// Maker notes that carry what the raw decoding or the header needs: Nikon's
// (ISO, focal length, pixel size, and the parameters of the compressed raw
// data: version, starting predictors, tone curve, split row), Pentax's (the
// code table of compressed data) and Canon's (sensor temperature).
#pragma once

#include <array>
#include <cstdint>

#include "readers/tiff/nef_huffman.h"
#include "readers/tiff/tiff_container.h"

namespace korv {

// Entries a maker-note walk lists at most (a damaged count cannot loop long).
constexpr unsigned MaxMakerNoteEntries = 1024;

// The tone curve of compressed NEF data: decoded values 0..16383 index it.
constexpr std::size_t NefCurveSize = 16384;

struct NikonRawInfo {
  bool Found = false;            // a Nikon maker note was found
  bool HasRawParameters = false; // its tag 0x96 was there
  uint8_t Version0 = 0, Version1 = 0; // first two bytes of the 0x96 data
  unsigned CompressionKind = 0;  // tag 0x93
  NefStreamParams Stream;
  unsigned CurvePoints = 0;      // as stored
  bool CurveValid = true;        // false when " invalide" was printed
  // Identity unless the maker note holds a curve.
  std::array<uint16_t, NefCurveSize> Curve{};
};

// Finds the Nikon maker note by scanning the file, lists its entries, stores
// ISO, focal length and pixel size (unless the options set them) and fills
// `info` for the decoder. `bits` is the bit depth of the raw image.
void ReadNikonMakerNote(TiffReader& t, unsigned bits, NikonRawInfo& info);

// Lists the Pentax maker note at t.MakerNoteOffset ("AOC\0" with offsets from
// the TIFF header, "PENTAX \0" with offsets from the note, or a bare directory)
// and keeps where its tag 0x220, the code table of compressed data, lies.
void ReadPentaxMakerNote(TiffReader& t);

// Lists the Canon maker note at t.MakerNoteOffset and takes the sensor
// temperature from its entry 4.
void ReadCanonMakerNote(TiffReader& t);

} // namespace korv
