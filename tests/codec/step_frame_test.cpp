// Tests of the framing of steps that count bits: against a bit-level encoder, in a layout whose
// protected bits end inside a byte and in one of parity packed back to back, both bit orders,
// every mask and both paddings of the code; and a correction that would land on a lead bit.
#include "codec/step_frame.h"

#include <gtest/gtest.h>

#include <algorithm>  // std::sort
#include <random>     // std::mt19937
#include <string>     // std::string
#include <vector>     // std::vector

#include "codec/layout_code.h"          // build_layout_code
#include "layout/bit_spans.h"           // gather_message_bits, scatter_message_bits
#include "tests/codec/bit_reference.h"  // generator, encode_page, message_bits, ecc_bits

namespace {

nand_layout bit_layout(bool lsb, layout_mask mask, bool pad_start, int t) {
  nand_layout l;
  l.source = "test";
  l.page_size = 2048;
  l.spare_size = 64;
  l.block_pages = 4;
  l.code.m = 13;
  l.code.t = t;
  l.code.lsb_first = lsb;
  l.code.pad_start = pad_start;
  l.code.mask = mask;
  const int r = 13 * t;
  if (mask == layout_mask::bytes) {
    for (int j = 0; j < (r + 7) / 8; ++j)
      l.code.mask_bytes.push_back(static_cast<std::uint8_t>(0x5B * j + 0xA7));
  }
  return l;
}

// Four steps of 512 data bytes; each step's 16 spare bytes hold 9.5 protected bytes, then 52
// parity bits.
nand_layout router(bool lsb, layout_mask mask, bool pad_start) {
  nand_layout l = bit_layout(lsb, mask, pad_start, 4);
  for (int k = 0; k < 4; ++k) {
    layout_step s;
    s.bits = true;
    s.data = {{4096 * k, 4096}};
    s.protected_ = {{16384 + 128 * k, 76}};
    s.ecc = {16460 + 128 * k, 52};
    l.steps.push_back(s);
  }
  return l;
}

// Chunks of 512 data bytes each followed at once by its 65 parity bits, 4 metadata bytes in
// the first codeword: every chunk after the first starts off the byte grid.
nand_layout packed(bool lsb, layout_mask mask, bool pad_start) {
  nand_layout l = bit_layout(lsb, mask, pad_start, 5);
  std::int64_t at = 0;
  for (int k = 0; k < 4; ++k) {
    layout_step s;
    s.bits = true;
    s.data = {{at, 4096}};
    at += 4096;
    if (k == 0) {
      s.protected_ = {{at, 32}};
      at += 32;
    }
    s.ecc = {at, 65};
    at += 65;
    l.steps.push_back(s);
  }
  return l;
}

// Raw-page bits of the engine's fixes, as the step reports them.
std::vector<std::int64_t> fixed_bits(const layout_step& step, const std::vector<bch_bit_fix>& fixes,
                                     bool lsb) {
  std::vector<std::int64_t> out;
  for (const bch_bit_fix& f : fixes) {
    const std::int64_t j = 8 * std::int64_t{f.byte} + (lsb ? f.bit : 7 - f.bit);
    out.push_back(f.in_ecc ? ecc_bit_offset(step, j) : message_bit_offset(step, j));
  }
  std::sort(out.begin(), out.end());
  return out;
}

struct framed {
  std::vector<std::uint8_t> message, ecc;
};

framed gather(const nand_layout& l, const bch_code& code, const step_frame& f,
              const layout_step& step, const std::vector<std::uint8_t>& page) {
  framed x;
  x.message.resize(f.message_bytes);
  x.ecc.resize(static_cast<std::size_t>(code.ecc_bytes));
  gather_message_bits(page.data(), step, l.code.lsb_first, x.message.data());
  gather_frame_ecc(f, step, l.code.lsb_first, page.data(), x.ecc.data(), code.ecc_bytes);
  return x;
}

// Every step of the layout on a page the reference encoded: encoding through the frame gives
// its parity, it decodes clean, bit errors are corrected where they were made, and an erased
// page reads erased.
void check_layout_steps(const nand_layout& l, unsigned seed) {
  bch_code code;
  ASSERT_EQ(build_layout_code(l, code).message, "");
  const std::vector<int> g = bit_reference::generator(l.code.m, l.code.t);
  ASSERT_EQ(static_cast<int>(g.size()) - 1, code.parity_bits);
  const bool lsb = l.code.lsb_first;
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> page(static_cast<std::size_t>(raw_page_bytes(l)));
  for (auto& b : page)
    b = static_cast<std::uint8_t>(gen());
  bit_reference::encode_page(page, l, g);
  bch_decode_result result;
  for (std::size_t k = 0; k < l.steps.size(); ++k) {
    SCOPED_TRACE("step " + std::to_string(k));
    const layout_step& step = l.steps[k];
    const step_frame f = frame_step(l, code, step);
    const std::vector<std::int64_t> ecc_bits = bit_reference::ecc_bits(step);

    framed x = gather(l, code, f, step, page);
    std::vector<std::uint8_t> encoded = page;
    for (std::int64_t b : ecc_bits)
      bit_reference::put(encoded, b, 0, lsb);
    bch_encode(code, x.message.data(), x.message.size(), x.ecc.data(), frame_offset(f));
    scatter_frame_ecc(f, step, lsb, encoded.data(), x.ecc.data());
    EXPECT_EQ(encoded, page) << "encoding through the frame";

    x = gather(l, code, f, step, page);
    bch_decode(code, x.message.data(), x.message.size(), x.ecc.data(), result, frame_offset(f));
    EXPECT_EQ(result.status, bch_status::clean);

    // 1 ... t bit errors anywhere in the codeword, parity included.
    std::vector<std::int64_t> all = bit_reference::message_bits(step);
    all.insert(all.end(), ecc_bits.begin(), ecc_bits.end());
    std::vector<std::int64_t> flipped;
    const int count = 1 + static_cast<int>(k) % l.code.t;
    while (static_cast<int>(flipped.size()) < count) {
      const std::int64_t b = all[gen() % all.size()];
      if (std::find(flipped.begin(), flipped.end(), b) == flipped.end())
        flipped.push_back(b);
    }
    std::sort(flipped.begin(), flipped.end());
    std::vector<std::uint8_t> worn = page;
    for (std::int64_t b : flipped)
      bit_reference::put(worn, b, 1 - bit_reference::bit(worn, b, lsb), lsb);
    x = gather(l, code, f, step, worn);
    bch_decode(code, x.message.data(), x.message.size(), x.ecc.data(), result, frame_offset(f));
    ASSERT_EQ(result.status, bch_status::corrected);
    ASSERT_TRUE(frame_fixes_to_step(f, lsb, result.fixes));
    EXPECT_EQ(fixed_bits(step, result.fixes, lsb), flipped);
    scatter_message_bits(worn.data(), step, lsb, x.message.data());
    scatter_frame_ecc(f, step, lsb, worn.data(), x.ecc.data());
    EXPECT_EQ(worn, page) << "corrected and scattered back";

    // An erased step, with two bits fallen.
    std::vector<std::uint8_t> erased(page.size(), 0xFF);
    bit_reference::put(erased, all[5], 0, lsb);
    bit_reference::put(erased, all.back(), 0, lsb);
    x = gather(l, code, f, step, erased);
    bch_decode(code, x.message.data(), x.message.size(), x.ecc.data(), result, frame_offset(f));
    EXPECT_EQ(result.status, bch_status::erased);
    EXPECT_EQ(result.bits, 2);
  }
}

TEST(StepFrame, BitStepsMatchABitLevelEncoder) {
  unsigned seed = 1;
  for (bool lsb : {false, true}) {
    for (layout_mask mask : {layout_mask::none, layout_mask::erased_ff, layout_mask::bytes}) {
      for (bool pad_start : {false, true}) {
        const std::string name = std::string(lsb ? "lsb" : "msb") + ", mask " +
                                 std::to_string(static_cast<int>(mask)) +
                                 (pad_start ? ", pad start" : ", pad end");
        {
          SCOPED_TRACE("protected bits ending inside a byte, " + name);
          check_layout_steps(router(lsb, mask, pad_start), ++seed);
        }
        {
          SCOPED_TRACE("parity packed back to back, " + name);
          check_layout_steps(packed(lsb, mask, pad_start), ++seed);
        }
      }
    }
  }
}

// The lead bits are ones in the engine's buffer; a step whose parity fits its message only
// with them zero is within t bits of a codeword there, but of none of its own.
TEST(StepFrame, ACorrectionOnALeadBitIsRefused) {
  const nand_layout l = router(false, layout_mask::none, false);
  bch_code code;
  ASSERT_EQ(build_layout_code(l, code).message, "");
  const layout_step& step = l.steps[0];
  const step_frame f = frame_step(l, code, step);
  ASSERT_EQ(f.lead_bits, 4);
  std::vector<std::uint8_t> page(static_cast<std::size_t>(raw_page_bytes(l)), 0x3C);
  framed x = gather(l, code, f, step, page);
  x.message[0] &= 0x0F;
  bch_encode(code, x.message.data(), x.message.size(), x.ecc.data(), frame_offset(f));
  scatter_frame_ecc(f, step, false, page.data(), x.ecc.data());
  x = gather(l, code, f, step, page);
  bch_decode_result result;
  bch_decode(code, x.message.data(), x.message.size(), x.ecc.data(), result, frame_offset(f));
  ASSERT_EQ(result.status, bch_status::corrected);
  EXPECT_FALSE(frame_fixes_to_step(f, false, result.fixes));
}

}  // namespace
