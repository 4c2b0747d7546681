// The few console and file-system operations the programs need from their platform: the
// locale request, clearing the screen, waiting for one key, the shell's "pause", the fixed
// drive-letter paths, 64-bit file positioning, telling a terminal, syncing a file to disk,
// mapping part of a file into memory, creating a file that must be new, opening a file only when
// it is a regular one, telling whether a process still runs, and removing temporary files when a
// signal ends the process.
// One implementation for Windows (platform_windows.cpp), one for Linux and other POSIX
// systems (platform_posix.cpp).
#pragma once

#include <cstddef>  // std::size_t
#include <cstdint>  // std::int64_t
#include <cstdio>   // std::FILE
#include <string>   // std::string

// Requests the locale "de_DE.UTF-8" for all categories; the result is ignored.
void platform_set_locale();

// Clears the console. Writes nothing when standard output is not a console or terminal.
void platform_clear_screen();

// Flushes standard output, then waits for one key press and returns its first byte, or -1
// when standard input has ended (which counts as a key, so a scripted run never hangs).
// On a console or terminal: one keystroke, without echo and without Enter. Otherwise: the
// next byte of standard input.
int platform_wait_key();

// Prints a prompt to press a key and waits for one (the shell's "pause").
void platform_pause();

// Maps one of the dialogue's fixed file names ("Dump.bin", "C:/ECC/Dump.bin", ...) to the
// name to open on this platform. On Windows names stay as they are; elsewhere the folder
// "C:/ECC/" is the working folder, so "C:/ECC/Dump.bin" and "Dump.bin" are the same file.
std::string platform_path(const char* name);

// True when `file` is a console or terminal.
bool platform_is_terminal(std::FILE* file);

// Writes what `file` has buffered through to the disk (fflush, then fsync or _commit).
// Returns false when that fails.
bool platform_sync(std::FILE* file);

// 64-bit fseek and ftell on any platform. platform_ftell64 returns -1 on failure.
int platform_fseek64(std::FILE* file, std::int64_t offset, int whence);
std::int64_t platform_ftell64(std::FILE* file);

// A part of a file mapped into memory privately: reads see the file, writes stay in this
// process and never reach the file.
struct platform_mapping {
  unsigned char* data = nullptr;  // the first byte asked for
  std::size_t length = 0;         // bytes asked for
  void* base = nullptr;           // what the system mapped (from an aligned offset)
  std::size_t base_length = 0;
};

// Maps `length` bytes of `file` from `offset` (any offset) readable and privately writable.
// Returns false, leaving `mapping` empty, when the platform or the file offers no mapping
// (pipes, special files, Windows): callers then read instead.
// REQUIRES: length >= 1; offset + length within the file (touching mapped bytes past the file's
// end is fatal).
bool platform_map(std::FILE* file, std::int64_t offset, std::size_t length,
                  platform_mapping& mapping);

// Releases a mapping made by platform_map (nothing for an empty one) and empties it.
void platform_unmap(platform_mapping& mapping);

// Reads exactly `length` bytes of `file` at `offset` without moving its position. Returns
// false when they cannot all be read.
bool platform_read_at(std::FILE* file, std::int64_t offset, void* buffer, std::size_t length);

// Creates `path` as a new file open for writing in binary mode. Fails when anything, even a
// dangling symbolic link, already has that name: nothing is ever opened through a name that
// appeared meanwhile. The file gets read and write permission for all, less the umask, as a
// normal output. Returns the open file, or null with the system's error number in `error`.
std::FILE* platform_create_new(const std::string& path, int& error);

// Opens `path` for reading in binary mode when it names a regular file, and only then: a
// folder, a device (/dev/zero, NUL), a FIFO or a socket is refused, told by its name first so
// that a device is never opened, then by the file opened, so that a name replaced meanwhile
// cannot slip through. A FIFO is opened without waiting for a writer (POSIX: O_NONBLOCK), so
// this never blocks. Returns the open file; or null with `error` the system's error number when
// the name cannot be examined or opened, or with `error` 0 and `not_regular` naming what the name
// is instead ("a folder", "a FIFO", "a character device", "a block device", "a socket",
// "another kind of file").
std::FILE* platform_open_regular(const std::string& path, int& error, std::string& not_regular);

// Puts `file` (standard output, say) in binary mode, so that bytes written to it pass unchanged
// (Windows would otherwise turn LF into CR LF). Nothing to do elsewhere.
void platform_binary_mode(std::FILE* file);

// True when the open `file` is the file `path` names (same device and file number). False when
// it is not, when either cannot be examined, or when the platform cannot tell.
bool platform_file_is(std::FILE* file, const std::string& path);

// The id of this process.
long platform_process_id();

// True only when no process with id `pid` exists (POSIX: kill(pid, 0) fails with ESRCH).
// False when it runs, when it may run (no permission to ask) and for pid <= 0.
bool platform_process_gone(long pid);

// Temporary files that a fatal signal must take away. While a path is tracked, SIGINT, SIGTERM,
// SIGHUP, SIGQUIT and SIGPIPE (Windows: SIGINT, SIGTERM, SIGBREAK) first remove it, then end
// the process by the same signal, as if unhandled. The handler is async-signal-safe: a fixed
// table of paths, unlink only. On Windows a file still open cannot be removed, so there the
// removal is best effort. Tracking also makes SIGXFSZ ignored: a write past the file-size
// limit then fails with EFBIG and is reported, instead of killing the process silently.
constexpr int kPlatformTempSlots = 8;

// Starts tracking `path`. Returns its slot (0 to kPlatformTempSlots - 1), or -1 when every slot
// is taken or the path is longer than 4095 bytes: the file is then not removed on a signal.
int platform_track_temp(const std::string& path);

// Stops tracking the slot platform_track_temp returned; nothing for -1.
void platform_untrack_temp(int slot);

// Makes SIGXFSZ ignored (see above), for writes that go to no tracked file, e.g. standard
// output. Nothing on Windows, which has no such signal.
void platform_ignore_file_size_signal();

// SHA-256 from the platform's own cryptography (OpenSSL's libcrypto on POSIX systems, CNG on
// Windows), for the hashes that reports and audit records carry. Lives in the separate library
// pagolinth_sha256, so that programs which never hash do not link a cryptography library.
// Usage: construct, feed any number of platform_sha256_update calls, then platform_sha256_hex
// once. The object owns the platform's hash state and frees it when destroyed.
struct platform_sha256 {
  platform_sha256();
  ~platform_sha256();
  platform_sha256(const platform_sha256&) = delete;
  platform_sha256& operator=(const platform_sha256&) = delete;

  void* impl;   // the platform's hash object; nullptr when it could not be created
  bool failed;  // an operation failed: the digest will not be given
};

// Adds `length` bytes at `data` to the hash. False (and the object marked failed) when the
// platform's hash fails or the object is already finished or failed. length 0 is allowed.
bool platform_sha256_update(platform_sha256& hash, const void* data, std::size_t length);

// Finishes the hash and returns the digest as 64 lower-case hex digits, or "" when any step
// failed. Any later call on the same object fails.
std::string platform_sha256_hex(platform_sha256& hash);
