// Console operations for Windows: the command shell's "cls" and "pause", _getch for a key,
// the locale by name, and the drive-letter paths as they stand. When standard input or
// output is redirected, keys are bytes of standard input and nothing clears the screen,
// so a scripted run behaves as on any other platform.
#include "platform/platform.h"

#include <conio.h>    // _getch
#include <io.h>       // _isatty, _fileno, _commit
#include <windows.h>  // GetConsoleOutputCP, SetConsoleOutputCP, CP_UTF8

#include <clocale>  // std::setlocale
#include <cstdio>   // std::fflush, std::getchar, _fseeki64, _ftelli64
#include <cstdlib>  // std::system, std::atexit

namespace {

UINT g_saved_output_cp = 0;

void restore_output_cp() {
  if (g_saved_output_cp != 0)
    SetConsoleOutputCP(g_saved_output_cp);
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
  const std::int64_t was = _ftelli64(file);
  const bool ok = was >= 0 && _fseeki64(file, offset, SEEK_SET) == 0 &&
                  std::fread(buffer, 1, length, file) == length;
  return _fseeki64(file, was, SEEK_SET) == 0 && ok;
}
