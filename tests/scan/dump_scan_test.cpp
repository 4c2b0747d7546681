// Tests of the streaming pass: the same bytes, outcomes and corrected bits whatever the number
// of threads and whether the dump is mapped or read, for every action; steps gathered from
// several spans against a plain gather-decode-scatter; a dump shorter than announced; the
// consumer one batch at a time and its failure; the input never written; bad blocks found by
// their markers.
#include "scan/dump_scan.h"

#include <gtest/gtest.h>

#include <algorithm>  // std::count
#include <atomic>     // std::atomic
#include <cstdio>     // std::tmpfile, std::fwrite, std::rewind, std::fread
#include <random>     // std::mt19937
#include <string>     // std::string
#include <vector>     // std::vector

#include "codec/layout_code.h"        // layout_code_options, build_layout_code
#include "codec/step_frame.h"         // frame_step, frame_offset, scatter_frame_ecc
#include "layout/bit_spans.h"         // gather_message_bits
#include "files/output_file.h"        // file_ptr
#include "layout/layout.h"            // default_layout, gather_message, scatter_message
#include "tests/support/file_text.h"  // file_text

namespace {

std::string random_bytes(std::size_t bytes, unsigned seed) {
  std::mt19937 gen(seed);
  std::string data(bytes, '\0');
  for (auto& b : data)
    b = static_cast<char>(gen());
  return data;
}

file_ptr temp_file(const std::string& bytes) {
  file_ptr f(std::tmpfile());
  std::fwrite(bytes.data(), 1, bytes.size(), f.get());
  std::fflush(f.get());
  std::rewind(f.get());
  return f;
}

struct pass_result {
  std::string error;
  std::string bytes;
  std::vector<int> statuses;
  std::vector<int> bits;
  std::vector<std::string> fixes;  // per step: its corrected bits, in order
};

pass_result run(std::FILE* in, std::int64_t size, const scan_settings& s) {
  pass_result r;
  const std::int64_t page_bytes = raw_page_bytes(*s.layout);
  const auto steps = static_cast<std::int64_t>(s.layout->steps.size());
  r.error = run_scan(in, size, s, [&](const scan_batch& b) {
              r.bytes.append(reinterpret_cast<const char*>(b.bytes),
                             static_cast<std::size_t>(b.pages * page_bytes));
              for (std::int64_t i = 0; i < b.pages * steps; ++i) {
                const step_outcome& o = b.outcomes[i];
                r.statuses.push_back(static_cast<int>(o.status));
                r.bits.push_back(o.bits);
                std::string f;
                for (int k = 0; k < o.fix_count; ++k) {
                  const bch_bit_fix& x = b.fixes[o.fix_first + static_cast<std::uint32_t>(k)];
                  f += (x.in_ecc ? "e" : "d") + std::to_string(x.byte) + "." +
                       std::to_string(x.bit) + " ";
                }
                r.fixes.push_back(f);
              }
              return status::success();
            }).message;
  return r;
}

// A layout whose steps are scattered: data in two pieces, protected spare bytes, ECC apart;
// the last two steps' data in one piece, so that check decodes their messages where they lie.
nand_layout scattered_layout() {
  nand_layout l;
  l.source = "test";
  l.page_size = 2048;
  l.spare_size = 128;
  l.block_pages = 4;
  l.code.m = 13;
  l.code.t = 8;
  for (int k = 0; k < 4; ++k) {
    layout_step step;
    step.data = {{512 * k + 100, 412}, {512 * k, 100}};
    if (k >= 2)
      step.data = {{512 * k, 512}};
    step.protected_ = {{2048 + 2 + 6 * k, 6}};
    step.ecc = {2048 + 26 + 13 * k, 13};
    l.steps.push_back(step);
  }
  return l;
}

TEST(DumpScan, ThreadsAndMappingChangeNothingForEveryAction) {
  bch_code code;
  ASSERT_EQ(bch_code_init(code, 13, 8).message, "");
  const nand_layout layouts[] = {default_layout(2048, 64, 64), scattered_layout()};
  for (const nand_layout& layout : layouts) {
    ASSERT_EQ(check_layout(layout).message, "");
    const std::int64_t page_bytes = raw_page_bytes(layout);
    const std::int64_t pages = 8 * 1024 * 1024 / page_bytes * 2 + 37;  // four batches
    const std::int64_t size = pages * page_bytes + 77;                 // and a tail
    // Encoded, then 0 to 9 bit errors per step: clean, corrected and uncorrectable steps.
    scan_settings prepare;
    prepare.layout = &layout;
    prepare.code = &code;
    prepare.threads = 2;
    file_ptr raw = temp_file(random_bytes(static_cast<std::size_t>(size), 3));
    prepare.action = scan_action::encode;
    file_ptr encoded = temp_file(run(raw.get(), size, prepare).bytes);
    prepare.action = scan_action::inject;
    prepare.flips_min = 0;
    prepare.flips_max = 9;
    const std::string noisy = run(encoded.get(), pages * page_bytes, prepare).bytes;
    pass_result checked;
    for (scan_action action :
         {scan_action::check, scan_action::fix, scan_action::encode, scan_action::inject}) {
      SCOPED_TRACE(testing::Message() << layout.steps.size() << "-step layout " << layout.source
                                      << ", action " << static_cast<int>(action));
      scan_settings s = prepare;
      s.action = action;
      s.seed = 42;
      std::vector<pass_result> results;
      for (int threads : {1, 2, 5}) {
        for (bool map : {true, false}) {
          s.threads = threads;
          s.map_input = map;
          file_ptr f = temp_file(noisy);
          results.push_back(run(f.get(), pages * page_bytes, s));
          EXPECT_EQ(results.back().error, "") << threads << " threads, mapped " << map;
          EXPECT_EQ(file_text(f.get()), noisy) << "the input changed";
        }
      }
      ASSERT_EQ(results[0].bytes.size(), static_cast<std::size_t>(pages * page_bytes));
      for (std::size_t i = 1; i < results.size(); ++i) {
        EXPECT_TRUE(results[i].bytes == results[0].bytes) << "bytes differ, run " << i;
        EXPECT_EQ(results[i].statuses, results[0].statuses) << "run " << i;
        EXPECT_EQ(results[i].bits, results[0].bits) << "run " << i;
        EXPECT_EQ(results[i].fixes, results[0].fixes) << "run " << i;
      }
      if (action == scan_action::check)
        checked = results[0];
      if (action == scan_action::fix) {
        // check reads the steps where they lie, fix gathers them: the same findings.
        EXPECT_EQ(checked.statuses, results[0].statuses);
        EXPECT_EQ(checked.bits, results[0].bits);
        EXPECT_EQ(checked.fixes, results[0].fixes);
        // The plain route: every step gathered, decoded and, when changed, scattered back.
        std::string want = noisy;
        std::vector<int> statuses;
        std::vector<unsigned char> message;
        bch_decode_result result;
        for (std::int64_t p = 0; p < pages; ++p) {
          auto* page = reinterpret_cast<unsigned char*>(&want[p * page_bytes]);
          for (const layout_step& step : layout.steps) {
            message.resize(static_cast<std::size_t>(step_message_bytes(step)));
            gather_message(page, step, message.data());
            bch_decode(code, message.data(), message.size(), page + step.ecc.offset, result);
            scatter_message(page, step, message.data());
            statuses.push_back(static_cast<int>(result.status));
          }
        }
        EXPECT_TRUE(results[0].bytes == want) << "fix differs from gather, decode, scatter";
        EXPECT_EQ(results[0].statuses, statuses);
        int kinds = 0;
        for (bch_status st : {bch_status::clean, bch_status::corrected, bch_status::uncorrectable})
          kinds += std::count(statuses.begin(), statuses.end(), static_cast<int>(st)) > 0;
        EXPECT_EQ(kinds, 3) << "the dump should hold clean, corrected and uncorrectable steps";
      }
    }
  }
}

// `layout` written in bits: every span eight times as far and as long, the ECC span the parity.
nand_layout in_bits(nand_layout layout, int parity_bits) {
  for (layout_step& step : layout.steps) {
    step.bits = true;
    for (auto* spans : {&step.data, &step.protected_}) {
      for (layout_span& s : *spans)
        s = {8 * s.offset, 8 * s.length};
    }
    step.ecc = {8 * step.ecc.offset, parity_bits};
  }
  return layout;
}

TEST(DumpScan, BitStepsActAsTheByteLayoutTheyRewrite) {
  nand_layout bytes = scattered_layout();
  bytes.code.t = 4;  // 52 parity bits: 4 bits of the last ECC byte unused
  for (int k = 0; k < 4; ++k)
    bytes.steps[static_cast<std::size_t>(k)].ecc = {2074 + 7 * k, 7};
  const std::int64_t page_bytes = raw_page_bytes(bytes);
  const std::int64_t pages = 24;
  for (bool lsb : {false, true}) {
    for (layout_mask mask : {layout_mask::none, layout_mask::erased_ff, layout_mask::bytes}) {
      SCOPED_TRACE(testing::Message()
                   << (lsb ? "lsb" : "msb") << ", mask " << static_cast<int>(mask));
      bytes.code.lsb_first = lsb;
      bytes.code.mask = mask;
      bytes.code.mask_bytes.clear();
      if (mask == layout_mask::bytes)
        bytes.code.mask_bytes = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE};
      const nand_layout bits = in_bits(bytes, 52);
      ASSERT_EQ(check_layout(bits).message, "");
      bch_code code;
      ASSERT_EQ(bch_code_init(code, 13, 4, layout_code_options(bytes.code)).message, "");
      scan_settings s;
      s.layout = &bytes;
      s.code = &code;
      s.action = scan_action::encode;
      file_ptr raw = temp_file(random_bytes(static_cast<std::size_t>(pages * page_bytes), 9));
      std::string clean = run(raw.get(), pages * page_bytes, s).bytes;
      clean.replace(static_cast<std::size_t>(5 * page_bytes), static_cast<std::size_t>(page_bytes),
                    static_cast<std::size_t>(page_bytes), '\xFF');  // an erased page
      s.action = scan_action::inject;
      s.flips_min = 0;
      s.flips_max = 6;  // clean, corrected and uncorrectable steps
      file_ptr in = temp_file(clean);
      const std::string noisy = run(in.get(), pages * page_bytes, s).bytes;
      for (scan_action action : {scan_action::check, scan_action::fix, scan_action::encode}) {
        SCOPED_TRACE(testing::Message() << "action " << static_cast<int>(action));
        s.action = action;
        s.layout = &bytes;
        file_ptr a = temp_file(noisy);
        const pass_result as_bytes = run(a.get(), pages * page_bytes, s);
        s.layout = &bits;
        file_ptr b = temp_file(noisy);
        const pass_result as_bits = run(b.get(), pages * page_bytes, s);
        ASSERT_EQ(as_bits.error, "");
        // The 4 unused bits of each last ECC byte belong to no bit step: encode leaves them
        // as read there, and sets them in the byte layout.
        const auto used = [&](std::string d) {
          for (std::int64_t p = 0; p < pages; ++p)
            for (int k = 0; k < 4; ++k)
              d[static_cast<std::size_t>(p * page_bytes + 2080 + 7 * k)] &= lsb ? 0x0F : 0xF0;
          return d;
        };
        EXPECT_TRUE(used(as_bits.bytes) == used(as_bytes.bytes));
        EXPECT_EQ(as_bits.statuses, as_bytes.statuses);
        EXPECT_EQ(as_bits.bits, as_bytes.bits);
        EXPECT_EQ(as_bits.fixes, as_bytes.fixes);
      }
      // Bits flipped in the bit layout are all its own: fix takes every one back.
      s.layout = &bits;
      s.action = scan_action::inject;
      s.flips_min = 1;
      s.flips_max = 4;
      file_ptr c = temp_file(clean);
      file_ptr flipped = temp_file(run(c.get(), pages * page_bytes, s).bytes);
      s.action = scan_action::fix;
      EXPECT_TRUE(run(flipped.get(), pages * page_bytes, s).bytes == clean);
    }
  }
}

// A bit step's lead bits are ones in the engine's buffer. Parity made with them zero leaves the
// step 4 bits from a codeword there and from none of its own: reported uncorrectable, as read.
TEST(DumpScan, ACorrectionOfLeadBitsIsNoCorrection) {
  nand_layout l;
  l.source = "test";
  l.page_size = 512;
  l.spare_size = 16;
  l.block_pages = 1;
  l.code.t = 4;
  layout_step step;
  step.bits = true;
  step.data = {{0, 4092}};
  step.ecc = {4092, 52};
  l.steps = {step};
  bch_code code;
  ASSERT_EQ(build_layout_code(l, code).message, "");
  const step_frame f = frame_step(l, code, step);
  ASSERT_EQ(f.lead_bits, 4);
  std::string page = random_bytes(528, 4);
  auto* bytes = reinterpret_cast<unsigned char*>(&page[0]);
  std::vector<unsigned char> message(f.message_bytes), ecc(7);
  gather_message_bits(bytes, step, false, message.data());
  message[0] &= 0x0F;
  bch_encode(code, message.data(), message.size(), ecc.data(), frame_offset(f));
  scatter_frame_ecc(f, step, false, bytes, ecc.data());
  scan_settings s;
  s.layout = &l;
  s.code = &code;
  s.action = scan_action::fix;
  file_ptr in = temp_file(page);
  const pass_result r = run(in.get(), 528, s);
  ASSERT_EQ(r.statuses.size(), 1u);
  EXPECT_EQ(r.statuses[0], static_cast<int>(bch_status::uncorrectable));
  EXPECT_TRUE(r.bytes == page);
}

TEST(DumpScan, ADumpShorterThanAnnouncedIsAnErrorNotAWalkOverMissingBytes) {
  bch_code code;
  ASSERT_EQ(bch_code_init(code, 13, 8).message, "");
  const nand_layout layout = default_layout(2048, 64, 64);
  for (bool map : {true, false}) {
    scan_settings s;
    s.layout = &layout;
    s.code = &code;
    s.map_input = map;
    file_ptr f = temp_file(random_bytes(2112 * 3, 5));
    // Announced: 5000 pages; present: 3.
    const pass_result r = run(f.get(), 2112 * 5000, s);
    EXPECT_NE(r.error.find("could not be read whole"), std::string::npos)
        << "mapped " << map << ": " << r.error;
    EXPECT_LE(r.bytes.size(), 2112u * 3);
  }
}

// The consumer runs beside the workers: still one batch at a time, in page order, never while
// the progress callback runs, and its failure stops the pass and is what run_scan returns,
// before a short read that comes later.
TEST(DumpScan, TheConsumerTakesBatchesOneAtATimeAndItsFailureStopsThePass) {
  bch_code code;
  ASSERT_EQ(bch_code_init(code, 13, 8).message, "");
  const nand_layout layout = default_layout(2048, 64, 64);
  const std::int64_t page_bytes = raw_page_bytes(layout);
  const std::int64_t pages = 20 * 1024 * 1024 / page_bytes;  // several batches
  const std::string bytes = random_bytes(static_cast<std::size_t>(pages * page_bytes), 9);
  for (bool map : {true, false}) {
    for (int fail_at : {-1, 0, 2}) {
      for (bool short_dump : {false, true}) {
        SCOPED_TRACE(testing::Message() << "mapped " << map << ", failing at batch " << fail_at
                                        << (short_dump ? ", dump shorter than announced" : ""));
        scan_settings s;
        s.layout = &layout;
        s.code = &code;
        s.threads = 2;
        s.map_input = map;
        file_ptr f = temp_file(bytes);
        std::atomic<int> inside{0};
        bool overlapped = false;
        int batches = 0;
        std::int64_t next_page = 0;
        std::int64_t last_progress = 0;
        const status r = run_scan(
            f.get(), short_dump ? 2 * pages * page_bytes : pages * page_bytes, s,
            [&](const scan_batch& b) {
              overlapped = overlapped || inside.fetch_add(1) != 0;
              EXPECT_EQ(b.first_page, next_page) << "batch " << batches;
              next_page = b.first_page + b.pages;
              const int k = batches++;
              inside.fetch_sub(1);
              return k == fail_at ? status::error("consumer failed at batch " + std::to_string(k))
                                  : status::success();
            },
            [&](std::int64_t done) {
              overlapped = overlapped || inside.load() != 0;
              EXPECT_GE(done, last_progress);
              last_progress = done;
            });
        EXPECT_FALSE(overlapped) << "consumer calls overlapped each other or the progress";
        if (fail_at >= 0) {
          EXPECT_EQ(r.message, "consumer failed at batch " + std::to_string(fail_at));
          EXPECT_EQ(batches, fail_at + 1) << "the consumer was called after it failed";
        } else if (short_dump) {
          // The batch that runs past the end is not read whole, and goes to no one.
          EXPECT_NE(r.message.find("could not be read whole"), std::string::npos) << r.message;
          EXPECT_LE(next_page, pages);
        } else {
          EXPECT_EQ(r.message, "");
          EXPECT_EQ(next_page, pages);
          EXPECT_EQ(last_progress, pages * page_bytes);
        }
      }
    }
  }
}

TEST(DumpScan, BadBlocksAreFoundByTheirMarkers) {
  nand_layout layout = default_layout(2048, 64, 4);
  layout.bad_block.present = true;
  layout.bad_block.marker = {2048, 2};
  layout.bad_block.pages = {0, -1};
  ASSERT_EQ(check_layout(layout).message, "");
  // Ten blocks of four pages and half a block more, all 0xFF but the marks: block 2 on its
  // first page, block 5 on its last, block 7 on a page that carries no marker, block 10 (the
  // partial one) on its first page.
  std::string dump(static_cast<std::size_t>(42 * 2112), '\xFF');
  auto mark = [&](int page, int byte) { dump[static_cast<std::size_t>(page * 2112 + byte)] = 0; };
  mark(2 * 4, 2048);
  mark(5 * 4 + 3, 2049);
  mark(7 * 4 + 1, 2048);
  mark(10 * 4, 2048);
  file_ptr f = temp_file(dump);
  bad_block_set bad;
  EXPECT_EQ(find_bad_blocks(f.get(), static_cast<std::int64_t>(dump.size()), layout, bad).message,
            "");
  std::vector<std::int64_t> marked;
  for (std::int64_t b = next_bad_block(bad, 0); b >= 0; b = next_bad_block(bad, b + 1))
    marked.push_back(b);
  EXPECT_EQ(marked, (std::vector<std::int64_t>{2, 5, 10}));
  EXPECT_EQ(bad.blocks, 11);
  EXPECT_EQ(bad.count, 3);
  layout.bad_block.present = false;
  EXPECT_EQ(find_bad_blocks(f.get(), static_cast<std::int64_t>(dump.size()), layout, bad).message,
            "");
  EXPECT_EQ(bad.count, 0);
}

// Under a scrambler the marker is weighed as the page was before scrambling: programmed pages
// whose marker was 0xFF are good whatever the key made of it, an erased page is not
// unscrambled, and a mark the key hid is found.
TEST(DumpScan, BadBlockMarkersAreReadUnscrambled) {
  nand_layout layout = default_layout(2048, 64, 4);
  layout.bad_block.present = true;
  layout.bad_block.marker = {2048, 2};
  layout.bad_block.pages = {0};
  layout.scrambler.present = true;
  layout.scrambler.key.assign(2 * 2112, 0x5A);
  ASSERT_EQ(check_layout(layout).message, "");
  // Block 0 programmed, marker 0xFF; block 1 erased; block 2 programmed and marked.
  std::string dump(static_cast<std::size_t>(12 * 2112), '\xFF');
  for (int page : {0, 1, 2, 3, 8, 9, 10, 11}) {
    for (int i = 0; i < 2112; ++i) {
      const bool mark = page == 8 && i == 2048;
      const unsigned char plain = i >= 2048 && i < 2050 && !mark ? 0xFF : 0x00;
      dump[static_cast<std::size_t>(page * 2112 + i)] = static_cast<char>(plain ^ 0x5A);
    }
  }
  file_ptr f = temp_file(dump);
  bad_block_set bad;
  EXPECT_EQ(find_bad_blocks(f.get(), static_cast<std::int64_t>(dump.size()), layout, bad).message,
            "");
  EXPECT_EQ(bad.count, 1);
  EXPECT_EQ(next_bad_block(bad, 0), 2);
}

}  // namespace
