// Tests of the streaming pass: geometry refusals, a dump shorter than announced, and the same
// bytes and outcomes whatever the number of threads, for every action.
#include "dump/dump_scan.h"

#include <gtest/gtest.h>

#include <cstdio>  // std::tmpfile, std::fwrite, std::rewind
#include <random>  // std::mt19937
#include <string>  // std::string
#include <vector>  // std::vector

#include "dump/output_file.h"  // file_ptr

namespace {

file_ptr temp_dump(std::size_t bytes, unsigned seed) {
  file_ptr f(std::tmpfile());
  std::mt19937 gen(seed);
  std::vector<unsigned char> data(bytes);
  for (auto& b : data)
    b = static_cast<unsigned char>(gen());
  std::fwrite(data.data(), 1, data.size(), f.get());
  std::rewind(f.get());
  return f;
}

struct pass_result {
  std::string error;
  std::string bytes;
  std::vector<int> statuses;
  std::vector<int> bits;
};

pass_result run(std::FILE* in, std::int64_t size, const scan_settings& s) {
  pass_result r;
  const std::int64_t page_bytes = s.geometry.page_size + s.geometry.spare_size;
  const int steps = s.geometry.page_size / 512;
  r.error = run_scan(in, size, s, [&](const scan_batch& b, std::string&) {
    r.bytes.append(reinterpret_cast<const char*>(b.bytes),
                   static_cast<std::size_t>(b.pages * page_bytes));
    for (std::int64_t i = 0; i < b.pages * steps; ++i) {
      r.statuses.push_back(static_cast<int>(b.outcomes[i].status));
      r.bits.push_back(b.outcomes[i].bits);
    }
    return true;
  });
  return r;
}

TEST(DumpScan, GeometriesThatCannotHoldTheLayoutAreRefused) {
  EXPECT_EQ(check_geometry({2048, 64, 64}), "");
  EXPECT_EQ(check_geometry({512, 23, 1}), "");
  EXPECT_NE(check_geometry({512, 22, 1}), "");    // last ECC ends at 535
  EXPECT_NE(check_geometry({2048, 61, 64}), "");  // last ECC ends at 2110
  EXPECT_NE(check_geometry({511, 64, 64}), "");   // no sector
  EXPECT_NE(check_geometry({2048, 64, 0}), "");
  EXPECT_NE(check_geometry({kMaxPagePart + 1, 64, 64}), "");
  EXPECT_NE(check_geometry({2048, 0, 64}), "");
}

TEST(DumpScan, ThreadsGiveTheSameBytesAndOutcomesForEveryAction) {
  bch_code code;
  ASSERT_EQ(bch_code_init(code, 13, 8), "");
  const std::int64_t pages = 4100;              // three batches of 2 KiB pages
  const std::int64_t size = pages * 2112 + 77;  // and a tail that is no page
  for (scan_action action :
       {scan_action::check, scan_action::fix, scan_action::encode, scan_action::inject}) {
    SCOPED_TRACE(testing::Message() << "action " << static_cast<int>(action));
    scan_settings s;
    s.code = &code;
    s.action = action;
    s.flips_min = 0;
    s.flips_max = 9;
    s.seed = 42;
    std::vector<pass_result> results;
    for (int threads : {1, 2, 5}) {
      s.threads = threads;
      file_ptr f = temp_dump(static_cast<std::size_t>(size), 3);
      results.push_back(run(f.get(), size, s));
      EXPECT_EQ(results.back().error, "") << threads << " threads";
      EXPECT_EQ(results.back().bytes.size(), static_cast<std::size_t>(pages * 2112));
    }
    for (std::size_t i = 1; i < results.size(); ++i) {
      EXPECT_TRUE(results[i].bytes == results[0].bytes) << "bytes differ, run " << i;
      EXPECT_EQ(results[i].statuses, results[0].statuses) << "run " << i;
      EXPECT_EQ(results[i].bits, results[0].bits) << "run " << i;
    }
  }
}

TEST(DumpScan, ADumpShorterThanAnnouncedIsAnErrorNotAWalkOverMissingBytes) {
  bch_code code;
  ASSERT_EQ(bch_code_init(code, 13, 8), "");
  scan_settings s;
  s.code = &code;
  file_ptr f = temp_dump(2112 * 3, 5);
  // Announced: 5000 pages; present: 3.
  const pass_result r = run(f.get(), 2112 * 5000, s);
  EXPECT_NE(r.error.find("could not be read whole"), std::string::npos) << r.error;
  EXPECT_LE(r.bytes.size(), 2112u * 3);
}

}  // namespace
