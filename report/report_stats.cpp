// Gathers the report's statistics batch by batch: every counter is bounded by the layout or by
// the limits in report_stats.h, never by the dump's size.
#include "report/report_stats.h"

#include <algorithm>  // std::max, std::min

void report_stats_open(report_stats& stats, const nand_layout& layout, int t,
                       std::int64_t total_pages, const bad_block_set& bad_blocks) {
  stats = report_stats{};
  stats.layout = &layout;
  stats.t = std::max(t, 1);
  stats.total_pages = std::max<std::int64_t>(total_pages, 0);
  stats.blocks = (stats.total_pages + layout.block_pages - 1) / layout.block_pages;
  stats.blocks_per_bin =
      std::max<std::int64_t>(1, (stats.blocks + kReportMaxBins - 1) / kReportMaxBins);
  stats.bins.assign(
      static_cast<std::size_t>((stats.blocks + stats.blocks_per_bin - 1) / stats.blocks_per_bin),
      block_bin{});
  for (std::size_t i = 0; i < stats.bins.size(); ++i) {
    const auto b0 = static_cast<std::int64_t>(i) * stats.blocks_per_bin;
    stats.bins[i].bad = bad_blocks_within(bad_blocks, b0, b0 + stats.blocks_per_bin - 1);
  }
  page_map_init(stats.map, stats.total_pages, layout.block_pages, stats.t, bad_blocks,
                kReportMapColumns, kReportMapRows, kReportMapCells);
  stats.step_bits.assign(static_cast<std::size_t>(stats.t) + 1, 0);
  std::int64_t message = 0, ecc = 0;
  for (const layout_step& step : layout.steps) {
    message = std::max(message, step_message_bytes(step));
    ecc = std::max(ecc, (step_ecc_bits(step) + 7) / 8);
    stats.data_bytes = std::max(stats.data_bytes, step_data_bytes(step));
  }
  stats.message_positions.assign(static_cast<std::size_t>(8 * message), 0);
  stats.ecc_positions.assign(static_cast<std::size_t>(8 * ecc), 0);
}

void report_stats_batch(report_stats& stats, const scan_batch& batch) {
  const nand_layout& layout = *stats.layout;
  const auto steps = static_cast<std::int64_t>(layout.steps.size());
  const std::int64_t page_bytes = raw_page_bytes(layout);
  for (std::int64_t p = 0; p < batch.pages; ++p) {
    const std::int64_t page = batch.first_page + p;
    if (page < 0 || page >= stats.total_pages)
      continue;
    ++stats.pages;
    const step_outcome* outcomes = batch.outcomes + p * steps;
    page_map_add(stats.map, page, outcomes, steps);
    block_bin& bin =
        stats.bins[static_cast<std::size_t>(page / layout.block_pages / stats.blocks_per_bin)];
    for (std::int64_t k = 0; k < steps; ++k) {
      const step_outcome& o = outcomes[k];
      bin.fell += o.fell;
      bin.rose += o.rose;
      switch (o.status) {
        case bch_status::clean:
          ++stats.step_bits[0];
          break;
        case bch_status::erased:
          ++stats.erased;
          bin.bits += o.bits;
          break;
        case bch_status::corrected:
          bin.bits += o.bits;
          ++stats.step_bits[static_cast<std::size_t>(std::clamp<int>(o.bits, 1, stats.t))];
          break;
        case bch_status::uncorrectable:
          ++stats.uncorrectable;
          ++bin.uncorrectable;
          if (stats.listed.size() < kReportListedSteps) {
            const layout_step& step = layout.steps[static_cast<std::size_t>(k)];
            stats.listed.push_back(uncorrectable_step{page, static_cast<std::int32_t>(k),
                                                      page * page_bytes + step_first_byte(step)});
          }
          break;
      }
      for (int i = 0; i < o.fix_count; ++i) {
        const bch_bit_fix& f = batch.fixes[o.fix_first + static_cast<std::uint32_t>(i)];
        std::vector<std::int64_t>& counts =
            f.in_ecc ? stats.ecc_positions : stats.message_positions;
        const std::size_t at = 8 * static_cast<std::size_t>(f.byte) + (f.bit & 7u);
        if (at < counts.size())
          ++counts[at];
      }
    }
  }
}
