// Framing steps for the engine: byte steps as they stand, bit steps moved to byte form. The
// lead bits and the mask's shift are linear, so one XOR on the stored ECC, worked out once by
// encoding, takes them out of every step.
#include "codec/step_frame.h"

#include <algorithm>  // std::any_of

#include "layout/bit_spans.h"  // copy_bits, get_bit, set_bit, message_lead_bits

namespace {

// The longest second piece that is decoded where it lies: the engine takes it a table step
// per word, dearer than copying the message whole once it passes a few words (the built-in
// layout's 43 bytes behind the hole measured slower than gathering).
constexpr std::int64_t kLongestTail = 16;

// Sets in_two and the pieces when the byte step's message lies in exactly two runs of
// adjacent spans, the second of them short.
void find_two_pieces(const layout_step& step, step_frame& f) {
  std::int64_t at[2] = {};
  std::int64_t length[2] = {};
  int runs = 0;
  for (const auto* spans : {&step.data, &step.protected_}) {
    for (const layout_span& s : *spans) {
      if (runs > 0 && s.offset == at[runs - 1] + length[runs - 1]) {
        length[runs - 1] += s.length;
        continue;
      }
      if (runs == 2)
        return;
      at[runs] = s.offset;
      length[runs] = s.length;
      ++runs;
    }
  }
  if (runs != 2 || length[1] > kLongestTail)
    return;
  f.in_two = true;
  f.head_offset = at[0];
  f.head_bytes = static_cast<std::size_t>(length[0]);
  f.tail_offset = at[1];
  f.tail_bytes = static_cast<std::size_t>(length[1]);
}

}  // namespace

step_frame frame_step(const nand_layout& layout, const bch_code& code, const layout_step& step) {
  step_frame f;
  f.bits = step.bits;
  f.message_bytes = static_cast<std::size_t>(step_message_bytes(step));
  if (!step.bits) {
    f.contiguous = message_is_contiguous(step, f.message_offset);
    if (!f.contiguous)
      find_two_pieces(step, f);
    return f;
  }
  const bool lsb = layout.code.lsb_first;
  const auto ecc_bytes = static_cast<std::size_t>(code.ecc_bytes);
  f.lead_bits = message_lead_bits(step);
  f.ecc_shift = code.options.pad == bch_pad::start ? 8 * code.ecc_bytes - code.parity_bits : 0;
  std::vector<std::uint8_t> offset(ecc_bytes, 0);
  // Under the erased-ff mask the engine encodes the inverted message, in which the lead ones
  // are leading zeros: they add nothing. Otherwise their share is the ECC of the lead bits
  // alone, less what the engine adds to every ECC.
  if (layout.code.mask != layout_mask::erased_ff && f.lead_bits > 0) {
    std::vector<std::uint8_t> lead(f.message_bytes, 0);
    const std::vector<std::uint8_t> zero(f.message_bytes, 0);
    for (int b = 0; b < f.lead_bits; ++b)
      set_bit(lead.data(), b, true, lsb);
    std::vector<std::uint8_t> with(ecc_bytes);
    std::vector<std::uint8_t> without(ecc_bytes);
    bch_encode(code, lead.data(), lead.size(), with.data());
    bch_encode(code, zero.data(), zero.size(), without.data());
    for (std::size_t j = 0; j < ecc_bytes; ++j)
      offset[j] = static_cast<std::uint8_t>(with[j] ^ without[j]);
  }
  // The engine XORs the mask on its ECC bytes; a bit step's mask goes on the span's bits, bit
  // j of the mask on parity bit j, which stands ecc_shift bits further on.
  if (layout.code.mask == layout_mask::bytes) {
    std::vector<std::uint8_t> wanted(ecc_bytes, 0);
    for (int j = 0; j < code.parity_bits; ++j)
      set_bit(wanted.data(), f.ecc_shift + j, get_bit(layout.code.mask_bytes.data(), j, lsb), lsb);
    for (std::size_t j = 0; j < ecc_bytes; ++j)
      offset[j] = static_cast<std::uint8_t>(offset[j] ^ layout.code.mask_bytes[j] ^ wanted[j]);
  }
  if (std::any_of(offset.begin(), offset.end(), [](std::uint8_t b) { return b != 0; }))
    f.ecc_offset = std::move(offset);
  return f;
}

void gather_frame_ecc(const step_frame& frame, const layout_step& step, bool lsb_first,
                      const unsigned char* page, unsigned char* ecc, int ecc_bytes) {
  std::fill(ecc, ecc + ecc_bytes, static_cast<unsigned char>(0));
  copy_bits(ecc, frame.ecc_shift, page, step.ecc.offset, step.ecc.length, lsb_first);
}

void scatter_frame_ecc(const step_frame& frame, const layout_step& step, bool lsb_first,
                       unsigned char* page, const unsigned char* ecc) {
  copy_bits(page, step.ecc.offset, ecc, frame.ecc_shift, step.ecc.length, lsb_first);
}

bool frame_fixes_to_step(const step_frame& frame, bool lsb_first, std::vector<bch_bit_fix>& fixes) {
  if (!frame.bits)
    return true;
  for (bch_bit_fix& f : fixes) {
    const std::int64_t k = 8 * std::int64_t{f.byte} + (lsb_first ? f.bit : 7 - f.bit);
    const std::int64_t first = f.in_ecc ? frame.ecc_shift : frame.lead_bits;
    if (k < first)
      return false;
    const std::int64_t j = k - first;
    f.byte = static_cast<std::uint32_t>(j / 8);
    f.bit = static_cast<std::uint8_t>(lsb_first ? j % 8 : 7 - j % 8);
  }
  return true;
}
