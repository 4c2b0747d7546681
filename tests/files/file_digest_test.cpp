// SHA-256 of files through the platform's hash: the published test vectors of the standard,
// and a file of several read pieces against coreutils' sha256sum.
#include "files/file_digest.h"

#include "platform/platform.h"  // platform_sha256

#include <gtest/gtest.h>

#include <cstdio>    // std::FILE, std::fopen, std::fwrite, std::fclose, popen
#include <random>    // std::mt19937
#include <string>    // std::string
#include <vector>    // std::vector
#include <unistd.h>  // getpid

namespace {

std::string temp_path(const char* stem) {
  return testing::TempDir() + stem + "-" + std::to_string(getpid());
}

void write_file(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size()) << path;
  ASSERT_EQ(std::fclose(file), 0) << path;
}

}  // namespace

TEST(FileDigest, PublishedVectors) {
  const struct {
    const char* name;
    std::string message;
    const char* digest;
  } vectors[] = {
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"a million a", std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& v : vectors) {
    const std::string path = temp_path("digest");
    write_file(path, v.message);
    std::string digest;
    const status hashed = sha256_of_path(path, digest);
    EXPECT_EQ(digest, v.digest) << v.name << ": " << hashed.message;
    std::remove(path.c_str());

    // The same through the hash object fed in uneven pieces.
    platform_sha256 hash;
    for (std::size_t at = 0; at < v.message.size();) {
      const std::size_t piece = std::min<std::size_t>(v.message.size() - at, 1 + at % 977);
      ASSERT_TRUE(platform_sha256_update(hash, v.message.data() + at, piece)) << v.name;
      at += piece;
    }
    EXPECT_EQ(platform_sha256_hex(hash), v.digest) << v.name << " in pieces";
    // A finished hash gives nothing more.
    EXPECT_FALSE(platform_sha256_update(hash, "x", 1)) << v.name << " after the end";
    EXPECT_EQ(platform_sha256_hex(hash), "") << v.name << " finished twice";
  }
}

TEST(FileDigest, ManyPiecesAgreeWithSha256sumAndFaultsAreNamed) {
  // 9 MiB + 3: three pieces of the reader, the last one short.
  std::mt19937 random(7);
  std::string bytes((std::size_t{9} << 20) + 3, '\0');
  for (char& c : bytes)
    c = static_cast<char>(random());
  const std::string path = temp_path("digest-large");
  write_file(path, bytes);

  std::FILE* pipe = popen(("sha256sum '" + path + "'").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[200] = {};
  const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
  const int exit_code = pclose(pipe);
  if (!read || exit_code != 0) {
    std::remove(path.c_str());
    GTEST_SKIP() << "sha256sum is not available to compare with";
  }
  std::string digest;
  const status hashed = sha256_of_path(path, digest);
  EXPECT_EQ(digest, std::string(line, 64)) << "9 MiB + 3 bytes: " << hashed.message;
  std::remove(path.c_str());

  const status missing = sha256_of_path(path, digest);
  EXPECT_EQ(digest, "") << "a missing file";
  EXPECT_NE(missing.message.find("cannot open"), std::string::npos) << missing.message;
}
