// End-to-end tests of pagolinth-ecc's outputs as a user or an attacker meets them: devices,
// FIFOs, sockets and links refused as outputs, -o - never onto a terminal nor the input, signals
// and a file-size limit in the middle of a run (no output nor record left), the leftovers of a
// killed run, and a standard output that cannot be written.
#include <gtest/gtest.h>
#include <fcntl.h>          // open
#include <poll.h>           // poll
#include <pty.h>            // openpty
#include <signal.h>         // kill, SIGKILL
#include <sys/resource.h>   // setrlimit, RLIMIT_FSIZE, RLIMIT_CORE
#include <sys/socket.h>     // socket, bind
#include <sys/stat.h>       // mkfifo, mknod, stat
#include <sys/sysmacros.h>  // makedev
#include <sys/un.h>         // sockaddr_un
#include <sys/wait.h>       // waitpid
#include <unistd.h>         // fork, execv, dup2, pipe

#include <chrono>      // std::chrono
#include <cstring>     // std::strncpy
#include <filesystem>  // std::filesystem
#include <set>         // std::set
#include <string>      // std::string
#include <thread>      // std::this_thread::sleep_for
#include <vector>      // std::vector

#include "tests/support/run_program.h"  // scratch_dir, read_file, write_file

namespace fs = std::filesystem;

namespace {

const std::string kTool = PAGOLINTH_ECC;

// Generous: only a guard against a hang, never a measure of speed.
constexpr auto kPatience = std::chrono::seconds(120);

// How the tool's standard output is set up: a file, an open descriptor, or /dev/full.
struct run_setup {
  std::string stdout_path;  // opened for writing (not created) when set
  int stdout_fd = -1;       // used when set
  long file_size_limit = -1;
};

struct run_result {
  int exit_status = -1;  // -1 when a signal ended it
  int signal = 0;
  std::string out, err;
};

// Starts the tool in `cwd`; standard input is /dev/null, standard error goes to `err_path`.
pid_t start(const std::string& cwd, const std::vector<std::string>& args, const run_setup& setup,
            const std::string& out_path, const std::string& err_path) {
  std::vector<char*> argv{const_cast<char*>(kTool.c_str())};
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = setup.stdout_fd >= 0 ? setup.stdout_fd
                    : !setup.stdout_path.empty()
                        ? open(setup.stdout_path.c_str(), O_WRONLY)
                        : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(cwd.c_str()) != 0)
      _exit(127);
    rlimit no_core{0, 0};  // SIGQUIT would leave a core file
    setrlimit(RLIMIT_CORE, &no_core);
    if (setup.file_size_limit >= 0) {
      const auto bytes = static_cast<rlim_t>(setup.file_size_limit);
      rlimit limit{bytes, bytes};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        _exit(126);
    }
    execv(kTool.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for `pid`; kills it when it has not ended after kPatience (a hang is a failure).
void finish(pid_t pid, run_result& r) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "the tool hung and was killed";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status))
    r.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    r.signal = WTERMSIG(status);
}

run_result run(const scratch_dir& dir, const std::vector<std::string>& args,
               const run_setup& setup = {}) {
  scratch_dir io;
  run_result r;
  finish(start(dir.path(), args, setup, io.file("out"), io.file("err")), r);
  r.out = read_file(io.file("out"));
  r.err = read_file(io.file("err"));
  return r;
}

std::set<std::string> names_in(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Any name that holds ".part-": a temporary file.
bool any_temp(const std::string& folder) {
  for (const std::string& name : names_in(folder)) {
    if (has(name, ".part-"))
      return true;
  }
  return false;
}

// A dump of `pages` erased pages of the built-in layout: clean, and fast to pass.
void write_dump(const std::string& path, int pages) {
  write_file(path, std::string(static_cast<std::size_t>(pages) * 2112, '\xFF'));
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

TEST(PagolinthEccOutputs, OnlyNewOrRegularFilesAreWritten) {
  scratch_dir dir;
  write_dump(dir.file("d.bin"), 4);
  write_file(dir.file("other.bin"), "keep");
  fs::create_symlink("other.bin", dir.file("link"));
  fs::create_symlink("created.bin", dir.file("dangling"));
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ASSERT_TRUE(make_socket(dir.file("sock")));
  const bool devices = mknod(dir.file("full").c_str(), S_IFCHR | 0600, makedev(1, 7)) == 0;
  std::vector<std::string> targets = {"link", "dangling", "fifo", "sock", "/dev/null", "/dev/full"};
  if (devices)
    targets.push_back("full");
  const std::set<std::string> before = names_in(dir.path());
  for (const std::string& target : targets) {
    for (const char* option : {"-o", "--csv", "--map"}) {
      for (bool force : {false, true}) {
        SCOPED_TRACE(testing::Message()
                     << "case fix " << option << " " << target << (force ? " --force" : ""));
        std::vector<std::string> args = {"fix", "d.bin", option, target};
        if (std::string(option) != "-o")
          args.insert(args.end(), {"-o", "fixed.bin"});
        if (force)
          args.push_back("--force");
        const run_result r = run(dir, args);
        EXPECT_EQ(r.exit_status, 2) << r.err;
        EXPECT_TRUE(has(r.err, target)) << r.err;
        EXPECT_EQ(names_in(dir.path()), before) << "something was created or removed";
      }
    }
  }
  EXPECT_EQ(read_file(dir.file("other.bin")), "keep");
  EXPECT_TRUE(fs::is_symlink(dir.file("link")));
  EXPECT_TRUE(fs::is_fifo(dir.file("fifo")));
  for (const char* node : {"/dev/null", "/dev/full"}) {
    struct stat st {};
    ASSERT_EQ(stat(node, &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << node << " is no longer a device";
  }
  if (!devices)
    GTEST_SKIP() << "device nodes of the test's own could not be made (needs root); the rest ran";
}

TEST(PagolinthEccOutputs, DumpToStandardOutputNeverATerminalNorTheInput) {
  scratch_dir dir;
  write_dump(dir.file("d.bin"), 6);
  // Not onto a terminal, nor onto the input itself (">> d.bin"); what goes to a pipe is
  // tests/commands/pass_test.cpp's and pagolinth_ecc_test.cpp's.
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  run_setup terminal;
  terminal.stdout_fd = slave;
  const run_result on_terminal = run(dir, {"fix", "d.bin", "-o", "-"}, terminal);
  close(slave);
  close(master);
  EXPECT_EQ(on_terminal.exit_status, 2);
  EXPECT_TRUE(has(on_terminal.err, "terminal")) << on_terminal.err;
  run_setup onto_input;
  onto_input.stdout_path = dir.file("d.bin");
  const run_result onto = run(dir, {"fix", "d.bin", "-o", "-"}, onto_input);
  EXPECT_EQ(onto.exit_status, 2);
  EXPECT_TRUE(has(onto.err, "is the input")) << onto.err;
  EXPECT_EQ(fs::file_size(dir.file("d.bin")), 6u * 2112) << "the input was written";
}

// Holds the tool in the middle of a pass: the dump goes to a pipe that nobody reads, while
// the CSV and the map wait under their temporary names. Then each fatal signal.
TEST(PagolinthEccOutputs, FatalSignalsLeaveNoTemporaryFiles) {
  scratch_dir dir;
  write_dump(dir.file("d.bin"), 2048);  // 4.3 MB, far more than a pipe holds
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    SCOPED_TRACE(testing::Message() << "case signal " << sig);
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);  // the tool holds only its end
    run_setup held;
    held.stdout_fd = pipe_fds[1];
    scratch_dir io;
    const pid_t pid =
        start(dir.path(), {"fix", "d.bin", "-o", "-", "--csv", "c.csv", "--map", "m.svg"}, held,
              io.file("out"), io.file("err"));
    close(pipe_fds[1]);
    // The pipe fills once the pass writes; by then both temporary files exist.
    pollfd pfd{pipe_fds[0], POLLIN, 0};
    const bool writing = poll(&pfd, 1, 60000) == 1;
    EXPECT_TRUE(writing) << "the tool wrote nothing: " << read_file(io.file("err"));
    int temps = 0;
    for (const std::string& name : names_in(dir.path()))
      temps += has(name, ".part-") ? 1 : 0;
    EXPECT_EQ(temps, 2) << "the CSV's and the map's temporary files";
    if (sig == SIGPIPE)
      close(pipe_fds[0]);  // the reader goes away: the next write raises SIGPIPE
    else
      kill(pid, sig);
    run_result r;
    finish(pid, r);
    if (sig != SIGPIPE)
      close(pipe_fds[0]);
    EXPECT_EQ(r.signal, sig) << "status " << r.exit_status << ": " << read_file(io.file("err"));
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"d.bin"});
  }
}

TEST(PagolinthEccOutputs, AFileSizeLimitIsReportedLikeAFullDisk) {
  scratch_dir dir;
  write_dump(dir.file("d.bin"), 512);  // 1 MiB
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"encode", "d.bin", "-o", "out.bin"},
        std::vector<std::string>{"fix", "d.bin", "-o", "out.bin", "--csv", "big.csv"},
        std::vector<std::string>{"extract", "d.bin", "-o", "out.bin"}}) {
    SCOPED_TRACE("case " + args[0]);
    run_setup limited;
    limited.file_size_limit = 64 * 1024;
    const run_result r = run(dir, args, limited);
    EXPECT_EQ(r.signal, 0) << "killed by the file-size limit's signal";
    EXPECT_EQ(r.exit_status, 2);
    // The output, or its record (encode lists every step of the erased dump as changed).
    EXPECT_TRUE(has(r.err, "cannot write out.bin") && has(r.err, ": file too large")) << r.err;
    // Nor an audit record: it is committed after the output.
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"d.bin"});
  }
}

TEST(PagolinthEccOutputs, LeftoversOfAKilledRunAreReportedAndCleared) {
  scratch_dir dir;
  write_dump(dir.file("d.bin"), 4);
  // A run killed outright leaves its temporary file.
  write_dump(dir.file("big.bin"), 2048);
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);  // the tool holds only its end
  run_setup held;
  held.stdout_fd = pipe_fds[1];
  scratch_dir io;
  const pid_t killed = start(dir.path(), {"fix", "big.bin", "-o", "-", "--csv", "out.csv"}, held,
                             io.file("out"), io.file("err"));
  close(pipe_fds[1]);
  pollfd pfd{pipe_fds[0], POLLIN, 0};
  EXPECT_EQ(poll(&pfd, 1, 60000), 1) << read_file(io.file("err"));
  kill(killed, SIGKILL);
  run_result ignored;
  finish(killed, ignored);
  close(pipe_fds[0]);
  std::string left;
  for (const std::string& name : names_in(dir.path()))
    left = has(name, "out.csv.part-" + std::to_string(killed) + "-") ? name : left;
  ASSERT_FALSE(left.empty()) << "the killed run left no recognisable temporary file";
  // One of a process that still runs (the test's parent), and one of a different output.
  const std::string running = "out.csv.part-" + std::to_string(getppid()) + "-0000abcd";
  const std::string unrelated = "other.csv.part-" + std::to_string(killed) + "-0000abcd";
  write_file(dir.file(running), "");
  write_file(dir.file(unrelated), "");

  const run_result r = run(dir, {"check", "d.bin", "--csv", "out.csv"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "warning: removed " + left)) << r.err;
  EXPECT_TRUE(has(r.err, running)) << r.err;
  EXPECT_FALSE(has(r.err, unrelated)) << r.err;
  EXPECT_FALSE(fs::exists(dir.file(left)));
  EXPECT_TRUE(fs::exists(dir.file(running)));
  EXPECT_TRUE(fs::exists(dir.file(unrelated)));
  EXPECT_TRUE(fs::exists(dir.file("out.csv")));
}

TEST(PagolinthEccOutputs, AnUnwritableStandardOutputIsAnError) {
  if (!fs::exists("/dev/full"))
    GTEST_SKIP() << "no /dev/full on this system";
  scratch_dir dir;
  write_dump(dir.file("d.bin"), 4);
  run_setup full;
  full.stdout_path = "/dev/full";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"check", "d.bin"}, std::vector<std::string>{"layout"},
        std::vector<std::string>{"--help"}, std::vector<std::string>{"encode", "d.bin", "-o", "-"},
        std::vector<std::string>{"encode", "d.bin", "-o", "e.bin"}}) {
    SCOPED_TRACE("case " + args[0] + (args.size() > 2 ? " " + args[3] : ""));
    const run_result r = run(dir, args, full);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_TRUE(has(r.err,
                    "pagolinth-ecc: cannot write to standard output: no space left on "
                    "device"))
        << r.err;
  }
  // The output itself was complete: only the report could not be shown.
  EXPECT_EQ(fs::file_size(dir.file("e.bin")), 4u * 2112);
  EXPECT_FALSE(any_temp(dir.path()));
}

}  // namespace
