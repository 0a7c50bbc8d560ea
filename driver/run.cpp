// The main routine and the stop routine. Every run ends through Finish, which
// unwinds to RunConversion; that is the only place a stop is caught.
#include "driver/run.h"

#include <cstdio>
#include <memory>
#include <sys/stat.h>

#include "core/conversion.h"
#include "core/truncation.h"
#include "driver/arguments.h"
#include "driver/dispatch.h"
#include "output/output_file.h"

namespace korv {

namespace {

constexpr std::string_view UsageBlock[] = {
    "KORVALIX image[,[-]num]",
    "  [C[r,v,b,a]]|[R|V|B|A] [Zh,v] [Fz,s] [Ll] [=] [M[X][Y][-]] [+] [TW|TS|TL|TB] [Nn]",
    "  [H{D|M|F}[aaaammjj],[hh.mmssd],[s]] [Hs] [HO|HP|HQ|HR] [Ie,h,v,[W|S|L|B|Q],s]",
    "  [K[hh.mmssd],[\u00b1\u00b0\u00b0.''\"\"],[focmm],[pixhmm],[pixvmm],[e/adu]]",
    "  [Mcccc[=]] [CPRP|CPVA] [Ebulle] [Ggam] [T0|T1] [PA] [EFFACE]",
};

constexpr std::string_view NothingConverted = "Aucune image convertie.";

#ifndef KORV_VERSION
#define KORV_VERSION "0"
#endif
constexpr std::string_view VersionLine = "KORVALIX " KORV_VERSION;

// True when both names lead to one file: with overwriting allowed, the output
// can take the place of its own input, which must then not be deleted.
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

} // namespace

void PrintUsage(Conversion& cv) {
  for (std::string_view line : UsageBlock) Say(cv, line);
}

int RunConversion(Conversion& cv) {
  ImageState& st = cv.State;
  try {
    st.FullOutput = 1;
    st.BinX = 1;
    st.BinY = 1;
    const uint16_t count = ArgumentCount(cv);
    // The usual requests of a command-line program, only as the first argument.
    const Text first = count > 0 ? GetArgument(cv, 1) : Text();
    if (count > 0 && first == "--version") {
      Say(cv, VersionLine);
      cv.ExitStatus = 0;
      Finish(cv, false);
    }
    if (count > 0 && first != "--help" && first != "-h") {
      Dispatch(cv);
      // A reader that returned without delivering every row left no output file.
      if (!st.OutputCompleted) {
        Say(cv, NothingConverted);
        Finish(cv, true);
      }
      // A truncated input is converted, and said to be: in the header (written
      // before the data, so completed now), on the console and in the status.
      const bool truncated = cv.Truncated.Missing != 0;
      if (truncated) {
        AppendHeaderCards(cv, TruncationCards(cv.Truncated));
        Say(cv, TruncationMessage(cv.Truncated));
      }
      // Only now is the converted file known to be complete and closed. An input
      // that did not hold its whole image is kept: the output is not a full copy.
      const std::string input = NormalizePath(3, st.InputFilePath.view()).str();
      if (st.EraseInput && !truncated && !SameFile(input, cv.Output.Path()))
        std::remove(input.c_str());
    }
    PrintUsage(cv);
    cv.ExitStatus = cv.Truncated.Missing != 0 ? 3 : 0;
    Finish(cv, false);
  } catch (const StopRun&) {
    if (cv.Output.Created() && !st.OutputCompleted) cv.Output.Discard();
  }
  return cv.ExitStatus;
}

int Run(const std::vector<std::string>& args, std::ostream& console) {
  auto cv = std::make_unique<Conversion>();
  cv->RawArgs = args;
  cv->Console = &console;
  return RunConversion(*cv);
}

} // namespace korv
