// Parity of a sector: the constants every kernel needs (powers of x modulo g), the portable
// slicing-by-8 kernel, which takes eight data bytes per step through eight 256-entry tables,
// and the choice among it and the carry-less kernels; also the powers of x that prove a
// correction without encoding the step again.
#include "codec/codec_internal.h"  // bch_code_tables, bch_parity_kernel, kernels

#include <algorithm>  // std::copy
#include <array>      // std::array
#include <cstddef>    // std::size_t
#include <cstdint>    // std::uint8_t, std::uint64_t
#include <utility>    // std::index_sequence, std::make_index_sequence
#include <vector>     // std::vector

namespace {

// Big-endian 64-bit load: the first byte lands in the top eight bits.
inline std::uint64_t load_be64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) {
    v = (v << 8) | p[i];
  }
  return v;
}

inline std::uint8_t reverse_bits(std::uint8_t b) {
  return static_cast<std::uint8_t>(bch_reverse_bits_in_bytes(b));
}

// The state stays left-aligned (x^(r-1) at bit 63 of the top word), so that the eight state
// bits a data byte meets are always the top byte, whatever r is; the tables are aligned alike.
// Carries the state s on over `bytes` data bytes, eight at a time, then one at a time. W is
// the count of words when fixed at compile time, else 0 and `runtime_words` holds it.
template <int W>
inline void slice_steps(const bch_code_tables& tb, const std::uint8_t* data, std::size_t bytes,
                        std::uint64_t* s, int runtime_words) {
  const int words = W != 0 ? W : runtime_words;
  const auto stride = static_cast<std::size_t>(words);
  const std::uint64_t* table = tb.slices.data();
  const std::uint64_t invert = tb.invert;
  const bool reflect = tb.lsb_first;
  std::size_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    std::uint64_t w = load_be64(data + i) ^ invert;
    if (reflect) {
      w = bch_reverse_bits_in_bytes(w);
    }
    // (S x^64 + W x^r) mod g: the top word meets the data, the rest moves up one word.
    const std::uint64_t v = s[words - 1] ^ w;
    for (int q = words - 1; q > 0; --q) {
      s[q] = s[q - 1];
    }
    s[0] = 0;
    for (int k = 0; k < 8; ++k) {
      const std::uint64_t* e =
          table + (static_cast<std::size_t>(k) * 256 + ((v >> (8 * k)) & 0xFF)) * stride;
      for (int q = 0; q < words; ++q) {
        s[q] ^= e[q];
      }
    }
  }
  for (; i < bytes; ++i) {
    std::uint8_t b = static_cast<std::uint8_t>(data[i] ^ invert);
    if (reflect) {
      b = reverse_bits(b);
    }
    // (S x^8 + b x^r) mod g, from the first slice: v(x) x^r mod g.
    const std::uint64_t v = (s[words - 1] >> 56) ^ b;
    for (int q = words - 1; q > 0; --q) {
      s[q] = (s[q] << 8) | (s[q - 1] >> 56);
    }
    s[0] <<= 8;
    const std::uint64_t* e = table + v * stride;
    for (int q = 0; q < words; ++q) {
      s[q] ^= e[q];
    }
  }
}

template <int Words>
void slice_parity(const bch_code_tables& tb, const std::uint8_t* data, std::size_t bytes,
                  std::uint64_t* aligned) {
  std::uint64_t s[Words] = {};
  slice_steps<Words>(tb, data, bytes, s, Words);
  for (int q = 0; q < Words; ++q) {
    aligned[q] = s[q];
  }
}

template <std::size_t... I>
constexpr std::array<bch_parity_kernel, sizeof...(I)> portable_kernels(std::index_sequence<I...>) {
  return {&slice_parity<static_cast<int>(I) + 1>...};
}

constexpr auto kPortable = portable_kernels(std::make_index_sequence<kCodecMaxWords>());

// Powers of x modulo g on `words` words, bit i = coefficient of x^i, degree below r.
class power_sweep {
 public:
  power_sweep(const std::vector<std::uint64_t>& g, int r, int words)
      : g_(g), r_(r), words_(words), v_(words, 0) {
    v_[0] = 1;
  }
  // Advances to x^e, e >= the current exponent, and returns it.
  const std::vector<std::uint64_t>& at(long e) {
    for (; e_ < e; ++e_) {
      times_x();
    }
    return v_;
  }

 private:
  void times_x() {
    const int top_word = (r_ - 1) / 64;
    const std::uint64_t top = (v_[top_word] >> ((r_ - 1) % 64)) & 1;
    for (int w = words_ - 1; w > 0; --w) {
      v_[w] = (v_[w] << 1) | (v_[w - 1] >> 63);
    }
    v_[0] <<= 1;
    if (r_ % 64 != 0) {
      v_[r_ / 64] &= ~(std::uint64_t{1} << (r_ % 64));
    }
    // x^r = g - x^r over GF(2).
    if (top != 0) {
      for (int w = 0; w < words_; ++w) {
        v_[w] ^= g_[w];
      }
    }
  }

  const std::vector<std::uint64_t>& g_;
  int r_;
  int words_;
  long e_ = 0;
  std::vector<std::uint64_t> v_;
};

// v * x^shift on `words` words, dropping nothing: the caller keeps the degree below 64 * words.
void shift_left(const std::uint64_t* v, int words, int shift, std::uint64_t* out) {
  for (int w = words - 1; w >= 0; --w) {
    out[w] = shift == 0 ? v[w] : (v[w] << shift) | (w > 0 ? v[w - 1] >> (64 - shift) : 0);
  }
}

}  // namespace

bool bch_build_parity_tables(bch_code_tables& tb, const int* g, bch_kernel kernel) {
  const int r = tb.r;
  const int words = tb.words;
  const auto wsize = static_cast<std::size_t>(words);
  tb.generator.assign(wsize, 0);
  for (int i = 0; i < r; ++i) {
    if (g[i] != 0) {
      tb.generator[i / 64] |= std::uint64_t{1} << (i % 64);
    }
  }

  // Slicing tables, by linearity from the aligned x^(e + r) mod g, e = 0 ... 63.
  const int align = 64 * words - r;
  std::vector<std::uint64_t> basis(64 * wsize);
  {
    power_sweep sweep(tb.generator, r, words);
    for (int e = 0; e < 64; ++e) {
      shift_left(sweep.at(e + r).data(), words, align, &basis[e * wsize]);
    }
  }
  tb.slices.assign(kSliceTableWords * wsize, 0);
  for (int k = 0; k < 8; ++k) {
    for (int v = 1; v < 256; ++v) {
      std::uint64_t* entry = &tb.slices[(static_cast<std::size_t>(k) * 256 + v) * wsize];
      for (int b = 0; b < 8; ++b) {
        if ((v >> b) & 1) {
          for (int q = 0; q < words; ++q) {
            entry[q] ^= basis[(8 * k + b) * wsize + q];
          }
        }
      }
    }
  }

  if (kernel == bch_kernel::automatic) {
    kernel = bch_kernel_supported(bch_kernel::clmul_512)    ? bch_kernel::clmul_512
             : bch_kernel_supported(bch_kernel::clmul_wide) ? bch_kernel::clmul_wide
             : bch_kernel_supported(bch_kernel::clmul)      ? bch_kernel::clmul
                                                            : bch_kernel::portable;
  }
  // Folding constants: moving a state word up by k blocks of `state` words, k = 1 ... span,
  // and the final multiplication by x^r.
  const int state =
      kernel == bch_kernel::clmul_512 ? bch_fold_words_512(words) : bch_fold_words(words);
  const auto pairs = static_cast<std::size_t>(state / 2);
  tb.fold.assign(kFoldSpan * pairs * wsize * 2, 0);
  tb.finish.assign(pairs * wsize * 2, 0);
  for (int k = 1; k <= kFoldSpan; ++k) {
    power_sweep sweep(tb.generator, r, words);
    for (int j = 0; j < state; ++j) {
      const auto& f = sweep.at(64L * (j + k * state));
      for (int w = 0; w < words; ++w) {
        tb.fold[(((k - 1) * wsize + w) * pairs + j / 2) * 2 + j % 2] = f[w];
      }
    }
  }
  {
    power_sweep sweep(tb.generator, r, words);
    for (int j = 0; j < state; ++j) {
      const auto& c = sweep.at(64L * j + r);
      for (int w = 0; w < words; ++w) {
        tb.finish[(w * pairs + j / 2) * 2 + j % 2] = c[w];
      }
    }
  }
  // floor(x^(r + 64) / g) by long division; its top term is x^64, the rest 64 bits.
  {
    std::vector<std::uint8_t> rem(static_cast<std::size_t>(r) + 65, 0);
    rem[r + 64] = 1;
    tb.barrett = 0;
    for (int e = r + 64; e >= r; --e) {
      if (rem[e] == 0) {
        continue;
      }
      if (e - r < 64) {
        tb.barrett |= std::uint64_t{1} << (e - r);
      }
      for (int i = 0; i <= r; ++i) {
        rem[e - r + i] ^= static_cast<std::uint8_t>(g[i]);
      }
    }
  }

  tb.kernel = kernel;
  tb.parity = kernel == bch_kernel::portable ? kPortable[words - 1]
                                             : bch_clmul_kernel(kernel, words, tb.lsb_first);
  return tb.parity != nullptr;
}

const char* bch_kernel_name(bch_kernel kernel) {
  switch (kernel) {
    case bch_kernel::portable:
      return "portable";
    case bch_kernel::clmul:
      return "clmul";
    case bch_kernel::clmul_wide:
      return "clmul_wide";
    case bch_kernel::clmul_512:
      return "clmul_512";
    default:
      return "automatic";
  }
}

void bch_build_power_tables(bch_code_tables& tb, std::size_t max_data_bytes) {
  tb.byte_powers.clear();
  tb.overflow_powers.clear();
  const auto wsize = static_cast<std::size_t>(tb.words);
  if (max_data_bytes * wsize * sizeof(std::uint64_t) > kPowerTableBytes) {
    return;
  }
  tb.byte_powers.assign(max_data_bytes * wsize, 0);
  tb.overflow_powers.assign(128 * wsize, 0);
  power_sweep sweep(tb.generator, tb.r, tb.words);
  for (std::size_t v = 0; v < max_data_bytes; ++v) {
    const auto& p = sweep.at(tb.r + 8L * static_cast<long>(v));
    std::copy(p.begin(), p.end(), tb.byte_powers.begin() + static_cast<long>(v * wsize));
  }
  // o(x) x^r mod g by linearity from x^(r + k), k = 0 ... 6: the bits that x^k, k < 8, lifts
  // past x^(r-1).
  power_sweep low(tb.generator, tb.r, tb.words);
  for (int k = 0; k < 7; ++k) {
    const auto& p = low.at(tb.r + k);
    for (int o = 1; o < 128; ++o) {
      if ((o >> k) & 1) {
        for (std::size_t w = 0; w < wsize; ++w) {
          tb.overflow_powers[static_cast<std::size_t>(o) * wsize + w] ^= p[w];
        }
      }
    }
  }
}

void bch_parity_continue(const bch_code_tables& tb, const std::uint8_t* data, std::size_t bytes,
                         std::uint64_t* aligned) {
  // Eight bytes to a step, whose eight lookups do not wait for each other.
  slice_steps<0>(tb, data, bytes, aligned, tb.words);
}

bool bch_flips_cancel(const bch_code_tables& tb, const std::uint8_t* remainder,
                      const int* positions, int count) {
  const int words = tb.words;
  const int r = tb.r;
  // The remainder as words: logical bit q (from the last byte's least significant bit) is
  // x^(q - parity_shift); the unused bits are zero. The bytes are one big-endian number, read
  // eight at a time from its end (ceil(ecc_bytes / 8) = words loads), then moved down.
  std::uint64_t acc[kCodecMaxWords + 1];
  for (int w = 0; w < words; ++w) {
    const int end = tb.ecc_bytes - 8 * w;  // one past word w's last byte
    if (end >= 8) {
      acc[w] = load_be64(remainder + end - 8);
    } else {
      std::uint64_t v = 0;
      for (int i = 0; i < end; ++i) {
        v = (v << 8) | remainder[i];
      }
      acc[w] = v;
    }
  }
  acc[words] = 0;
  if (const int s = tb.parity_shift; s != 0) {
    for (int w = 0; w < words; ++w) {
      acc[w] = (acc[w] >> s) | (acc[w + 1] << (64 - s));
    }
  }
  const int top = (r - 1) / 64;
  const std::uint64_t top_mask =
      r % 64 == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << (r % 64)) - 1;
  for (int i = 0; i < count; ++i) {
    const int p = positions[i];
    if (p < r) {
      acc[p / 64] ^= std::uint64_t{1} << (p % 64);
      continue;
    }
    // x^(r + 8 v + k) = x^k x^(r + 8 v): moved up k places, the bits past x^(r-1) folded
    // back through overflow_powers.
    const int u = p - r;
    const int k = u % 8;
    const std::uint64_t* e = tb.byte_powers.data() + static_cast<std::size_t>(u / 8) * words;
    if (k == 0) {
      for (int w = 0; w < words; ++w) {
        acc[w] ^= e[w];
      }
      continue;
    }
    // The bits lifted out, bits r - k ... r - 1 of e; below r = k (m = 5, t = 1 has r = 5)
    // all of e is lifted, k - r places up.
    const int high = r - k;
    const auto out = high < 0
                         ? static_cast<unsigned>(e[0] << (k - r))
                         : static_cast<unsigned>(
                               ((e[high / 64] >> (high % 64)) |
                                (high % 64 + k > 64 ? e[high / 64 + 1] << (64 - high % 64) : 0)) &
                               ((1u << k) - 1));
    const std::uint64_t* fold = tb.overflow_powers.data() + static_cast<std::size_t>(out) * words;
    for (int w = 0; w < words; ++w) {
      std::uint64_t moved = (e[w] << k) | (w > 0 ? e[w - 1] >> (64 - k) : 0);
      if (w == top) {
        moved &= top_mask;
      }
      acc[w] ^= moved ^ fold[w];
    }
  }
  std::uint64_t any = 0;
  for (int w = 0; w < words; ++w) {
    any |= acc[w];
  }
  return any == 0;
}
