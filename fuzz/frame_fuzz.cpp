// Fuzz target of the framing of steps that count bits: the input picks a code, a step of data
// and protected spans at any bit offsets, the page's bytes and bit flips. The step is encoded
// through its frame, flipped and decoded, and every verdict is held to the engine's promises:
// a step reported corrected is then a codeword of its own, up to t flips are undone exactly,
// and no bit outside the step ever changes. A broken promise aborts with a message.
#include <fuzzer/FuzzedDataProvider.h>  // FuzzedDataProvider

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint8_t, std::int64_t
#include <cstdio>   // std::fprintf, stderr
#include <cstdlib>  // std::abort
#include <map>      // std::map
#include <tuple>    // std::tuple
#include <vector>   // std::vector

#include "codec/layout_code.h"  // build_code
#include "codec/step_frame.h"   // step_frame, frame_step, gather_frame_ecc, frame_fixes_to_step
#include "layout/bit_spans.h"   // gather_message_bits, scatter_message_bits, get_bit

namespace {

constexpr std::int64_t kPageBytes = 700;  // room for a step of up to ~4 KiB bits and its parity

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "frame fuzz: %s\n", what);
  std::abort();
}

struct step_run {
  const nand_layout& layout;
  const bch_code& code;
  const step_frame& frame;
  std::vector<std::uint8_t> message, ecc;
  bch_decode_result result;

  // Decodes the step of `page` in place: scattered back when corrected or erased. Returns the
  // verdict as the engine's pass gives it.
  bch_status decode(std::vector<std::uint8_t>& page) {
    const layout_step& step = layout.steps[0];
    const bool lsb = layout.code.lsb_first;
    message.assign(frame.message_bytes, 0);
    ecc.assign(static_cast<std::size_t>(code.ecc_bytes), 0);
    gather_message_bits(page.data(), step, lsb, message.data());
    gather_frame_ecc(frame, step, lsb, page.data(), ecc.data(), code.ecc_bytes);
    bch_decode(code, message.data(), message.size(), ecc.data(), result, frame_offset(frame));
    if (!frame_fixes_to_step(frame, lsb, result.fixes))
      return bch_status::uncorrectable;
    if (result.status == bch_status::corrected || result.status == bch_status::erased) {
      scatter_message_bits(page.data(), step, lsb, message.data());
      scatter_frame_ecc(frame, step, lsb, page.data(), ecc.data());
    }
    return result.status;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  FuzzedDataProvider in(input, size);
  nand_layout l;
  l.source = "fuzz";
  l.page_size = static_cast<std::int32_t>(kPageBytes - 100);
  l.spare_size = 100;
  l.block_pages = 1;
  l.code.m = in.ConsumeBool() ? 13 : 14;
  static const int kT[] = {1, 2, 3, 4, 5, 8, 12, 24};
  l.code.t = kT[in.ConsumeIntegralInRange(0, 7)];
  l.code.lsb_first = in.ConsumeBool();
  l.code.pad_start = in.ConsumeBool();
  const int mask = in.ConsumeIntegralInRange(0, 2);
  l.code.mask = mask == 0   ? layout_mask::none
                : mask == 1 ? layout_mask::erased_ff
                            : layout_mask::bytes;
  const int r = l.code.m * l.code.t;  // the degree for these codes, checked below
  // A fixed pattern, so that built codes can be kept from input to input.
  if (l.code.mask == layout_mask::bytes) {
    for (int j = 0; j < (r + 7) / 8; ++j)
      l.code.mask_bytes.push_back(static_cast<std::uint8_t>(j * 151 + 89));
  }
  // One step: a data span, perhaps a protected one after a gap, then the ECC after a gap.
  layout_step step;
  step.bits = true;
  std::int64_t at = in.ConsumeIntegralInRange<std::int64_t>(0, 200);
  const std::int64_t data = in.ConsumeIntegralInRange<std::int64_t>(1, 4000);
  step.data = {{at, data}};
  at += data + in.ConsumeIntegralInRange<std::int64_t>(0, 20);
  if (in.ConsumeBool()) {
    const std::int64_t prot = in.ConsumeIntegralInRange<std::int64_t>(1, 100);
    step.protected_ = {{at, prot}};
    at += prot + in.ConsumeIntegralInRange<std::int64_t>(0, 20);
  }
  step.ecc = {at, r};
  l.steps = {step};
  // Building a code costs far more than a run: each is built once.
  static std::map<std::tuple<int, int, bool, bool, int>, bch_code> codes;
  const auto key = std::make_tuple(l.code.m, l.code.t, l.code.lsb_first, l.code.pad_start, mask);
  auto found = codes.find(key);
  if (found == codes.end()) {
    bch_code built;
    if (!build_code(l.code, built).ok())
      return 0;
    found = codes.emplace(key, std::move(built)).first;
  }
  const bch_code& code = found->second;
  if (!check_layout(l).ok() || !check_layout_code(l, code.parity_bits, code.max_data_bytes).ok())
    return 0;
  const step_frame frame = frame_step(l, code, step);
  const bool lsb = l.code.lsb_first;

  std::vector<std::uint8_t> page = in.ConsumeBytes<std::uint8_t>(kPageBytes);
  page.resize(kPageBytes, in.ConsumeBool() ? 0xFF : 0x00);
  step_run run{l, code, frame, {}, {}, {}};
  // Encoded through the frame: then it decodes clean (or erased, when its bits are all ones).
  run.message.assign(frame.message_bytes, 0);
  run.ecc.assign(static_cast<std::size_t>(code.ecc_bytes), 0);
  gather_message_bits(page.data(), step, lsb, run.message.data());
  bch_encode(code, run.message.data(), run.message.size(), run.ecc.data(), frame_offset(frame));
  scatter_frame_ecc(frame, step, lsb, page.data(), run.ecc.data());
  std::vector<std::uint8_t> clean = page;
  const bch_status first = run.decode(page);
  if (first != bch_status::clean && first != bch_status::erased)
    fail("a step encoded through its frame does not decode clean");
  if (first == bch_status::erased) {
    if (page != clean)
      fail("an erased step encoded through its frame was changed");
    return 0;
  }

  // Flips among the step's bits (a bit flipped twice is flipped back).
  std::vector<std::int64_t> bits;
  for (const auto* spans : {&step.data, &step.protected_})
    for (const layout_span& s : *spans)
      for (std::int64_t b = s.offset; b < s.offset + s.length; ++b)
        bits.push_back(b);
  for (std::int64_t b = step.ecc.offset; b < step.ecc.offset + step.ecc.length; ++b)
    bits.push_back(b);
  const int flips = in.ConsumeIntegralInRange(0, 2 * l.code.t + 2);
  std::vector<std::uint8_t> worn = clean;
  for (int f = 0; f < flips; ++f) {
    const std::int64_t b = bits[in.ConsumeIntegralInRange<std::size_t>(0, bits.size() - 1)];
    set_bit(worn.data(), b, !get_bit(worn.data(), b, lsb), lsb);
  }
  int distance = 0;
  for (std::int64_t b : bits)
    distance += get_bit(worn.data(), b, lsb) != get_bit(clean.data(), b, lsb);
  std::vector<std::uint8_t> fixed = worn;
  const bch_status verdict = run.decode(fixed);
  // Nothing outside the step changes, whatever the verdict.
  std::vector<bool> inside(8 * kPageBytes, false);
  for (std::int64_t b : bits)
    inside[static_cast<std::size_t>(b)] = true;
  for (std::int64_t b = 0; b < 8 * kPageBytes; ++b) {
    if (!inside[static_cast<std::size_t>(b)] &&
        get_bit(fixed.data(), b, lsb) != get_bit(worn.data(), b, lsb))
      fail("a bit outside the step changed");
  }
  if (verdict == bch_status::uncorrectable && fixed != worn)
    fail("an uncorrectable step was changed");
  if (verdict == bch_status::corrected) {
    std::vector<std::uint8_t> again = fixed;
    if (run.decode(again) != bch_status::clean)
      fail("a step reported corrected is no codeword of its own");
  }
  if (distance <= l.code.t && verdict != bch_status::erased) {
    if (fixed != clean)
      fail("up to t flips were not undone");
    if (verdict != (distance == 0 ? bch_status::clean : bch_status::corrected))
      fail("up to t flips gave the wrong verdict");
  }
  return 0;
}
