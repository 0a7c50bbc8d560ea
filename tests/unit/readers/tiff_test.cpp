// The TIFF-family reader through whole runs on files built here: which
// directory is converted, what each directory starts from, the sample layouts
// of the unpack modes, the colour-filter cells, the MRW container, and the
// stops and zero fill on damaged files.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/unit/readers/raster_run.h"

namespace korv {
namespace {

using test::ConvertFile;
using test::ReadFitsImage;
using test::ScratchDir;

constexpr uint32_t DataOffset = 0xFFFFFFF0; // tag value replaced by the offset of the data
constexpr uint32_t SubOffsets = 0xFFFFFFF1; // replaced by the offsets of the sub-directories

struct Entry {
  uint16_t Tag;
  uint16_t Type;
  std::vector<uint32_t> Values;
};

struct Ifd {
  std::vector<Entry> Entries;
  std::string Data;
  std::vector<Ifd> Subs;
};

// Lays out a TIFF file: header, then each directory after its data and its
// sub-directories; a directory's values that do not fit in the entry follow it.
class TiffWriter {
public:
  explicit TiffWriter(bool big) : big_(big) {
    out_ = big ? std::string("MM\0\x2a", 4) : std::string("II\x2a\0", 4);
    out_.append(4, '\0');
  }

  std::string Build(const std::vector<Ifd>& chain) {
    uint32_t next = 0;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) next = Write(*it, next);
    Put(4, next, 4);
    return out_;
  }

  void Put(std::size_t at, uint32_t v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
      const unsigned shift = big_ ? 8 * (n - 1 - i) : 8 * i;
      out_[at + i] = static_cast<char>((v >> shift) & 0xFF);
    }
  }

private:
  void Append(uint32_t v, unsigned n) {
    out_.append(n, '\0');
    Put(out_.size() - n, v, n);
  }
  static unsigned Size(uint16_t type) { return type == 3 ? 2 : type == 4 ? 4 : 1; }

  uint32_t Write(const Ifd& ifd, uint32_t next) {
    std::vector<uint32_t> subs;
    for (const Ifd& s : ifd.Subs) subs.push_back(Write(s, 0));
    const auto dataAt = static_cast<uint32_t>(out_.size());
    out_ += ifd.Data;
    if (out_.size() & 1) out_.push_back('\0');
    std::vector<Entry> entries = ifd.Entries;
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.Tag < b.Tag; });
    for (Entry& e : entries) {
      if (e.Values == std::vector<uint32_t>{DataOffset}) e.Values = {dataAt};
      if (e.Values == std::vector<uint32_t>{SubOffsets}) e.Values = subs;
    }
    const auto at = static_cast<uint32_t>(out_.size());
    uint32_t extra = at + 2 + 12 * static_cast<uint32_t>(entries.size()) + 4;
    std::string tail;
    Append(static_cast<uint32_t>(entries.size()), 2);
    for (const Entry& e : entries) {
      Append(e.Tag, 2);
      Append(e.Type, 2);
      Append(static_cast<uint32_t>(e.Values.size()), 4);
      const unsigned n = Size(e.Type);
      const std::size_t bytes = n * e.Values.size();
      std::string values;
      std::swap(values, out_);
      for (uint32_t v : e.Values) Append(v, n);
      std::swap(values, out_);
      if (bytes <= 4) {
        values.resize(4, '\0');
        out_ += values;
      } else {
        Append(extra, 4);
        if (values.size() & 1) values.push_back('\0');
        tail += values;
        extra += static_cast<uint32_t>(values.size());
      }
    }
    Append(next, 4);
    out_ += tail;
    return at;
  }

  bool big_;
  std::string out_;
};

std::string Bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s.push_back(static_cast<char>(b));
  return s;
}

// A one-strip grey or colour image directory.
Ifd Image(uint32_t w, uint32_t h, std::vector<uint32_t> bits, uint32_t photometric,
          const std::string& data, std::vector<Entry> more = {}) {
  Ifd d;
  d.Data = data;
  d.Entries = {{256, 4, {w}},
               {257, 4, {h}},
               {258, 3, bits},
               {259, 3, {1}},
               {262, 3, {photometric}},
               {273, 4, {DataOffset}},
               {277, 3, {static_cast<uint32_t>(bits.size())}},
               {278, 4, {h}},
               {279, 4, {static_cast<uint32_t>(data.size())}}};
  for (Entry& e : more) {
    auto same = std::find_if(d.Entries.begin(), d.Entries.end(),
                             [&](const Entry& x) { return x.Tag == e.Tag; });
    if (same != d.Entries.end())
      *same = e;
    else
      d.Entries.push_back(e);
  }
  return d;
}

std::string Tiff(const std::vector<Ifd>& chain, bool big = false) {
  return TiffWriter(big).Build(chain);
}

std::vector<int64_t> Values(const std::string& fit) { return ReadFitsImage(fit).Values; }

TEST(TiffWalk, DefaultImageFollowsTheExtensionAndTheImageNumberOverridesIt) {
  ScratchDir dir;
  // Four directories, each a 1x1 image of its own number.
  std::vector<Ifd> chain;
  for (int k = 1; k <= 4; ++k) chain.push_back(Image(1, 1, {8}, 1, Bytes({10 * k})));
  const std::string file = Tiff(chain);
  struct Case {
    std::string Name;
    std::vector<std::string> Options;
    int64_t Expected;
  };
  for (const Case& c : {Case{"a.cr2", {}, 40}, Case{"b.nef", {}, 30}, Case{"c.dng", {}, 20},
                        Case{"d.tif", {}, 10}, Case{"e.cr2,1", {}, 10}, Case{"f.cr2,-1", {}, 10},
                        Case{"g.tif,3", {}, 30}}) {
    SCOPED_TRACE(c.Name);
    const std::string name = c.Name.substr(0, c.Name.find(','));
    test::WriteFile(name, file);
    std::ostringstream out;
    auto cv = test::MakeConversion({"korvalix", c.Name}, out);
    ASSERT_EQ(RunConversion(*cv), 0) << out.str();
    const std::string fit = name.substr(0, name.find('.')) + ".fit";
    EXPECT_EQ(Values(fit), std::vector<int64_t>{c.Expected});
  }
  // An image number beyond the chain: a clear stop.
  test::WriteFile("h.tif", file);
  std::ostringstream out;
  auto cv = test::MakeConversion({"korvalix", "h.tif,9"}, out);
  EXPECT_EQ(RunConversion(*cv), 1);
  EXPECT_NE(out.str().find("Image 9 absente du fichier"), std::string::npos);

  // A DNG whose raw image is IFD0 (no sub-directory): without an image number
  // that directory, said so. A preview left alone, or any other raw kind, is
  // not taken for the raw image.
  const Ifd mosaic = Image(2, 1, {16}, 32803, Bytes({0x34, 0x12, 0x78, 0x56}),
                           {{50706, 1, {1, 4, 0, 0}}, {33422, 1, {0, 1, 1, 2}}});
  const Ifd preview = Image(1, 1, {8}, 1, Bytes({55}), {{50706, 1, {1, 4, 0, 0}}});
  const Ifd cr2Mosaic = Image(2, 1, {16}, 32803, Bytes({0x34, 0x12, 0x78, 0x56}));
  struct Fallback {
    std::string Name;
    Ifd Directory;
    bool Taken;
  };
  for (const Fallback& c : {Fallback{"i.dng", mosaic, true}, Fallback{"j.dng", preview, false},
                            Fallback{"k.cr2", cr2Mosaic, false}}) {
    SCOPED_TRACE(c.Name);
    test::WriteFile(c.Name, Tiff({c.Directory}));
    std::ostringstream said;
    auto run = test::MakeConversion({"korvalix", c.Name, "C1,1,1,1"}, said);
    const int status = RunConversion(*run);
    const std::string fit = c.Name.substr(0, 1) + ".fit";
    if (c.Taken) {
      ASSERT_EQ(status, 0) << said.str();
      EXPECT_NE(said.str().find("Image 2 absente du fichier : image 1"), std::string::npos) << said.str();
      EXPECT_EQ(Values(fit), (std::vector<int64_t>{0x1234, 0x5678}));
    } else {
      EXPECT_EQ(status, 1) << said.str();
      EXPECT_NE(said.str().find("absente du fichier"), std::string::npos) << said.str();
      EXPECT_FALSE(std::filesystem::exists(fit));
    }
  }
}

TEST(TiffWalk, SubDirectoryIsNumberedAfterItsParentAndStartsFromTheDefaults) {
  ScratchDir dir;
  // A DNG: an 8-bit RGB thumbnail with a 16-bit one-plane mosaic below it.
  Ifd thumb = Image(1, 1, {8, 8, 8}, 2, Bytes({1, 2, 3}), {{330, 4, {SubOffsets}}});
  std::string raw;
  for (int v : {1000, 2000, 3000, 4000}) raw += Bytes({v & 255, v >> 8});
  thumb.Subs.push_back(Image(2, 2, {16}, 32803, raw, {{33422, 1, {0, 1, 1, 2}}}));
  Ifd second = Image(1, 1, {8}, 1, Bytes({77}));
  const auto r = ConvertFile("s.dng", Tiff({thumb, second}), {"C1,1,1,1"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Mod=G")) << r.Console; // not bits 16,8,8
  // Top row 1000 2000, bottom row 3000 4000; FITS holds the bottom row first.
  EXPECT_EQ(Values("s.fit"), (std::vector<int64_t>{3000, 4000, 1000, 2000}));

  // The directory after the parent is number 3.
  test::WriteFile("t.dng", Tiff({thumb, second}));
  std::ostringstream out;
  auto cv = test::MakeConversion({"korvalix", "t.dng,3"}, out);
  ASSERT_EQ(RunConversion(*cv), 0) << out.str();
  EXPECT_EQ(Values("t.fit"), std::vector<int64_t>{77});
}

TEST(TiffWalk, HostileDirectoriesStopBeforeAnyOutput) {
  ScratchDir dir;
  const std::string good = Tiff({Image(2, 1, {8}, 1, Bytes({1, 2}))});
  struct Case {
    std::string Name;
    std::string File;
    std::string Message;
  };
  std::string pastEnd = good;
  pastEnd[4] = '\x70'; // first directory far beyond the end
  pastEnd[5] = '\x70';
  std::string loop = Tiff({Image(2, 1, {8}, 1, Bytes({1, 2}))});
  // The next-directory offset points back at the directory itself.
  const uint32_t first = static_cast<uint8_t>(loop[4]) | static_cast<uint8_t>(loop[5]) << 8;
  const uint32_t count = static_cast<uint8_t>(loop[first]);
  for (int i = 0; i < 4; ++i)
    loop[first + 2 + 12 * count + i] = static_cast<char>((first >> (8 * i)) & 0xFF);
  std::string badType = good;
  badType[first + 2 + 2] = '\x2C'; // first entry of type 300
  badType[first + 2 + 3] = '\x01';
  const std::string huge = Tiff({Image(30000, 60000, {16}, 1, std::string(60000, '\1'))});
  const std::string wide = Tiff({Image(30001, 1, {8}, 1, std::string(30001, '\1'))});
  const std::string noBits = Tiff({Image(1, 1, {0}, 1, Bytes({1}))});
  const std::string floats = Tiff({Image(1, 1, {32}, 1, Bytes({0, 0, 0x80, 0x3F}),
                                         {{339, 3, {3}}})});
  const std::string tiled = Tiff({Image(1, 1, {8}, 1, Bytes({1}), {{322, 3, {16}}})});
  const std::string ycc = Tiff({Image(1, 1, {8, 8, 8}, 6, Bytes({1, 2, 3}))});
  const std::string planar = Tiff({Image(1, 1, {8, 8, 8}, 2, Bytes({1, 2, 3}), {{284, 3, {2}}})});
  Ifd stripless = Image(1, 1, {8}, 1, Bytes({1}));
  stripless.Entries.erase(stripless.Entries.begin() + 5); // the strip offsets
  for (const Case& c : {Case{"a.tif", pastEnd, "R\u00e9pertoire hors du fichier"},
                        Case{"b.cr2", loop, "Image 4 absente du fichier"},
                        Case{"c.tif", badType, "Type d'entr\u00e9e incorrect : 300"},
                        Case{"d.tif", huge, "Fichier tronqu\u00e9"},
                        Case{"e.tif", wide, "Taille d'image incorrecte : 30001 x 1"},
                        Case{"f.tif", noBits, "Rien de d\u00e9codable"},
                        Case{"g.tif", floats, "Valeurs flottantes pas support\u00e9es"},
                        Case{"h.tif", tiled, "Image en tuiles pas support\u00e9e"},
                        Case{"i.tif", ycc, "YCbCr sous-\u00e9chantillonn\u00e9 pas support\u00e9"},
                        Case{"j.tif", planar, "Seulement plan unique"},
                        Case{"k.tif", Tiff({stripless}), "Origines des bandes absentes"}}) {
    SCOPED_TRACE(c.Name);
    const auto r = ConvertFile(c.Name, c.File);
    EXPECT_EQ(r.Status, 1) << r.Console;
    EXPECT_NE(r.Console.find(c.Message), std::string::npos) << r.Console;
    EXPECT_FALSE(std::filesystem::exists(c.Name.substr(0, 1) + ".fit"));
  }
  const auto r = ConvertFile("pe.tif", pastEnd);
  EXPECT_NE(r.Console.find("Fdo=28784\n"), std::string::npos) << r.Console;
  // The widest row is accepted.
  EXPECT_EQ(ConvertFile("w.tif", Tiff({Image(30000, 1, {8}, 1, std::string(30000, '\1'))})).Status,
            0);
}

TEST(TiffSamples, GreyPaletteAndPackedLayouts) {
  ScratchDir dir;
  struct Case {
    std::string Name;
    std::string File;
    std::vector<int64_t> Expected; // top row first
  };
  // 16-bit palette of 65536 colours per channel: each array at its own place.
  std::vector<uint32_t> map(3 * 65536, 0);
  map[5] = 1000;               // red of colour 5
  map[65536 + 5] = 2000;       // green
  map[2 * 65536 + 5] = 3000;   // blue
  map[65536 + 7] = 10000;      // green of colour 7
  map[65536 + 40000] = 20000;  // green of colour 40000, far past 8192 entries
  const std::string palette16 = Tiff(
      {Image(3, 1, {16}, 3, Bytes({5, 0, 7, 0, 0x40, 0x9C}), {{320, 3, map}})});
  const std::string palette2 = Tiff({Image(5, 1, {2}, 3, Bytes({0x1B, 0xC0}),
                                           {{320, 3, {0, 100, 200, 300, 0, 100, 200, 300,
                                                      0, 100, 200, 300}}})});
  // Odd widths: every row starts on a byte boundary.
  const std::string twelve = Tiff({Image(3, 2, {12}, 1,
                                         Bytes({0x12, 0x34, 0x56, 0x78, 0x9A,
                                                0xFE, 0xDC, 0xBA, 0x98, 0x76}))});
  const std::string ten = Tiff({Image(3, 2, {10}, 1,
                                      Bytes({0xFF, 0xC0, 0x00, 0x04, 0xFF, 0xC0, 0x00, 0x04}))});
  const std::string bilevel = Tiff({Image(10, 1, {1}, 0, Bytes({0xA0, 0x40}))});
  const std::string white8 = Tiff({Image(3, 1, {8}, 0, Bytes({0, 100, 255}))});
  const std::string cmyk = Tiff({Image(1, 1, {8, 8, 8, 8}, 5, Bytes({0, 255, 0, 0}))});
  const std::string ycc = Tiff({Image(1, 1, {8, 8, 8}, 6, Bytes({100, 128, 128}),
                                      {{530, 3, {1, 1}}})});
  for (const Case& c : {
           Case{"p16.tif", palette16, {1000 * 299 / 1000 + 2000 * 587 / 1000 + 342, 5870, 11740}},
           Case{"p2.tif", palette2, {0, 100, 200, 300, 300}},
           Case{"x12.tif", twelve, {0x123, 0x456, 0x789, 0xFED, 0xCBA, 0x987}},
           Case{"x10.tif", ten, {1023, 0, 1, 1023, 0, 1}},
           Case{"b1.tif", bilevel, {0, 255, 0, 255, 255, 255, 255, 255, 255, 0}},
           Case{"w8.tif", white8, {255, 155, 0}},
           Case{"k.tif", cmyk, {26855}},
           Case{"y.tif", ycc, {100}}}) {
    SCOPED_TRACE(c.Name);
    const auto r = ConvertFile(c.Name, c.File);
    ASSERT_EQ(r.Status, 0) << r.Console;
    const auto img = ReadFitsImage(c.Name.substr(0, c.Name.find('.')) + ".fit");
    std::vector<int64_t> top;
    for (long y = 0; y < img.Height; ++y)
      for (long x = 0; x < img.Width; ++x) top.push_back(img.Top(y, x));
    EXPECT_EQ(top, c.Expected) << r.Console;
  }
}

// Entries of a text tag.
std::vector<uint32_t> Ascii(const std::string& text) {
  std::vector<uint32_t> v(text.begin(), text.end());
  v.push_back(0);
  return v;
}

TEST(TiffSamples, RawBitStreamModes) {
  ScratchDir dir;
  struct Case {
    std::string Name; // file name with the image number
    Ifd Directory;
    std::string Mode;
    std::vector<int64_t> Expected;
  };
  const std::vector<Case> cases = {
      // 14 bits in little-endian 16-bit units, the high bits ignored.
      {"y14.tif", Image(2, 1, {14}, 1, Bytes({0xFF, 0xFF, 0x34, 0x12}), {{259, 3, {32769}}}),
       "Y", {0x3FFF, 0x1234}},
      // 12 bits, three bytes per two samples, low nibble first.
      {"nx.srw,1",
       Image(2, 1, {12}, 32803, Bytes({0x23, 0x41, 0x56}), {{272, 2, Ascii("NX20")}}), "y",
       {0x123, 0x564}},
      // 14-bit words in the file's byte order.
      {"n14.nef,1",
       Image(2, 1, {14}, 32803, Bytes({0x34, 0x12, 0xFF, 0x3F}),
             {{271, 2, Ascii("NIKON CORPORATION")}, {272, 2, Ascii("NIKON D810")}}),
       "#", {0x1234, 0x3FFF}},
      // 12 bits from 32-bit accumulators, most significant bit first.
      {"p340.nrw,1",
       Image(4, 1, {16}, 32803, Bytes({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0, 0}),
             {{271, 2, Ascii("NIKON")}, {272, 2, Ascii("COOLPIX P340")}}),
       "^", {0x123, 0x456, 0x789, 0xABC}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string name = c.Name.substr(0, c.Name.find(','));
    test::WriteFile(name, Tiff({c.Directory}));
    std::ostringstream out;
    auto cv = test::MakeConversion({"korvalix", c.Name, "C1,1,1,1"}, out);
    ASSERT_EQ(RunConversion(*cv), 0) << out.str();
    EXPECT_NE(out.str().find("Mod=" + c.Mode + "\n"), std::string::npos) << out.str();
    EXPECT_EQ(Values(name.substr(0, name.find('.')) + ".fit"), c.Expected);
  }
}

TEST(TiffSamples, LzwPackBitsAndPredictorOverStrips) {
  ScratchDir dir;
  // Two strips of one row: LZW "clear, 1, 2, 3, end" with the predictor
  // (differences 1,1,1 give 1,2,3); PackBits of a repeat of 200.
  const std::string lzwRow = Bytes({0x80, 0x00, 0x40, 0x20, 0x18, 0x08}); // codes 256,1,1,1,257
  std::string data = lzwRow;
  Ifd d = Image(3, 2, {8}, 1, data + lzwRow,
                {{259, 3, {5}}, {278, 4, {1}}, {317, 3, {2}},
                 {273, 4, {8, 8 + static_cast<uint32_t>(lzwRow.size())}},
                 {279, 4, {6, 6}}});
  // Strip offsets are absolute: the data sit right after the header.
  auto r = ConvertFile("l.tif", Tiff({d}));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(Values("l.fit"), (std::vector<int64_t>{1, 2, 3, 1, 2, 3}));

  Ifd p = Image(4, 1, {8}, 1, Bytes({0xFD, 200}), {{259, 3, {32773}}});
  r = ConvertFile("p.tif", Tiff({p}));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(Values("p.fit"), (std::vector<int64_t>{200, 200, 200, 200}));
}

TEST(TiffSamples, TruncatedStripReadsAsZerosAndIsRecorded) {
  ScratchDir dir;
  std::string file = Tiff({Image(4, 3, {8}, 1, Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}),
                                 {{278, 4, {1}},
                                  {273, 4, {8, 12, 0x7FFFFFF0}},
                                  {279, 4, {4, 4, 4}}})});
  const auto r = ConvertFile("t.tif", file);
  ASSERT_EQ(r.Status, 3) << r.Console; // converted, and said to be truncated
  EXPECT_EQ(Values("t.fit"), (std::vector<int64_t>{0, 0, 0, 0, 5, 6, 7, 8, 1, 2, 3, 4}));
  EXPECT_EQ(r.Truncated.Missing, 1u);
  EXPECT_EQ(r.Truncated.Total, 3u);
}

TEST(TiffMosaic, CellFactorsOnlyForMosaicsAndInTheLayoutsOrder) {
  ScratchDir dir;
  // A plain grey image keeps its samples: no cell weights.
  auto r = ConvertFile("g.tif", Tiff({Image(2, 2, {8}, 1, Bytes({100, 100, 100, 100}))}));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(r.Console.find("Cco="), std::string::npos);
  EXPECT_EQ(Values("g.fit"), (std::vector<int64_t>{100, 100, 100, 100}));

  struct Case {
    std::vector<uint32_t> Pattern; // TIFF/EP colours of the 2x2 cell
    std::string Cells;             // our cell codes
  };
  for (const Case& c : {Case{{0, 1, 1, 2}, "1,2,2,3"}, Case{{2, 1, 1, 0}, "3,2,2,1"},
                        Case{{1, 0, 2, 1}, "2,1,3,2"}, Case{{1, 2, 0, 1}, "2,3,1,2"}}) {
    SCOPED_TRACE(c.Cells);
    std::string raw;
    for (int i = 0; i < 4; ++i) raw += Bytes({0x10, 0x27}); // 10000
    Ifd d = Image(2, 2, {16}, 32803, raw, {{33422, 1, c.Pattern}, {33421, 3, {2, 2}}});
    r = ConvertFile("m.tif", Tiff({d}), {"Z1,1"});
    ASSERT_EQ(r.Status, 0) << r.Console;
    EXPECT_TRUE(r.Has("Pav=" + c.Cells)) << r.Console;
    const auto img = ReadFitsImage("m.fit");
    const auto weight = [](char cell) {
      return cell == '1' ? 0.299f : cell == '2' ? 0.587f : 0.114f;
    };
    const std::string cells = {c.Cells[0], c.Cells[2], c.Cells[4], c.Cells[6]};
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 2; ++x)
        EXPECT_EQ(img.Top(y, x), static_cast<int64_t>(std::llround(10000 * weight(cells[2 * y + x]))));
    const std::string header = test::ReadFile("m.fit").substr(0, 2880 * 4);
    EXPECT_NE(header.find("DETECCFA= '" + cells + "'"), std::string::npos);
    std::filesystem::remove("m.fit");
  }
}

TEST(TiffContainers, MrwGeometryComesFromItsPrdBlock) {
  ScratchDir dir;
  // The TIFF inside TTW says 1 x 1; PRD says 4 x 2 at 12 bits.
  Ifd inner;
  inner.Entries = {{256, 4, {1}}, {257, 4, {1}}, {271, 2, {'M', 0}}};
  const std::string tiff = Tiff({inner}, true);
  std::string prd(24 + 8, '\0');
  prd.replace(0, 4, std::string("\0PRD", 4));
  prd[7] = 24;
  prd[17] = 2;  // height, big-endian at block + 16
  prd[19] = 4;  // width at block + 18
  prd[24] = 12; // bits at block + 24
  std::string ttw = std::string("\0TTW", 4) + std::string(4, '\0') + tiff;
  ttw[7] = static_cast<char>(tiff.size() & 0xFF);
  ttw[6] = static_cast<char>(tiff.size() >> 8);
  std::string body = prd + ttw;
  std::string file = std::string("\0MRM", 4) + std::string(4, '\0') + body;
  const uint32_t length = static_cast<uint32_t>(body.size());
  file[6] = static_cast<char>(length >> 8);
  file[7] = static_cast<char>(length & 0xFF);
  // Pixels right after the blocks: 4 x 2 samples of 12 bits.
  file += Bytes({0x00, 0x10, 0x02, 0x00, 0x30, 0x04, 0xFF, 0xF0, 0x00, 0x80, 0x08, 0x00});
  const auto r = ConvertFile("c.mrw", file, {"C1,1,1,1"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Mod=x")) << r.Console;
  const auto img = ReadFitsImage("c.fit");
  ASSERT_EQ(img.Width, 4);
  ASSERT_EQ(img.Height, 2);
  EXPECT_EQ(img.Row(0), (std::vector<int64_t>{1, 2, 3, 4}));
  EXPECT_EQ(img.Row(1), (std::vector<int64_t>{4095, 0, 2048, 2048}));
}

} // namespace
} // namespace korv
