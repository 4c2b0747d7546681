// Console operations for Linux and other POSIX systems. On a terminal a key press is read
// in non-canonical mode without echo; the terminal's settings are restored at every exit,
// including Ctrl-C, Ctrl-\, hang-up, a closed pipe and termination, and around a suspend
// with Ctrl-Z. The same fatal signals take away the temporary files being tracked.
#include "platform/platform.h"

#include <fcntl.h>     // open, fcntl, O_CREAT, O_EXCL, O_NONBLOCK
#include <poll.h>      // poll
#include <sys/mman.h>  // mmap, munmap, madvise
#include <sys/stat.h>  // fstat, stat
#include <signal.h>    // sigaction, raise, kill
#include <termios.h>   // tcgetattr, tcsetattr
#include <unistd.h>    // isatty, read, unlink, getpid, close

#include <atomic>   // std::atomic
#include <cerrno>   // errno, EINTR, ESRCH
#include <csignal>  // std::sig_atomic_t
#include <clocale>  // std::setlocale
#include <cstdio>   // std::fputs, std::fflush, std::getchar, fdopen
#include <cstdlib>  // std::atexit
#include <cstring>  // std::strncmp, std::memcpy

namespace {

// Terminal state: the settings found before the first key wait, and whether the terminal
// is now in key mode. Touched by the signal handlers, hence the sig_atomic_t flag.
struct terminal_state {
  termios saved{};
  volatile std::sig_atomic_t raw = 0;
  bool hooks_installed = false;
};
terminal_state g_term;

constexpr int kRestoreSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

// The temporary files a fatal signal removes. A slot is free (0), being filled (1) or holds a
// path (2); the handler reads only slots in state 2, so it never sees a half-copied path, and
// an atomic int is lock-free, hence safe to read in a handler on any thread.
struct temp_slot {
  char path[4096];
  std::atomic<int> state;
};
temp_slot g_temps[kPlatformTempSlots];
bool g_temp_hooks_installed = false;

// Async-signal-safe: unlink only.
void remove_tracked_temps() {
  for (temp_slot& slot : g_temps) {
    if (slot.state.load(std::memory_order_acquire) == 2)
      unlink(slot.path);
  }
}

void restore_terminal() {
  if (g_term.raw) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_term.saved);
    g_term.raw = 0;
  }
}

void enter_key_mode() {
  termios raw = g_term.saved;
  // Signals stay on, so Ctrl-C still ends the program (through on_fatal_signal).
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0)
    g_term.raw = 1;
}

// Async-signal-safe (sigaction only), so the handlers below may call it.
void set_handler(int sig, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
}

// Async-signal-safe: tcsetattr, unlink, sigaction and raise only.
void on_fatal_signal(int sig) {
  restore_terminal();
  remove_tracked_temps();
  set_handler(sig, SIG_DFL);
  raise(sig);
}

void on_suspend(int) {
  const bool was_raw = g_term.raw != 0;
  restore_terminal();
  set_handler(SIGTSTP, SIG_DFL);
  raise(SIGTSTP);
  // Running again after SIGCONT.
  set_handler(SIGTSTP, on_suspend);
  if (was_raw)
    enter_key_mode();
}

void install_hooks() {
  if (g_term.hooks_installed)
    return;
  g_term.hooks_installed = true;
  std::atexit(restore_terminal);
  for (int sig : kRestoreSignals)
    set_handler(sig, on_fatal_signal);
  set_handler(SIGTSTP, on_suspend);
}

// One keystroke may send several bytes (arrow and function keys send an escape sequence);
// the rest of such a sequence arrives at once and is swallowed, so it counts as one key.
void swallow_escape_sequence() {
  pollfd pfd{STDIN_FILENO, POLLIN, 0};
  unsigned char rest[16];
  while (poll(&pfd, 1, 20) > 0 && (pfd.revents & POLLIN)) {
    if (read(STDIN_FILENO, rest, sizeof rest) <= 0)
      break;
  }
}

}  // namespace

void platform_set_locale() {
  std::setlocale(LC_ALL, "de_DE.UTF-8");
}

void platform_clear_screen() {
  if (!isatty(STDOUT_FILENO))
    return;
  // Home, clear the screen, clear the scroll-back: what "cls" leaves on a console.
  std::fputs("\033[H\033[2J\033[3J", stdout);
  std::fflush(stdout);
}

int platform_wait_key() {
  std::fflush(stdout);
  if (!isatty(STDIN_FILENO))
    return std::getchar();

  if (!g_term.raw) {
    if (tcgetattr(STDIN_FILENO, &g_term.saved) != 0)
      return std::getchar();
    install_hooks();
    enter_key_mode();
  }
  unsigned char c = 0;
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1)
      break;
    if (n < 0 && errno == EINTR)
      continue;
    return -1;
  }
  if (c == 0x1B)
    swallow_escape_sequence();
  return c;
}

void platform_pause() {
  std::fputs("Druecken Sie eine beliebige Taste . . . ", stdout);
  platform_wait_key();
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

std::string platform_path(const char* name) {
  static const char kFolder[] = "C:/ECC/";
  const std::size_t prefix = sizeof kFolder - 1;
  if (std::strncmp(name, kFolder, prefix) == 0)
    return name + prefix;
  return name;
}

int platform_fseek64(std::FILE* file, std::int64_t offset, int whence) {
  return fseeko(file, static_cast<off_t>(offset), whence);
}

std::int64_t platform_ftell64(std::FILE* file) {
  return ftello(file);
}

bool platform_is_terminal(std::FILE* file) {
  return isatty(fileno(file)) != 0;
}

bool platform_sync(std::FILE* file) {
  return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool platform_map(std::FILE* file, std::int64_t offset, std::size_t length,
                  platform_mapping& mapping) {
  mapping = platform_mapping{};
  struct stat st {};
  const int fd = fileno(file);
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || offset < 0 || length == 0 ||
      offset + static_cast<std::int64_t>(length) > st.st_size)
    return false;
  const auto page = static_cast<std::int64_t>(sysconf(_SC_PAGESIZE));
  const std::int64_t start = offset / page * page;
  const auto lead = static_cast<std::size_t>(offset - start);
  void* base = mmap(nullptr, length + lead, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd,
                    static_cast<off_t>(start));
  if (base == MAP_FAILED)
    return false;
  // The pass reads each mapped page once, front to back; from a cold cache the reading ahead
  // starts now.
  madvise(base, length + lead, MADV_SEQUENTIAL);
  madvise(base, length + lead, MADV_WILLNEED);
  mapping.base = base;
  mapping.base_length = length + lead;
  mapping.data = static_cast<unsigned char*>(base) + lead;
  mapping.length = length;
  return true;
}

void platform_unmap(platform_mapping& mapping) {
  if (mapping.base != nullptr)
    munmap(mapping.base, mapping.base_length);
  mapping = platform_mapping{};
}

bool platform_read_at(std::FILE* file, std::int64_t offset, void* buffer, std::size_t length) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const ssize_t got = pread(fileno(file), out, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    out += got;
    offset += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

std::FILE* platform_create_new(const std::string& path, int& error) {
  error = 0;
  // O_EXCL also refuses a symbolic link, dangling or not, so nothing is written through one.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    error = errno;
    close(fd);
    unlink(path.c_str());
  }
  return file;
}

namespace {

// What a file that is not a regular one is, for refusals.
const char* kind_of(mode_t mode) {
  if (S_ISDIR(mode))
    return "a folder";
  if (S_ISFIFO(mode))
    return "a FIFO";
  if (S_ISCHR(mode))
    return "a character device";
  if (S_ISBLK(mode))
    return "a block device";
  if (S_ISSOCK(mode))
    return "a socket";
  return "another kind of file";
}

}  // namespace

std::FILE* platform_open_regular(const std::string& path, int& error, std::string& not_regular) {
  error = 0;
  not_regular.clear();
  // By name first: opening a device can act on it (a tape rewinds, a terminal becomes ours).
  struct stat named {};
  if (stat(path.c_str(), &named) != 0) {
    error = errno;
    return nullptr;
  }
  if (!S_ISREG(named.st_mode)) {
    not_regular = kind_of(named.st_mode);
    return nullptr;
  }
  // The name may have been replaced by a FIFO since: O_NONBLOCK opens that without a writer,
  // and the file opened is what is examined.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  struct stat opened {};
  if (fstat(fd, &opened) != 0) {
    error = errno;
    close(fd);
    return nullptr;
  }
  if (!S_ISREG(opened.st_mode)) {
    not_regular = kind_of(opened.st_mode);
    close(fd);
    return nullptr;
  }
  // Reads of a regular file never wait anyway; the flag goes so the file behaves as any other.
  const int flags = fcntl(fd, F_GETFL);
  if (flags != -1)
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) {
    error = errno;
    close(fd);
  }
  return file;
}

void platform_binary_mode(std::FILE*) {}

bool platform_file_is(std::FILE* file, const std::string& path) {
  struct stat out {
  }, named{};
  const int fd = fileno(file);
  return fd >= 0 && fstat(fd, &out) == 0 && stat(path.c_str(), &named) == 0 &&
         out.st_dev == named.st_dev && out.st_ino == named.st_ino;
}

long platform_process_id() {
  return static_cast<long>(getpid());
}

bool platform_process_gone(long pid) {
  if (pid <= 0 || static_cast<long>(static_cast<pid_t>(pid)) != pid)
    return false;
  return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

int platform_track_temp(const std::string& path) {
  if (!g_temp_hooks_installed) {
    g_temp_hooks_installed = true;
    for (int sig : kRestoreSignals)
      set_handler(sig, on_fatal_signal);
    platform_ignore_file_size_signal();
  }
  if (path.size() >= sizeof g_temps[0].path)
    return -1;
  for (int i = 0; i < kPlatformTempSlots; ++i) {
    int expected = 0;
    if (!g_temps[i].state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel))
      continue;
    std::memcpy(g_temps[i].path, path.c_str(), path.size() + 1);
    g_temps[i].state.store(2, std::memory_order_release);
    return i;
  }
  return -1;
}

void platform_untrack_temp(int slot) {
  if (slot >= 0 && slot < kPlatformTempSlots)
    g_temps[slot].state.store(0, std::memory_order_release);
}

void platform_ignore_file_size_signal() {
  set_handler(SIGXFSZ, SIG_IGN);
}
