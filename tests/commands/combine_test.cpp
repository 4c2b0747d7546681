// In-process tests of combine (commands/combine.cpp) through run_combine: reads merged into
// the dump as written, failed reads (all 0xFF, all zeros) never taken, bytes outside the steps
// by majority, the CSV's sources and the record's reads against sha256sum, and reads refused
// before anything is written.
#include <gtest/gtest.h>

#include <filesystem>  // std::filesystem
#include <string>      // std::string
#include <vector>      // std::vector

#include "tests/commands/command_test_support.h"  // request, encoded_dump, sha256sum, ...

namespace {

namespace fs = std::filesystem;
using namespace command_test;

constexpr std::size_t kPage = 2112;

combine_request combine(const scratch_dir& dir, const std::vector<std::string>& reads,
                        const std::string& out) {
  combine_request q;
  for (const std::string& r : reads)
    q.reads.push_back(dir.file(r));
  q.out = dir.file(out);
  return q;
}

// `dump` with `flips_min` ... `flips_max` bit errors a step, seeded.
std::string with_errors(const scratch_dir& dir, int flips_min, int flips_max, std::uint64_t seed) {
  pass_request q = request(pass_command::inject, dir.file("enc.bin"), dir.file("tmp.bin"), {},
                           flips_min, flips_max, seed);
  q.no_audit = true;
  q.force = true;
  EXPECT_EQ(run_pass(q).error.message, "");
  return read_file(dir.file("tmp.bin"));
}

TEST(Combine, ReadsBeyondRepairAndFailedReadsMergeIntoTheDumpAsWritten) {
  scratch_dir dir;
  const std::string truth = encoded_dump(dir, 8 * kPage + 100, 21);
  // Read 1 decodes everywhere but page 0, which came back all 0xFF; read 2 is beyond t
  // everywhere but page 0, and page 1 came back all zeros.
  std::string one = with_errors(dir, 0, 8, 5);
  std::string two = with_errors(dir, 9, 12, 6);
  const std::string good = with_errors(dir, 0, 8, 7);
  one.replace(0, kPage, kPage, '\xFF');
  two.replace(0, kPage, good, 0, kPage);
  two.replace(kPage, kPage, kPage, '\0');
  write_file(dir.file("one.bin"), one);
  write_file(dir.file("two.bin"), two);
  combine_request q = combine(dir, {"one.bin", "two.bin"}, "out.bin");
  q.csv = dir.file("out.csv");
  q.threads = 3;
  const combine_outcome r = run_combine(q);
  ASSERT_TRUE(r.error.ok()) << r.error.message;
  EXPECT_FALSE(r.uncorrectable);
  // The tail lies outside the steps: read 1's with two reads.
  EXPECT_TRUE(same_bytes(read_file(q.out), truth.substr(0, 8 * kPage) + one.substr(8 * kPage)));
  EXPECT_EQ(r.counts.steps, 32);
  EXPECT_EQ(r.counts.from_read, 32);
  EXPECT_EQ(r.counts.supplied, (std::vector<std::int64_t>{28, 4}));
  EXPECT_EQ(r.counts.failed_reads, 8);
  EXPECT_EQ(read_file(dir.file("one.bin")), one);  // inputs as they were
  EXPECT_EQ(read_file(dir.file("two.bin")), two);
  const std::string csv = read_file(q.csv);
  EXPECT_EQ(csv.rfind("page,block,sector,offset,status,bits,flipped_1to0,flipped_0to1,positions,"
                      "source\n",
                      0),
            0u);
  EXPECT_TRUE(has(csv, ",read 2; failed read 1\n")) << csv;
  EXPECT_TRUE(has(csv, ",read 1; failed read 2\n")) << csv;  // page 1: read 1 is not clean there
  // The record names both reads with their sizes and hashes.
  const std::string record = read_file(q.out + ".audit.json");
  EXPECT_TRUE(has(record, sha256sum(dir.file("one.bin")))) << record;
  EXPECT_TRUE(has(record, "\"input_2\"")) << record;
  EXPECT_TRUE(has(record, sha256sum(dir.file("two.bin"))));
  const verify_outcome v = run_verify_audit({q.out + ".audit.json"});
  EXPECT_TRUE(v.verified) << joined(v.lines);
  EXPECT_EQ(v.files.size(), 4u);  // the two reads, the output, the CSV
}

TEST(Combine, ThreeReadsTakeBytesOutsideTheStepsByMajorityAndOneFailingStepStays) {
  scratch_dir dir;
  const std::string truth = encoded_dump(dir, 2 * kPage + 10, 22);
  std::vector<std::string> reads(3, truth);
  reads[0][1] = '\x5A';              // the header, outside every step
  reads[1][2 * kPage + 3] = '\x5A';  // the tail
  // Sector 0 of page 1 beyond t in every read, at the same bits: nothing tells them apart.
  for (std::string& r : reads) {
    for (int i = 0; i < 10; ++i)
      r[kPage + 4 + 40 * i] = static_cast<char>(r[kPage + 4 + 40 * i] ^ 0x01);
  }
  for (int i = 0; i < 3; ++i)
    write_file(dir.file("r" + std::to_string(i) + ".bin"), reads[static_cast<std::size_t>(i)]);
  const combine_outcome r = run_combine(combine(dir, {"r0.bin", "r1.bin", "r2.bin"}, "out.bin"));
  ASSERT_TRUE(r.error.ok()) << r.error.message;
  EXPECT_TRUE(r.uncorrectable);
  EXPECT_EQ(r.counts.uncorrectable, 1);
  EXPECT_TRUE(same_bytes(read_file(dir.file("out.bin")), reads[2]));
}

TEST(Combine, StepsThatCountBitsAreSearchedInTheirOwnBits) {
  // Parity packed back to back, t = 5: two reads with 6 or 7 errors in every step.
  scratch_dir dir;
  const layout_choice layout =
      layout_file(std::string(PAGOLINTH_LAYOUTS) + "/bits-packed-2048-64.toml");
  const std::string truth = encoded_dump(dir, 4 * kPage, 24, -1, layout);
  const auto read = [&](std::uint64_t seed) {
    pass_request q =
        request(pass_command::inject, dir.file("enc.bin"), dir.file("tmp.bin"), layout, 6, 7, seed);
    q.no_audit = q.force = true;
    EXPECT_EQ(run_pass(q).error.message, "");
    return read_file(dir.file("tmp.bin"));
  };
  write_file(dir.file("one.bin"), read(8));
  write_file(dir.file("two.bin"), read(9));
  combine_request q = combine(dir, {"one.bin", "two.bin"}, "out.bin");
  q.layout = layout;
  const combine_outcome r = run_combine(q);
  ASSERT_TRUE(r.error.ok()) << r.error.message;
  EXPECT_EQ(r.counts.first_uncorrectable, 16);
  EXPECT_EQ(r.counts.search, 16);
  EXPECT_TRUE(same_bytes(read_file(q.out), truth));
}

TEST(Combine, APageReadOneLostWholeTakesItsMarkerAndTagsFromReadTwo) {
  // A page of zeros in read 1 would mark its block bad, and lose the page's spare bytes.
  scratch_dir dir;
  const layout_choice layout =
      layout_file(std::string(PAGOLINTH_LAYOUTS) + "/spare-end-4096-224.toml");
  std::string truth = encoded_dump(dir, 2 * 4320, 25, -1, layout);
  for (const std::size_t marker : {4096, 4320 + 4096})
    truth.replace(marker, 2, 2, '\xFF');  // a good block
  std::string one = truth;
  one.replace(0, 4320, 4320, '\0');
  write_file(dir.file("one.bin"), one);
  write_file(dir.file("two.bin"), truth);
  combine_request q = combine(dir, {"one.bin", "two.bin"}, "out.bin");
  q.layout = layout;
  const combine_outcome r = run_combine(q);
  ASSERT_TRUE(r.error.ok()) << r.error.message;
  EXPECT_EQ(r.totals.bad_blocks, 0);
  EXPECT_EQ(r.counts.failed_reads, 4);
  EXPECT_TRUE(same_bytes(read_file(q.out), truth));
}

TEST(Combine, ScrambledReadsMergeUnscrambledAndComeBackScrambled) {
  // The ECC over the plain bytes: a read that lost page 0 reads erased, never unscrambled.
  scratch_dir dir;
  const std::string plain = encoded_dump(dir, 8 * kPage, 26);
  const std::string key = random_bytes(3 * kPage, 27);
  write_file(dir.file("key.bin"), key);
  std::string truth = plain;
  for (std::size_t i = 0; i < truth.size(); ++i)
    truth[i] = static_cast<char>(truth[i] ^ key[i % key.size()]);
  write_file(dir.file("enc.bin"), truth);
  write_file(dir.file("l.toml"),
             run_layout({}).toml + "\n[scrambler]\nkey_file = \"key.bin\"\necc = \"plain\"\n");
  const layout_choice layout = layout_file(dir.file("l.toml"));
  const auto read = [&](int low, int high, std::uint64_t seed) {
    pass_request q = request(pass_command::inject, dir.file("enc.bin"), dir.file("tmp.bin"), layout,
                             low, high, seed);
    q.no_audit = q.force = true;
    EXPECT_EQ(run_pass(q).error.message, "");
    return read_file(dir.file("tmp.bin"));
  };
  // Read 1 decodes but for page 0, lost; read 2 is beyond t but for page 0.
  std::string one = read(0, 8, 10);
  one.replace(0, kPage, kPage, '\xFF');
  std::string two = read(9, 12, 11);
  two.replace(0, kPage, read(0, 8, 12), 0, kPage);
  write_file(dir.file("one.bin"), one);
  write_file(dir.file("two.bin"), two);
  combine_request q = combine(dir, {"one.bin", "two.bin"}, "out.bin");
  q.layout = layout;
  const combine_outcome r = run_combine(q);
  ASSERT_TRUE(r.error.ok()) << r.error.message;
  EXPECT_FALSE(r.uncorrectable);
  EXPECT_EQ(r.counts.failed_reads, 4);
  EXPECT_TRUE(same_bytes(read_file(q.out), truth));
  // The record names the key with its hash, and verify-audit hashes it again.
  EXPECT_TRUE(has(read_file(q.out + ".audit.json"), sha256sum(dir.file("key.bin"))));
  const verify_outcome v = run_verify_audit({q.out + ".audit.json"});
  EXPECT_TRUE(v.verified) << joined(v.lines);
  EXPECT_EQ(v.files.size(), 4u);  // the reads, the key, the output
}

TEST(Combine, RefusesReadsOfAnotherSizeOrGivenTwiceAndWritesNoInput) {
  scratch_dir dir;
  const std::string truth = encoded_dump(dir, 2 * kPage, 23);
  write_file(dir.file("a.bin"), truth);
  write_file(dir.file("b.bin"), truth + std::string(kPage, '\xFF'));
  fs::create_symlink(dir.file("a.bin"), dir.file("link.bin"));
  const struct {
    std::vector<std::string> reads;
    std::string out, message;
  } cases[] = {
      {{"a.bin", "b.bin"}, "out.bin", "the reads differ in size"},
      {{"a.bin", "link.bin"}, "out.bin", "is given twice (reads 1 and 2)"},
      {{"a.bin"}, "out.bin", "combine takes 2 to 16 reads"},
      {{"a.bin", "enc.bin"}, "enc.bin", "enc.bin"},  // the output names a read
  };
  for (const auto& c : cases) {
    const combine_outcome r = run_combine(combine(dir, c.reads, c.out));
    EXPECT_TRUE(has(r.error.message, c.message)) << r.error.message;
    EXPECT_FALSE(fs::exists(dir.file("out.bin")));
  }
  EXPECT_EQ(read_file(dir.file("enc.bin")), truth);
}

}  // namespace
