// Fuzz target of the error-correction engine: the input picks a code (field, t, polynomial, bit
// order, mask, padding), a message and bit flips; the step is encoded, flipped and decoded, and
// every verdict is held to what codec/codec.h promises. A broken promise aborts with a message.
#include <fuzzer/FuzzedDataProvider.h>  // FuzzedDataProvider

#include <algorithm>  // std::min, std::sort, std::unique
#include <cstddef>    // std::size_t
#include <cstdint>    // std::uint8_t, std::uint32_t, std::uint64_t
#include <cstdio>     // std::fprintf, stderr
#include <cstdlib>    // std::abort
#include <map>        // std::map
#include <memory>     // std::unique_ptr, std::make_unique
#include <utility>    // std::pair
#include <vector>     // std::vector

#include "bch/bch.h"      // the construction library's generator, for the reference
#include "codec/codec.h"  // bch_code_init, bch_encode, bch_decode, bch_find_fixes(_in_two)
#include "tests/codec/codec_reference.h"  // codec_reference::BitSerialEncoder, Variant

namespace {

struct code_choice {
  int m;
  int t;
  std::uint32_t polynomial;  // 0: the tabled one
};

// Small and large fields, t on both sides of the engine's routes (one error, two to four up to
// t = 16, the full locator, scratch on the heap beyond t = 64), controllers' own polynomials.
constexpr code_choice kCodes[] = {
    {5, 1, 0},   {5, 2, 0},        {5, 3, 0},   {6, 2, 0},        {7, 3, 0},
    {8, 4, 0},   {9, 5, 0},        {10, 7, 0},  {11, 9, 0},       {12, 12, 0},
    {13, 1, 0},  {13, 2, 0},       {13, 4, 0},  {13, 8, 0},       {13, 8, 0x201B},
    {13, 16, 0}, {13, 17, 0},      {14, 24, 0}, {14, 24, 0x4443}, {14, 40, 0},
    {14, 70, 0}, {15, 60, 0x8011}, {16, 4, 0},  {17, 3, 0},       {18, 2, 0},
};
constexpr int kCodeCount = static_cast<int>(sizeof kCodes / sizeof kCodes[0]);

// Longest step tried: a few sectors' worth keeps each run short.
constexpr std::size_t kMaxStepBytes = 2048;

// The stored XOR of the xor_bytes mask: as many bytes as the widest ECC (1024 parity bits).
std::vector<std::uint8_t> xor_pattern() {
  std::vector<std::uint8_t> bytes(128);
  for (std::size_t j = 0; j < bytes.size(); ++j) {
    bytes[j] = static_cast<std::uint8_t>(j * 151 + 89);
  }
  return bytes;
}

struct built_code {
  bch_code code;
  std::vector<std::uint8_t> real;  // per ECC byte, the bits that hold parity
  // The construction library's generator for tabled polynomials: the bit-serial reference
  // then checks every encoding.
  std::unique_ptr<codec_reference::BitSerialEncoder> reference;
  codec_reference::Variant variant;
};

[[noreturn]] void fail(const char* what, const code_choice& c, const bch_code_options& o,
                       std::size_t data_bytes, int flips) {
  std::fprintf(stderr,
               "decoder fuzz: %s (m=%d t=%d polynomial=0x%X lsb_first=%d mask=%d pad_start=%d "
               "data_bytes=%zu distinct flips=%d)\n",
               what, c.m, c.t, c.polynomial, o.bit_order == bch_bit_order::lsb_first,
               static_cast<int>(o.ecc_mask), o.pad == bch_pad::start, data_bytes, flips);
  std::abort();
}

const built_code& code_for(int index, bool lsb_first, int mask, bool pad_start) {
  static std::map<int, std::unique_ptr<built_code>> cache;
  const int key = ((index * 2 + (lsb_first ? 1 : 0)) * 3 + mask) * 2 + (pad_start ? 1 : 0);
  std::unique_ptr<built_code>& slot = cache[key];
  if (slot) {
    return *slot;
  }
  const code_choice& c = kCodes[index];
  bch_code_options o;
  o.bit_order = lsb_first ? bch_bit_order::lsb_first : bch_bit_order::msb_first;
  o.ecc_mask = mask == 0   ? bch_ecc_mask::none
               : mask == 1 ? bch_ecc_mask::erased_ff
                           : bch_ecc_mask::xor_bytes;
  if (mask == 2) {
    o.mask_bytes = xor_pattern();
  }
  o.pad = pad_start ? bch_pad::start : bch_pad::end;
  o.primitive_polynomial = c.polynomial;
  slot = std::make_unique<built_code>();
  built_code& b = *slot;
  if (!bch_code_init(b.code, c.m, c.t, o).ok()) {
    fail("a code of the fuzzer's own list does not build", c, o, 0, 0);
  }
  // Where the parity lives, by the engine's own account: r distinct bits of the ECC bytes.
  b.real.assign(static_cast<std::size_t>(b.code.ecc_bytes), 0);
  for (int i = 0; i < b.code.parity_bits; ++i) {
    const bch_bit_fix at = bch_parity_bit(b.code, i);
    if (!at.in_ecc || at.byte >= b.real.size() || at.bit > 7 ||
        (b.real[at.byte] >> at.bit & 1) != 0) {
      fail("bch_parity_bit names a bit twice or outside the ECC", c, o, 0, 0);
    }
    b.real[at.byte] = static_cast<std::uint8_t>(b.real[at.byte] | 1u << at.bit);
  }
  if (c.polynomial == 0) {
    mm = c.m;
    nn = (1 << c.m) - 1;
    tt = c.t;
    Parallel = 1;
    Verbose = 0;
    if (check_params() != nullptr) {
      fail("the construction library refuses a code of the fuzzer's list", c, o, 0, 0);
    }
    generate_gf();
    gen_poly();
    if (rr != b.code.parity_bits) {
      fail("engine and construction library disagree on the parity bits", c, o, 0, 0);
    }
    b.reference =
        std::make_unique<codec_reference::BitSerialEncoder>(std::vector<int>(gg, gg + rr + 1));
    b.variant.lsb_first = lsb_first;
    b.variant.erased_ff = mask == 1;
    b.variant.pad_start = pad_start;
    if (mask == 2) {
      b.variant.xor_bytes = o.mask_bytes;
    }
  }
  return b;
}

struct word {
  std::vector<std::uint8_t> data;  // at least one byte, so that the pointer is never null
  std::vector<std::uint8_t> ecc;
};

int popcount8(unsigned v) {
  int n = 0;
  for (; v != 0; v &= v - 1) {
    ++n;
  }
  return n;
}

// Bits in which two words differ, the ECC's unused bits aside.
int distance(const built_code& b, const word& x, const word& y, std::size_t data_bytes) {
  int d = 0;
  for (std::size_t i = 0; i < data_bytes; ++i) {
    d += popcount8(x.data[i] ^ y.data[i]);
  }
  for (std::size_t j = 0; j < b.real.size(); ++j) {
    d += popcount8((x.ecc[j] ^ y.ecc[j]) & b.real[j]);
  }
  return d;
}

// Zero bits of the data and the real ECC bits: the distance from the erased step.
int zeros(const built_code& b, const word& x, std::size_t data_bytes) {
  int z = 0;
  for (std::size_t i = 0; i < data_bytes; ++i) {
    z += popcount8(static_cast<std::uint8_t>(~x.data[i]));
  }
  for (std::size_t j = 0; j < b.real.size(); ++j) {
    z += popcount8(static_cast<std::uint8_t>(~x.ecc[j]) & b.real[j]);
  }
  return z;
}

bool is_codeword(const built_code& b, const word& x, std::size_t data_bytes) {
  std::vector<std::uint8_t> ecc(b.real.size());
  bch_encode(b.code, x.data.data(), data_bytes, ecc.data());
  for (std::size_t j = 0; j < ecc.size(); ++j) {
    if (((ecc[j] ^ x.ecc[j]) & b.real[j]) != 0) {
      return false;
    }
  }
  return true;
}

bool unused_bits_equal(const built_code& b, const word& x, const word& y) {
  for (std::size_t j = 0; j < b.real.size(); ++j) {
    if (((x.ecc[j] ^ y.ecc[j]) & ~b.real[j] & 0xFF) != 0) {
      return false;
    }
  }
  return true;
}

std::uint64_t next_random(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  FuzzedDataProvider in(input, size);
  const int index = in.ConsumeIntegralInRange(0, kCodeCount - 1);
  const bool lsb_first = in.ConsumeBool();
  const int mask = in.ConsumeIntegralInRange(0, 2);
  const bool pad_start = in.ConsumeBool();
  const built_code& b = code_for(index, lsb_first, mask, pad_start);
  const code_choice& c = kCodes[index];
  const bch_code_options& o = b.code.options;
  const int t = b.code.t;
  const int r = b.code.parity_bits;

  const std::size_t data_bytes =
      in.ConsumeIntegralInRange<std::size_t>(0, std::min(b.code.max_data_bytes, kMaxStepBytes));
  const int fill = in.ConsumeIntegralInRange(0, 3);
  const int flip_count = in.ConsumeBool() ? in.ConsumeIntegralInRange(0, t + 2)
                                          : in.ConsumeIntegralInRange(0, 2 * t + 4);
  const int unused_flips = in.ConsumeIntegralInRange(0, 2);
  std::uint64_t seed = in.ConsumeIntegral<std::uint64_t>();

  word orig;
  orig.data.assign(std::max<std::size_t>(data_bytes, 1), 0);
  orig.ecc.assign(b.real.size(), 0);
  if (fill == 0) {
    const std::vector<std::uint8_t> given = in.ConsumeBytes<std::uint8_t>(data_bytes);
    for (std::size_t i = 0; i < data_bytes; ++i) {
      orig.data[i] = i < given.size() ? given[i] : static_cast<std::uint8_t>(next_random(seed));
    }
  } else {
    // Erased (all 0xFF), all zero, or one repeated byte: the steps a dump is full of.
    const std::uint8_t value = fill == 1   ? 0xFF
                               : fill == 2 ? 0x00
                                           : in.ConsumeIntegral<std::uint8_t>();
    std::fill(orig.data.begin(), orig.data.begin() + static_cast<long>(data_bytes), value);
  }
  bch_encode(b.code, orig.data.data(), data_bytes, orig.ecc.data());
  if (b.reference) {
    const std::vector<std::uint8_t> expected =
        b.reference->ecc(orig.data.data(), data_bytes, b.variant);
    if (expected != orig.ecc) {
      fail("ECC differs from the bit-serial reference", c, o, data_bytes, 0);
    }
  }

  // Flips in the data and the parity; flipping one bit twice undoes it.
  word received = orig;
  const std::size_t total_bits = 8 * data_bytes + static_cast<std::size_t>(r);
  for (int f = 0; f < flip_count; ++f) {
    const std::uint32_t pick = in.remaining_bytes() >= 4
                                   ? in.ConsumeIntegral<std::uint32_t>()
                                   : static_cast<std::uint32_t>(next_random(seed));
    const std::size_t position = pick % total_bits;
    if (position < 8 * data_bytes) {
      received.data[position / 8] =
          static_cast<std::uint8_t>(received.data[position / 8] ^ 1u << (position % 8));
    } else {
      const bch_bit_fix at = bch_parity_bit(b.code, static_cast<int>(position - 8 * data_bytes));
      received.ecc[at.byte] = static_cast<std::uint8_t>(received.ecc[at.byte] ^ 1u << at.bit);
    }
  }
  // Unused ECC bits are never checked or corrected: flipping them must change no verdict.
  std::vector<std::pair<std::size_t, int>> unused;
  for (std::size_t j = 0; j < b.real.size(); ++j) {
    for (int bit = 0; bit < 8; ++bit) {
      if ((b.real[j] >> bit & 1) == 0) {
        unused.emplace_back(j, bit);
      }
    }
  }
  for (int f = 0; f < unused_flips && !unused.empty(); ++f) {
    const auto& [j, bit] = unused[next_random(seed) % unused.size()];
    received.ecc[j] = static_cast<std::uint8_t>(received.ecc[j] ^ 1u << bit);
  }

  const int e = distance(b, orig, received, data_bytes);
  const bool codeword = is_codeword(b, received, data_bytes);
  const int to_erased = zeros(b, received, data_bytes);
  if (codeword && e > 0 && e <= 2 * t) {
    fail("two codewords lie within 2t bits of each other", c, o, data_bytes, e);
  }
  const bool clean_by_check =
      bch_is_clean(b.code, received.data.data(), data_bytes, received.ecc.data());
  if (clean_by_check != (codeword && to_erased != 0)) {
    fail("bch_is_clean disagrees with the step's state", c, o, data_bytes, e);
  }

  word result = received;
  bch_decode_result verdict;
  bch_decode(b.code, result.data.data(), data_bytes, result.ecc.data(), verdict);
  // The read-only route must say the same, fix for fix, and leave the step as it was.
  {
    const word before = received;
    bch_decode_result found;
    bch_find_fixes(b.code, received.data.data(), data_bytes, received.ecc.data(), found);
    auto listed = [](const bch_decode_result& v) {
      std::vector<std::uint64_t> keys;
      for (const bch_bit_fix& f : v.fixes) {
        keys.push_back((std::uint64_t{f.in_ecc} << 48) | (std::uint64_t{f.byte} << 16) |
                       (std::uint64_t{f.bit} << 1) | std::uint64_t{f.to_one});
      }
      std::sort(keys.begin(), keys.end());
      return keys;
    };
    if (received.data != before.data || received.ecc != before.ecc) {
      fail("bch_find_fixes changed the step", c, o, data_bytes, e);
    }
    if (found.status != verdict.status || found.bits != verdict.bits ||
        listed(found) != listed(verdict)) {
      fail("bch_find_fixes and bch_decode disagree", c, o, data_bytes, e);
    }
    // And so must the same message cut in two, in buffers of their own, anywhere.
    const std::size_t cut = static_cast<std::size_t>(next_random(seed) % (data_bytes + 1));
    const std::vector<std::uint8_t> head(received.data.begin(),
                                         received.data.begin() + static_cast<long>(cut));
    const std::vector<std::uint8_t> tail(received.data.begin() + static_cast<long>(cut),
                                         received.data.begin() + static_cast<long>(data_bytes));
    bch_decode_result two;
    bch_find_fixes_in_two(b.code, head.data(), head.size(), tail.data(), tail.size(),
                          received.ecc.data(), two);
    if (two.status != verdict.status || two.bits != verdict.bits ||
        listed(two) != listed(verdict)) {
      fail("bch_find_fixes_in_two and bch_decode disagree", c, o, data_bytes, e);
    }
  }
  if (verdict.bits != static_cast<int>(verdict.fixes.size()) &&
      verdict.status != bch_status::clean && verdict.status != bch_status::uncorrectable) {
    fail("the bit count is not the number of fixes", c, o, data_bytes, e);
  }

  if (codeword && to_erased != 0) {
    if (verdict.status != bch_status::clean) {
      fail("a codeword is not reported clean", c, o, data_bytes, e);
    }
  } else if (to_erased <= t) {
    if (verdict.status != bch_status::erased) {
      fail("a step within t bits of all 0xFF is not reported erased", c, o, data_bytes, e);
    }
  } else if (e <= t) {
    if (verdict.status != bch_status::corrected) {
      fail("t or fewer flips are not reported corrected", c, o, data_bytes, e);
    }
  } else if (verdict.status != bch_status::corrected &&
             verdict.status != bch_status::uncorrectable) {
    fail("more than t flips reported neither corrected nor uncorrectable", c, o, data_bytes, e);
  }

  switch (verdict.status) {
    case bch_status::clean:
    case bch_status::uncorrectable:
      if (verdict.bits != 0 || !verdict.fixes.empty() || result.data != received.data ||
          result.ecc != received.ecc) {
        fail("a clean or uncorrectable step was changed or has fixes", c, o, data_bytes, e);
      }
      break;
    case bch_status::erased: {
      if (verdict.bits != to_erased) {
        fail("an erased step's bit count is not its zero bits", c, o, data_bytes, e);
      }
      for (std::size_t i = 0; i < data_bytes; ++i) {
        if (result.data[i] != 0xFF) {
          fail("an erased step's data is not all 0xFF", c, o, data_bytes, e);
        }
      }
      for (std::uint8_t v : result.ecc) {
        if (v != 0xFF) {
          fail("an erased step's ECC is not all 0xFF", c, o, data_bytes, e);
        }
      }
      break;
    }
    case bch_status::corrected: {
      if (verdict.bits < 1 || verdict.bits > t) {
        fail("a corrected step's bit count is outside 1 ... t", c, o, data_bytes, e);
      }
      // The fixes, applied to what was read, give the result, each bit once and in its
      // direction; the unused bits stay as read.
      word replay = received;
      std::vector<std::uint64_t> seen;
      for (const bch_bit_fix& fix : verdict.fixes) {
        const std::size_t limit = fix.in_ecc ? b.real.size() : data_bytes;
        if (fix.byte >= limit || fix.bit > 7 ||
            (fix.in_ecc && (b.real[fix.byte] >> fix.bit & 1) == 0)) {
          fail("a fix names a bit outside the data and the parity", c, o, data_bytes, e);
        }
        std::uint8_t& byte = fix.in_ecc ? replay.ecc[fix.byte] : replay.data[fix.byte];
        if (((byte >> fix.bit & 1) == 0) != fix.to_one) {
          fail("a fix's direction is not the bit as read", c, o, data_bytes, e);
        }
        byte = static_cast<std::uint8_t>(byte ^ 1u << fix.bit);
        seen.push_back((std::uint64_t{fix.in_ecc} << 40) | (std::uint64_t{fix.byte} << 3) |
                       fix.bit);
      }
      std::sort(seen.begin(), seen.end());
      if (std::unique(seen.begin(), seen.end()) != seen.end()) {
        fail("a bit is fixed twice", c, o, data_bytes, e);
      }
      if (replay.data != result.data || replay.ecc != result.ecc) {
        fail("the fixes do not describe the change", c, o, data_bytes, e);
      }
      if (!is_codeword(b, result, data_bytes) ||
          !bch_is_clean(b.code, result.data.data(), data_bytes, result.ecc.data())) {
        fail("a corrected step is not a codeword", c, o, data_bytes, e);
      }
      if (e <= t) {
        if (distance(b, orig, result, data_bytes) != 0 || !unused_bits_equal(b, result, received)) {
          fail("t or fewer flips are not undone exactly", c, o, data_bytes, e);
        }
        if (verdict.bits != e) {
          fail("the bit count is not the number of distinct flips", c, o, data_bytes, e);
        }
      }
      // Decoding the corrected step again finds nothing to do.
      word again = result;
      bch_decode(b.code, again.data.data(), data_bytes, again.ecc.data(), verdict);
      if (verdict.status != bch_status::clean || again.data != result.data ||
          again.ecc != result.ecc) {
        fail("a corrected step does not decode clean", c, o, data_bytes, e);
      }
      break;
    }
  }
  return 0;
}
