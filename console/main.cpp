// Entry of the pagolinth console program: the dialogue is the whole program. The command line
// is not used, but for --version alone, which prints the build's version and revision.
#include <cstdio>   // std::fclose, std::fputs, std::fprintf, stdout, stderr
#include <cstring>  // std::strcmp

#include "console/dialogue.h"  // run_dialogue
#include "status/guard.h"      // run_guarded
#include "version/version.h"   // pagolinth_version_text

namespace {

int run_program(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::fputs((pagolinth_version_text("pagolinth") + "\n").c_str(), stdout);
    if (std::fclose(stdout) != 0) {
      std::fputs("pagolinth: cannot write to standard output\n", stderr);
      return 1;
    }
    return 0;
  }
  int status = run_dialogue();
  // The dialogue has flushed standard output; closing it can still fail (a file system that
  // reports a full disk only then). A failure the dialogue already told has made status 1.
  if (std::fclose(stdout) != 0 && status == 0) {
    std::fputs("pagolinth: cannot write to standard output\n", stderr);
    status = 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  return run_guarded("pagolinth", 1, [&] { return run_program(argc, argv); });
}
