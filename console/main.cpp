// Entry of the pagolinth console program: the dialogue is the whole program, and the
// command line is not used.
#include <cstdio>  // std::fclose, std::fputs, stdout, stderr

#include "console/dialogue.h"  // run_dialogue

int main() {
  int status = run_dialogue();
  // The dialogue has flushed standard output; closing it can still fail (a file system that
  // reports a full disk only then). A failure the dialogue already told has made status 1.
  if (std::fclose(stdout) != 0 && status == 0) {
    std::fputs("pagolinth: cannot write to standard output\n", stderr);
    status = 1;
  }
  return status;
}
