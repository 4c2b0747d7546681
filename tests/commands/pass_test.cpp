// In-process tests of check, fix, extract, encode and inject (commands/pass.cpp) through
// run_pass: round trips on the built-in layout and on layout files, uncorrectable and erased
// sectors and tails, outputs refused or replaced only when asked, standard output, thread-count
// independence, and the audit record and report against sha256sum and the pass's own counts.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>  // nlohmann::json

#include <algorithm>   // std::min, std::find
#include <cstdio>      // std::fopen, std::sscanf
#include <memory>      // std::unique_ptr
#include <filesystem>  // std::filesystem
#include <map>         // std::map
#include <string>      // std::string
#include <vector>      // std::vector

#include "layout/layout_file.h"                   // read_layout_file
#include "tests/commands/command_test_support.h"  // request, encoded_dump, sha256sum, ...

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace command_test;

TEST(Pass, UncorrectableAndErasedSectorsAndATail) {
  // Four pages with 9 to 12 bit errors in every sector, three erased pages, the second with a
  // few bits flipped to 0, then 1,000 bytes of a page that is not whole.
  scratch_dir dir;
  encoded_dump(dir, 4 * 2112, 7);
  ASSERT_TRUE(
      run_pass(request(pass_command::inject, dir.file("enc.bin"), dir.file("bad.bin"), {}, 9, 12))
          .error.ok());
  const std::size_t erased = 5 * 2112;  // the second erased page
  std::string dump = read_file(dir.file("bad.bin")) + std::string(3 * 2112, '\xFF');
  dump[erased + 10] = '\xFE';    // sector 0, data byte 6: one bit
  dump[erased + 600] = '\x7F';   // sector 1, data byte 71: one bit
  dump[erased + 2100] = '\xEF';  // sector 3, ECC byte 3: one bit
  dump += random_bytes(1000, 3);
  write_file(dir.file("d.bin"), dump);
  pass_request q = request(pass_command::check, dir.file("d.bin"));
  q.csv = dir.file("d.csv");
  const pass_outcome check = run_pass(q);
  EXPECT_TRUE(check.error.ok() && check.uncorrectable) << check.error.message;
  EXPECT_EQ(check.totals.uncorrectable, 16);
  EXPECT_EQ(check.totals.erased, 12);
  EXPECT_EQ(check.totals.erased_bits, 3);
  EXPECT_EQ(check.tail_bytes, 1000);
  for (const char* line :
       {"  erased:        12 (3 bits flipped within them)", "  uncorrectable: 16",
        "tail:            1000 bytes after the last whole page, not checked",
        // A dump beyond repair throughout points at the layout.
        "note: most sectors are uncorrectable; the layout or the code probably does not match "
        "this dump (pagolinth-ecc detect finds them from the dump itself)"})
    EXPECT_TRUE(has_line(check.summary, line)) << line << "\n" << joined(check.summary);
  const std::string csv = read_file(q.csv);
  EXPECT_EQ(
      csv.rfind("page,block,sector,offset,status,bits,flipped_1to0,flipped_0to1,positions\n", 0),
      0u);
  EXPECT_TRUE(has(csv, "\n0,0,1,529,uncorrectable,0,0,0,\n")) << csv;
  EXPECT_TRUE(has(csv, "\n5,0,0,10564,erased,1,1,0,d6.0:1>0\n")) << csv;
  // fix leaves the uncorrectable sectors and the tail as read, the erased ones all 0xFF.
  const pass_outcome fix = run_pass(request(pass_command::fix, q.dump, dir.file("fixed.bin")));
  EXPECT_TRUE(fix.error.ok() && fix.uncorrectable) << fix.error.message;
  dump[erased + 10] = dump[erased + 600] = dump[erased + 2100] = '\xFF';
  EXPECT_TRUE(same_bytes(read_file(dir.file("fixed.bin")), dump));
}

TEST(Pass, OneOfAThingIsSingular) {
  // One page of one sector with one flipped bit, in one block of one page, and a 1-byte tail.
  scratch_dir dir;
  const layout_choice layout = built_in(512, 32, 1);
  write_file(dir.file("raw.bin"), random_bytes(544 + 1, 12));
  const pass_outcome e =
      run_pass(request(pass_command::encode, dir.file("raw.bin"), dir.file("enc.bin"), layout));
  EXPECT_TRUE(has_line(e.summary, "pages:           1, 1 sector")) << joined(e.summary);
  EXPECT_TRUE(has_line(e.summary, "tail:            1 byte copied unchanged"));
  std::string dump = read_file(dir.file("enc.bin"));
  dump[100] = static_cast<char>(dump[100] ^ 0x10);
  write_file(dir.file("one.bin"), dump);
  pass_request q = request(pass_command::check, dir.file("one.bin"), "", layout);
  q.map = dir.file("one.svg");
  const pass_outcome r = run_pass(q);
  for (const char* line :
       {"pages:           1 of 512 + 32 bytes, 1 sector each", "  corrected:     1 (1 bit)",
        "  block 0: 0 uncorrectable sectors, 1 bit corrected",
        "tail:            1 byte after the last whole page, not checked"}) {
    EXPECT_TRUE(has_line(r.summary, line)) << line << "\n" << joined(r.summary);
  }
  EXPECT_TRUE(has(read_file(dir.file("one.svg")), "1 page of 512 + 32 bytes, 1 block of 1 page "));
}

TEST(Pass, OutputsAreRefusedBeforeAnythingIsWrittenAndReplacedOnlyWhenAsked) {
  scratch_dir dir;
  const std::string dump = random_bytes(2 * 2112, 5);
  write_file(dir.file("d.bin"), dump);
  ASSERT_EQ(link(dir.file("d.bin").c_str(), dir.file("alias.bin").c_str()), 0);
  write_file(dir.file("taken.bin"), "keep");
  write_file(dir.file("other"), "keep");
  fs::create_symlink("other", dir.file("link.html"));
  const std::vector<std::string> before = names_in(dir.path());
  // Each case: one option of a pass over d.bin whose -o is out.bin. Names are in `dir`, but "-".
  const struct {
    pass_command command;
    std::string option, value;
    const char* says;
  } cases[] = {
      {pass_command::encode, "-o", "taken.bin", "taken.bin exists already"},
      {pass_command::encode, "-o", "d.bin", "is the input"},
      {pass_command::check, "--csv", "alias.bin", "is the input"},  // a hard link
      {pass_command::fix, "--csv", "out.bin", "same file"},
      {pass_command::extract, "--map", "./out.bin", "same file"},
      {pass_command::check, "--report", "taken.bin", "taken.bin exists already"},
      {pass_command::check, "--report", "link.html", "link.html"},
      {pass_command::fix, "--report", "out.bin", "same file"},
      {pass_command::check, "--csv", "-", "only the dump can go to standard output (-o -)"},
      {pass_command::fix, "--audit", "out.bin", "same file"},
      {pass_command::fix, "--audit", "d.bin", "is the input"},
      {pass_command::fix, "--audit", "-", "only the dump can go to standard output (-o -)"},
      {pass_command::inject, "--flips", "8-2", "--flips takes N or MIN-MAX, from 0 to 64"},
      {pass_command::inject, "--flips", "0-65", "--flips takes N or MIN-MAX, from 0 to 64"},
      {pass_command::check, "--threads", "0", "--threads takes 1 to 64"},
      {pass_command::fix, "--threads", "65", "--threads takes 1 to 64"},
      {pass_command::extract, "--bad-blocks", "skip",
       "--bad-blocks skip needs a layout that names a bad-block marker ([bad_block])"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(static_cast<int>(c.command)) + " " + c.option + " " +
                 c.value);
    pass_request q = request(c.command, dir.file("d.bin"), dir.file("out.bin"));
    const std::map<std::string, std::string*> names = {{"-o", &q.out},
                                                       {"--csv", &q.csv},
                                                       {"--map", &q.map},
                                                       {"--report", &q.report},
                                                       {"--audit", &q.audit}};
    if (names.count(c.option) > 0)
      *names.at(c.option) = c.value == "-" ? c.value : dir.file(c.value);
    if (c.option == "--flips")
      std::sscanf(c.value.c_str(), "%d-%d", &q.flips_min, &q.flips_max);
    if (c.option == "--threads")
      q.threads = std::stoi(c.value);
    if (c.option == "--bad-blocks")
      q.bad_blocks = bad_block_choice::skip;
    q.force = c.value != "taken.bin";  // the rest are refused even so
    const pass_outcome r = run_pass(q);
    EXPECT_TRUE(has(r.error.message, c.says)) << r.error.message;
    EXPECT_FALSE(has(r.error.message, "\n")) << r.error.message;
    EXPECT_TRUE(r.summary.empty());
    EXPECT_EQ(names_in(dir.path()), before) << "something was created or removed";
  }
  EXPECT_TRUE(read_file(dir.file("d.bin")) == dump) << "the input changed";
  EXPECT_EQ(read_file(dir.file("taken.bin")) + read_file(dir.file("other")), "keepkeep");

  // Replaced when empty (the dialogue leaves fix's default output so), or when asked.
  write_file(dir.file("Dump_New.bin"), "");
  write_file(dir.file("empty.svg"), "");
  pass_request q = request(pass_command::fix, dir.file("d.bin"));
  q.map = dir.file("empty.svg");
  EXPECT_TRUE(run_pass(q).error.ok());
  EXPECT_TRUE(same_bytes(read_file(dir.file("Dump_New.bin")), dump));
  EXPECT_EQ(read_file(q.map).rfind("<?xml", 0), 0u);
  EXPECT_TRUE(has(run_pass(q).error.message, "Dump_New.bin exists already"));
  q.out = dir.file("taken.bin");
  q.csv = dir.file("Dump_New.bin");
  q.force = true;
  EXPECT_TRUE(run_pass(q).error.ok());
  EXPECT_TRUE(same_bytes(read_file(q.out), dump));
  EXPECT_EQ(read_file(q.csv).rfind("page,block,", 0), 0u);
  for (const std::string& name : names_in(dir.path()))
    EXPECT_FALSE(has(name, ".part-")) << "temporary file left: " << name;

  // An output's name near the limit still gets its record beside it, under a name that fits.
  for (std::size_t length : {241u, 250u, 255u}) {
    SCOPED_TRACE(testing::Message() << "case a name of " << length << " bytes");
    scratch_dir names;
    const std::string name(length, 'n');
    EXPECT_TRUE(
        run_pass(request(pass_command::encode, dir.file("d.bin"), names.file(name))).error.ok());
    const std::vector<std::string> written = names_in(names.path());
    ASSERT_EQ(written.size(), 2u);
    const std::string& record = written[0] == name ? written[1] : written[0];
    EXPECT_EQ(fs::file_size(names.file(name)), dump.size());
    EXPECT_EQ(record.substr(record.size() - 11), ".audit.json") << record;
  }
}

TEST(Pass, StandardOutputCarriesWhatAFileWould) {
  scratch_dir dir;
  encoded_dump(dir, 6 * 2112, 4, 4);
  const auto piped = [](pass_request q, const std::string& to) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(to.c_str(), "wb"),
                                                              std::fclose);
    q.out = "-";
    q.standard_output = out.get();
    return run_pass(q);
  };
  for (pass_command command :
       {pass_command::fix, pass_command::extract, pass_command::encode, pass_command::inject}) {
    SCOPED_TRACE(testing::Message() << "case command " << static_cast<int>(command));
    pass_request q = request(command, dir.file("noisy.bin"), dir.file("file.bin"));
    q.flips_min = q.flips_max = 2;
    q.force = true;
    ASSERT_TRUE(run_pass(q).error.ok());
    // A record only when named, and then with the hash of the bytes that went out.
    q.audit = dir.file("piped.json");
    const pass_outcome r = piped(q, dir.file("piped.bin"));
    EXPECT_TRUE(r.output_on_standard_output);
    EXPECT_TRUE(has_line(r.summary, "written:         standard output"));
    EXPECT_TRUE(same_bytes(read_file(dir.file("piped.bin")), read_file(q.out)));
    const json rec = json::parse(read_file(q.audit), nullptr, false);
    EXPECT_EQ(rec["output"]["path"], "-");
    EXPECT_EQ(rec["output"]["sha256"], sha256sum(dir.file("piped.bin")));
  }
  const pass_outcome quiet =
      piped(request(pass_command::fix, dir.file("noisy.bin")), dir.file("q"));
  EXPECT_TRUE(has_line(quiet.summary,
                       "audit:           none (the output went to standard output; --audit FILE "
                       "writes one)"));
  // A standard output that fails leaves no record: it is committed last.
  pass_request q = request(pass_command::fix, dir.file("noisy.bin"));
  q.audit = dir.file("failed.json");
  const pass_outcome r = piped(q, "/dev/full");
  EXPECT_TRUE(r.standard_output_failed);
  EXPECT_EQ(r.error.message, "cannot write to standard output: no space left on device");
  EXPECT_FALSE(fs::exists(q.audit));
}

TEST(Pass, ThreadsChangeNothingAndTheMapIsDrawn) {
  scratch_dir dir;
  encoded_dump(dir, 4100 * 2112, 11, 10);  // enough pages for several batches of the pass
  std::vector<pass_outcome> runs;
  for (int threads : {1, 3}) {
    pass_request q = request(pass_command::check, dir.file("noisy.bin"));
    q.threads = threads;
    q.csv = dir.file(std::to_string(threads) + ".csv");
    q.map = dir.file(std::to_string(threads) + ".svg");
    runs.push_back(run_pass(q));
    EXPECT_TRUE(runs.back().uncorrectable);
    runs.back().summary.resize(runs.back().summary.size() - 2);  // the CSV's and the map's names
  }
  EXPECT_EQ(runs[0].summary, runs[1].summary);
  EXPECT_TRUE(same_bytes(read_file(dir.file("1.csv")), read_file(dir.file("3.csv"))));
  const std::string map = read_file(dir.file("1.svg"));
  EXPECT_TRUE(same_bytes(map, read_file(dir.file("3.svg"))));
  EXPECT_TRUE(has(map, "fill=\"#000000\"")) << "no uncorrectable page drawn";
}

// A layout the library read (the built-in one, an example file) as a description: its spans,
// for the image that extract must write.
test_layout described(const nand_layout& l) {
  test_layout d;
  d.label = l.name;
  d.page_size = l.page_size;
  d.spare_size = l.spare_size;
  d.block_pages = l.block_pages;
  d.t = l.code.t;
  d.bit_order = l.code.lsb_first ? "lsb" : "msb";
  const auto spans = [](const std::vector<layout_span>& from) {
    std::vector<span> to;
    for (const layout_span& s : from)
      to.push_back({static_cast<int>(s.offset), static_cast<int>(s.length)});
    return to;
  };
  for (const layout_step& s : l.steps)
    d.steps.push_back({spans(s.data), spans(s.protected_), {}, s.bits});
  if (l.bad_block.present)
    d.marker = spans({l.bad_block.marker})[0];
  return d;
}

TEST(PassLayouts, EncodeInjectFixAndExtractRoundTrip) {
  // The built-in layout in several geometries, bit orders and masks; the test's layout files,
  // described here; every example layout in layouts/.
  struct layout_case {
    std::string name;
    layout_choice choice;
    test_layout l;
  };
  std::vector<layout_case> cases;
  for (const auto& g : {std::vector<int>{2048, 64, 64}, {4096, 224, 4}, {512, 23, 2}}) {
    for (int variant = 0; variant < 4; ++variant) {
      layout_choice c = built_in(g[0], g[1], g[2]);
      c.lsb_first = variant & 1;
      c.erased_ff = variant & 2;
      nand_layout l;
      ASSERT_TRUE(choose_layout(c, l).ok());
      cases.push_back({"built-in " + std::to_string(g[0]) + "+" + std::to_string(g[1]) +
                           " variant " + std::to_string(variant),
                       c, described(l)});
    }
  }
  scratch_dir files;
  for (const test_layout& l : test_layouts()) {
    const std::string path = files.file(std::to_string(cases.size()) + ".toml");
    write_file(path, to_toml(l));
    cases.push_back({"layout \"" + l.label + "\"", layout_file(path), l});
  }
  for (const auto& entry : fs::directory_iterator(PAGOLINTH_LAYOUTS)) {
    nand_layout l;
    if (entry.path().extension() == ".toml" && read_layout_file(entry.path().string(), l).ok())
      cases.push_back({entry.path().string(), layout_file(entry.path().string()), described(l)});
  }
  EXPECT_GE(cases.size(), 12u + 5 + 3) << "the example layouts were not found";
  std::uint32_t seed = 100;
  for (const layout_case& c : cases) {
    SCOPED_TRACE("case " + c.name);
    const test_layout& l = c.l;
    scratch_dir dir;
    const int pages = std::min(3 * l.block_pages + 1, 13);  // more than one block where it can
    const auto page_bytes = static_cast<std::size_t>(l.page_bytes());
    std::string raw = random_bytes(pages * page_bytes, ++seed);
    for (int p = 0; p < pages && l.marker.length > 0; ++p)  // the markers of good blocks
      raw.replace(p * page_bytes + l.marker.offset, l.marker.length, l.marker.length, '\xFF');
    write_file(dir.file("raw.bin"), raw);
    ASSERT_TRUE(
        run_pass(request(pass_command::encode, dir.file("raw.bin"), dir.file("enc.bin"), c.choice))
            .error.ok());
    // The first page erased, as a real chip leaves it.
    std::string enc = read_file(dir.file("enc.bin"));
    enc.replace(0, page_bytes, page_bytes, '\xFF');
    write_file(dir.file("enc.bin"), enc);
    const auto steps = static_cast<std::int64_t>(pages * l.steps.size());
    const auto erased = static_cast<std::int64_t>(l.steps.size());
    const pass_outcome clean =
        run_pass(request(pass_command::check, dir.file("enc.bin"), "", c.choice));
    EXPECT_FALSE(clean.uncorrectable);
    EXPECT_EQ(clean.totals.clean, steps - erased);
    EXPECT_EQ(clean.totals.erased, erased);
    if (!c.choice.layout_file.empty()) {
      EXPECT_TRUE(has_line(clean.summary,
                           "layout:          \"" + l.label + "\" (" + c.choice.layout_file + ")"));
    }

    // Up to t errors in every step: restored exactly, by fix and by extract.
    ASSERT_TRUE(run_pass(request(pass_command::inject, dir.file("enc.bin"), dir.file("noisy.bin"),
                                 c.choice, 1, l.t, seed))
                    .error.ok());
    const std::string noisy = read_file(dir.file("noisy.bin"));
    EXPECT_NE(noisy, enc) << "inject changed nothing";
    const pass_outcome fix = run_pass(
        request(pass_command::fix, dir.file("noisy.bin"), dir.file("fixed.bin"), c.choice));
    EXPECT_FALSE(fix.uncorrectable) << fix.error.message;
    EXPECT_EQ(fix.totals.corrected + fix.totals.erased, steps);
    EXPECT_TRUE(same_bytes(read_file(dir.file("fixed.bin")), enc)) << "fix did not restore";
    EXPECT_TRUE(read_file(dir.file("noisy.bin")) == noisy) << "the input changed";
    pass_request q =
        request(pass_command::extract, dir.file("noisy.bin"), dir.file("image.bin"), c.choice);
    q.bad_blocks = bad_block_choice::keep;
    const pass_outcome extract = run_pass(q);
    EXPECT_TRUE(extract.error.ok() && !extract.uncorrectable) << extract.error.message;
    EXPECT_EQ(extract.pages_extracted, pages);
    EXPECT_TRUE(same_bytes(read_file(dir.file("image.bin")), expected_image(l, enc, false)));

    // More than t: left as read, or corrected into a verified codeword, never anything else.
    ASSERT_TRUE(run_pass(request(pass_command::inject, dir.file("enc.bin"), dir.file("bad.bin"),
                                 c.choice, l.t + 1, l.t + 3, seed))
                    .error.ok());
    const pass_outcome bad_fix = run_pass(
        request(pass_command::fix, dir.file("bad.bin"), dir.file("bad_fixed.bin"), c.choice));
    EXPECT_TRUE(bad_fix.uncorrectable);
    EXPECT_GT(bad_fix.totals.uncorrectable, 0);
    const pass_outcome recheck =
        run_pass(request(pass_command::check, dir.file("bad_fixed.bin"), "", c.choice));
    EXPECT_EQ(recheck.totals.corrected, 0);
    EXPECT_EQ(recheck.totals.uncorrectable, bad_fix.totals.uncorrectable);
  }
}

TEST(PassLayouts, ExtractSkipsBadBlocksAndAddsProtectedBytes) {
  const test_layout l = test_layouts()[1];  // 4 pages a block, marker [4096, 2]
  scratch_dir dir;
  write_file(dir.file("l.toml"), to_toml(l));
  const layout_choice layout = layout_file(dir.file("l.toml"));
  const auto page_bytes = static_cast<std::size_t>(l.page_bytes());
  // The markers lie outside every step: set after encoding, they leave its ECC right.
  std::string enc = encoded_dump(dir, 16 * page_bytes, 77, -1, layout);
  for (int p = 0; p < 16; ++p)
    enc.replace(p * page_bytes + 4096, 2, 2, '\xFF');
  enc[1 * 4 * page_bytes + 4096] = '\x00';        // block 1: first page marked
  enc[(2 * 4 + 3) * page_bytes + 4097] = '\xF0';  // block 2: last page marked
  write_file(dir.file("enc.bin"), enc);

  const pass_outcome skip =
      run_pass(request(pass_command::extract, dir.file("enc.bin"), dir.file("skip.bin"), layout));
  EXPECT_TRUE(skip.error.ok()) << skip.error.message;
  EXPECT_EQ(skip.pages_extracted, 8);
  EXPECT_EQ(skip.totals.bad_blocks, 2);
  EXPECT_TRUE(same_bytes(read_file(dir.file("skip.bin")), expected_image(l, enc, false, {1, 2})))
      << "bad blocks not skipped";
  EXPECT_TRUE(has(joined(skip.summary), ": 1-2\n")) << joined(skip.summary);
  EXPECT_TRUE(has_line(skip.summary, "skipped:         2 bad blocks"));

  pass_request q =
      request(pass_command::extract, dir.file("enc.bin"), dir.file("keep.bin"), layout);
  q.bad_blocks = bad_block_choice::keep;
  q.with_protected = true;
  EXPECT_EQ(run_pass(q).pages_extracted, 16);
  EXPECT_TRUE(same_bytes(read_file(dir.file("keep.bin")), expected_image(l, enc, true)))
      << "protected bytes not after each page's data";

  // A bad block's steps check as they are, but the verdict leaves them out.
  std::string broken = enc;
  for (std::size_t i = 4 * page_bytes; i < 5 * page_bytes; i += 7)
    broken[i] = static_cast<char>(~broken[i]);
  write_file(dir.file("broken.bin"), broken);
  const pass_outcome check =
      run_pass(request(pass_command::check, dir.file("broken.bin"), "", layout));
  EXPECT_FALSE(check.uncorrectable);
  EXPECT_EQ(check.totals.uncorrectable, 4);
  EXPECT_EQ(check.totals.bad_block_uncorrectable, 4);
}

// The record's changed bits applied to `input`.
std::string applied(const json& record, std::string input) {
  for (const json& step : record["changed_steps"])
    for (const json& bit : step["bits"])
      input[bit[0].get<std::size_t>()] ^= static_cast<char>(1 << bit[1].get<int>());
  return input;
}

// Every command that writes an output leaves a record beside it, and check one when it is
// named; the hashes in it are sha256sum's, the counts the pass's, and the changed bits applied to
// the input give the output. The HTML report names the dump's SHA-256 and the command line.
TEST(PassAudit, RecordsAndReportsMatchSha256sumAndTheCounts) {
  scratch_dir dir;
  encoded_dump(dir, 16 * 2112, 7, 10);
  const struct {
    pass_command command;
    std::string input, output, record;  // output "": none; record "": beside the output
    bool dump_like;  // the output has the input's layout: its bits are listed as changed
  } cases[] = {
      {pass_command::fix, "noisy.bin", "fixed.bin", "", true},
      {pass_command::encode, "raw.bin", "enc2.bin", "", true},
      {pass_command::inject, "enc.bin", "inj.bin", "", true},
      {pass_command::extract, "noisy.bin", "image.bin", "x.json", false},
      {pass_command::check, "noisy.bin", "", "c.json", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + c.output + c.record);
    pass_request q =
        request(c.command, dir.file(c.input), c.output.empty() ? "" : dir.file(c.output));
    q.flips_min = q.flips_max = 3;
    q.audit = c.record.empty() ? "" : dir.file(c.record);
    const bool reports = c.command == pass_command::check || c.command == pass_command::fix ||
                         c.command == pass_command::extract;
    // With a CSV the record refers to it for the changed bits, as check's must.
    q.csv = c.command == pass_command::check ? dir.file("c.csv") : "";
    q.report = reports ? dir.file(c.record + " r.html") : "";
    q.command_line = {"pagolinth-ecc", "a command", c.record + " r.html"};
    const pass_outcome r = run_pass(q);
    ASSERT_TRUE(r.error.ok()) << r.error.message;
    const std::string record = c.record.empty() ? q.out + ".audit.json" : q.audit;
    EXPECT_TRUE(has_line(r.summary, "audit:           " + record)) << joined(r.summary);
    const json rec = json::parse(read_file(record), nullptr, false);
    ASSERT_FALSE(rec.is_discarded()) << read_file(record);
    EXPECT_EQ(rec["command_line"], q.command_line);
    EXPECT_EQ(rec["input"]["sha256"], sha256sum(q.dump));
    EXPECT_EQ(rec["input"]["bytes"], fs::file_size(q.dump));
    EXPECT_EQ(rec["exit_status"], r.uncorrectable ? 1 : 0);
    EXPECT_EQ(rec.contains("output"), !c.output.empty());
    if (!c.output.empty()) {
      EXPECT_EQ(rec["output"]["sha256"], sha256sum(q.out));
      EXPECT_EQ(rec["output"]["bytes"], fs::file_size(q.out));
    }
    if (c.dump_like) {
      EXPECT_TRUE(same_bytes(applied(rec, read_file(q.dump)), read_file(q.out)));
    }
    if (reports) {
      EXPECT_EQ(rec["summary"]["clean"], r.totals.clean);
      EXPECT_EQ(rec["summary"]["corrected"], r.totals.corrected);
      EXPECT_EQ(rec["summary"]["uncorrectable"], r.totals.uncorrectable);
      EXPECT_EQ(rec["report"]["sha256"], sha256sum(q.report));
      const std::string page = read_file(q.report);
      EXPECT_TRUE(has(page, "<code>" + sha256sum(q.dump) + "</code>")) << "the dump's SHA-256";
      EXPECT_TRUE(has(page, "pagolinth-ecc &#39;a command&#39; &#39;" + c.record + " r.html&#39;"))
          << "the command line, quoted for the shell";
    }
    if (c.command == pass_command::fix) {
      // Bits that had fallen from 1 to 0, which the output turns back to 1.
      EXPECT_EQ(rec["changed"]["bits_0_to_1"], r.totals.fell);
    }
    if (c.command == pass_command::check) {
      // check lists no bits but refers to its CSV, which holds them.
      EXPECT_EQ(rec["changed_steps_in_csv"], q.csv);
      EXPECT_EQ(rec["csv"]["sha256"], sha256sum(q.csv));
      EXPECT_FALSE(rec.contains("changed_steps"));
      EXPECT_EQ(rec["changed"]["steps"], r.totals.corrected);
    }
    if (c.command == pass_command::inject) {
      EXPECT_EQ(rec["summary"]["bits_injected"], r.totals.injected_bits);
      EXPECT_EQ(rec["changed"]["steps"], 16 * 4);
    }
  }
  // check has none unless it is named, and no_audit leaves none beside an output.
  const std::vector<std::string> before = names_in(dir.path());
  ASSERT_TRUE(run_pass(request(pass_command::check, dir.file("noisy.bin"))).error.ok());
  pass_request quiet = request(pass_command::fix, dir.file("noisy.bin"), dir.file("quiet.bin"));
  quiet.no_audit = true;
  ASSERT_TRUE(run_pass(quiet).error.ok());
  std::vector<std::string> after = names_in(dir.path());
  after.erase(std::find(after.begin(), after.end(), "quiet.bin"));
  EXPECT_EQ(after, before);
}

}  // namespace

namespace {

// A dump scrambled with a key of 3 pages, in both ways a controller computes its ECC: made
// here by XOR from dumps encoded without a scrambler, and by encode through one; checked,
// corrected and extracted through the layout's [scrambler].
TEST(Pass, ScrambledDumpsInBothEccModes) {
  scratch_dir dir;
  constexpr std::size_t kPage = 2112, kPages = 8, kErased = 5;
  const std::string key = random_bytes(3 * kPage, 31);
  write_file(dir.file("key.bin"), key);
  std::string raw = random_bytes(kPages * kPage, 32);
  raw.replace(kErased * kPage, kPage, kPage, '\xFF');  // never programmed
  write_file(dir.file("raw.bin"), raw);
  const auto scramble = [&](std::string d) {
    for (std::size_t i = 0; i < d.size(); ++i) {
      if (i / kPage != kErased)
        d[i] = static_cast<char>(d[i] ^ key[i % (3 * kPage)]);
    }
    return d;
  };
  const auto run = [&](pass_command c, const std::string& in, const std::string& out,
                       const layout_choice& l, int flips = 0) {
    pass_request q = request(c, dir.file(in), out.empty() ? "" : dir.file(out), l, 0, flips, 3);
    q.no_audit = q.force = true;
    pass_outcome r = run_pass(q);
    EXPECT_EQ(r.error.message, "") << in;
    return r;
  };
  const std::string plain_data =
      (run(pass_command::encode, "raw.bin", "enc.bin", {}),
       run(pass_command::extract, "enc.bin", "data.bin", {}), read_file(dir.file("data.bin")));
  for (const char* mode : {"plain", "scrambled"}) {
    SCOPED_TRACE(mode);
    write_file(dir.file("l.toml"), run_layout({}).toml + "\n[scrambler]\nkey_file = \"key.bin\"\n" +
                                       "ecc = \"" + mode + "\"\n");
    const layout_choice l = layout_file(dir.file("l.toml"));
    // The truth: ECC over the plain bytes, then scrambled; or over the scrambled bytes.
    std::string truth;
    if (std::string(mode) == "plain") {
      truth = scramble(read_file(dir.file("enc.bin")));
    } else {
      write_file(dir.file("s.bin"), scramble(raw));
      run(pass_command::encode, "s.bin", "truth.bin", {});
      truth = read_file(dir.file("truth.bin"));
    }
    truth.replace(kErased * kPage, kPage, kPage, '\xFF');
    run(pass_command::encode, "raw.bin", "made.bin", l);
    EXPECT_TRUE(same_bytes(read_file(dir.file("made.bin")), truth));
    write_file(dir.file("truth.bin"), truth);
    const pass_outcome check = run(pass_command::check, "truth.bin", "", l);
    EXPECT_EQ(check.totals.clean, 28);
    EXPECT_EQ(check.totals.erased, 4);
    run(pass_command::inject, "truth.bin", "noisy.bin", l, 8);
    const pass_outcome fix = run(pass_command::fix, "noisy.bin", "fixed.bin", l);
    EXPECT_EQ(fix.totals.uncorrectable, 0);
    EXPECT_TRUE(same_bytes(read_file(dir.file("fixed.bin")), truth));
    run(pass_command::extract, "noisy.bin", "image.bin", l);
    EXPECT_TRUE(same_bytes(read_file(dir.file("image.bin")), plain_data));
  }
}

}  // namespace
