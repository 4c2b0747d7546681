// A bit-level reference for steps that count bits, independent of the engine and of the bit
// copying in layout/: the generator from the construction library, the parity by long division
// over the message's bits one at a time, and each variant applied as its definition says.
#ifndef PAGOLINTH_TESTS_CODEC_BIT_REFERENCE_H_
#define PAGOLINTH_TESTS_CODEC_BIT_REFERENCE_H_

#include <cstdint>  // std::int64_t, std::uint8_t
#include <vector>   // std::vector

#include "bch/bch.h"        // mm, nn, tt, gg, rr, check_params, generate_gf, gen_poly
#include "layout/layout.h"  // nand_layout, layout_step, layout_mask

namespace bit_reference {

// g[i] = coefficient of x^i for the tabled polynomial of degree m; empty when there is none.
inline std::vector<int> generator(int m, int t) {
  mm = m;
  nn = (1 << m) - 1;
  tt = t;
  Parallel = 1;
  Verbose = 0;
  if (check_params() != nullptr)
    return {};
  generate_gf();
  gen_poly();
  return std::vector<int>(gg, gg + rr + 1);
}

// Bit b of a page, numbered as a bit step counts: from the most significant bit of each byte
// (msb) or from the least (lsb).
inline int bit(const std::vector<std::uint8_t>& bytes, std::int64_t b, bool lsb) {
  const int shift = lsb ? static_cast<int>(b % 8) : 7 - static_cast<int>(b % 8);
  return (bytes[static_cast<std::size_t>(b / 8)] >> shift) & 1;
}

inline void put(std::vector<std::uint8_t>& bytes, std::int64_t b, int value, bool lsb) {
  const int shift = lsb ? static_cast<int>(b % 8) : 7 - static_cast<int>(b % 8);
  auto& byte = bytes[static_cast<std::size_t>(b / 8)];
  byte = static_cast<std::uint8_t>((byte & ~(1 << shift)) | (value << shift));
}

// The remainder of message * x^r modulo g, from x^(r-1) down; message[0] is the highest power.
inline std::vector<int> parity(const std::vector<int>& message, const std::vector<int>& g) {
  const auto r = g.size() - 1;
  std::vector<int> w(message);
  w.resize(message.size() + r, 0);
  for (std::size_t i = 0; i < message.size(); ++i) {
    if (w[i] != 0) {
      for (std::size_t k = 0; k <= r; ++k)
        w[i + k] ^= g[r - k];
    }
  }
  return std::vector<int>(w.end() - static_cast<std::ptrdiff_t>(r), w.end());
}

// Raw-page bits of a bit step's message (data spans, then protected spans) and of its ECC span.
inline std::vector<std::int64_t> message_bits(const layout_step& step) {
  std::vector<std::int64_t> out;
  for (const auto* spans : {&step.data, &step.protected_})
    for (const layout_span& s : *spans)
      for (std::int64_t b = s.offset; b < s.offset + s.length; ++b)
        out.push_back(b);
  return out;
}
inline std::vector<std::int64_t> ecc_bits(const layout_step& step) {
  std::vector<std::int64_t> out;
  for (std::int64_t b = step.ecc.offset; b < step.ecc.offset + step.ecc.length; ++b)
    out.push_back(b);
  return out;
}

// The stored parity of a bit step of `page`: the parity of its message; under erased-ff XOR NOT
// the parity of an all-ones message of its length; under a byte mask, bit j XOR bit j of the
// mask bytes in the bit order.
inline std::vector<int> stored_parity(const std::vector<std::uint8_t>& page,
                                      const layout_step& step, const layout_code& code,
                                      const std::vector<int>& g) {
  std::vector<int> message;
  for (std::int64_t b : message_bits(step))
    message.push_back(bit(page, b, code.lsb_first));
  std::vector<int> p = parity(message, g);
  if (code.mask == layout_mask::erased_ff) {
    const std::vector<int> ones = parity(std::vector<int>(message.size(), 1), g);
    for (std::size_t j = 0; j < p.size(); ++j)
      p[j] ^= 1 ^ ones[j];
  } else if (code.mask == layout_mask::bytes) {
    for (std::size_t j = 0; j < p.size(); ++j)
      p[j] ^= bit(code.mask_bytes, static_cast<std::int64_t>(j), code.lsb_first);
  }
  return p;
}

// Writes every bit step's stored parity into its ECC span; byte steps are left alone.
inline void encode_page(std::vector<std::uint8_t>& page, const nand_layout& layout,
                        const std::vector<int>& g) {
  for (const layout_step& step : layout.steps) {
    if (!step.bits)
      continue;
    const std::vector<int> p = stored_parity(page, step, layout.code, g);
    const std::vector<std::int64_t> at = ecc_bits(step);
    for (std::size_t j = 0; j < p.size(); ++j)
      put(page, at[j], p[j], layout.code.lsb_first);
  }
}

}  // namespace bit_reference

#endif  // PAGOLINTH_TESTS_CODEC_BIT_REFERENCE_H_
