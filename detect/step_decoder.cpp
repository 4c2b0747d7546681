// The one step decoder of the search and of probe.
#include "detect/step_decoder.h"

#include <algorithm>  // std::copy

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

void decode_gathered(step_decoder& d, const bch_code& code, decode_count& count) {
  bch_decode(code, d.message.data(), d.message.size(), d.ecc.data(), d.result);
  const bch_status s = d.result.status;
  if (s == bch_status::erased) {
    ++count.erased;  // tells nothing about the code
    return;
  }
  ++count.tried;
  ++(s == bch_status::clean       ? count.clean
     : s == bch_status::corrected ? count.corrected
                                  : count.uncorrectable);
  count.usable = count.clean + count.corrected;
}

}  // namespace

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
