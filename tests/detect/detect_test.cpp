// Tests of the layout and code search on generated dumps: every drawn parameter comes back, or
// at least every step decodes as under the truth; dumps without ECC give nothing; bad input
// gives a message, never a guess.
#include "detect/detect.h"

#include <gtest/gtest.h>  // TEST, EXPECT_*, ASSERT_*, SCOPED_TRACE

#include <algorithm>  // std::all_of, std::count, std::copy, std::fill_n, std::find, std::max,
                      // std::shuffle
#include <cstdint>    // std::int64_t, std::uint8_t
#include <cstring>    // std::memcpy, std::memset
#include <random>     // std::mt19937
#include <string>     // std::string
#include <vector>     // std::vector

#include "bch/bch.h"                      // bch_primitive_polynomial
#include "codec/codec.h"                  // bch_code_init, bch_decode, bch_parity_bit
#include "codec/layout_code.h"            // build_code, build_layout_code
#include "codec/step_frame.h"             // frame_step, frame_offset, scatter_frame_ecc
#include "detect/evidence.h"              // kEvidenceBar
#include "layout/bit_spans.h"             // get_bit, set_bit, gather_message_bits
#include "tests/detect/dump_generator.h"  // generate_dump, fill_pages, phone_layout

namespace {

detect_reader memory_reader(const std::vector<std::uint8_t>& bytes) {
  return [&bytes](std::int64_t offset, unsigned char* out, std::size_t count) {
    if (offset < 0 ||
        offset + static_cast<std::int64_t>(count) > static_cast<std::int64_t>(bytes.size()))
      return false;
    std::memcpy(out, bytes.data() + offset, count);
    return true;
  };
}

std::string span_text(const layout_span& s) {
  return "[" + std::to_string(s.offset) + ", " + std::to_string(s.length) + "]";
}

std::string spans_text(const std::vector<layout_span>& spans) {
  std::string out;
  for (const layout_span& s : spans)
    out += span_text(s);
  return out;
}

std::uint32_t effective_polynomial(const layout_code& code) {
  return code.primitive_polynomial != 0
             ? code.primitive_polynomial
             : static_cast<std::uint32_t>(bch_primitive_polynomial(code.m));
}

// "" when the found layout names every parameter of the truth (the padding only where the
// parity leaves bits unused, the mask only on the parity's bits); else the first difference.
std::string compare(const nand_layout& found, const nand_layout& truth, int parity_bits) {
  if (found.steps.size() != truth.steps.size())
    return "steps " + std::to_string(found.steps.size()) + " instead of " +
           std::to_string(truth.steps.size());
  for (std::size_t k = 0; k < truth.steps.size(); ++k) {
    const layout_step& a = found.steps[k];
    const layout_step& b = truth.steps[k];
    const std::string f =
        spans_text(a.data) + "/" + spans_text(a.protected_) + "/" + span_text(a.ecc);
    const std::string t =
        spans_text(b.data) + "/" + spans_text(b.protected_) + "/" + span_text(b.ecc);
    if (f != t)
      return "step " + std::to_string(k) + " " + f + " instead of " + t;
  }
  const layout_code& a = found.code;
  const layout_code& b = truth.code;
  if (a.m != b.m || a.t != b.t)
    return "m " + std::to_string(a.m) + " t " + std::to_string(a.t) + " instead of m " +
           std::to_string(b.m) + " t " + std::to_string(b.t);
  if (effective_polynomial(a) != effective_polynomial(b))
    return "primitive polynomial " + std::to_string(effective_polynomial(a)) + " instead of " +
           std::to_string(effective_polynomial(b));
  if (a.lsb_first != b.lsb_first)
    return "bit order";
  if (parity_bits % 8 != 0 && a.pad_start != b.pad_start)
    return "padding";
  if (a.mask != b.mask)
    return "mask " + std::to_string(static_cast<int>(a.mask)) + " instead of " +
           std::to_string(static_cast<int>(b.mask));
  if (a.mask == layout_mask::bytes) {
    bch_code code;
    if (!build_code(b, code).ok())
      return "truth builds no code";
    for (int i = 0; i < code.parity_bits; ++i) {
      const bch_bit_fix bit = bch_parity_bit(code, i);
      if (((a.mask_bytes[bit.byte] ^ b.mask_bytes[bit.byte]) >> bit.bit) & 1)
        return "mask byte " + std::to_string(bit.byte);
    }
  }
  return "";
}

// "" when every step of every page decodes alike under both layouts: same verdict, same bits.
std::string decode_alike(const std::vector<std::uint8_t>& dump, std::int64_t pages,
                         const nand_layout& found, const nand_layout& truth) {
  bch_code a, b;
  if (!build_code(found.code, a).ok() || !build_code(truth.code, b).ok())
    return "a code does not build";
  if (found.steps.size() != truth.steps.size())
    return "step counts differ";
  const std::int64_t raw = raw_page_bytes(truth);
  bch_decode_result ra, rb;
  for (std::int64_t n = 0; n < pages; ++n) {
    const std::uint8_t* page = dump.data() + n * raw;
    for (std::size_t k = 0; k < truth.steps.size(); ++k) {
      const layout_step& sa = found.steps[k];
      const layout_step& sb = truth.steps[k];
      std::vector<std::uint8_t> ma(static_cast<std::size_t>(step_message_bytes(sa)));
      std::vector<std::uint8_t> mb(static_cast<std::size_t>(step_message_bytes(sb)));
      gather_message(page, sa, ma.data());
      gather_message(page, sb, mb.data());
      std::vector<std::uint8_t> ea(page + sa.ecc.offset, page + sa.ecc.offset + sa.ecc.length);
      std::vector<std::uint8_t> eb(page + sb.ecc.offset, page + sb.ecc.offset + sb.ecc.length);
      bch_decode(a, ma.data(), ma.size(), ea.data(), ra);
      bch_decode(b, mb.data(), mb.size(), eb.data(), rb);
      if (ra.status != rb.status || ma != mb)
        return "page " + std::to_string(n) + " step " + std::to_string(k);
    }
  }
  return "";
}

// A router's layout that counts bits: four steps of 512 data bytes, each step's 16 spare bytes
// holding 9 protected bytes, 4 more protected bits (zero when written) and 52 parity bits; m =
// 13, t = 4, the tabled polynomial. No byte step ends its parity where these do.
nand_layout bit_router_layout(bool lsb_first, layout_mask mask) {
  nand_layout layout;
  layout.name = "router";
  layout.source = "generated";
  layout.page_size = 2048;
  layout.spare_size = 64;
  layout.block_pages = 64;
  layout.code.m = 13;
  layout.code.t = 4;
  layout.code.lsb_first = lsb_first;
  layout.code.mask = mask;
  for (std::int64_t k = 0; k < 4; ++k) {
    layout_step s;
    s.bits = true;
    s.data = {{4096 * k, 4096}};
    s.protected_ = {{16384 + 128 * k, 76}};
    s.ecc = {16460 + 128 * k, 52};
    layout.steps.push_back(s);
  }
  return layout;
}

}  // namespace

TEST(Detect, RecoversDrawnLayoutsAndCodes) {
  for (int seed = 1; seed <= 8; ++seed) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    const detect_test::generated_dump d = detect_test::generate_dump(rng);
    SCOPED_TRACE("case seed " + std::to_string(seed) + ": " + d.summary);
    detect_geometry geometry{d.truth.page_size, d.truth.spare_size, d.truth.block_pages};
    const detect_result r =
        detect_layout(memory_reader(d.bytes), static_cast<std::int64_t>(d.bytes.size()), geometry);
    ASSERT_TRUE(r.error.ok()) << r.error.message;
    ASSERT_TRUE(r.found) << (r.ruled_out.empty() ? "" : r.ruled_out.front());
    EXPECT_EQ(check_layout(r.layout).message, "");
    EXPECT_EQ(r.parity_bits, d.parity_bits);
    EXPECT_LE(r.evidence.log10_odds, kEvidenceBar);
    EXPECT_EQ(compare(r.layout, d.truth, d.parity_bits), "");
    EXPECT_EQ(decode_alike(d.bytes, d.pages, r.layout, d.truth), "");
    if (d.truth.bad_block.present) {
      EXPECT_TRUE(r.layout.bad_block.present);
      EXPECT_EQ(r.layout.bad_block.marker.offset, d.truth.bad_block.marker.offset);
    }
  }
}

// A worn chip: every written step carries 1 ... t/2 bit errors, so no two words share the
// generator. Seeds 9 and 1 draw a byte mask, which must then be read from XORs of step pairs;
// under seed 1 the first reading of it held one step's own bit error.
TEST(Detect, FindsTheCodeWhenEveryStepCarriesBitErrors) {
  for (int seed : {9, 1}) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    detect_test::page_knobs worn;
    worn.worn = true;
    const detect_test::generated_dump d = detect_test::generate_dump(rng, true, 128, worn);
    SCOPED_TRACE("case worn seed " + std::to_string(seed) + ": " + d.summary);
    const detect_result r =
        detect_layout(memory_reader(d.bytes), static_cast<std::int64_t>(d.bytes.size()),
                      {d.truth.page_size, d.truth.spare_size, 64});
    ASSERT_TRUE(r.found) << (r.ruled_out.empty() ? "" : r.ruled_out.front());
    EXPECT_EQ(r.evidence.clean, 0);
    EXPECT_EQ(compare(r.layout, d.truth, d.parity_bits), "");
    EXPECT_TRUE(detect_test::extracted_data(r.layout, d.bytes) ==
                detect_test::extracted_data(d.truth, d.bytes));
  }
}

// The second generator's seed 9: steps at the end of the spare with holes between their ECCs
// and varying bytes after them. A word one byte longer is the codeword shifted by its 7 pad bits
// plus one bit, a mask away from a codeword: it was found so, the ECC a byte late.
TEST(Detect, EndsTheWordWhereItsEccEnds) {
  std::mt19937 rng(9);
  const detect_test::generated_dump d = detect_test::generate_varied_dump(rng, 128, {});
  SCOPED_TRACE("case varied seed 9: " + d.summary);
  const detect_result r =
      detect_layout(memory_reader(d.bytes), static_cast<std::int64_t>(d.bytes.size()),
                    {d.truth.page_size, d.truth.spare_size, 64});
  ASSERT_TRUE(r.found) << (r.ruled_out.empty() ? "" : r.ruled_out.front());
  EXPECT_EQ(r.layout.code.mask, d.truth.code.mask);
  ASSERT_EQ(r.layout.steps.size(), d.truth.steps.size());
  for (std::size_t k = 0; k < d.truth.steps.size(); ++k)
    EXPECT_EQ(span_text(r.layout.steps[k].ecc), span_text(d.truth.steps[k].ecc)) << "step " << k;
  EXPECT_TRUE(detect_test::extracted_data(r.layout, d.bytes) ==
              detect_test::extracted_data(d.truth, d.bytes));
}

// The second generator's seed 177: every step's tags first in the spare, then every ECC, the
// data two bytes past its place and a polynomial of the controller's own. No candidate word
// holds such a step; pages of like data give the code from the spare bytes alone.
TEST(Detect, FindsTagsApartFromTheirEccAndDataPastItsPlace) {
  std::mt19937 rng(177);
  const detect_test::generated_dump d = detect_test::generate_varied_dump(rng, 64, {});
  SCOPED_TRACE("case varied seed 177: " + d.summary);
  const detect_result r =
      detect_layout(memory_reader(d.bytes), static_cast<std::int64_t>(d.bytes.size()),
                    {d.truth.page_size, d.truth.spare_size, 64});
  ASSERT_TRUE(r.found) << (r.ruled_out.empty() ? "" : r.ruled_out.front());
  EXPECT_EQ(r.layout.code.primitive_polynomial, d.truth.code.primitive_polynomial);
  EXPECT_EQ(r.layout.code.t, d.truth.code.t);
  ASSERT_EQ(r.layout.steps.size(), d.truth.steps.size());
  for (std::size_t k = 0; k < d.truth.steps.size(); ++k) {
    const layout_step& found = r.layout.steps[k];
    const layout_step& truth = d.truth.steps[k];
    EXPECT_EQ(span_text(found.data[0]), span_text(truth.data[0])) << "step " << k;
    ASSERT_EQ(found.protected_.size(), 1u) << "step " << k;
    EXPECT_EQ(span_text(found.protected_[0]), span_text(truth.protected_[0])) << "step " << k;
    EXPECT_EQ(span_text(found.ecc), span_text(truth.ecc)) << "step " << k;
  }
  EXPECT_TRUE(detect_test::extracted_data(r.layout, d.bytes) ==
              detect_test::extracted_data(d.truth, d.bytes));
}

// Two pages, their eight steps worn: the syndromes need no third page to compare with.
TEST(Detect, WorksFromTwoPages) {
  const nand_layout truth = detect_test::phone_layout();
  bch_code built;
  ASSERT_TRUE(build_code(truth.code, built).ok());
  std::mt19937 rng(46);
  detect_test::page_knobs worn;
  worn.worn = true;
  std::vector<std::uint8_t> dump;
  // Pages are drawn again until every step holds varied data: a step of zeros or 0xFF is no
  // evidence, and two pages have none to spare.
  while (dump.size() < 2 * 2112) {
    const std::vector<std::uint8_t> page = detect_test::fill_pages(rng, truth, built, 1, worn);
    bool varied = true;
    for (std::size_t k = 0; k < 4; ++k)
      varied = varied && std::count_if(page.begin() + 528 * k, page.begin() + 528 * k + 512,
                                       [](std::uint8_t b) { return b != 0 && b != 0xFF; }) > 100;
    if (!varied)
      continue;
    dump.insert(dump.end(), page.begin(), page.end());
  }
  const detect_result r =
      detect_layout(memory_reader(dump), static_cast<std::int64_t>(dump.size()), {2048, 64, 64});
  ASSERT_TRUE(r.found) << (r.ruled_out.empty() ? "" : r.ruled_out.front());
  EXPECT_EQ(r.pages_used, 2);
  EXPECT_EQ(compare(r.layout, truth, built.parity_bits), "");
}

// A phone's layout: four steps of 512 data bytes, 8 tag bytes inside the codeword, 7 ECC bytes
// and one 0xFF pad byte. That pad byte before each next step can pass for the start of a
// message whose ECC then needs a mask; the reading without one, which puts every data byte in a
// step, is the right one.
TEST(Detect, PrefersTheReadingWithoutAMaskThatCoversTheData) {
  const nand_layout truth = detect_test::phone_layout();
  bch_code built;
  ASSERT_TRUE(build_code(truth.code, built).ok());
  std::mt19937 rng(44);
  detect_test::page_knobs knobs;
  const std::vector<std::uint8_t> dump = detect_test::fill_pages(rng, truth, built, 64, knobs);
  const detect_result r =
      detect_layout(memory_reader(dump), static_cast<std::int64_t>(dump.size()), {2048, 64, 64});
  ASSERT_TRUE(r.found) << (r.ruled_out.empty() ? "" : r.ruled_out.front());
  EXPECT_EQ(r.layout.code.mask, layout_mask::none);
  ASSERT_EQ(r.layout.steps.size(), 4u);
  for (std::size_t k = 0; k < 4; ++k) {
    SCOPED_TRACE("case step " + std::to_string(k));
    EXPECT_EQ(spans_text(r.layout.steps[k].data), spans_text(truth.steps[k].data));
    EXPECT_EQ(span_text(r.layout.steps[k].ecc), span_text(truth.steps[k].ecc));
  }
}

// The same layout with a 0x00 pad byte: a leading zero changes no codeword, so the message may
// start at the pad byte or after it, and nothing in the dump tells which. Said, not hidden.
TEST(Detect, ReportsReadingsThatDecodeAlike) {
  const nand_layout truth = detect_test::phone_layout();
  bch_code built;
  ASSERT_TRUE(build_code(truth.code, built).ok());
  std::mt19937 rng(47);
  std::vector<std::uint8_t> dump = detect_test::fill_pages(rng, truth, built, 64, {});
  // In pages whose every step is written: a written step's zero pad byte before an erased one
  // would tell (the erased step reads erased only without it).
  for (std::size_t page = 0; page < 64; ++page) {
    bool written = true;
    for (std::size_t k = 0; k < 4; ++k) {
      const auto at = dump.begin() + static_cast<std::ptrdiff_t>(page * 2112 + 528 * k);
      written = written && !std::all_of(at, at + 527, [](std::uint8_t b) { return b == 0xFF; });
    }
    for (std::size_t k = 0; k < 4 && written; ++k)
      dump[page * 2112 + 528 * k + 527] = 0x00;
  }
  const detect_result r =
      detect_layout(memory_reader(dump), static_cast<std::int64_t>(dump.size()), {2048, 64, 64});
  ASSERT_TRUE(r.found) << (r.ruled_out.empty() ? "" : r.ruled_out.front());
  std::string said;
  for (const std::string& a : r.ambiguities)
    said += a + "\n";
  EXPECT_NE(said.find("may start at 1584 as well as at 1583"), std::string::npos) << said;
  EXPECT_NE(said.find("cannot tell data from protected bytes"), std::string::npos) << said;
}

// Parity that ends off the byte grid: the router's steps are found as steps that count bits,
// in both bit orders, under either mask the bit reading tries.
TEST(Detect, FindsStepsThatCountBits) {
  const struct {
    bool lsb_first;
    layout_mask mask;
    unsigned seed;
  } cases[] = {{false, layout_mask::none, 61}, {true, layout_mask::erased_ff, 62}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("case router in bits, ") + (c.lsb_first ? "lsb" : "msb") +
                 (c.mask == layout_mask::none ? ", no mask" : ", erased-ff"));
    const nand_layout truth = bit_router_layout(c.lsb_first, c.mask);
    ASSERT_EQ(check_layout(truth).message, "");
    bch_code built;
    ASSERT_EQ(build_layout_code(truth, built).message, "");
    std::mt19937 rng(c.seed);
    const std::vector<std::uint8_t> dump = detect_test::fill_bit_pages(rng, truth, built, 64);
    const detect_result r =
        detect_layout(memory_reader(dump), static_cast<std::int64_t>(dump.size()), {2048, 64, 64});
    ASSERT_TRUE(r.found) << (r.ruled_out.empty() ? "" : r.ruled_out.front());
    EXPECT_EQ(check_layout(r.layout).message, "");
    bch_code found;
    EXPECT_EQ(build_layout_code(r.layout, found).message, "");
    EXPECT_EQ(r.parity_bits, built.parity_bits);
    ASSERT_EQ(r.layout.steps.size(), truth.steps.size());
    for (std::size_t k = 0; k < truth.steps.size(); ++k)
      EXPECT_TRUE(r.layout.steps[k].bits) << "step " << k;
    EXPECT_EQ(compare(r.layout, truth, built.parity_bits), "");
    // The drawn bit errors were corrected, none left.
    EXPECT_GT(r.evidence.corrected, 0);
    EXPECT_EQ(r.evidence.uncorrectable, 0);
    EXPECT_TRUE(detect_test::extracted_bits(r.layout, dump) ==
                detect_test::extracted_bits(truth, dump));
  }
}

// A worn dump of spare groups whose protected bits end one bit into a byte: read in bytes one
// bit off (the zero bit taken for padding before the parity), half the steps still decode,
// those whose last parity bit is 0; the reading in bits decodes them all and is the one taken.
TEST(Detect, PrefersStepsInBitsToAByteReadingABitOff) {
  std::mt19937 rng(9);
  detect_test::page_knobs worn;
  worn.worn = true;
  const detect_test::generated_dump d = detect_test::generate_bits_dump(rng, 64, worn);
  SCOPED_TRACE("case bits-worn seed 9: " + d.summary);
  const detect_result r = detect_layout(memory_reader(d.bytes),
                                        static_cast<std::int64_t>(d.bytes.size()), {2048, 64, 64});
  ASSERT_TRUE(r.found);
  EXPECT_EQ(compare(r.layout, d.truth, d.parity_bits), "");
  ASSERT_EQ(r.layout.steps.size(), d.truth.steps.size());
  for (std::size_t k = 0; k < d.truth.steps.size(); ++k)
    EXPECT_TRUE(r.layout.steps[k].bits) << "step " << k;
}

TEST(Detect, FindsNothingWithoutEcc) {
  for (int seed = 101; seed <= 101; ++seed) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    const detect_test::generated_dump d = detect_test::generate_dump(rng, false, 32);
    SCOPED_TRACE("case seed " + std::to_string(seed) + ": " + d.summary);
    detect_geometry geometry{d.truth.page_size, d.truth.spare_size, d.truth.block_pages};
    // The verdict, not the effort, is under test: a tenth of the tries for noisy dumps.
    detect_options options;
    options.noise_effort = 0.1;
    const detect_result r = detect_layout(
        memory_reader(d.bytes), static_cast<std::int64_t>(d.bytes.size()), geometry, options);
    EXPECT_TRUE(r.error.ok()) << r.error.message;
    EXPECT_FALSE(r.found);
    EXPECT_FALSE(r.ruled_out.empty());
  }
}

TEST(Detect, RefusesWhatItCannotSearch) {
  const std::vector<std::uint8_t> erased(64 * 2112, 0xFF);
  const detect_reader read = memory_reader(erased);
  const auto size = static_cast<std::int64_t>(erased.size());
  EXPECT_FALSE(detect_layout(read, size, {256, 16, 64}).error.ok()) << "case page below 512";
  EXPECT_FALSE(detect_layout(read, size, {2048, 0, 64}).error.ok()) << "case no spare";
  EXPECT_FALSE(detect_layout(read, size, {2048, 64, 0}).error.ok()) << "case no pages per block";
  EXPECT_FALSE(detect_layout(read, 2000, {2048, 64, 64}).error.ok()) << "case no whole page";
  detect_options few;
  few.sample_pages = 2;
  EXPECT_FALSE(detect_layout(read, size, {2048, 64, 64}, few).error.ok()) << "case too few samples";
  const detect_reader failing = [](std::int64_t, unsigned char*, std::size_t) { return false; };
  EXPECT_FALSE(detect_layout(failing, size, {2048, 64, 64}).error.ok()) << "case unreadable";
  // All erased: nothing to compare, and said so.
  const detect_result r = detect_layout(read, size, {2048, 64, 64});
  EXPECT_EQ(r.error.message, "") << "case erased";
  EXPECT_FALSE(r.found) << "case erased";
  EXPECT_FALSE(r.ruled_out.empty()) << "case erased";
}

// The sample, not the geometry, bounds the search: a spare of megabytes is searched in what a
// small one takes, and 100000 sampled pages that differ only in their last bytes are told apart
// without comparing every pair. Pages are made as they are read, so nothing large is held here.
TEST(Detect, WorkFollowsTheSampleNotTheGeometry) {
  // Page i: one byte value throughout, i in its first and last four bytes.
  const auto pages_of = [](std::int64_t raw) {
    return [raw](std::int64_t offset, unsigned char* out, std::size_t count) {
      std::memset(out, 0x5A, count);
      const auto page = static_cast<std::uint32_t>(offset / raw);
      std::memcpy(out, &page, 4);
      std::memcpy(out + count - 4, &page, 4);
      return true;
    };
  };
  detect_options quick;
  quick.noise_effort = 0;
  {
    SCOPED_TRACE("case a spare of 1 MiB");
    const std::int64_t raw = 512 + (1 << 20);
    const detect_result r = detect_layout(pages_of(raw), 4 * raw, {512, 1 << 20, 64}, quick);
    EXPECT_TRUE(r.error.ok()) << r.error.message;
    EXPECT_EQ(r.pages_used, 4);
    EXPECT_FALSE(r.found);
  }
  {
    SCOPED_TRACE("case 100000 pages alike but for a few bytes");
    detect_options many = quick;
    many.sample_pages = 100000;
    const detect_result r = detect_layout(pages_of(528), 100000 * 528, {512, 16, 64}, many);
    EXPECT_TRUE(r.error.ok()) << r.error.message;
    EXPECT_EQ(r.pages_used, 100000);
    EXPECT_FALSE(r.found);
  }
}

TEST(Detect, GuessesTheGeometryFromErasedRuns) {
  for (int seed = 201; seed <= 203; ++seed) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    const detect_test::generated_dump d = detect_test::generate_dump(rng, true, 96);
    SCOPED_TRACE("case seed " + std::to_string(seed) + ": " + d.summary);
    const detect_reader read = memory_reader(d.bytes);
    const auto size = static_cast<std::int64_t>(d.bytes.size());
    const std::vector<geometry_guess> guesses = guess_geometry(read, size);
    ASSERT_FALSE(guesses.empty());
    // The truth is among the few best; the search then settles it.
    bool listed = false;
    for (std::size_t i = 0; i < guesses.size() && i < 3; ++i)
      listed = listed || (guesses[i].geometry.page_size == d.truth.page_size &&
                          guesses[i].geometry.spare_size == d.truth.spare_size);
    EXPECT_TRUE(listed) << "best " << guesses[0].geometry.page_size << "+"
                        << guesses[0].geometry.spare_size;
    std::vector<geometry_guess> weighed;
    const detect_result r = detect_layout_and_geometry(read, size, {}, weighed);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.layout.page_size, d.truth.page_size);
    EXPECT_EQ(r.layout.spare_size, d.truth.spare_size);
    EXPECT_EQ(compare(r.layout, d.truth, d.parity_bits), "");
  }
  // Random bytes have no long 0xFF runs: no guess.
  std::mt19937 rng(5);
  std::vector<std::uint8_t> noise(64 * 2112);
  for (auto& b : noise)
    b = static_cast<std::uint8_t>(rng() % 255);
  EXPECT_TRUE(guess_geometry(memory_reader(noise), static_cast<std::int64_t>(noise.size())).empty())
      << "case noise";
}

// Every page programmed and no 0xFF run that could end on a page boundary: only the columns
// that hold one value in every page (reserved and unused spare bytes) place the page. Seed 1
// is interleaved 4096+128 (its divisors 512+16 and 2048+64 and its double 8192+256 fit the dump
// too); seed 11 spare-at-end 2048+64 with just 4 such columns. Shuffled, the same bytes line up
// nowhere, and only erased pages place them.
TEST(Detect, GuessesTheGeometryFromConstantColumns) {
  for (unsigned seed : {1u, 11u}) {
    std::mt19937 rng(seed);
    detect_test::generated_dump d = detect_test::generate_dump(rng, true, 96);
    SCOPED_TRACE("case seed " + std::to_string(seed) + ": " + d.summary);
    const std::int64_t raw = raw_page_bytes(d.truth);
    std::vector<bool> data(static_cast<std::size_t>(raw), false);
    for (const layout_step& s : d.truth.steps) {
      for (const layout_span& span : s.data)
        std::fill_n(data.begin() + span.offset, span.length, true);
    }
    // Erased pages become copies of the page before, and long 0xFF runs (unwritten steps, 0xFF
    // content) are cut in data bytes.
    for (std::int64_t n = 1; n < d.pages; ++n) {
      std::uint8_t* page = d.bytes.data() + n * raw;
      if (std::count(page, page + raw, 0xFF) == raw)
        std::copy(page - raw, page, page);
    }
    std::int64_t run = 0, longest = 0;
    for (std::size_t i = 0; i < d.bytes.size(); ++i) {
      run = d.bytes[i] == 0xFF ? run + 1 : 0;
      if (run >= 128 && data[i % static_cast<std::size_t>(raw)]) {
        d.bytes[i] = 0;
        run = 0;
      }
      longest = std::max(longest, run);
    }
    ASSERT_LT(longest, 256);
    const auto size = static_cast<std::int64_t>(d.bytes.size());
    const std::vector<geometry_guess> guesses = guess_geometry(memory_reader(d.bytes), size);
    ASSERT_GE(guesses.size(), 2u);
    EXPECT_EQ(guesses[0].geometry.page_size, d.truth.page_size);
    EXPECT_EQ(guesses[0].geometry.spare_size, d.truth.spare_size);
    EXPECT_EQ(guesses[0].evidence, geometry_evidence::constant_columns);
    // Sure: the next best, the double page at best, scores well below the truth.
    EXPECT_LE(guesses[1].score, 0.5 * guesses[0].score);
    std::shuffle(d.bytes.begin(), d.bytes.end(), rng);
    EXPECT_TRUE(guess_geometry(memory_reader(d.bytes), size).empty()) << "case shuffled";
    // With 1 page in 8 erased, drawn (a period of 8 pages would make columns of its own), the
    // runs decide, and the truth is among the best (with its divisors, which share every end;
    // a run also ends past the boundary when the noise after it starts with 0xFF).
    for (std::int64_t n = 0; n < d.pages; ++n) {
      if (rng() % 8 == 0)
        std::fill_n(d.bytes.begin() + n * raw, raw, 0xFF);
    }
    const std::vector<geometry_guess> runs = guess_geometry(memory_reader(d.bytes), size);
    ASSERT_FALSE(runs.empty()) << "case shuffled, erased";
    EXPECT_EQ(runs[0].evidence, geometry_evidence::erased_runs) << "case shuffled, erased";
    bool best = false;
    for (const geometry_guess& g : runs) {
      best = best || (g.geometry.page_size == d.truth.page_size &&
                      g.geometry.spare_size == d.truth.spare_size && g.score == runs[0].score);
    }
    EXPECT_TRUE(best) << "case shuffled, erased";
  }
  // 48 bytes over and over: 512+16 and 2048+16 (multiples of 48, neither of the other) line up
  // alike, and with every page the same no search settles it: nothing found, both named.
  SCOPED_TRACE("case period 48");
  std::mt19937 rng(3);
  std::uint8_t period[48];
  for (std::uint8_t& b : period)
    b = static_cast<std::uint8_t>(rng());
  std::vector<std::uint8_t> dump(8 * 22704);  // 22704: the least common multiple of 528, 2064
  for (std::size_t i = 0; i < dump.size(); ++i)
    dump[i] = period[i % 48];
  std::vector<geometry_guess> guesses;
  const detect_result r = detect_layout_and_geometry(
      memory_reader(dump), static_cast<std::int64_t>(dump.size()), {}, guesses);
  EXPECT_FALSE(r.found);
  EXPECT_TRUE(r.geometry_unsure);
  ASSERT_FALSE(r.ruled_out.empty());
  EXPECT_EQ(r.ruled_out.back(),
            "512+16 (100%) and 2048+16 (100%) fit the dump alike, and none finds a code: give "
            "--page-size and --spare-size");
}

TEST(Detect, FindsTheBuiltInLayoutThroughItsHoleAndNoise) {
  // The dialogue's layout: a 4-byte header, 512 + 13-byte chunks, the last sector split around
  // the 6 bytes at the start of the spare; 1 or 2 bit errors in every other step, and (the last
  // case) 0 to 3 in every step, so that only one step in four is clean: a worn chip.
  const struct {
    unsigned seed;
    int error_one_in, most_flips;
  } cases[] = {{31, 2, 2}, {32, 2, 2}, {32, 1, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE("case seed " + std::to_string(c.seed) + ", errors in 1 step of " +
                 std::to_string(c.error_one_in) + ", at most " + std::to_string(c.most_flips));
    std::mt19937 rng(c.seed);
    nand_layout truth = default_layout(2048, 64, 64);
    bch_code built;
    ASSERT_EQ(bch_code_init(built, 13, 8).message, "");
    detect_test::page_knobs knobs;
    knobs.header = 4;
    knobs.error_one_in = c.error_one_in;
    knobs.most_flips = c.most_flips;
    const std::vector<std::uint8_t> dump = detect_test::fill_pages(rng, truth, built, 64, knobs);
    const detect_result r =
        detect_layout(memory_reader(dump), static_cast<std::int64_t>(dump.size()), {2048, 64, 64});
    ASSERT_TRUE(r.found) << (r.ruled_out.empty() ? "" : r.ruled_out.front());
    EXPECT_EQ(compare(r.layout, truth, built.parity_bits), "");
    EXPECT_EQ(decode_alike(dump, 64, r.layout, truth), "");
  }
}
