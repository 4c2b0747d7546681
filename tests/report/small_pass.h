// Test support of the report's tests: a small pass over a dump made of hand-built outcomes, its
// summary and its statistics, for the page and the map to be drawn from.
#pragma once

#include <gtest/gtest.h>  // EXPECT_EQ

#include <cstdint>  // std::uint32_t
#include <vector>   // std::vector

#include "report/report_stats.h"  // report_stats, report_stats_open, report_stats_batch
#include "report/scan_report.h"   // scan_report, report_open, report_batch, report_close

// A small pass made of hand-built outcomes: 3 blocks of 4 pages, one corrected bit in every
// third step of pages 0-5, page 5 with an uncorrectable step, pages 6-11 clean, block 2 marked
// bad.
struct small_pass {
  nand_layout layout = default_layout(2048, 64, 4);
  bch_code code;
  bad_block_set bad{3};  // before the summary, which reads it
  scan_report summary;
  report_stats stats;

  small_pass() {
    code.t = 8;
    code.m = 13;
    layout.bad_block.present = true;
    layout.bad_block.marker = {2048, 2};
    layout.bad_block.pages = {0};
    scan_settings s;
    s.layout = &layout;
    s.code = &code;
    mark_bad_block(bad, 2);
    report_open(summary, s, 12, bad, "d.bin", nullptr, nullptr);
    report_stats_open(stats, layout, 8, 12, bad);
    std::vector<step_outcome> outcomes(48);
    std::vector<bch_bit_fix> fixes;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
      if (i == 5 * 4 + 1) {
        outcomes[i].status = bch_status::uncorrectable;
      } else if (i % 3 == 0 && i < 24) {
        outcomes[i].status = bch_status::corrected;
        outcomes[i].bits = 1;
        outcomes[i].rose = 1;
        outcomes[i].fix_count = 1;
        outcomes[i].fix_first = static_cast<std::uint32_t>(fixes.size());
        fixes.push_back(bch_bit_fix{false, static_cast<std::uint32_t>(i), 2, false});
      }
    }
    scan_batch b;
    b.pages = 12;
    b.outcomes = outcomes.data();
    b.fixes = fixes.data();
    report_stats_batch(stats, b);
    report_batch(summary, b);
    EXPECT_EQ(report_close(summary).message, "");
  }
};
