// A layout's step as the engine takes it: where its message and ECC stand, and for a step
// that counts bits, the buffers the engine works on, gathered from the raw page and scattered
// back, with the fixes it reports turned into the step's own bit positions.
#pragma once

#include <cstddef>  // std::size_t
#include <cstdint>  // std::int64_t, std::uint8_t
#include <vector>   // std::vector

#include "codec/codec.h"    // bch_code, bch_bit_fix
#include "layout/layout.h"  // nand_layout, layout_step

// Worked out once a pass for each step.
//
// A bit step's message of L bits is held in ceil(L / 8) bytes behind lead bits set to one, so
// that an erased step reads all ones in the buffer as on the chip; its r parity bits stand in
// the code's ECC bytes where the code puts its parity (after the unused bits when its pad is
// at the start). The lead bits' share of the parity, and a mask that must cover the span's
// bits rather than the ECC bytes, go into ecc_offset, which the engine XORs on what it stores.
struct step_frame {
  bool bits = false;                // a bit step
  bool contiguous = false;          // a byte step whose message is decoded where it stands
  std::int64_t message_offset = 0;  // with contiguous: where the message starts
  // A byte step whose message lies in two runs of adjacent spans (data, then protected spare
  // bytes), which check decodes where they lie: where each starts and its length.
  bool in_two = false;
  std::int64_t head_offset = 0;
  std::size_t head_bytes = 0;
  std::int64_t tail_offset = 0;
  std::size_t tail_bytes = 0;
  std::size_t message_bytes = 0;         // the engine's message: step_message_bytes
  int lead_bits = 0;                     // bit step: ones before the message (0 ... 7)
  int ecc_shift = 0;                     // bit step: bit of the ECC bytes holding parity bit 0
  std::vector<std::uint8_t> ecc_offset;  // bit step: code.ecc_bytes bytes, or empty for none
};

// The frame of `step`.
// REQUIRES: check_layout(layout) passed; `code` built for it, check_layout_code passed; `step`
// one of layout.steps.
step_frame frame_step(const nand_layout& layout, const bch_code& code, const layout_step& step);

// What bch_encode and bch_decode take as ecc_offset for the step: nullptr for none.
inline const std::uint8_t* frame_offset(const step_frame& frame) {
  return frame.ecc_offset.empty() ? nullptr : frame.ecc_offset.data();
}

// Copies a bit step's parity bits from the raw page into `ecc` (code.ecc_bytes bytes; its
// unused bits set to zero), and back, leaving the page's other bits as they were.
// REQUIRES: frame_step made `frame` for this bit step.
void gather_frame_ecc(const step_frame& frame, const layout_step& step, bool lsb_first,
                      const unsigned char* page, unsigned char* ecc, int ecc_bytes);
void scatter_frame_ecc(const step_frame& frame, const layout_step& step, bool lsb_first,
                       unsigned char* page, const unsigned char* ecc);

// Turns the engine's fixes on a bit step's buffers into the step's positions: bit j of its
// message or of its parity as byte j / 8 and bit j % 8 of it in the bit order (0 = least
// significant, as for byte steps). Returns false, and leaves `fixes` unspecified, when one lies
// on a lead bit: the step is then not within t bits of a codeword of its own. A byte step's
// fixes are left as they are.
bool frame_fixes_to_step(const step_frame& frame, bool lsb_first, std::vector<bch_bit_fix>& fixes);
