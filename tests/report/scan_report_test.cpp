// Tests of a pass's summary: a layout whose steps leave part of the page's data out says so, in
// the summary lines and on the HTML page, with the share counted here (3 steps of 512 bytes in
// a page of 2048); a layout that covers the page says nothing of it.
#include "report/scan_report.h"

#include <gtest/gtest.h>  // TEST, EXPECT_*, ASSERT_*, SCOPED_TRACE

#include <cstdio>  // std::tmpfile
#include <string>  // std::string
#include <vector>  // std::vector

#include "files/output_file.h"        // file_ptr
#include "report/html_report.h"       // write_html_report, report_header
#include "report/report_stats.h"      // report_stats, report_stats_open, report_stats_batch
#include "report/report_text.h"       // markup_escaped
#include "tests/support/file_text.h"  // file_text

namespace {

bch_code code_13_8() {
  bch_code code;
  code.m = 13;
  code.t = 8;
  return code;
}

// A summary of 4 pages of `layout` (settings as check makes them).
void open_summary(scan_report& summary, const nand_layout& layout, const bch_code& code,
                  const bad_block_set& bad) {
  scan_settings settings;
  settings.layout = &layout;
  settings.code = &code;
  report_open(summary, settings, 4, bad, "d.bin", nullptr, nullptr);
}

TEST(ScanReport, SaysWhenTheLayoutLeavesDataOut) {
  const struct {
    std::size_t steps;
    std::string says;
  } cases[] = {
      {4, ""},
      {3,
       "incomplete layout: its steps hold 1536 of the page's 2048 data bytes (75%); extract "
       "leaves the rest out"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(c.steps) + " of 4 steps");
    nand_layout layout = default_layout(2048, 64, 4);
    layout.steps.resize(c.steps);  // 3: without the last sector, the one split by the hole
    const bch_code code = code_13_8();
    const bad_block_set bad(1);
    scan_report summary;
    open_summary(summary, layout, code, bad);
    report_stats stats;
    report_stats_open(stats, layout, 8, 4, bad);
    const std::vector<step_outcome> clean(4 * c.steps);
    scan_batch batch;
    batch.pages = 4;
    batch.outcomes = clean.data();
    report_stats_batch(stats, batch);
    ASSERT_TRUE(report_batch(summary, batch));
    ASSERT_EQ(report_close(summary).message, "");

    const std::vector<std::string> lines = summary_lines(summary, 0);
    std::size_t said = 0;
    for (const std::string& line : lines)
      said += line.find("incomplete") != std::string::npos;
    EXPECT_EQ(said, c.says.empty() ? 0u : 1u);
    // Right under the page geometry, above the counts of the steps alone.
    if (!c.says.empty()) {
      ASSERT_GE(lines.size(), 2u);
      EXPECT_EQ(lines[1], c.says);
    }

    file_ptr page_file(std::tmpfile());
    ASSERT_TRUE(write_html_report(page_file.get(), report_header{}, summary, stats));
    const std::string page = file_text(page_file.get());
    EXPECT_EQ(page.find("incomplete") != std::string::npos, !c.says.empty());
    if (!c.says.empty()) {
      EXPECT_NE(page.find(markup_escaped(c.says)), std::string::npos);
    }
  }
}

// Steps of zeros decode under any code without a mask: a layout under which every other step
// is uncorrectable does not fit, however many steps of zeros come out clean.
TEST(ScanReport, StepsOfZerosDoNotHideALayoutThatDoesNotFit) {
  nand_layout layout = default_layout(2048, 64, 4);
  const bch_code code = code_13_8();
  const bad_block_set bad(1);
  scan_report summary;
  open_summary(summary, layout, code, bad);
  // 16 steps: 5 uncorrectable, 2 clean with data, 9 clean of zeros.
  std::vector<unsigned char> bytes(4 * raw_page_bytes(layout), 0);
  std::vector<step_outcome> outcomes(16);
  for (std::size_t i = 0; i < 5; ++i)
    outcomes[i].status = bch_status::uncorrectable;
  for (std::size_t i = 5; i < 7; ++i) {
    const layout_step& step = layout.steps[i % 4];
    bytes[(i / 4) * raw_page_bytes(layout) + step.data[0].offset] = 0x41;
  }
  scan_batch batch;
  batch.pages = 4;
  batch.bytes = bytes.data();
  batch.outcomes = outcomes.data();
  ASSERT_TRUE(report_batch(summary, batch));
  ASSERT_EQ(report_close(summary).message, "");
  EXPECT_EQ(summary.totals.blank, 9);
  std::string said;
  for (const std::string& line : summary_lines(summary, 0))
    said += line + "\n";
  EXPECT_NE(said.find("note: most sectors are uncorrectable"), std::string::npos) << said;
}

}  // namespace
