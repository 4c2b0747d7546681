// The engine's entry points: building a code, encoding, and decoding a step: one parity
// computation decides clean; only then come the erased test, the locator, the proof that the
// flips cancel the remainder (or, for the widest codes, encoding again), and the correction.
#include "codec/codec.h"
#include "bch/bch.h"               // bch_primitive_polynomial: the tabled polynomial for m
#include "codec/codec_internal.h"  // bch_code_tables, field, generator, kernels, locator

#include <algorithm>  // std::sort
#include <cstdint>    // std::uint8_t, std::uint64_t
#include <cstdio>     // std::snprintf
#include <cstring>    // std::memcpy, std::memset
#include <memory>     // std::make_shared
#include <new>        // std::bad_alloc
#include <string>     // std::string
#include <vector>     // std::vector

namespace {

inline std::uint8_t reverse_bits(std::uint8_t b) {
  b = static_cast<std::uint8_t>(((b >> 1) & 0x55) | ((b & 0x55) << 1));
  b = static_cast<std::uint8_t>(((b >> 2) & 0x33) | ((b & 0x33) << 2));
  return static_cast<std::uint8_t>((b >> 4) | (b << 4));
}

// A bit count in registers: without a popcnt target the builtin is a library call.
inline int zero_bits(std::uint64_t v) {
  v = v - ((v >> 1) & 0x5555555555555555u);
  v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
  v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return 64 - static_cast<int>((v * 0x0101010101010101u) >> 56);
}

// A step's message: head_bytes at `head`, then tail_bytes at `tail`, as if they stood end to
// end, so that a message the layout splits is decoded where it lies. tail_bytes is 0 for a
// message in one piece. Written through only by bch_decode.
struct message {
  std::uint8_t* head = nullptr;
  std::size_t head_bytes = 0;
  std::uint8_t* tail = nullptr;
  std::size_t tail_bytes = 0;

  std::size_t bytes() const { return head_bytes + tail_bytes; }
  std::uint8_t& at(std::size_t i) const { return i < head_bytes ? head[i] : tail[i - head_bytes]; }
};

// One piece; the pointer loses const only to share the code with bch_decode.
message whole(const std::uint8_t* data, std::size_t bytes) {
  return message{const_cast<std::uint8_t*>(data), bytes, nullptr, 0};
}

// The ECC bytes as stored for the parity of `data`: the aligned words
// from the top, big-endian, moved down by the unused bits when they lead, then the mask
// (unused bits, zero in `aligned`, store as the mask), the bit order, the stored XOR and the
// caller's offset, if any.
void stored_ecc(const bch_code_tables& tb, const message& data, std::uint8_t* ecc,
                const std::uint8_t* offset) {
  std::uint64_t aligned[kCodecMaxWords];
  tb.parity(tb, data.head, data.head_bytes, aligned);
  if (data.tail_bytes != 0) {
    bch_parity_continue(tb, data.tail, data.tail_bytes, aligned);
  }
  if (tb.pad_start && tb.pad_bits != 0) {
    const int s = tb.pad_bits;
    for (int q = 0; q < tb.words; ++q) {
      aligned[q] = (aligned[q] >> s) | (q + 1 < tb.words ? aligned[q + 1] << (64 - s) : 0);
    }
  }
  std::uint8_t out[8 * kCodecMaxWords];
  for (int q = 0; 8 * q < tb.ecc_bytes; ++q) {
    std::uint64_t w = aligned[tb.words - 1 - q] ^ tb.invert;
    if (tb.lsb_first) {
      w = bch_reverse_bits_in_bytes(w);
    }
    for (int k = 0; k < 8; ++k) {
      out[8 * q + k] = static_cast<std::uint8_t>(w >> (56 - 8 * k));
    }
  }
  if (!tb.ecc_xor.empty()) {
    for (int j = 0; j < tb.ecc_bytes; ++j) {
      out[j] = static_cast<std::uint8_t>(out[j] ^ tb.ecc_xor[j]);
    }
  }
  if (offset != nullptr) {
    for (int j = 0; j < tb.ecc_bytes; ++j) {
      out[j] = static_cast<std::uint8_t>(out[j] ^ offset[j]);
    }
  }
  std::memcpy(ecc, out, static_cast<std::size_t>(tb.ecc_bytes));
}

// Real (parity) bits of stored ECC byte j.
inline std::uint8_t real_bits(const bch_code_tables& tb, int j) {
  return j == tb.pad_byte ? tb.pad_real : std::uint8_t{0xFF};
}

// Zero bits of bytes[0 ... count-1] added to `zeros`, stopping once past limit.
int add_zeros(const std::uint8_t* bytes, std::size_t count, int zeros, int limit) {
  std::size_t i = 0;
  for (; i + 8 <= count && zeros <= limit; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, bytes + i, 8);
    zeros += zero_bits(w);
  }
  for (; i < count && zeros <= limit; ++i) {
    zeros += zero_bits(~std::uint64_t{0xFF} | bytes[i]);
  }
  return zeros;
}

// Zero bits among the data and the real ECC bits, counting no further than limit + 1.
int count_zeros(const bch_code_tables& tb, const message& data, const std::uint8_t* ecc,
                int limit) {
  // The data first: a step that is not nearly erased has more than t zeros in its first word.
  int zeros = add_zeros(data.head, data.head_bytes, 0, limit);
  zeros = add_zeros(data.tail, data.tail_bytes, zeros, limit);
  for (int j = 0; j < tb.ecc_bytes && zeros <= limit; ++j) {
    zeros +=
        zero_bits(~std::uint64_t{0xFF} | (ecc[j] | static_cast<std::uint8_t>(~real_bits(tb, j))));
  }
  return zeros;
}

bool all_ones(const std::uint8_t* data, std::size_t bytes) {
  std::uint64_t acc = ~std::uint64_t{0};
  std::size_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, data + i, 8);
    acc &= w;
  }
  for (; i < bytes; ++i) {
    acc &= ~std::uint64_t{0xFF} | data[i];
  }
  return acc == ~std::uint64_t{0};
}

// Reports the sector as erased: every zero bit listed, then, with `apply`, data and ECC set
// to all 0xFF.
void erase(const bch_code_tables& tb, const message& data, std::uint8_t* ecc,
           bch_decode_result& result, bool apply) {
  result.status = bch_status::erased;
  for (std::size_t i = 0; i < data.bytes(); ++i) {
    const std::uint8_t byte = data.at(i);
    for (int bit = 0; bit < 8 && byte != 0xFF; ++bit) {
      if (((byte >> bit) & 1) == 0) {
        result.fixes.push_back(
            {false, static_cast<std::uint32_t>(i), static_cast<std::uint8_t>(bit), true});
      }
    }
  }
  for (int j = 0; j < tb.ecc_bytes; ++j) {
    for (int bit = 0; bit < 8; ++bit) {
      if (((real_bits(tb, j) >> bit) & 1) != 0 && ((ecc[j] >> bit) & 1) == 0) {
        result.fixes.push_back(
            {true, static_cast<std::uint32_t>(j), static_cast<std::uint8_t>(bit), true});
      }
    }
  }
  result.bits = static_cast<int>(result.fixes.size());
  if (!apply) {
    return;
  }
  if (data.head_bytes != 0) {
    std::memset(data.head, 0xFF, data.head_bytes);
  }
  if (data.tail_bytes != 0) {
    std::memset(data.tail, 0xFF, data.tail_bytes);
  }
  std::memset(ecc, 0xFF, static_cast<std::size_t>(tb.ecc_bytes));
}

// Where power p of the received word is stored. Powers 0 ... r-1 are the parity, x^0 last;
// the data bits follow upwards from the last data byte's last bit.
bch_bit_fix stored_position(const bch_code_tables& tb, std::size_t data_bytes, int p) {
  bch_bit_fix fix;
  int logical = 0;  // bit within the byte in the most-significant-first reading
  if (p < tb.r) {
    const int q = p + tb.parity_shift;
    fix.in_ecc = true;
    fix.byte = static_cast<std::uint32_t>(tb.ecc_bytes - 1 - q / 8);
    logical = q % 8;
  } else {
    const long u = p - tb.r;
    fix.in_ecc = false;
    fix.byte = static_cast<std::uint32_t>(static_cast<long>(data_bytes) - 1 - u / 8);
    logical = static_cast<int>(u % 8);
  }
  fix.bit = static_cast<std::uint8_t>(tb.lsb_first ? 7 - logical : logical);
  return fix;
}

// Where a fix lies in the step as one number, data before ECC, then byte, then bit: one
// comparison instead of three, whose branches the processor cannot foresee.
inline std::uint64_t step_order(const bch_bit_fix& fix) {
  return (std::uint64_t{fix.in_ecc} << 40) | (std::uint64_t{fix.byte} << 8) | fix.bit;
}

void flip(const message& data, std::uint8_t* ecc, const bch_bit_fix& fix) {
  std::uint8_t* byte = fix.in_ecc ? ecc + fix.byte : &data.at(fix.byte);
  *byte = static_cast<std::uint8_t>(*byte ^ (1u << fix.bit));
}

// Compares the ECC computed for `data` with the stored one, unused bits aside. Fills expected,
// whose unused bits are then those read.
bool ecc_matches(const bch_code_tables& tb, const message& data, const std::uint8_t* ecc,
                 std::uint8_t* expected, const std::uint8_t* offset) {
  stored_ecc(tb, data, expected, offset);
  const auto pad = static_cast<std::size_t>(tb.pad_byte);
  expected[pad] = static_cast<std::uint8_t>((expected[pad] & tb.pad_real) |
                                            (ecc[pad] & static_cast<std::uint8_t>(~tb.pad_real)));
  const auto count = static_cast<std::size_t>(tb.ecc_bytes);
  std::uint64_t diff = 0;
  std::size_t j = 0;
  for (; j + 8 <= count; j += 8) {
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, expected + j, 8);
    std::memcpy(&b, ecc + j, 8);
    diff |= a ^ b;
  }
  for (; j < count; ++j) {
    diff |= expected[j] ^ ecc[j];
  }
  return diff == 0;
}

// Whether a codeword is an erased sector, as it is under the erased_ff mask. The ECC bytes
// rule out nearly every other sector before the data is scanned, the first byte most of them.
bool erased_codeword(const bch_code_tables& tb, const message& data, const std::uint8_t* ecc) {
  if ((ecc[0] | static_cast<std::uint8_t>(~real_bits(tb, 0))) != 0xFF) {
    return false;
  }
  std::uint8_t ones = 0xFF;
  for (int j = 0; j < tb.ecc_bytes; ++j) {
    ones =
        static_cast<std::uint8_t>(ones & (ecc[j] | static_cast<std::uint8_t>(~real_bits(tb, j))));
  }
  return ones == 0xFF && all_ones(data.head, data.head_bytes) &&
         all_ones(data.tail, data.tail_bytes);
}

std::string build(bch_code& code, int m, int t, const bch_code_options& options,
                  bch_kernel kernel) {
  char message[160];
  if (m < kCodecMinDegree || m > kCodecMaxDegree) {
    std::snprintf(message, sizeof message, "field degree m = %d is outside %d ... %d", m,
                  kCodecMinDegree, kCodecMaxDegree);
    return message;
  }
  const int n = (1 << m) - 1;
  if (t < 1) {
    std::snprintf(message, sizeof message, "error count t = %d is below 1", t);
    return message;
  }
  // 64-bit so that no t overflows; from 2t = n on, the root alpha^0 = 1 would join the set.
  if (2LL * t >= n) {
    std::snprintf(message, sizeof message, "error count t = %d needs 2t < n = %d", t, n);
    return message;
  }
  const std::uint32_t polynomial = options.primitive_polynomial != 0
                                       ? options.primitive_polynomial
                                       : static_cast<std::uint32_t>(bch_primitive_polynomial(m));
  std::string fault = bch_check_polynomial(m, polynomial);
  if (!fault.empty()) {
    return fault;
  }
  // Every alpha^1 ... alpha^(2t) is a root, so r >= 2t: the cheap test bounds the count first.
  const int r =
      2LL * t > kCodecMaxParity ? kCodecMaxParity + 1 : bch_generator_degree(m, t, kCodecMaxParity);
  if (r > kCodecMaxParity) {
    std::snprintf(message, sizeof message, "error count t = %d needs more than %d parity bits", t,
                  kCodecMaxParity);
    return message;
  }
  const int ecc_bytes = (r + 7) / 8;
  if (options.ecc_mask == bch_ecc_mask::xor_bytes &&
      options.mask_bytes.size() < static_cast<std::size_t>(ecc_bytes)) {
    std::snprintf(message, sizeof message, "the XOR mask has %lu bytes; the ECC has %d",
                  static_cast<unsigned long>(options.mask_bytes.size()), ecc_bytes);
    return message;
  }

  auto tables = std::make_shared<bch_code_tables>();
  bch_code_tables& tb = *tables;
  tb.m = m;
  tb.t = t;
  tb.n = n;
  tb.polynomial = polynomial;
  bch_build_field(tb, polynomial);
  const std::vector<int> g = bch_build_generator(tb);
  if (static_cast<int>(g.size()) != r + 1) {
    return "the generator polynomial does not lie over GF(2)";
  }
  tb.r = r;
  tb.words = (r + 63) / 64;
  tb.ecc_bytes = ecc_bytes;
  tb.pad_bits = 8 * ecc_bytes - r;
  tb.pad_start = options.pad == bch_pad::start;
  tb.parity_shift = tb.pad_start ? 0 : tb.pad_bits;
  tb.lsb_first = options.bit_order == bch_bit_order::lsb_first;
  tb.invert = options.ecc_mask == bch_ecc_mask::erased_ff ? ~std::uint64_t{0} : 0;
  if (options.ecc_mask == bch_ecc_mask::xor_bytes) {
    tb.ecc_xor.assign(options.mask_bytes.begin(), options.mask_bytes.begin() + ecc_bytes);
  }
  // Unused bits: the low ones of the last logical byte, or the high ones of the first.
  const auto real =
      static_cast<std::uint8_t>(tb.pad_start ? 0xFF >> tb.pad_bits : 0xFF << tb.pad_bits);
  tb.pad_byte = tb.pad_start ? 0 : ecc_bytes - 1;
  tb.pad_real = tb.lsb_first ? reverse_bits(real) : real;
  if (!bch_build_parity_tables(tb, g.data(), kernel)) {
    return "the parity kernel asked for does not run on this processor";
  }
  bch_build_locator_tables(tb);
  bch_build_power_tables(tb, static_cast<std::size_t>((n - r) / 8));

  code.m = m;
  code.primitive_polynomial = polynomial;
  code.t = t;
  code.n = n;
  code.k = n - r;
  code.parity_bits = r;
  code.ecc_bytes = ecc_bytes;
  code.max_data_bytes = static_cast<std::size_t>((n - r) / 8);
  code.options = options;
  code.tables = std::move(tables);
  return {};
}

}  // namespace

status bch_code_init_with_kernel(bch_code& code, int m, int t, bch_code_options options,
                                 bch_kernel kernel) {
  // The tables of the largest fields take some megabytes; running out is reported, not thrown.
  try {
    return status{build(code, m, t, options, kernel)};
  } catch (const std::bad_alloc&) {
    return status::error("out of memory building the code tables");
  }
}

status bch_code_init(bch_code& code, int m, int t, bch_code_options options) {
  return bch_code_init_with_kernel(code, m, t, options, bch_kernel::automatic);
}

bch_kernel bch_code_kernel(const bch_code& code) {
  return code.tables ? code.tables->kernel : bch_kernel::portable;
}

void bch_encode(const bch_code& code, const std::uint8_t* data, std::size_t data_bytes,
                std::uint8_t* ecc, const std::uint8_t* ecc_offset) {
  if (!code.tables || data_bytes > code.max_data_bytes) {
    return;
  }
  stored_ecc(*code.tables, whole(data, data_bytes), ecc, ecc_offset);
}

namespace {

// bch_decode, and with `apply` false bch_find_fixes: data and ecc are then only read.
// REQUIRES: apply, or the code proves corrections by its powers (byte_powers not empty).
void decode(const bch_code& code, const message& data, std::uint8_t* ecc, bch_decode_result& result,
            const std::uint8_t* ecc_offset, bool apply) {
  const std::size_t data_bytes = data.bytes();
  result.status = bch_status::clean;
  result.bits = 0;
  result.fixes.clear();
  if (!code.tables || data_bytes > code.max_data_bytes) {
    result.status = bch_status::uncorrectable;
    return;
  }
  const bch_code_tables& tb = *code.tables;
  std::uint8_t expected[kCodecMaxEccBytes];
  if (ecc_matches(tb, data, ecc, expected, ecc_offset)) {
    if (erased_codeword(tb, data, ecc)) {
      erase(tb, data, ecc, result, apply);
    }
    return;
  }
  if (count_zeros(tb, data, ecc, tb.t) <= tb.t) {
    erase(tb, data, ecc, result, apply);
    return;
  }

  // The received word's remainder modulo g, in the logical reading: computed parity plus
  // stored parity. Under the mask both sides carry the same inversion, which cancels.
  std::uint8_t remainder[kCodecMaxEccBytes];
  for (int j = 0; j < tb.ecc_bytes; ++j) {
    const auto d = static_cast<std::uint8_t>((expected[j] ^ ecc[j]) & real_bits(tb, j));
    remainder[j] = tb.lsb_first ? reverse_bits(d) : d;
  }
  const long limit = tb.r + 8L * static_cast<long>(data_bytes);
  // Applies the errors found and keeps them only if the step is then a codeword: the flips
  // must cancel the remainder through the generator's own powers of x (or, for the widest
  // codes, encoding again must match), which checks what the locator's algebra promises, so
  // that no fault on the way can report a corrupted step as corrected.
  const bool by_powers = !tb.byte_powers.empty();
  auto correct = [&](const int* positions, int count) {
    if (by_powers && !bch_flips_cancel(tb, remainder, positions, count)) {
      return false;
    }
    for (int i = 0; i < count; ++i) {
      bch_bit_fix fix = stored_position(tb, data_bytes, positions[i]);
      const std::uint8_t byte = fix.in_ecc ? ecc[fix.byte] : data.at(fix.byte);
      fix.to_one = ((byte >> fix.bit) & 1) == 0;
      if (apply) {
        flip(data, ecc, fix);
      }
      result.fixes.push_back(fix);
    }
    if (by_powers || ecc_matches(tb, data, ecc, expected, ecc_offset)) {
      // In the order of the step, data before ECC, byte by byte, bit by bit, whichever order
      // the locator found them in: what is reported stays the same when the locator changes.
      std::sort(
          result.fixes.begin(), result.fixes.end(),
          [](const bch_bit_fix& a, const bch_bit_fix& b) { return step_order(a) < step_order(b); });
      return true;
    }
    for (const bch_bit_fix& fix : result.fixes) {
      flip(data, ecc, fix);
    }
    result.fixes.clear();
    return false;
  };
  // A single error, the commonest case, is told by two syndromes; the whole locator runs only
  // when that does not give a codeword.
  // Where two to four errors are solved directly, both tests take S_1 and S_3 from one pass.
  const bool direct = !tb.few_syndromes.empty();
  const std::uint64_t early = direct ? bch_early_syndromes(tb, remainder) : 0;
  const int single =
      direct ? bch_single_error_of(tb, early, limit) : bch_single_error(tb, remainder, limit);
  if (single >= 0 && correct(&single, 1)) {
    result.status = bch_status::corrected;
    result.bits = 1;
    return;
  }
  // Two to four errors are solved directly from four or five syndromes, with the same check.
  int few[4];
  const int found = direct ? bch_few_errors_of(tb, early, remainder, limit, few) : -1;
  if (found > 0 && correct(few, found)) {
    result.status = bch_status::corrected;
    result.bits = found;
    return;
  }
  int local[64];
  std::vector<int> heap;
  int* positions = local;
  if (tb.t > 64) {
    heap.resize(static_cast<std::size_t>(tb.t));
    positions = heap.data();
  }
  const int count = bch_locate_errors(tb, remainder, limit, positions);
  if (count < 1 || !correct(positions, count)) {
    result.status = bch_status::uncorrectable;
    return;
  }
  result.status = bch_status::corrected;
  result.bits = count;
}

}  // namespace

void bch_decode(const bch_code& code, std::uint8_t* data, std::size_t data_bytes, std::uint8_t* ecc,
                bch_decode_result& result, const std::uint8_t* ecc_offset) {
  decode(code, whole(data, data_bytes), ecc, result, ecc_offset, true);
}

namespace {

// bch_find_fixes and bch_find_fixes_in_two.
void find_fixes(const bch_code& code, const message& data, const std::uint8_t* ecc,
                bch_decode_result& result, const std::uint8_t* ecc_offset) {
  if (!code.tables || data.bytes() > code.max_data_bytes) {
    decode(code, message{}, nullptr, result, ecc_offset, true);  // reports uncorrectable
    return;
  }
  if (!code.tables->byte_powers.empty()) {
    // Nothing is written with `apply` false; the pointer loses const only to share the code.
    decode(code, data, const_cast<std::uint8_t*>(ecc), result, ecc_offset, false);
    return;
  }
  // The widest codes prove a correction by encoding the corrected step again: on a copy.
  std::vector<std::uint8_t> copy;
  try {
    copy.reserve(data.bytes() + static_cast<std::size_t>(code.tables->ecc_bytes));
  } catch (const std::bad_alloc&) {
    result.status = bch_status::uncorrectable;
    result.bits = 0;
    result.fixes.clear();
    return;
  }
  copy.assign(data.head, data.head + data.head_bytes);
  copy.insert(copy.end(), data.tail, data.tail + data.tail_bytes);
  copy.insert(copy.end(), ecc, ecc + code.tables->ecc_bytes);
  decode(code, whole(copy.data(), data.bytes()), copy.data() + data.bytes(), result, ecc_offset,
         true);
}

}  // namespace

void bch_find_fixes(const bch_code& code, const std::uint8_t* data, std::size_t data_bytes,
                    const std::uint8_t* ecc, bch_decode_result& result,
                    const std::uint8_t* ecc_offset) {
  find_fixes(code, whole(data, data_bytes), ecc, result, ecc_offset);
}

void bch_find_fixes_in_two(const bch_code& code, const std::uint8_t* head, std::size_t head_bytes,
                           const std::uint8_t* tail, std::size_t tail_bytes,
                           const std::uint8_t* ecc, bch_decode_result& result,
                           const std::uint8_t* ecc_offset) {
  // The second piece lies apart, most often in the spare area: its first reading is under way
  // while the first piece's parity is computed.
#if defined(__GNUC__)
  if (tail_bytes != 0) {
    __builtin_prefetch(tail);
  }
#endif
  find_fixes(code,
             message{const_cast<std::uint8_t*>(head), head_bytes, const_cast<std::uint8_t*>(tail),
                     tail_bytes},
             ecc, result, ecc_offset);
}

bch_bit_fix bch_parity_bit(const bch_code& code, int i) {
  if (!code.tables || i < 0 || i >= code.tables->r) {
    return {};
  }
  return stored_position(*code.tables, 0, code.tables->r - 1 - i);
}

bool bch_is_clean(const bch_code& code, const std::uint8_t* data, std::size_t data_bytes,
                  const std::uint8_t* ecc, const std::uint8_t* ecc_offset) {
  if (!code.tables || data_bytes > code.max_data_bytes) {
    return false;
  }
  const bch_code_tables& tb = *code.tables;
  std::uint8_t expected[kCodecMaxEccBytes];
  const message whole_data = whole(data, data_bytes);
  return ecc_matches(tb, whole_data, ecc, expected, ecc_offset) &&
         !erased_codeword(tb, whole_data, ecc);
}

const char* bch_status_name(bch_status status) {
  // In the order of bch_status.
  static const char* const kNames[] = {"clean", "corrected", "erased", "uncorrectable"};
  const auto i = static_cast<unsigned>(status);
  return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : "?";
}
