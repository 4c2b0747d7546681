// Tests of the error-correction engine: encoding against known answers, the bit-serial encoder
// and the long division, on both parity kernels with every bit order and mask; correction of
// every weight up to t; nothing but verified codewords beyond t; erased sectors; pad bits;
// parameters, several codes at once and decoding from two threads.
#include "bch/bch.h"                    // gg, rr: the generator of the code built last
#include "codec/codec.h"                  // the engine under test
#include "codec/codec_internal.h"         // bch_kernel, bch_code_init_with_kernel
#include "tests/codec/codec_reference.h"  // BitSerialEncoder, long_division_ecc
#include "tests/bch/reference.h"        // known_codes, hex_to_bits

#include <gtest/gtest.h>  // TEST, EXPECT_*, ASSERT_*, SCOPED_TRACE

#include <algorithm>  // std::sort, std::min
#include <cstdint>    // std::uint8_t, std::uint32_t
#include <random>     // std::mt19937_64
#include <set>        // std::set
#include <sstream>    // std::ostringstream
#include <string>     // std::string
#include <thread>     // std::thread
#include <tuple>      // std::tie
#include <vector>     // std::vector

namespace {

using codec_reference::Variant;
using Bytes = std::vector<std::uint8_t>;

constexpr Variant kVariants[] = {{false, false}, {true, false}, {false, true}, {true, true}};

std::string describe(int m, int t, Variant v, bch_kernel kernel = bch_kernel::automatic) {
  std::ostringstream s;
  s << "m=" << m << " t=" << t << (v.lsb_first ? " lsb_first" : " msb_first")
    << (v.erased_ff ? " erased_ff" : " no_mask") << " " << bch_kernel_name(kernel);
  return s.str();
}

bch_code build(int m, int t, Variant v, bch_kernel kernel = bch_kernel::automatic) {
  bch_code code;
  bch_code_options o;
  o.bit_order = v.lsb_first ? bch_bit_order::lsb_first : bch_bit_order::msb_first;
  o.ecc_mask = v.erased_ff ? bch_ecc_mask::erased_ff : bch_ecc_mask::none;
  const std::string error = bch_code_init_with_kernel(code, m, t, o, kernel);
  EXPECT_EQ(error, "") << describe(m, t, v, kernel);
  return code;
}

// The kernels this processor runs.
std::vector<bch_kernel> kernels() {
  std::vector<bch_kernel> k;
  for (bch_kernel kernel : {bch_kernel::portable, bch_kernel::clmul, bch_kernel::clmul_wide}) {
    if (bch_kernel_supported(kernel)) {
      k.push_back(kernel);
    }
  }
  return k;
}

// g of (m, t) from PARI/GP's known answers, g[i] = coefficient of x^i; empty when not listed.
std::vector<int> known_generator(int m, int t) {
  static const auto codes = bch_reference::known_codes(PAGOLINTH_KNOWN_CODES);
  for (const auto& c : codes) {
    if (c.m == m && c.t == t) {
      return bch_reference::hex_to_bits(c.hex, c.r + 1);
    }
  }
  return {};
}

Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
  Bytes b(n);
  for (auto& x : b) {
    x = static_cast<std::uint8_t>(rng());
  }
  return b;
}

std::string hex(const Bytes& b) {
  std::ostringstream s;
  for (auto x : b) {
    s << "0123456789abcdef"[x >> 4] << "0123456789abcdef"[x & 15];
  }
  return s.str();
}

// A stored bit: data or ECC, byte, bit (0 = least significant).
struct Bit {
  bool in_ecc;
  std::uint32_t byte;
  int bit;
  bool operator<(const Bit& o) const {
    return std::tie(in_ecc, byte, bit) < std::tie(o.in_ecc, o.byte, o.bit);
  }
};

std::string describe(const std::vector<Bit>& bits) {
  std::ostringstream s;
  s << "flips:";
  for (const Bit& b : bits) {
    s << (b.in_ecc ? " ecc" : " data") << "[" << b.byte << "]." << b.bit;
  }
  return s.str();
}

// Whether bit `bit` of the last ECC byte holds parity (else it is padding): padding takes the
// low bits of the logical byte, the high ones as stored with lsb_first.
bool real_ecc_bit(const bch_code& code, std::uint32_t byte, int bit) {
  if (static_cast<int>(byte) != code.ecc_bytes - 1) {
    return true;
  }
  const int pad = 8 * code.ecc_bytes - code.parity_bits;
  return code.options.bit_order == bch_bit_order::lsb_first ? bit < 8 - pad : bit >= pad;
}

// Every data bit and real ECC bit of a sector of `bytes` data bytes.
std::vector<Bit> real_bits(const bch_code& code, std::size_t bytes) {
  std::vector<Bit> all;
  for (std::uint32_t i = 0; i < bytes; ++i) {
    for (int b = 0; b < 8; ++b) {
      all.push_back({false, i, b});
    }
  }
  for (std::uint32_t j = 0; j < static_cast<std::uint32_t>(code.ecc_bytes); ++j) {
    for (int b = 0; b < 8; ++b) {
      if (real_ecc_bit(code, j, b)) {
        all.push_back({true, j, b});
      }
    }
  }
  return all;
}

// `count` distinct bits; the first ones from `first` (in order), the rest at random.
std::vector<Bit> pick(std::mt19937_64& rng, const std::vector<Bit>& all, std::size_t count,
                      const std::vector<Bit>& first = {}) {
  std::set<Bit> chosen;
  std::vector<Bit> out;
  for (const Bit& b : first) {
    if (out.size() < count && chosen.insert(b).second) {
      out.push_back(b);
    }
  }
  while (out.size() < count) {
    const Bit& b = all[rng() % all.size()];
    if (chosen.insert(b).second) {
      out.push_back(b);
    }
  }
  return out;
}

// The first and last bits of the data and of the ECC, whichever bit order reads them first.
std::vector<Bit> extremes(const bch_code& code, std::size_t bytes) {
  std::vector<Bit> out;
  if (bytes > 0) {
    const auto last = static_cast<std::uint32_t>(bytes - 1);
    out.insert(out.end(), {{false, 0, 7}, {false, last, 0}, {false, 0, 0}, {false, last, 7}});
  }
  const auto last_ecc = static_cast<std::uint32_t>(code.ecc_bytes - 1);
  int low = 0;
  while (!real_ecc_bit(code, last_ecc, low)) {
    ++low;
  }
  int high = 7;
  while (!real_ecc_bit(code, last_ecc, high)) {
    --high;
  }
  out.insert(out.end(),
             {{true, 0, 7}, {true, last_ecc, low}, {true, 0, 0}, {true, last_ecc, high}});
  return out;
}

void flip(Bytes& data, Bytes& ecc, const Bit& b) {
  (b.in_ecc ? ecc : data)[b.byte] ^= static_cast<std::uint8_t>(1 << b.bit);
}

// The fixes as bits, sorted, after checking that each direction matches what was read.
std::vector<Bit> fixed_bits(const bch_decode_result& result, const Bytes& read_data,
                            const Bytes& read_ecc) {
  std::vector<Bit> out;
  for (const bch_bit_fix& f : result.fixes) {
    const Bytes& source = f.in_ecc ? read_ecc : read_data;
    EXPECT_LT(f.byte, source.size());
    if (f.byte < source.size()) {
      const bool was_one = ((source[f.byte] >> f.bit) & 1) != 0;
      EXPECT_EQ(f.to_one, !was_one)
          << (f.in_ecc ? "ecc[" : "data[") << f.byte << "]." << int{f.bit};
    }
    out.push_back({f.in_ecc, f.byte, f.bit});
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Real bits that differ between two versions of a sector.
std::vector<Bit> differences(const bch_code& code, const Bytes& d1, const Bytes& e1,
                             const Bytes& d2, const Bytes& e2) {
  std::vector<Bit> out;
  for (const Bit& b : real_bits(code, d1.size())) {
    const Bytes& x = b.in_ecc ? e1 : d1;
    const Bytes& y = b.in_ecc ? e2 : d2;
    if (((x[b.byte] ^ y[b.byte]) >> b.bit) & 1) {
      out.push_back(b);
    }
  }
  return out;
}

// ECC of `data` for the code's variant from the bit-serial encoder, pad bits cleared.
Bytes reference_ecc(const bch_code& code, const std::vector<int>& g, const Bytes& data) {
  codec_reference::BitSerialEncoder encoder(g);
  Variant v{code.options.bit_order == bch_bit_order::lsb_first,
            code.options.ecc_mask == bch_ecc_mask::erased_ff};
  return encoder.ecc(data.data(), data.size(), v);
}

bool same_real_ecc(const bch_code& code, const Bytes& a, const Bytes& b) {
  for (std::uint32_t j = 0; j < a.size(); ++j) {
    for (int bit = 0; bit < 8; ++bit) {
      if (real_ecc_bit(code, j, bit) && (((a[j] ^ b[j]) >> bit) & 1)) {
        return false;
      }
    }
  }
  return true;
}

// g of the code built last, from the construction library's state.
std::vector<int> last_generator() {
  return std::vector<int>(gg, gg + rr + 1);
}

TEST(CodecEncode, KnownAnswers) {
  // ECC of 512-byte sectors computed independently (long division over Python integers with
  // the PARI/GP generators), for msb/lsb first without and with the erased_ff mask.
  struct Case {
    int m, t, multiplier, offset;
    const char* ecc[4];
  };
  const Case cases[] = {
      {13,
       8,
       1,
       0,
       {"c6521d63499cb538a40ab2afaf", "1c805f7002d3dfbedff90fe41b", "197fdd20f72831d593c6ae91bc",
        "e7345cb27ffefe0933ca3798d3"}},
      {13, 4, 7, 3, {"79747eb3758fe0", "7707fe90853902", "3fa01c156bbe8f", "152cb8f5fdb5f4"}},
  };
  for (const Case& c : cases) {
    Bytes data(512);
    for (std::size_t i = 0; i < data.size(); ++i) {
      data[i] = static_cast<std::uint8_t>((i * c.multiplier + c.offset) % 256);
    }
    for (int v = 0; v < 4; ++v) {
      for (bch_kernel kernel : kernels()) {
        SCOPED_TRACE(describe(c.m, c.t, kVariants[v], kernel));
        const bch_code code = build(c.m, c.t, kVariants[v], kernel);
        Bytes ecc(static_cast<std::size_t>(code.ecc_bytes));
        bch_encode(code, data.data(), data.size(), ecc.data());
        EXPECT_EQ(hex(ecc), c.ecc[v]);
      }
    }
  }
}

TEST(CodecEncode, MatchesBitSerialAndLongDivision) {
  const int codes[][2] = {{5, 1},  {5, 3},  {5, 7},   {6, 4},  {7, 5},  {8, 8},
                          {10, 6}, {11, 5}, {13, 1},  {13, 4}, {13, 8}, {13, 16},
                          {14, 3}, {15, 8}, {15, 66}, {16, 5}, {17, 4}, {20, 49}};
  // Around the 8-byte steps of the slicing, the 64-byte blocks and 256-byte spans of folding.
  const std::size_t lengths[] = {0,  1,  2,  7,   8,   9,   15,  16,  17,  23,  24,  25,
                                 63, 64, 65, 100, 255, 256, 257, 320, 511, 512, 513, 1000};
  std::mt19937_64 rng(1);
  for (const auto& mt : codes) {
    const std::vector<int> g = known_generator(mt[0], mt[1]);
    ASSERT_FALSE(g.empty()) << "m=" << mt[0] << " t=" << mt[1] << " missing from the known answers";
    codec_reference::BitSerialEncoder serial(g);
    for (const Variant v : kVariants) {
      for (bch_kernel kernel : kernels()) {
        const bch_code code = build(mt[0], mt[1], v, kernel);
        ASSERT_EQ(code.parity_bits, static_cast<int>(g.size()) - 1) << describe(mt[0], mt[1], v);
        std::vector<std::size_t> sizes;
        for (std::size_t n : lengths) {
          if (n <= code.max_data_bytes) {
            sizes.push_back(n);
          }
        }
        if (code.max_data_bytes <= 4096) {
          sizes.push_back(code.max_data_bytes);
        }
        for (std::size_t n : sizes) {
          SCOPED_TRACE(describe(mt[0], mt[1], v, kernel) + " bytes=" + std::to_string(n));
          const Bytes data = random_bytes(rng, n);
          Bytes ecc(static_cast<std::size_t>(code.ecc_bytes), 0x5A);
          bch_encode(code, data.data(), n, ecc.data());
          EXPECT_EQ(hex(ecc), hex(serial.ecc(data.data(), n, v)));
          // The long way for one length per code and variant: it is slow.
          if (n == std::min<std::size_t>(code.max_data_bytes, 100) && kernel == kernels().back()) {
            EXPECT_EQ(hex(ecc), hex(codec_reference::long_division_ecc(g, data.data(), n, v)));
          }
        }
      }
    }
  }
}

TEST(CodecEncode, EveryParityWidthOnEveryKernel) {
  // m = 16 gives r = 16 t here: the widths run through 1 ... 16 words, and with them the
  // width of the folding state; random lengths take every share of head, spans and blocks.
  std::mt19937_64 rng(2);
  std::set<int> widths;
  for (int t :
       {1, 4, 5, 8, 9, 12, 13, 16, 17, 20, 21, 24, 28, 32, 33, 36, 40, 44, 48, 52, 56, 60, 62}) {
    for (const Variant v : {kVariants[0], kVariants[3]}) {
      for (bch_kernel kernel : kernels()) {
        const bch_code code = build(16, t, v, kernel);
        codec_reference::BitSerialEncoder serial(last_generator());
        widths.insert((code.parity_bits + 63) / 64);
        for (int i = 0; i < 6; ++i) {
          const std::size_t n = rng() % 1500;
          SCOPED_TRACE(describe(16, t, v, kernel) + " bytes=" + std::to_string(n));
          const Bytes data = random_bytes(rng, n);
          Bytes ecc(static_cast<std::size_t>(code.ecc_bytes));
          bch_encode(code, data.data(), n, ecc.data());
          EXPECT_EQ(hex(ecc), hex(serial.ecc(data.data(), n, v)));
        }
      }
    }
  }
  EXPECT_EQ(widths.size(), 16u);
}

// Flips each pattern into a clean sector and expects exactly it back.
void expect_round_trips(int m, int t, Variant v, bch_kernel kernel, std::size_t bytes,
                        const std::vector<int>& weights, int seeds) {
  const bch_code code = build(m, t, v, kernel);
  const std::vector<Bit> all = real_bits(code, bytes);
  const std::vector<Bit> ends = extremes(code, bytes);
  std::mt19937_64 rng(static_cast<std::uint64_t>(m * 1000 + t));
  bch_decode_result result;
  for (int w : weights) {
    for (int seed = 0; seed < seeds; ++seed) {
      rng.seed(static_cast<std::uint64_t>(m * 1000003 + t * 1009 + w * 31 + seed));
      const Bytes data = random_bytes(rng, bytes);
      Bytes ecc(static_cast<std::size_t>(code.ecc_bytes));
      bch_encode(code, data.data(), bytes, ecc.data());
      // Seed 0 starts from the first and last bits of data and ECC.
      std::vector<Bit> flips =
          pick(rng, all, static_cast<std::size_t>(w), seed == 0 ? ends : std::vector<Bit>{});
      SCOPED_TRACE(describe(m, t, v, kernel) + " bytes=" + std::to_string(bytes) + " weight=" +
                   std::to_string(w) + " seed=" + std::to_string(seed) + " " + describe(flips));
      Bytes d = data;
      Bytes e = ecc;
      for (const Bit& b : flips) {
        flip(d, e, b);
      }
      const Bytes read_d = d;
      const Bytes read_e = e;
      bch_decode(code, d.data(), bytes, e.data(), result);
      // Without data the mask leaves one codeword, the erased sector, reported as such.
      ASSERT_EQ(result.status,
                v.erased_ff && bytes == 0 ? bch_status::erased : bch_status::corrected);
      EXPECT_EQ(result.bits, w);
      EXPECT_EQ(d, data);
      EXPECT_EQ(e, ecc);
      std::sort(flips.begin(), flips.end());
      const std::vector<Bit> fixed = fixed_bits(result, read_d, read_e);
      EXPECT_EQ(describe(fixed), describe(flips));
    }
  }
}

std::vector<int> all_weights(int t) {
  std::vector<int> w;
  for (int i = 1; i <= t; ++i) {
    w.push_back(i);
  }
  return w;
}

TEST(CodecDecode, CorrectsEveryWeightUpToT) {
  for (const Variant v : kVariants) {
    expect_round_trips(13, 8, v, bch_kernel::automatic, 512, all_weights(8), 60);
    expect_round_trips(13, 4, v, bch_kernel::automatic, 512, all_weights(4), 10);
    expect_round_trips(5, 3, v, bch_kernel::automatic, 2, all_weights(3), 10);
    expect_round_trips(5, 7, v, bch_kernel::automatic, 0, all_weights(7), 10);
    expect_round_trips(8, 4, v, bch_kernel::automatic, 27, all_weights(4), 10);
  }
  expect_round_trips(13, 8, kVariants[3], bch_kernel::portable, 512, all_weights(8), 5);
  expect_round_trips(13, 1, kVariants[0], bch_kernel::automatic, 1015, {1}, 20);
  expect_round_trips(13, 16, kVariants[1], bch_kernel::automatic, 997, all_weights(16), 3);
  expect_round_trips(14, 8, kVariants[2], bch_kernel::automatic, 1024, all_weights(8), 5);
  expect_round_trips(15, 66, kVariants[0], bch_kernel::automatic, 512, {1, 2, 5, 17, 33, 65, 66},
                     2);
  expect_round_trips(20, 3, kVariants[3], bch_kernel::automatic, 4096, all_weights(3), 5);
  expect_round_trips(20, 49, kVariants[0], bch_kernel::automatic, 512, {1, 4, 5, 24, 48, 49}, 2);
}

TEST(CodecDecode, BeyondTOnlyVerifiedCodewords) {
  struct Case {
    int m, t;
    std::size_t bytes;
    int seeds;
  };
  // Short codes land within t of another codeword often; the long one almost never.
  const Case cases[] = {
      {5, 3, 2, 300}, {6, 4, 4, 300}, {8, 4, 27, 200}, {13, 4, 512, 100}, {13, 8, 512, 200}};
  int landed_elsewhere = 0;
  for (const Case& c : cases) {
    for (const Variant v : {kVariants[0], kVariants[3]}) {
      const bch_code code = build(c.m, c.t, v);
      const std::vector<int> g = last_generator();
      const std::vector<Bit> all = real_bits(code, c.bytes);
      bch_decode_result result;
      for (int w = c.t + 1; w <= c.t + 3; ++w) {
        for (int seed = 0; seed < c.seeds; ++seed) {
          std::mt19937_64 rng(static_cast<std::uint64_t>(c.m * 7919 + w * 104729 + seed));
          const Bytes data = random_bytes(rng, c.bytes);
          Bytes ecc(static_cast<std::size_t>(code.ecc_bytes));
          bch_encode(code, data.data(), c.bytes, ecc.data());
          const std::vector<Bit> flips = pick(rng, all, static_cast<std::size_t>(w));
          SCOPED_TRACE(describe(c.m, c.t, v) + " weight=" + std::to_string(w) +
                       " seed=" + std::to_string(seed) + " " + describe(flips));
          Bytes d = data;
          Bytes e = ecc;
          for (const Bit& b : flips) {
            flip(d, e, b);
          }
          const Bytes read_d = d;
          const Bytes read_e = e;
          bch_decode(code, d.data(), c.bytes, e.data(), result);
          switch (result.status) {
            case bch_status::uncorrectable:
              EXPECT_EQ(d, read_d);
              EXPECT_EQ(e, read_e);
              EXPECT_TRUE(result.fixes.empty());
              break;
            case bch_status::clean:
              EXPECT_TRUE(same_real_ecc(code, reference_ecc(code, g, d), e)) << "not a codeword";
              EXPECT_EQ(d, read_d);
              break;
            case bch_status::corrected: {
              ++landed_elsewhere;
              EXPECT_TRUE(same_real_ecc(code, reference_ecc(code, g, d), e)) << "not a codeword";
              const std::vector<Bit> changed = differences(code, read_d, read_e, d, e);
              EXPECT_LE(result.bits, c.t);
              EXPECT_EQ(static_cast<int>(changed.size()), result.bits);
              EXPECT_EQ(describe(fixed_bits(result, read_d, read_e)), describe(changed));
              break;
            }
            case bch_status::erased:
              ADD_FAILURE() << "random data reported erased";
              break;
          }
        }
      }
    }
  }
  // The corrected branch must have been taken, or this test checks less than it claims.
  EXPECT_GT(landed_elsewhere, 0);
}

TEST(CodecDecode, ErasedSectorsWithUpToTFlips) {
  const int codes[][3] = {{13, 8, 512}, {13, 4, 512}, {5, 3, 2}, {8, 4, 27}};
  for (const auto& c : codes) {
    for (const Variant v : kVariants) {
      const bch_code code = build(c[0], c[1], v);
      const auto bytes = static_cast<std::size_t>(c[2]);
      const std::vector<Bit> all = real_bits(code, bytes);
      if (v.erased_ff) {
        // The mask makes the erased sector a codeword: clean as read, still reported erased.
        Bytes ecc(static_cast<std::size_t>(code.ecc_bytes));
        bch_encode(code, Bytes(bytes, 0xFF).data(), bytes, ecc.data());
        EXPECT_EQ(ecc, Bytes(ecc.size(), 0xFF)) << describe(c[0], c[1], v);
      }
      bch_decode_result result;
      for (int zeros = 0; zeros <= c[1] + 1; ++zeros) {
        for (int seed = 0; seed < 6; ++seed) {
          std::mt19937_64 rng(static_cast<std::uint64_t>(zeros * 100 + seed));
          std::vector<Bit> flips = pick(rng, all, static_cast<std::size_t>(zeros));
          SCOPED_TRACE(describe(c[0], c[1], v) + " zeros=" + std::to_string(zeros) +
                       " seed=" + std::to_string(seed) + " " + describe(flips));
          Bytes d(bytes, 0xFF);
          Bytes e(static_cast<std::size_t>(code.ecc_bytes), 0xFF);
          for (const Bit& b : flips) {
            flip(d, e, b);
          }
          // Pad bits read as 0 on odd seeds; they count for nothing.
          if (seed % 2 == 1) {
            for (int bit = 0; bit < 8; ++bit) {
              if (!real_ecc_bit(code, static_cast<std::uint32_t>(code.ecc_bytes - 1), bit)) {
                e.back() = static_cast<std::uint8_t>(e.back() & ~(1 << bit));
              }
            }
          }
          const Bytes read_d = d;
          const Bytes read_e = e;
          bch_decode(code, d.data(), bytes, e.data(), result);
          if (zeros > c[1]) {
            EXPECT_NE(result.status, bch_status::erased);
            continue;
          }
          ASSERT_EQ(result.status, bch_status::erased);
          EXPECT_EQ(result.bits, zeros);
          std::sort(flips.begin(), flips.end());
          EXPECT_EQ(describe(fixed_bits(result, read_d, read_e)), describe(flips));
          for (const bch_bit_fix& f : result.fixes) {
            EXPECT_TRUE(f.to_one);
          }
          EXPECT_EQ(d, Bytes(bytes, 0xFF));
          EXPECT_EQ(e, Bytes(static_cast<std::size_t>(code.ecc_bytes), 0xFF));
        }
      }
    }
  }
}

TEST(CodecDecode, PadBitsAreNeitherCheckedNorCorrected) {
  // r = 52 leaves 4 pad bits, r = 15 one, r = 25 seven.
  const int codes[][3] = {{13, 4, 512}, {5, 3, 2}, {5, 7, 0}};
  for (const auto& c : codes) {
    for (const Variant v : kVariants) {
      const auto bytes = static_cast<std::size_t>(c[2]);
      if (bytes == 0 && v.erased_ff) {
        continue;  // the only codeword is the erased sector, which the erased tests cover
      }
      const bch_code code = build(c[0], c[1], v);
      std::mt19937_64 rng(static_cast<std::uint64_t>(c[0] + c[1]));
      const Bytes data = random_bytes(rng, bytes);
      Bytes ecc(static_cast<std::size_t>(code.ecc_bytes));
      bch_encode(code, data.data(), bytes, ecc.data());
      std::uint8_t pad = 0;
      for (int bit = 0; bit < 8; ++bit) {
        if (!real_ecc_bit(code, static_cast<std::uint32_t>(code.ecc_bytes - 1), bit)) {
          pad = static_cast<std::uint8_t>(pad | (1 << bit));
        }
      }
      SCOPED_TRACE(describe(c[0], c[1], v));
      // Pad bits are stored as the mask: 0 without it, 1 with erased_ff.
      EXPECT_EQ(ecc.back() & pad, v.erased_ff ? pad : 0);
      bch_decode_result result;
      Bytes d = data;
      Bytes e = ecc;
      e.back() ^= pad;
      bch_decode(code, d.data(), bytes, e.data(), result);
      EXPECT_EQ(result.status, bch_status::clean);
      EXPECT_EQ(e.back(), ecc.back() ^ pad) << "pad bits are left as read";
      const std::vector<Bit> all = real_bits(code, bytes);
      const std::vector<Bit> flips = pick(rng, all, 2);
      for (const Bit& b : flips) {
        flip(d, e, b);
      }
      bch_decode(code, d.data(), bytes, e.data(), result);
      EXPECT_EQ(result.status, bch_status::corrected) << describe(flips);
      EXPECT_EQ(result.bits, 2);
      EXPECT_EQ(d, data);
      EXPECT_EQ(e.back(), ecc.back() ^ pad);
    }
  }
}

TEST(CodecInit, ParametersFieldsAndSeveralCodesAtOnce) {
  bch_code code = build(13, 8, kVariants[0]);
  EXPECT_EQ(code.m, 13);
  EXPECT_EQ(code.t, 8);
  EXPECT_EQ(code.n, 8191);
  EXPECT_EQ(code.parity_bits, 104);
  EXPECT_EQ(code.k, 8087);
  EXPECT_EQ(code.ecc_bytes, 13);
  EXPECT_EQ(code.max_data_bytes, 1010u);
  const bch_code erased = build(5, 15, kVariants[0]);
  EXPECT_EQ(erased.max_data_bytes, 0u);
  EXPECT_EQ(erased.ecc_bytes, 4);

  struct Bad {
    int m, t;
  };
  for (const Bad bad :
       {Bad{4, 1}, Bad{21, 1}, Bad{13, 0}, Bad{13, -3}, Bad{13, 4096}, Bad{13, 500}, Bad{5, 16}}) {
    SCOPED_TRACE("m=" + std::to_string(bad.m) + " t=" + std::to_string(bad.t));
    const std::string error = bch_code_init(code, bad.m, bad.t);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(code.m, 13) << "the code is left as it was";
    EXPECT_EQ(code.parity_bits, 104);
  }
  // Codes built later, on other fields, leave the first one intact.
  const bch_code other = build(20, 3, kVariants[1]);
  const bch_code small = build(5, 3, kVariants[3]);
  Bytes data(512);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i);
  }
  Bytes ecc(13);
  bch_encode(code, data.data(), data.size(), ecc.data());
  EXPECT_EQ(hex(ecc), "c6521d63499cb538a40ab2afaf");
  data[100] ^= 0x10;
  bch_decode_result result;
  bch_decode(code, data.data(), data.size(), ecc.data(), result);
  EXPECT_EQ(result.status, bch_status::corrected);
  EXPECT_EQ(other.parity_bits, 60);
  EXPECT_EQ(small.parity_bits, 15);
}

TEST(CodecDecode, OutsideTheContractChangesNothing) {
  const bch_code code = build(8, 4, kVariants[0]);
  Bytes data(code.max_data_bytes + 1, 0x12);
  Bytes ecc(static_cast<std::size_t>(code.ecc_bytes), 0x34);
  bch_decode_result result;
  bch_decode(code, data.data(), data.size(), ecc.data(), result);
  EXPECT_EQ(result.status, bch_status::uncorrectable);
  EXPECT_EQ(data, Bytes(code.max_data_bytes + 1, 0x12));
  EXPECT_EQ(ecc, Bytes(ecc.size(), 0x34));
  const bch_code unbuilt;
  bch_decode(unbuilt, data.data(), 1, ecc.data(), result);
  EXPECT_EQ(result.status, bch_status::uncorrectable);
  bch_encode(unbuilt, data.data(), 1, ecc.data());
  EXPECT_EQ(ecc, Bytes(ecc.size(), 0x34));
}

// GF(2^m) by shifts and XORs on the modulus, apart from the engine's tables: alpha = x, and
// x^m reduces to the low part read once from the construction library.
struct ShiftField {
  int m = 0;
  int low = 0;  // x^m mod the primitive polynomial
  int mul(int a, int b) const {
    int r = 0;
    for (int i = m - 1; i >= 0; --i) {
      r = (r & (1 << (m - 1))) != 0 ? ((r << 1) & ((1 << m) - 1)) ^ low : r << 1;
      if ((b >> i) & 1) {
        r ^= a;
      }
    }
    return r;
  }
  // Value of poly (coefficients from x^0 up, degree d) at x.
  int eval(const std::vector<int>& poly, int x) const {
    int v = 0;
    for (auto it = poly.rbegin(); it != poly.rend(); ++it) {
      v = mul(v, x) ^ *it;
    }
    return v;
  }
  // poly times (x + c).
  std::vector<int> times_linear(const std::vector<int>& poly, int c) const {
    std::vector<int> out(poly.size() + 1, 0);
    for (std::size_t k = 0; k < poly.size(); ++k) {
      out[k + 1] ^= poly[k];
      out[k] ^= mul(poly[k], c);
    }
    return out;
  }
};

// Holds the root finder against a search over every field element: polynomials built from
// chosen roots (distinct, repeated, or including zero), near misses with a random quadratic
// factor, and plain random ones. It must find d distinct roots exactly when they exist.
void expect_roots_match_search(int m, int t, int trials) {
  const bch_code code = build(m, t, kVariants[0]);
  ASSERT_TRUE(code.tables);
  const bch_code_tables& tb = *code.tables;
  for (int i = 0; i < m; ++i) {
    ASSERT_EQ(alpha_to[i], 1 << i) << "m=" << m << ": alpha is not x";
  }
  const ShiftField gf{m, alpha_to[m]};
  const int n = (1 << m) - 1;
  std::mt19937_64 rng(static_cast<std::uint64_t>(m * 1000 + t));
  auto element = [&](int lowest) { return lowest + static_cast<int>(rng() % (n + 1 - lowest)); };
  for (int d = 1; d <= t; ++d) {
    for (int trial = 0; trial < trials; ++trial) {
      const int kind = trial % 5;
      std::vector<int> poly{1};
      if (kind == 3) {
        poly.assign(static_cast<std::size_t>(d) + 1, 0);
        for (int k = 0; k < d; ++k) {
          poly[k] = element(0);
        }
        poly[d] = 1;
      } else {
        const int linear = kind == 2 && d >= 2 ? d - 2 : d;
        std::vector<int> taken;
        for (int k = 0; k < linear; ++k) {
          int root = element(1);
          if (kind == 1 && k == linear - 1) {
            // The last factor brings the root 0, or repeats one taken before.
            root = taken.empty() || trial % 10 < 5 ? 0 : taken[rng() % taken.size()];
          }
          taken.push_back(root);
          poly = gf.times_linear(poly, root);
        }
        if (static_cast<int>(poly.size()) - 1 < d) {
          const int a = element(0);
          const int b = element(0);
          std::vector<int> q(poly.size() + 2, 0);
          for (std::size_t k = 0; k < poly.size(); ++k) {
            q[k] ^= gf.mul(poly[k], b);
            q[k + 1] ^= gf.mul(poly[k], a);
            q[k + 2] ^= poly[k];
          }
          poly = q;
        }
      }
      std::ostringstream name;
      name << "m=" << m << " t=" << t << " degree " << d << " kind " << kind << " trial " << trial
           << " poly";
      for (int c : poly) {
        name << " " << c;
      }
      SCOPED_TRACE(name.str());
      ASSERT_EQ(static_cast<int>(poly.size()), d + 1);
      std::set<int> found_by_search;
      for (int x = 1; x <= n; ++x) {
        if (gf.eval(poly, x) == 0) {
          found_by_search.insert(x);
        }
      }
      const bool splits = static_cast<int>(found_by_search.size()) == d && poly[0] != 0;
      std::vector<int> roots(static_cast<std::size_t>(t) + 1, -7);
      const int got = bch_find_roots(tb, poly.data(), d, roots.data());
      ASSERT_EQ(got, splits ? d : -1);
      if (splits) {
        const std::set<int> found(roots.begin(), roots.begin() + d);
        EXPECT_EQ(found, found_by_search);
      }
    }
  }
}

TEST(CodecRoots, MatchSearchOverTheField) {
  expect_roots_match_search(5, 3, 400);
  expect_roots_match_search(6, 4, 300);
  expect_roots_match_search(8, 4, 300);
  expect_roots_match_search(13, 8, 60);
  expect_roots_match_search(14, 8, 15);
}

TEST(CodecDecode, TwoThreadsShareOneCode) {
  const bch_code code = build(13, 8, kVariants[1]);
  const std::vector<Bit> all = real_bits(code, 512);
  int failures[2] = {};
  auto work = [&](int id) {
    bch_decode_result result;
    std::mt19937_64 rng(static_cast<std::uint64_t>(id + 77));
    for (int i = 0; i < 150; ++i) {
      const Bytes data = random_bytes(rng, 512);
      Bytes ecc(13);
      bch_encode(code, data.data(), 512, ecc.data());
      Bytes d = data;
      Bytes e = ecc;
      for (const Bit& b : pick(rng, all, 1 + rng() % 8)) {
        flip(d, e, b);
      }
      bch_decode(code, d.data(), 512, e.data(), result);
      failures[id] += result.status != bch_status::corrected || d != data || e != ecc;
    }
  };
  std::thread other(work, 1);
  work(0);
  other.join();
  EXPECT_EQ(failures[0], 0);
  EXPECT_EQ(failures[1], 0);
}

}  // namespace
