// Failures from outside the input: a file-size limit during the data, an output
// that cannot be created, EFFACE on a failed run, existing files and two runs
// racing for the same numbered name. Whatever happens, a failed run exits 1,
// leaves no incomplete output and never deletes its input.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "tests/test_support.h"

namespace korv {
namespace {

namespace fs = std::filesystem;

// A binary 16-bit grey map of w x h samples with varying values.
std::string Pgm16(unsigned w, unsigned h) {
  std::string s = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n65535\n";
  for (unsigned i = 0; i < w * h; ++i) {
    const unsigned v = (i * 2654435761u) >> 16;
    s.push_back(static_cast<char>(v >> 8));
    s.push_back(static_cast<char>(v & 255));
  }
  return s;
}

test::CommandResult Shell(const std::string& script) {
  return test::RunCommand("bash -c '" + script + "' 2>&1");
}

std::string Program() { return "\"" + test::ProgramPath() + "\""; }

std::set<std::string> FitsFilesHere() {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator("."))
    if (e.path().extension() == ".fit" || e.path().extension() == ".fiv" ||
        e.path().extension() == ".fip")
      names.insert(e.path().filename().string());
  return names;
}

TEST(FaultInjection, FileSizeLimitDuringTheDataLeavesNothing) {
  if (test::RunCommand("env --default-signal=XFSZ true").Status != 0)
    GTEST_SKIP() << "env cannot reset a signal here";
  // 400 x 300 16-bit samples: 240000 data bytes, far past a 64 KiB limit.
  for (const std::string options : {"", "CPVA", "CPRP", "MY"}) {
    SCOPED_TRACE(options);
    test::ScratchDir dir;
    test::WriteFile("in.pgm", Pgm16(400, 300));
    // The signal is set back to its default for the program (a test runner may
    // ignore it): the program must ignore it itself and see the failed write.
    const auto r =
        Shell("ulimit -f 64; exec env --default-signal=XFSZ " + Program() + " in.pgm " + options);
    EXPECT_EQ(r.Status, 1) << r.Output;
    EXPECT_NE(r.Output.find("Erreur d"), std::string::npos) << r.Output;
    EXPECT_TRUE(FitsFilesHere().empty());
    EXPECT_TRUE(fs::exists("in.pgm"));
  }
}

TEST(FaultInjection, OutputThatCannotBeCreatedStopsTheRun) {
  test::ScratchDir dir;
  test::WriteFile("in.pgm", Pgm16(8, 4));
  // With no descriptor left after the input is open, creating the output fails.
  // Inherited descriptors are closed first so that the limit is exact.
  const auto r = Shell("for fd in /proc/$$/fd/*; do fd=${fd##*/}; [ $fd -gt 2 ] && eval \"exec $fd>&-\"; done; "
                       "ulimit -n 4; exec " + Program() + " in.pgm EFFACE");
  EXPECT_EQ(r.Status, 1) << r.Output;
  EXPECT_TRUE(FitsFilesHere().empty());
  EXPECT_TRUE(fs::exists("in.pgm")) << "EFFACE must not delete the input of a failed run";
}

TEST(FaultInjection, EffaceDeletesOnlyAfterASuccessfulConversion) {
  test::ScratchDir dir;
  test::WriteFile("bad.pgm", "P9\n1 1\n255\n\x01");
  auto r = Shell("exec " + Program() + " bad.pgm EFFACE");
  EXPECT_EQ(r.Status, 1) << r.Output;
  EXPECT_TRUE(fs::exists("bad.pgm"));

  test::WriteFile("good.pgm", Pgm16(8, 4));
  r = Shell("exec " + Program() + " good.pgm EFFACE");
  EXPECT_EQ(r.Status, 0) << r.Output;
  EXPECT_FALSE(fs::exists("good.pgm"));
  ASSERT_TRUE(fs::exists("good.fit"));
  EXPECT_EQ(fs::file_size("good.fit") % 2880, 0u);
}

TEST(FaultInjection, ExistingFilesAreNeverOverwritten) {
  test::ScratchDir dir;
  test::WriteFile("m51.pgm", Pgm16(8, 4));
  test::WriteFile("m51.fit", "precious");
  test::WriteFile("korv0001.fit", "precious too");
  const auto r = Shell("exec " + Program() + " m51.pgm");
  EXPECT_EQ(r.Status, 0) << r.Output;
  EXPECT_EQ(test::ReadFile("m51.fit"), "precious");
  EXPECT_EQ(test::ReadFile("korv0001.fit"), "precious too");
  EXPECT_NE(r.Output.find("Sor=korv0002.fit"), std::string::npos) << r.Output;
  EXPECT_TRUE(fs::exists("korv0002.fit"));
}

TEST(FaultInjection, RacingRunsNeverShareANumberedName) {
  test::ScratchDir dir;
  test::WriteFile("in.pgm", Pgm16(64, 48));
  const int runs = 12;
  // Option "=" with a prefix asks for numbered names; all runs start together.
  std::string script;
  for (int i = 0; i < runs; ++i) script += Program() + " in.pgm =race >/dev/null & ";
  script += "wait";
  const auto r = Shell(script);
  const auto names = FitsFilesHere();
  EXPECT_EQ(names.size(), static_cast<std::size_t>(runs)) << r.Output;
  for (const auto& n : names) {
    SCOPED_TRACE(n);
    EXPECT_EQ(n.rfind("race", 0), 0u);
    EXPECT_EQ(fs::file_size(n), 2880u + 8640u); // header + 64*48*2 bytes padded
  }
}

TEST(FaultInjection, HugeClaimFromATinyFileIsRefusedEarly) {
  test::ScratchDir dir;
  test::WriteFile("claim.pgm", "P5\n30000 65535\n65535\n\x01\x02");
  const auto r = Shell("exec " + Program() + " claim.pgm");
  EXPECT_EQ(r.Status, 1) << r.Output;
  EXPECT_TRUE(FitsFilesHere().empty());
}

} // namespace
} // namespace korv
