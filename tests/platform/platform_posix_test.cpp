// End-to-end tests of the built program on a pseudo-terminal: one keystroke per sector,
// without echo and without Enter, the answer's line end not taken for a key, an escape
// sequence taken for one key, and the terminal's settings restored at the end and on Ctrl-C.
// Then the file-system calls of the platform: files that must be new, process liveness, and
// telling standard output's file.
#include <gtest/gtest.h>

#include <fcntl.h>      // open
#include <poll.h>       // poll
#include <pty.h>        // openpty
#include <signal.h>     // kill, SIGKILL
#include <sys/ioctl.h>  // ioctl, TIOCSCTTY
#include <sys/stat.h>   // stat, umask
#include <sys/wait.h>   // waitpid
#include <termios.h>    // tcgetattr
#include <unistd.h>     // fork, setsid, read, write

#include <cerrno>      // EEXIST
#include <chrono>      // std::chrono
#include <cstdio>      // std::fputs, std::fclose
#include <filesystem>  // std::filesystem::create_symlink, std::filesystem::exists
#include <string>      // std::string
#include <thread>      // std::this_thread::sleep_for

#include "platform/platform.h"          // platform_create_new, platform_process_gone
#include "tests/support/run_program.h"  // scratch_dir, write_file

namespace {

using std::chrono::milliseconds;

// Generous: only a guard against a hang, never a measure of speed.
constexpr auto kPatience = std::chrono::seconds(60);

// The program on a pseudo-terminal of its own, as its controlling terminal. The test keeps
// the terminal's slave side open to read its settings after the program has ended.
class terminal_run {
 public:
  explicit terminal_run(const std::string& cwd) {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
      return;
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      ioctl(slave_, TIOCSCTTY, 0);
      dup2(slave_, 0);
      dup2(slave_, 1);
      dup2(slave_, 2);
      close(master_);
      close(slave_);
      if (chdir(cwd.c_str()) != 0)
        _exit(127);
      execl(PAGOLINTH_PROGRAM, PAGOLINTH_PROGRAM, static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~terminal_run() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0)
      close(master_);
    if (slave_ >= 0)
      close(slave_);
  }
  terminal_run(const terminal_run&) = delete;
  terminal_run& operator=(const terminal_run&) = delete;

  bool started() const { return pid_ > 0; }
  const std::string& screen() const { return seen_; }

  void type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Reads the program's output until `text` has appeared after what was seen before.
  bool wait_for(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (seen_.find(text, searched_from_) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || !read_some(200)) {
        if (std::chrono::steady_clock::now() > deadline)
          return false;
      }
    }
    searched_from_ = seen_.find(text, searched_from_) + text.size();
    return true;
  }

  // Collects output for a while: for checks that something does not happen.
  void linger(milliseconds time) {
    const auto until = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < until)
      read_some(20);
  }

  bool running() { return waitpid(pid_, &status_, WNOHANG) == 0; }

  // Waits for the program to end; returns its wait status.
  int finish() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      read_some(20);
      if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        ended_ = true;
        return status_;
      }
    }
    return -1;
  }

  termios settings() const {
    termios t{};
    tcgetattr(slave_, &t);
    return t;
  }

 private:
  bool read_some(int timeout_ms) {
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0)
      return false;
    char buf[4096];
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0)
      return false;
    seen_.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
  int status_ = 0;
  bool ended_ = false;
  std::string seen_;
  std::size_t searched_from_ = 0;
};

bool cooked(const termios& t) {
  return (t.c_lflag & ICANON) && (t.c_lflag & ECHO);
}

// One page of 2,048 + 64 bytes: four sectors.
void one_page_dump(const scratch_dir& dir) {
  write_file(dir.file("Dump.bin"), std::string(2112, 'A'));
}

void answer_geometry(terminal_run& run) {
  ASSERT_TRUE(run.wait_for("<Page Size without Spare> in <Bytes> : "));
  run.type("2048\n");
  ASSERT_TRUE(run.wait_for("<Spare Size> in <Bytes> : "));
  run.type("64\n");
  ASSERT_TRUE(run.wait_for("<Block size> in <Pages> : "));
  run.type("64\n");
}

TEST(TerminalKeys, OneKeystrokePerSectorWithoutEchoAndTheTerminalRestored) {
  scratch_dir dir;
  one_page_dump(dir);
  terminal_run run(dir.path());
  ASSERT_TRUE(run.started());
  ASSERT_NO_FATAL_FAILURE(answer_geometry(run));
  EXPECT_EQ(run.screen().rfind("\033[H\033[2J", 0), 0u) << "the screen was not cleared first";

  ASSERT_TRUE(run.wait_for("Buffer buf_bp508-buf_bp511: 41 41 41 41  "));
  // The Enter of the last answer is no key: the walk waits at sector 0.
  run.linger(milliseconds(300));
  EXPECT_EQ(run.screen().find("Datablock 1 "), std::string::npos);
  EXPECT_FALSE(cooked(run.settings())) << "waiting for a key in line mode or with echo";

  run.type("Q");
  ASSERT_TRUE(run.wait_for("Datablock 1 "));
  run.type("Q");
  ASSERT_TRUE(run.wait_for("Datablock 2 "));
  run.type("Q");
  ASSERT_TRUE(run.wait_for("Datablock 3 "));
  // An arrow key sends three bytes and is one key press: it leads to the final message, and
  // the program still waits for the last key.
  run.type("\033[A");
  ASSERT_TRUE(run.wait_for("Erledigt. Druecken Sie eine beliebige Taste."));
  run.linger(milliseconds(300));
  EXPECT_TRUE(run.running()) << "one arrow key was taken for several key presses";
  run.type("Q");
  const int status = run.finish();
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(run.screen().find('Q'), std::string::npos) << "a key press was echoed";
  EXPECT_TRUE(cooked(run.settings())) << "terminal settings not restored at the end";
}

TEST(TerminalKeys, CtrlCEndsTheWalkAndRestoresTheTerminal) {
  scratch_dir dir;
  one_page_dump(dir);
  terminal_run run(dir.path());
  ASSERT_TRUE(run.started());
  ASSERT_NO_FATAL_FAILURE(answer_geometry(run));
  ASSERT_TRUE(run.wait_for("Datablock 0 "));
  ASSERT_TRUE(run.wait_for("Buffer buf_bp508-buf_bp511"));
  run.linger(milliseconds(100));
  ASSERT_FALSE(cooked(run.settings()));
  run.type("\003");
  const int status = run.finish();
  ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_TRUE(cooked(run.settings())) << "terminal settings not restored after Ctrl-C";
}

TEST(PlatformFiles, NewFilesAreNeverOpenedThroughAnExistingName) {
  scratch_dir dir;
  write_file(dir.file("taken"), "keep");
  std::filesystem::create_symlink("target", dir.file("dangling"));
  for (const char* name : {"taken", "dangling"}) {
    SCOPED_TRACE(testing::Message() << "case " << name);
    int error = 0;
    EXPECT_EQ(platform_create_new(dir.file(name), error), nullptr);
    EXPECT_EQ(error, EEXIST);
  }
  EXPECT_EQ(read_file(dir.file("taken")), "keep");
  EXPECT_FALSE(std::filesystem::exists(dir.file("target"))) << "created through the link";

  const mode_t old_mask = umask(077);
  int error = 0;
  std::FILE* made = platform_create_new(dir.file("new"), error);
  umask(old_mask);
  ASSERT_NE(made, nullptr) << "error " << error;
  std::fputs("data", made);
  std::fclose(made);
  EXPECT_EQ(read_file(dir.file("new")), "data");
  struct stat st {};
  ASSERT_EQ(stat(dir.file("new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "not 0666 less the umask";
}

TEST(PlatformFiles, ProcessesTellWhetherTheyAreGone) {
  EXPECT_EQ(platform_process_id(), static_cast<long>(getpid()));
  EXPECT_FALSE(platform_process_gone(platform_process_id()));
  EXPECT_FALSE(platform_process_gone(static_cast<long>(getppid())));
  EXPECT_FALSE(platform_process_gone(0)) << "0 is no process";
  EXPECT_FALSE(platform_process_gone(-1)) << "-1 is no process";
  const pid_t child = fork();
  if (child == 0)
    _exit(0);
  EXPECT_FALSE(platform_process_gone(child)) << "a child not yet reaped still exists";
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(platform_process_gone(child));
}

TEST(PlatformFiles, StandardOutputIsToldByItsFile) {
  scratch_dir dir;
  write_file(dir.file("out"), "");
  write_file(dir.file("other"), "");
  const pid_t child = fork();
  if (child == 0) {
    // Exits 0 when stdout is "out" and not "other", nor a missing file.
    const int fd = open(dir.file("out").c_str(), O_WRONLY);
    if (fd < 0 || dup2(fd, 1) < 0)
      _exit(10);
    _exit(platform_file_is(stdout, dir.file("out")) &&
                  !platform_file_is(stdout, dir.file("other")) &&
                  !platform_file_is(stdout, dir.file("missing"))
              ? 0
              : 11);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
