// In-process tests of probe, detect and layout (commands/findings.cpp): probe names the variant a
// dump was written with and recommends only what beats chance; detect's layout file is taken by
// check, a search that finds nothing says so, bad requests are refused before any search; the
// layout command prints a file that reads back as the same layout.
#include <gtest/gtest.h>

#include <cstdint>     // std::int32_t
#include <filesystem>  // std::filesystem
#include <random>      // std::mt19937
#include <string>      // std::string
#include <vector>      // std::vector

#include "codec/layout_code.h"                    // build_code
#include "layout/layout_file.h"                   // read_layout_file
#include "tests/commands/command_test_support.h"  // encoded_dump, built_in, has, ...
#include "tests/detect/dump_generator.h"          // generate_dump, four_step_layout

namespace {

namespace fs = std::filesystem;
using namespace command_test;

probe_outcome probe(const std::string& dump, const layout_choice& layout = {}, int sectors = 256) {
  probe_request q;
  q.dump = dump;
  q.layout = layout;
  q.sectors = sectors;
  return run_probe(q);
}

TEST(ProbeCommand, NamesTheVariantADumpWasMadeWith) {
  const struct {
    bool lsb, erased_ff;
    int t;
  } variants[] = {
      {false, false, 8}, {true, false, 8}, {false, true, 8}, {true, true, 4}, {false, false, 2}};
  for (const auto& v : variants) {
    SCOPED_TRACE(testing::Message()
                 << "case lsb " << v.lsb << " erased-ff " << v.erased_ff << " t " << v.t);
    scratch_dir dir;
    layout_choice written = built_in(2048, 64, 64, v.t);
    written.lsb_first = v.lsb;
    written.erased_ff = v.erased_ff;
    encoded_dump(dir, 16 * 2112, static_cast<std::uint32_t>(v.t), v.t, written);
    const std::string dump = dir.file("noisy.bin");
    const probe_outcome r = probe(dump, {}, 40);
    ASSERT_TRUE(r.error.ok() && r.found) << r.error.message << joined(r.lines);
    const layout_code& best = r.candidates.front().code;
    EXPECT_EQ(best.t, v.t);
    EXPECT_EQ(best.lsb_first, v.lsb);
    EXPECT_EQ(best.mask, v.erased_ff ? layout_mask::erased_ff : layout_mask::none);
    if (v.lsb && v.erased_ff) {
      EXPECT_EQ(r.lines.back(),
                "best: pagolinth-ecc check --page-size 2048 --spare-size 64 --block-pages 64 -t 4 "
                "--bit-order lsb --ecc-mask erased-ff " +
                    dump);
    }
  }
}

// A layout in bits is gathered anew under each bit order: probe tells the one it was written in.
TEST(ProbeCommand, NamesTheBitOrderOfALayoutInBits) {
  for (const char* order : {"msb", "lsb"}) {
    SCOPED_TRACE(std::string("case bit order ") + order);
    scratch_dir dir;
    write_file(dir.file("bits.toml"),
               std::string("[geometry]\npage_size = 2048\nspare_size = 64\nblock_pages = 64\n"
                           "[code]\nm = 13\nt = 4\nbit_order = \"") +
                   order +
                   "\"\n[[steps]]\nunit = \"bits\"\ndata = [[0, 4096]]\n"
                   "protected = [[16384, 76]]\necc = [16460, 52]\nrepeat = 4\n"
                   "data_stride = 4096\nprotected_stride = 128\necc_stride = 128\n");
    const layout_choice layout = layout_file(dir.file("bits.toml"));
    encoded_dump(dir, 16 * 2112, 11, 2, layout);
    const probe_outcome r = probe(dir.file("noisy.bin"), layout, 40);
    ASSERT_TRUE(r.error.ok() && r.found) << r.error.message << joined(r.lines);
    const layout_code& best = r.candidates.front().code;
    EXPECT_EQ(best.lsb_first, std::string(order) == "lsb");
    EXPECT_EQ(best.mask, layout_mask::none);
    EXPECT_EQ(best.t, 4);
    EXPECT_EQ(r.candidates.front().count.usable, 40);
  }
}

TEST(ProbeCommand, RecommendsOnlyWhatBeatsChance) {
  scratch_dir dir;
  encoded_dump(dir, 16 * 2112, 5, 8);
  const std::string dump = dir.file("noisy.bin");
  // Random data: about half of its steps decode under t = 1 and a few under t = 2 or 3, all of
  // it chance.
  write_file(dir.file("random.bin"), random_bytes(64 * 2112, 6));
  const probe_outcome random = probe(dir.file("random.bin"));
  EXPECT_FALSE(random.found);
  EXPECT_FALSE(has(joined(random.lines), "best:")) << joined(random.lines);
  EXPECT_TRUE(
      has(joined(random.lines), "no convention decodes more sectors than random data would"));
  EXPECT_EQ(random.lines.back(), "pagolinth-ecc detect " + dir.file("random.bin") +
                                     " finds the layout and the code from the dump itself");
  // The right code, read with a geometry that puts no step where one was written, decodes no
  // better than random data either.
  EXPECT_FALSE(probe(dump, built_in(512, 32)).found);

  const probe_outcome right = probe(dump);
  EXPECT_TRUE(right.found);
  EXPECT_EQ(right.sampled, 64);
  EXPECT_EQ(right.lines[2].rfind("   1  msb        none       8  100.0%    0.0%  1e-", 0), 0u)
      << joined(right.lines);
  // Refused: no sector to try, nothing but erased sectors.
  EXPECT_EQ(probe(dump, {}, 0).error.message, "--sectors takes a number from 1 to 100000");
  write_file(dir.file("erased.bin"), std::string(4 * 2112, '\xFF'));
  EXPECT_TRUE(has(probe(dir.file("erased.bin")).error.message, "no sector that is not erased"));
  // Data of all 0xFF under the ECC the code gives it is written, not erased: one sector's
  // evidence (they are all alike).
  ASSERT_TRUE(run_pass(request(pass_command::encode, dir.file("erased.bin"), dir.file("ff.bin")))
                  .error.ok());
  EXPECT_EQ(probe(dir.file("ff.bin")).sampled, 1);
}

TEST(ProbeCommand, RepeatedAndZeroSectorsAreNoEvidence) {
  scratch_dir dir;
  // One random page written 64 times holds its four sectors' evidence once, not 64 times; a
  // chance decode of one of them under a small t must not become a finding.
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(testing::Message() << "case one page repeated, seed " << seed);
    std::string repeated;
    const std::string page = random_bytes(2112, seed);
    for (int i = 0; i < 64; ++i)
      repeated += page;
    write_file(dir.file("repeated.bin"), repeated);
    const probe_outcome r = probe(dir.file("repeated.bin"));
    EXPECT_EQ(r.sampled, 4);
    EXPECT_FALSE(r.found) << joined(r.lines);
  }
  // Zero-filled sectors are codewords of every code under no mask.
  write_file(dir.file("zero.bin"), std::string(64 * 2112, '\0'));
  const probe_outcome zero = probe(dir.file("zero.bin"));
  EXPECT_FALSE(zero.found) << joined(zero.lines);
  EXPECT_EQ(zero.lines.back(),
            "every sector sampled decodes to zeros under every convention: nothing tells them "
            "apart");
}

TEST(ProbeCommand, FindsTheCodeSettingsOfALayoutFile) {
  // Written lsb first with the erased-ff mask; the file handed to probe says msb and none.
  test_layout written = test_layouts()[1];
  written.bit_order = "lsb";
  written.mask = "erased-ff";
  scratch_dir dir;
  write_file(dir.file("written.toml"), to_toml(written));
  write_file(dir.file("guessed.toml"), to_toml(test_layouts()[1]));
  encoded_dump(dir, 4 * 4320, 21, 20, layout_file(dir.file("written.toml")));
  const probe_outcome r = probe(dir.file("noisy.bin"), layout_file(dir.file("guessed.toml")), 12);
  ASSERT_TRUE(r.found) << r.error.message << joined(r.lines);
  EXPECT_EQ(r.lines.back(),
            "best: in [code] of " + dir.file("guessed.toml") +
                ": t = 24, bit_order = \"lsb\", ecc_mask = \"erased-ff\", pad = \"end\"");
}

TEST(LayoutCommand, PrintsAFileThatReadsBackAsTheSameLayout) {
  scratch_dir dir;
  const layout_choice geometry = built_in(4096, 224, 2, 6);
  const layout_outcome printed = run_layout({geometry});
  ASSERT_TRUE(printed.error.ok()) << printed.error.message;
  write_file(dir.file("printed.toml"), printed.toml);
  // The same bytes encoded by both, and printed alike again.
  write_file(dir.file("raw.bin"), random_bytes(5 * 4320, 8));
  for (const auto& [out, layout] : {std::make_pair("a.bin", geometry),
                                    std::make_pair("b.bin", layout_file(dir.file("printed.toml")))})
    ASSERT_TRUE(run_pass(request(pass_command::encode, dir.file("raw.bin"), dir.file(out), layout))
                    .error.ok());
  EXPECT_TRUE(same_bytes(read_file(dir.file("b.bin")), read_file(dir.file("a.bin"))));
  EXPECT_EQ(run_layout({layout_file(dir.file("printed.toml"))}).toml, printed.toml)
      << "printing is not stable";
}

detect_request detect_of(const std::string& dump, std::int32_t page_size, std::int32_t spare_size) {
  detect_request q;
  q.dump = dump;
  q.page_size = page_size;
  q.spare_size = spare_size;
  q.quick = true;  // these dumps have few bit errors: the long search would find nothing more
  return q;
}

// The one search of these tests, on a small generated dump whose geometry is guessed and whose
// layout is found fast; detect_test holds the search to its truth on many more.
TEST(DetectCommand, WritesALayoutThatCheckTakes) {
  scratch_dir dir;
  std::mt19937 rng(28);
  const detect_test::generated_dump d = detect_test::generate_dump(rng, true, 32);
  SCOPED_TRACE("case " + d.summary);
  // The dump's name holds a line break with TOML after it, and a byte that is not UTF-8: the
  // layout file must neither take the TOML in nor become unreadable.
  const std::string name = "dump\nbad_block = { marker = [0, 1], pages = [0] }\n#\xE9.bin";
  write_file(dir.file(name), std::string(d.bytes.begin(), d.bytes.end()));
  // The layout file replaces an old one when asked.
  write_file(dir.file("found.toml"), "old");
  detect_request q = detect_of(dir.file(name), -1, -1);
  q.out = dir.file("found.toml");
  q.force = true;
  const detect_outcome r = run_detect(q);
  ASSERT_TRUE(r.error.ok() && r.found) << r.error.message << r.text;
  ASSERT_FALSE(r.guesses.empty());
  EXPECT_EQ(r.guesses[0].geometry.page_size, d.truth.page_size);
  EXPECT_TRUE(has(r.text, "\n# geometry: " + std::to_string(d.truth.page_size) + " + " +
                              std::to_string(d.truth.spare_size) +
                              " bytes a page, 64 pages a block (guessed; pages a block assumed)\n"))
      << r.text;
  EXPECT_TRUE(has(r.text, "\n# found: ")) << r.text;
  EXPECT_TRUE(has(r.text, "odds of chance")) << r.text;
  EXPECT_TRUE(has(r.text, "\n# layout written to " + q.out + "; next: pagolinth-ecc check "));
  // The file holds the report as comments, then the layout, which reads back as the truth.
  const std::string file = read_file(q.out);
  EXPECT_EQ(file.rfind("# pagolinth-ecc detect " + dir.file("") +
                           "dump\\x0Abad_block = { marker = [0, 1], pages = [0] }\\x0A#\\xE9.bin\n",
                       0),
            0u)
      << file;
  nand_layout found;
  ASSERT_EQ(read_layout_file(q.out, found).message, "");
  EXPECT_EQ(found.bad_block.present, d.truth.bad_block.present);
  EXPECT_EQ(found.name,
            "detected from dump?bad_block = { marker = [0, 1], pages = [0] }?#\\xE9.bin");
  EXPECT_EQ(found.steps.size(), d.truth.steps.size());
  EXPECT_EQ(found.code.m, d.truth.code.m);
  EXPECT_EQ(found.code.t, d.truth.code.t);
  // check decodes every step with it: none uncorrectable beyond what the dump holds.
  const pass_outcome check = run_pass(request(pass_command::check, q.dump, "", layout_file(q.out)));
  EXPECT_TRUE(check.error.ok() && !check.uncorrectable) << check.error.message;
  EXPECT_EQ(check.totals.uncorrectable, 0);
  // Without force the file is kept, and refused before any search.
  q.force = false;
  EXPECT_TRUE(has(run_detect(q).error.message, "exists already"));
  EXPECT_EQ(read_file(q.out), file);
}

// Steps that decode but leave a quarter of the data in no codeword found: reported, written,
// and no success. Here the first step of every page carries no ECC at all.
TEST(DetectCommand, AFindingThatLeavesDataOutSaysSo) {
  const nand_layout truth = detect_test::four_step_layout(false);
  bch_code built;
  ASSERT_TRUE(build_code(truth.code, built).ok());
  std::mt19937 rng(45);
  std::vector<std::uint8_t> dump = detect_test::fill_pages(rng, truth, built, 64, {});
  for (std::size_t page = 0; page < 64; ++page) {
    for (std::size_t i = 512; i < 519; ++i)
      dump[page * 2112 + i] = static_cast<std::uint8_t>(rng());
  }
  scratch_dir dir;
  write_file(dir.file("dump.bin"), std::string(dump.begin(), dump.end()));
  const detect_outcome r = run_detect(detect_of(dir.file("dump.bin"), 2048, 64));
  ASSERT_TRUE(r.error.ok() && r.found) << r.error.message << r.text;
  EXPECT_FALSE(r.complete);
  EXPECT_TRUE(
      has(r.text, "\n# incomplete: the steps hold 1536 of the page's 2048 data bytes (75%); "))
      << r.text;
}

// A scrambled dump whose ECC covers the plain bytes: searched with the key taken off, and the
// layout found names the key, relative to the layout file, so that check decodes through it.
// A key that is no whole number of pages is refused before any search.
TEST(DetectCommand, TakesAKeyOffBeforeTheSearchAndNamesIt) {
  const nand_layout truth = detect_test::four_step_layout(false);
  bch_code built;
  ASSERT_TRUE(build_code(truth.code, built).ok());
  std::mt19937 rng(46);
  std::vector<std::uint8_t> dump = detect_test::fill_pages(rng, truth, built, 64, {});
  constexpr std::size_t kPage = 2112, kKeyPages = 3;
  std::string key(kKeyPages * kPage, '\0');
  for (char& c : key)
    c = static_cast<char>(rng());
  for (std::size_t i = 0; i < dump.size(); ++i) {
    if (i / kPage % 9 == 4)
      dump[i] = 0xFF;  // never programmed, so not scrambled
    else
      dump[i] = static_cast<std::uint8_t>(dump[i] ^ key[i % key.size()]);
  }
  scratch_dir dir;
  fs::create_directory(dir.file("keys"));
  write_file(dir.file("keys/key.bin"), key);
  write_file(dir.file("dump.bin"), std::string(dump.begin(), dump.end()));
  detect_request q = detect_of(dir.file("dump.bin"), 2048, 64);
  q.xor_key = dir.file("keys/key.bin");
  q.out = dir.file("found.toml");
  const detect_outcome r = run_detect(q);
  ASSERT_TRUE(r.error.ok() && r.found) << r.error.message << r.text;
  EXPECT_TRUE(has(r.text, "\n# scrambler: " + q.xor_key + " taken off before the search\n"))
      << r.text;
  EXPECT_TRUE(has(read_file(q.out), "[scrambler]\nkey_file = \"keys/key.bin\"\necc = \"plain\"\n"));
  const pass_outcome check = run_pass(request(pass_command::check, q.dump, "", layout_file(q.out)));
  EXPECT_TRUE(check.error.ok()) << check.error.message;
  EXPECT_EQ(check.totals.uncorrectable, 0);
  EXPECT_EQ(check.totals.clean + check.totals.corrected + check.totals.erased, 64 * 4);

  // The dump unscrambled, with the key given: nothing decodes with it taken off, the pages as
  // stored do, and the finding says that the code cannot tell whether the key applies.
  for (std::size_t i = 0; i < dump.size(); ++i) {
    if (i / kPage % 9 != 4)
      dump[i] = static_cast<std::uint8_t>(dump[i] ^ key[i % key.size()]);
  }
  write_file(dir.file("plain.bin"), std::string(dump.begin(), dump.end()));
  q.dump = dir.file("plain.bin");
  q.out = dir.file("stored.toml");
  const detect_outcome stored = run_detect(q);
  ASSERT_TRUE(stored.error.ok() && stored.found) << stored.error.message << stored.text;
  EXPECT_TRUE(has(read_file(q.out), "ecc = \"scrambled\"\n"));
  EXPECT_TRUE(has(stored.text, "cannot tell whether the key applies")) << stored.text;

  write_file(q.xor_key, key.substr(1));
  q.out = dir.file("other.toml");
  EXPECT_TRUE(
      has(run_detect(q).error.message, "holds 6335 bytes, not a whole number of raw pages"));
  EXPECT_FALSE(fs::exists(q.out));
}

TEST(DetectCommand, RefusesBadRequestsAndSaysWhenNothingIsFound) {
  scratch_dir dir;
  const std::string erased = dir.file("erased.bin");
  write_file(erased, std::string(64 * 2112, '\xFF'));
  fs::create_directory(dir.file("folder"));
  detect_request few = detect_of(erased, 2048, 64), no_block = few, onto_dump = few;
  few.pages = 3;
  no_block.block_pages = 0;
  onto_dump.out = erased;
  onto_dump.force = true;
  const struct {
    const char* name;
    detect_request q;
    const char* says;
  } cases[] = {
      {"folder", detect_of(dir.file("folder"), 2048, 64), "folder is a directory"},
      {"too few pages sampled", few, "erased.bin: pages to sample must be 16 to 100000"},
      {"no pages a block", no_block, "--block-pages takes a number of at least 1"},
      {"output is the dump", onto_dump, "is the input"},
      // A page size of 0 is a size given, and wrong: not a request to guess.
      {"page size 0", detect_of(erased, 0, 64), "page size must be 512 to"},
      {"only the spare size", detect_of(erased, -1, 64), "give both --page-size and"},
  };
  for (const auto& c : cases) {
    const detect_outcome r = run_detect(c.q);
    EXPECT_TRUE(has(r.error.message, c.says)) << "case " << c.name << ": " << r.error.message;
    EXPECT_FALSE(has(r.error.message, "\n")) << "case " << c.name;
  }
  EXPECT_TRUE(read_file(erased) == std::string(64 * 2112, '\xFF')) << "case input kept";

  // Nothing found: said so, and no layout written. That a dump without ECC gives nothing is
  // detect_test's, whose search this would repeat at length; here nothing is left to search.
  detect_request none = detect_of(erased, 2048, 64);
  none.out = dir.file("none.toml");
  const detect_outcome r = run_detect(none);
  EXPECT_TRUE(r.error.ok() && !r.found) << r.error.message;
  EXPECT_TRUE(has(r.text,
                  "\n# nothing convincing found: no layout and code decode more steps "
                  "than chance would\n# ruled out: "))
      << r.text;
  EXPECT_TRUE(has(r.text,
                  "\n# the long search for dumps with bit errors in most steps was "
                  "skipped (--quick)\n"))
      << r.text;
  EXPECT_FALSE(fs::exists(none.out)) << "no layout written";
}

// Guessing the geometry, a dump without a whole page (an empty file, a /proc file that reports
// no size) is bad input, as it is given the geometry and for every other command.
TEST(DetectCommand, RefusesADumpWithoutAWholePageWhenGuessing) {
  scratch_dir dir;
  write_file(dir.file("empty.bin"), "");
  const detect_outcome r = run_detect(detect_of(dir.file("empty.bin"), -1, -1));
  EXPECT_TRUE(has(r.error.message, "empty.bin holds no whole page (0 bytes")) << r.text;
}

}  // namespace
