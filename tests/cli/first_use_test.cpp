// The program as a new user meets it: files that cannot be read, command-line
// mistakes, help and version requests, truncated inputs, FITS files with
// nothing to convert and Y cards that other FITS software must be able to read.
// Every failure says why, exits 1 and writes nothing; a truncated input is
// converted, marked in the header and exits 3.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>
#include <unistd.h>

#include "tests/test_support.h"

namespace korv {
namespace {

namespace fs = std::filesystem;

test::CommandResult Korvalix(const std::string& args) {
  return test::RunCommand("'" + test::ProgramPath() + "' " + args + " 2>&1");
}

bool AnyFitsHere() {
  for (const auto& e : fs::directory_iterator("."))
    if (e.is_regular_file() && (e.path().extension() == ".fit" || e.path().extension() == ".fip" ||
                                e.path().extension() == ".fiv"))
      return true;
  return false;
}

std::string Pgm(unsigned w, unsigned h) {
  std::string s = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  for (unsigned i = 0; i < w * h; ++i) s.push_back(static_cast<char>(i * 37 + 5));
  return s;
}

std::string Card(const std::string& text) {
  std::string c = text.substr(0, 80);
  c.resize(80, ' ');
  return c;
}

std::string Blocks(std::string s, char fill) {
  s.resize((s.size() + 2879) / 2880 * 2880, fill);
  return s;
}

bool HavePeer(const std::string& tool) {
  return test::RunCommand("command -v " + tool + " >/dev/null").Status == 0;
}

TEST(FirstUse, InputThatCannotBeReadIsNamed) {
  test::ScratchDir dir;
  fs::create_directory("d.fit");
  test::WriteFile("locked.pgm", Pgm(2, 2));
  fs::permissions("locked.pgm", fs::perms::none);
  struct Case {
    std::string Arg, Line;
  };
  std::vector<Case> cases = {
      {"missing.fit", "Lecture impossible : missing.fit"},
      {"missing.pgm", "Lecture impossible : missing.pgm"},
      {"d.fit", "Lecture impossible : d.fit"},
      {"nothing", "Lecture impossible : nothing."}, // no file of that name with any extension
      {"x.abc", "Format inconnu : x.abc"},
  };
  // Permissions do not hold back the superuser.
  if (::geteuid() != 0) cases.push_back({"locked.pgm", "Lecture impossible : locked.pgm"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Arg);
    const auto r = Korvalix(c.Arg);
    EXPECT_EQ(r.Status, 1) << r.Output;
    EXPECT_NE(r.Output.find("\n" + c.Line + "\n"), std::string::npos) << r.Output;
    EXPECT_FALSE(AnyFitsHere());
  }
}

TEST(FirstUse, CommandLineMistakesStopBeforeAnyOutput) {
  test::ScratchDir dir;
  test::WriteFile("a.pgm", Pgm(4, 3));
  test::WriteFile("b.pgm", Pgm(4, 3));
  const struct {
    const char* Args;
    const char* Line;
  } cases[] = {
      {"Q2", "Option inconnue : Q2"},
      {"Z2 -v", "Option inconnue : -v"},
      {"b.pgm", "Un seul fichier par commande : b.pgm"}, // a.pgm b.pgm from a wildcard
      {"HD20241315", "Date incorrecte : 20241315"},       // month 13
      {"HD20240300", "Date incorrecte : 20240300"},       // day 0
      {"HD20240332", "Date incorrecte : 20240332"},
      {"HM20240315,24.0000", "Date incorrecte : 24.0000"},
      {"HM20240315,12.6000", "Date incorrecte : 12.6000"},
      {"HF,12.3060", "Date incorrecte : 12.3060"},
      {"Z0", "Binning nul : aucune image ne serait convertie"},
      {"Y+OBSERVERS=Me", "Mot-cl\u00e9 FITS incorrect : OBSERVERS"},
      {"Y+OBS.1=2", "Mot-cl\u00e9 FITS incorrect : OBS.1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Args);
    const auto r = Korvalix(std::string("a.pgm ") + c.Args);
    EXPECT_EQ(r.Status, 1) << r.Output;
    EXPECT_NE(r.Output.find("\n" + std::string(c.Line) + "\n"), std::string::npos) << r.Output;
    EXPECT_EQ(r.Output.find("Sor="), std::string::npos) << r.Output;
    EXPECT_FALSE(AnyFitsHere());
  }
  // Dates and times on the calendar and the clock are taken.
  const auto r = Korvalix("a.pgm HD20240229.5,23.5959,30 EFFACE");
  EXPECT_EQ(r.Status, 0) << r.Output;
  EXPECT_FALSE(fs::exists("a.pgm"));
}

TEST(FirstUse, HelpAndVersion) {
  test::ScratchDir dir;
  const auto bare = Korvalix("");
  for (const char* arg : {"--help", "-h"}) {
    const auto r = Korvalix(arg);
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Output, bare.Output) << arg;
  }
  const auto v = Korvalix("--version");
  EXPECT_EQ(v.Status, 0);
  ASSERT_EQ(v.Output.rfind("KORVALIX ", 0), 0u) << v.Output;
  EXPECT_TRUE(v.Output[9] >= '0' && v.Output[9] <= '9') << v.Output;
  EXPECT_EQ(v.Output.find("Ent="), std::string::npos);
  // Anywhere else these are what they always were: "-h" is no option letter.
  test::WriteFile("a.pgm", Pgm(2, 2));
  EXPECT_EQ(Korvalix("a.pgm -h").Status, 1);
}

TEST(FirstUse, TruncatedInputIsConvertedAndSaidToBe) {
  test::ScratchDir dir;
  std::string cut = Pgm(10, 6);
  cut.resize(cut.size() - 25); // the last 2 rows and a half are missing
  test::WriteFile("cut.pgm", cut);
  for (const char* options : {"EFFACE", "CPRP", "CPVA", "MY"}) {
    SCOPED_TRACE(options);
    const auto r = Korvalix(std::string("cut.pgm =") + " " + options);
    EXPECT_EQ(r.Status, 3) << r.Output;
    EXPECT_NE(r.Output.find("\nFichier tronqu\u00e9 : 3 lignes sur 6 manquent\n"),
              std::string::npos)
        << r.Output;
    // The input is kept: the output is not a whole copy of it.
    EXPECT_TRUE(fs::exists("cut.pgm"));
    const std::size_t sor = r.Output.find("Sor=");
    ASSERT_NE(sor, std::string::npos);
    const std::string out = r.Output.substr(sor + 4, r.Output.find('\n', sor) - sor - 4);
    const std::string file = test::ReadFile(out);
    EXPECT_EQ(file.size() % 2880, 0u);
    const std::size_t card =
        file.find(Card("COMMENT   Input truncated: the last 3 of 6 rows are missing and set to 0"));
    ASSERT_NE(card, std::string::npos);
    EXPECT_EQ(card % 80, 0u);
    EXPECT_EQ(file.compare(card + 80, 80, Card("END")), 0);
    if (out.ends_with(".fit") && HavePeer("fitsverify")) {
      const auto v = test::RunCommand("fitsverify -q " + out + " 2>&1");
      EXPECT_EQ(v.Status, 0) << v.Output;
    }
  }
  // Read back, the program's own compressed files give the same picture.
  EXPECT_EQ(Korvalix("cut.fip =").Status, 0);
}

TEST(FirstUse, TruncatedHeaderBlockGrowsByOneBlock) {
  // When END is the last card of the header block, the truncation card needs a
  // new block and the data move down with it. Options that add cards fill the
  // header until the card lands on the first slot past the block.
  test::ScratchDir dir;
  const std::string header = Card("SIMPLE  =                    T") +
                             Card("BITPIX  =                   16") +
                             Card("NAXIS   =                    2") +
                             Card("NAXIS1  =                    3") +
                             Card("NAXIS2  =                    4");
  test::WriteFile("c.fits", Blocks(header + Card("END"), ' ') + std::string("\0\1\0\2\0\3", 6));
  const std::string fixed = " K12.3045,+45.3000,1000,0.009,0.009,1.5 HD20240315,12.3045,30 O=M51";
  bool found = false;
  for (int fillers = 0; fillers <= 16 && !found; ++fillers) {
    std::string args = "c.fits =" + fixed;
    for (int i = 0; i < fillers; ++i) args += " 'Y+COMMENT filler " + std::to_string(i) + "'";
    const auto r = Korvalix(args);
    ASSERT_EQ(r.Status, 3) << r.Output;
    const std::string file = test::ReadFile("c.fit");
    const std::size_t card = file.find(
        Card("COMMENT   Input truncated: the last 9 of 12 samples are missing and set to 0"));
    ASSERT_NE(card, std::string::npos);
    if (card / 80 < 35) continue;
    ASSERT_EQ(card / 80, 35u) << "no filler count puts END at the end of the block";
    found = true;
    ASSERT_EQ(file.size(), 3u * 2880);
    EXPECT_EQ(file.compare(36 * 80, 80, Card("END")), 0);
    EXPECT_EQ(file.find_first_not_of(' ', 37 * 80), 5760u);
    // Data: 16-bit samples with BZERO 32768, the stored rows first.
    EXPECT_EQ(file.substr(5760, 8), std::string("\x80\x01\x80\x02\x80\x03\x80\x00", 8));
    if (HavePeer("fitsverify")) {
      const auto v = test::RunCommand("fitsverify -q c.fit 2>&1");
      EXPECT_EQ(v.Status, 0) << v.Output;
    }
  }
  EXPECT_TRUE(found);
}

TEST(FirstUse, FitsFilesWithNothingToConvertSayWhy) {
  test::ScratchDir dir;
  const std::string simple = Card("SIMPLE  =                    T");
  const std::string bitpix = Card("BITPIX  =                   16");
  test::WriteFile("empty.fits",
                  Blocks(simple + bitpix + Card("NAXIS   =                    0") + Card("END"), ' '));
  test::WriteFile("groups.fits",
                  Blocks(simple + bitpix + Card("NAXIS   =                    2") +
                             Card("NAXIS1  =                    0") +
                             Card("NAXIS2  =                    4") +
                             Card("GROUPS  =                    T") +
                             Card("PCOUNT  =                    0") +
                             Card("GCOUNT  =                    1") + Card("END"),
                         ' ') +
                      std::string(2880, '\0'));
  test::WriteFile("noend.fits", simple + bitpix + Card("NAXIS   =                    2") +
                                    Card("NAXIS1  =                   10") +
                                    Card("NAXIS2  =                   10"));
  const struct {
    const char* Name;
    const char* Line;
  } cases[] = {
      {"empty.fits", "Pas d'image dans le fichier"},
      {"groups.fits", "Groupes al\u00e9atoires pas support\u00e9s"},
      {"noend.fits", "Fichier trop court pour l'image d\u00e9clar\u00e9e"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const auto r = Korvalix(c.Name);
    EXPECT_EQ(r.Status, 1) << r.Output;
    EXPECT_NE(r.Output.find("\n" + std::string(c.Line) + "\n"), std::string::npos) << r.Output;
    EXPECT_FALSE(AnyFitsHere());
  }
}

TEST(FirstUse, YCardsAreReadableByOtherFitsSoftware) {
  test::ScratchDir dir;
  test::WriteFile("a.pgm", Pgm(4, 3));
  const auto r = Korvalix("a.pgm Y+OBSERVER=Me \"Y+OBJECT=O'Brien's comet\" Y+EXPNUM=12 "
                          "\"Y+FILTER=R / red\" Y+DONE=T");
  ASSERT_EQ(r.Status, 0) << r.Output;
  const std::string file = test::ReadFile("a.fit");
  for (const char* card : {"OBSERVER= 'Me'", "OBJECT  = 'O''Brien''s comet'", "EXPNUM  = 12",
                           "FILTER  = 'R / red'", "DONE    = T"})
    EXPECT_NE(file.find(Card(card)), std::string::npos) << card;
  if (HavePeer("fitsverify")) {
    const auto v = test::RunCommand("fitsverify -q a.fit 2>&1");
    EXPECT_EQ(v.Status, 0) << v.Output;
  }
  if (fs::exists("/usr/bin/python3")) {
    const auto a = test::RunCommand(
        "/usr/bin/python3 -c \"from astropy.io import fits; h = fits.getheader('a.fit'); "
        "print(h['OBSERVER'], h['OBJECT'], h['EXPNUM'] + 1, h['FILTER'], h['DONE'])\" 2>&1");
    if (a.Output.find("No module named") == std::string::npos) {
      EXPECT_EQ(a.Status, 0) << a.Output;
      EXPECT_EQ(a.Output, "Me O'Brien's comet 13 R / red True\n");
    }
  }
}

} // namespace
} // namespace korv
