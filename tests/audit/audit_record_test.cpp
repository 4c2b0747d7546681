// The audit record library on batches made here: UTC times against known answers, the changed
// bits found by comparing pages and those taken from the decoder's fixes (two routes to one
// list), counts kept when a CSV lists the steps, and verification of files with names that are
// not UTF-8 and of names that are no regular file.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>  // nlohmann::json

#include <algorithm>   // std::sort
#include <cstdio>      // std::tmpfile
#include <filesystem>  // std::filesystem
#include <string>      // std::string
#include <vector>      // std::vector
#include <sys/stat.h>  // mkfifo

#include "audit/audit_record.h"         // audit_*
#include "codec/codec.h"                // bch_code_init, bch_encode, bch_decode
#include "tests/support/run_program.h"  // scratch_dir, read_file, write_file
#include "tests/support/file_text.h"    // file_text

namespace {

using json = nlohmann::json;

TEST(AuditRecord, UtcTimesAgainstKnownAnswers) {
  // Known answers from `date -u -d @N +%Y-%m-%dT%H:%M:%SZ`.
  const std::pair<std::time_t, const char*> cases[] = {{0, "1970-01-01T00:00:00Z"},
                                                       {951782400, "2000-02-29T00:00:00Z"},
                                                       {1700000000, "2023-11-14T22:13:20Z"}};
  for (const auto& [when, text] : cases)
    EXPECT_EQ(audit_utc_time(when), text) << "case " << when;
}

struct pages_and_fixes {
  std::vector<unsigned char> before, after;
  std::vector<step_outcome> outcomes;
  std::vector<bch_bit_fix> fixes;
};

// Two pages of the built-in layout, encoded, then bit errors in some steps, decoded here step by
// step as the pass does.
pages_and_fixes decoded_pages(const nand_layout& layout, const bch_code& code) {
  pages_and_fixes p;
  const std::int64_t page_bytes = raw_page_bytes(layout);
  p.before.assign(static_cast<std::size_t>(2 * page_bytes), 0);
  for (std::size_t i = 0; i < p.before.size(); ++i)
    p.before[i] = static_cast<unsigned char>(i * 7 + 3);
  std::vector<unsigned char> message(512);
  for (int page = 0; page < 2; ++page) {
    for (const layout_step& step : layout.steps) {
      unsigned char* base = p.before.data() + page * page_bytes;
      gather_message(base, step, message.data());
      bch_encode(code, message.data(), message.size(), base + step.ecc.offset);
    }
  }
  // Errors: page 0 step 1 two bits (one in the ECC), page 1 step 3 (the split one) one bit.
  p.before[static_cast<std::size_t>(600)] ^= 0x10;
  p.before[static_cast<std::size_t>(1041 + 2)] ^= 0x01;
  p.before[static_cast<std::size_t>(page_bytes + 2060)] ^= 0x80;
  p.after = p.before;
  for (int page = 0; page < 2; ++page) {
    for (const layout_step& step : layout.steps) {
      unsigned char* base = p.after.data() + page * page_bytes;
      gather_message(base, step, message.data());
      bch_decode_result r;
      bch_decode(code, message.data(), message.size(), base + step.ecc.offset, r);
      scatter_message(base, step, message.data());
      step_outcome o;
      o.status = r.status;
      o.bits = static_cast<std::uint16_t>(r.bits);
      o.fix_first = static_cast<std::uint32_t>(p.fixes.size());
      o.fix_count = static_cast<std::uint16_t>(r.fixes.size());
      p.fixes.insert(p.fixes.end(), r.fixes.begin(), r.fixes.end());
      p.outcomes.push_back(o);
    }
  }
  return p;
}

json record_of(const nand_layout& layout, const bch_code& code, const pages_and_fixes& p,
               audit_changes changes, const std::string& csv, audit_writer& w) {
  std::FILE* f = std::tmpfile();
  audit_head head;
  head.program = "test";
  head.command = "fix";
  head.layout = &layout;
  head.code = &code;
  head.changes = changes;
  head.changes_in_csv = csv;
  EXPECT_EQ(audit_begin(w, f, head).message, "");
  scan_batch batch;
  batch.first_page = 0;
  batch.pages = 2;
  batch.bytes = p.after.data();
  batch.outcomes = p.outcomes.data();
  batch.fixes = p.fixes.data();
  EXPECT_TRUE(audit_add_batch(w, batch, p.before.data(), true));
  EXPECT_EQ(audit_end(w, audit_tail{}).message, "");
  const std::string text = file_text(f);
  std::fclose(f);
  return json::parse(text, nullptr, false);
}

TEST(AuditRecord, ComparedPagesAndDecoderFixesListTheSameBits) {
  const nand_layout layout = default_layout(2048, 64, 64);
  bch_code code;
  ASSERT_EQ(bch_code_init(code, 13, 8).message, "");
  const pages_and_fixes p = decoded_pages(layout, code);
  // Known answers from where the errors were put above.
  for (audit_changes route : {audit_changes::written, audit_changes::decoded}) {
    SCOPED_TRACE(route == audit_changes::written ? "case compared pages" : "case decoder fixes");
    audit_writer w;
    const json rec = record_of(layout, code, p, route, "", w);
    ASSERT_FALSE(rec.is_discarded());
    ASSERT_EQ(rec["changed_steps"].size(), 2u) << rec.dump();
    const json& first = rec["changed_steps"][0];
    const json& second = rec["changed_steps"][1];
    EXPECT_EQ(first["page"], 0);
    EXPECT_EQ(first["step"], 1);
    EXPECT_EQ(first["offset"], 529);
    EXPECT_EQ(first["status"], "corrected");
    std::vector<std::int64_t> offsets;
    for (const json& bit : first["bits"])
      offsets.push_back(bit[0].get<std::int64_t>());
    std::sort(offsets.begin(), offsets.end());
    EXPECT_EQ(offsets, (std::vector<std::int64_t>{600, 1043}));
    EXPECT_EQ(second["page"], 1);
    EXPECT_EQ(second["step"], 3);
    ASSERT_EQ(second["bits"].size(), 1u);
    EXPECT_EQ(second["bits"][0][0], 2112 + 2060);
    EXPECT_EQ(second["bits"][0][1], 7);
    // The value read is the bit of the page before correction.
    for (const json& step : rec["changed_steps"])
      for (const json& bit : step["bits"])
        EXPECT_EQ(bit[2], (p.before[bit[0].get<std::size_t>()] >> bit[1].get<int>()) & 1);
    EXPECT_EQ(rec["changed"]["steps"], 2);
    EXPECT_EQ(w.bits_0_to_1 + w.bits_1_to_0, 3);
  }
  // With a CSV the bits are not repeated, but the counts are the same.
  audit_writer listed, counted_only;
  record_of(layout, code, p, audit_changes::written, "", listed);
  const json rec = record_of(layout, code, p, audit_changes::written, "e.csv", counted_only);
  ASSERT_FALSE(rec.is_discarded());
  EXPECT_FALSE(rec.contains("changed_steps"));
  EXPECT_EQ(rec["changed_steps_in_csv"], "e.csv");
  EXPECT_EQ(counted_only.steps_changed, listed.steps_changed);
  EXPECT_EQ(counted_only.bits_0_to_1, listed.bits_0_to_1);
  EXPECT_EQ(counted_only.bits_1_to_0, listed.bits_1_to_0);
}

TEST(AuditRecord, VerifyFindsFilesWhateverTheirNames) {
  scratch_dir dir;
  const std::string latin1 = dir.file("dump-\xE9.bin");  // not UTF-8
  write_file(latin1, "abc");
  write_file(dir.file("out.bin"), "");
  // Known answers: sha256sum of "abc" and of nothing.
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const std::string empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  const nand_layout layout = default_layout(2048, 64, 64);
  bch_code code;
  ASSERT_EQ(bch_code_init(code, 13, 8).message, "");
  std::FILE* f = std::fopen(dir.file("r.json").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  audit_writer w;
  audit_head head;
  head.layout = &layout;
  head.code = &code;
  head.input = {latin1, latin1, 3, abc};
  ASSERT_EQ(audit_begin(w, f, head).message, "");
  audit_tail tail;
  tail.has_output = true;
  tail.output = {"out.bin", "", 0, empty};  // found beside the record
  ASSERT_EQ(audit_end(w, tail).message, "");
  std::fclose(f);

  std::vector<audit_check> checks;
  std::vector<std::string> skipped;
  ASSERT_EQ(audit_verify(dir.file("r.json"), checks, skipped).message, "");
  ASSERT_EQ(checks.size(), 2u);
  EXPECT_EQ(checks[0].path, latin1);
  EXPECT_EQ(checks[0].problem, audit_problem::none) << checks[0].path;
  EXPECT_EQ(checks[1].problem, audit_problem::none) << checks[1].path;
  write_file(latin1, "abd");
  ASSERT_EQ(audit_verify(dir.file("r.json"), checks, skipped).message, "");
  EXPECT_EQ(checks[0].problem, audit_problem::changed);
  EXPECT_EQ(checks[0].found, "a52d159f262b2c6ddb724a61840befc36eb30c88877a4030b65cbe86298449c9");
}

TEST(AuditRecord, VerifyHashesOnlyRegularFiles) {
  // A crafted record: a device, a /proc file (regular, size 0, yet it reads content) and a FIFO
  // (opening it for reading would wait for a writer), each with the SHA-256 of nothing, which an
  // empty regular file does match.
  scratch_dir dir;
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  write_file(dir.file("empty"), "");
  const std::string empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  const nand_layout layout = default_layout(2048, 64, 64);
  bch_code code;
  ASSERT_EQ(bch_code_init(code, 13, 8).message, "");
  std::FILE* f = std::fopen(dir.file("r.json").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  audit_writer w;
  audit_head head;
  head.layout = &layout;
  head.code = &code;
  head.input = {"/dev/zero", "/dev/zero", 0, empty};
  ASSERT_EQ(audit_begin(w, f, head).message, "");
  audit_tail tail;
  tail.has_output = true;
  tail.output = {"/proc/self/status", "/proc/self/status", 0, empty};
  tail.side_files = {{"csv", {dir.file("fifo"), dir.file("fifo"), 0, empty}},
                     {"report", {dir.file("empty"), dir.file("empty"), 0, empty}}};
  ASSERT_EQ(audit_end(w, tail).message, "");
  std::fclose(f);

  std::vector<audit_check> checks;
  std::vector<std::string> skipped;
  ASSERT_EQ(audit_verify(dir.file("r.json"), checks, skipped).message, "");
  ASSERT_EQ(checks.size(), 4u);
  const struct {
    const char* name;
    audit_problem problem;
    const char* why;
  } want[] = {{"device", audit_problem::unreadable, "a character device"},
              {"/proc file", audit_problem::unreadable, "more bytes than"},
              {"FIFO", audit_problem::unreadable, "a FIFO"},
              {"empty regular file", audit_problem::none, ""}};
  for (std::size_t i = 0; i < checks.size(); ++i) {
    SCOPED_TRACE(std::string("case ") + want[i].name);
    EXPECT_EQ(checks[i].problem, want[i].problem) << checks[i].path;
    EXPECT_NE(checks[i].why.find(want[i].why), std::string::npos) << checks[i].why;
  }
}

}  // namespace
