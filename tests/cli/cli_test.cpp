// End-to-end runs of the built program: transcripts, exit status, files left.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/test_support.h"

namespace korv {
namespace {

const std::string Usage =
    "KORVALIX image[,[-]num]\n"
    "  [C[r,v,b,a]]|[R|V|B|A] [Zh,v] [Fz,s] [Ll] [=] [M[X][Y][-]] [+] [TW|TS|TL|TB] [Nn]\n"
    "  [H{D|M|F}[aaaammjj],[hh.mmssd],[s]] [Hs] [HO|HP|HQ|HR] [Ie,h,v,[W|S|L|B|Q],s]\n"
    "  [K[hh.mmssd],[\xC2\xB1\xC2\xB0\xC2\xB0.''\"\"],[focmm],[pixhmm],[pixvmm],[e/adu]]\n"
    "  [Mcccc[=]] [CPRP|CPVA] [Ebulle] [Ggam] [T0|T1] [PA] [EFFACE]\n";

// Runs the program in the current directory; `args` is shell text.
test::CommandResult Korvalix(const std::string& args) {
  return test::RunCommand("'" + test::ProgramPath() + "' " + args + " 2>&1");
}

// The two-line author notice: whatever follows the usage block of a bare run.
std::string AuthorNotice() {
  const test::CommandResult r = Korvalix("");
  if (r.Output.rfind(Usage, 0) != 0) return "<usage block missing>";
  return r.Output.substr(Usage.size());
}

TEST(Cli, NoArgumentsPrintsUsageThenNotice) {
  const test::CommandResult r = Korvalix("");
  EXPECT_EQ(r.Status, 0);
  ASSERT_EQ(r.Output.rfind(Usage, 0), 0u) << r.Output;
  const std::string notice = r.Output.substr(Usage.size());
  EXPECT_EQ(std::count(notice.begin(), notice.end(), '\n'), 2);
  EXPECT_NE(notice.find("KORVALIX"), std::string::npos);
  EXPECT_NE(notice.find("MIT"), std::string::npos);
}

TEST(Cli, UnknownExtensionFailsWithoutUsage) {
  test::ScratchDir dir;
  const test::CommandResult r = Korvalix("x.abc");
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Output, "Ent=x.abc\nTfi=0\nFormat inconnu : x.abc\n" + AuthorNotice());
}

TEST(Cli, FormatDetectionFromTheName) {
  test::ScratchDir dir;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"x.FIT", "Tfi=60"},          {"x.fit", "Tfi=60"},     {"x.Fit", "Tfi=60"},
      {"image.ps", "Tfi=81"},       {"image.surf", "Tfi=55"}, {"'x.abc,3,-5,6'", "Tfi=0"},
  };
  for (const auto& [arg, tag] : cases) {
    SCOPED_TRACE(arg);
    const test::CommandResult r = Korvalix(arg);
    EXPECT_NE(r.Output.find("\n" + tag + "\n"), std::string::npos) << r.Output;
    EXPECT_EQ(r.Status, 1); // none of these files exists
  }
}

TEST(Cli, ProbeForANameWithoutExtension) {
  test::ScratchDir dir;
  test::WriteFile("m.fit", "");
  test::WriteFile("m.fip", "");
  std::filesystem::create_directory("dir.old");
  test::WriteFile("dir.old/name.PGM", "");
  EXPECT_EQ(Korvalix("m").Output.rfind("Ent=m.fip\nTfi=61\n", 0), 0u);
  EXPECT_EQ(Korvalix("dir.old/name").Output.rfind("Ent=dir.old|name.PGM\nTfi=20\n", 0), 0u);
  EXPECT_EQ(Korvalix("nothing").Output.rfind("Ent=nothing.\nTfi=0\n", 0), 0u);
}

TEST(Cli, QuotedWordsFormOneArgument) {
  test::ScratchDir dir;
  // The shell passes the double quotes through; the program joins the words.
  const test::CommandResult r = Korvalix("'\"my' 'image.abc\"' Z2");
  EXPECT_EQ(r.Output.rfind("Ent=my image.abc\nTfi=0\n", 0), 0u) << r.Output;
  EXPECT_EQ(r.Status, 1);
}

// A small binary PGM: 3 x 2 pixels.
void WriteSmallPgm(const std::string& name) {
  test::WriteFile(name, std::string("P5\n3 2\n255\n") + std::string("\x01\x02\x03\x04\x05\x06", 6));
}

TEST(Cli, ConversionSucceedsAndEffaceRemovesTheInputAfterwards) {
  test::ScratchDir dir;
  WriteSmallPgm("small.pgm");
  const test::CommandResult r = Korvalix("small.pgm EFFACE");
  EXPECT_EQ(r.Status, 0) << r.Output;
  EXPECT_NE(r.Output.find(Usage), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists("small.fit"));
  EXPECT_FALSE(std::filesystem::exists("small.pgm"));
}

TEST(Cli, FailedConversionKeepsInputAndLeavesNoOutput) {
  test::ScratchDir dir;
  test::WriteFile("broken.pgm", "XX");
  const test::CommandResult r = Korvalix("broken.pgm EFFACE");
  EXPECT_EQ(r.Status, 1) << r.Output;
  EXPECT_EQ(r.Output.find("KORVALIX image"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists("broken.pgm"));
  EXPECT_FALSE(std::filesystem::exists("broken.fit"));
}

TEST(Cli, OutputLeftIncompleteByAFailedWriteIsRemoved) {
  test::ScratchDir dir;
  WriteSmallPgm("small.pgm");
  // A 2 KiB file size limit makes the first header block fail half written.
  const test::CommandResult r = test::RunCommand(
      "trap '' XFSZ; ulimit -f 2; '" + test::ProgramPath() + "' small.pgm EFFACE 2>&1");
  EXPECT_EQ(r.Status, 1) << r.Output;
  EXPECT_NE(r.Output.find("Sor=small.fit"), std::string::npos) << r.Output;
  EXPECT_FALSE(std::filesystem::exists("small.fit"));
  EXPECT_TRUE(std::filesystem::exists("small.pgm"));
}

TEST(Cli, EffaceWithOverwriteNeverLosesTheImage) {
  test::ScratchDir dir;
  // A plain 3 x 2 FITS image of 16-bit samples, as another program writes it.
  std::string fits;
  for (const char* card : {"SIMPLE  =                    T", "BITPIX  =                   16",
                           "NAXIS   =                    2", "NAXIS1  =                    3",
                           "NAXIS2  =                    2", "END"})
    fits += std::string(card) + std::string(80 - std::string(card).size(), ' ');
  fits.resize(2880, ' ');
  fits += std::string("\0\1\0\2\0\3\0\4\0\5\0\6", 12);
  fits.resize(5760, '\0');
  test::WriteFile("small.fit", fits);
  // "=" allows overwriting, and the output would be named like its input:
  // whatever name it gets, the converted image must survive EFFACE.
  const test::CommandResult r = Korvalix("small.fit = EFFACE");
  EXPECT_EQ(r.Status, 0) << r.Output;
  const std::size_t at = r.Output.find("Sor=");
  ASSERT_NE(at, std::string::npos) << r.Output;
  const std::string output = r.Output.substr(at + 4, r.Output.find('\n', at) - at - 4);
  ASSERT_TRUE(std::filesystem::exists(output)) << output;
  EXPECT_EQ(std::filesystem::file_size(output), 5760u);
}

} // namespace
} // namespace korv
