// Tests of the output rules: which names may be outputs (new or regular files only, never the
// input, a link, a device, FIFO or socket, never two outputs on one file), temporary names that
// fit the name limit and that a later run recognises, leftovers of killed runs, errors that say
// why, the file-size limit, and every pending temporary file removed by a fatal signal.
#include "files/output_file.h"

#include <gtest/gtest.h>
#include <poll.h>           // poll
#include <signal.h>         // kill, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE
#include <sys/resource.h>   // setrlimit, RLIMIT_FSIZE
#include <sys/socket.h>     // socket, bind
#include <sys/stat.h>       // mkfifo, mknod, stat, umask
#include <sys/sysmacros.h>  // makedev
#include <sys/un.h>         // sockaddr_un
#include <sys/wait.h>       // waitpid
#include <unistd.h>         // fork, pipe, getppid, link, symlink

#include <cerrno>      // EFBIG, ENOSPC, EACCES
#include <cstring>     // std::strncpy
#include <filesystem>  // std::filesystem
#include <set>         // std::set
#include <string>      // std::string
#include <vector>      // std::vector

#include "tests/support/run_program.h"  // scratch_dir, read_file, write_file

namespace fs = std::filesystem;

namespace {

std::set<std::string> names_in(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The id of a process that has certainly ended: a child that exited and was reaped.
long gone_pid() {
  const pid_t pid = fork();
  if (pid == 0)
    _exit(0);
  waitpid(pid, nullptr, 0);
  return static_cast<long>(pid);
}

bool make_socket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const bool ok = fd >= 0 && path.size() < sizeof address.sun_path &&
                  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0)
    close(fd);
  return ok;
}

TEST(OutputFile, TemporaryNamesFitTheLimitAndAreRecognised) {
  EXPECT_EQ(temp_name("out.bin", 42, 0xabcu), "out.bin.part-42-00000abc");
  const std::string e_acute = "\xC3\xA9";  // two bytes in UTF-8
  std::string accents;
  for (int i = 0; i < 127; ++i)
    accents += e_acute;
  const std::vector<std::string> finals = {"a",
                                           "out.bin",
                                           std::string(230, 'x'),
                                           std::string(231, 'x'),
                                           std::string(241, 'x'),
                                           std::string(255, 'x'),
                                           accents};
  for (const std::string& final_name : finals) {
    for (long pid : {1L, 4194304L, 2147483647L}) {
      for (std::uint32_t tag : {0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(testing::Message() << "name of " << final_name.size() << " bytes, pid " << pid
                                        << ", tag " << tag);
        const std::string temp = temp_name(final_name, pid, tag);
        EXPECT_LE(temp.size(), 255u);
        long found = 0;
        EXPECT_TRUE(parse_temp_name(temp, final_name, found));
        EXPECT_EQ(found, pid);
        EXPECT_FALSE(parse_temp_name(temp, final_name + "x", found)) << "another output's";
        // A shortened stem never ends inside a UTF-8 character.
        const std::size_t hash = temp.find('~');
        if (final_name == accents) {
          ASSERT_NE(hash, std::string::npos);
          EXPECT_EQ(hash % 2, 0u) << "cut inside a character";
        }
      }
    }
  }
  // Distinct long names that share their first 220 bytes keep distinct temporary names.
  const std::string a = std::string(240, 'x') + "a", b = std::string(240, 'x') + "b";
  long pid = 0;
  EXPECT_FALSE(parse_temp_name(temp_name(a, 7, 1), b, pid));

  // Names that only look alike are not temporary names of out.bin.
  for (const char* other :
       {"out.bin.part-5", "out.bin.part-42-00000abC", "out.bin.part--00000abc",
        "out.bin.part-42-00000abc.x", "out.bin.part-42-0000abc", "out.bin.part-4x-00000abc",
        "xout.bin.part-42-00000abc", "out.bin.part-12345678901-00000abc"}) {
    SCOPED_TRACE(other);
    EXPECT_FALSE(parse_temp_name(other, "out.bin", pid));
  }
}

TEST(OutputFile, OnlyNewOrRegularFilesMayBeOutputs) {
  scratch_dir dir;
  const std::string input = dir.file("in.bin");
  write_file(input, "dump");
  write_file(dir.file("full.bin"), "keep");
  write_file(dir.file("empty.bin"), "");
  fs::create_directory(dir.file("folder"));
  fs::create_symlink("full.bin", dir.file("link"));
  fs::create_symlink("nowhere.bin", dir.file("dangling"));
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ASSERT_TRUE(make_socket(dir.file("sock")));
  ASSERT_EQ(link(input.c_str(), dir.file("hard.bin").c_str()), 0);

  struct expectation {
    std::string path;
    const char* without_force;  // part of the refusal, or "" when accepted
    const char* with_force;
  };
  const expectation cases[] = {
      {dir.file("new.bin"), "", ""},
      {dir.file("empty.bin"), "", ""},
      {dir.file("full.bin"), "exists already", ""},
      {dir.file("folder"), "is a folder", "is a folder"},
      {dir.file("folder") + "/", "names a folder", "names a folder"},
      {dir.file("link"), "symbolic link", "symbolic link"},
      {dir.file("dangling"), "symbolic link", "symbolic link"},
      {dir.file("fifo"), "is a FIFO", "is a FIFO"},
      {dir.file("sock"), "is a socket", "is a socket"},
      {"/dev/null", "character device", "character device"},
      {input, "is the input", "is the input"},
      {dir.file("hard.bin"), "is the input", "is the input"},
      {dir.file(std::string(256, 'n')), "file name too long", "file name too long"},
  };
  const std::set<std::string> before = names_in(dir.path());
  for (const expectation& c : cases) {
    for (bool force : {false, true}) {
      SCOPED_TRACE(testing::Message()
                   << "case " << c.path << (force ? " with" : " without") << " --force");
      const std::string want = force ? c.with_force : c.without_force;
      const std::string checked = check_output_path(c.path, input, force).message;
      staged_output out;
      const std::string staged = stage_output(out, c.path, input, force).message;
      if (want.empty()) {
        EXPECT_EQ(checked, "");
        EXPECT_EQ(staged, "");
      } else {
        EXPECT_TRUE(contains(checked, want)) << checked;
        EXPECT_EQ(staged, checked) << "staging refuses as the check does";
        EXPECT_FALSE(out.file) << "a refused output was opened";
      }
    }
  }
  // Nothing was written through any of them, and nothing is left behind.
  EXPECT_EQ(names_in(dir.path()), before);
  EXPECT_EQ(read_file(dir.file("full.bin")), "keep");
  EXPECT_EQ(read_file(input), "dump");
  EXPECT_TRUE(fs::is_fifo(dir.file("fifo")));
  EXPECT_FALSE(fs::exists(dir.file("nowhere.bin"))) << "a dangling link's target was created";
  struct stat null_status {};
  ASSERT_EQ(stat("/dev/null", &null_status), 0);
  EXPECT_TRUE(S_ISCHR(null_status.st_mode)) << "/dev/null was replaced";
}

TEST(OutputFile, DeviceNodesAreRefused) {
  scratch_dir dir;
  // Character device 1,7 is /dev/full, 1,3 /dev/null; block device 7,0 a loop device.
  const std::string chr = dir.file("full"), blk = dir.file("loop");
  if (mknod(chr.c_str(), S_IFCHR | 0600, makedev(1, 7)) != 0 ||
      mknod(blk.c_str(), S_IFBLK | 0600, makedev(7, 0)) != 0)
    GTEST_SKIP() << "this system does not let the test make device nodes (needs root)";
  for (const std::string& node : {chr, blk}) {
    for (bool force : {false, true}) {
      SCOPED_TRACE(testing::Message() << "case " << node << (force ? " with --force" : ""));
      staged_output out;
      const std::string e = stage_output(out, node, "", force).message;
      EXPECT_TRUE(contains(e, "device")) << e;
      EXPECT_TRUE(out.temp_path.empty());
    }
  }
  struct stat st {};
  ASSERT_EQ(stat(chr.c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  ASSERT_EQ(stat(blk.c_str(), &st), 0);
  EXPECT_TRUE(S_ISBLK(st.st_mode));
  EXPECT_EQ(names_in(dir.path()).size(), 2u);
}

TEST(OutputFile, OutputsNeverShareAFileNorNameTheInput) {
  scratch_dir dir;
  fs::create_directory(dir.file("real"));
  fs::create_directory_symlink("real", dir.file("alias"));
  write_file(dir.file("in.bin"), "dump");
  write_file(dir.file("a.csv"), "x");
  ASSERT_EQ(link(dir.file("a.csv").c_str(), dir.file("b.csv").c_str()), 0);
  const std::string in = dir.file("in.bin");
  struct pair_case {
    std::string a, b;
    bool clash;
  };
  const pair_case cases[] = {
      {dir.file("s.svg"), dir.file("s.svg"), true},
      {dir.file("s.svg"), dir.path() + "/./s.svg", true},
      {dir.file("s.svg"), dir.path() + "/real/../s.svg", true},
      {dir.file("real/s.svg"), dir.file("alias/s.svg"), true},  // through a folder's link
      {dir.file("a.csv"), dir.file("b.csv"), true},             // hard links
      {dir.file("a.csv"), dir.file("c.csv"), false},
      {dir.file("s.svg"), dir.file("S.svg"), false},
      {"-", "-", false},  // standard output is checked apart
      {"", "", false},    // not asked for
  };
  for (const pair_case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << c.a << " and " << c.b);
    const std::string e = check_output_names({{"--csv", c.a}, {"--map", c.b}}, in).message;
    if (c.clash) {
      EXPECT_TRUE(contains(e, "--csv") && contains(e, "--map") && contains(e, "same file")) << e;
    } else {
      EXPECT_EQ(e, "");
    }
  }
  // The input, by its own name, by another spelling, or through a hard link.
  ASSERT_EQ(link(in.c_str(), dir.file("same.bin").c_str()), 0);
  for (const std::string& name :
       {in, dir.path() + "/real/../in.bin", dir.file("same.bin"), std::string("in.bin")}) {
    SCOPED_TRACE("case input named " + name);
    const std::string e = check_output_names({{"-o", "x.bin"}, {"--map", name}}, in).message;
    if (name == "in.bin") {
      EXPECT_EQ(e, "") << "a relative name is taken from the working folder, not the input's";
    } else {
      EXPECT_TRUE(contains(e, "is the input") && contains(e, "--map")) << e;
    }
  }
}

TEST(OutputFile, StagedOutputsAppearWhole) {
  scratch_dir dir;
  const mode_t old_mask = umask(027);
  {
    staged_output out;
    ASSERT_EQ(stage_output(out, dir.file("out.bin"), "", false).message, "");
    long pid = 0;
    EXPECT_TRUE(parse_temp_name(fs::path(out.temp_path).filename().string(), "out.bin", pid));
    EXPECT_EQ(pid, static_cast<long>(getpid()));
    EXPECT_FALSE(fs::exists(dir.file("out.bin"))) << "the final name exists before the end";
    std::fputs("whole", out.file.get());
    EXPECT_EQ(commit_output(out).message, "");
  }
  umask(old_mask);
  EXPECT_EQ(read_file(dir.file("out.bin")), "whole");
  struct stat st {};
  ASSERT_EQ(stat(dir.file("out.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "not 0666 less the umask";

  {
    // Not committed: no trace.
    staged_output out;
    ASSERT_EQ(stage_output(out, dir.file("lost.bin"), "", false).message, "");
    std::fputs("half", out.file.get());
  }
  {
    // The file taken over and closed by its writer (the report does so) is still committed.
    staged_output out;
    ASSERT_EQ(stage_output(out, dir.file("taken.csv"), "", false).message, "");
    file_ptr taken = std::move(out.file);
    std::fputs("rows", taken.get());
    ASSERT_TRUE(close_checked(taken));
    EXPECT_EQ(commit_output(out).message, "");
  }
  EXPECT_EQ(read_file(dir.file("taken.csv")), "rows");
  {
    // The longest name a file may have.
    const std::string longest = dir.file(std::string(255, 'L'));
    staged_output out;
    ASSERT_EQ(stage_output(out, longest, "", false).message, "");
    EXPECT_EQ(commit_output(out).message, "");
    EXPECT_TRUE(fs::exists(longest));
  }
  {
    // The final name turned into a FIFO while the output was written: not replaced.
    staged_output out;
    ASSERT_EQ(stage_output(out, dir.file("late.bin"), "", true).message, "");
    ASSERT_EQ(mkfifo(dir.file("late.bin").c_str(), 0600), 0);
    EXPECT_TRUE(contains(commit_output(out).message, "FIFO"));
    EXPECT_TRUE(fs::is_fifo(dir.file("late.bin")));
  }
  EXPECT_EQ(names_in(dir.path()),
            (std::set<std::string>{"out.bin", "taken.csv", std::string(255, 'L'), "late.bin"}));
}

TEST(OutputFile, LeftoversOfEndedRunsAreClearedOthersKept) {
  scratch_dir dir;
  const long dead = gone_pid();
  const long alive = static_cast<long>(getppid());
  const std::string of_dead = temp_name("out.bin", dead, 0xabcd);
  const std::string of_alive = temp_name("out.bin", alive, 0xabcd);
  const std::string folder_of_dead = temp_name("out.bin", dead, 1);
  const std::string other_output = temp_name("other.bin", dead, 0xabcd);
  for (const std::string& name : {of_dead, of_alive, other_output, std::string("out.bin.part-7")})
    write_file(dir.file(name), "old");
  fs::create_directory(dir.file(folder_of_dead));

  staged_output out;
  ASSERT_EQ(stage_output(out, dir.file("out.bin"), "", false).message, "");
  ASSERT_EQ(out.leftovers.size(), 3u);
  for (const leftover_temp& l : out.leftovers) {
    const std::string name = fs::path(l.path).filename().string();
    SCOPED_TRACE("case " + name);
    EXPECT_EQ(l.path, dir.file(name)) << "named as the output is, with its folder";
    EXPECT_EQ(l.pid, name == of_alive ? alive : dead);
    EXPECT_EQ(l.maker_gone, name != of_alive);
    EXPECT_EQ(l.removed, name == of_dead);
    EXPECT_EQ(fs::exists(l.path), name != of_dead);
  }
  EXPECT_TRUE(fs::exists(dir.file(other_output))) << "another output's file was touched";
  EXPECT_TRUE(fs::exists(dir.file("out.bin.part-7")));
}

TEST(OutputFile, ErrorsSayWhy) {
  EXPECT_EQ(error_text(EFBIG), "file too large");
  EXPECT_EQ(error_text(ENOSPC), "no space left on device");
  EXPECT_EQ(error_text(EACCES), "permission denied");
  EXPECT_EQ(write_failure("out.bin", EFBIG), "cannot write out.bin: file too large");

  scratch_dir dir;
  staged_output missing;
  EXPECT_EQ(stage_output(missing, dir.file("nowhere/out.bin"), "", false).message,
            "cannot create " + dir.file("nowhere/out.bin") + ": the folder " + dir.file("nowhere") +
                " does not exist");
  if (geteuid() != 0) {
    fs::create_directory(dir.file("locked"));
    fs::permissions(dir.file("locked"), fs::perms::owner_read | fs::perms::owner_exec);
    staged_output locked;
    const std::string e = stage_output(locked, dir.file("locked/out.bin"), "", false).message;
    EXPECT_TRUE(contains(e, "cannot create a file beside") && contains(e, "permission denied"))
        << e;
    fs::permissions(dir.file("locked"), fs::perms::owner_all);
  }
}

TEST(OutputFile, AFileSizeLimitIsAWriteErrorNotADeath) {
  scratch_dir dir;
  const pid_t child = fork();
  if (child == 0) {
    // In a child, so that the limit binds nothing of the test program. Exits with the number
    // of the check that failed.
    staged_output direct, buffered;
    if (!stage_output(direct, dir.file("direct.bin"), "", false).ok() ||
        !stage_output(buffered, dir.file("buffered.bin"), "", false).ok())
      _exit(10);
    rlimit limit{64 * 1024, 64 * 1024};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
      _exit(11);
    // A large write fails at once, with EFBIG.
    const std::string block(1 << 20, 'b');
    errno = 0;
    if (std::fwrite(block.data(), 1, block.size(), direct.file.get()) == block.size() ||
        errno != EFBIG)
      _exit(12);
    if (commit_output(direct).ok())
      _exit(13);
    // A small one past the limit fails when the commit flushes it, and says why.
    if (std::fwrite(block.data(), 1, 64 * 1024, buffered.file.get()) != 64 * 1024 ||
        std::fputs("over", buffered.file.get()) < 0)
      _exit(14);
    if (commit_output(buffered).message !=
        "cannot write " + dir.file("buffered.bin") + ": file too large")
      _exit(15);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "child's check " << WEXITSTATUS(status) << " failed";
  EXPECT_TRUE(names_in(dir.path()).empty()) << "a temporary file or an output was left";
}

TEST(OutputFile, FatalSignalsRemoveEveryPendingTemporaryFile) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    SCOPED_TRACE(testing::Message() << "case signal " << sig);
    scratch_dir dir;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
      close(ready[0]);
      rlimit no_core{0, 0};  // SIGQUIT would leave a core file
      setrlimit(RLIMIT_CORE, &no_core);
      staged_output dump, csv, map;
      if (!stage_output(dump, dir.file("out.bin"), "", false).ok() ||
          !stage_output(csv, dir.file("out.csv"), "", false).ok() ||
          !stage_output(map, dir.file("out.svg"), "", false).ok())
        _exit(10);
      std::fputs("partial", dump.file.get());
      std::fflush(dump.file.get());
      if (write(ready[1], "r", 1) != 1)
        _exit(11);
      for (;;)
        pause();
    }
    close(ready[1]);
    // Wait for the child to have staged its files; the poll's time is only a guard against
    // a hang.
    pollfd pfd{ready[0], POLLIN, 0};
    char byte = 0;
    const bool staged = poll(&pfd, 1, 60000) == 1 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    EXPECT_TRUE(staged) << "the child did not stage its files";
    EXPECT_EQ(names_in(dir.path()).size(), staged ? 3u : 0u);
    kill(child, staged ? sig : SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exited with " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), staged ? sig : SIGKILL) << "not ended by the same signal";
    EXPECT_TRUE(names_in(dir.path()).empty()) << "temporary files left behind";
  }
}

}  // namespace
