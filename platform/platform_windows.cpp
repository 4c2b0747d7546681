// Console operations for Windows: the command shell's "cls" and "pause", _getch for a key,
// the locale by name, and the drive-letter paths as they stand. When standard input or
// output is redirected, keys are bytes of standard input and nothing clears the screen,
// so a scripted run behaves as on any other platform. Files that must be new are opened with
// _O_EXCL, and Ctrl-C, Ctrl-Break and termination take away the tracked temporary files.
#include "platform/platform.h"

#include <conio.h>     // _getch
#include <fcntl.h>     // _O_CREAT, _O_EXCL, _O_BINARY, _O_WRONLY
#include <io.h>        // _isatty, _fileno, _commit, _open, _close, _setmode, _unlink
#include <sys/stat.h>  // _S_IREAD, _S_IWRITE, _stat64, _S_IFMT
#include <windows.h>   // GetConsoleOutputCP, SetConsoleOutputCP, CP_UTF8, OpenProcess

#include <atomic>   // std::atomic
#include <cerrno>   // errno
#include <clocale>  // std::setlocale
#include <csignal>  // std::signal, std::raise, SIGINT, SIGTERM, SIGBREAK
#include <cstdio>   // std::fflush, std::getchar, std::fopen, _fseeki64, _ftelli64, _fdopen
#include <cstdlib>  // std::system, std::atexit
#include <cstring>  // std::memcpy

namespace {

UINT g_saved_output_cp = 0;

void restore_output_cp() {
  if (g_saved_output_cp != 0)
    SetConsoleOutputCP(g_saved_output_cp);
}

// The temporary files a signal removes; see platform_posix.cpp for the slot states.
struct temp_slot {
  char path[4096];
  std::atomic<int> state;
};
temp_slot g_temps[kPlatformTempSlots];
bool g_temp_hooks_installed = false;

void on_fatal_signal(int sig) {
  for (temp_slot& slot : g_temps) {
    if (slot.state.load(std::memory_order_acquire) == 2)
      _unlink(slot.path);
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

void platform_set_locale() {
  std::setlocale(LC_ALL, "de_DE.UTF-8");
  // Two texts are UTF-8; the console shows them right only in code page 65001. The
  // console's own code page is given back when the program ends.
  if (_isatty(_fileno(stdout))) {
    g_saved_output_cp = GetConsoleOutputCP();
    if (g_saved_output_cp != 0 && SetConsoleOutputCP(CP_UTF8))
      std::atexit(restore_output_cp);
  }
}

void platform_clear_screen() {
  if (!_isatty(_fileno(stdout)))
    return;
  std::fflush(stdout);
  std::system("cls");
}

int platform_wait_key() {
  std::fflush(stdout);
  if (!_isatty(_fileno(stdin)))
    return std::getchar();
  int c = _getch();
  // Arrow and function keys arrive as two codes; together they are one key press.
  if (c == 0 || c == 0xE0)
    _getch();
  return c;
}

void platform_pause() {
  std::fflush(stdout);
  std::system("pause");
}

std::string platform_path(const char* name) {
  return name;
}

int platform_fseek64(std::FILE* file, std::int64_t offset, int whence) {
  return _fseeki64(file, offset, whence);
}

std::int64_t platform_ftell64(std::FILE* file) {
  return _ftelli64(file);
}

bool platform_is_terminal(std::FILE* file) {
  return _isatty(_fileno(file)) != 0;
}

bool platform_sync(std::FILE* file) {
  return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

// Reading in large blocks is as fast as a mapping here; the pass reads.
bool platform_map(std::FILE*, std::int64_t, std::size_t, platform_mapping& mapping) {
  mapping = platform_mapping{};
  return false;
}

void platform_unmap(platform_mapping& mapping) {
  mapping = platform_mapping{};
}

bool platform_read_at(std::FILE* file, std::int64_t offset, void* buffer, std::size_t length) {
  // Seeking and reading are two calls: held under the stream's own lock, so that two threads
  // reading the one file (the pass reads ahead while its consumer reads again) cannot move
  // each other's position in between.
  _lock_file(file);
  const std::int64_t was = _ftelli64(file);
  const bool ok = was >= 0 && _fseeki64(file, offset, SEEK_SET) == 0 &&
                  std::fread(buffer, 1, length, file) == length;
  const bool back = _fseeki64(file, was, SEEK_SET) == 0;
  _unlock_file(file);
  return back && ok;
}

std::FILE* platform_create_new(const std::string& path, int& error) {
  error = 0;
  const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                       _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) {
    error = errno;
    _close(fd);
    _unlink(path.c_str());
  }
  return file;
}

std::FILE* platform_open_regular(const std::string& path, int& error, std::string& not_regular) {
  error = 0;
  not_regular.clear();
  // By name first: devices such as NUL or CON are never opened.
  struct _stat64 named {};
  if (_stat64(path.c_str(), &named) != 0) {
    error = errno;
    return nullptr;
  }
  if ((named.st_mode & _S_IFMT) != _S_IFREG) {
    not_regular = (named.st_mode & _S_IFMT) == _S_IFDIR   ? "a folder"
                  : (named.st_mode & _S_IFMT) == _S_IFCHR ? "a character device"
                                                          : "another kind of file";
    return nullptr;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = errno;
    return nullptr;
  }
  // The file opened must be one on a disk, not a device or pipe a name replaced meanwhile.
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) {
    std::fclose(file);
    not_regular = "another kind of file";
    return nullptr;
  }
  return file;
}

void platform_binary_mode(std::FILE* file) {
  std::fflush(file);
  _setmode(_fileno(file), _O_BINARY);
}

bool platform_file_is(std::FILE* file, const std::string& path) {
  const HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (out == INVALID_HANDLE_VALUE || GetFileType(out) != FILE_TYPE_DISK)
    return false;
  const HANDLE named =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (named == INVALID_HANDLE_VALUE)
    return false;
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  const bool same = GetFileInformationByHandle(out, &a) && GetFileInformationByHandle(named, &b) &&
                    a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                    a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(named);
  return same;
}

long platform_process_id() {
  return static_cast<long>(GetCurrentProcessId());
}

bool platform_process_gone(long pid) {
  if (pid <= 0)
    return false;
  const HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr)
    return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  DWORD code = 0;
  const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  CloseHandle(process);
  return ended;
}

int platform_track_temp(const std::string& path) {
  if (!g_temp_hooks_installed) {
    g_temp_hooks_installed = true;
    std::signal(SIGINT, on_fatal_signal);
    std::signal(SIGTERM, on_fatal_signal);
    std::signal(SIGBREAK, on_fatal_signal);
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

void platform_ignore_file_size_signal() {}
