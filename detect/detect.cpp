// The search behind detect_layout: sample pages, find the span of a page's last step by the
// common factor of XORed words, name the BCH code that factor generates, place the other steps
// by decoding, and weigh the whole against chance.
#include "detect/detect.h"

#include <algorithm>  // std::min, std::max, std::max_element, std::fill, std::copy, std::count,
                      // std::reverse, std::stable_sort, std::find
#include <cmath>      // std::ceil
#include <map>        // std::map
#include <set>        // std::set
#include <thread>     // std::thread
#include <utility>    // std::move

#include "bch/bch.h"               // bch_primitive_polynomial: the tabled polynomial first
#include "codec/codec.h"           // bch_encode, bch_decode, bch_parity_bit
#include "codec/layout_code.h"     // build_code
#include "codec/step_frame.h"      // step_frame, frame_step, gather_frame_ecc, frame_offset
#include "detect/packed_search.h"  // find_packed_layout
#include "detect/evidence.h"       // chance_of_decoding, log10_chance_of_at_least, kEvidenceBar
#include "detect/step_decoder.h"   // nearly_erased, decode_count, decode_sample
#include "detect/syndrome_scan.h"  // word_shape, syndrome_scan, primitive_polynomials
#include "layout/bit_spans.h"      // gather_message_bits
#include "platform/platform.h"     // platform_read_at

namespace {

// The smallest common factor taken for a code: below it, chance common factors of random
// words are too frequent to be worth a closer look.
constexpr int kMinParity = 16;
// The largest: the engine's limit.
constexpr int kMaxParity = 1024;
// Step sizes a controller splits a page into.
constexpr std::int64_t kStepSizes[] = {512, 1024, 2048};
// Protected bytes looked for between a step's data and its ECC when the padding leads.
constexpr std::int64_t kMaxProtected = 16;
// Work of the tries of all candidates together past the first three each, in squared 64-bit
// words of the gcds' inputs (as kNoisyWork): a few seconds of gcds, whatever the geometry.
constexpr double kMoreWork = 1.2e9;
// Work of the rounds for noisy dumps, per step size and in all, in squared 64-bit words of the
// gcds' inputs (a 512-byte step's word is some 66 words: 4,400 a gcd, a tenth of a millisecond
// or so), and the tries per candidate a round.
constexpr double kNoisyWork = 6e8;
constexpr double kNoisyWorkTotal = 1.2e9;
constexpr int kNoisyRound = 16;
// Bytes by which the search may move a found message's start later.
constexpr std::int64_t kMaxTrim = 80;
// Bytes before a candidate's end that its word may end at instead (constant bytes after the
// ECC, a hole or a pad, pass for its end under a mask), and the message starts weighed with
// each earlier end.
constexpr std::int64_t kEndBack = 8;
constexpr std::int64_t kEndBackTrim = 16;
// The most bytes of the last step's word beyond its data (protected bytes, ECC and any fixed
// bytes after it; a hole aside): the engine's largest ECC (1024 bits) and as much again. The
// search tries no longer word, so its work and memory follow the step sizes, not the spare:
// a spare of megabytes costs what one of a few hundred bytes does.
constexpr std::int64_t kMaxStepSpare = 2 * kMaxParity / 8;
// The most bytes of sampled pages held at once, whatever the page size asks.
constexpr std::int64_t kMaxSampleBytes = std::int64_t{256} << 20;
// Candidates whose common factors are sought at once, spread over the threads.
constexpr std::size_t kBatch = 64;
// Bytes that may vary after the last ECC of a page (a page counter, a sequence number): the
// last step's word may end this many columns before the last varying one.
constexpr std::int64_t kMaxTrailing = 32;
// Fields whose syndromes are weighed together before their hits are confirmed.
constexpr std::size_t kFieldBatch = 64;
// Protected bytes a spare-at-end step may keep apart from its ECC (every step's tags first,
// then every ECC: file-system tags run 2 to 10 bytes), and the bytes its data may start past
// the step's place (a header before the data area).
constexpr std::int64_t kMaxApart = 10;
constexpr std::int64_t kMaxDataOffset = 16;
// Confirmations of like-data factors per step size and end: a few settle it, the rest repeat.
constexpr int kMostLikeConfirms = 24;
// Runs of fixed bytes at the start of the spare that a step's message may skip.
constexpr std::int64_t kHoles[] = {1, 2, 6, 8};
// The share of programmed steps that must decode for a reading in bits to be taken.
constexpr double kBitShare = 0.9;

// The pages the search works on, and what their columns say.
struct sample_set {
  std::int64_t raw = 0;
  std::vector<std::vector<std::uint8_t>> pages;  // programmed, each different
  std::vector<char> constant;                    // per column: (nearly) one value in all
  std::vector<std::uint8_t> steady_bits;         // per column: bits (nearly) fixed in all
  std::int64_t end = 0;                          // one past the last column that varies
};

std::uint8_t reversed(std::uint8_t b) {
  b = static_cast<std::uint8_t>(((b & 0xF0) >> 4) | ((b & 0x0F) << 4));
  b = static_cast<std::uint8_t>(((b & 0xCC) >> 2) | ((b & 0x33) << 2));
  return static_cast<std::uint8_t>(((b & 0xAA) >> 1) | ((b & 0x55) << 1));
}

void study_columns(sample_set& s) {
  const std::size_t n = s.pages.size();
  s.constant.assign(static_cast<std::size_t>(s.raw), 0);
  s.steady_bits.assign(static_cast<std::size_t>(s.raw), 0);
  s.end = 0;
  // A byte or bit off its usual value in a few pages is a bit error, not a varying column.
  const std::size_t slack = n / 32;
  std::vector<std::uint32_t> counts(256);
  for (std::int64_t j = 0; j < s.raw; ++j) {
    // Bits are weighed over the pages whose byte is not 0xFF: steps left unwritten in pages
    // written only in part would otherwise hide the fixed padding bits of the others.
    std::uint32_t ones[8] = {};
    std::size_t written = 0;
    for (const auto& page : s.pages) {
      const std::uint8_t b = page[static_cast<std::size_t>(j)];
      ++counts[b];
      if (b == 0xFF)
        continue;
      ++written;
      for (int k = 0; k < 8; ++k)
        ones[k] += (b >> k) & 1;
    }
    // The most frequent value, and the counts cleared again by what was counted: with a few
    // pages of megabytes, clearing all 256 a column would cost more than the counting.
    std::uint32_t top = 0;
    for (const auto& page : s.pages) {
      const std::uint8_t b = page[static_cast<std::size_t>(j)];
      top = std::max(top, counts[b]);
    }
    for (const auto& page : s.pages)
      counts[page[static_cast<std::size_t>(j)]] = 0;
    s.constant[j] = top + slack >= n;
    std::uint8_t steady = 0;
    const std::size_t bit_slack = written / 32;
    for (int k = 0; k < 8; ++k) {
      if (ones[k] <= bit_slack || ones[k] + bit_slack >= written)
        steady = static_cast<std::uint8_t>(steady | (1 << k));
    }
    s.steady_bits[j] = steady;
    if (!s.constant[j])
      s.end = j + 1;
  }
}

void gather(const std::vector<std::uint8_t>& page, const word_shape& shape,
            std::vector<std::uint8_t>& out) {
  out.clear();
  for (const layout_span& span : shape.spans)
    out.insert(out.end(), page.begin() + span.offset, page.begin() + span.offset + span.length);
}

gf2_poly to_poly(const std::vector<std::uint8_t>& bytes, const word_shape& shape) {
  if (shape.cut_bits == 0)
    return poly_from_bytes(bytes.data(), bytes.size(), shape.lsb_first);
  const auto cut = static_cast<std::size_t>(shape.cut_at);
  gf2_poly high = poly_from_bytes(bytes.data(), cut, shape.lsb_first);
  gf2_poly low = poly_from_bytes(bytes.data() + cut, bytes.size() - cut, shape.lsb_first);
  const int low_bits = static_cast<int>(8 * (bytes.size() - cut)) - shape.cut_bits;
  poly_truncate(low, low_bits);
  gf2_poly word = poly_shift_left(high, low_bits);
  poly_add(word, low);
  return word;
}

// A common factor of the XORed words of a shape: g (x not a factor) and the power of x that
// every word carries besides (bits after the parity).
struct common_factor {
  gf2_poly g;
  int shift = 0;
};

// The words of the pages whose step under `shape` is programmed, at most `most`.
std::vector<std::vector<std::uint8_t>> programmed_words(const sample_set& s,
                                                        const word_shape& shape, std::size_t first,
                                                        std::size_t most) {
  std::vector<std::vector<std::uint8_t>> words;
  std::vector<std::uint8_t> w;
  for (std::size_t i = first; i < s.pages.size() && words.size() < most; ++i) {
    gather(s.pages[i], shape, w);
    // Steps of like content (zeros, say) repeat: a copy would spoil every try it is in.
    if (!nearly_erased(w.data(), w.size(), 16) &&
        std::find(words.begin(), words.end(), w) == words.end())
      words.push_back(w);
  }
  return words;
}

gf2_poly xor_poly(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b,
                  const word_shape& shape) {
  std::vector<std::uint8_t> x(a.size());
  for (std::size_t i = 0; i < a.size(); ++i)
    x[i] = static_cast<std::uint8_t>(a[i] ^ b[i]);
  return to_poly(x, shape);
}

// Splits off the power of x; false for zero.
bool odd_part(gf2_poly& p, int& shift) {
  shift = poly_trailing_zeros(p);
  if (shift < 0)
    return false;
  poly_shift_right(p, shift);
  return true;
}

// Try k of a search: which words it compares, and against what. Every second try XORs two
// words with a third, which cancels any mask; the others take the words as they are (a
// codeword without a mask) or inverted (a codeword under the erased-ff mask, of which the
// all-0xFF step is one), so that only two words need be free of bit errors.
struct try_plan {
  enum class against { page, nothing, all_ones } ref = against::page;
  std::size_t ref_word = 0, a = 0, b = 0;
};

try_plan plan_try(int k, std::size_t words) {
  try_plan plan;
  plan.ref = k % 2 == 0   ? try_plan::against::page
             : k % 4 == 1 ? try_plan::against::nothing
                          : try_plan::against::all_ones;
  // Three different words, a different set each try.
  std::uint64_t state = 0x9E3779B97F4A7C15ull * static_cast<std::uint64_t>(k + 1);
  const auto next = [&state, words]() {
    state ^= state >> 29;
    state *= 0xBF58476D1CE4E5B9ull;
    state ^= state >> 32;
    return static_cast<std::size_t>(state % words);
  };
  plan.ref_word = next();
  do
    plan.a = next();
  while (plan.a == plan.ref_word);
  do
    plan.b = next();
  while (plan.b == plan.ref_word || plan.b == plan.a);
  return plan;
}

// Narrows g, the factor of two words, by its gcd with each further word that shares kMinParity
// degrees or more with it (words with bit errors share less and are passed over). Words alike
// in structure (pages that differ in a byte or two) can share a long factor that no third word
// has: it counts only when two further words agree with it (every one, when fewer are asked).
// `further(j, w, shift)` gives the j-th further word's odd part and power of x, or false.
template <class Further>
bool agreed_factor(gf2_poly g, int shift, std::size_t count, const Further& further,
                   common_factor& out) {
  int agree = 0, asked = 0;
  for (std::size_t j = 0; j < count; ++j) {
    gf2_poly w;
    int sw = 0;
    if (!further(j, w, sw))
      continue;
    ++asked;
    gf2_poly h = poly_gcd(g, std::move(w));
    if (poly_degree(h) >= kMinParity) {
      g = std::move(h);
      shift = std::min(shift, sw);
      ++agree;
    }
  }
  if (agree < std::min(2, asked))
    return false;
  out.g = std::move(g);
  out.shift = shift;
  return true;
}

// Tries k = first_try ... first_try + tries - 1 (see try_plan): the gcd of two words, each
// XORed with the try's reference. Bit errors in any word spoil a try, so several are made;
// the first factor of kMinParity or more is then refined with the other words, those with bit
// errors left out by their small gcd, and kept only when two of them agree with it.
bool find_common_factor(const sample_set& s, const word_shape& shape, int first_try, int tries,
                        common_factor& out) {
  const auto words = programmed_words(s, shape, 0, 40);
  if (words.size() < 4)
    return false;
  const std::vector<std::uint8_t> zeros(words[0].size(), 0), ones(words[0].size(), 0xFF);
  for (int k = first_try; k < first_try + tries; ++k) {
    const try_plan plan = plan_try(k, words.size());
    const std::vector<std::uint8_t>& ref = plan.ref == try_plan::against::page
                                               ? words[plan.ref_word]
                                           : plan.ref == try_plan::against::nothing ? zeros
                                                                                    : ones;
    if (words[plan.a] == words[plan.b])
      continue;
    gf2_poly a = xor_poly(words[plan.a], ref, shape);
    gf2_poly b = xor_poly(words[plan.b], ref, shape);
    int sa = 0, sb = 0;
    if (!odd_part(a, sa) || !odd_part(b, sb))
      continue;
    gf2_poly g = poly_gcd(std::move(a), std::move(b));
    // Steps of like content (all zeros, say) give equal words whose gcd is themselves; no
    // BCH code of a NAND step has more parity than kMaxParity.
    if (poly_degree(g) < kMinParity || poly_degree(g) > kMaxParity)
      continue;
    const auto further = [&](std::size_t j, gf2_poly& w, int& sw) {
      if (j == plan.a || j == plan.b || &words[j] == &ref)
        return false;
      w = xor_poly(words[j], ref, shape);
      return odd_part(w, sw);
    };
    if (agreed_factor(std::move(g), std::min(sa, sb), words.size(), further, out))
      return true;
  }
  return false;
}

// Pairs of sampled pages whose bytes [from, to) (a step's data) are the same and not erased:
// under any constant mask the XOR of a pair's words is a codeword whose data part is zero, so
// the step's spare bytes alone (protected bytes and ECC) carry the code, wherever they lie. At
// most `most`, each page in one pair at most.
std::vector<std::pair<std::size_t, std::size_t>> like_data_pairs(const sample_set& s,
                                                                 std::int64_t from, std::int64_t to,
                                                                 std::size_t most) {
  std::map<std::vector<std::uint8_t>, std::size_t> first;
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  for (std::size_t i = 0; i < s.pages.size() && pairs.size() < most; ++i) {
    const auto* data = s.pages[i].data();
    if (nearly_erased(data + from, static_cast<std::size_t>(to - from), 16))
      continue;  // also a step left unwritten
    std::vector<std::uint8_t> key(data + from, data + to);
    const auto [at, fresh] = first.emplace(std::move(key), i);
    if (!fresh) {
      pairs.emplace_back(at->second, i);
      first.erase(at);
    }
  }
  return pairs;
}

// A common factor of the XORs of `pairs` under `shape` (a step's spare bytes, its data left
// out), refined and agreed on as find_common_factor does.
bool find_like_data_factor(const sample_set& s,
                           const std::vector<std::pair<std::size_t, std::size_t>>& pairs,
                           const word_shape& shape, common_factor& out) {
  std::vector<gf2_poly> words;
  std::vector<int> shifts;
  std::vector<std::uint8_t> a, b;
  for (const auto& [i, j] : pairs) {
    gather(s.pages[i], shape, a);
    gather(s.pages[j], shape, b);
    gf2_poly w = xor_poly(a, b, shape);
    int shift = 0;
    if (!odd_part(w, shift))
      continue;  // like spare bytes too: no evidence
    words.push_back(std::move(w));
    shifts.push_back(shift);
  }
  if (words.size() < 3)
    return false;
  // Bit errors spoil a pair: a few first pairs, each factor asked of the rest.
  for (std::size_t k = 0; k + 1 < words.size() && k < 6; k += 2) {
    gf2_poly g = poly_gcd(words[k], words[k + 1]);
    if (poly_degree(g) < kMinParity || poly_degree(g) > kMaxParity)
      continue;
    const auto further = [&](std::size_t j, gf2_poly& w, int& sw) {
      if (j == k || j == k + 1)
        return false;
      w = words[j];
      sw = shifts[j];
      return true;
    };
    if (agreed_factor(std::move(g), std::min(shifts[k], shifts[k + 1]), words.size(), further, out))
      return true;
  }
  return false;
}

// A BCH code named by its generator.
struct named_code {
  int m = 0;
  int t = 0;
  std::uint32_t polynomial = 0;
  gf2_poly g;  // the code's own generator, dividing the factor found
};

bool same_poly(const gf2_poly& a, const gf2_poly& b) {
  const int d = poly_degree(a);
  if (d != poly_degree(b))
    return false;
  for (int i = 0; i <= d / 64; ++i) {
    if (a[i] != b[i])
      return false;
  }
  return true;
}

// Which field and t make `factor` (or a large divisor of it, when chance added a small factor)
// the generator of a BCH code whose words of `message_bits` data bits fit the field.
bool name_code(const gf2_poly& factor, std::int64_t message_bits, named_code& out) {
  const int r = poly_degree(factor);
  if (r < kMinParity || r > kMaxParity)
    return false;
  for (int m = kLayoutMinDegree; m <= kLayoutMaxDegree; ++m) {
    if (message_bits + r > (std::int64_t{1} << m) - 1 || r < m)
      continue;
    const auto tabled = static_cast<std::uint32_t>(bch_primitive_polynomial(m));
    std::vector<std::uint32_t> polys = {tabled};
    for (std::uint32_t p = (1u << m) | 1u; p < (2u << m); p += 2) {
      if (p != tabled)
        polys.push_back(p);
    }
    for (std::uint32_t p : polys) {
      if (poly_mod_small(factor, p, m) != 0 || !poly_is_primitive(p, m))
        continue;
      const int run = consecutive_roots(factor, m, p);
      // The largest t whose generator divides the factor; chance factors aside it is all of it.
      named_code best;
      for (int t = 1; 2 * t <= run; ++t) {
        gf2_poly g = bch_generator(m, p, t);
        if (poly_degree(g) > r || !poly_divides(g, factor))
          break;
        best = {m, t, p, std::move(g)};
        if (same_poly(best.g, factor))
          break;
      }
      if (best.t > 0 && poly_degree(best.g) >= kMinParity &&
          poly_degree(best.g) + 8 >= r) {  // a chance factor beyond g is small
        out = std::move(best);
        return true;
      }
    }
  }
  return false;
}

// One way of cutting the page the search tries, and the word of its last step.
enum class family { interleaved, spare_end };

struct candidate {
  family kind = family::interleaved;
  std::int64_t step = 512;  // data bytes per step
  std::int64_t steps = 1;   // steps per page
  std::int64_t start = 0;   // the last step's message (interleaved) or data (spare_end)
  std::int64_t tail = 0;    // spare_end: where its protected bytes or ECC start
  std::int64_t cut = -1;    // page offset of the ECC when the padding leads, else -1
  int cut_bits = 0;
  bool lsb_first = false;
  // interleaved: bytes [hole_at, hole_at + hole) inside the message belong to no step (the
  // bad-block marker's place at the start of the spare, skipped by some controllers).
  std::int64_t hole_at = -1;
  std::int64_t hole = 0;
  // spare_end: bytes [apart_at, apart_at + apart) of the spare, before the other steps' ECCs,
  // are protected by the step too (every step's tags first, then every ECC).
  std::int64_t apart_at = -1;
  std::int64_t apart = 0;
  std::int64_t end = 0;  // one past the last step's word: its last parity byte, or padding
};

// The byte ranges of [from, to) without the candidate's hole.
std::vector<layout_span> without_hole(const candidate& c, std::int64_t from, std::int64_t to) {
  if (c.hole > 0 && from < c.hole_at && c.hole_at < to)
    return {{from, c.hole_at - from}, {c.hole_at + c.hole, to - c.hole_at - c.hole}};
  return {{from, to - from}};
}

word_shape shape_of(const candidate& c) {
  const std::int64_t end = c.end;
  word_shape shape;
  shape.lsb_first = c.lsb_first;
  if (c.kind == family::interleaved) {
    shape.spans = without_hole(c, c.start, end);
    if (c.cut >= 0) {
      shape.cut_at = c.cut - c.start - (shape.spans.size() > 1 && c.cut > c.hole_at ? c.hole : 0);
      shape.cut_bits = c.cut_bits;
    }
  } else {
    shape.spans = {{c.start, c.step}};
    if (c.apart > 0)
      shape.spans.push_back({c.apart_at, c.apart});
    shape.spans.push_back({c.tail, end - c.tail});
    if (c.cut >= 0) {
      shape.cut_at = c.step + c.apart + (c.cut - c.tail);
      shape.cut_bits = c.cut_bits;
    }
  }
  return shape;
}

// Bits of the padding before the parity that column `q` shows: its leading logical bits
// fixed in every page, the next one varying; 0 when it shows none.
int leading_pad_bits(const sample_set& s, std::int64_t q, bool lsb_first) {
  std::uint8_t steady = s.steady_bits[static_cast<std::size_t>(q)];
  if (lsb_first)
    steady = reversed(steady);
  int bits = 0;
  while (bits < 8 && ((steady >> (7 - bits)) & 1))
    ++bits;
  return bits >= 1 && bits <= 7 ? bits : 0;
}

// Decodes the step in up to `most` sampled pages (all with most = 0). Pages differ, but their
// steps need not: a step that repeats one decoded before is left out, as it adds no evidence.
// With `only`, the pages of those indices are decoded, none left out as a repeat: readings of
// one step that differ in where it starts are then weighed on the same steps.
// A bit step is read through `frame` in `lsb_first` order.
// REQUIRES: `frame` made by frame_step for `step` under `code` when the step counts bits.
decode_count decode_step(const sample_set& s, const layout_step& step, const bch_code& code,
                         std::size_t most, const std::vector<std::size_t>* only = nullptr,
                         const step_frame* frame = nullptr, bool lsb_first = false) {
  decode_count count;
  step_decoder decoder;
  distinct_steps seen;
  std::vector<std::uint8_t> message(static_cast<std::size_t>(step_message_bytes(step)));
  std::vector<std::uint8_t> parity(static_cast<std::size_t>(code.ecc_bytes));
  const std::size_t pages = only != nullptr ? only->size() : s.pages.size();
  for (std::size_t i = 0; i < pages; ++i) {
    if (most > 0 && static_cast<std::size_t>(count.tried + count.erased + count.blank) >= most)
      break;
    const auto& page = s.pages[only != nullptr ? (*only)[i] : i];
    if (step.bits) {
      // Gathered here only to tell repeats apart; the decoder gathers them again.
      gather_message_bits(page.data(), step, lsb_first, message.data());
      gather_frame_ecc(*frame, step, lsb_first, page.data(), parity.data(), code.ecc_bytes);
      if (only != nullptr ||
          first_sight(seen, message.data(), message.size(), parity.data(), parity.size()))
        decode_framed_sample(decoder, code, *frame, lsb_first, page.data(), step, count);
      continue;
    }
    gather_message(page.data(), step, message.data());
    const std::uint8_t* ecc = page.data() + step.ecc.offset;
    const auto ecc_bytes = static_cast<std::size_t>(step.ecc.length);
    if (only != nullptr || first_sight(seen, message.data(), message.size(), ecc, ecc_bytes))
      decode_sample(decoder, code, message.data(), message.size(), ecc, ecc_bytes, count);
  }
  return count;
}

// Decodes every distinct sampled step of `step` under `code` and hands each result to `visit`.
// A bit step is read through `frame` in `lsb_first` order, its fixes turned into the step's own
// bit positions (bit j of its message or parity as byte j / 8); one on a lead bit makes the step
// uncorrectable.
// REQUIRES: as for decode_step.
template <typename Visit>
void for_each_decoded(const sample_set& s, const layout_step& step, const bch_code& code,
                      Visit&& visit, const step_frame* frame = nullptr, bool lsb_first = false) {
  const auto message_bytes = static_cast<std::size_t>(step_message_bytes(step));
  const auto ecc_bytes = static_cast<std::size_t>(step.bits ? code.ecc_bytes : step.ecc.length);
  std::vector<std::uint8_t> message(message_bytes), ecc(ecc_bytes);
  bch_decode_result result;
  distinct_steps seen;
  for (const auto& page : s.pages) {
    if (step.bits) {
      gather_message_bits(page.data(), step, lsb_first, message.data());
      gather_frame_ecc(*frame, step, lsb_first, page.data(), ecc.data(), code.ecc_bytes);
    } else {
      gather_message(page.data(), step, message.data());
      std::copy_n(page.data() + step.ecc.offset, ecc_bytes, ecc.begin());
    }
    if (!first_sight(seen, message.data(), message_bytes, ecc.data(), ecc_bytes))
      continue;
    bch_decode(code, message.data(), message_bytes, ecc.data(), result,
               step.bits ? frame_offset(*frame) : nullptr);
    if (step.bits && !frame_fixes_to_step(*frame, lsb_first, result.fixes)) {
      result.status = bch_status::uncorrectable;
      result.bits = 0;
      result.fixes.clear();
    }
    visit(result);
  }
}

// True when the corrections of `step` under `code` keep falling on one byte of the word: in a
// third or more of the steps that decode (3 at least), with more than one pattern of bits.
// A worn chip's bit errors fall anywhere in the word; a byte of the step before or after, or
// of a hole, taken for part of the word is corrected wherever its value is not the one the code
// expects. One bit corrected in one place each time (a stuck bit line) is left alone.
// A bit step is read as for_each_decoded reads it; its bytes are those of its message and
// parity bits, counted from their first bit.
// REQUIRES: as for decode_step.
bool corrects_one_byte(const sample_set& s, const layout_step& step, const bch_code& code,
                       const step_frame* frame = nullptr, bool lsb_first = false) {
  const auto message_bytes = static_cast<std::size_t>(step_message_bytes(step));
  const auto ecc_bytes = static_cast<std::size_t>(step.bits ? code.ecc_bytes : step.ecc.length);
  std::vector<std::uint8_t> pattern(message_bytes + ecc_bytes);
  std::vector<std::int32_t> hits(message_bytes + ecc_bytes, 0);
  std::vector<std::uint8_t> first(message_bytes + ecc_bytes, 0);
  std::vector<std::int32_t> as_first(message_bytes + ecc_bytes, 0);
  std::int32_t usable = 0;
  for_each_decoded(
      s, step, code,
      [&](const bch_decode_result& result) {
        if (result.status != bch_status::clean && result.status != bch_status::corrected)
          return;
        ++usable;
        if (result.status != bch_status::corrected)
          return;
        std::fill(pattern.begin(), pattern.end(), 0);
        for (const bch_bit_fix& fix : result.fixes) {
          const std::size_t at = fix.in_ecc ? message_bytes + fix.byte : fix.byte;
          if (at < pattern.size())
            pattern[at] = static_cast<std::uint8_t>(pattern[at] | (1u << fix.bit));
        }
        for (std::size_t at = 0; at < pattern.size(); ++at) {
          if (pattern[at] == 0)
            continue;
          if (hits[at]++ == 0)
            first[at] = pattern[at];
          if (pattern[at] == first[at] && __builtin_popcount(pattern[at]) == 1)
            ++as_first[at];
        }
      },
      frame, lsb_first);
  for (std::size_t at = 0; at < hits.size(); ++at) {
    if (hits[at] >= 3 && 3 * hits[at] >= usable && 5 * as_first[at] < 4 * hits[at])
      return true;
  }
  return false;
}

// A byte mask read off steps that all carry bit errors may hold a reference step's own error:
// then every step decodes with that error corrected, the same bits each time, and fix would
// write them. Bits corrected in most decoded steps (3 at least) are taken into the mask
// instead. Leaves any other mask as it is; true when the mask changed.
bool refine_mask(const sample_set& s, const layout_step& step, layout_code& code, bch_code& built) {
  if (code.mask != layout_mask::bytes)
    return false;
  const auto message_bytes = static_cast<std::size_t>(step_message_bytes(step));
  const auto ecc_bytes = static_cast<std::size_t>(step.ecc.length);
  std::map<std::uint64_t, int> fixes;
  int corrected = 0;
  for_each_decoded(s, step, built, [&](const bch_decode_result& result) {
    if (result.status != bch_status::corrected)
      return;
    ++corrected;
    for (const bch_bit_fix& fix : result.fixes)
      ++fixes[(std::uint64_t{fix.in_ecc} << 40) | (std::uint64_t{fix.byte} << 3) | fix.bit];
  });
  // The mask moves by the parity of the recurring error's message bits and its ECC bits.
  std::vector<std::uint8_t> error(message_bytes, 0), shift(ecc_bytes, 0);
  bool any = false;
  for (const auto& [at, count] : fixes) {
    if (count < 3 || 2 * count <= corrected)
      continue;
    any = true;
    const auto byte = static_cast<std::size_t>((at & ((std::uint64_t{1} << 40) - 1)) >> 3);
    std::vector<std::uint8_t>& where = (at >> 40) != 0 ? shift : error;
    if (byte < where.size())
      where[byte] = static_cast<std::uint8_t>(where[byte] ^ (1u << (at & 7)));
  }
  if (!any)
    return false;
  layout_code plain = code;
  plain.mask = layout_mask::none;
  plain.mask_bytes.clear();
  bch_code none;
  if (!build_code(plain, none).ok() || static_cast<std::size_t>(none.ecc_bytes) > ecc_bytes)
    return false;
  std::vector<std::uint8_t> parity(static_cast<std::size_t>(none.ecc_bytes), 0);
  bch_encode(none, error.data(), error.size(), parity.data());
  layout_code next = code;
  for (std::size_t j = 0; j < next.mask_bytes.size() && j < parity.size(); ++j)
    next.mask_bytes[j] = static_cast<std::uint8_t>(next.mask_bytes[j] ^ parity[j] ^ shift[j]);
  bch_code next_built;
  if (!build_code(next, next_built).ok())
    return false;
  code = next;
  built = next_built;
  return true;
}

// The pages whose bytes [from, to) differ from every earlier page's.
std::vector<std::size_t> distinct_pages(const sample_set& s, std::int64_t from, std::int64_t to) {
  std::vector<std::size_t> out;
  distinct_steps seen;
  for (std::size_t i = 0; i < s.pages.size(); ++i) {
    if (first_sight(seen, s.pages[i].data() + from, static_cast<std::size_t>(to - from), nullptr,
                    0))
      out.push_back(i);
  }
  return out;
}

// A step counts as placed when most of its programmed samples decode.
// With `single`, one step that decodes is enough when no other was tried: on a sample of two
// or three pages, for a position next to where the stride puts the step.
// REQUIRES: as for decode_step.
bool step_fits(const sample_set& s, const layout_step& step, const bch_code& code,
               bool single = false, const step_frame* frame = nullptr, bool lsb_first = false) {
  const decode_count c = decode_step(s, step, code, 24, nullptr, frame, lsb_first);
  if (single)
    return c.usable >= 1 && c.usable == c.tried;
  return c.tried == 0 || (c.usable >= 2 && 2 * c.usable >= c.tried);
}

// The mask of a code whose steps all carry bit errors: the XOR of two steps is a codeword
// without mask, with the errors of both; a reference step's own errors are those that recur in
// its XORs with most others. Corrected so, the reference gives the mask as the difference
// between its stored ECC and the ECC of its message. True when two references agree on it.
bool mask_from_pairs(const sample_set& s, const layout_step& step, const bch_code& none,
                     const std::vector<std::uint8_t>& used, std::vector<std::uint8_t>& mask) {
  const auto message_bytes = static_cast<std::size_t>(step_message_bytes(step));
  const auto ecc_bytes = static_cast<std::size_t>(none.ecc_bytes);
  std::vector<std::vector<std::uint8_t>> messages, eccs;
  distinct_steps seen;
  std::vector<std::uint8_t> message(message_bytes);
  for (const auto& page : s.pages) {
    if (messages.size() == 12)
      break;
    gather_message(page.data(), step, message.data());
    const std::uint8_t* stored = page.data() + step.ecc.offset;
    if (nearly_erased(message.data(), message_bytes, 16) ||
        !first_sight(seen, message.data(), message_bytes, stored, ecc_bytes))
      continue;
    messages.push_back(message);
    eccs.emplace_back(stored, stored + ecc_bytes);
  }
  std::map<std::vector<std::uint8_t>, int> votes;
  bch_decode_result result;
  std::vector<std::uint8_t> xm(message_bytes), xe(ecc_bytes), ecc(ecc_bytes);
  for (std::size_t r = 0; r < messages.size() && r < 4; ++r) {
    std::map<std::uint64_t, int> seen_fix;
    int decoded = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
      if (i == r)
        continue;
      for (std::size_t j = 0; j < message_bytes; ++j)
        xm[j] = static_cast<std::uint8_t>(messages[r][j] ^ messages[i][j]);
      for (std::size_t j = 0; j < ecc_bytes; ++j)
        xe[j] = static_cast<std::uint8_t>(eccs[r][j] ^ eccs[i][j]);
      bch_decode(none, xm.data(), message_bytes, xe.data(), result);
      if (result.status != bch_status::clean && result.status != bch_status::corrected)
        continue;
      ++decoded;
      for (const bch_bit_fix& fix : result.fixes)
        ++seen_fix[(std::uint64_t{fix.in_ecc} << 40) | (std::uint64_t{fix.byte} << 3) | fix.bit];
    }
    if (decoded < 2)
      continue;
    std::vector<std::uint8_t> m = messages[r], e = eccs[r];
    for (const auto& [at, count] : seen_fix) {
      if (2 * count <= decoded)
        continue;
      const auto byte = static_cast<std::size_t>((at & ((std::uint64_t{1} << 40) - 1)) >> 3);
      std::vector<std::uint8_t>& where = (at >> 40) != 0 ? e : m;
      if (byte < where.size())
        where[byte] = static_cast<std::uint8_t>(where[byte] ^ (1u << (at & 7)));
    }
    bch_encode(none, m.data(), m.size(), ecc.data());
    for (std::size_t j = 0; j < ecc_bytes; ++j)
      ecc[j] = static_cast<std::uint8_t>((ecc[j] ^ e[j]) & used[j]);
    if (++votes[ecc] == 2) {
      mask = ecc;
      return true;
    }
  }
  return false;
}

// Too few steps to read a mask from their differences (two pages, say): no mask or the
// erased-ff mask, whichever decodes most of the steps.
bool without_pattern(const sample_set& s, const layout_step& step, layout_code& code) {
  std::int64_t best = -1;
  layout_mask chosen = layout_mask::none;
  for (layout_mask mask : {layout_mask::none, layout_mask::erased_ff}) {
    layout_code trial = code;
    trial.mask = mask;
    trial.mask_bytes.clear();
    bch_code built;
    if (!build_code(trial, built).ok())
      continue;
    const decode_count c = decode_step(s, step, built, 24);
    if (c.usable >= 2 && 2 * c.usable >= c.tried && c.usable > best) {
      best = c.usable;
      chosen = mask;
    }
  }
  if (best < 0)
    return false;
  code.mask = chosen;
  code.mask_bytes.clear();
  return true;
}

// The mask of a code as written: the most frequent difference, over the parity's bits,
// between the stored ECC and the ECC computed without a mask. Sets code.mask (and
// mask_bytes); false when no difference occurs twice.
bool find_mask(const sample_set& s, const layout_step& step, layout_code& code) {
  layout_code plain = code;
  plain.mask = layout_mask::none;
  plain.mask_bytes.clear();
  bch_code none;
  if (!build_code(plain, none).ok())
    return false;
  const auto ecc_bytes = static_cast<std::size_t>(none.ecc_bytes);
  std::vector<std::uint8_t> used(ecc_bytes, 0);
  for (int i = 0; i < none.parity_bits; ++i) {
    const bch_bit_fix bit = bch_parity_bit(none, i);
    used[bit.byte] = static_cast<std::uint8_t>(used[bit.byte] | (1u << bit.bit));
  }
  std::map<std::vector<std::uint8_t>, int> votes;
  std::vector<std::uint8_t> message(static_cast<std::size_t>(step_message_bytes(step)));
  std::vector<std::uint8_t> ecc(ecc_bytes);
  distinct_steps seen;  // a step repeated in several pages votes once
  for (const auto& page : s.pages) {
    gather_message(page.data(), step, message.data());
    const std::uint8_t* stored = page.data() + step.ecc.offset;
    if (nearly_erased(message.data(), message.size(), 16) && nearly_erased(stored, ecc_bytes, 16))
      continue;
    if (!first_sight(seen, message.data(), message.size(), stored, ecc_bytes))
      continue;
    bch_encode(none, message.data(), message.size(), ecc.data());
    for (std::size_t j = 0; j < ecc_bytes; ++j)
      ecc[j] = static_cast<std::uint8_t>((ecc[j] ^ stored[j]) & used[j]);
    ++votes[ecc];
  }
  const std::vector<std::uint8_t>* best = nullptr;
  int most = 0;
  for (const auto& [pattern, count] : votes) {
    if (count > most) {
      most = count;
      best = &pattern;
    }
  }
  std::vector<std::uint8_t> from_pairs;
  if (best == nullptr || most < 2) {
    // Every step carries bit errors (a worn chip): no two differences agree.
    if (!mask_from_pairs(s, step, none, used, from_pairs))
      return without_pattern(s, step, code);
    best = &from_pairs;
  }
  if (std::count(best->begin(), best->end(), 0) == static_cast<std::ptrdiff_t>(ecc_bytes)) {
    code.mask = layout_mask::none;
    code.mask_bytes.clear();
    return true;
  }
  // erased-ff: the difference is the masked ECC of an all-zero message.
  layout_code masked = plain;
  masked.mask = layout_mask::erased_ff;
  bch_code erased_ff;
  if (build_code(masked, erased_ff).ok()) {
    std::vector<std::uint8_t> zeros(message.size(), 0);
    bch_encode(erased_ff, zeros.data(), zeros.size(), ecc.data());
    bool same = true;
    for (std::size_t j = 0; j < ecc_bytes; ++j)
      same = same && ((ecc[j] & used[j]) == (*best)[j]);
    if (same) {
      code.mask = layout_mask::erased_ff;
      code.mask_bytes.clear();
      return true;
    }
  }
  code.mask = layout_mask::bytes;
  code.mask_bytes.assign(static_cast<std::size_t>(step.ecc.length), 0);
  // The unused bits are never checked: they stay 0.
  std::copy(best->begin(), best->end(), code.mask_bytes.begin());
  return true;
}

layout_step make_step(const candidate& c, std::int64_t start, std::int64_t tail,
                      std::int64_t ecc_offset, std::int64_t ecc_bytes) {
  layout_step step;
  if (c.kind == family::interleaved) {
    // The first c.step bytes of the message are data, the rest protected.
    std::int64_t data_left = c.step;
    for (const layout_span& range : without_hole(c, start, ecc_offset)) {
      const std::int64_t data = std::min(data_left, range.length);
      if (data > 0)
        step.data.push_back({range.offset, data});
      if (range.length > data)
        step.protected_.push_back({range.offset + data, range.length - data});
      data_left -= data;
    }
  } else {
    step.data = {{start, c.step}};
    if (c.apart > 0)
      step.protected_.push_back({c.apart_at, c.apart});
    if (ecc_offset > tail)
      step.protected_.push_back({tail, ecc_offset - tail});
  }
  step.ecc = {ecc_offset, ecc_bytes};
  return step;
}

bool overlaps(const layout_span& a, const layout_span& b) {
  return a.offset < b.offset + b.length && b.offset < a.offset + a.length;
}

bool overlaps_any(const layout_step& step, const std::vector<layout_step>& placed) {
  std::vector<layout_span> mine = step.data;
  mine.insert(mine.end(), step.protected_.begin(), step.protected_.end());
  mine.push_back(step.ecc);
  for (const layout_step& other : placed) {
    std::vector<layout_span> theirs = other.data;
    theirs.insert(theirs.end(), other.protected_.begin(), other.protected_.end());
    theirs.push_back(other.ecc);
    for (const layout_span& a : mine) {
      for (const layout_span& b : theirs) {
        if (overlaps(a, b))
          return true;
      }
    }
  }
  return false;
}

// Places the steps before the last one, nearest first: where the stride so far puts them,
// else the first position before the next step where the step decodes.
std::vector<layout_step> place_steps(const sample_set& s, const candidate& c,
                                     const layout_step& last, const bch_code& code,
                                     std::int64_t page_size) {
  std::vector<layout_step> placed = {last};
  const std::int64_t message = step_message_bytes(last);
  const std::int64_t ecc = last.ecc.length;
  const std::int64_t protected_bytes = step_protected_bytes(last);
  if (c.kind == family::interleaved) {
    std::int64_t next_start = last.data[0].offset;
    std::int64_t stride = message + ecc;
    for (std::int64_t k = c.steps - 2; k >= 0; --k) {
      bool found = false;
      const std::int64_t guess = next_start - stride;
      if (guess >= 0) {
        layout_step step = make_step(c, guess, 0, guess + message, ecc);
        if (step_fits(s, step, code)) {
          placed.push_back(step);
          found = true;
        }
      }
      // Too few pages for two decoded steps a position: the nearest to the stride's guess
      // where every programmed step decodes.
      for (std::int64_t off = 1; !found && s.pages.size() < 4 && off <= 8; ++off) {
        for (std::int64_t at : {guess - off, guess + off}) {
          if (found || at < 0 || at + message + ecc > next_start)
            continue;
          layout_step step = make_step(c, at, 0, at + message, ecc);
          if (step_fits(s, step, code, true)) {
            placed.push_back(step);
            found = true;
          }
        }
      }
      for (std::int64_t at = next_start - message - ecc; !found && at >= 0; --at) {
        layout_step step = make_step(c, at, 0, at + message, ecc);
        if (at != guess && step_fits(s, step, code)) {
          placed.push_back(step);
          found = true;
        }
      }
      if (!found)
        break;
      stride = next_start - placed.back().data[0].offset;
      next_start = placed.back().data[0].offset;
    }
  } else {
    // The protected bytes next to the ECC move with it; those apart (every step's tags first)
    // stand one tag before the next step's.
    const std::int64_t next_to = protected_bytes - c.apart;
    const std::int64_t group = next_to + ecc;
    std::int64_t next_tail = last.ecc.offset - next_to;
    std::int64_t stride = group;
    for (std::int64_t k = c.steps - 2; k >= 0; --k) {
      const std::int64_t data = c.start - (c.steps - 1 - k) * c.step;
      candidate here = c;
      if (c.apart > 0)
        here.apart_at = c.apart_at - (c.steps - 1 - k) * c.apart;
      bool found = false;
      const std::int64_t guess = next_tail - stride;
      if (guess >= page_size) {
        layout_step step = make_step(here, data, guess, guess + next_to, ecc);
        if (!overlaps_any(step, placed) && step_fits(s, step, code)) {
          placed.push_back(step);
          found = true;
        }
      }
      for (std::int64_t at = page_size; !found && at + group <= s.raw; ++at) {
        layout_step step = make_step(here, data, at, at + next_to, ecc);
        if (at != guess && !overlaps_any(step, placed) && step_fits(s, step, code)) {
          placed.push_back(step);
          found = true;
        }
      }
      if (!found)
        break;
      const std::int64_t tail = placed.back().ecc.offset - next_to;
      stride = next_tail - tail;
      next_tail = tail;
    }
  }
  std::reverse(placed.begin(), placed.end());
  return placed;
}

// The step make_step gives, counted in bits: `start`, `tail` and `ecc_at` are bits of the raw
// page, the ECC span r bits long, the message the candidate's spans up to the ECC's first bit
// (the candidate's hole and apart bytes as bits), so that its last span may end inside a byte.
layout_step make_bit_step(const candidate& c, std::int64_t start, std::int64_t tail,
                          std::int64_t ecc_at, std::int64_t r) {
  layout_step step;
  step.bits = true;
  if (c.kind == family::interleaved) {
    std::vector<layout_span> ranges = {{start, ecc_at - start}};
    const std::int64_t hole_at = 8 * c.hole_at;
    if (c.hole > 0 && start < hole_at && hole_at < ecc_at)
      ranges = {{start, hole_at - start}, {hole_at + 8 * c.hole, ecc_at - hole_at - 8 * c.hole}};
    std::int64_t data_left = 8 * c.step;
    for (const layout_span& range : ranges) {
      const std::int64_t data = std::max<std::int64_t>(0, std::min(data_left, range.length));
      if (data > 0)
        step.data.push_back({range.offset, data});
      if (range.length > data)
        step.protected_.push_back({range.offset + data, range.length - data});
      data_left -= data;
    }
  } else {
    step.data = {{start, 8 * c.step}};
    if (c.apart > 0)
      step.protected_.push_back({8 * c.apart_at, 8 * c.apart});
    if (ecc_at > tail)
      step.protected_.push_back({tail, ecc_at - tail});
  }
  step.ecc = {ecc_at, r};
  return step;
}

// Bits before the step place_bit_steps looks at when the stride so far does not decode: as far
// as the longest word of a step reaches.
constexpr std::int64_t kBitReach = 8 * kMaxStepSpare;

// Places the steps before the last one, a bit step of the candidate, nearest first: its spans
// moved by the strides (the data by the step's data bits, the spare group or, interleaved, the
// whole step by the distance between the steps placed so far, at first their length); where
// that does not decode, the nearest earlier bit within kBitReach where the step does. Every step
// keeps the last one's lengths, so that the last one's frame reads them all.
// REQUIRES: `frame` made by frame_step for `last` under `code` in `lsb_first` order.
std::vector<layout_step> place_bit_steps(const sample_set& s, const candidate& c,
                                         const layout_step& last, const bch_code& code,
                                         const step_frame& frame, bool lsb_first,
                                         std::int64_t page_size) {
  std::vector<layout_step> placed = {last};
  const std::int64_t message = step_message_bits(last);
  const std::int64_t r = last.ecc.length;
  const auto fits = [&](const layout_step& step) {
    return step_message_bits(step) == message && step_data_bits(step) == step_data_bits(last) &&
           !overlaps_any(step, placed) && step_fits(s, step, code, false, &frame, lsb_first);
  };
  if (c.kind == family::interleaved) {
    std::int64_t next_start = last.data[0].offset;
    std::int64_t stride = message + r;
    for (std::int64_t k = c.steps - 2; k >= 0; --k) {
      bool found = false;
      const std::int64_t guess = next_start - stride;
      for (std::int64_t at = guess; !found && at >= 0 && at > guess - kBitReach; --at) {
        layout_step step = make_bit_step(c, at, 0, at + message, r);
        if (fits(step)) {
          placed.push_back(step);
          found = true;
        }
      }
      if (!found)
        break;
      stride = next_start - placed.back().data[0].offset;
      next_start = placed.back().data[0].offset;
    }
  } else {
    // The protected bits next to the ECC move with it; those apart (every step's tags first)
    // stand one tag before the next step's.
    const std::int64_t next_to = last.ecc.offset - 8 * c.tail;
    std::int64_t next_tail = 8 * c.tail;
    std::int64_t stride = next_to + r;
    for (std::int64_t k = c.steps - 2; k >= 0; --k) {
      const std::int64_t data = 8 * (c.start - (c.steps - 1 - k) * c.step);
      candidate here = c;
      if (c.apart > 0)
        here.apart_at = c.apart_at - (c.steps - 1 - k) * c.apart;
      bool found = false;
      const std::int64_t guess = next_tail - stride;
      for (std::int64_t at = guess; !found && at >= 8 * page_size && at > guess - kBitReach; --at) {
        layout_step step = make_bit_step(here, data, at, at + next_to, r);
        if (fits(step)) {
          placed.push_back(step);
          found = true;
        }
      }
      if (!found)
        break;
      const std::int64_t tail = placed.back().ecc.offset - next_to;
      stride = next_tail - tail;
      next_tail = tail;
    }
  }
  std::reverse(placed.begin(), placed.end());
  return placed;
}

const char* family_name(family kind) {
  return kind == family::interleaved ? "interleaved" : "spare-at-end";
}

// The packed search's finding into `result` (true), or a line on what it ruled out.
// Which packed layouts take_packed tries and takes.
enum class packed_route {
  common_codes,  // the codes in common use; taken only off the byte grid
  every_code,    // those, then polynomials of the controller's own; taken as found
};

bool take_packed(const sample_set& s, const detect_geometry& geometry, packed_route route,
                 detect_result& result) {
  const packed_finding packed =
      find_packed_layout(s.pages, geometry, route == packed_route::every_code);
  if (route == packed_route::common_codes) {
    bool bits = false;
    for (const layout_step& step : packed.layout.steps)
      bits = bits || step.bits;
    if (!packed.found || !bits)
      return false;
  }
  if (!packed.found) {
    result.ruled_out.push_back(
        "codewords packed back to back by bits from the start of the page (" +
        std::to_string(packed.candidates) + " codes and metadata lengths): none decodes the steps");
    return false;
  }
  result.found = true;
  result.layout = packed.layout;
  const layout_code& code = packed.layout.code;
  const std::uint32_t p = code.primitive_polynomial != 0
                              ? code.primitive_polynomial
                              : static_cast<std::uint32_t>(bch_primitive_polynomial(code.m));
  result.generator = bch_generator(code.m, p, code.t);
  result.parity_bits = poly_degree(result.generator);
  result.evidence = packed.evidence;
  return true;
}

class searcher {
 public:
  searcher(const sample_set& s, const detect_geometry& geometry, const detect_options& options,
           detect_result& result)
      : s_(s), geometry_(geometry), options_(options), result_(result) {
    threads_ = options.threads > 0 ? static_cast<unsigned>(options.threads)
                                   : std::max(1u, std::thread::hardware_concurrency());
    threads_ = std::min(threads_, 64u);
    notes_at_ = result_.ruled_out.size();
  }

  // The search, then the factors passed over, ahead of what it ruled out as a whole.
  bool run() {
    const bool found = search();
    write_notes();
    return found;
  }

  // Every candidate of the page whose last word ends at `end`, in the order tried.
  std::vector<candidate> candidates(std::int64_t end) const {
    std::vector<candidate> out;
    const std::int64_t page = geometry_.page_size;
    // Short steps first, both bit orders each: the long words of 2048-byte steps cost the
    // most and are the rarest.
    for (std::int64_t step : kStepSizes) {
      if (step > page || page % step != 0)
        continue;
      // Padding after the parity first: it is the more common, and needs no cut.
      for (bool cut : {false, true}) {
        for (bool lsb : {false, true}) {
          const std::int64_t steps = page / step;
          candidate c;
          c.step = step;
          c.steps = steps;
          c.lsb_first = lsb;
          c.kind = family::interleaved;
          for (std::int64_t start = std::max((steps - 1) * step, end - step - kMaxStepSpare);
               start + step + 2 <= end; ++start) {
            c.start = start;
            c.end = end;
            add_variants(out, c, start + step, cut);
          }
          c.kind = family::spare_end;
          c.start = (steps - 1) * step;
          for (std::int64_t tail = std::max<std::int64_t>(page, end - kMaxStepSpare);
               tail + 2 <= end; ++tail) {
            c.tail = tail;
            c.end = end;
            add_variants(out, c, tail, cut);
          }
        }
      }
      // Last, an interleaved last step across the start of the spare that skips bytes fixed
      // there (the bad-block marker's place), of the lengths controllers skip.
      for (bool lsb : {false, true}) {
        candidate c;
        c.step = step;
        c.steps = page / step;
        c.lsb_first = lsb;
        c.kind = family::interleaved;
        c.hole_at = page;
        c.end = end;
        for (std::int64_t hole : kHoles) {
          bool fixed = true;
          for (std::int64_t j = page; j < page + hole && j < end; ++j)
            fixed = fixed && s_.constant[static_cast<std::size_t>(j)];
          if (!fixed)
            break;
          c.hole = hole;
          for (std::int64_t start = std::max(page - step, end - hole - step - kMaxStepSpare);
               start < page && start + step + hole + 2 <= end; ++start) {
            c.start = start;
            out.push_back(c);
          }
        }
      }
    }
    return out;
  }

 private:
  bool search() {
    const std::vector<candidate> all = candidates(s_.end);
    // Step sizes one after the other: two interleaved steps and the ECC between them form a
    // codeword of the same code too, so a longer step must not win where the shorter one was
    // only unlucky with bit errors. Per size a first pass with three tries each and a second
    // with as many more as a budget of gcds allows; then, per size again, rounds of more tries
    // each until a budget of work is spent: a try needs two or three steps free of bit errors,
    // which on a worn chip may be one step in three or four.
    double all_work = 0;  // of one try of every candidate
    for (const candidate& c : all) {
      const double words = static_cast<double>(word_bytes(shape_of(c))) / 8;
      all_work += words * words;
    }
    const int more = static_cast<int>(std::clamp(kMoreWork / std::max(1.0, all_work), 3.0, 60.0));
    int groups = 0;
    for (std::size_t i = 0; i < all.size(); ++i)
      groups += i == 0 || all[i].step != all[i - 1].step;
    const double effort = std::clamp(options_.noise_effort, 0.0, 1.0);
    const double group_work = effort * std::min(kNoisyWork, kNoisyWorkTotal / std::max(1, groups));
    progress_total_ = static_cast<double>(all.size()) * 3;
    // The groups of candidates of one step size, in order.
    std::vector<std::pair<std::size_t, std::size_t>> sizes;
    for (std::size_t from = 0; from < all.size();) {
      std::size_t to = from;
      while (to < all.size() && all[to].step == all[from].step)
        ++to;
      sizes.emplace_back(from, to);
      from = to;
    }
    // Per size: the first tries; then, for steps that all carry bit errors (a worn chip) or
    // words that end before the last varying column, the syndromes of the codes in common use
    // at every span and end; then the further tries.
    // Codewords packed by bits leave no word for the common factors to start from: under the
    // codes in common use they are tried first, by the syndromes of clean first chunks (some
    // milliseconds), and taken only when they are off the byte grid, so that a byte layout is
    // found as it was.
    if (take_packed(s_, geometry_, packed_route::common_codes, result_))
      return true;
    for (const auto& [from, to] : sizes) {
      if (try_candidates(all, from, to, 0, 3, 1) || scan_common_codes(all[from].step, false) ||
          try_candidates(all, from, to, 3, more, 1))
        return true;
    }
    // Then packed layouts under any code in common use, and under polynomials of the
    // controller's own (about a second), before the long searches.
    if (take_packed(s_, geometry_, packed_route::every_code, result_))
      return true;
    // Pages of like data give the code from a step's spare bytes alone, in seconds: spare
    // bytes apart from their ECC, data past its place, bytes after the last ECC that vary.
    if (scan_like_data())
      return true;
    for (const auto& [from, to] : sizes) {
      if (scan_common_codes(all[from].step, true))
        return true;
    }
    if (effort > 0 && scan_every_polynomial(effort))
      return true;
    // The rounds come after every size's first tries: a dump of long steps with few errors
    // must not wait for the rounds of the short ones.
    for (const auto& [from, to] : sizes) {
      double round_work = 0;  // of one try of every candidate of the size
      for (std::size_t i = from; i < to; ++i) {
        const double words = static_cast<double>(word_bytes(shape_of(all[i]))) / 8;
        round_work += words * words;
      }
      const int rounds = static_cast<int>(group_work / (kNoisyRound * round_work));
      for (int r = 0; r < rounds; ++r) {
        if (try_candidates(all, from, to, 3 + more + r * kNoisyRound, kNoisyRound,
                           1.0 / std::max(1, rounds)))
          return true;
      }
      if (rounds == 0)
        progress_done_ += static_cast<double>(to - from);
    }
    // After the rounds, which noisy dumps need: a polynomial of the controller's own with bytes
    // after the last ECC that vary; then data past its place with no spare bytes to pair on,
    // the costliest of the candidates.
    if (try_earlier_ends(effort) || try_data_offsets(effort))
      return true;
    for (std::int64_t step : kStepSizes) {
      for (bool lsb : {false, true}) {
        if (step > geometry_.page_size || geometry_.page_size % step != 0)
          continue;
        for (family kind : {family::interleaved, family::spare_end}) {
          result_.ruled_out.push_back(std::string(family_name(kind)) + " steps of " +
                                      std::to_string(step) + " data bytes, " +
                                      (lsb ? "lsb" : "msb") +
                                      " first: no span whose words share a BCH generator");
        }
      }
    }
    return false;
  }

  // Runs work(first, stride) on every thread the search may use, first = 0 ... threads - 1,
  // and returns when all are done.
  template <class Work>
  void on_every_core(const Work& work) const {
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads_; ++t)
      helpers.emplace_back(work, t, threads_);
    work(0, threads_);
    for (std::thread& helper : helpers)
      helper.join();
  }

  // Seeks common factors for candidates [from, to) with tries first_try ... + tries - 1 and
  // confirms them in candidate order; true once one makes a layout. The factors are sought for
  // a batch at once on every core (the search only reads the samples), and confirmed in order,
  // so that the finding does not depend on the number of threads. `weight` is the share of a
  // candidate's progress one call stands for.
  bool try_candidates(const std::vector<candidate>& all, std::size_t from, std::size_t to,
                      int first_try, int tries, double weight) {
    for (std::size_t batch = from; batch < to; batch += kBatch) {
      const std::size_t end = std::min(to, batch + kBatch);
      std::vector<common_factor> factors(end - batch);
      std::vector<char> hit(end - batch, 0);
      const auto work = [&](std::size_t first, std::size_t stride) {
        for (std::size_t i = batch + first; i < end; i += stride)
          hit[i - batch] =
              find_common_factor(s_, shape_of(all[i]), first_try, tries, factors[i - batch]);
      };
      on_every_core(work);
      for (std::size_t i = batch; i < end; ++i) {
        if (hit[i - batch] && confirm(all[i], factors[i - batch]))
          return true;
      }
      progress_done_ += weight * static_cast<double>(end - batch);
      if (options_.progress)
        options_.progress(std::min(1.0, progress_done_ / progress_total_));
    }
    return false;
  }

  // The fields of the codes in common use for steps of `step` data bytes: the tabled
  // polynomial and others seen in controllers, for every m whose words fit.
  static std::vector<scan_field> common_fields(std::int64_t step) {
    static const std::uint32_t kSeen[] = {0x201B, 0x402B, 0x4443, 0x1100B};
    std::vector<scan_field> out;
    for (int m = kLayoutMinDegree; m <= kLayoutMaxDegree; ++m) {
      if (8 * step + 2 * m > (std::int64_t{1} << m) - 1 || m < 13)
        continue;
      std::vector<std::uint32_t> polys = {static_cast<std::uint32_t>(bch_primitive_polynomial(m))};
      for (std::uint32_t p : kSeen) {
        if ((p >> m) == 1 && p != polys[0])
          polys.push_back(p);
      }
      // The sparsest of the degree too: hardware favours few taps.
      for (std::uint32_t p : primitive_polynomials(m, 2)) {
        if (std::find(polys.begin(), polys.end(), p) == polys.end())
          polys.push_back(p);
      }
      for (std::uint32_t p : polys)
        out.push_back({m, p});
    }
    return out;
  }

  // Shapes of `all` [from, to) as words, and the hits of `fields` on them confirmed in order;
  // true once one makes a layout.
  bool scan_and_confirm(const std::vector<candidate>& all, const std::vector<scan_field>& fields,
                        int most_t, std::size_t pages = 16) {
    if (all.empty() || fields.empty())
      return false;
    std::vector<word_shape> shapes;
    shapes.reserve(all.size());
    for (const candidate& c : all)
      shapes.push_back(shape_of(c));
    scan_limits limits;
    limits.data_bytes = all.front().step;
    limits.most_t = most_t;
    limits.pages = pages;
    limits.threads = threads_;
    const std::vector<scan_hit> hits = syndrome_scan(s_.pages, shapes, fields, limits);
    // Near the true span many shapes hit (bytes of the step before that do not vary, ends
    // within the padding); a few confirmations settle it, the rest would repeat them.
    int tried = 0;
    for (const scan_hit& hit : hits) {
      if (confirm_hit(all[hit.shape], hit))
        return true;
      if (++tried == 48)
        break;
    }
    return false;
  }

  // The codes in common use at every candidate span of steps of `step` data bytes whose word
  // ends at the last varying column, or (earlier_ends) at the columns before it that vary: bytes
  // after the last ECC may vary too (a page counter, say).
  bool scan_common_codes(std::int64_t step, bool earlier_ends) {
    {
      const std::vector<scan_field> fields = common_fields(step);
      std::vector<candidate> all;
      for (std::int64_t end = earlier_ends ? s_.end - 1 : s_.end;
           end > (earlier_ends ? s_.end - kMaxTrailing : s_.end - 1) && end > geometry_.page_size;
           --end) {
        // A word cannot end on a column that never varies: its last parity byte would.
        if (end < s_.end && s_.constant[static_cast<std::size_t>(end - 1)])
          continue;
        for (const candidate& c : candidates(end)) {
          if (c.step == step)
            all.push_back(c);
        }
      }
      if (scan_and_confirm(all, fields, 16))
        return true;
    }
    return false;
  }

  // The share `effort` (0 ... 1) of n things, rounded up: none only for no effort.
  static std::size_t share(std::size_t n, double effort) {
    return static_cast<std::size_t>(
        std::ceil(std::clamp(effort, 0.0, 1.0) * static_cast<double>(n)));
  }

  // The ends before the last varying column that vary themselves (bytes after the last ECC
  // that vary), nearest first.
  std::vector<std::int64_t> earlier_ends() const {
    std::vector<std::int64_t> out;
    for (std::int64_t end = s_.end - 1; end > s_.end - kMaxTrailing && end > geometry_.page_size;
         --end) {
      if (!s_.constant[static_cast<std::size_t>(end - 1)])
        out.push_back(end);
    }
    return out;
  }

  // Tries of every candidate at the earlier ends: a polynomial of the controller's own where
  // bytes after the last ECC vary, which the codes in common use did not cover. Short steps
  // first, as in run(); six tries each, as one step in five or so may carry bit errors.
  // `effort` (0 ... 1) is the share of the ends tried, nearest first.
  bool try_earlier_ends(double effort) {
    std::vector<std::int64_t> ends = earlier_ends();
    ends.resize(share(ends.size(), effort));
    for (std::int64_t step : kStepSizes) {
      for (std::int64_t end : ends) {
        std::vector<candidate> all;
        for (const candidate& c : candidates(end)) {
          if (c.step == step)
            all.push_back(c);
        }
        if (try_candidates(all, 0, all.size(), 0, 6, 0))
          return true;
      }
    }
    return false;
  }

  // Spare-at-end steps whose data starts past its place (a header before the data area), with
  // the first tries of the gcd, at the last varying column and the earlier ends.
  // `effort` (0 ... 1) is the share of the ends and of the offsets tried, the nearest first.
  bool try_data_offsets(double effort) {
    std::vector<std::int64_t> ends = {s_.end};
    for (std::int64_t end : earlier_ends())
      ends.push_back(end);
    ends.resize(share(ends.size(), effort));
    const auto offsets = static_cast<std::int64_t>(share(kMaxDataOffset, effort));
    const std::int64_t page = geometry_.page_size;
    for (std::int64_t end : ends) {
      for (std::int64_t offset = 1; offset <= offsets; ++offset) {
        std::vector<candidate> all;
        for (const candidate& c : candidates(end)) {
          if (c.kind != family::spare_end || c.tail < page + offset)
            continue;
          candidate shifted = c;
          shifted.start += offset;
          all.push_back(shifted);
        }
        if (try_candidates(all, 0, all.size(), 0, 3, 0))
          return true;
      }
    }
    return false;
  }

  // Spare-at-end steps found from pages whose step holds like data (see like_data_pairs): the
  // step's spare bytes alone make the word, so its protected bytes may stand apart from its
  // ECC (every step's tags first, the other steps' ECCs between), and its data may start past
  // its place, which the confirmation then finds.
  bool scan_like_data() {
    const std::int64_t page = geometry_.page_size;
    for (std::int64_t step : kStepSizes) {
      if (step > page || page % step != 0)
        continue;
      const std::int64_t steps = page / step;
      // Keyed on the data without its first bytes, which belong to the step before when the
      // data starts past its place: sectors of one fill value pair up at any offset so.
      const auto pairs = like_data_pairs(s_, (steps - 1) * step + kMaxDataOffset, steps * step, 24);
      if (pairs.size() < 3)
        continue;
      std::vector<std::int64_t> ends = {s_.end};
      for (std::int64_t end : earlier_ends())
        ends.push_back(end);
      for (std::int64_t end : ends) {
        std::vector<candidate> all;
        for (bool cut : {false, true}) {
          for (bool lsb : {false, true}) {
            candidate c;
            c.kind = family::spare_end;
            c.step = step;
            c.steps = steps;
            c.lsb_first = lsb;
            c.start = (steps - 1) * step;
            c.end = end;
            for (std::int64_t tail = std::max(page, end - kMaxStepSpare); tail + 2 <= end; ++tail) {
              c.tail = tail;
              c.apart = 0;
              c.apart_at = -1;
              add_variants(all, c, tail, cut);
              // The other steps' ECCs, as long as this one at least, stand between.
              const std::int64_t others = (steps - 1) * (end - tail);
              for (std::int64_t apart = 1; apart <= kMaxApart; ++apart) {
                for (std::int64_t at = page; at + apart + others <= tail; ++at) {
                  // Tags vary: a constant byte at either end makes a shorter span of the same.
                  if (s_.constant[static_cast<std::size_t>(at)] ||
                      s_.constant[static_cast<std::size_t>(at + apart - 1)])
                    continue;
                  c.apart = apart;
                  c.apart_at = at;
                  add_variants(all, c, tail, cut);
                }
              }
            }
          }
        }
        if (confirm_like_data(all, pairs))
          return true;
      }
    }
    return false;
  }

  // True when g divides the XORs of two of the first dozen distinct words under `shape`
  // (bit errors spoil some): any constant mask cancels in them.
  bool divides_words(const gf2_poly& g, const word_shape& shape) const {
    const auto words = programmed_words(s_, shape, 0, 12);
    int divided = 0;
    for (std::size_t k = 0; k + 1 < words.size() && divided < 2; ++k)
      divided += poly_divides(g, xor_poly(words[k], words[k + 1], shape));
    return divided >= 2;
  }

  // The like-data factors of `all`, on every core, confirmed in order with the data at its
  // place or past it.
  bool confirm_like_data(const std::vector<candidate>& all,
                         const std::vector<std::pair<std::size_t, std::size_t>>& pairs) {
    const std::size_t batch_size = 16 * kBatch;
    int confirmed = 0;
    for (std::size_t batch = 0; batch < all.size(); batch += batch_size) {
      const std::size_t end = std::min(all.size(), batch + batch_size);
      std::vector<common_factor> factors(end - batch);
      std::vector<char> hit(end - batch, 0);
      const auto work = [&](std::size_t first, std::size_t stride) {
        for (std::size_t i = batch + first; i < end; i += stride) {
          word_shape shape = shape_of(all[i]);
          shape.spans.erase(shape.spans.begin());  // the data
          if (shape.cut_at >= 0)
            shape.cut_at -= all[i].step;
          hit[i - batch] = find_like_data_factor(s_, pairs, shape, factors[i - batch]);
        }
      };
      on_every_core(work);
      for (std::size_t i = batch; i < end; ++i) {
        if (!hit[i - batch])
          continue;
        for (std::int64_t offset = 0; offset <= kMaxDataOffset; ++offset) {
          candidate c = all[i];
          c.start += offset;
          const std::int64_t data_end = c.start + c.step;
          if (data_end > c.tail || (c.apart > 0 && data_end > c.apart_at))
            break;
          // Words of unlike data must be codewords too. Where they are not (the short words
          // XOR to codewords for every span within like bytes, an interleaved step's message
          // among them), the costly confirmation is spared.
          if (!divides_words(factors[i - batch].g, shape_of(c)))
            continue;
          if (++confirmed > kMostLikeConfirms)
            return false;
          // Found from the spare bytes alone, the reading must hold every step of the page: an
          // interleaved page's last message, cut at a data boundary, decodes too.
          const detect_result before = result_;
          if (!confirm(c, factors[i - batch]))
            continue;
          if (static_cast<std::int64_t>(result_.layout.steps.size()) == c.steps)
            return true;
          result_ = before;
        }
      }
    }
    return false;
  }

  // Every primitive polynomial of the fields a step fits, on the candidate spans that end at
  // the last varying column: for worn chips whose controller uses a polynomial of its own.
  // Fields in ascending size, and on each the shorter steps first: two steps' codewords back to
  // back are a codeword of a step twice as long on the same field. A step size is swept on its
  // smallest field and, for 512 and 1024 bytes, the next (512: two more), as controllers
  // choose; the rarest pairings cost the most (1800 polynomials of degree 15, 2048 of 16).
  // `effort` (0 ... 1) is the share of the polynomials tried.
  bool scan_every_polynomial(double effort) {
    struct sweep {
      std::int64_t step;
      int m;
    };
    std::vector<sweep> order;
    for (int m = 13; m <= kLayoutMaxDegree; ++m) {
      for (std::int64_t step : kStepSizes) {
        int smallest = 13;
        while (8 * step + 2 * smallest > (std::int64_t{1} << smallest) - 1)
          ++smallest;
        const int above = step == 512 ? 2 : step == 1024 ? 1 : 0;
        if (m >= smallest && m <= smallest + above)
          order.push_back({step, m});
      }
    }
    for (const sweep& each : order) {
      const std::int64_t step = each.step;
      const int m = each.m;
      if (step > geometry_.page_size || geometry_.page_size % step != 0)
        continue;
      std::vector<candidate> all;
      for (const candidate& c : candidates(s_.end)) {
        if (c.step == step)
          all.push_back(c);
      }
      const std::vector<scan_field> common = common_fields(step);
      std::vector<std::uint32_t> polys = primitive_polynomials(m, 1u << m);
      polys.resize(static_cast<std::size_t>(effort * static_cast<double>(polys.size())));
      std::vector<scan_field> fields;
      for (std::uint32_t p : polys) {
        bool listed = false;
        for (const scan_field& f : common)
          listed = listed || (f.m == m && f.p == p);
        if (!listed)
          fields.push_back({m, p});
      }
      for (std::size_t from = 0; from < fields.size(); from += kFieldBatch) {
        const std::vector<scan_field> batch(
            fields.begin() + static_cast<std::ptrdiff_t>(from),
            fields.begin() +
                static_cast<std::ptrdiff_t>(std::min(fields.size(), from + kFieldBatch)));
        if (scan_and_confirm(all, batch, 10, 10))
          return true;
      }
    }
    return false;
  }

  // The candidate as it is, or (cut) with the padding cut where a column shows it.
  void add_variants(std::vector<candidate>& out, candidate c, std::int64_t from, bool cut) const {
    if (!cut) {
      c.cut = -1;
      c.cut_bits = 0;
      out.push_back(c);
      return;
    }
    for (std::int64_t q = from; q < std::min(from + kMaxProtected + 1, c.end - 1); ++q) {
      const int bits = leading_pad_bits(s_, q, c.lsb_first);
      if (bits > 0) {
        c.cut = q;
        c.cut_bits = bits;
        out.push_back(c);
      }
    }
  }

  // From a common factor to a whole layout, or false with a line in ruled_out.
  bool confirm(const candidate& c, const common_factor& factor) {
    named_code code;
    const std::int64_t message_bits = 8 * static_cast<std::int64_t>(word_bytes(shape_of(c)));
    if (!name_code(factor.g, message_bits, code)) {
      note_factor(c, factor, "is no BCH generator of a field of degree 5 to 16");
      return false;
    }
    return confirm_code(c, factor, code);
  }

  // From a code whose syndromes fit the candidate's words to a whole layout. The word carries
  // no power of x beyond its padding: it ends where the candidate says.
  bool confirm_hit(const candidate& c, const scan_hit& hit) {
    // The words of a code are also words of a code of smaller t on a related field (one whose
    // alpha is a power of the code's): where one of those holds them at a larger t, it is the
    // code, and the hit only its shadow.
    const std::int64_t bits = 8 * static_cast<std::int64_t>(word_bytes(shape_of(c)));
    const int room = static_cast<int>((bits - 8 * c.step) / hit.field.m);
    if (room > hit.t) {
      scan_limits limits;
      limits.data_bytes = c.step;
      limits.most_t = std::min(room, 160);
      limits.pages = 10;
      limits.threads = threads_;
      const std::vector<scan_hit> lifted = syndrome_scan(
          s_.pages, {shape_of(c)}, related_fields(hit.field, 2 * limits.most_t - 1), limits);
      const scan_hit* best = nullptr;
      for (const scan_hit& h : lifted) {
        if (h.t > hit.t && (best == nullptr || h.t > best->t))
          best = &h;
      }
      if (best != nullptr && confirm_hit_t(c, *best))
        return true;
    }
    return confirm_hit_t(c, hit);
  }

  bool confirm_hit_t(const candidate& c, const scan_hit& hit) {
    // With few words, or many errors a word, the scan may stop short of t: the words of a code
    // are codewords of every code of smaller t on the field too. The largest t that decodes is
    // the code's.
    for (int t = hit.t + 4; t >= hit.t; --t) {
      if (confirm_hit_at(c, hit, t))
        return true;
    }
    return false;
  }

  bool confirm_hit_at(const candidate& c, const scan_hit& hit, int t) {
    named_code code;
    code.m = hit.field.m;
    code.t = t;
    code.polynomial = hit.field.p;
    code.g = bch_generator(hit.field.m, hit.field.p, t);
    if (code.g.empty())
      return false;
    const int r = poly_degree(code.g);
    if (r < kMinParity || r > kMaxParity)
      return false;
    common_factor factor;
    factor.g = code.g;
    if (c.cut < 0) {
      const int pad = static_cast<int>(8 * ((r + 7) / 8) - r);
      factor.shift = pad;
      const detect_result before = result_;
      const bool bytes = confirm_code(c, factor, code);
      // The syndromes do not see where in its last byte the word's parity ends: a step that
      // counts bits may end it anywhere there (parity that fills the step's spare to its end).
      // A byte reading one bit off a step in bits still decodes the steps whose dropped parity
      // bit is 0, about half: it stands only if no reading in bits decodes more (these take 9
      // in 10 at least).
      const detect_evidence& e = result_.evidence;
      if (bytes && static_cast<double>(e.clean + e.corrected) >=
                       kBitShare * static_cast<double>(e.steps_sampled))
        return true;
      const detect_result byte_reading = result_;
      if (bytes)
        result_ = before;
      for (int shift = 0; shift < 8; ++shift) {
        factor.shift = shift;
        if (shift != pad && confirm_code(c, factor, code))
          return true;
      }
      if (bytes)
        result_ = byte_reading;
      return bytes;
    }
    if ((r + c.cut_bits) % 8 != 0)
      return false;
    factor.shift = static_cast<int>(8 * (c.end - c.cut - (r + c.cut_bits) / 8));
    return confirm_code(c, factor, code);
  }

  bool confirm_code(const candidate& c, const common_factor& factor, const named_code& code) {
    const std::int64_t tail_start = c.kind == family::interleaved ? c.start : c.tail;
    const int r = poly_degree(code.g);
    std::int64_t ecc_offset = 0, ecc_bytes = 0;
    if (c.cut < 0) {
      ecc_bytes = (r + 7) / 8;
      const int pad = static_cast<int>(8 * ecc_bytes - r);
      // Parity that ends off the byte grid may still end a step that counts bits.
      if (factor.shift < pad || (factor.shift - pad) % 8 != 0)
        return confirm_bits(c, factor, code);
      ecc_offset = c.end - (factor.shift - pad) / 8 - ecc_bytes;
    } else {
      if ((r + c.cut_bits) % 8 != 0) {
        note_factor(c, factor, "does not fill the bytes after its leading padding");
        return false;
      }
      ecc_bytes = (r + c.cut_bits) / 8;
      ecc_offset = c.cut;
      if (factor.shift < 8 * (c.end - ecc_offset - ecc_bytes)) {
        note_factor(c, factor, "ends its parity elsewhere than its padding says");
        return false;
      }
    }
    if (ecc_offset < tail_start || ecc_offset + ecc_bytes > s_.raw) {
      note_factor(c, factor, "puts its parity outside the page");
      return false;
    }
    nand_layout layout = empty_layout(code, c.lsb_first);
    layout.code.pad_start = c.cut >= 0;
    // Bytes of the step before can pass for the start of the message: a byte that is nearly
    // fixed (its padding), its varying bits then taken for bit errors, or a whole ECC that a
    // few pages of zeros leave zero. Of the message starts up to kMaxTrim bytes later, the
    // one under which most steps decode, with the fewest bits corrected, is the step's own.
    layout_step last;
    bch_code built;
    std::int64_t most_usable = -1, fewest_bits = 0;
    std::int64_t taken = 0;  // the start of the reading taken, as readings count it
    struct reading {
      std::int64_t at, ecc_at, decoded, bits;
      bool masked;
    };
    std::vector<reading> readings;
    const std::int64_t first = c.kind == family::interleaved ? c.start : c.tail;
    // Steps that repeat under a later start must not count less than under an earlier one.
    const std::vector<std::size_t> trim_pages =
        distinct_pages(s_, std::min(first, c.start), ecc_offset + ecc_bytes);
    // A start that decodes only part of the steps (bytes of the step before taken for bit
    // errors, which a large t absorbs in some pages) is no reason to stop looking: then the
    // search goes on as far as the candidates reach.
    std::int64_t best_tried = 0;
    // The word may also end a few bytes before the candidate's end: a byte after the ECC
    // passes for its last parity bits where padding ends the ECC (only its first 8 - pad bits
    // count, a mask or a correction away from the true parity), a constant one under a mask,
    // and a large t absorbs a whole one. Each earlier end is weighed with the nearer starts,
    // the message ending where its ECC begins.
    for (std::int64_t back = 0; back <= kEndBack; ++back) {
      const std::int64_t ecc_at = ecc_offset - back;
      if ((c.kind == family::spare_end && ecc_at < geometry_.page_size) || (c.cut >= 0 && back > 0))
        break;
      candidate base = c;
      if (c.kind == family::interleaved)
        base.start = std::min(c.start, ecc_at - c.step);
      else
        base.tail = std::min(c.tail, ecc_at);
      const std::int64_t from = c.kind == family::interleaved ? base.start : base.tail;
      if (from < 0)
        break;
      bool further = false;
      for (std::int64_t d = 0; from + d <= ecc_at; ++d) {
        if (d == kMaxTrim + 1)
          further = 10 * most_usable < 9 * best_tried;
        if (d > kMaxTrim && (!further || d > kMaxStepSpare))
          break;
        if (back > 0 && d > kEndBackTrim)
          break;
        if (c.kind == family::interleaved && ecc_at - (base.start + d) < 1)
          break;
        candidate shifted = base;
        if (c.kind == family::interleaved)
          shifted.start += d;
        else
          shifted.tail += d;
        const layout_step step = make_step(shifted, shifted.start, shifted.tail, ecc_at, ecc_bytes);
        layout_code trial = layout.code;
        bch_code trial_code;
        if (!find_mask(s_, step, trial) || !build_code(trial, trial_code).ok())
          continue;
        const decode_count count = decode_step(s_, step, trial_code, 0, &trim_pages);
        // A constant byte before the message (the pad byte ending the step before) decodes as
        // well as the message without it, its share of the ECC taken for a mask: of readings
        // that decode alike, the one without a byte mask is the step's own.
        const bool unmasked =
            trial.mask != layout_mask::bytes && layout.code.mask == layout_mask::bytes;
        // On a worn chip no step is clean: more steps decoded, then fewer bits corrected.
        // Steps that decode to zeros count here: they tell codes apart no better than chance,
        // but one start that reads them so and another that needs bits fixed do differ. So do
        // erased steps: the unwritten last step of a page reads erased from its own start, but
        // one byte earlier it takes the ECC byte before it, which a large t and a byte mask can
        // pass off as a step decoded.
        const std::int64_t decoded = count.usable + count.blank + count.erased;
        const std::int64_t at = c.kind == family::interleaved ? shifted.start : shifted.tail;
        readings.push_back({at, ecc_at, decoded, count.bits, trial.mask == layout_mask::bytes});
        const bool better = decoded != most_usable      ? decoded > most_usable
                            : count.bits != fewest_bits ? count.bits < fewest_bits
                                                        : unmasked;
        if (better) {
          most_usable = decoded;
          taken = at;
          best_tried = count.tried + count.blank + count.erased;
          fewest_bits = count.bits;
          last = step;
          built = trial_code;
          layout.code = trial;
        }
      }
    }
    if (most_usable < 0) {
      note_factor(c, factor, "decodes too few steps to read a mask from");
      return false;
    }
    if (!step_fits(s_, last, built)) {
      note_factor(c, factor, "decodes too few of its steps");
      return false;
    }
    refine_mask(s_, last, layout.code, built);
    if (corrects_one_byte(s_, last, built)) {
      note_factor(c, factor,
                  "corrects one byte of the word in most steps: a byte outside the step read as "
                  "part of it");
      return false;
    }
    // Starts that decode exactly as the one taken, with a mask alike: bytes that read the
    // same in every sampled page (zeros before the message change no codeword), which the
    // code cannot place in or out of the step.
    std::vector<std::string> alike;
    const bool taken_masked = layout.code.mask == layout_mask::bytes;
    std::vector<std::string> ends_alike;
    for (const reading& other : readings) {
      if (other.decoded != most_usable || other.bits != fewest_bits || other.masked != taken_masked)
        continue;
      if (other.ecc_at != last.ecc.offset) {
        const std::string at = std::to_string(other.ecc_at);
        if (std::find(ends_alike.begin(), ends_alike.end(), at) == ends_alike.end())
          ends_alike.push_back(at);
      } else if (other.at != taken) {
        alike.push_back(std::to_string(other.at));
      }
    }
    layout.steps = place_steps(s_, c, last, built, geometry_.page_size);
    add_bad_block_marker(layout);
    if (!check_layout(layout).ok() ||
        !check_layout_code(layout, built.parity_bits, built.max_data_bytes).ok()) {
      note_factor(c, factor, "gives no valid layout");
      return false;
    }
    const detect_evidence evidence = weigh(layout, built, nullptr);
    if (evidence.log10_odds > kEvidenceBar) {
      note_factor(c, factor, "decodes no more steps than chance would");
      return false;
    }
    if (!alike.empty()) {
      std::string at;
      for (std::size_t i = 0; i < alike.size() && i < 8; ++i)
        at += (i == 0 ? "" : ", ") + alike[i];
      if (alike.size() > 8)
        at += ", ...";
      result_.ambiguities.push_back(
          std::string("the last step's ") +
          (c.kind == family::interleaved ? "message" : "spare bytes") + " may start at " + at +
          " as well as at " + std::to_string(taken) +
          ": every sampled step decodes alike, so the bytes between belong to the step or not; " +
          "the finding starts at " + std::to_string(taken));
    }
    if (!ends_alike.empty()) {
      std::string at;
      for (const std::string& a : ends_alike)
        at += (at.empty() ? "" : ", ") + a;
      result_.ambiguities.push_back(
          "the last step's ECC may start at " + at + " as well as at " +
          std::to_string(last.ecc.offset) +
          ": every sampled step decodes alike, so the bytes after the ECC may be its end; " +
          "the finding puts it at " + std::to_string(last.ecc.offset));
    }
    accept(c, std::move(layout), code, built, evidence);
    return true;
  }

  // A factor whose parity ends off the byte grid, read as a step that counts bits: in the
  // candidate's bit order the word's last bit is bit 8 * c.end - 1 and the parity's x^0 stands
  // factor.shift bits before the end, so the ECC span is the r bits before that; the message is
  // the candidate's spans (as make_step gives them) up to the ECC's first bit. Decoded under no
  // mask and under erased-ff (a byte mask is not read off bit steps), the better taken; then
  // checked and placed as a byte step is. A reading in bits is taken only when nearly every
  // programmed step decodes (kBitShare): no other start or end is weighed beside it. False,
  // with a line in ruled_out, when it does not hold.
  bool confirm_bits(const candidate& c, const common_factor& factor, const named_code& code) {
    const std::string why = "leaves its parity off the byte grid, and read in bits ";
    const int r = poly_degree(code.g);
    const bool lsb = c.lsb_first;
    const std::int64_t ecc_at = 8 * c.end - factor.shift - r;
    // The ECC after the whole data (interleaved) or after the candidate's spare bytes begin.
    const std::int64_t message_end =
        8 * (c.kind == family::interleaved ? c.start + c.step : c.tail);
    if (ecc_at < message_end) {
      note_factor(c, factor, why + "puts its parity before the end of its message");
      return false;
    }
    const layout_step last = make_bit_step(c, 8 * c.start, 8 * c.tail, ecc_at, r);
    if (step_data_bits(last) != 8 * c.step) {
      note_factor(c, factor, why + "puts its parity before the end of its message");
      return false;
    }
    nand_layout layout = empty_layout(code, lsb);
    layout.steps = {last};
    bch_code built;
    step_frame frame;
    std::int64_t most_usable = -1, fewest_bits = 0;
    for (layout_mask mask : {layout_mask::none, layout_mask::erased_ff}) {
      nand_layout trial = layout;
      trial.code.mask = mask;
      bch_code trial_code;
      if (!build_code(trial.code, trial_code).ok() || !check_layout(trial).ok() ||
          !check_layout_code(trial, trial_code.parity_bits, trial_code.max_data_bytes).ok())
        continue;
      const step_frame trial_frame = frame_step(trial, trial_code, last);
      const decode_count count = decode_step(s_, last, trial_code, 0, nullptr, &trial_frame, lsb);
      // No mask first: erased-ff only where it decodes more, or as many with fewer bits fixed.
      if (count.usable > most_usable || (count.usable == most_usable && count.bits < fewest_bits)) {
        most_usable = count.usable;
        fewest_bits = count.bits;
        layout.code = trial.code;
        built = trial_code;
        frame = trial_frame;
      }
    }
    if (most_usable < 0) {
      note_factor(c, factor, why + "gives no valid layout");
      return false;
    }
    if (!step_fits(s_, last, built, false, &frame, lsb)) {
      note_factor(c, factor, why + "decodes too few of its steps");
      return false;
    }
    if (corrects_one_byte(s_, last, built, &frame, lsb)) {
      note_factor(c, factor,
                  why +
                      "corrects one byte of the word in most steps: a byte outside the step read "
                      "as part of it");
      return false;
    }
    layout.steps = place_bit_steps(s_, c, last, built, frame, lsb, geometry_.page_size);
    add_bad_block_marker(layout);
    if (!check_layout(layout).ok() ||
        !check_layout_code(layout, built.parity_bits, built.max_data_bytes).ok()) {
      note_factor(c, factor, why + "gives no valid layout");
      return false;
    }
    const detect_evidence evidence = weigh(layout, built, &frame);
    const double usable = static_cast<double>(evidence.clean + evidence.corrected);
    if (usable < kBitShare * static_cast<double>(evidence.steps_sampled)) {
      note_factor(c, factor, why + "leaves too many of its programmed steps uncorrectable");
      return false;
    }
    if (evidence.log10_odds > kEvidenceBar) {
      note_factor(c, factor, why + "decodes no more steps than chance would");
      return false;
    }
    accept(c, std::move(layout), code, built, evidence);
    return true;
  }

  // The layout of the search's geometry and `code`, without steps, mask or padding.
  nand_layout empty_layout(const named_code& code, bool lsb_first) const {
    nand_layout layout;
    layout.name = "detected";
    layout.source = "detect";
    layout.page_size = geometry_.page_size;
    layout.spare_size = geometry_.spare_size;
    layout.block_pages = geometry_.block_pages;
    layout.code.m = code.m;
    layout.code.t = code.t;
    layout.code.primitive_polynomial = code.polynomial;
    layout.code.lsb_first = lsb_first;
    return layout;
  }

  // Every distinct step of the sampled pages decoded under the layout's code `built`, and the
  // odds of chance decoding as many. Bit steps are read through `frame`.
  // REQUIRES: with bit steps, `frame` made by frame_step for one of them; all have its lengths.
  detect_evidence weigh(const nand_layout& layout, const bch_code& built,
                        const step_frame* frame) const {
    detect_evidence evidence;
    std::int64_t longest = 0;  // bits of the longest message
    for (const layout_step& step : layout.steps) {
      const decode_count count =
          decode_step(s_, step, built, 0, nullptr, frame, layout.code.lsb_first);
      evidence.clean += count.clean;
      evidence.corrected += count.corrected;
      evidence.erased += count.erased;
      evidence.uncorrectable += count.uncorrectable;
      evidence.steps_sampled += count.tried;
      longest = std::max(longest, step_message_bits(step));
    }
    evidence.chance = chance_of_decoding(longest + built.parity_bits, built.parity_bits, built.t);
    evidence.log10_odds = log10_chance_of_at_least(evidence.clean + evidence.corrected,
                                                   evidence.steps_sampled, evidence.chance);
    return evidence;
  }

  // The finding: `layout` under `code`, with what the code cannot tell within a step.
  void accept(const candidate& c, nand_layout layout, const named_code& code, const bch_code& built,
              const detect_evidence& evidence) {
    const layout_step& last = layout.steps.back();
    if (c.kind == family::interleaved && !last.protected_.empty())
      result_.ambiguities.push_back(
          "the code cannot tell data from protected bytes within a step: the first " +
          std::to_string(c.step) + " bytes of each are taken as data");
    result_.found = true;
    result_.layout = std::move(layout);
    result_.generator = code.g;
    result_.parity_bits = built.parity_bits;
    result_.evidence = evidence;
  }

  // A spare byte at the start of the spare that no step uses and that reads 0xFF in nearly
  // every programmed page: the bad-block marker of the first page of a block.
  void add_bad_block_marker(nand_layout& layout) const {
    const std::int64_t at = layout.page_size;
    const layout_span marker{at, 1};
    for (const layout_step& step : layout.steps) {
      // A bit step's spans count bits.
      const layout_span in_step = step.bits ? layout_span{8 * at, 8} : marker;
      for (const auto* spans : {&step.data, &step.protected_}) {
        for (const layout_span& span : *spans) {
          if (overlaps(span, in_step))
            return;
        }
      }
      if (overlaps(step.ecc, in_step))
        return;
    }
    std::size_t ff = 0;
    for (const auto& page : s_.pages)
      ff += page[static_cast<std::size_t>(at)] == 0xFF;
    if (s_.pages.empty() || ff + s_.pages.size() / 16 < s_.pages.size())
      return;
    layout.bad_block.present = true;
    layout.bad_block.marker = marker;
    layout.bad_block.pages = {0};
  }

  // Counts a factor passed over for `why`: one line per reason, naming the first candidate
  // and factor that met it, at most kMostNotes reasons.
  void note_factor(const candidate& c, const common_factor& factor, const std::string& why) {
    std::string name = std::string(family_name(c.kind)) + " step at " + std::to_string(c.start);
    if (c.kind == family::spare_end)
      name += " with spare bytes from " + std::to_string(c.tail);
    name += std::string(", ") + (c.lsb_first ? "lsb" : "msb") + " first";
    for (note& n : notes_) {
      if (n.why == why) {
        // The same candidate again (a later pass, another of its factors) is no other.
        n.candidates.insert(name);
        return;
      }
    }
    if (notes_.size() < kMostNotes)
      notes_.push_back(
          {why,
           name + ": common factor of degree " + std::to_string(poly_degree(factor.g)) + " " + why,
           {name}});
  }

  // The notes as lines of ruled_out, where the search's own lines begin, each with its count
  // of candidates when more than one met it.
  void write_notes() {
    std::vector<std::string> lines;
    for (const note& n : notes_) {
      lines.push_back(n.line + (n.candidates.size() > 1
                                    ? " (" + std::to_string(n.candidates.size()) + " candidates)"
                                    : ""));
    }
    result_.ruled_out.insert(result_.ruled_out.begin() + static_cast<std::ptrdiff_t>(notes_at_),
                             lines.begin(), lines.end());
    notes_.clear();
  }

  // A reason factors were passed over for: the line of the first candidate and factor that met
  // it, and every candidate that did.
  struct note {
    std::string why;
    std::string line;
    std::set<std::string> candidates;
  };
  static constexpr std::size_t kMostNotes = 12;

  const sample_set& s_;
  const detect_geometry& geometry_;
  const detect_options& options_;
  detect_result& result_;
  double progress_done_ = 0, progress_total_ = 1;
  unsigned threads_ = 1;
  std::vector<note> notes_;
  std::size_t notes_at_ = 0;  // where in result_.ruled_out the notes go
};

}  // namespace

detect_result detect_layout(const detect_reader& read, std::int64_t dump_bytes,
                            const detect_geometry& geometry, const detect_options& options) {
  detect_result result;
  if (geometry.page_size < 512 || geometry.page_size > kMaxPagePart || geometry.spare_size < 1 ||
      geometry.spare_size > kMaxPagePart || geometry.block_pages < 1) {
    result.error = status::error("page size must be 512 to " + std::to_string(kMaxPagePart) +
                                 " bytes, spare size 1 to " + std::to_string(kMaxPagePart) +
                                 ", pages per block at least 1");
    return result;
  }
  if (options.threads < 0 || options.threads > 64) {
    result.error = status::error("threads must be 0 (one per core) to 64");
    return result;
  }
  if (options.sample_pages < 16 || options.sample_pages > 100000) {
    result.error = status::error("pages to sample must be 16 to 100000");
    return result;
  }
  sample_set s;
  s.raw = std::int64_t{geometry.page_size} + geometry.spare_size;
  const std::int64_t pages = dump_bytes / s.raw;
  if (pages < 1) {
    result.error =
        status::error("the dump holds no whole page of " + std::to_string(s.raw) + " bytes");
    return result;
  }
  // Pages of megabytes would otherwise take the sample to gigabytes.
  const std::int64_t wanted = std::min<std::int64_t>(
      {pages, options.sample_pages, std::max<std::int64_t>(16, kMaxSampleBytes / s.raw)});
  std::vector<std::uint8_t> page(static_cast<std::size_t>(s.raw));
  // Repeats are found by digest: comparing every pair of 100000 pages would take minutes.
  distinct_steps kept;
  for (std::int64_t i = 0; i < wanted; ++i) {
    const std::int64_t index = i * pages / wanted;
    if (!read(index * s.raw, page.data(), page.size())) {
      result.error = status::error("cannot read page " + std::to_string(index) + " of the dump");
      return result;
    }
    ++result.pages_sampled;
    if (nearly_erased(page.data(), page.size(), page.size() / 8))
      continue;
    if (first_sight(kept, page.data(), page.size(), nullptr, 0))
      s.pages.push_back(page);
  }
  result.pages_used = static_cast<std::int64_t>(s.pages.size());
  // Two pages give two words a step, which the syndromes weigh; the common factor needs more.
  if (s.pages.size() < 2) {
    result.ruled_out.push_back(
        "fewer than 2 programmed, distinct pages among those sampled: "
        "nothing to compare");
    return result;
  }
  study_columns(s);
  searcher search(s, geometry, options, result);
  search.run();
  if (options.progress)
    options.progress(1.0);
  return result;
}

detect_result detect_layout(std::FILE* dump, std::int64_t dump_bytes,
                            const detect_geometry& geometry, const detect_options& options) {
  const detect_reader read = [dump](std::int64_t offset, unsigned char* out, std::size_t bytes) {
    return platform_read_at(dump, offset, out, bytes);
  };
  return detect_layout(read, dump_bytes, geometry, options);
}

namespace {

// Data and spare sizes of NAND pages as chips are made.
constexpr std::int32_t kDataSizes[] = {512, 2048, 4096, 8192, 16384};
constexpr std::int32_t kSpareSizes[] = {16,  32,  64,  128, 218, 224,  232,  256,  376,  400, 436,
                                        448, 512, 576, 640, 744, 1024, 1216, 1280, 1664, 2048};

// Erased runs: the ends of 0xFF runs of kLongRun bytes or more, read from up to kRunWindows
// windows of kRunWindow bytes spread over the dump (16 MiB at most).
constexpr std::int64_t kRunWindow = 256 * 1024;
constexpr std::int64_t kRunWindows = 64;
constexpr std::int64_t kLongRun = 256;

// Constant columns: programmed pages sampled at each raw size, at most kColumnPages and no more
// than kColumnBytes over all the geometries weighed together, but never fewer than
// kColumnPagesLeast a geometry: a few MiB read, whatever the dump's size.
constexpr std::int64_t kColumnBytes = std::int64_t{4} << 20;
constexpr std::int64_t kColumnPages = 128;
constexpr std::int64_t kColumnPagesLeast = 16;
// A column is constant when one value fills all but 1 in kColumnSlack of the sampled pages, so
// that bit errors and the odd page written otherwise do not hide a marker or a pad byte.
constexpr std::int64_t kColumnSlack = 32;
// Constant columns beyond chance a geometry needs for a guess. Chance is measured on the same
// pages, each rotated by its own drawn amount; the excess must also be three of chance's
// standard deviations (about the square root of twice the chance count).
constexpr std::int64_t kFewestColumns = 4;
// Guesses that score at least this share of the best are alike: the guess is unsure.
constexpr double kAlike = 0.8;
// Findings whose decoded steps cover sampled bytes within this share of each other are not
// told apart by their cover.
constexpr double kSameCover = 0.02;

std::int64_t raw_of(const detect_geometry& g) {
  return std::int64_t{g.page_size} + g.spare_size;
}

// The common geometries whose raw pages fill `dump_bytes` exactly, each with block_pages 64.
std::vector<detect_geometry> common_geometries(std::int64_t dump_bytes) {
  std::vector<detect_geometry> out;
  for (std::int32_t data : kDataSizes) {
    for (std::int32_t spare : kSpareSizes) {
      if (spare * 4 > data || spare * 128 < data)
        continue;  // no chip pairs these
      const std::int64_t raw = std::int64_t{data} + spare;
      if (raw <= dump_bytes && dump_bytes % raw == 0)
        out.push_back({data, spare, 64});
    }
  }
  return out;
}

// Appends to `ends` the offset just past every 0xFF run of kLongRun bytes or more in the
// windows read. False when the dump cannot be read.
bool long_run_ends(const detect_reader& read, std::int64_t dump_bytes,
                   std::vector<std::int64_t>& ends) {
  const std::int64_t windows =
      std::min<std::int64_t>(kRunWindows, (dump_bytes + kRunWindow - 1) / kRunWindow);
  std::vector<std::uint8_t> buffer;
  for (std::int64_t w = 0; w < windows; ++w) {
    std::int64_t start = dump_bytes <= kRunWindow ? 0
                                                  : w * (dump_bytes - kRunWindow) /
                                                        std::max<std::int64_t>(1, windows - 1);
    start -= start % 4096;
    const std::int64_t length = std::min(kRunWindow, dump_bytes - start);
    if (length <= 0)
      continue;
    buffer.resize(static_cast<std::size_t>(length));
    if (!read(start, buffer.data(), buffer.size()))
      return false;
    std::int64_t run = 0;
    for (std::int64_t i = 0; i < length; ++i) {
      if (buffer[static_cast<std::size_t>(i)] == 0xFF) {
        ++run;
        continue;
      }
      if (run >= kLongRun)
        ends.push_back(start + i);
      run = 0;
    }
  }
  return true;
}

// A fixed sequence of draws (splitmix64): the same dump always gives the same guess.
std::uint64_t next_draw(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

// Columns of the `count` pages of `raw` bytes held one after another in `pages`, page j read
// cyclically from its byte shift[j] on, that hold one value in all but count / kColumnSlack
// of the pages.
std::int64_t constant_columns(const std::vector<std::uint8_t>& pages, std::int64_t count,
                              std::int64_t raw, const std::vector<std::int64_t>& shift) {
  const std::int64_t allowed = count / kColumnSlack;
  const auto at = [&](std::int64_t j, std::int64_t c) {
    std::int64_t column = c + shift[static_cast<std::size_t>(j)];
    if (column >= raw)
      column -= raw;
    return pages[static_cast<std::size_t>(j * raw + column)];
  };
  std::int64_t constant = 0;
  for (std::int64_t c = 0; c < raw; ++c) {
    // A value in all but a few pages is the majority, which one pass finds (Boyer and Moore).
    std::uint8_t value = 0;
    std::int64_t votes = 0;
    for (std::int64_t j = 0; j < count; ++j) {
      const std::uint8_t b = at(j, c);
      if (votes == 0)
        value = b;
      votes += b == value ? 1 : -1;
    }
    std::int64_t misses = 0;
    for (std::int64_t j = 0; j < count && misses <= allowed; ++j)
      misses += at(j, c) != value;
    constant += misses <= allowed;
  }
  return constant;
}

struct column_tally {
  std::int64_t pages = 0;    // programmed pages sampled
  std::int64_t aligned = 0;  // columns constant over them
  std::int64_t shifted = 0;  // columns constant once each page is rotated by its own amount
};

// Samples up to `wanted` pages of `raw` bytes, one from each of as many equal stretches of the
// dump, at a drawn place within it (pages at a fixed stride could all fall on the same half of
// pages twice the size, which would then look as aligned as the whole), leaves out the nearly
// erased ones (alike at every size) and counts their constant columns, aligned and shifted.
// False when the dump cannot be read.
bool tally_columns(const detect_reader& read, std::int64_t dump_bytes, std::int64_t raw,
                   std::int64_t wanted, column_tally& out) {
  const std::int64_t pages = dump_bytes / raw;
  const std::int64_t n = std::min(pages, wanted);
  std::uint64_t state = static_cast<std::uint64_t>(raw);
  std::vector<std::uint8_t> page(static_cast<std::size_t>(raw));
  std::vector<std::uint8_t> kept;
  std::vector<std::int64_t> shift;
  for (std::int64_t j = 0; j < n; ++j) {
    const std::int64_t first = j * pages / n;
    const std::int64_t stretch = (j + 1) * pages / n - first;
    const std::int64_t index =
        first + static_cast<std::int64_t>(next_draw(state) % static_cast<std::uint64_t>(stretch));
    if (!read(index * raw, page.data(), page.size()))
      return false;
    if (nearly_erased(page.data(), page.size(), page.size() / 8))
      continue;
    kept.insert(kept.end(), page.begin(), page.end());
    shift.push_back(static_cast<std::int64_t>(next_draw(state) % static_cast<std::uint64_t>(raw)));
  }
  out.pages = static_cast<std::int64_t>(shift.size());
  out.shifted = constant_columns(kept, out.pages, raw, shift);
  std::fill(shift.begin(), shift.end(), 0);
  out.aligned = constant_columns(kept, out.pages, raw, shift);
  return true;
}

// Scores `geometries` by their constant columns into `out`, best first; `out` stays empty when
// no geometry has kFewestColumns beyond chance. False when the dump cannot be read.
bool column_guesses(const detect_reader& read, std::int64_t dump_bytes,
                    std::vector<detect_geometry> geometries, std::vector<geometry_guess>& out) {
  // Smaller pages first, so that each page's divisors are weighed before it.
  std::stable_sort(
      geometries.begin(), geometries.end(),
      [](const detect_geometry& a, const detect_geometry& b) { return raw_of(a) < raw_of(b); });
  std::int64_t all_raw = 0;
  for (const detect_geometry& g : geometries)
    all_raw += raw_of(g);
  const std::int64_t wanted = std::max(
      kColumnPagesLeast, std::min(kColumnPages, kColumnBytes / std::max<std::int64_t>(1, all_raw)));
  std::vector<std::int64_t> excess;
  for (const detect_geometry& g : geometries) {
    column_tally t;
    if (!tally_columns(read, dump_bytes, raw_of(g), wanted, t))
      return false;
    std::int64_t beyond = t.aligned - t.shifted;
    if (beyond < kFewestColumns || beyond * beyond < 18 * t.shifted)
      beyond = 0;
    excess.push_back(beyond);
    geometry_guess guess;
    guess.geometry = g;
    guess.evidence = geometry_evidence::constant_columns;
    guess.columns = t.aligned;
    guess.chance_columns = t.shifted;
    guess.pages = t.pages;
    out.push_back(guess);
  }
  // A page k times the true one lines up as well, its columns repeated k times: those that a
  // smaller page's columns explain count once, so that its score per byte is a k-th at most.
  double best = 0;
  std::vector<double> density(out.size(), 0);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::int64_t raw = raw_of(out[i].geometry);
    std::int64_t own = excess[i];
    for (std::size_t d = 0; d < i; ++d) {
      const std::int64_t part = raw_of(out[d].geometry);
      if (excess[d] == 0 || raw % part != 0 || raw == part)
        continue;
      const std::int64_t repeated = raw / part * excess[d];
      own = std::min(own, excess[d] + std::max<std::int64_t>(0, excess[i] - repeated));
    }
    density[i] = static_cast<double>(own) / static_cast<double>(raw);
    best = std::max(best, density[i]);
  }
  if (best <= 0) {
    out.clear();
    return true;
  }
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i].score = density[i] / best;
  // The order is by raw size already: among equal scores the smaller page stays first.
  std::stable_sort(out.begin(), out.end(), [](const geometry_guess& a, const geometry_guess& b) {
    return a.score > b.score;
  });
  return true;
}

std::string geometry_text(const detect_geometry& g) {
  return std::to_string(g.page_size) + "+" + std::to_string(g.spare_size);
}

}  // namespace

std::vector<geometry_guess> guess_geometry(const detect_reader& read, std::int64_t dump_bytes,
                                           int most) {
  std::vector<geometry_guess> out;
  most = std::max(1, std::min(most, 100));
  const std::vector<detect_geometry> geometries = common_geometries(dump_bytes);
  // Constant columns first: every programmed page shows them, while the ends of erased runs
  // are few where whole blocks are erased (and fall on the boundaries of every page size that
  // divides a block) and off the page where a page is written only in part.
  if (geometries.empty() || !column_guesses(read, dump_bytes, geometries, out))
    return {};
  std::vector<std::int64_t> ends;
  if (out.empty() && !long_run_ends(read, dump_bytes, ends))
    return {};
  if (out.empty() && !ends.empty()) {
    for (const detect_geometry& g : geometries) {
      const std::int64_t raw = raw_of(g);
      std::int64_t on_boundary = 0;
      for (std::int64_t end : ends)
        on_boundary += end % raw == 0;
      geometry_guess guess;
      guess.geometry = g;
      guess.runs = static_cast<std::int64_t>(ends.size());
      guess.score = static_cast<double>(on_boundary) / static_cast<double>(ends.size());
      out.push_back(guess);
    }
    // Best score first; a multiple of another page size scores below it at best, so among equal
    // scores the smaller page comes first.
    std::stable_sort(out.begin(), out.end(), [](const geometry_guess& a, const geometry_guess& b) {
      if (a.score != b.score)
        return a.score > b.score;
      return raw_of(a.geometry) < raw_of(b.geometry);
    });
  }
  if (static_cast<int>(out.size()) > most)
    out.resize(static_cast<std::size_t>(most));
  return out;
}

detect_result detect_layout_and_geometry(const detect_reader& read, std::int64_t dump_bytes,
                                         const detect_options& options,
                                         std::vector<geometry_guess>& guesses) {
  guesses = guess_geometry(read, dump_bytes);
  // Guesses the dump's bytes cannot tell apart from the best: only the search may pick one.
  const auto alike = [&guesses](std::size_t i) {
    return guesses[i].score >= kAlike * guesses[0].score;
  };
  detect_result last, best;
  double best_cover = -1;
  std::size_t best_guess = 0;
  std::vector<std::pair<std::size_t, double>> covers;  // guess, cover of each finding
  std::vector<std::string> ruled_out;
  int tried = 0;
  // A page size that divides the true one finds steps too (a half page may hold whole steps):
  // of the geometries that find a code, the one under which decoded steps cover most of the
  // sampled bytes wins (erased runs can score such a page as high as the true one). The long
  // tries for noisy dumps are spent on the best guess alone, and only when no geometry finds a
  // code without them.
  detect_options quick = options;
  quick.noise_effort = 0;
  for (std::size_t i = 0; i < guesses.size(); ++i) {
    const geometry_guess& guess = guesses[i];
    if (tried == 3 || guess.score < 0.1 || guess.score < guesses[0].score / 2)
      break;
    ++tried;
    detect_result r = detect_layout(read, dump_bytes, guess.geometry, quick);
    if (!r.error.ok())
      return r;
    const std::string geometry = geometry_text(guess.geometry) + ": ";
    if (r.found) {
      std::int64_t message = 0;
      for (const layout_step& step : r.layout.steps)
        message += step_message_bytes(step);
      const double per_step =
          static_cast<double>(message) / static_cast<double>(r.layout.steps.size());
      const double cover = static_cast<double>(r.evidence.clean + r.evidence.corrected) * per_step /
                           (static_cast<double>(std::max<std::int64_t>(1, r.pages_used)) *
                            static_cast<double>(raw_page_bytes(r.layout)));
      covers.emplace_back(i, cover);
      ruled_out.push_back(geometry + "a code too (" + std::to_string(r.layout.steps.size()) +
                          " steps a page, m = " + std::to_string(r.layout.code.m) +
                          ", t = " + std::to_string(r.layout.code.t) + "), its steps covering " +
                          std::to_string(static_cast<int>(100 * cover + 0.5)) +
                          "% of the sampled bytes");
      std::int64_t held = 0;
      for (const layout_step& step : r.layout.steps)
        held += step_data_bytes(step);
      const bool whole = held >= r.layout.page_size;
      if (cover > best_cover) {
        best_cover = cover;
        best_guess = i;
        best = std::move(r);
      }
      // A finding that holds the whole page ends the search unless a guess alike to the best
      // remains: the guesses below it (a double page, at half the score) would only be
      // searched in vain, at the full cost of a search that finds nothing.
      if (whole && (i + 1 == guesses.size() || !alike(i + 1)))
        break;
      continue;
    }
    for (const std::string& line : r.ruled_out)
      ruled_out.push_back(geometry + line);
    last = std::move(r);
  }
  if (!best.found && tried > 0 && options.noise_effort > 0) {
    detect_result r = detect_layout(read, dump_bytes, guesses[0].geometry, options);
    if (r.found || !r.error.ok())
      return r;
  }
  // Two alike guesses whose findings cover as much are two readings of the dump that nothing
  // here chooses between; a finding under a guess that is not alike to the best is no rival.
  bool rivals = false;
  for (const auto& [guess, cover] : covers) {
    rivals = rivals || (guess != best_guess && alike(guess) && alike(best_guess) &&
                        cover >= best_cover * (1 - kSameCover));
  }
  if (best.found && !rivals)
    return best;
  if (best.found) {
    // The report says what the search saw: the findings' sample, not the last failure's.
    last.pages_sampled = best.pages_sampled;
    last.pages_used = best.pages_used;
  }
  const bool unsure = guesses.size() >= 2 && alike(1);
  if (tried == 0) {
    ruled_out.push_back(
        "no common page geometry has erased pages, unwritten page tails or constant columns "
        "lining up on its page boundaries: give --page-size and --spare-size");
  } else if (unsure) {
    std::string named;
    std::size_t count = 0;
    while (count < guesses.size() && count < 4 && alike(count))
      ++count;
    for (std::size_t i = 0; i < count; ++i) {
      named += (i == 0           ? ""
                : i + 1 == count ? " and "
                                 : ", ") +
               geometry_text(guesses[i].geometry) + " (" +
               std::to_string(static_cast<int>(100 * guesses[i].score + 0.5)) + "%)";
    }
    last.geometry_unsure = true;
    ruled_out.push_back(named + " fit the dump alike, and " +
                        (best.found ? "more than one finds a code" : "none finds a code") +
                        ": give --page-size and --spare-size");
  }
  last.found = false;
  last.ruled_out = std::move(ruled_out);
  return last;
}
