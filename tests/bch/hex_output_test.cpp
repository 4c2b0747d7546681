// Tests of the hex output and digit conversion: the worked examples, and both printers against
// printf's hex of the same number for every length up to 64 bits.
#include "bch/bch.h"

#include <gtest/gtest.h>  // TEST, EXPECT_*, SCOPED_TRACE

#include <cctype>   // std::isxdigit
#include <cstdint>  // std::uint64_t
#include <cstdio>   // std::FILE, std::tmpfile, std::fclose, std::fread, std::rewind, std::snprintf
#include <memory>   // std::unique_ptr
#include <string>   // std::string, std::stoi
#include <vector>   // std::vector

namespace {

// What the printer writes for n bits of v.
std::string printed(void (*printer)(int, const int[], std::FILE*), int n, std::vector<int> v) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), std::fclose);
  if (!file) {
    ADD_FAILURE() << "no temporary file";
    return "";
  }
  printer(n, v.data(), file.get());
  std::rewind(file.get());
  char text[128];
  return std::string(text, std::fread(text, 1, sizeof text, file.get()));
}

TEST(HexOutput, WorkedExamples) {
  std::vector<int> single(16, 0);
  single[0] = 1;
  EXPECT_EQ(printed(print_hex, 13, single), " 0 0 0 1");
  EXPECT_EQ(printed(print_hex_low, 13, single), "8000");
  EXPECT_EQ(printed(print_hex, 8, {1, 1, 1, 1, 0, 0, 0, 0}), " 0 F");
  EXPECT_EQ(printed(print_hex_low, 8, {1, 1, 1, 1, 0, 0, 0, 0}), "F0");
  EXPECT_EQ(printed(print_hex, 0, single), "");
  EXPECT_EQ(printed(print_hex_low, -5, single), "");
}

TEST(HexOutput, BothOrdersEqualPrintfOfTheSameNumber) {
  const std::uint64_t x = 0x9E3779B97F4A7C15u;
  for (int n = 1; n <= 64; ++n) {
    SCOPED_TRACE(testing::Message() << "n=" << n);
    const int digits = (n + 3) / 4;
    const std::uint64_t value = n == 64 ? x : x & ((std::uint64_t{1} << n) - 1);
    char full[20];
    std::snprintf(full, sizeof full, "%016llX", static_cast<unsigned long long>(value));
    const std::string hex = full + 16 - digits;
    // print_hex reads element i as bit i of the number; print_hex_low as bit i from the top.
    std::vector<int> low_first(4 * digits);
    std::vector<int> high_first(4 * digits);
    for (int i = 0; i < 4 * digits; ++i) {
      low_first[i] = high_first[4 * digits - 1 - i] = static_cast<int>((value >> i) & 1);
    }
    std::string spaced;
    for (char d : hex) {
      spaced += std::string(" ") + d;
    }
    EXPECT_EQ(printed(print_hex, n, low_first), spaced);
    EXPECT_EQ(printed(print_hex_low, n, high_first), hex);
  }
}

TEST(HexDigits, ConvertBothWaysForEveryCharacter) {
  for (int c = -128; c < 128; ++c) {
    const int expected =
        c >= 0 && std::isxdigit(c) ? std::stoi(std::string(1, char(c)), 0, 16) : -1;
    EXPECT_EQ(hextoint(c), expected) << "c=" << c;
    EXPECT_EQ(hextoint(c + 256), expected) << "c=" << c << ": only the low eight bits count";
  }
  for (int v = 0; v < 16; ++v) {
    EXPECT_EQ(inttohex(v), "0123456789ABCDEF"[v]) << "v=" << v;
  }
  EXPECT_EQ(inttohex(16), 'G');
}

}  // namespace
