// Pentax compressed raw data (compression 65535): the code table from the
// maker note, the Huffman-coded differences from the strip offset.
#include <array>
#include <memory>
#include <string>

#include "core/conversion.h"
#include "core/stop.h"
#include "readers/tiff/pentax_huffman.h"
#include "readers/tiff/tiff_hooks.h"
#include "readers/tiff/vendor_raw.h"

namespace korv {

namespace {

void ListTable(Conversion& cv, const PentaxCodeTable& table) {
  Say(cv, "Pro=" + std::to_string(table.Count));
  std::string codes = "Bi0=", lengths = "Bi1=";
  for (unsigned c = 0; c < table.Count; ++c) {
    codes += std::to_string(table.Code[c]) + " ";
    lengths += std::to_string(table.Length[c]) + " ";
  }
  Say(cv, codes);
  Say(cv, lengths);
}

} // namespace

void ReadPentaxRaw(TiffReader& t) {
  Conversion& cv = t.cv;
  Say(cv, "Pentax-K en construction");
  // Without the maker note's table the data cannot be read.
  if (t.PentaxTablePos == 0) Stop(cv, "Compression pas support\u00e9e : table de Huffman absente");
  std::array<uint8_t, PentaxTableBytes> bytes{};
  t.file.ReadAt(t.PentaxTablePos,
                std::span<uint8_t>(bytes.data(), std::min<std::size_t>(bytes.size(), t.PentaxTableLength)));
  const auto table = std::make_unique<PentaxCodeTable>();
  const bool usable = ReadPentaxCodeTable(bytes, t.file.BigEndian(), *table);
  ListTable(cv, *table);
  if (!usable) Stop(cv, "Compression pas support\u00e9e : table de Huffman vide");

  const uint64_t start = t.Base + t.StripOrigin;
  CheckDataPresent(t, start);
  CheckDataSize(t, BytesFrom(t, start), table->ShortestLength);
  cv.State.DetectorBits = t.BitsPerSample[0];
  PrepareOutput(cv);
  PentaxHuffmanDecoder dec;
  dec.Start(FileReads(t, start), BytesFrom(t, start), *table);
  DeliverDecodedRows(t, dec);
}

} // namespace korv
