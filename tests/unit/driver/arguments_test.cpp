#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/byte_reader.h"
#include "core/conversion.h"
#include "core/stop.h"
#include "driver/arguments.h"
#include "tests/test_support.h"

namespace korv {
namespace {

struct ArgCase {
  std::vector<std::string> raw; // without the program path
  std::vector<std::string> logical;
};

TEST(Arguments, QuotesMergeRawArguments) {
  const std::vector<ArgCase> cases = {
      {{"a", "\"b", "c\"", "d"}, {"a", "b c", "d"}},
      {{"\"my", "image.fit\"", "Z2"}, {"my image.fit", "Z2"}},
      {{"\"one word\""}, {"one word"}},
      {{"\"a", "b", "c"}, {"a b c"}},     // never closed: the rest is merged
      {{"x.fit", "", ""}, {"x.fit"}},     // trailing empty arguments do not count
      {{"", "x.fit"}, {"", "x.fit"}},     // an empty argument before others does
      {{"ab\"", "c"}, {"ab", "c"}},       // a closing quote alone is dropped
      {{"a\"b", "c"}, {"a\"b", "c"}},     // a quote inside is kept
      {{}, {}},
  };
  for (const ArgCase& c : cases) {
    std::vector<std::string> args = {"korvalix"};
    args.insert(args.end(), c.raw.begin(), c.raw.end());
    std::ostringstream out;
    auto cv = test::MakeConversion(args, out);
    SCOPED_TRACE(testing::PrintToString(c.raw));
    ASSERT_EQ(ArgumentCount(*cv), c.logical.size());
    for (std::size_t i = 0; i < c.logical.size(); ++i)
      EXPECT_EQ(GetArgument(*cv, static_cast<unsigned>(i + 1)).str(), c.logical[i]);
    EXPECT_EQ(GetArgument(*cv, static_cast<unsigned>(c.logical.size() + 1)).str(), "");
    EXPECT_EQ(GetArgument(*cv, 0).str(), "korvalix");
  }
}

TEST(Arguments, LongArgumentIsCutAt255Bytes) {
  std::ostringstream out;
  auto cv = test::MakeConversion({"korvalix", std::string(400, 'a')}, out);
  EXPECT_EQ(GetArgument(*cv, 1).size(), 255u);
}

TEST(Arguments, PathForms) {
  struct Case {
    unsigned mode;
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {0, "a//b\\c", "a|b|c"},
      {0, "/tmp/dir.old/Name", "|tmp|dir.old|Name"},
      {0, "a||b", "a|b"},
      {0, "a\\\\\\b", "a|b"},
      {1, "A|B.FIT", "a\\b.fit"},
      {2, "a\\b|c", "a/b/c"},
      {3, "A|B.FIT", "A/B.FIT"}, // letter case kept: the named file is the one opened
      {3, "|tmp|x\\y.fit", "/tmp/x/y.fit"},
      {7, "a|b", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.mode << " " << c.in);
    EXPECT_EQ(NormalizePath(c.mode, c.in).str(), c.out);
  }
}

TEST(Arguments, OpenInputUsesTheStoredPathAndResetsTheReader) {
  test::ScratchDir dir;
  std::filesystem::create_directory("Sub.Dir");
  test::WriteFile("Sub.Dir/M51.Fit", "XY");
  std::ostringstream out;
  auto cv = test::MakeConversion({"korvalix"}, out);
  cv->Reader.AtEnd = 1;
  cv->State.InputFilePath = "Sub.Dir|M51.Fit";
  ASSERT_TRUE(OpenInput(*cv));
  EXPECT_EQ(cv->State.LastIoResult, 0);
  EXPECT_EQ(ReadByte(*cv), 'X');
  EXPECT_EQ(ReadByte(*cv), 'Y');
  EXPECT_EQ(ReadByte(*cv), 0);
  EXPECT_TRUE(ByteReaderAtEnd(*cv));

  // Another letter case is another name here; a directory cannot be read.
  for (const char* name : {"Sub.Dir|m51.fit", "Sub.Dir"}) {
    SCOPED_TRACE(name);
    out.str("");
    cv->State.InputFilePath = name;
    EXPECT_THROW(OpenInput(*cv), StopRun);
    EXPECT_NE(cv->State.LastIoResult, 0);
    EXPECT_EQ(out.str().substr(0, out.str().find('\n')),
              std::string("Lecture impossible : ") + name);
  }
}

} // namespace
} // namespace korv
