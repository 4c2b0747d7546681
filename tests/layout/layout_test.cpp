// Tests of layouts as data: the built-in default against the fixed layout functions of
// page_layout.h, every fault class of check_layout and check_layout_code, and gather, scatter
// and the message offsets against a plain byte-by-byte walk of the spans.
#include "layout/layout.h"

#include <gtest/gtest.h>

#include <algorithm>   // std::equal, std::copy
#include <cstdint>     // std::int32_t, std::int64_t, INT64_MAX
#include <functional>  // std::function
#include <random>      // std::mt19937
#include <string>      // std::string
#include <vector>      // std::vector

#include "layout/page_layout.h"          // extract_sector, place_sector, sectors_per_page
#include "tests/layout/random_layout.h"  // layout_test::random_layout

namespace {

using layout_test::draw;

std::vector<unsigned char> random_bytes(std::mt19937& rng, std::size_t size) {
  std::vector<unsigned char> bytes(size);
  for (unsigned char& b : bytes)
    b = static_cast<unsigned char>(draw(rng, 0, 255));
  return bytes;
}

// The raw-page offsets of a step's message bytes, one by one, data spans then protected spans.
std::vector<std::int64_t> reference_offsets(const layout_step& step) {
  std::vector<std::int64_t> offsets;
  for (const auto& s : step.data)
    for (std::int64_t i = 0; i < s.length; ++i)
      offsets.push_back(s.offset + i);
  for (const auto& s : step.protected_)
    for (std::int64_t i = 0; i < s.length; ++i)
      offsets.push_back(s.offset + i);
  return offsets;
}

TEST(Layout, DefaultLayoutAgreesWithThePageLayoutFunctions) {
  const std::int32_t geometries[][2] = {{512, 23},     {512, 64},    {2048, 64},  {2048, 112},
                                        {4096, 128},   {4096, 224},  {8192, 448}, {8192, 640},
                                        {16384, 1280}, {16384, 2208}};
  std::mt19937 rng(512);
  for (const auto& geo : geometries) {
    SCOPED_TRACE(testing::Message() << "page " << geo[0] << "+" << geo[1]);
    const nand_layout layout = default_layout(geo[0], geo[1], 64);
    ASSERT_EQ(check_layout(layout).message, "");
    EXPECT_EQ(layout.source, kBuiltInLayout);
    EXPECT_EQ(layout.code.m, 13);
    EXPECT_EQ(layout.code.t, 8);
    EXPECT_EQ(layout.code.primitive_polynomial, 0u);
    EXPECT_FALSE(layout.code.lsb_first);
    EXPECT_EQ(layout.code.mask, layout_mask::none);
    EXPECT_FALSE(layout.code.pad_start);
    EXPECT_FALSE(layout.bad_block.present);
    const std::int32_t sectors = sectors_per_page(geo[0]);
    ASSERT_EQ(layout.steps.size(), static_cast<std::size_t>(sectors));
    EXPECT_EQ(raw_page_bytes(layout), geo[0] + geo[1]);
    const std::size_t raw = static_cast<std::size_t>(geo[0] + geo[1]);
    const auto page = random_bytes(rng, raw);
    for (std::int32_t k = 0; k < sectors; ++k) {
      SCOPED_TRACE(testing::Message() << "sector " << k);
      const layout_step& step = layout.steps[static_cast<std::size_t>(k)];
      ASSERT_EQ(step_data_bytes(step), 512);
      ASSERT_EQ(step_protected_bytes(step), 0);
      ASSERT_EQ(step_message_bytes(step), 512);
      ASSERT_EQ(step.ecc.length, 13);
      unsigned char sector[512];
      unsigned char ecc[13];
      extract_sector(page.data(), k, sectors, sector, ecc);
      unsigned char message[512];
      gather_message(page.data(), step, message);
      EXPECT_TRUE(std::equal(sector, sector + 512, message));
      EXPECT_TRUE(std::equal(ecc, ecc + 13, page.begin() + step.ecc.offset));
      std::int64_t at = -1;
      EXPECT_EQ(message_is_contiguous(step, at), k != sectors - 1);
      if (k != sectors - 1) {
        EXPECT_EQ(at, 4 + 525 * k);
      }

      // Scatter a new sector and write its ECC span: the page must equal what place_sector
      // makes of the same page, so nothing else was touched.
      const auto new_sector = random_bytes(rng, 512);
      const auto new_ecc = random_bytes(rng, 13);
      auto ours = page;
      auto theirs = page;
      scatter_message(ours.data(), step, new_sector.data());
      std::copy(new_ecc.begin(), new_ecc.end(), ours.begin() + step.ecc.offset);
      place_sector(theirs.data(), k, sectors, new_sector.data(), new_ecc.data());
      EXPECT_TRUE(ours == theirs);
    }
  }
  // Below one sector the default layout has no step, and check_layout says so.
  EXPECT_EQ(default_layout(511, 64, 64).steps.size(), 0u);
  EXPECT_EQ(check_layout(default_layout(511, 64, 64)).message, "steps: the page has no step");
  // The last chunk does not fit 2048 + 16: its data after the hole ends at 2097.
  EXPECT_EQ(check_layout(default_layout(2048, 16, 64)).message,
            "steps[3].data[1]: [2054, 43] ends at 2097, past the raw page of 2064 bytes");
}

// A valid layout of 1024 + 128 bytes: two steps of two data spans, protected spare bytes and
// ECC in the spare, and a bad-block marker.
nand_layout two_step_layout() {
  nand_layout layout;
  layout.page_size = 1024;
  layout.spare_size = 128;
  layout.block_pages = 64;
  layout.code.m = 13;
  layout.code.t = 4;
  layout_step a;
  a.data = {{0, 256}, {512, 256}};
  a.protected_ = {{1026, 4}};
  a.ecc = {1030, 7};
  layout_step b;
  b.data = {{256, 256}, {768, 256}};
  b.protected_ = {{1037, 2}, {1039, 2}};
  b.ecc = {1041, 7};
  layout.steps = {a, b};
  layout.bad_block.present = true;
  layout.bad_block.marker = {1024, 2};
  layout.bad_block.pages = {0, -1};
  return layout;
}

TEST(Layout, CheckLayoutNamesEachFault) {
  struct fault_case {
    const char* what;
    std::function<void(nand_layout&)> change;
    const char* message;  // the whole message
  };
  const fault_case cases[] = {
      {"page size 0", [](nand_layout& l) { l.page_size = 0; },
       "geometry.page_size: must be 1 ... 4194304, not 0"},
      {"page size too large", [](nand_layout& l) { l.page_size = kMaxPagePart + 1; },
       "geometry.page_size: must be 1 ... 4194304, not 4194305"},
      {"spare size negative", [](nand_layout& l) { l.spare_size = -1; },
       "geometry.spare_size: must be 1 ... 4194304, not -1"},
      {"no pages per block", [](nand_layout& l) { l.block_pages = 0; },
       "geometry.block_pages: must be at least 1, not 0"},
      {"m too small", [](nand_layout& l) { l.code.m = 4; }, "code.m: must be 5 ... 16, not 4"},
      {"m too large", [](nand_layout& l) { l.code.m = 17; }, "code.m: must be 5 ... 16, not 17"},
      {"t 0", [](nand_layout& l) { l.code.t = 0; }, "code.t: must be at least 1, not 0"},
      {"polynomial of another degree", [](nand_layout& l) { l.code.primitive_polynomial = 0x4443; },
       "code.primitive_polynomial: 0x4443 has degree 14, but m is 13"},
      {"byte mask without bytes", [](nand_layout& l) { l.code.mask = layout_mask::bytes; },
       "code.ecc_mask: the mask has no byte"},
      {"bytes without a byte mask",
       [](nand_layout& l) {
         l.code.mask_bytes = {1, 2};
       },
       "code.ecc_mask: mask bytes are given, but the mask is not a byte mask"},
      {"mask of the wrong length",
       [](nand_layout& l) {
         l.code.mask = layout_mask::bytes;
         l.code.mask_bytes = {1, 2, 3, 4, 5, 6, 7};
         l.steps[1].ecc.length = 6;
       },
       "code.ecc_mask: 7 bytes, but steps[1].ecc [1041, 6] holds 6"},
      {"no step", [](nand_layout& l) { l.steps.clear(); }, "steps: the page has no step"},
      {"step without data", [](nand_layout& l) { l.steps[1].data.clear(); },
       "steps[1].data: has no span"},
      {"empty data span", [](nand_layout& l) { l.steps[0].data[1].length = 0; },
       "steps[0].data[1]: [512, 0] has a length below 1"},
      {"negative length", [](nand_layout& l) { l.steps[1].ecc.length = -7; },
       "steps[1].ecc: [1041, -7] has a length below 1"},
      {"offset before the page", [](nand_layout& l) { l.steps[1].protected_[1].offset = -2; },
       "steps[1].protected[1]: [-2, 2] starts before the raw page"},
      {"ECC past the raw page",
       [](nand_layout& l) {
         l.steps[1].ecc = {1150, 7};
       },
       "steps[1].ecc: [1150, 7] ends at 1157, past the raw page of 1152 bytes"},
      {"span far past the raw page",
       [](nand_layout& l) {
         l.steps[0].data[0] = {INT64_MAX, INT64_MAX};
       },
       "steps[0].data[0]: [9223372036854775807, 9223372036854775807] ends at "
       "18446744073709551614, past the raw page of 1152 bytes"},
      {"data over the ECC of an earlier step",
       [](nand_layout& l) {
         l.steps[1].data[1] = {1034, 4};
       },
       "steps[1].data[1]: [1034, 4] overlaps steps[0].ecc [1030, 7]"},
      {"ECC over protected bytes of the same step",
       [](nand_layout& l) { l.steps[1].ecc.offset = 1040; },
       "steps[1].ecc: [1040, 7] overlaps steps[1].protected[1] [1039, 2]"},
      {"one span inside another",
       [](nand_layout& l) {
         l.steps[1].data[0] = {600, 10};
       },
       "steps[1].data[0]: [600, 10] overlaps steps[0].data[1] [512, 256]"},
      {"a span over two others",
       [](nand_layout& l) {
         l.steps[1].data[1] = {500, 300};
       },
       "steps[1].data[1]: [500, 300] overlaps steps[1].data[0] [256, 256]"},
      {"a span twice",
       [](nand_layout& l) {
         l.steps[1].data[1] = {0, 256};
       },
       "steps[1].data[1]: [0, 256] overlaps steps[0].data[0] [0, 256]"},
      {"marker over data",
       [](nand_layout& l) {
         l.bad_block.marker = {1023, 2};
       },
       "bad_block.marker: [1023, 2] overlaps steps[1].data[1] [768, 256]"},
      {"marker past the page",
       [](nand_layout& l) {
         l.bad_block.marker = {1151, 2};
       },
       "bad_block.marker: [1151, 2] ends at 1153, past the raw page of 1152 bytes"},
      {"no marker page", [](nand_layout& l) { l.bad_block.pages.clear(); },
       "bad_block.pages: names no page"},
      {"marker page past the block",
       [](nand_layout& l) {
         l.bad_block.pages = {0, 64};
       },
       "bad_block.pages[1]: 64 is outside the block of 64 pages (0 ... 63, or -64 ... -1 from "
       "the last page)"},
      {"marker page before the block", [](nand_layout& l) { l.bad_block.pages = {-65}; },
       "bad_block.pages[0]: -65 is outside the block of 64 pages (0 ... 63, or -64 ... -1 from "
       "the last page)"},
      {"name of two lines", [](nand_layout& l) { l.name = "two\nlines"; },
       "name: must be one line without control characters"},
  };
  ASSERT_EQ(check_layout(two_step_layout()).message, "");
  for (const fault_case& c : cases) {
    SCOPED_TRACE(c.what);
    nand_layout layout = two_step_layout();
    c.change(layout);
    EXPECT_EQ(check_layout(layout).message, c.message);
  }
}

TEST(Layout, CheckLayoutAcceptsTouchingSpansAndTheLastByte) {
  nand_layout layout = two_step_layout();
  // Spans that touch without a shared byte, a marker on the last byte, negative and positive
  // marker pages at the block's ends, a polynomial of degree m, and a byte mask.
  layout.steps[1].ecc = {1144, 7};
  layout.bad_block.marker = {1151, 1};
  layout.bad_block.pages = {-64, 63, 0};
  layout.code.primitive_polynomial = 0x201B;
  layout.code.mask = layout_mask::bytes;
  layout.code.mask_bytes = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(check_layout(layout).message, "");
  layout.page_size = kMaxPagePart;
  layout.spare_size = 1;
  layout.bad_block.present = false;
  layout.steps[1].ecc = {kMaxPagePart - 6, 7};
  EXPECT_EQ(check_layout(layout).message, "");
}

TEST(Layout, CheckLayoutCodeNamesTheStepThatDoesNotFit) {
  const nand_layout layout = two_step_layout();
  // 52 parity bits need 7 bytes; step 0 holds 512 + 4 bytes, step 1 512 + 4.
  EXPECT_EQ(check_layout_code(layout, 52, 516).message, "");
  EXPECT_EQ(check_layout_code(layout, 56, 516).message, "");
  EXPECT_EQ(check_layout_code(layout, 57, 516).message,
            "steps[0].ecc: [1030, 7] holds 7 bytes, but the code's 57 parity bits need 8");
  EXPECT_EQ(check_layout_code(layout, 52, 515).message,
            "steps[0]: 516 data and protected bytes do not fit the code, which holds at most 515");
  nand_layout longer = layout;
  longer.steps[1].protected_.push_back({1100, 1});
  EXPECT_EQ(check_layout_code(longer, 52, 516).message,
            "steps[1]: 517 data and protected bytes do not fit the code, which holds at most 516");
  // A step in bits holds exactly the parity, and its message in whole bytes.
  nand_layout bits = layout;
  bits.steps[1].bits = true;
  bits.steps[1].data = {{2048, 2048}, {6144, 2048}};
  bits.steps[1].protected_ = {{8296, 36}};
  bits.steps[1].ecc = {8332, 52};
  EXPECT_EQ(check_layout(bits).message, "");
  EXPECT_EQ(check_layout_code(bits, 52, 517).message, "");
  EXPECT_EQ(check_layout_code(bits, 56, 517).message,
            "steps[1].ecc: [8332, 52] holds 52 bits, but the code has 56 parity bits");
  EXPECT_EQ(check_layout_code(bits, 52, 516).message,
            "steps[1]: 4132 data and protected bits do not fit the code, which holds at most 4128");
}

TEST(Layout, GatherAndScatterFollowTheSpansByteByByte) {
  std::mt19937 rng(2718);
  int contiguous = 0;
  int scattered = 0;
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE(testing::Message() << "random layout " << trial);
    const nand_layout layout = layout_test::random_layout(rng);
    ASSERT_EQ(check_layout(layout).message, "");
    const std::size_t raw = static_cast<std::size_t>(raw_page_bytes(layout));
    auto page = random_bytes(rng, raw);
    for (std::size_t k = 0; k < layout.steps.size(); ++k) {
      SCOPED_TRACE(testing::Message() << "step " << k);
      const layout_step& step = layout.steps[k];
      const auto offsets = reference_offsets(step);
      ASSERT_EQ(step_message_bytes(step), static_cast<std::int64_t>(offsets.size()));
      ASSERT_EQ(step_data_bytes(step) + step_protected_bytes(step), step_message_bytes(step));

      std::vector<unsigned char> message(offsets.size());
      gather_message(page.data(), step, message.data());
      for (std::size_t i = 0; i < offsets.size(); ++i) {
        ASSERT_EQ(message[i], page[static_cast<std::size_t>(offsets[i])]) << "byte " << i;
        ASSERT_EQ(message_byte_offset(step, static_cast<std::int64_t>(i)), offsets[i])
            << "byte " << i;
      }
      EXPECT_EQ(message_byte_offset(step, -1), -1);
      EXPECT_EQ(message_byte_offset(step, static_cast<std::int64_t>(offsets.size())), -1);

      bool in_a_row = true;
      for (std::size_t i = 1; i < offsets.size(); ++i)
        in_a_row = in_a_row && offsets[i] == offsets[i - 1] + 1;
      std::int64_t at = -1;
      ASSERT_EQ(message_is_contiguous(step, at), in_a_row);
      if (in_a_row) {
        EXPECT_EQ(at, offsets[0]);
        ++contiguous;
      } else {
        ++scattered;
      }

      const auto fresh = random_bytes(rng, offsets.size());
      auto want = page;
      for (std::size_t i = 0; i < offsets.size(); ++i)
        want[static_cast<std::size_t>(offsets[i])] = fresh[i];
      scatter_message(page.data(), step, fresh.data());
      ASSERT_TRUE(page == want);
    }
  }
  // Both kinds of step must have been met, or the comparison above proved less than it seems.
  EXPECT_GT(contiguous, 50);
  EXPECT_GT(scattered, 50);
}

TEST(Layout, BadBlockMarkerPagesAndBytes) {
  nand_layout layout = two_step_layout();
  layout.bad_block.pages = {0, 1, -1};
  for (std::int32_t p = -1; p <= 64; ++p) {
    const bool want = p == 0 || p == 1 || p == 63;
    EXPECT_EQ(is_marker_page(layout, p), want) << "page " << p;
  }
  std::vector<unsigned char> page(1152, 0xFF);
  EXPECT_FALSE(marks_bad_block(layout, page.data()));
  // Bytes beside the marker do not count; each marker byte does.
  page[1023] = 0x00;
  page[1026] = 0x00;
  EXPECT_FALSE(marks_bad_block(layout, page.data()));
  page[1025] = 0xFE;
  EXPECT_TRUE(marks_bad_block(layout, page.data()));
  page[1025] = 0xFF;
  page[1024] = 0x7F;
  EXPECT_TRUE(marks_bad_block(layout, page.data()));

  layout.bad_block.present = false;
  EXPECT_FALSE(is_marker_page(layout, 0));
}

}  // namespace
