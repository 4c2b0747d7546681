// Entry of the pagolinth console program: the dialogue is the whole program, and the
// command line is not used.
#include "console/dialogue.h"  // run_dialogue

int main() {
  return run_dialogue();
}
