// The one step decoder of the search and of probe.
#include "detect/step_decoder.h"

#include <algorithm>  // std::all_of
#include <cstring>    // std::memcpy

#include "layout/bit_spans.h"  // gather_message_bits

bool nearly_erased(const std::uint8_t* bytes, std::size_t count, std::size_t allowed_zero_bits) {
  std::size_t zeros = 0;
  for (std::size_t i = 0; i < count; ++i) {
    zeros += static_cast<std::size_t>(__builtin_popcount(static_cast<std::uint8_t>(~bytes[i])));
    if (zeros > allowed_zero_bits)
      return false;
  }
  return true;
}

namespace {

// Mixes 8 bytes at a time; enough to tell steps apart, not meant to resist anyone.
std::uint64_t digest(std::uint64_t h, const std::uint8_t* bytes, std::size_t count) {
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    std::uint64_t w = 0;
    std::memcpy(&w, bytes + i, 8);
    h = (h ^ w) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  for (; i < count; ++i)
    h = (h ^ bytes[i]) * 0x100000001B3ull;
  return (h ^ (h >> 32) ^ count) * 0xBF58476D1CE4E5B9ull;
}

// `frame` null for a byte step gathered as it stands.
void decode_gathered(step_decoder& d, const bch_code& code, decode_count& count,
                     const step_frame* frame = nullptr, bool lsb_first = false) {
  bch_decode(code, d.message.data(), d.message.size(), d.ecc.data(), d.result,
             frame ? frame_offset(*frame) : nullptr);
  if (frame && !frame_fixes_to_step(*frame, lsb_first, d.result.fixes))
    d.result.status = bch_status::uncorrectable;
  const bch_status s = d.result.status;
  if (s == bch_status::erased) {
    ++count.erased;  // tells nothing about the code
    return;
  }
  // A bit step's lead bits are ones, not part of the message.
  const int lead = frame ? frame->lead_bits : 0;
  const auto lead_mask = static_cast<std::uint8_t>(lead == 0   ? 0
                                                   : lsb_first ? (1u << lead) - 1
                                                               : (0xFFu << (8 - lead)) & 0xFFu);
  if (s != bch_status::uncorrectable &&
      (d.message.empty() || ((d.message[0] & static_cast<std::uint8_t>(~lead_mask)) == 0 &&
                             std::all_of(d.message.begin() + 1, d.message.end(),
                                         [](std::uint8_t b) { return b == 0; })))) {
    ++count.blank;  // nor does the zero message, which every code with this mask holds
    return;
  }
  ++count.tried;
  ++(s == bch_status::clean       ? count.clean
     : s == bch_status::corrected ? count.corrected
                                  : count.uncorrectable);
  count.usable = count.clean + count.corrected;
  if (s == bch_status::corrected)
    count.bits += d.result.bits;
}

}  // namespace

bool first_sight(distinct_steps& d, const std::uint8_t* message, std::size_t message_bytes,
                 const std::uint8_t* ecc, std::size_t ecc_bytes) {
  return d.seen.insert(digest(digest(0, message, message_bytes), ecc, ecc_bytes)).second;
}

void decode_sample(step_decoder& d, const bch_code& code, const std::uint8_t* message,
                   std::size_t message_bytes, const std::uint8_t* ecc, std::size_t ecc_bytes,
                   decode_count& count) {
  d.message.assign(message, message + message_bytes);
  d.ecc.assign(ecc, ecc + ecc_bytes);
  decode_gathered(d, code, count);
}

void decode_framed_sample(step_decoder& d, const bch_code& code, const step_frame& frame,
                          bool lsb_first, const std::uint8_t* page, const layout_step& step,
                          decode_count& count) {
  if (!frame.bits) {
    decode_sample(d, code, page, step, count);
    return;
  }
  d.message.resize(frame.message_bytes);
  d.ecc.resize(static_cast<std::size_t>(code.ecc_bytes));
  gather_message_bits(page, step, lsb_first, d.message.data());
  gather_frame_ecc(frame, step, lsb_first, page, d.ecc.data(), code.ecc_bytes);
  decode_gathered(d, code, count, &frame, lsb_first);
}

void decode_sample(step_decoder& d, const bch_code& code, const std::uint8_t* page,
                   const layout_step& step, decode_count& count) {
  d.message.resize(static_cast<std::size_t>(step_message_bytes(step)));
  gather_message(page, step, d.message.data());
  d.ecc.assign(page + step.ecc.offset, page + step.ecc.offset + step.ecc.length);
  decode_gathered(d, code, count);
}
