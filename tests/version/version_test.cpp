// --version of every program: the project version and a revision that git, run here on the
// source tree, knows as a commit of HEAD; and the dialogue's program still takes no other
// argument.
#include <gtest/gtest.h>

#include <cstdio>  // popen, pclose, fgets
#include <string>  // std::string

#include "tests/support/run_program.h"  // run_program, scratch_dir
#include "version/version.h"            // pagolinth_version, pagolinth_revision

namespace {

// The first line a shell command prints, without its newline; "" when it fails.
std::string first_line(const std::string& command) {
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe)
    return "";
  char line[512] = {0};
  const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
  const int status = pclose(pipe);
  std::string text = got && status == 0 ? line : "";
  if (!text.empty() && text.back() == '\n')
    text.pop_back();
  return text;
}

TEST(Version, EveryProgramNamesTheVersionAndTheRevision) {
  const std::string described = first_line(std::string("git -C '") + PAGOLINTH_SOURCE +
                                           "' describe --always --dirty --abbrev=12 2>/dev/null");
  EXPECT_EQ(std::string(pagolinth_version()), PAGOLINTH_PROJECT_VERSION);
  if (described.empty()) {
    EXPECT_FALSE(pagolinth_revision_known());
  } else {
    // Commits may have come since the build (ctest does not rebuild): the revision built must
    // be a commit of this checkout that HEAD contains.
    const std::string revision = pagolinth_revision();
    EXPECT_TRUE(pagolinth_revision_known());
    const std::string commit = revision.substr(0, revision.find('-'));
    EXPECT_EQ(first_line(std::string("git -C '") + PAGOLINTH_SOURCE +
                         "' merge-base --is-ancestor '" + commit + "' HEAD && echo yes"),
              "yes")
        << "built from " << revision << ", git describes " << described;
  }
  scratch_dir dir;
  for (const char* program : {"pagolinth", "pagolinth-ecc", "pagolinth-bch", "pagolinth-sample"}) {
    SCOPED_TRACE(std::string("case ") + program);
    const program_result r =
        run_program(std::string(PAGOLINTH_BIN) + "/" + program, dir.path(), "", {"--version"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(program) + " " + PAGOLINTH_PROJECT_VERSION + ", revision " +
                         pagolinth_revision() + "\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST(Version, TheDialogueIgnoresOtherArgumentsAsBefore) {
  // Only --version alone is read: the dialogue starts as without arguments, and its first
  // words are the same either way.
  scratch_dir dir;
  const std::string program = std::string(PAGOLINTH_BIN) + "/pagolinth";
  const program_result plain = run_program(program, dir.path(), "");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--version", "x"}, std::vector<std::string>{"--help"}}) {
    SCOPED_TRACE("case " + args[0] + " with " + std::to_string(args.size()) + " words");
    const program_result r = run_program(program, dir.path(), "", args);
    EXPECT_EQ(r.out, plain.out);
    EXPECT_EQ(r.exit_status, plain.exit_status);
  }
}

}  // namespace
