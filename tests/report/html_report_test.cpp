// Tests of the report page and its charts: dates against known calendar answers, escaping of
// a hostile file name, tags balanced in the whole page, every chart and the map present, the
// map's tooltips and bad-block marks, and the size bound for a dump of a million pages whose
// every step needed a correction.
#include "report/html_report.h"

#include <gtest/gtest.h>

#include <cmath>   // std::pow
#include <cstdio>  // std::tmpfile, std::rewind, std::fread
#include <regex>   // std::regex
#include <set>     // std::set
#include <string>  // std::string
#include <vector>  // std::vector

#include "files/output_file.h"          // file_ptr
#include "report/svg_chart.h"           // linear_ticks, bar_chart, write_bar_chart
#include "tests/report/small_pass.h"    // small_pass
#include "tests/support/markup.h"       // file_text, unbalanced
#include "tests/support/run_program.h"  // scratch_dir, read_file

namespace {

TEST(HtmlReport, Dates) {
  const struct {
    std::int64_t seconds;
    const char* want;
  } dates[] = {
      {0, "1970-01-01T00:00:00Z"},
      {951782400, "2000-02-29T00:00:00Z"},  // leap day of a century leap year
      {1700000000, "2023-11-14T22:13:20Z"},
      {-1, "1969-12-31T23:59:59Z"},
      {4107542399, "2100-02-28T23:59:59Z"},  // 2100 is no leap year
      {253402300799, "9999-12-31T23:59:59Z"},
      {999999999999, "9999-12-31T23:59:59Z"},  // clamped
  };
  for (const auto& d : dates)
    EXPECT_EQ(utc_iso8601(d.seconds), d.want) << "case " << d.seconds;
}

TEST(HtmlReport, ChartTicks) {
  const struct {
    double max;
    std::vector<double> want;
  } cases[] = {
      {0, {0, 1}},
      {1, {0, 1}},
      {7, {0, 2, 4, 6, 8}},
      {100, {0, 50, 100}},
      {241, {0, 100, 200, 300}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(linear_ticks(c.max), c.want) << "case max " << c.max;
}

TEST(HtmlReport, WholePageWellFormedAndEscaped) {
  small_pass pass;
  report_header h;
  h.dump_name = "<script>&\"'.bin";
  h.dump_bytes = 12 * 2112;
  h.sha256 = std::string(64, 'a');
  h.code_text = "m=13 t=8";
  h.version = "pagolinth-ecc 9.9";
  h.command_line = "pagolinth-ecc check '<script>&\"'\\''.bin' --report r.html";
  h.time = 1700000000;
  file_ptr f(std::tmpfile());
  ASSERT_TRUE(f);
  ASSERT_TRUE(write_html_report(f.get(), h, pass.summary, pass.stats));
  const std::string page = file_text(f.get());
  EXPECT_EQ(unbalanced(page), "");
  EXPECT_EQ(page.find("<script"), std::string::npos) << "the hostile name came through raw";
  EXPECT_NE(page.find("&lt;script&gt;&amp;&quot;&#39;.bin"), std::string::npos);
  EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
  for (const char* id : {"verdict", "map", "chart-block-bits", "chart-step-bits", "chart-positions",
                         "chart-bit-in-byte", "chart-directions", "uncorrectable"}) {
    EXPECT_NE(page.find("id=\"" + std::string(id) + "\""), std::string::npos) << "case " << id;
  }
  for (const char* text :
       {"2023-11-14T22:13:20Z", "pagolinth-ecc 9.9",
        "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "1 step uncorrectable",
        "page 5 (block 1, page 1): uncorrectable", "block 2 marked bad", ">block marked bad</text>",
        "margin left: 7 bits"}) {
    EXPECT_NE(page.find(text), std::string::npos) << "case " << text;
  }
  // The listed step: page 5, step 1, at its first data byte (4 bytes after the page start).
  EXPECT_NE(page.find("<td class=\"n\">5</td><td class=\"n\">1</td><td class=\"n\">1</td><td "
                      "class=\"n\">" +
                      std::to_string(5 * 2112 + 4 + 525) + "</td>"),
            std::string::npos);
  // No external resource: nothing fetched from anywhere.
  EXPECT_EQ(std::regex_search(page, std::regex("(src|href)=|url\\((?!#)|@import")), false);
}

// The size bound: a million pages (about 2 GiB of 2112-byte pages), every step corrected, so
// that no cell of the map is quiet and every tooltip is needed.
TEST(HtmlReport, MillionPageReportStaysSmall) {
  const nand_layout layout = default_layout(2048, 64, 64);
  bch_code code;
  code.t = 8;
  code.m = 13;
  scan_settings s;
  s.layout = &layout;
  s.code = &code;
  constexpr std::int64_t kBig = 1 << 20;
  const bad_block_set none;
  scan_report summary;
  report_open(summary, s, kBig, none, "big.bin", nullptr, nullptr);
  report_stats stats;
  report_stats_open(stats, layout, 8, kBig, none);
  constexpr std::int64_t kBatch = 8192;
  std::vector<step_outcome> outcomes(static_cast<std::size_t>(kBatch * 4));
  std::vector<bch_bit_fix> fixes(outcomes.size());
  for (std::int64_t first = 0; first < kBig; first += kBatch) {
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
      step_outcome& o = outcomes[i];
      o.status =
          (first / kBatch + i) % 2000 == 17 ? bch_status::uncorrectable : bch_status::corrected;
      o.bits = o.status == bch_status::corrected ? static_cast<std::uint16_t>(1 + i % 8) : 0;
      o.fix_count = o.status == bch_status::corrected ? 1 : 0;
      o.fix_first = static_cast<std::uint32_t>(i);
      fixes[i] = bch_bit_fix{i % 40 == 0, static_cast<std::uint32_t>(i % 12),
                             static_cast<std::uint8_t>(i % 8), i % 2 == 0};
    }
    scan_batch b;
    b.first_page = first;
    b.pages = kBatch;
    b.outcomes = outcomes.data();
    b.fixes = fixes.data();
    report_stats_batch(stats, b);
    ASSERT_TRUE(report_batch(summary, b));
  }
  ASSERT_EQ(report_close(summary).message, "");
  report_header h;
  h.dump_name = "big.bin";
  file_ptr f(std::tmpfile());
  ASSERT_TRUE(write_html_report(f.get(), h, summary, stats));
  const std::string page = file_text(f.get());
  EXPECT_LT(page.size(), 5u << 20) << "bytes: " << page.size();
  EXPECT_EQ(unbalanced(page), "");
  EXPECT_NE(page.find("pages are aggregated: each cell gathers 64 blocks by 1 page"),
            std::string::npos);
  EXPECT_NE(page.find("each bar gathers 33 blocks"), std::string::npos);
  EXPECT_NE(page.find("the first listed"), std::string::npos) << "over 1,000 uncorrectable";
}

// A dump of a million one-page blocks, nearly all marked bad: the first 2,500 blocks alternate
// (the even ones bad), the rest are bad to the end. Neither the map nor the page may grow with
// the blocks, and the lists give runs of neighbours, the first ones, then a count: 1,250 bad
// among the first 2,500 and 1,048,576 - 2,500 after them make 1,047,326; the summary's 1,000
// runs are single blocks, 1,046,326 more; the page's 200 runs, 1,047,126 more.
TEST(HtmlReport, EveryBlockMarkedBadStaysSmall) {
  nand_layout layout = default_layout(2048, 64, 1);
  layout.bad_block.present = true;
  layout.bad_block.marker = {2048, 2};
  layout.bad_block.pages = {0};
  bch_code code;
  code.t = 8;
  code.m = 13;
  scan_settings s;
  s.layout = &layout;
  s.code = &code;
  constexpr std::int64_t kBlocks = 1 << 20;
  bad_block_set bad(kBlocks);
  for (std::int64_t b = 0; b < kBlocks; ++b)
    if (b >= 2500 || b % 2 == 0)
      mark_bad_block(bad, b);
  const scratch_dir dir;
  const std::string map_path = dir.file("map.svg");
  scan_report summary;
  report_open(summary, s, kBlocks, bad, "bad.bin", nullptr,
              file_ptr(std::fopen(map_path.c_str(), "wb")));
  report_stats stats;
  report_stats_open(stats, layout, 8, kBlocks, bad);
  constexpr std::int64_t kBatch = 8192;
  const std::vector<step_outcome> clean(static_cast<std::size_t>(kBatch * 4));
  for (std::int64_t first = 0; first < kBlocks; first += kBatch) {
    scan_batch b;
    b.first_page = first;
    b.pages = kBatch;
    b.outcomes = clean.data();
    report_stats_batch(stats, b);
    ASSERT_TRUE(report_batch(summary, b));
  }
  ASSERT_EQ(report_close(summary).message, "");
  const std::string map = read_file(map_path);
  EXPECT_LT(map.size(), 5u << 20) << "map bytes: " << map.size();
  EXPECT_EQ(unbalanced(map), "");
  report_header h;
  h.dump_name = "bad.bin";
  file_ptr f(std::tmpfile());
  ASSERT_TRUE(write_html_report(f.get(), h, summary, stats));
  const std::string page = file_text(f.get());
  EXPECT_LT(page.size(), 5u << 20) << "page bytes: " << page.size();
  EXPECT_NE(page.find("uncorrectable; blocks: 0 2 4 6 "), std::string::npos);
  EXPECT_NE(page.find(" 396 398 and 1047126 more</td>"), std::string::npos);
  std::string listed;
  for (const std::string& line : summary_lines(summary, 0))
    if (line.rfind("bad blocks:", 0) == 0)
      listed = line;
  const std::string tail = " 1996 1998 and 1046326 more";
  EXPECT_NE(listed.find("the dump): 0 2 4 6 "), std::string::npos) << listed.substr(0, 200);
  EXPECT_EQ(listed.rfind(tail), listed.size() - tail.size()) << listed.substr(0, 200);
}

}  // namespace
