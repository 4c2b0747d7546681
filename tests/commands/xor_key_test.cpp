// In-process tests of xor-key (commands/xor_key.cpp) through run_xor_key: a key recovered from
// a dump that encode scrambled, checked with the code and written with its record; a dump whose
// pages all hold the same data, which the code tells from one key for every page.
#include <gtest/gtest.h>

#include <filesystem>  // std::filesystem
#include <random>      // std::mt19937
#include <string>      // std::string

#include "tests/commands/command_test_support.h"  // request, random_bytes, sha256sum, ...

namespace {

namespace fs = std::filesystem;
using namespace command_test;

constexpr std::size_t kPage = 2112;

// With and without an ECC mask: a masked code stores other than zeros as the ECC of free
// space, which the code's refinement takes out of the key. The bad-block marker bytes are left
// unscrambled (0 in the key) and hold 0xFF in every page: the key found is 0 there too.
TEST(XorKeyCommand, RecoversTheKeyThatEncodeScrambledWith) {
  for (const bool masked : {false, true}) {
    SCOPED_TRACE(masked ? "case mask erased-ff" : "case no mask");
    scratch_dir dir;
    // Free space, data and erased pages, scrambled by encode with a key of 32 pages.
    std::mt19937 gen(41);
    std::string raw;
    for (int p = 0; p < 600; ++p) {
      const unsigned kind = static_cast<unsigned>(gen() % 100);
      raw += kind >= 85   ? std::string(kPage, '\xFF')
             : kind >= 55 ? random_bytes(kPage, static_cast<std::uint32_t>(gen()))
                          : std::string(kPage, '\0');
      raw.replace(raw.size() - kPage + 2048, 2, "\xFF\xFF");
    }
    write_file(dir.file("raw.bin"), raw);
    std::string key = random_bytes(32 * kPage, 42);
    for (std::size_t p = 0; p < 32; ++p)
      key.replace(p * kPage + 2048, 2, 2, '\0');
    write_file(dir.file("key.bin"), key);
    layout_choice choice;
    choice.erased_ff = masked;
    const std::string plain_layout = run_layout({choice}).toml;
    write_file(dir.file("plain.toml"), plain_layout);
    write_file(dir.file("s.toml"),
               plain_layout + "\n[scrambler]\nkey_file = \"key.bin\"\necc = \"plain\"\n");
    pass_request e = request(pass_command::encode, dir.file("raw.bin"), dir.file("dump.bin"),
                             layout_file(dir.file("s.toml")));
    e.no_audit = true;
    ASSERT_EQ(run_pass(e).error.message, "");

    xor_key_request q;
    q.dump = dir.file("dump.bin");
    q.layout = layout_file(dir.file("plain.toml"));
    q.out = dir.file("found.bin");
    const xor_key_outcome r = run_xor_key(q);
    ASSERT_TRUE(r.error.ok()) << r.error.message;
    ASSERT_TRUE(r.found) << joined(r.lines);
    EXPECT_EQ(r.finding.period, 32);
    EXPECT_TRUE(read_file(q.out) == key);
    EXPECT_EQ(r.refined_bits > 0, masked) << joined(r.lines);
    EXPECT_GT(r.decode_plain, 0.99);
    EXPECT_EQ(r.decode_stored, 0);
    EXPECT_TRUE(has_line(r.lines,
                         "use it:          [scrambler] key_file = \"found.bin\", ecc = "
                         "\"plain\""))
        << joined(r.lines);
    EXPECT_TRUE(has(read_file(q.out + ".audit.json"), sha256sum(q.out)));
    // The key found, named by the layout, checks the dump clean.
    write_file(dir.file("f.toml"),
               plain_layout + "\n[scrambler]\nkey_file = \"found.bin\"\necc = \"plain\"\n");
    const pass_outcome check =
        run_pass(request(pass_command::check, q.dump, "", layout_file(dir.file("f.toml"))));
    EXPECT_EQ(check.totals.uncorrectable, 0);
  }
}

TEST(XorKeyCommand, PagesOfOneContentAreNoKeyAndNothingIsWritten) {
  scratch_dir dir;
  const std::string page = random_bytes(kPage, 43);
  std::string dump;
  for (int p = 0; p < 64; ++p)
    dump += page;
  write_file(dir.file("same.bin"), dump);
  xor_key_request q;
  q.dump = dir.file("same.bin");
  q.out = dir.file("key.bin");
  const xor_key_outcome r = run_xor_key(q);
  ASSERT_TRUE(r.error.ok()) << r.error.message;
  EXPECT_FALSE(r.found);
  EXPECT_FALSE(fs::exists(q.out));
  EXPECT_TRUE(has(joined(r.lines), "--layout with the code tells them apart")) << joined(r.lines);
}

}  // namespace
