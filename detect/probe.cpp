// probe: the layout's code in every variant of bit order, mask, padding and t, decoded on the
// first steps that are not erased and weighed against chance.
#include "detect/probe.h"

#include <algorithm>  // std::min, std::max, std::stable_sort
#include <cstdint>    // INT64_MAX
#include <string>     // std::to_string
#include <utility>    // std::move

#include "codec/layout_code.h"  // build_layout_code
#include "codec/step_frame.h"   // step_frame, frame_step
#include "layout/bit_spans.h"   // gather_message_bits, copy_bits
#include "detect/evidence.h"    // chance_of_decoding, log10_chance_of_at_least

namespace {

// A step gathered for probing: its message and its stored ECC bytes. A step that counts bits
// is gathered anew under each bit order, so it keeps its raw page.
struct sample {
  std::vector<std::uint8_t> message, ecc;
  std::vector<std::uint8_t> page;  // a bit step's raw page, else empty
  std::size_t step = 0;            // which step of the layout
};

// The largest t of field degree m whose ECC fits `ecc_bytes` bytes.
int largest_t(int m, std::int64_t ecc_bytes) {
  return static_cast<int>(std::min<std::int64_t>(8 * ecc_bytes / m, 200));
}

}  // namespace

probe_findings probe_code(const detect_reader& read, std::int64_t dump_bytes,
                          const nand_layout& layout, bool vary_padding, int steps) {
  probe_findings r;
  const std::int64_t page_bytes = raw_page_bytes(layout);
  const std::int64_t pages = dump_bytes / page_bytes;
  std::vector<std::uint8_t> page(static_cast<std::size_t>(page_bytes));
  std::vector<sample> samples;
  distinct_steps seen;
  std::int64_t smallest_ecc = INT64_MAX;
  bool all_bits = true;
  for (const layout_step& step : layout.steps) {
    smallest_ecc = std::min(smallest_ecc, (step_ecc_bits(step) + 7) / 8);
    all_bits = all_bits && step.bits;
  }
  for (std::int64_t p = 0; p < pages && static_cast<int>(samples.size()) < steps; ++p) {
    if (!read(p * page_bytes, page.data(), page.size())) {
      r.error = status::error("cannot read page " + std::to_string(p) + " of the dump");
      return r;
    }
    for (std::size_t k = 0; k < layout.steps.size() && static_cast<int>(samples.size()) < steps;
         ++k) {
      const layout_step& step = layout.steps[k];
      sample one;
      one.step = k;
      one.message.resize(static_cast<std::size_t>(step_message_bytes(step)));
      if (step.bits) {
        // In the layout's bit order, for the tests below; the candidates gather their own.
        one.page = page;
        gather_message_bits(page.data(), step, layout.code.lsb_first, one.message.data());
        // Ones beside the parity bits, as the lead bits are, so that they read as erased.
        one.ecc.assign(static_cast<std::size_t>((step.ecc.length + 7) / 8), 0xFF);
        copy_bits(one.ecc.data(), 0, page.data(), step.ecc.offset, step.ecc.length,
                  layout.code.lsb_first);
      } else {
        gather_message(page.data(), step, one.message.data());
        one.ecc.assign(page.data() + step.ecc.offset,
                       page.data() + step.ecc.offset + step.ecc.length);
      }
      // Data of all 0xFF under an ECC that is not is written, and the best evidence of a mask:
      // only a step erased as a whole tells nothing.
      if (nearly_erased(one.message.data(), one.message.size(), 8) &&
          nearly_erased(one.ecc.data(), one.ecc.size(), 8))
        continue;
      // A dump of one page written over and over holds one piece of evidence, not many.
      if (!first_sight(seen, one.message.data(), one.message.size(), one.ecc.data(),
                       one.ecc.size()))
        continue;
      samples.push_back(std::move(one));
    }
  }
  if (samples.empty())
    return r;
  r.sampled = static_cast<std::int64_t>(samples.size());
  std::size_t longest = 0;
  for (const sample& one : samples)
    longest = std::max(longest, one.message.size());

  const int t_max = vary_padding ? largest_t(layout.code.m, smallest_ecc) : 8;
  std::vector<layout_mask> masks = {layout_mask::none, layout_mask::erased_ff};
  if (layout.code.mask == layout_mask::bytes)
    masks.push_back(layout_mask::bytes);
  step_decoder decoder;
  for (bool lsb : {false, true}) {
    for (layout_mask mask : masks) {
      for (bool pad_start : {false, true}) {
        // The pad does not apply to steps that count bits.
        if (pad_start && (!vary_padding || all_bits))
          continue;
        for (int t = 1; t <= t_max; ++t) {
          probe_candidate c;
          c.code = layout.code;
          c.code.lsb_first = lsb;
          c.code.mask = mask;
          c.code.pad_start = pad_start;
          c.code.t = t;
          nand_layout variant = layout;
          variant.code = c.code;
          bch_code code;
          if (!build_layout_code(variant, code).ok())
            continue;
          // Padding has a place only when the parity leaves bits of its last byte unused.
          if (pad_start && code.parity_bits % 8 == 0)
            continue;
          std::vector<step_frame> frames(variant.steps.size());
          std::vector<bool> framed(variant.steps.size(), false);
          for (const sample& one : samples) {
            if (one.page.empty()) {
              decode_sample(decoder, code, one.message.data(), one.message.size(), one.ecc.data(),
                            one.ecc.size(), c.count);
              continue;
            }
            if (!framed[one.step]) {
              frames[one.step] = frame_step(variant, code, variant.steps[one.step]);
              framed[one.step] = true;
            }
            decode_framed_sample(decoder, code, frames[one.step], lsb, one.page.data(),
                                 variant.steps[one.step], c.count);
          }
          // Steps of random bits decode at this rate; only what goes beyond it is evidence.
          c.chance = chance_of_decoding(static_cast<std::int64_t>(8 * longest) + code.parity_bits,
                                        code.parity_bits, t);
          c.log10_evidence = log10_chance_of_at_least(c.count.usable, c.count.tried, c.chance);
          r.candidates.push_back(std::move(c));
        }
      }
    }
  }
  if (r.candidates.empty())
    return r;
  // A share of decoded steps alone would favour t = 1, under which half of all random steps
  // decode. Among equals the larger t, whose chance corrections are the rarest.
  std::stable_sort(r.candidates.begin(), r.candidates.end(),
                   [](const probe_candidate& a, const probe_candidate& b) {
                     if (a.log10_evidence != b.log10_evidence)
                       return a.log10_evidence < b.log10_evidence;
                     if (a.count.clean != b.count.clean)
                       return a.count.clean > b.count.clean;
                     return a.code.t > b.code.t;
                   });
  return r;
}
