// Runs of bits of a raw page, for the steps of a layout that count bits: copying them between
// a page and the engine's buffers. Bits of a page or buffer are numbered as a bit step counts
// them: bit b is bit 7 - b % 8 of byte b / 8 in msb-first order, bit b % 8 in lsb-first order.
#pragma once

#include <cstdint>  // std::int64_t
#include <vector>   // std::vector

#include "layout/layout.h"  // layout_step, layout_span

// Which bit of its byte bit b is, 0 = least significant: 7 - b % 8 in msb-first order.
inline int stored_bit(std::int64_t b, bool lsb_first) {
  return lsb_first ? static_cast<int>(b % 8) : 7 - static_cast<int>(b % 8);
}

// Bit b of `bytes`, and setting it.
// REQUIRES: b >= 0 and inside the buffer.
bool get_bit(const unsigned char* bytes, std::int64_t b, bool lsb_first);
void set_bit(unsigned char* bytes, std::int64_t b, bool value, bool lsb_first);

// Copies `count` bits from bit `from` of `src` to bit `to` of `dst`, leaving every other bit
// of `dst` as it was.
// REQUIRES: count >= 0; both runs inside their buffers; the two do not overlap.
void copy_bits(unsigned char* dst, std::int64_t to, const unsigned char* src, std::int64_t from,
               std::int64_t count, bool lsb_first);

// Bits before a bit step's message in the engine's buffer of step_message_bytes bytes:
// 8 * step_message_bytes - step_message_bits (0 ... 7). 0 for a byte step.
int message_lead_bits(const layout_step& step);

// Copies a bit step's message (data bits, then protected bits) out of a raw page into
// `message` (step_message_bytes bytes): its lead bits set to one, the message's bits after
// them. And back, leaving every other bit of the page as it was.
// REQUIRES: the step is a bit step of a layout that passed check_layout; `page` a raw page.
void gather_message_bits(const unsigned char* page, const layout_step& step, bool lsb_first,
                         unsigned char* message);
void scatter_message_bits(unsigned char* page, const layout_step& step, bool lsb_first,
                          const unsigned char* message);

// Copies the bits of the spans (offsets and lengths in bits), one after the other, to `out`
// from bit `at` on, and back; returns the bit after the last one copied.
// REQUIRES: as for copy_bits.
std::int64_t gather_span_bits(const unsigned char* page, const std::vector<layout_span>& spans,
                              bool lsb_first, unsigned char* out, std::int64_t at);
std::int64_t scatter_span_bits(unsigned char* page, const std::vector<layout_span>& spans,
                               bool lsb_first, const unsigned char* in, std::int64_t at);
