// The generator the search's tests and bench trust, checked with the engine: every programmed
// step of a varied dump decodes clean under its truth, of a worn one is corrected by 1 ... t/2
// bits; a varied dump's bytes outside the codewords vary; extracted_data is the steps' data.
#include "tests/detect/dump_generator.h"

#include <gtest/gtest.h>  // TEST, EXPECT_*, ASSERT_*, SCOPED_TRACE

#include <algorithm>  // std::equal, std::max
#include <cstdint>    // std::int64_t, std::uint8_t
#include <random>     // std::mt19937
#include <string>     // std::string, std::to_string
#include <vector>     // std::vector

#include "codec/codec.h"        // bch_decode, bch_status_name
#include "codec/layout_code.h"  // build_layout_code

namespace {

// "" when every step of every page decodes as expected under the truth: unwritten steps erased
// with no bit fixed, written ones clean (`worn` false) or corrected by 1 ... max(1, t / 2) bits.
std::string decodes_as_made(const detect_test::generated_dump& d, bool worn) {
  bch_code built;
  const status made = build_layout_code(d.truth, built);
  if (!made.ok())
    return made.message;
  const std::int64_t raw = raw_page_bytes(d.truth);
  const int most = std::max(1, d.truth.code.t / 2);
  bch_decode_result r;
  std::int64_t written = 0;
  for (std::int64_t n = 0; n < d.pages; ++n) {
    const std::uint8_t* page = d.bytes.data() + n * raw;
    for (std::size_t k = 0; k < d.truth.steps.size(); ++k) {
      const layout_step& s = d.truth.steps[k];
      std::vector<std::uint8_t> message(static_cast<std::size_t>(step_message_bytes(s)));
      gather_message(page, s, message.data());
      std::vector<std::uint8_t> ecc(page + s.ecc.offset, page + s.ecc.offset + s.ecc.length);
      bch_decode(built, message.data(), message.size(), ecc.data(), r);
      const bool as_made = r.status == bch_status::erased ? r.bits == 0
                           : worn
                               ? r.status == bch_status::corrected && r.bits >= 1 && r.bits <= most
                               : r.status == bch_status::clean;
      if (!as_made)
        return "page " + std::to_string(n) + " step " + std::to_string(k) + " " +
               bch_status_name(r.status) + " " + std::to_string(r.bits) + " bits";
      written += r.status != bch_status::erased;
    }
  }
  return written > 0 ? "" : "no step written";
}

}  // namespace

TEST(DumpGenerator, VariedDumpsDecodeCleanUnderTheirTruth) {
  detect_test::page_knobs clean;
  clean.error_one_in = 1;
  clean.most_flips = 0;
  for (int seed = 1; seed <= 12; ++seed) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    const detect_test::generated_dump d = detect_test::generate_varied_dump(rng, 32, clean);
    SCOPED_TRACE("case seed " + std::to_string(seed) + ": " + d.summary);
    ASSERT_EQ(check_layout(d.truth).message, "");
    EXPECT_EQ(decodes_as_made(d, false), "");
    // Every byte outside the codewords and the two bad-block bytes takes two values other than
    // 0xFF (which erased pages read) on some two pages; the byte after the last ECC among them.
    const std::int64_t raw = raw_page_bytes(d.truth);
    std::vector<bool> inside(static_cast<std::size_t>(raw), false);
    for (const layout_step& s : d.truth.steps) {
      for (std::int64_t i = 0; i < step_message_bytes(s); ++i)
        inside[static_cast<std::size_t>(message_byte_offset(s, i))] = true;
      for (std::int64_t i = 0; i < s.ecc.length; ++i)
        inside[static_cast<std::size_t>(s.ecc.offset + i)] = true;
    }
    if (d.truth.bad_block.present) {
      for (std::int64_t i = 0; i < 2; ++i)
        inside[static_cast<std::size_t>(d.truth.bad_block.marker.offset + i)] = true;
    }
    const layout_span last = d.truth.steps.back().ecc;
    ASSERT_LT(last.offset + last.length, raw);
    EXPECT_FALSE(inside[static_cast<std::size_t>(last.offset + last.length)]);
    for (std::int64_t at = 0; at < raw; ++at) {
      if (inside[static_cast<std::size_t>(at)])
        continue;
      int first = -1;
      bool varies = false;
      for (std::int64_t n = 0; n < d.pages && !varies; ++n) {
        const int v = d.bytes[static_cast<std::size_t>(n * raw + at)];
        if (v != 0xFF && first < 0)
          first = v;
        varies = v != 0xFF && v != first;
      }
      ASSERT_TRUE(varies) << "byte " << at << " of the raw page";
    }
    // Extracted data: each page's steps' data in step order, as gathering the messages reads it.
    const std::vector<std::uint8_t> data = detect_test::extracted_data(d.truth, d.bytes);
    ASSERT_EQ(static_cast<std::int64_t>(data.size()), d.pages * d.truth.page_size);
    std::size_t at = 0;
    for (std::int64_t n = 0; n < d.pages; ++n) {
      for (const layout_step& s : d.truth.steps) {
        std::vector<std::uint8_t> message(static_cast<std::size_t>(step_message_bytes(s)));
        gather_message(d.bytes.data() + n * raw, s, message.data());
        const auto length = static_cast<std::size_t>(step_data_bytes(s));
        ASSERT_TRUE(std::equal(message.begin(), message.begin() + length, data.begin() + at))
            << "page " << n;
        at += length;
      }
    }
  }
}

TEST(DumpGenerator, WornDumpsCarryErrorsInEveryWrittenStep) {
  detect_test::page_knobs worn;
  worn.worn = true;
  for (int seed = 1; seed <= 4; ++seed) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    const detect_test::generated_dump d = seed % 2 == 0
                                              ? detect_test::generate_dump(rng, true, 32, worn)
                                              : detect_test::generate_varied_dump(rng, 32, worn);
    SCOPED_TRACE("case seed " + std::to_string(seed) + ": " + d.summary);
    EXPECT_EQ(decodes_as_made(d, true), "");
  }
}
