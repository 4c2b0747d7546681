// Hashing a whole file through the platform's SHA-256, a piece at a time so that a dump of any
// size costs a few megabytes of memory.
#include "files/file_digest.h"

#include "platform/platform.h"  // platform_sha256, platform_read_at, platform_open_regular

#include <cerrno>   // errno
#include <cstdio>   // std::fclose, SEEK_END
#include <cstdint>  // std::int64_t
#include <cstring>  // std::strerror
#include <memory>   // std::unique_ptr
#include <string>   // std::to_string
#include <vector>   // std::vector

status sha256_of_file(std::FILE* file, std::string& digest) {
  digest.clear();
  if (platform_fseek64(file, 0, SEEK_END) != 0)
    return status::error(std::string("cannot find the file's size: ") + std::strerror(errno));
  const std::int64_t size = platform_ftell64(file);
  if (size < 0)
    return status::error(std::string("cannot find the file's size: ") + std::strerror(errno));
  platform_sha256 hash;
  std::vector<unsigned char> piece(std::size_t{4} << 20);
  for (std::int64_t at = 0; at < size;) {
    const std::int64_t left = size - at;
    const std::size_t length = left < static_cast<std::int64_t>(piece.size())
                                   ? static_cast<std::size_t>(left)
                                   : piece.size();
    if (!platform_read_at(file, at, piece.data(), length))
      return status::error("cannot read the file at offset " + std::to_string(at));
    if (!platform_sha256_update(hash, piece.data(), length))
      return status::error("the platform's SHA-256 failed");
    at += static_cast<std::int64_t>(length);
  }
  // The size told is all there is, or the hash would cover only some of it: /proc files say 0.
  unsigned char after = 0;
  if (platform_read_at(file, size, &after, 1))
    return status::error("the file holds more bytes than its size of " + std::to_string(size) +
                         " says (it grows, or it is a system file)");
  digest = platform_sha256_hex(hash);
  if (digest.empty())
    return status::error("the platform's SHA-256 failed");
  return status::success();
}

status sha256_of_path(const std::string& path, std::string& digest) {
  digest.clear();
  int error = 0;
  std::string not_regular;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
      platform_open_regular(path, error, not_regular), &std::fclose);
  if (!file && !not_regular.empty())
    return status::error(path + " is " + not_regular + ", not a regular file");
  if (!file)
    return status::error("cannot open " + path + ": " + std::strerror(error));
  return sha256_of_file(file.get(), digest);
}
