// Copying runs of bits: a byte at a time at the edges, eight bytes at a time in between, so
// that gathering a bit step costs about what copying its bytes does.
#include "layout/bit_spans.h"

#include <cstdint>  // std::uint64_t
#include <cstring>  // std::memcpy
#include <vector>   // std::vector

namespace {

// Eight bytes as one number whose first byte is the most significant (msb-first order) or
// the least (lsb-first order), so that the page's bits run in one direction through it.
// One load and at most a byte swap where the compiler says the byte order.
std::uint64_t load_word(const unsigned char* p, bool lsb_first) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return lsb_first ? w : __builtin_bswap64(w);
#else
  std::uint64_t w = 0;
  for (int i = 0; i < 8; ++i)
    w = lsb_first ? w | std::uint64_t{p[i]} << (8 * i) : w << 8 | p[i];
  return w;
#endif
}

void store_word(unsigned char* p, std::uint64_t w, bool lsb_first) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (!lsb_first)
    w = __builtin_bswap64(w);
  std::memcpy(p, &w, 8);
#else
  for (int i = 0; i < 8; ++i)
    p[i] = static_cast<unsigned char>(lsb_first ? w >> (8 * i) : w >> (56 - 8 * i));
#endif
}

// Byte q of src as it would stand if src's bits were moved `s` (1 ... 7) bits earlier.
unsigned char shifted_byte(const unsigned char* src, std::int64_t q, int s, bool lsb_first) {
  if (lsb_first)
    return static_cast<unsigned char>(src[q] >> s | src[q + 1] << (8 - s));
  return static_cast<unsigned char>(src[q] << s | src[q + 1] >> (8 - s));
}

}  // namespace

bool get_bit(const unsigned char* bytes, std::int64_t b, bool lsb_first) {
  const int bit = lsb_first ? static_cast<int>(b % 8) : 7 - static_cast<int>(b % 8);
  return (bytes[b / 8] >> bit) & 1;
}

void set_bit(unsigned char* bytes, std::int64_t b, bool value, bool lsb_first) {
  const int bit = lsb_first ? static_cast<int>(b % 8) : 7 - static_cast<int>(b % 8);
  unsigned char& byte = bytes[b / 8];
  byte = static_cast<unsigned char>(value ? byte | 1u << bit : byte & ~(1u << bit));
}

void copy_bits(unsigned char* dst, std::int64_t to, const unsigned char* src, std::int64_t from,
               std::int64_t count, bool lsb_first) {
  // Single bits until dst stands on a byte.
  for (; count > 0 && to % 8 != 0; ++to, ++from, --count)
    set_bit(dst, to, get_bit(src, from, lsb_first), lsb_first);
  const std::int64_t bytes = count / 8;
  unsigned char* d = dst + to / 8;
  const std::int64_t q = from / 8;
  const int s = static_cast<int>(from % 8);
  if (s == 0) {
    std::memcpy(d, src + q, static_cast<std::size_t>(bytes));
  } else {
    // Each output byte takes bits from two source bytes; the last one read, src[q + bytes],
    // still holds bits of the run because s > 0.
    std::int64_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
      const std::uint64_t a = load_word(src + q + i, lsb_first);
      const std::uint64_t next = src[q + i + 8];
      const std::uint64_t w = lsb_first ? a >> s | next << (64 - s) : a << s | next >> (8 - s);
      store_word(d + i, w, lsb_first);
    }
    for (; i < bytes; ++i)
      d[i] = shifted_byte(src, q + i, s, lsb_first);
  }
  to += 8 * bytes;
  from += 8 * bytes;
  count -= 8 * bytes;
  for (; count > 0; ++to, ++from, --count)
    set_bit(dst, to, get_bit(src, from, lsb_first), lsb_first);
}

int message_lead_bits(const layout_step& step) {
  if (!step.bits)
    return 0;
  return static_cast<int>(8 * step_message_bytes(step) - step_message_bits(step));
}

std::int64_t gather_span_bits(const unsigned char* page, const std::vector<layout_span>& spans,
                              bool lsb_first, unsigned char* out, std::int64_t at) {
  for (const layout_span& s : spans) {
    copy_bits(out, at, page, s.offset, s.length, lsb_first);
    at += s.length;
  }
  return at;
}

std::int64_t scatter_span_bits(unsigned char* page, const std::vector<layout_span>& spans,
                               bool lsb_first, const unsigned char* in, std::int64_t at) {
  for (const layout_span& s : spans) {
    copy_bits(page, s.offset, in, at, s.length, lsb_first);
    at += s.length;
  }
  return at;
}

void gather_message_bits(const unsigned char* page, const layout_step& step, bool lsb_first,
                         unsigned char* message) {
  const int lead = message_lead_bits(step);
  // The lead bits are ones, so that an erased step reads all ones in the engine's buffer too.
  if (lead > 0)
    message[0] = 0xFF;
  const std::int64_t at = gather_span_bits(page, step.data, lsb_first, message, lead);
  gather_span_bits(page, step.protected_, lsb_first, message, at);
}

void scatter_message_bits(unsigned char* page, const layout_step& step, bool lsb_first,
                          const unsigned char* message) {
  const std::int64_t at =
      scatter_span_bits(page, step.data, lsb_first, message, message_lead_bits(step));
  scatter_span_bits(page, step.protected_, lsb_first, message, at);
}
