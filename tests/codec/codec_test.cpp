// Tests of the error-correction engine: its field and generator against PARI/GP's known
// answers and the construction library; encoding against the bit-serial encoder and the long
// division on every parity kernel with every option; correction of every weight up to t, up to
// (15, 60, 2048); nothing but verified codewords beyond t; erased steps; unused bits; where
// each parity bit is stored; parameters, and codes built and shared across threads.
#include "bch/bch.h"                      // the construction library: the second route to g
#include "codec/codec.h"                  // the engine under test
#include "codec/codec_internal.h"         // bch_kernel, bch_code_init_with_kernel, tables
#include "tests/bch/reference.h"          // known_codes, hex_to_bits
#include "tests/codec/codec_reference.h"  // BitSerialEncoder, long_division_ecc, ecc_string

#include <gtest/gtest.h>  // TEST, EXPECT_*, ASSERT_*, SCOPED_TRACE

#include <algorithm>  // std::sort, std::min
#include <cstdint>    // std::uint8_t, std::uint32_t
#include <cstdio>     // std::snprintf
#include <fstream>    // std::ifstream
#include <memory>     // std::make_shared
#include <random>     // std::mt19937_64
#include <set>        // std::set
#include <sstream>    // std::ostringstream, std::istringstream
#include <string>     // std::string
#include <thread>     // std::thread
#include <tuple>      // std::tie, std::tuple, std::make_tuple
#include <vector>     // std::vector

namespace {

using codec_reference::Variant;
using Bytes = std::vector<std::uint8_t>;

// One choice of the options that do not change the code: bit order, mask and padding.
struct Combo {
  bool lsb_first = false;
  bch_ecc_mask mask = bch_ecc_mask::none;
  bool pad_start = false;
};

std::vector<Combo> all_combos() {
  std::vector<Combo> out;
  for (bool lsb : {false, true}) {
    for (bch_ecc_mask mask :
         {bch_ecc_mask::none, bch_ecc_mask::erased_ff, bch_ecc_mask::xor_bytes}) {
      for (bool start : {false, true}) {
        out.push_back({lsb, mask, start});
      }
    }
  }
  return out;
}

// A fixed XOR mask, longer than any ECC, so that bytes beyond the ECC are there and ignored.
const Bytes& xor_mask() {
  static const Bytes mask = [] {
    std::mt19937_64 rng(99);
    Bytes b(kCodecMaxEccBytes + 5);
    for (auto& x : b) {
      x = static_cast<std::uint8_t>(rng());
    }
    return b;
  }();
  return mask;
}

bch_code_options options_for(const Combo& c, std::uint32_t polynomial = 0) {
  bch_code_options o;
  o.bit_order = c.lsb_first ? bch_bit_order::lsb_first : bch_bit_order::msb_first;
  o.ecc_mask = c.mask;
  if (c.mask == bch_ecc_mask::xor_bytes) {
    o.mask_bytes = xor_mask();
  }
  o.pad = c.pad_start ? bch_pad::start : bch_pad::end;
  o.primitive_polynomial = polynomial;
  return o;
}

const char* mask_name(bch_ecc_mask mask) {
  return mask == bch_ecc_mask::none        ? "no_mask"
         : mask == bch_ecc_mask::erased_ff ? "erased_ff"
                                           : "xor_bytes";
}

std::string describe(int m, int t, const bch_code_options& o,
                     bch_kernel kernel = bch_kernel::automatic) {
  char p[16];
  std::snprintf(p, sizeof p, "0x%X", o.primitive_polynomial);
  std::ostringstream s;
  s << "m=" << m << " t=" << t << " p=" << (o.primitive_polynomial == 0 ? "tabled" : p)
    << (o.bit_order == bch_bit_order::lsb_first ? " lsb_first " : " msb_first ")
    << mask_name(o.ecc_mask) << (o.pad == bch_pad::start ? " pad_start " : " pad_end ")
    << bch_kernel_name(kernel);
  return s.str();
}

bch_code build(int m, int t, const bch_code_options& o, bch_kernel kernel = bch_kernel::automatic) {
  bch_code code;
  const std::string error = bch_code_init_with_kernel(code, m, t, o, kernel).message;
  EXPECT_EQ(error, "") << describe(m, t, o, kernel);
  return code;
}

// The same code with the locator's GFNI path, carry-less products and cubic table switched off,
// so that the plainest route runs whatever the processor: the routes must agree.
bch_code scalar_locator(const bch_code& code) {
  bch_code out = code;
  auto tables = std::make_shared<bch_code_tables>(*code.tables);
  tables->gfni.clear();
  tables->product_fold.clear();
  tables->cubic.clear();
  out.tables = std::move(tables);
  return out;
}

// The reference's view of a built code's options.
Variant variant_of(const bch_code& code) {
  Variant v;
  v.lsb_first = code.options.bit_order == bch_bit_order::lsb_first;
  v.erased_ff = code.options.ecc_mask == bch_ecc_mask::erased_ff;
  v.pad_start = code.options.pad == bch_pad::start;
  if (code.options.ecc_mask == bch_ecc_mask::xor_bytes) {
    v.xor_bytes.assign(code.options.mask_bytes.begin(),
                       code.options.mask_bytes.begin() + code.ecc_bytes);
  }
  return v;
}

// The kernels this processor runs.
std::vector<bch_kernel> kernels() {
  std::vector<bch_kernel> k;
  for (bch_kernel kernel :
       {bch_kernel::portable, bch_kernel::clmul, bch_kernel::clmul_wide, bch_kernel::clmul_512}) {
    if (bch_kernel_supported(kernel)) {
      k.push_back(kernel);
    }
  }
  return k;
}

// PARI/GP's codes on chosen polynomials, and the polynomials it found not primitive.
struct CustomCode {
  int m = 0;
  std::uint32_t p = 0;
  int t = 0;
  int r = 0;
  std::string hex;
};
struct BadPolynomial {
  int m = 0;
  std::uint32_t p = 0;
  int order = 0;  // of x modulo p; 0 when p is reducible
};

void read_custom(std::vector<CustomCode>* codes, std::vector<BadPolynomial>* bad) {
  std::ifstream in(PAGOLINTH_CUSTOM_CODES);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    if (line.empty() || line[0] == '#') {
      continue;
    }
    if (line.compare(0, 4, "bad ") == 0) {
      std::string word;
      std::string hex;
      BadPolynomial b;
      if (fields >> word >> b.m >> hex >> b.order) {
        b.p = static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16));
        bad->push_back(b);
      }
      continue;
    }
    std::string hex;
    CustomCode c;
    if (fields >> c.m >> hex >> c.t >> c.r >> c.hex) {
      c.p = static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16));
      codes->push_back(c);
    }
  }
}

const std::vector<CustomCode>& custom_codes() {
  static const std::vector<CustomCode> codes = [] {
    std::vector<CustomCode> c;
    std::vector<BadPolynomial> b;
    read_custom(&c, &b);
    return c;
  }();
  return codes;
}

const std::vector<BadPolynomial>& bad_polynomials() {
  static const std::vector<BadPolynomial> bad = [] {
    std::vector<CustomCode> c;
    std::vector<BadPolynomial> b;
    read_custom(&c, &b);
    return b;
  }();
  return bad;
}

// g of (m, polynomial, t) from PARI/GP's known answers (polynomial 0: the tabled one),
// g[i] = coefficient of x^i; empty when not listed.
std::vector<int> known_generator(int m, std::uint32_t polynomial, int t) {
  if (polynomial == 0) {
    static const auto codes = bch_reference::known_codes(PAGOLINTH_KNOWN_CODES);
    for (const auto& c : codes) {
      if (c.m == m && c.t == t) {
        return bch_reference::hex_to_bits(c.hex, c.r + 1);
      }
    }
    return {};
  }
  for (const CustomCode& c : custom_codes()) {
    if (c.m == m && c.p == polynomial && c.t == t) {
      return bch_reference::hex_to_bits(c.hex, c.r + 1);
    }
  }
  return {};
}

// g as the construction library builds it on its tabled polynomial: its module state is
// set here and nowhere else in these tests.
std::vector<int> library_generator(int m, int t) {
  mm = m;
  nn = (1 << m) - 1;
  tt = t;
  Parallel = 1;
  Verbose = 0;
  if (check_params() != nullptr) {
    return {};
  }
  generate_gf();
  gen_poly();
  return std::vector<int>(gg, gg + rr + 1);
}

// g as the engine holds it: its words of g - x^r, and x^r.
std::vector<int> engine_generator(const bch_code& code) {
  const bch_code_tables& tb = *code.tables;
  std::vector<int> g(static_cast<std::size_t>(tb.r) + 1, 0);
  for (int i = 0; i < tb.r; ++i) {
    g[i] = static_cast<int>((tb.generator[i / 64] >> (i % 64)) & 1);
  }
  g[tb.r] = 1;
  return g;
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

// The stored ECC bits that hold parity, by the reference's definition: the logical string of
// an all-ones remainder, with the bit order applied.
Bytes parity_bits_as_stored(const bch_code& code) {
  Bytes real = codec_reference::ecc_string(std::vector<int>(code.parity_bits, 1),
                                           code.options.pad == bch_pad::start);
  if (code.options.bit_order == bch_bit_order::lsb_first) {
    for (auto& b : real) {
      b = codec_reference::reverse_bits(b);
    }
  }
  return real;
}

// Every data bit and real ECC bit of a step of `bytes` data bytes.
std::vector<Bit> real_bits(const bch_code& code, std::size_t bytes) {
  std::vector<Bit> all;
  for (std::uint32_t i = 0; i < bytes; ++i) {
    for (int b = 0; b < 8; ++b) {
      all.push_back({false, i, b});
    }
  }
  const Bytes real = parity_bits_as_stored(code);
  for (std::uint32_t j = 0; j < real.size(); ++j) {
    for (int b = 0; b < 8; ++b) {
      if ((real[j] >> b) & 1) {
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

// The first and last bits of the data and of the parity, whichever bit order reads them first.
std::vector<Bit> extremes(const bch_code& code, std::size_t bytes) {
  std::vector<Bit> out;
  if (bytes > 0) {
    const auto last = static_cast<std::uint32_t>(bytes - 1);
    out.insert(out.end(), {{false, 0, 7}, {false, last, 0}, {false, 0, 0}, {false, last, 7}});
  }
  std::vector<Bit> parity;
  for (const Bit& b : real_bits(code, 0)) {
    parity.push_back(b);
  }
  out.insert(out.end(), {parity.front(), parity.back(), parity[parity.size() / 2]});
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

// Real bits that differ between two versions of a step.
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

bool same_real_ecc(const bch_code& code, const Bytes& a, const Bytes& b) {
  const Bytes real = parity_bits_as_stored(code);
  for (std::size_t j = 0; j < a.size(); ++j) {
    if (((a[j] ^ b[j]) & real[j]) != 0) {
      return false;
    }
  }
  return true;
}

TEST(CodecInit, TabledGeneratorsMatchTheConstructionLibrary) {
  // Two routes to one g: the library's product of linear factors over its own field, and the
  // engine's product of minimal polynomials over the field it builds on the same polynomial.
  const int codes[][2] = {{5, 1},   {5, 15},  {6, 10},  {7, 5},  {8, 8},  {9, 4},   {10, 6},
                          {10, 99}, {11, 5},  {12, 4},  {13, 1}, {13, 8}, {13, 76}, {14, 40},
                          {15, 60}, {15, 66}, {16, 32}, {17, 4}, {18, 3}, {19, 3},  {20, 49}};
  for (const auto& c : codes) {
    SCOPED_TRACE("m=" + std::to_string(c[0]) + " t=" + std::to_string(c[1]));
    const bch_code code = build(c[0], c[1], {});
    ASSERT_TRUE(code.tables);
    const std::vector<int> library = library_generator(c[0], c[1]);
    ASSERT_FALSE(library.empty());
    EXPECT_EQ(engine_generator(code), library);
    EXPECT_EQ(code.parity_bits, static_cast<int>(library.size()) - 1);
    // The polynomial used is the one the library tables, bit for bit.
    std::uint32_t tabled = 0;
    for (int i = 0; i <= c[0]; ++i) {
      tabled |= static_cast<std::uint32_t>(p[i]) << i;
    }
    EXPECT_EQ(code.primitive_polynomial, tabled);
    EXPECT_EQ(static_cast<std::uint32_t>(bch_primitive_polynomial(c[0])), tabled);
  }
}

TEST(CodecInit, CustomPolynomialsMatchPariGp) {
  ASSERT_GE(custom_codes().size(), 10u) << "cannot read " << PAGOLINTH_CUSTOM_CODES;
  for (const CustomCode& c : custom_codes()) {
    bch_code_options o;
    o.primitive_polynomial = c.p;
    SCOPED_TRACE(describe(c.m, c.t, o));
    const bch_code code = build(c.m, c.t, o);
    ASSERT_TRUE(code.tables);
    EXPECT_EQ(code.primitive_polynomial, c.p);
    EXPECT_EQ(code.parity_bits, c.r);
    EXPECT_EQ(engine_generator(code), bch_reference::hex_to_bits(c.hex, c.r + 1));
    EXPECT_EQ(code.max_data_bytes, static_cast<std::size_t>(((1 << c.m) - 1 - c.r) / 8));
  }
  // Naming the tabled polynomial is the same as leaving it 0: the same ECC, byte for byte.
  for (int m : {5, 13, 16}) {
    bch_code_options named;
    named.primitive_polynomial = static_cast<std::uint32_t>(bch_primitive_polynomial(m));
    const bch_code a = build(m, 3, named);
    const bch_code b = build(m, 3, {});
    std::mt19937_64 rng(static_cast<std::uint64_t>(m));
    const Bytes data = random_bytes(rng, std::min<std::size_t>(a.max_data_bytes, 300));
    Bytes ea(static_cast<std::size_t>(a.ecc_bytes));
    Bytes eb(static_cast<std::size_t>(b.ecc_bytes));
    bch_encode(a, data.data(), data.size(), ea.data());
    bch_encode(b, data.data(), data.size(), eb.data());
    EXPECT_EQ(hex(ea), hex(eb)) << "m=" << m;
  }
}

TEST(CodecInit, RejectsPolynomialsThatAreNotPrimitive) {
  bch_code code = build(13, 8, {});
  ASSERT_GE(bad_polynomials().size(), 5u) << "cannot read " << PAGOLINTH_CUSTOM_CODES;
  auto expect_refused = [&](int m, std::uint32_t polynomial, const std::string& words) {
    bch_code_options o;
    o.primitive_polynomial = polynomial;
    char name[32];
    std::snprintf(name, sizeof name, "0x%X", polynomial);
    SCOPED_TRACE("m=" + std::to_string(m) + " p=" + name);
    const std::string error = bch_code_init(code, m, 4, o).message;
    EXPECT_NE(error.find(std::string("primitive polynomial ") + name), std::string::npos) << error;
    EXPECT_NE(error.find(words), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(code.m, 13) << "the code is left as it was";
    EXPECT_EQ(code.parity_bits, 104);
  };
  // PARI/GP's verdicts: reducible, or irreducible with x of a lower order.
  for (const BadPolynomial& b : bad_polynomials()) {
    expect_refused(b.m, b.p,
                   b.order == 0 ? "is not primitive: it is reducible"
                                : "is not primitive: x has order " + std::to_string(b.order) + ",");
  }
  expect_refused(14, 0x8003, "has degree 15, not m = 14");
  expect_refused(14, 0x201B, "has degree 13, not m = 14");
  expect_refused(5, 0x1, "has degree 0, not m = 5");
  expect_refused(20, 0xFFFFFFFF, "has degree 31, not m = 20");
}

TEST(CodecInit, ParametersFieldsAndSeveralCodesAtOnce) {
  bch_code code = build(13, 8, {});
  EXPECT_EQ(code.m, 13);
  EXPECT_EQ(code.t, 8);
  EXPECT_EQ(code.n, 8191);
  EXPECT_EQ(code.parity_bits, 104);
  EXPECT_EQ(code.k, 8087);
  EXPECT_EQ(code.ecc_bytes, 13);
  EXPECT_EQ(code.max_data_bytes, 1010u);
  const bch_code erased = build(5, 15, {});
  EXPECT_EQ(erased.max_data_bytes, 0u);
  EXPECT_EQ(erased.ecc_bytes, 4);
  // Beyond the construction library's 999 parity bits, up to 1024.
  const bch_code widest = build(10, 511, {});
  EXPECT_EQ(widest.parity_bits, 1022);
  EXPECT_EQ(widest.ecc_bytes, 128);
  const bch_code edge = build(13, 79, {});
  EXPECT_EQ(edge.parity_bits, 1014);

  struct Bad {
    int m, t;
    const char* words;
  };
  for (const Bad bad :
       {Bad{4, 1, "outside 5 ... 20"}, Bad{21, 1, "outside 5 ... 20"}, Bad{13, 0, "below 1"},
        Bad{13, -3, "below 1"}, Bad{13, 4096, "2t < n"}, Bad{5, 16, "2t < n"},
        Bad{13, 80, "more than 1024 parity bits"}, Bad{20, 52, "more than 1024 parity bits"}}) {
    SCOPED_TRACE("m=" + std::to_string(bad.m) + " t=" + std::to_string(bad.t));
    const std::string error = bch_code_init(code, bad.m, bad.t).message;
    EXPECT_NE(error.find(bad.words), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(code.m, 13) << "the code is left as it was";
    EXPECT_EQ(code.parity_bits, 104);
  }
  {
    bch_code_options o;
    o.ecc_mask = bch_ecc_mask::xor_bytes;
    o.mask_bytes.assign(12, 0x5A);
    const std::string error = bch_code_init(code, 13, 8, o).message;
    EXPECT_EQ(error, "the XOR mask has 12 bytes; the ECC has 13");
    o.mask_bytes.assign(13, 0x5A);
    EXPECT_EQ(bch_code_init(code, 13, 8, o).message, "");
    EXPECT_EQ(code.options.mask_bytes, Bytes(13, 0x5A));
    code = build(13, 8, {});
  }
  // Codes built later, on other fields, leave the first one intact.
  const bch_code other = build(20, 3, options_for({true, bch_ecc_mask::none, false}));
  const bch_code small = build(5, 3, options_for({true, bch_ecc_mask::erased_ff, true}));
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

TEST(CodecInit, CodesBuiltOnSeveralThreadsAtOnce) {
  // Building touches no shared state: codes made side by side equal those made one by one.
  struct Case {
    int m, t;
    std::uint32_t p;
  };
  const Case cases[] = {{13, 8, 0}, {14, 40, 0x4443}, {15, 60, 0x8011}, {16, 8, 0x1100B}};
  std::vector<Bytes> alone;
  std::mt19937_64 rng(8);
  const Bytes data = random_bytes(rng, 256);
  auto ecc_of = [&](const Case& c) {
    bch_code code;
    bch_code_options o;
    o.primitive_polynomial = c.p;
    if (!bch_code_init(code, c.m, c.t, o).ok()) {
      return Bytes{};
    }
    Bytes ecc(static_cast<std::size_t>(code.ecc_bytes));
    bch_encode(code, data.data(), data.size(), ecc.data());
    return ecc;
  };
  for (const Case& c : cases) {
    alone.push_back(ecc_of(c));
  }
  std::vector<Bytes> together(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 3; ++round) {
        together[i] = ecc_of(cases[i]);
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(alone[i].empty()) << "m=" << cases[i].m;
    EXPECT_EQ(hex(together[i]), hex(alone[i])) << "m=" << cases[i].m;
  }
}

TEST(CodecEncode, KnownAnswers) {
  // ECC of 512-byte steps computed independently (long division over Python integers with
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
  const Combo combos[4] = {{false, bch_ecc_mask::none, false},
                           {true, bch_ecc_mask::none, false},
                           {false, bch_ecc_mask::erased_ff, false},
                           {true, bch_ecc_mask::erased_ff, false}};
  for (const Case& c : cases) {
    Bytes data(512);
    for (std::size_t i = 0; i < data.size(); ++i) {
      data[i] = static_cast<std::uint8_t>((i * c.multiplier + c.offset) % 256);
    }
    for (int v = 0; v < 4; ++v) {
      for (bch_kernel kernel : kernels()) {
        const bch_code_options o = options_for(combos[v]);
        SCOPED_TRACE(describe(c.m, c.t, o, kernel));
        const bch_code code = build(c.m, c.t, o, kernel);
        Bytes ecc(static_cast<std::size_t>(code.ecc_bytes));
        bch_encode(code, data.data(), data.size(), ecc.data());
        EXPECT_EQ(hex(ecc), c.ecc[v]);
      }
    }
  }
}

TEST(CodecEncode, EveryOptionMatchesBitSerialAndLongDivision) {
  struct Code {
    int m, t;
    std::uint32_t p;
  };
  std::vector<Code> codes = {{5, 1, 0},  {5, 3, 0},   {5, 7, 0},  {6, 4, 0},  {7, 5, 0},
                             {8, 8, 0},  {10, 6, 0},  {11, 5, 0}, {13, 1, 0}, {13, 4, 0},
                             {13, 8, 0}, {13, 16, 0}, {14, 3, 0}, {15, 8, 0}, {15, 66, 0},
                             {16, 5, 0}, {17, 4, 0},  {20, 49, 0}};
  for (const CustomCode& c : custom_codes()) {
    codes.push_back({c.m, c.t, c.p});
  }
  // Around the 8-byte steps of the slicing, the 64-byte blocks and 256-byte spans of folding.
  const std::size_t lengths[] = {0, 1, 7, 9, 17, 63, 65, 255, 257, 513, 1000, 2048};
  std::mt19937_64 rng(1);
  for (const Code& c : codes) {
    const std::vector<int> g = known_generator(c.m, c.p, c.t);
    ASSERT_FALSE(g.empty()) << "m=" << c.m << " t=" << c.t << " missing from the known answers";
    codec_reference::BitSerialEncoder serial(g);
    int combo_index = 0;
    for (const Combo& combo : all_combos()) {
      const bch_code_options o = options_for(combo, c.p);
      for (bch_kernel kernel : kernels()) {
        const bch_code code = build(c.m, c.t, o, kernel);
        ASSERT_EQ(code.parity_bits, static_cast<int>(g.size()) - 1) << describe(c.m, c.t, o);
        const Variant v = variant_of(code);
        std::vector<std::size_t> sizes;
        for (std::size_t n : lengths) {
          // The longest steps on every other option only: the serial encoder is slow there.
          if (n <= code.max_data_bytes && (n < 1000 || combo_index % 3 == 0)) {
            sizes.push_back(n);
          }
        }
        if (code.max_data_bytes <= 4096) {
          sizes.push_back(code.max_data_bytes);
        }
        for (std::size_t n : sizes) {
          SCOPED_TRACE(describe(c.m, c.t, o, kernel) + " bytes=" + std::to_string(n));
          const Bytes data = random_bytes(rng, n);
          Bytes ecc(static_cast<std::size_t>(code.ecc_bytes), 0x5A);
          bch_encode(code, data.data(), n, ecc.data());
          EXPECT_EQ(hex(ecc), hex(serial.ecc(data.data(), n, v)));
          // The long way for one length per code and option: it is slow.
          if (n == std::min<std::size_t>(code.max_data_bytes, 63) && kernel == kernels().back()) {
            EXPECT_EQ(hex(ecc), hex(codec_reference::long_division_ecc(g, data.data(), n, v)));
          }
        }
      }
      ++combo_index;
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
    const std::vector<int> g = library_generator(16, t);
    codec_reference::BitSerialEncoder serial(g);
    for (const Combo& combo :
         {Combo{false, bch_ecc_mask::none, false}, Combo{true, bch_ecc_mask::erased_ff, true}}) {
      const bch_code_options o = options_for(combo);
      for (bch_kernel kernel : kernels()) {
        const bch_code code = build(16, t, o, kernel);
        ASSERT_EQ(engine_generator(code), g) << describe(16, t, o);
        widths.insert((code.parity_bits + 63) / 64);
        for (int i = 0; i < 4; ++i) {
          const std::size_t n = rng() % 1500;
          SCOPED_TRACE(describe(16, t, o, kernel) + " bytes=" + std::to_string(n));
          const Bytes data = random_bytes(rng, n);
          Bytes ecc(static_cast<std::size_t>(code.ecc_bytes));
          bch_encode(code, data.data(), n, ecc.data());
          EXPECT_EQ(hex(ecc), hex(serial.ecc(data.data(), n, variant_of(code))));
        }
      }
    }
  }
  EXPECT_EQ(widths.size(), 16u);
}

TEST(CodecEncode, ParityBitsAreWhereTheEncoderPutsThem) {
  // The reference's layout of one parity coefficient, x^(r-1-i), as stored: the masks add the
  // same to every word and drop out of a difference; the bit order moves it.
  for (const CustomCode& c : {CustomCode{13, 0, 4, 0, ""}, CustomCode{13, 0, 8, 0, ""},
                              CustomCode{5, 0x29, 3, 0, ""}, CustomCode{15, 0x8011, 60, 0, ""}}) {
    for (const Combo& combo : all_combos()) {
      const bch_code_options o = options_for(combo, c.p);
      SCOPED_TRACE(describe(c.m, c.t, o));
      const bch_code code = build(c.m, c.t, o);
      const int r = code.parity_bits;
      std::set<Bit> seen;
      for (int i = 0; i < r; ++i) {
        std::vector<int> unit(static_cast<std::size_t>(r), 0);
        unit[r - 1 - i] = 1;
        Bytes diff = codec_reference::ecc_string(unit, combo.pad_start);
        if (combo.lsb_first) {
          for (auto& b : diff) {
            b = codec_reference::reverse_bits(b);
          }
        }
        const bch_bit_fix place = bch_parity_bit(code, i);
        ASSERT_TRUE(place.in_ecc) << "i=" << i;
        ASSERT_LT(place.byte, diff.size()) << "i=" << i;
        EXPECT_EQ(diff[place.byte], 1 << place.bit) << "i=" << i;
        seen.insert({true, place.byte, place.bit});
      }
      EXPECT_EQ(static_cast<int>(seen.size()), r);
      // The first parity bit written leads the string unless the unused bits do.
      const bch_bit_fix first = bch_parity_bit(code, 0);
      if (!combo.pad_start || 8 * code.ecc_bytes == r) {
        EXPECT_EQ(first.byte, 0u);
        EXPECT_EQ(first.bit, combo.lsb_first ? 0 : 7);
      }
      for (int i : {-1, r, r + 7}) {
        const bch_bit_fix none = bch_parity_bit(code, i);
        EXPECT_FALSE(none.in_ecc) << "i=" << i;
      }
    }
  }
  EXPECT_FALSE(bch_parity_bit(bch_code{}, 0).in_ecc);
}

// bch_find_fixes on the step as read must report what bch_decode did, fix for fix, and leave
// the step as read; so must bch_find_fixes_in_two on the data cut in two, in buffers of their
// own, at the ends, a byte and a word past them, and in the middle.
void expect_found_alike(const bch_code& code, const Bytes& read_d, const Bytes& read_e,
                        const bch_decode_result& decoded) {
  const Bytes d = read_d;
  const Bytes e = read_e;
  bch_decode_result found;
  bch_find_fixes(code, d.data(), d.size(), e.data(), found);
  EXPECT_EQ(d, read_d);
  EXPECT_EQ(e, read_e);
  EXPECT_EQ(found.status, decoded.status);
  EXPECT_EQ(found.bits, decoded.bits);
  auto listed = [](const bch_decode_result& r) {
    std::vector<std::tuple<bool, std::uint32_t, int, bool>> v;
    for (const bch_bit_fix& f : r.fixes) {
      v.emplace_back(f.in_ecc, f.byte, f.bit, f.to_one);
    }
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(listed(found), listed(decoded)) << "fixes differ";
  const std::size_t size = d.size();
  for (const std::size_t cut :
       {std::size_t{0}, std::size_t{1}, size / 2, size - std::min(size, std::size_t{9}), size}) {
    const auto at = static_cast<std::ptrdiff_t>(std::min(cut, size));
    const Bytes head(d.begin(), d.begin() + at);
    const Bytes tail(d.begin() + at, d.end());
    bch_decode_result two;
    bch_find_fixes_in_two(code, head.data(), head.size(), tail.data(), tail.size(), e.data(), two);
    EXPECT_EQ(two.status, decoded.status) << "cut at " << at;
    EXPECT_EQ(two.bits, decoded.bits) << "cut at " << at;
    EXPECT_EQ(listed(two), listed(decoded)) << "fixes differ, cut at " << at;
  }
  // Reported in the order of the step, data before ECC, whichever order the locator found.
  auto place = [](const bch_bit_fix& f) { return std::make_tuple(f.in_ecc, f.byte, f.bit); };
  for (std::size_t i = 1; i < decoded.fixes.size(); ++i) {
    EXPECT_LT(place(decoded.fixes[i - 1]), place(decoded.fixes[i]))
        << "fix " << i << " out of order";
  }
}

// Flips each pattern into a clean step and expects exactly it back; with `scalar`, through
// the locator's scalar path.
void expect_round_trips(int m, int t, const bch_code_options& o, std::size_t bytes,
                        const std::vector<int>& weights, int seeds,
                        bch_kernel kernel = bch_kernel::automatic, bool scalar = false) {
  const bch_code built = build(m, t, o, kernel);
  ASSERT_TRUE(built.tables) << describe(m, t, o, kernel);
  const bch_code code = scalar ? scalar_locator(built) : built;
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
      // Seed 0 starts from the first and last bits of data and parity.
      std::vector<Bit> flips =
          pick(rng, all, static_cast<std::size_t>(w), seed == 0 ? ends : std::vector<Bit>{});
      SCOPED_TRACE(describe(m, t, o, kernel) + (scalar ? " scalar locator" : "") +
                   " bytes=" + std::to_string(bytes) + " weight=" + std::to_string(w) +
                   " seed=" + std::to_string(seed) + " " + describe(flips));
      Bytes d = data;
      Bytes e = ecc;
      for (const Bit& b : flips) {
        flip(d, e, b);
      }
      const Bytes read_d = d;
      const Bytes read_e = e;
      bch_decode(code, d.data(), bytes, e.data(), result);
      expect_found_alike(code, read_d, read_e, result);
      // A word within t zeros of all 0xFF is taken for an erased step first: only on codes of
      // a few bits, where the codeword read has about as many zeros as ones.
      int zeros = 0;
      for (const Bit& b : all) {
        zeros += (((b.in_ecc ? read_e : read_d)[b.byte] >> b.bit) & 1) == 0;
      }
      if (zeros <= t) {
        EXPECT_EQ(result.status, bch_status::erased);
        continue;
      }
      ASSERT_EQ(result.status, bch_status::corrected);
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
  for (const Combo& combo : all_combos()) {
    for (std::uint32_t p : {0u, 0x201Bu}) {
      expect_round_trips(13, 8, options_for(combo, p), 512, all_weights(8), 12);
    }
    expect_round_trips(13, 4, options_for(combo), 512, all_weights(4), 6);
    expect_round_trips(5, 3, options_for(combo, 0x29), 2, all_weights(3), 6);
    expect_round_trips(5, 7, options_for(combo), 0, all_weights(7), 4);
    expect_round_trips(8, 4, options_for(combo, 0x11D), 27, all_weights(4), 6);
  }
  expect_round_trips(13, 8, options_for({true, bch_ecc_mask::erased_ff, true}), 512, all_weights(8),
                     5, bch_kernel::portable);
  expect_round_trips(13, 1, options_for({}), 1015, {1}, 20);
  expect_round_trips(13, 16, options_for({true, bch_ecc_mask::none, false}), 997, all_weights(16),
                     3);
  expect_round_trips(14, 8, options_for({false, bch_ecc_mask::erased_ff, false}), 1024,
                     all_weights(8), 3);
  // The controller sizes, on their own polynomials and the tabled ones.
  expect_round_trips(14, 24, options_for({false, bch_ecc_mask::xor_bytes, true}, 0x4443), 1024,
                     {1, 2, 3, 5, 8, 12, 13, 23, 24}, 2);
  expect_round_trips(14, 40, options_for({true, bch_ecc_mask::erased_ff, false}, 0x4443), 1024,
                     {1, 2, 4, 5, 9, 20, 33, 39, 40}, 2);
  expect_round_trips(14, 40, options_for({}), 1024, {1, 7, 40}, 2);
  expect_round_trips(15, 60, options_for({false, bch_ecc_mask::none, true}, 0x8011), 2048,
                     {1, 2, 3, 4, 5, 6, 30, 59, 60}, 2);
  expect_round_trips(15, 60, options_for({true, bch_ecc_mask::xor_bytes, false}), 2048, {1, 17, 60},
                     2);
  expect_round_trips(15, 66, options_for({}), 512, {1, 2, 5, 17, 33, 65, 66}, 2);
  expect_round_trips(16, 32, options_for({false, bch_ecc_mask::erased_ff, true}, 0x1100B), 4000,
                     {1, 16, 31, 32}, 2);
  expect_round_trips(20, 3, options_for({true, bch_ecc_mask::erased_ff, false}), 4096,
                     all_weights(3), 5);
  expect_round_trips(20, 49, options_for({}), 512, {1, 4, 5, 24, 48, 49}, 2);
  expect_round_trips(10, 511, options_for({}), 0, {1, 5, 100, 511}, 1);
  // The scalar locator, which processors without GFNI run, at the same sizes.
  expect_round_trips(13, 16, options_for({}), 997, all_weights(16), 2, bch_kernel::automatic, true);
  expect_round_trips(14, 40, options_for({true, bch_ecc_mask::erased_ff, false}, 0x4443), 1024,
                     {1, 2, 9, 20, 39, 40}, 2, bch_kernel::automatic, true);
  expect_round_trips(15, 60, options_for({false, bch_ecc_mask::none, true}, 0x8011), 2048,
                     {1, 5, 30, 59, 60}, 1, bch_kernel::automatic, true);
  expect_round_trips(16, 32, options_for({}, 0x1100B), 4000, {1, 16, 32}, 1, bch_kernel::automatic,
                     true);
}

TEST(CodecDecode, BeyondTOnlyVerifiedCodewords) {
  struct Case {
    int m, t;
    std::uint32_t p;
    std::size_t bytes;
    int seeds;
  };
  // Short codes land within t of another codeword often; the long ones almost never.
  const Case cases[] = {{5, 3, 0, 2, 150},         {5, 3, 0x29, 2, 150}, {6, 4, 0, 4, 150},
                        {8, 4, 0x11D, 27, 100},    {13, 4, 0, 512, 40},  {13, 8, 0x201B, 512, 60},
                        {14, 40, 0x4443, 1024, 2}, {15, 60, 0, 2048, 1}};
  int landed_elsewhere = 0;
  for (const Case& c : cases) {
    for (const Combo& combo :
         {Combo{false, bch_ecc_mask::none, false}, Combo{true, bch_ecc_mask::erased_ff, true},
          Combo{false, bch_ecc_mask::xor_bytes, true}}) {
      const bch_code_options o = options_for(combo, c.p);
      const bch_code code = build(c.m, c.t, o);
      const std::vector<int> g = known_generator(c.m, c.p, c.t).empty()
                                     ? library_generator(c.m, c.t)
                                     : known_generator(c.m, c.p, c.t);
      codec_reference::BitSerialEncoder serial(g);
      const std::vector<Bit> all = real_bits(code, c.bytes);
      bch_decode_result result;
      for (int w = c.t + 1; w <= c.t + 3; ++w) {
        for (int seed = 0; seed < c.seeds; ++seed) {
          std::mt19937_64 rng(static_cast<std::uint64_t>(c.m * 7919 + w * 104729 + seed));
          const Bytes data = random_bytes(rng, c.bytes);
          Bytes ecc(static_cast<std::size_t>(code.ecc_bytes));
          bch_encode(code, data.data(), c.bytes, ecc.data());
          const std::vector<Bit> flips = pick(rng, all, static_cast<std::size_t>(w));
          SCOPED_TRACE(describe(c.m, c.t, o) + " weight=" + std::to_string(w) +
                       " seed=" + std::to_string(seed) + " " + describe(flips));
          Bytes d = data;
          Bytes e = ecc;
          for (const Bit& b : flips) {
            flip(d, e, b);
          }
          const Bytes read_d = d;
          const Bytes read_e = e;
          bch_decode(code, d.data(), c.bytes, e.data(), result);
          expect_found_alike(code, read_d, read_e, result);
          const Variant v = variant_of(code);
          switch (result.status) {
            case bch_status::uncorrectable:
              EXPECT_EQ(d, read_d);
              EXPECT_EQ(e, read_e);
              EXPECT_TRUE(result.fixes.empty());
              break;
            case bch_status::clean:
              EXPECT_TRUE(same_real_ecc(code, serial.ecc(d.data(), d.size(), v), e))
                  << "not a codeword";
              EXPECT_EQ(d, read_d);
              break;
            case bch_status::corrected: {
              ++landed_elsewhere;
              EXPECT_TRUE(same_real_ecc(code, serial.ecc(d.data(), d.size(), v), e))
                  << "not a codeword";
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

TEST(CodecDecode, ErasedStepsWithUpToTFlips) {
  struct Case {
    int m, t;
    std::uint32_t p;
    std::size_t bytes;
  };
  const Case cases[] = {{13, 8, 0, 512},
                        {13, 4, 0x201B, 512},
                        {5, 3, 0, 2},
                        {8, 4, 0x11D, 27},
                        {15, 60, 0x8011, 2048}};
  for (const Case& c : cases) {
    for (const Combo& combo : all_combos()) {
      const bch_code_options o = options_for(combo, c.p);
      const bch_code code = build(c.m, c.t, o);
      const std::vector<Bit> all = real_bits(code, c.bytes);
      const Bytes real = parity_bits_as_stored(code);
      if (combo.mask == bch_ecc_mask::erased_ff) {
        // The mask makes the erased step a codeword, unused bits included: clean as read, still
        // reported erased.
        Bytes ecc(static_cast<std::size_t>(code.ecc_bytes));
        bch_encode(code, Bytes(c.bytes, 0xFF).data(), c.bytes, ecc.data());
        EXPECT_EQ(ecc, Bytes(ecc.size(), 0xFF)) << describe(c.m, c.t, o);
      }
      bch_decode_result result;
      const int most = c.t > 8 ? 6 : c.t + 1;
      for (int zeros : {0, 1, 2, most - 1, most, c.t, c.t + 1}) {
        for (int seed = 0; seed < (c.t > 8 ? 2 : 4); ++seed) {
          std::mt19937_64 rng(static_cast<std::uint64_t>(zeros * 100 + seed));
          std::vector<Bit> flips = pick(rng, all, static_cast<std::size_t>(zeros));
          SCOPED_TRACE(describe(c.m, c.t, o) + " zeros=" + std::to_string(zeros) +
                       " seed=" + std::to_string(seed) + " " + describe(flips));
          Bytes d(c.bytes, 0xFF);
          Bytes e(static_cast<std::size_t>(code.ecc_bytes), 0xFF);
          for (const Bit& b : flips) {
            flip(d, e, b);
          }
          // Unused bits read as 0 on odd seeds; they count for nothing.
          if (seed % 2 == 1) {
            for (std::size_t j = 0; j < e.size(); ++j) {
              e[j] = static_cast<std::uint8_t>(e[j] & real[j]);
            }
          }
          const Bytes read_d = d;
          const Bytes read_e = e;
          bch_decode(code, d.data(), c.bytes, e.data(), result);
          expect_found_alike(code, read_d, read_e, result);
          if (zeros > c.t) {
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
          EXPECT_EQ(d, Bytes(c.bytes, 0xFF));
          EXPECT_EQ(e, Bytes(static_cast<std::size_t>(code.ecc_bytes), 0xFF));
        }
      }
    }
  }
}

TEST(CodecDecode, UnusedBitsAreNeitherCheckedNorCorrected) {
  // r = 52 leaves 4 unused bits, r = 15 one, r = 25 seven, r = 900 four.
  struct Case {
    int m, t;
    std::uint32_t p;
    std::size_t bytes;
  };
  const Case cases[] = {{13, 4, 0, 512}, {5, 3, 0x29, 2}, {5, 7, 0, 0}, {15, 60, 0x8011, 2048}};
  for (const Case& c : cases) {
    for (const Combo& combo : all_combos()) {
      if (c.bytes == 0 && combo.mask == bch_ecc_mask::erased_ff) {
        continue;  // the only codeword is the erased step, which the erased tests cover
      }
      const bch_code_options o = options_for(combo, c.p);
      const bch_code code = build(c.m, c.t, o);
      std::mt19937_64 rng(static_cast<std::uint64_t>(c.m + c.t));
      const Bytes data = random_bytes(rng, c.bytes);
      Bytes ecc(static_cast<std::size_t>(code.ecc_bytes));
      bch_encode(code, data.data(), c.bytes, ecc.data());
      const Bytes real = parity_bits_as_stored(code);
      SCOPED_TRACE(describe(c.m, c.t, o));
      // Unused bits are stored as the mask leaves them: 0 without one, 1 with erased_ff, the
      // mask's own bits with xor_bytes.
      const Bytes& mask = xor_mask();
      for (std::size_t j = 0; j < ecc.size(); ++j) {
        const auto unused = static_cast<std::uint8_t>(~real[j]);
        const int expected = combo.mask == bch_ecc_mask::erased_ff   ? unused
                             : combo.mask == bch_ecc_mask::xor_bytes ? mask[j] & unused
                                                                     : 0;
        EXPECT_EQ(ecc[j] & unused, expected) << "ecc[" << j << "]";
      }
      bch_decode_result result;
      Bytes d = data;
      Bytes e = ecc;
      for (std::size_t j = 0; j < e.size(); ++j) {
        e[j] = static_cast<std::uint8_t>(e[j] ^ ~real[j]);
      }
      const Bytes unused_flipped = e;
      bch_decode(code, d.data(), c.bytes, e.data(), result);
      EXPECT_EQ(result.status, bch_status::clean);
      EXPECT_EQ(e, unused_flipped) << "unused bits are left as read";
      const std::vector<Bit> flips = pick(rng, real_bits(code, c.bytes), 2);
      for (const Bit& b : flips) {
        flip(d, e, b);
      }
      bch_decode(code, d.data(), c.bytes, e.data(), result);
      EXPECT_EQ(result.status, bch_status::corrected) << describe(flips);
      EXPECT_EQ(result.bits, 2);
      EXPECT_EQ(d, data);
      EXPECT_EQ(e, unused_flipped);
    }
  }
}

TEST(CodecDecode, OutsideTheContractChangesNothing) {
  const bch_code code = build(8, 4, {});
  Bytes data(code.max_data_bytes + 1, 0x12);
  Bytes ecc(static_cast<std::size_t>(code.ecc_bytes), 0x34);
  bch_decode_result result;
  bch_decode(code, data.data(), data.size(), ecc.data(), result);
  EXPECT_EQ(result.status, bch_status::uncorrectable);
  EXPECT_EQ(data, Bytes(code.max_data_bytes + 1, 0x12));
  EXPECT_EQ(ecc, Bytes(ecc.size(), 0x34));
  bch_encode(code, data.data(), data.size(), ecc.data());
  EXPECT_EQ(ecc, Bytes(ecc.size(), 0x34));
  const bch_code unbuilt;
  bch_decode(unbuilt, data.data(), 1, ecc.data(), result);
  EXPECT_EQ(result.status, bch_status::uncorrectable);
  bch_encode(unbuilt, data.data(), 1, ecc.data());
  EXPECT_EQ(ecc, Bytes(ecc.size(), 0x34));
}

// GF(2^m) by shifts and XORs on the modulus, apart from the engine's tables: alpha = x, and
// x^m reduces to the polynomial's low part.
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
void expect_roots_match_search(int m, int t, std::uint32_t polynomial, int trials,
                               bool scalar = false, bool narrow = false) {
  bch_code_options o;
  o.primitive_polynomial = polynomial;
  const bch_code built = build(m, t, o);
  ASSERT_TRUE(built.tables);
  bch_code code = scalar ? scalar_locator(built) : built;
  if (narrow) {
    // The carry-less products in 128-bit registers, as processors without VPCLMULQDQ take them.
    auto tables = std::make_shared<bch_code_tables>(*code.tables);
    tables->gfni.clear();
    tables->product_wide = false;
    code.tables = std::move(tables);
  }
  const bch_code_tables& tb = *code.tables;
  const ShiftField gf{m, static_cast<int>(code.primitive_polynomial ^ (1u << m))};
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
      name << "m=" << m << " t=" << t << " p=" << code.primitive_polynomial
           << (scalar ? " scalar" : "") << (narrow ? " narrow" : "") << " degree " << d << " kind "
           << kind << " trial " << trial << " poly";
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
  expect_roots_match_search(5, 3, 0, 400);
  expect_roots_match_search(6, 4, 0, 300);
  expect_roots_match_search(8, 4, 0x11D, 300);
  expect_roots_match_search(13, 8, 0, 60);
  expect_roots_match_search(13, 8, 0x201B, 30);
  expect_roots_match_search(14, 12, 0x4443, 6);
  expect_roots_match_search(14, 12, 0x4443, 6, true);
  expect_roots_match_search(10, 24, 0, 10);
  expect_roots_match_search(10, 24, 0, 10, true);
  expect_roots_match_search(10, 24, 0, 10, false, true);
}

// The remainder modulo g of errors at the given powers of x (0 ... r-1 parity, r ... data), in
// the locator's logical layout, for a code with the default options: the ECC of the data bits
// among them plus the parity bits among them, made through the encoder.
Bytes remainder_of(const bch_code& code, std::size_t bytes, const std::vector<int>& powers) {
  Bytes data(bytes, 0);
  Bytes flips(static_cast<std::size_t>(code.ecc_bytes), 0);
  const int shift = code.tables->parity_shift;  // the unused bits, where they end the ECC
  for (int p : powers) {
    if (p < code.parity_bits) {
      const int q = p + shift;
      flips[static_cast<std::size_t>(code.ecc_bytes - 1 - q / 8)] ^=
          static_cast<std::uint8_t>(1u << (q % 8));
    } else {
      const int u = p - code.parity_bits;
      data[bytes - 1 - static_cast<std::size_t>(u / 8)] ^= static_cast<std::uint8_t>(1u << (u % 8));
    }
  }
  Bytes ecc(static_cast<std::size_t>(code.ecc_bytes));
  bch_encode(code, data.data(), bytes, ecc.data());
  for (std::size_t j = 0; j < ecc.size(); ++j) {
    ecc[j] = static_cast<std::uint8_t>(ecc[j] ^ flips[j]);
  }
  return ecc;
}

// The direct solution of two to four errors against the positions put in and against the
// whole locator: exact at t = 4, where S_1 ... S_7 are every syndrome, so that it must agree
// with the locator on any remainder; above, on every pattern of two to four errors. Fields
// on 16-bit and int tables; refused below t = 4 and above m = 16.
TEST(CodecFewErrors, MatchThePatternAndTheLocator) {
  struct Case {
    int m, t;
    std::uint32_t p;
    std::size_t bytes;
    int trials;
  };
  const Case cases[] = {
      {13, 4, 0, 512, 300},       {13, 8, 0, 512, 300},   {13, 8, 0x201B, 512, 200},
      {6, 4, 0, 2, 300},          {8, 4, 0x11D, 26, 300}, {8, 5, 0, 20, 300},
      {14, 16, 0x4443, 1024, 60}, {16, 4, 0, 600, 100},   {16, 9, 0x1100B, 100, 60}};
  for (const Case& c : cases) {
    bch_code_options o;
    o.primitive_polynomial = c.p;
    const bch_code code = build(c.m, c.t, o);
    ASSERT_TRUE(code.tables);
    const bch_code_tables& tb = *code.tables;
    const long limit = tb.r + 8L * static_cast<long>(c.bytes);
    ASSERT_LT(c.bytes, code.max_data_bytes) << "m=" << c.m << " t=" << c.t;
    std::mt19937_64 rng(static_cast<std::uint64_t>(c.m * 131 + c.t));
    int solved = 0;
    for (int trial = 0; trial < c.trials; ++trial) {
      // Weights 1 ... t + 2 and a random remainder; every position below the limit except
      // now and then one just beyond it, which neither route may return.
      const int kind = trial % (c.t + 3);
      Bytes remainder;
      std::vector<int> powers;
      if (kind == c.t + 2) {
        remainder = random_bytes(rng, static_cast<std::size_t>(tb.ecc_bytes));
        remainder.back() = static_cast<std::uint8_t>(remainder.back() & (0xFF << tb.pad_bits));
      } else {
        std::set<int> chosen;
        while (static_cast<int>(chosen.size()) < kind + 1) {
          chosen.insert(static_cast<int>(rng() % static_cast<std::uint64_t>(limit)));
        }
        powers.assign(chosen.begin(), chosen.end());
        if (trial % 7 == 3 && limit < tb.n) {
          powers.back() = static_cast<int>(limit);
        }
        // One data byte more than the step, so that the power just past it has a place.
        remainder = remainder_of(code, c.bytes + 1, powers);
      }
      std::ostringstream name;
      name << "m=" << c.m << " t=" << c.t << " p=" << code.primitive_polynomial << " trial "
           << trial << " remainder " << hex(remainder) << " powers";
      for (int q : powers) {
        name << " " << q;
      }
      SCOPED_TRACE(name.str());
      bool zero = true;
      for (auto b : remainder) {
        zero = zero && b == 0;
      }
      if (zero) {
        continue;
      }
      int few[4] = {-7, -7, -7, -7};
      const int count = bch_few_errors(tb, remainder.data(), limit, few);
      std::vector<int> located(static_cast<std::size_t>(c.t), -7);
      const int full = bch_locate_errors(tb, remainder.data(), limit, located.data());
      const std::set<int> few_set(few, few + std::max(count, 0));
      const bool in_range = powers.empty() || powers.back() < limit;
      if (powers.size() >= 2 && powers.size() <= 4 && in_range) {
        ASSERT_EQ(count, static_cast<int>(powers.size()));
        EXPECT_EQ(few_set, std::set<int>(powers.begin(), powers.end()));
        ++solved;
      }
      if (c.t == 4) {
        if (full >= 2 && full <= 4) {
          ASSERT_EQ(count, full);
          EXPECT_EQ(few_set, std::set<int>(located.begin(), located.begin() + full));
        } else {
          EXPECT_EQ(count, -1);
        }
      }
      if (powers.size() == 1) {
        EXPECT_EQ(count, -1) << "one error is not two to four";
      }
    }
    EXPECT_GT(solved, 0) << "m=" << c.m << " t=" << c.t;
  }
  // Below t = 4 S_7 is no syndrome, beyond m = 16 the shares do not fit 16 bits, and above
  // t = 16 the route is not taken.
  for (const Case& c : {Case{13, 3, 0, 512, 0}, Case{17, 4, 0, 512, 0}, Case{14, 17, 0, 512, 0}}) {
    const bch_code code = build(c.m, c.t, {});
    ASSERT_TRUE(code.tables);
    const Bytes remainder = remainder_of(code, c.bytes, {5, 77});
    int few[4];
    EXPECT_EQ(bch_few_errors(*code.tables, remainder.data(), code.parity_bits + 8L * 512, few), -1)
        << "m=" << c.m << " t=" << c.t;
  }
}

// The check of a correction by the generator's powers against the remainder the encoder makes:
// the flips of an error pattern cancel its remainder, and a pattern one flip short or with one
// flip elsewhere does not. Parities of 5 ... 336 bits: 5, fewer than a byte's shift lifts
// past x^(r-1); 64 and 128, with no spare bits in the top word; the unused bits at either
// end of the ECC. The widest codes carry no table and re-encode.
TEST(CodecFlips, CancelTheRemainderExactly) {
  struct Case {
    int m, t;
    std::size_t bytes;
    bch_pad pad;
  };
  std::mt19937_64 rng(24);
  for (const Case c :
       {Case{5, 1, 3, bch_pad::end}, Case{5, 3, 2, bch_pad::start}, Case{13, 8, 512, bch_pad::end},
        Case{13, 8, 512, bch_pad::start}, Case{16, 4, 1024, bch_pad::start},
        Case{16, 8, 2048, bch_pad::end}, Case{14, 24, 1024, bch_pad::start},
        Case{10, 24, 96, bch_pad::end}, Case{10, 23, 96, bch_pad::start}}) {
    SCOPED_TRACE("m = " + std::to_string(c.m) + ", t = " + std::to_string(c.t) +
                 (c.pad == bch_pad::start ? ", unused bits first" : ", unused bits last"));
    bch_code code;
    bch_code_options options;
    options.pad = c.pad;
    ASSERT_TRUE(bch_code_init(code, c.m, c.t, options).ok());
    ASSERT_FALSE(code.tables->byte_powers.empty());
    const long bits = code.parity_bits + 8L * static_cast<long>(c.bytes);
    for (int trial = 0; trial < 40; ++trial) {
      std::set<int> chosen;
      const int want = 1 + trial % (c.t + 2);
      while (static_cast<int>(chosen.size()) < want) {
        // Every third pattern keeps to the ends, where the shifts and the folding meet.
        const long b = static_cast<long>(rng() % static_cast<std::uint64_t>(bits));
        const long end = static_cast<long>(rng() % 32);
        chosen.insert(static_cast<int>(trial % 3 != 0 ? b
                                       : end < 16     ? end
                                                      : bits - 1 - (end - 16)));
      }
      std::vector<int> powers(chosen.begin(), chosen.end());
      const Bytes remainder = remainder_of(code, c.bytes, powers);
      EXPECT_TRUE(bch_flips_cancel(*code.tables, remainder.data(), powers.data(), want))
          << "trial " << trial;
      EXPECT_FALSE(bch_flips_cancel(*code.tables, remainder.data(), powers.data(), want - 1))
          << "trial " << trial;
      int other = static_cast<int>(rng() % static_cast<std::uint64_t>(bits));
      while (chosen.count(other) != 0) {
        other = (other + 1) % static_cast<int>(bits);
      }
      powers.back() = other;
      EXPECT_FALSE(bch_flips_cancel(*code.tables, remainder.data(), powers.data(), want))
          << "trial " << trial;
    }
  }
  bch_code wide;
  ASSERT_TRUE(bch_code_init(wide, 15, 60).ok());
  EXPECT_TRUE(wide.tables->byte_powers.empty());
}

TEST(CodecDecode, TwoThreadsShareOneCode) {
  const bch_code code = build(13, 8, options_for({true, bch_ecc_mask::xor_bytes, true}, 0x201B));
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
