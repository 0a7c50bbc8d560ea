// Where the metadata interpretation, the compressed-raw decoders and the vendor
// unpackers plug into the TIFF-family reader. Each is one plain call made from
// one place of the reader (named below); all share TiffReader (tiff_container.h).
//
// How to plug in: implement the function in your own file of readers/tiff/
// (exif.cpp, lossless_jpeg.cpp, vendor_unpackers.cpp ...) and delete its interim
// definition from tiff_hooks_pending.cpp in the same commit. The interim
// definitions stop the run with a clear message (exit status 1) wherever the
// file needs what they stand for, so that no wrong image is ever delivered.
// Keep these declarations as they are; add new hooks at the end.
//
// Decoders that take over the image (DecodeLosslessJpeg and the Read* unpackers)
// fill cv.Row() with ImageWidth samples, pass raw samples through FinishSample,
// and call WriteOutputRow exactly ImageHeight times; each calls PrepareOutput
// itself once its data passed its checks. Input bytes come
// through t.file (checked positioned reads) or a TiffByteSource
// (tiff_byte_source.h); both read 0 past the end of the file.
#pragma once

#include "readers/tiff/tiff_container.h"

namespace korv {

// Directory walk, for every entry whose tag the container does not handle
// (text tags, EXIF and GPS pointers, EXIF values, DNG and Canon tags, and any
// other tag: label "? "). Appends the label and listed values to t.Line; the
// walk prints t.Line after the call. May change the wanted image, Decodable,
// the LookupTable (t.LookupFill), t.CanonSlices, the compression code.
void HandleMetadataTag(TiffReader& t, const TiffEntry& e);

// After the walk, first step: the EXIF sub-directory, the maker notes and the
// GPS directory (offsets in t), then the rules that follow them directly
// (Leica, Kodak DC120). Runs before the decodability and geometry check.
void ReadMetadataDirectories(TiffReader& t);

// After the geometry check: the model rules on the bit depth and the focal-plane
// pixel sizes.
void ApplyModelRules(TiffReader& t);

// Before "Pav=" is printed and the colour cells are set up: the rules that reset
// the CFA pattern, the compression code, the bits and the unpack mode (t.Mode).
void ApplyPatternRules(TiffReader& t);

// After the unpack-mode choice, for every file kind but plain TIFF: the maker
// refinements of the mode. Returns true when a vendor unpacker has decoded the
// whole image (the reader then ends).
bool ApplyMakerRefinements(TiffReader& t);

// Single-plane JPEG (internal code 3), 34712 and NEF (34713) data: decodes the
// whole image from t.StripOrigin / the strip table; calls PrepareOutput first.
void DecodeLosslessJpeg(TiffReader& t);

// Vendor unpackers: each checks the data the file holds, then calls
// PrepareOutput.
void ReadPanasonicRaw(TiffReader& t);
void ReadPentaxRaw(TiffReader& t);
void ReadKodakDc120(TiffReader& t);
void ReadLosslessLoco(TiffReader& t);

} // namespace korv
