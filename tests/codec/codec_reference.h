// Plain references for the error-correction engine's tests and benchmark, independent of bch/
// and of the engine: the bit-serial shift-register encoder and the remainder by long division
// over the whole word, each with the bit convention and the controller variants applied as
// their definitions say (unused bits before or after the parity; ECC XOR NOT ECC(all-0xFF
// data); bits reversed within bytes; stored bytes XOR a mask).
#ifndef PAGOLINTH_TESTS_BCH_CODEC_REFERENCE_H_
#define PAGOLINTH_TESTS_BCH_CODEC_REFERENCE_H_

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint8_t, std::uint64_t
#include <vector>   // std::vector

namespace codec_reference {

struct Variant {
  bool lsb_first = false;  // bits within every byte read and written least significant first
  bool erased_ff = false;  // stored ECC = ECC XOR NOT ECC(all-0xFF data)
  bool pad_start = false;  // the unused ECC bits lead the first byte instead of ending the last
  std::vector<std::uint8_t> xor_bytes;  // when not empty: XORed on the stored ECC bytes
};

inline std::uint8_t reverse_bits(std::uint8_t b) {
  std::uint8_t out = 0;
  for (int i = 0; i < 8; ++i) {
    out = static_cast<std::uint8_t>(out | (((b >> i) & 1) << (7 - i)));
  }
  return out;
}

// The plain ECC bytes of the remainder coefficients rem[0 ... r-1] (rem[e] = coefficient of
// x^e): x^(r-1) first, most significant bit first, the unused bits zero, after the parity or
// before it.
inline std::vector<std::uint8_t> ecc_string(const std::vector<int>& rem, bool pad_start) {
  const int r = static_cast<int>(rem.size());
  const int bytes = (r + 7) / 8;
  const int shift = pad_start ? 0 : 8 * bytes - r;
  std::vector<std::uint8_t> out(static_cast<std::size_t>(bytes), 0);
  for (int e = 0; e < r; ++e) {
    if (rem[e] != 0) {
      const int q = e + shift;  // bit of the string, from the last byte's least significant
      out[bytes - 1 - q / 8] = static_cast<std::uint8_t>(out[bytes - 1 - q / 8] | (1 << (q % 8)));
    }
  }
  return out;
}

// Turns the plain ECC bytes of a parity into the variant's stored bytes: XOR with NOT the
// erased sector's plain ECC (`erased`, used only with erased_ff), then the bit order, then the
// stored XOR.
inline void apply_variant(std::vector<std::uint8_t>& ecc, const std::vector<std::uint8_t>& erased,
                          const Variant& v) {
  if (v.erased_ff) {
    for (std::size_t j = 0; j < ecc.size(); ++j) {
      ecc[j] = static_cast<std::uint8_t>(ecc[j] ^ ~erased[j]);
    }
  }
  if (v.lsb_first) {
    for (auto& b : ecc) {
      b = reverse_bits(b);
    }
  }
  if (!v.xor_bytes.empty()) {
    for (std::size_t j = 0; j < ecc.size(); ++j) {
      ecc[j] = static_cast<std::uint8_t>(ecc[j] ^ v.xor_bytes[j]);
    }
  }
}

// The generator polynomial g[0 ... r] (g[i] = coefficient of x^i, g[r] = 1) packed for the
// shift register: the low r coefficients in words, bit i = x^i.
class BitSerialEncoder {
 public:
  static constexpr int kMaxWords = 16;  // r up to 1024
  explicit BitSerialEncoder(const std::vector<int>& g)
      : r_(static_cast<int>(g.size()) - 1), words_((r_ + 63) / 64), low_(words_, 0), reg_(words_) {
    for (int i = 0; i < r_; ++i) {
      if (g[i] != 0) {
        low_[i / 64] |= std::uint64_t{1} << (i % 64);
      }
    }
  }

  int parity_bits() const { return r_; }
  int ecc_bytes() const { return (r_ + 7) / 8; }

  // The remainder of message * x^r modulo g, one message bit per step: the data bytes in
  // order, each from its most significant bit (or least, with lsb_first). Result words as in
  // the register, bit i = coefficient of x^i.
  const std::vector<std::uint64_t>& parity(const std::uint8_t* data, std::size_t bytes,
                                           bool lsb_first = false) {
    run<1>(data, bytes, lsb_first);
    return reg_;
  }

  // The stored ECC bytes of the variant: parity from x^(r-1) down, most significant bit first,
  // zero unused bits after or before it; then the mask, the bit order and the stored XOR.
  std::vector<std::uint8_t> ecc(const std::uint8_t* data, std::size_t bytes, const Variant& v) {
    std::vector<std::uint8_t> out =
        ecc_string(coefficients(parity(data, bytes, v.lsb_first)), v.pad_start);
    std::vector<std::uint8_t> erased;
    if (v.erased_ff) {
      const std::vector<std::uint8_t> ones(bytes, 0xFF);
      erased = ecc_string(coefficients(parity(ones.data(), bytes, v.lsb_first)), v.pad_start);
    }
    apply_variant(out, erased, v);
    return out;
  }

 private:
  // The register as W local words (so it stays in registers and the data cannot alias it),
  // W the first width that holds r.
  template <int W>
  void run(const std::uint8_t* data, std::size_t bytes, bool lsb_first) {
    if constexpr (W < kMaxWords) {
      if (W < words_) {
        run<W + 1>(data, bytes, lsb_first);
        return;
      }
    }
    std::uint64_t reg[W] = {};
    std::uint64_t low[W] = {};
    for (int w = 0; w < W; ++w) {
      low[w] = low_[w];
    }
    const int top_bit = (r_ - 1) % 64;
    const std::uint64_t keep =
        r_ % 64 != 0 ? (std::uint64_t{1} << (r_ % 64)) - 1 : ~std::uint64_t{0};
    for (std::size_t i = 0; i < bytes; ++i) {
      for (int k = 7; k >= 0; --k) {
        const auto bit = static_cast<std::uint64_t>((data[i] >> (lsb_first ? 7 - k : k)) & 1);
        const std::uint64_t feedback = bit ^ ((reg[W - 1] >> top_bit) & 1);
        for (int w = W - 1; w > 0; --w) {
          reg[w] = (reg[w] << 1) | (reg[w - 1] >> 63);
        }
        reg[0] <<= 1;
        reg[W - 1] &= keep;
        const std::uint64_t mask = 0 - feedback;
        for (int w = 0; w < W; ++w) {
          reg[w] ^= low[w] & mask;
        }
      }
    }
    for (int w = 0; w < W; ++w) {
      reg_[w] = reg[w];
    }
  }

  std::vector<int> coefficients(const std::vector<std::uint64_t>& p) const {
    std::vector<int> out(static_cast<std::size_t>(r_), 0);
    for (int e = 0; e < r_; ++e) {
      out[e] = static_cast<int>((p[e / 64] >> (e % 64)) & 1);
    }
    return out;
  }

  int r_;
  int words_;
  std::vector<std::uint64_t> low_;
  std::vector<std::uint64_t> reg_;
};

// The stored ECC bytes by long division: the word message * x^r written out as one
// coefficient per element, g subtracted wherever the leading coefficient is 1, the remainder
// read off; the variant applied as in BitSerialEncoder::ecc.
inline std::vector<std::uint8_t> long_division_ecc(const std::vector<int>& g,
                                                   const std::uint8_t* data, std::size_t bytes,
                                                   const Variant& v) {
  const int r = static_cast<int>(g.size()) - 1;
  auto remainder = [&](bool ones) {
    std::vector<int> w(8 * bytes + static_cast<std::size_t>(r), 0);
    for (std::size_t i = 0; i < bytes; ++i) {
      const std::uint8_t byte = ones ? std::uint8_t{0xFF} : data[i];
      const std::uint8_t logical = v.lsb_first ? reverse_bits(byte) : byte;
      for (int k = 0; k < 8; ++k) {
        w[static_cast<std::size_t>(r) + 8 * (bytes - 1 - i) + k] = (logical >> k) & 1;
      }
    }
    for (std::size_t e = w.size(); e-- > static_cast<std::size_t>(r);) {
      if (w[e] != 0) {
        for (int k = 0; k <= r; ++k) {
          w[e - r + k] ^= g[k];
        }
      }
    }
    w.resize(static_cast<std::size_t>(r));
    return ecc_string(w, v.pad_start);
  };
  std::vector<std::uint8_t> out = remainder(false);
  apply_variant(out, v.erased_ff ? remainder(true) : std::vector<std::uint8_t>{}, v);
  return out;
}

}  // namespace codec_reference

#endif  // PAGOLINTH_TESTS_BCH_CODEC_REFERENCE_H_
