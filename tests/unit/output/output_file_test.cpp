// Output file naming: the input's name, numbered names and their padding, the
// number taken from the input name, suffixes, overwriting on request only, the
// object name built from the input name, and the finished file's time.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>

#include "core/conversion.h"
#include "driver/run.h"
#include "output/output_file.h"
#include "tests/test_support.h"

namespace korv {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;

struct NamingRun {
  std::ostringstream out;
  std::unique_ptr<Conversion> cv = test::MakeConversion({"korvalix"}, out);
  ImageState& st = cv->State;

  explicit NamingRun(const char* input) { st.InputFilePath = input; }

  // Opens the output and returns the name printed after "Sor=".
  std::string Open(const char* extension = "fit") {
    OpenOutputFile(*cv, extension);
    const std::string text = out.str();
    const std::size_t at = text.rfind("Sor=");
    if (at == std::string::npos) return {};
    const std::size_t end = text.find('\n', at);
    return text.substr(at + 4, end - at - 4);
  }
};

std::string OpenName(const char* input, const char* extension = "fit") {
  NamingRun r(input);
  const std::string name = r.Open(extension);
  r.cv->Output.Close();
  return name;
}

TEST(OutputFile, NeverReplacesAnExistingFile) {
  ScratchDir dir;
  test::WriteFile("m51.cr2", "raw");
  EXPECT_EQ(OpenName("m51.cr2"), "m51.fit");
  test::WriteFile("m51.fit", "kept");
  EXPECT_EQ(OpenName("m51.cr2"), "korv0001.fit");
  EXPECT_EQ(OpenName("m51.cr2"), "korv0002.fit");
  test::WriteFile("img.fit", "input");
  EXPECT_EQ(OpenName("img.fit"), "korv0003.fit");  // converting img.fit: the input itself exists
  EXPECT_EQ(test::ReadFile("m51.fit"), "kept");

  // Overwriting is asked for explicitly.
  NamingRun over("m51.cr2");
  over.st.NamingMode = 2;
  EXPECT_EQ(over.Open(), "m51.fit");
  over.cv->Output.Close();
  EXPECT_EQ(fs::file_size("m51.fit"), 0u);

  // ... but never over the file being converted.
  NamingRun self("img.fit");
  self.st.NamingMode = 2;
  ASSERT_TRUE(self.cv->Input.Open("img.fit"));
  EXPECT_EQ(self.Open(), "korv0004.fit");
  EXPECT_EQ(test::ReadFile("img.fit"), "input");
}

TEST(OutputFile, NumberedNames) {
  ScratchDir dir;
  struct Case {
    const char* prefix;
    int32_t counter;
    const char* first;
    const char* second;
  };
  const Case cases[] = {
      {"abcd", 1, "abcd0001.fip", "abcd0002.fip"},
      {"x", 7, "x000007.fip", "x000008.fip"},
      {"@x", 1, "@x1.fip", "@x2.fip"},
      {"ab", 99999, "ab099999.fip", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix);
    for (const char* expected : {c.first, c.second}) {
      NamingRun r("sub|m51.cr2");
      r.st.NamingMode = 1;
      r.st.OutputPrefix = c.prefix;
      r.st.FileCounter = c.counter;
      if (*expected == 0) {
        // Every number up to 99999 is taken: the run stops without a file.
        EXPECT_THROW(r.Open("fip"), StopRun);
        EXPECT_FALSE(r.cv->Output.Created());
        continue;
      }
      EXPECT_EQ(r.Open("fip"), expected);
      EXPECT_TRUE(fs::exists(expected));  // in the current directory
    }
  }
}

TEST(OutputFile, NumberFromTheInputName) {
  ScratchDir dir;
  {
    NamingRun r("night_0123.raw");
    r.st.NamingMode = 3;
    r.st.NumberStart = -4;
    EXPECT_EQ(r.Open(), "korv0123.fit");
    EXPECT_EQ(r.st.FileCounter, 124);
  }
  {
    NamingRun r("night_0123.raw");  // searched from character 2
    r.st.NamingMode = 3;
    r.st.NumberStart = 2;
    r.st.OutputPrefix = "n";
    EXPECT_EQ(r.Open(), "n000123.fit");
  }
  {
    NamingRun r("night.raw");  // no digits: the input name
    r.st.NamingMode = 3;
    r.st.NumberStart = -4;
    EXPECT_EQ(r.Open(), "night.fit");
  }
}

TEST(OutputFile, SuffixAndDirectories) {
  ScratchDir dir;
  fs::create_directory("in.d");
  test::WriteFile("in.d/m51.cr2", "raw");
  {
    NamingRun r("in.d|m51.cr2");
    EXPECT_EQ(r.Open(), "in.d|m51.fit");
    EXPECT_TRUE(fs::exists("in.d/m51.fit"));
  }
  {
    NamingRun r("in.d|m51.cr2");
    r.st.NamingMode = 4;
    r.st.OutputPrefix = "_b";
    EXPECT_EQ(r.Open("fiv"), "in.d|m51_b.fiv");
  }
  {
    NamingRun r("in.d|m51.cr2");  // the suffixed name exists: stop, nothing replaced
    r.st.NamingMode = 4;
    r.st.OutputPrefix = "_b";
    EXPECT_THROW(r.Open("fiv"), StopRun);
    EXPECT_NE(r.out.str().find("m51_b.fiv"), std::string::npos);
  }
  {
    NamingRun r("no_such_dir|m51.cr2");  // cannot be created: a clear stop
    EXPECT_THROW(r.Open(), StopRun);
    EXPECT_NE(r.out.str().find("no_such_dir|m51.fit"), std::string::npos);
    EXPECT_EQ(r.out.str().find("Sor="), std::string::npos);
  }
  {
    NamingRun r("in.d|notes");  // a '.' in a directory is not an extension
    EXPECT_EQ(r.Open(), "in.d|notes.fit");
  }
}

TEST(OutputFile, ObjectNameFromTheInputName) {
  ScratchDir dir;
  struct Case {
    const char* input;
    const char* request;
    const char* object;
  };
  const Case cases[] = {
      {"2024-03-01_M_51.fit", "=2,-1", "03-01 M 51"},
      {"2024-03-01_M_51.fit", "=4", "M 51"},
      {"2024-03-01_M_51.fit", "=", "2024-03-01 M 51"},
      {"2024-03-01_M_51.fit", "@-2,-1,field", "M 51,field"},
      {"2024-03-01_M_51.fit", "=-2,-1,field", "M 51"},
      {"2024-03-01_M_51.fit", "@3,2,field", "field"},
      {"2024-03-01_M_51.fit", "=9,12", ""},
      {"dir|NGC891_L_300s.fits", "@_", "NGC891"},
      {"NGC891-L.fits", "@-,x", "NGC891"},
      {"NGC891.fits", "@_", "NGC891"},
      {"M 51.fit", "M 51", "M 51"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.input) + " " + c.request);
    NamingRun r(c.input);
    r.st.NamingMode = 1;
    r.st.ObjectName = c.request;
    r.Open();
    EXPECT_EQ(r.st.ObjectName, std::string_view(c.object));
  }
}

TEST(OutputFile, FinishedFileGetsTheInputTimePlusTwoSeconds) {
  ScratchDir dir;
  test::WriteFile("m51.cr2", "raw");
  const timespec input[2] = {{1700000000, 0}, {1700000058, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, "m51.cr2", input, 0), 0);

  NamingRun r("m51.cr2");
  ASSERT_TRUE(r.cv->Input.Open("m51.cr2"));
  EXPECT_EQ(r.Open(), "m51.fit");
  ASSERT_TRUE(r.cv->Output.IsOpen());
  CloseOutputFile(*r.cv);
  EXPECT_FALSE(r.cv->Output.IsOpen());
  EXPECT_EQ(r.st.OutputCompleted, 1);
  struct stat st {};
  ASSERT_EQ(::stat("m51.fit", &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1700000060);
}

} // namespace
} // namespace korv

namespace korv {
namespace {

std::string Card80(const std::string& text) {
  std::string c = text;
  c.resize(80, ' ');
  return c;
}

// A finished file of `cards` header cards (END included) and one data block.
std::string WriteFinished(Conversion& cv, unsigned cards) {
  std::string header;
  for (unsigned i = 1; i < cards; ++i) header += Card80("COMMENT   card " + std::to_string(i));
  header += Card80("END");
  header.resize((header.size() + 2879) / 2880 * 2880, ' ');
  std::string data(2880, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  EXPECT_TRUE(cv.Output.Create("f.fit", true));
  EXPECT_TRUE(cv.Output.Write(header.data(), header.size()));
  EXPECT_TRUE(cv.Output.Write(data.data(), data.size()));
  const timespec t{1000000000, 0};
  EXPECT_TRUE(cv.Output.SetModificationTime(t));
  EXPECT_TRUE(cv.Output.Close());
  cv.State.HeaderBytes = static_cast<uint32_t>(header.size());
  cv.State.OutputCompleted = 1;
  return data;
}

TEST(HeaderAppend, CardsGoBeforeEndInThePaddingOrInANewBlock) {
  // 10 cards leave room; 36 fill the block (a new one is needed); 35 leave one
  // slot, too few for END after two cards.
  for (const unsigned cards : {10u, 36u, 35u}) {
    SCOPED_TRACE(cards);
    ScratchDir dir;
    std::ostringstream out;
    auto cv = test::MakeConversion({"korvalix"}, out);
    const std::string data = WriteFinished(*cv, cards);
    const std::vector<std::string> added = {Card80("COMMENT   first"), "COMMENT   second"};
    AppendHeaderCards(*cv, added);
    EXPECT_EQ(cv->State.OutputCompleted, 1);
    const std::string file = test::ReadFile("f.fit");
    const std::size_t headerBytes = cards + 2 <= 36 ? 2880 : 5760;
    ASSERT_EQ(file.size(), headerBytes + 2880);
    EXPECT_EQ(cv->State.HeaderBytes, headerBytes);
    const std::size_t end = (cards - 1) * 80;
    EXPECT_EQ(file.substr(end - 80, 80), Card80("COMMENT   card " + std::to_string(cards - 1)));
    EXPECT_EQ(file.substr(end, 160), Card80("COMMENT   first") + Card80("COMMENT   second"));
    EXPECT_EQ(file.substr(end + 160, 80), Card80("END"));
    EXPECT_EQ(file.find_first_not_of(' ', end + 240), headerBytes);
    EXPECT_EQ(file.substr(headerBytes), data);
    struct stat st {};
    ASSERT_EQ(::stat("f.fit", &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
  }
}

} // namespace
} // namespace korv
