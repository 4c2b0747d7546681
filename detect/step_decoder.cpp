// The one step decoder of the search and of probe.
#include "detect/step_decoder.h"

#include <algorithm>  // std::all_of
#include <cstring>    // std::memcpy

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

void decode_gathered(step_decoder& d, const bch_code& code, decode_count& count) {
  bch_decode(code, d.message.data(), d.message.size(), d.ecc.data(), d.result);
  const bch_status s = d.result.status;
  if (s == bch_status::erased) {
    ++count.erased;  // tells nothing about the code
    return;
  }
  if (s != bch_status::uncorrectable &&
      std::all_of(d.message.begin(), d.message.end(), [](std::uint8_t b) { return b == 0; })) {
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

void decode_sample(step_decoder& d, const bch_code& code, const std::uint8_t* page,
                   const layout_step& step, decode_count& count) {
  d.message.resize(static_cast<std::size_t>(step_message_bytes(step)));
  gather_message(page, step, d.message.data());
  d.ecc.assign(page + step.ecc.offset, page + step.ecc.offset + step.ecc.length);
  decode_gathered(d, code, count);
}
