// Tests of the key search on scrambled dumps generated here: free space, data and erased
// pages, a spare left unscrambled, keys of several periods; and dumps that show none.
#include "detect/xor_key.h"

#include <gtest/gtest.h>

#include <cstring>  // std::memcpy
#include <random>   // std::mt19937
#include <string>   // std::to_string
#include <vector>   // std::vector

namespace {

constexpr std::int64_t kPage = 2112;

struct scrambled_dump {
  std::vector<unsigned char> bytes;
  std::vector<unsigned char> key;  // period pages; the last 64 bytes of each page zero
};

// `pages` pages: 55 % free space (zeros), 30 % random data, 15 % erased, each programmed page
// scrambled with key page i mod `period` (or none at all with period 0).
scrambled_dump make_dump(std::int64_t pages, std::int64_t period, unsigned seed) {
  std::mt19937 gen(seed);
  scrambled_dump d;
  d.key.assign(static_cast<std::size_t>(std::max<std::int64_t>(period, 1) * kPage), 0);
  for (std::int64_t i = 0; period > 0 && i < period * kPage; ++i) {
    if (i % kPage < kPage - 64)
      d.key[static_cast<std::size_t>(i)] = static_cast<unsigned char>(gen());
  }
  d.bytes.assign(static_cast<std::size_t>(pages * kPage), 0);
  for (std::int64_t p = 0; p < pages; ++p) {
    unsigned char* page = d.bytes.data() + p * kPage;
    const auto kind = static_cast<unsigned>(gen() % 100);
    if (kind >= 85) {
      std::memset(page, 0xFF, kPage);
      continue;
    }
    for (std::int64_t j = 0; kind >= 55 && j < kPage; ++j)
      page[j] = static_cast<unsigned char>(gen());
    for (std::int64_t j = 0; period > 0 && j < kPage; ++j)
      page[j] ^= d.key[static_cast<std::size_t>((p % period) * kPage + j)];
  }
  return d;
}

key_finding search(const scrambled_dump& d, std::int64_t period = 0) {
  const detect_reader read = [&](std::int64_t offset, unsigned char* out, std::size_t bytes) {
    if (offset < 0 ||
        offset + static_cast<std::int64_t>(bytes) > static_cast<std::int64_t>(d.bytes.size()))
      return false;
    std::memcpy(out, d.bytes.data() + offset, bytes);
    return true;
  };
  key_search q;
  q.page_bytes = kPage;
  q.pages = static_cast<std::int64_t>(d.bytes.size()) / kPage;
  q.period = period;
  key_finding f;
  EXPECT_TRUE(find_xor_key(read, q, f).ok());
  return f;
}

TEST(XorKey, FindsThePeriodAndTheKeyOfEverySlot) {
  for (const std::int64_t period : {1, 64, 128, 258}) {
    SCOPED_TRACE("period " + std::to_string(period));
    const scrambled_dump d = make_dump(3200, period, static_cast<unsigned>(period));
    const key_finding f = search(d);
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.period, period);
    ASSERT_EQ(f.key.size(), d.key.size());
    // Wherever the pages of a slot held free space twice or more, the key as written.
    std::size_t right = 0;
    for (std::size_t i = 0; i < d.key.size(); ++i)
      right += f.key[i] == d.key[i];
    EXPECT_GE(static_cast<double>(right), 0.99 * static_cast<double>(d.key.size()));
    EXPECT_GE(f.supported, 0.98);
    EXPECT_LE(f.supported, static_cast<double>(right) / static_cast<double>(d.key.size()));
  }
}

TEST(XorKey, ADumpWithoutAKeyOrWithoutFreeSpaceShowsNone) {
  // Not scrambled: free space agrees at every period alike, so none stands out.
  EXPECT_FALSE(search(make_dump(3200, 0, 5)).found);
  // Scrambled, but every page holds data: nothing to find, and nothing claimed.
  scrambled_dump d = make_dump(3200, 64, 6);
  std::mt19937 gen(7);
  for (unsigned char& b : d.bytes)
    b = static_cast<unsigned char>(gen());
  EXPECT_FALSE(search(d).found);
  EXPECT_FALSE(search(d, 64).found);
}

}  // namespace
