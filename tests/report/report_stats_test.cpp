// Tests of the report's statistics: a dump generated here with bit errors placed by the test
// (a worn block, a stuck bit position, an uncorrectable step, a flip in the ECC) is checked by
// the streaming pass; every count must equal the test's own tally of what it placed, and the
// totals must agree with those of the summary report fed the same batches. Then a large
// synthetic page count: every tally bounded and nothing lost to the aggregation.
#include "report/report_stats.h"

#include <gtest/gtest.h>

#include <cstdio>  // std::tmpfile, std::fwrite, std::rewind
#include <map>     // std::map
#include <random>  // std::mt19937
#include <set>     // std::set
#include <string>  // std::string
#include <tuple>   // std::tuple
#include <vector>  // std::vector

#include "codec/codec.h"         // bch_code, bch_code_init, bch_encode
#include "scan/dump_scan.h"      // run_scan
#include "files/output_file.h"   // file_ptr
#include "report/scan_report.h"  // scan_report, report_open, report_batch
#include "layout/layout.h"       // default_layout, gather_message, message_byte_offset

namespace {

constexpr std::int64_t kBlockPages = 4;
constexpr std::int64_t kPages = 24;  // 6 blocks

struct placed_flip {
  std::int64_t page;
  int step;
  bool in_ecc;
  std::int64_t byte;  // within the message or the ECC bytes
  int bit;            // 0 = least significant
};

// What the test expects, tallied from its own placements.
struct tally {
  std::map<std::int64_t, std::int64_t> block_bits, block_unc, block_fell, block_rose;
  std::vector<std::int64_t> step_bits = std::vector<std::int64_t>(9, 0);
  std::int64_t uncorrectable = 0;
  std::map<std::tuple<bool, std::int64_t, int>, std::int64_t> positions;
};

class generated_dump {
 public:
  generated_dump() : layout_(default_layout(2048, 64, kBlockPages)) {
    EXPECT_EQ(bch_code_init(code_, 13, 8).message, "");
    std::mt19937 gen(7);
    const std::int64_t page_bytes = raw_page_bytes(layout_);
    bytes_.resize(static_cast<std::size_t>(kPages * page_bytes));
    for (auto& b : bytes_)
      b = static_cast<unsigned char>(gen());
    for (std::int64_t p = 0; p < kPages; ++p) {
      unsigned char* page = bytes_.data() + p * page_bytes;
      for (const layout_step& step : layout_.steps) {
        std::vector<unsigned char> message(static_cast<std::size_t>(step_message_bytes(step)));
        gather_message(page, step, message.data());
        bch_encode(code_, message.data(), message.size(), page + step.ecc.offset);
      }
    }
  }

  // Flips the bit and returns whether it had been 1 (so that it now reads 0: a 1->0 flip).
  bool flip(const placed_flip& f) {
    const layout_step& step = layout_.steps[static_cast<std::size_t>(f.step)];
    const std::int64_t offset =
        f.in_ecc ? step.ecc.offset + f.byte : message_byte_offset(step, f.byte);
    unsigned char& b = bytes_[static_cast<std::size_t>(f.page * raw_page_bytes(layout_) + offset)];
    const bool was_one = (b >> f.bit) & 1;
    b = static_cast<unsigned char>(b ^ (1u << f.bit));
    return was_one;
  }

  const nand_layout& layout() const { return layout_; }
  const bch_code& code() const { return code_; }
  const std::vector<unsigned char>& bytes() const { return bytes_; }

 private:
  nand_layout layout_;
  bch_code code_;
  std::vector<unsigned char> bytes_;
};

TEST(ReportStats, EveryPlacedErrorCountedWhereItWasPlaced) {
  generated_dump dump;
  std::vector<placed_flip> flips;
  // Block 1 worn: every step of its pages gets 3 to 6 flips at scattered positions.
  std::mt19937 gen(11);
  for (std::int64_t page = 4; page < 8; ++page) {
    for (int step = 0; step < 4; ++step) {
      const int n = 3 + static_cast<int>((page + step) % 4);
      std::set<std::pair<std::int64_t, int>> used;
      while (static_cast<int>(used.size()) < n) {
        const std::int64_t byte = static_cast<std::int64_t>(gen() % 500);
        const int bit = static_cast<int>(gen() % 8);
        if (byte == 100 && bit == 3)
          continue;  // kept for the stuck position below
        if (used.insert({byte, bit}).second)
          flips.push_back({page, step, false, byte, bit});
      }
    }
  }
  // A stuck position: message byte 100, bit 3 of every step of block 4.
  for (std::int64_t page = 16; page < 20; ++page)
    for (int step = 0; step < 4; ++step)
      flips.push_back({page, step, false, 100, 3});
  // One flip in the ECC bytes, one in the last data byte of the last step.
  flips.push_back({1, 2, true, 5, 1});
  flips.push_back({2, 3, false, 511, 6});
  // Block 3, page 13, step 1: twelve flips, beyond t = 8.
  std::vector<placed_flip> beyond;
  for (int i = 0; i < 12; ++i)
    beyond.push_back({13, 1, false, 20 * i + 7, i % 8});

  tally want;
  std::map<std::pair<std::int64_t, int>, int> per_step;
  for (const placed_flip& f : flips) {
    const bool fell = dump.flip(f);
    const std::int64_t block = f.page / kBlockPages;
    ++want.block_bits[block];
    ++(fell ? want.block_fell : want.block_rose)[block];
    ++want.positions[{f.in_ecc, f.byte, f.bit}];
    ++per_step[{f.page, f.step}];
  }
  for (const placed_flip& f : beyond)
    dump.flip(f);
  ++want.block_unc[13 / kBlockPages];
  want.uncorrectable = 1;
  std::int64_t flipped_steps = 0;
  for (const auto& [where, n] : per_step) {
    ++want.step_bits[static_cast<std::size_t>(n)];
    ++flipped_steps;
  }
  want.step_bits[0] = kPages * 4 - flipped_steps - 1;

  file_ptr in(std::tmpfile());
  ASSERT_TRUE(in);
  std::fwrite(dump.bytes().data(), 1, dump.bytes().size(), in.get());
  std::fflush(in.get());
  std::rewind(in.get());
  scan_settings s;
  s.layout = &dump.layout();
  s.code = &dump.code();
  s.action = scan_action::check;
  s.threads = 2;
  const bad_block_set none;
  report_stats stats;
  report_stats_open(stats, dump.layout(), 8, kPages, none);
  scan_report summary;
  report_open(summary, s, kPages, none, "d.bin", nullptr, nullptr);
  const status scanned = run_scan(
      in.get(), static_cast<std::int64_t>(dump.bytes().size()), s, [&](const scan_batch& batch) {
        report_stats_batch(stats, batch);
        return report_batch(summary, batch) ? status::success() : status::error("csv");
      });
  ASSERT_EQ(scanned.message, "");
  ASSERT_EQ(report_close(summary).message, "");

  ASSERT_EQ(stats.blocks_per_bin, 1);
  ASSERT_EQ(stats.bins.size(), 6u);
  for (std::int64_t b = 0; b < 6; ++b) {
    SCOPED_TRACE("block " + std::to_string(b));
    const block_bin& bin = stats.bins[static_cast<std::size_t>(b)];
    EXPECT_EQ(bin.bits, want.block_bits[b]);
    EXPECT_EQ(bin.uncorrectable, want.block_unc[b]);
    EXPECT_EQ(bin.fell, want.block_fell[b]);
    EXPECT_EQ(bin.rose, want.block_rose[b]);
  }
  for (std::size_t k = 0; k < stats.step_bits.size(); ++k)
    EXPECT_EQ(stats.step_bits[k], want.step_bits[k]) << "steps with " << k << " bits corrected";
  EXPECT_EQ(stats.uncorrectable, 1);
  EXPECT_EQ(stats.erased, 0);

  // Positions: every placed one found, nothing else counted.
  std::int64_t counted_positions = 0;
  for (bool ecc : {false, true}) {
    const std::vector<std::int64_t>& counts = ecc ? stats.ecc_positions : stats.message_positions;
    for (std::size_t i = 0; i < counts.size(); ++i) {
      const auto key =
          std::make_tuple(ecc, static_cast<std::int64_t>(i / 8), static_cast<int>(i % 8));
      const auto it = want.positions.find(key);
      EXPECT_EQ(counts[i], it == want.positions.end() ? 0 : it->second)
          << (ecc ? "ECC" : "message") << " byte " << i / 8 << " bit " << i % 8;
      counted_positions += counts[i];
    }
  }
  EXPECT_EQ(counted_positions, static_cast<std::int64_t>(flips.size()));
  EXPECT_EQ(stats.message_positions[8 * 100 + 3], 16) << "the stuck position's spike";
  EXPECT_EQ(stats.data_bytes, 512);

  // The uncorrectable step listed where it lies: page 13, step 1, its first data byte.
  ASSERT_EQ(stats.listed.size(), 1u);
  EXPECT_EQ(stats.listed[0].page, 13);
  EXPECT_EQ(stats.listed[0].step, 1);
  EXPECT_EQ(stats.listed[0].offset,
            13 * raw_page_bytes(dump.layout()) + dump.layout().steps[1].data.front().offset);

  // The summary's totals, tallied by the other route, agree.
  std::int64_t fell = 0, rose = 0, bits = 0;
  for (const block_bin& b : stats.bins) {
    fell += b.fell;
    rose += b.rose;
    bits += b.bits;
  }
  EXPECT_EQ(fell, summary.totals.fell);
  EXPECT_EQ(rose, summary.totals.rose);
  EXPECT_EQ(bits, summary.totals.corrected_bits + summary.totals.erased_bits);
  EXPECT_EQ(stats.uncorrectable, summary.totals.uncorrectable);

  // The map: the worn block's worst cell and the uncorrectable page.
  ASSERT_EQ(stats.map.blocks_per_row, 1);
  ASSERT_EQ(stats.map.pages_per_column, 1);
  const std::string cell = map_cell_text(stats.map, 3, 1);
  EXPECT_EQ(cell.rfind("page 13 (block 3, page 1): uncorrectable", 0), 0u) << cell;
  EXPECT_NE(cell.find("worst: step 1 (uncorrectable)"), std::string::npos) << cell;
}

// Synthetic batches for a dump larger than any map or chart has room for: 2^20 pages of 64
// per block, every step with 1 or 2 corrected bits, one uncorrectable step far inside.
TEST(ReportStats, LargeDumpAggregatedWithoutLoss) {
  const nand_layout layout = default_layout(2048, 64, 64);
  constexpr std::int64_t kBig = 1 << 20;
  constexpr std::int64_t kBroken = 777777;
  bad_block_set marked(kBig / 64);
  mark_bad_block(marked, 5000);
  mark_bad_block(marked, 5001);
  report_stats stats;
  report_stats_open(stats, layout, 8, kBig, marked);
  constexpr std::int64_t kBatch = 4096;
  std::vector<step_outcome> outcomes(static_cast<std::size_t>(kBatch * 4));
  std::int64_t want_bits = 0;
  for (std::int64_t first = 0; first < kBig; first += kBatch) {
    for (std::int64_t i = 0; i < kBatch * 4; ++i) {
      step_outcome& o = outcomes[static_cast<std::size_t>(i)];
      const std::int64_t page = first + i / 4;
      o = step_outcome{};
      if (page == kBroken && i % 4 == 2) {
        o.status = bch_status::uncorrectable;
        continue;
      }
      o.status = bch_status::corrected;
      o.bits = static_cast<std::uint16_t>(1 + (page + i) % 2);
      o.fell = o.bits;
      want_bits += o.bits;
    }
    scan_batch b;
    b.first_page = first;
    b.pages = kBatch;
    b.outcomes = outcomes.data();
    report_stats_batch(stats, b);
  }
  EXPECT_EQ(stats.pages, kBig);
  EXPECT_LE(static_cast<std::int64_t>(stats.bins.size()), kReportMaxBins);
  EXPECT_LE(stats.map.rows * stats.map.columns, kReportMapCells);
  EXPECT_GT(stats.map.blocks_per_row, 1) << "16384 blocks must share rows";
  std::int64_t bits = 0, unc = 0, bad = 0;
  for (const block_bin& b : stats.bins) {
    bits += b.bits;
    unc += b.uncorrectable;
    bad += b.bad;
  }
  EXPECT_EQ(bits, want_bits);
  EXPECT_EQ(unc, 1);
  EXPECT_EQ(bad, 2);
  // The broken page's cell names it as its worst page.
  const std::int64_t row = kBroken / 64 / stats.map.blocks_per_row;
  const std::int64_t column = kBroken % 64 / stats.map.pages_per_column;
  const std::string text = map_cell_text(stats.map, row, column);
  EXPECT_NE(text.find("uncorrectable"), std::string::npos) << text;
  EXPECT_NE(text.find("worst: page 777777 step 2 (uncorrectable)"), std::string::npos) << text;
  std::int64_t map_pages = 0;
  for (const map_cell& c : stats.map.cells)
    map_pages += c.pages;
  EXPECT_EQ(map_pages, kBig) << "every page in exactly one cell";
}

}  // namespace
