// Tests of copying runs of bits: every alignment of source and destination, runs shorter than
// a byte and longer than a word, in both bit orders, against one bit at a time.
#include "layout/bit_spans.h"

#include <gtest/gtest.h>

#include <random>  // std::mt19937
#include <string>  // std::string
#include <vector>  // std::vector

namespace {

int naive_bit(const std::vector<unsigned char>& v, std::int64_t b, bool lsb) {
  return (v[static_cast<std::size_t>(b / 8)] >> (lsb ? b % 8 : 7 - b % 8)) & 1;
}

TEST(BitSpans, CopyBitsMovesExactlyTheRunInEveryAlignment) {
  std::mt19937 gen(7);
  for (bool lsb : {false, true}) {
    for (int trial = 0; trial < 3000; ++trial) {
      std::vector<unsigned char> src(160), dst(160);
      for (auto& b : src)
        b = static_cast<unsigned char>(gen());
      for (auto& b : dst)
        b = static_cast<unsigned char>(gen());
      const std::int64_t count = trial % 3 == 0 ? gen() % 20 : gen() % 1000;
      const std::int64_t from = gen() % (8 * 160 - count + 1);
      const std::int64_t to = gen() % (8 * 160 - count + 1);
      std::vector<unsigned char> want = dst;
      for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t b = to + i;
        const int shift = lsb ? static_cast<int>(b % 8) : 7 - static_cast<int>(b % 8);
        auto& byte = want[static_cast<std::size_t>(b / 8)];
        byte = static_cast<unsigned char>((byte & ~(1 << shift)) |
                                          (naive_bit(src, from + i, lsb) << shift));
      }
      copy_bits(dst.data(), to, src.data(), from, count, lsb);
      ASSERT_EQ(dst, want) << (lsb ? "lsb" : "msb") << " from " << from << " to " << to << ", "
                           << count << " bits";
    }
  }
}

TEST(BitSpans, AMessageGathersBehindItsLeadOnesAndScattersBackAlone) {
  layout_step step;
  step.bits = true;
  step.data = {{3, 13}, {40, 9}};
  step.protected_ = {{61, 3}};
  step.ecc = {70, 10};
  ASSERT_EQ(message_lead_bits(step), 7);  // 25 bits in 4 bytes
  for (bool lsb : {false, true}) {
    std::vector<unsigned char> page = {0x5A, 0xC3, 0x99, 0x0F, 0xF0, 0x66, 0xA5, 0x3C, 0x81, 0x7E};
    std::vector<unsigned char> message(4, 0);
    gather_message_bits(page.data(), step, lsb, message.data());
    std::string bits;
    for (std::int64_t b = 0; b < 32; ++b)
      bits += static_cast<char>('0' + naive_bit(message, b, lsb));
    std::string want = "1111111";
    for (const auto* spans : {&step.data, &step.protected_})
      for (const layout_span& s : *spans)
        for (std::int64_t b = s.offset; b < s.offset + s.length; ++b)
          want += static_cast<char>('0' + naive_bit(page, b, lsb));
    EXPECT_EQ(bits, want) << (lsb ? "lsb" : "msb");
    // Scattered onto a page of zeros: the message's bits come back, no other bit is set.
    std::vector<unsigned char> blank(page.size(), 0);
    scatter_message_bits(blank.data(), step, lsb, message.data());
    for (std::int64_t b = 0; b < 80; ++b) {
      const bool in_message = (b >= 3 && b < 16) || (b >= 40 && b < 49) || (b >= 61 && b < 64);
      EXPECT_EQ(naive_bit(blank, b, lsb), in_message ? naive_bit(page, b, lsb) : 0)
          << (lsb ? "lsb" : "msb") << " bit " << b;
    }
  }
}

}  // namespace
