// The merge of one step's reads. Distances count only the code's bits, so that a bit step's
// lead bits and the ECC bytes' unused bits, which no decoder sees, weigh nothing. The search's
// acceptance rests on one fact: every codeword within t bits of a read with at most w of the
// disagreeing bits flipped is reached at level w, so a codeword not reached is either more
// than t + w bits from every read or more than t bits off outside the disagreeing bits, and
// its summed distance is bounded from below accordingly.
#include "merge/step_merge.h"

#include <algorithm>  // std::min, std::fill
#include <cstring>    // std::memcmp, std::memcpy
#include <limits>     // std::numeric_limits

namespace {

// Bits set in (a XOR b) AND care over `bytes` bytes.
std::int64_t distance(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* care,
                      std::size_t bytes) {
  std::int64_t d = 0;
  std::size_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    std::uint64_t x, y, c;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    std::memcpy(&c, care + i, 8);
    d += __builtin_popcountll((x ^ y) & c);
  }
  for (; i < bytes; ++i)
    d += __builtin_popcount(static_cast<unsigned>((a[i] ^ b[i]) & care[i]));
  return d;
}

// Bits set in `a` AND care: distance to the word of zeros.
std::int64_t ones(const std::uint8_t* a, const std::uint8_t* care, std::size_t bytes) {
  static const std::uint8_t kZeros[64] = {};
  std::int64_t d = 0;
  for (std::size_t i = 0; i < bytes; i += sizeof kZeros) {
    const std::size_t n = std::min(sizeof kZeros, bytes - i);
    d += distance(a + i, kZeros, care + i, n);
  }
  return d;
}

// Decodes `word` in place (its `bytes` bytes). A correction that would touch a bit outside the
// code (a bit step's lead bits) makes no codeword of the step: uncorrectable, and `word` is
// then as it was.
bch_status decode(const merge_frame& f, std::uint8_t* word, bch_decode_result& result) {
  const std::size_t message = f.frame->message_bytes;
  bch_decode(*f.code, word, message, word + message, result, frame_offset(*f.frame));
  if (result.status == bch_status::clean || result.status == bch_status::uncorrectable)
    return result.status;
  if (f.frame->bits) {
    for (const bch_bit_fix& x : result.fixes) {
      const std::size_t at = x.in_ecc ? message + x.byte : x.byte;
      if (f.care[at] >> x.bit & 1)
        continue;
      for (const bch_bit_fix& y : result.fixes) {
        const std::size_t back = y.in_ecc ? message + y.byte : y.byte;
        word[back] = static_cast<std::uint8_t>(word[back] ^ (1u << y.bit));
      }
      return bch_status::uncorrectable;
    }
  }
  return result.status;
}

// n choose k, saturating at `cap`.
std::int64_t choose(std::int64_t n, std::int64_t k, std::int64_t cap) {
  if (k < 0 || k > n)
    return 0;
  k = std::min(k, n - k);
  long double c = 1;
  for (std::int64_t i = 1; i <= k; ++i) {
    c = c * static_cast<long double>(n - k + i) / static_cast<long double>(i);
    if (c > static_cast<long double>(cap))
      return cap;
  }
  return static_cast<std::int64_t>(c + 0.5L);
}

// Adds `word` to the search's codewords unless it is there already.
void add_found(const merge_frame& f, const std::uint8_t* const* reads,
               const std::vector<int>& which, const std::uint8_t* word, merge_scratch& s) {
  for (const std::vector<std::uint8_t>& c : s.found) {
    if (std::memcmp(c.data(), word, f.bytes) == 0)
      return;
  }
  std::int64_t sum = 0;
  for (int i : which)
    sum += distance(word, reads[i], f.care.data(), f.bytes);
  s.found.emplace_back(word, word + f.bytes);
  s.found_distance.push_back(sum);
}

// The search of merge_step. Returns the index in s.found of the codeword accepted, or -1.
int search(const merge_frame& f, const std::uint8_t* const* reads, std::int64_t budget,
           merge_verdict& v, merge_scratch& s) {
  const std::vector<int>& which = s.programmed;
  const auto p = static_cast<std::int64_t>(which.size());
  const std::size_t bytes = f.bytes;
  const std::uint8_t* care = f.care.data();
  const std::int64_t t = f.code->t;

  // Where the reads disagree, and the least summed distance any word can have: at each such
  // bit, the reads on the minority side.
  s.positions.clear();
  std::int64_t least = 0;
  for (std::size_t j = 0; j < bytes; ++j) {
    unsigned differ = 0;
    for (int i : which)
      differ |= static_cast<unsigned>(reads[i][j] ^ reads[which[0]][j]);
    differ &= care[j];
    for (int bit = 0; differ != 0 && bit < 8; ++bit) {
      if (!(differ >> bit & 1))
        continue;
      s.positions.push_back(static_cast<std::int32_t>(8 * j + static_cast<std::size_t>(bit)));
      std::int64_t set = 0;
      for (int i : which)
        set += reads[i][j] >> bit & 1;
      least += std::min(set, p - set);
    }
  }
  const auto d = static_cast<std::int64_t>(s.positions.size());
  v.disagree = static_cast<int>(d);
  s.found.clear();
  s.found_distance.clear();
  if (f.erased_is_codeword) {
    std::fill(s.work.begin(), s.work.end(), std::uint8_t{0xFF});
    add_found(f, reads, which, s.work.data(), s);
  }
  // A codeword more than t bits off outside the disagreeing bits is at least this far.
  const std::int64_t off_box = p * (t + 1) + least;
  // No codeword is closer than `least`, and one found after sets of w bits is accepted only
  // below p (t + w + 1): when the deepest level the budget affords cannot reach that, the
  // search cannot decide, and is not started.
  std::int64_t affordable = 0;
  for (std::int64_t w = 1, spent = 0; w <= d; ++w) {
    spent += p * choose(d, w, budget + 1);
    if (spent > budget)
      break;
    affordable = w;
  }
  if (least >= p * (t + affordable + 1)) {
    v.budget_hit = true;
    return -1;
  }
  for (std::int64_t w = 1; w <= d; ++w) {
    const std::int64_t cost = p * choose(d, w, budget + 1);
    if (v.decodes + cost > budget) {
      v.budget_hit = true;
      return -1;
    }
    s.chosen.resize(static_cast<std::size_t>(w));
    for (std::int64_t i = 0; i < w; ++i)
      s.chosen[static_cast<std::size_t>(i)] = static_cast<int>(i);
    for (;;) {
      for (int center : which) {
        std::memcpy(s.work.data(), reads[center], bytes);
        for (int c : s.chosen) {
          const std::int32_t at = s.positions[static_cast<std::size_t>(c)];
          s.work[static_cast<std::size_t>(at / 8)] ^= static_cast<std::uint8_t>(1u << (at % 8));
        }
        ++v.decodes;
        const bch_status got = decode(f, s.work.data(), s.result);
        if (got == bch_status::clean || got == bch_status::corrected)
          add_found(f, reads, which, s.work.data(), s);
      }
      // The next combination in lexicographic order.
      std::int64_t i = w - 1;
      while (i >= 0 && s.chosen[static_cast<std::size_t>(i)] == d - w + i)
        --i;
      if (i < 0)
        break;
      ++s.chosen[static_cast<std::size_t>(i)];
      for (std::int64_t k = i + 1; k < w; ++k)
        s.chosen[static_cast<std::size_t>(k)] = s.chosen[static_cast<std::size_t>(k - 1)] + 1;
    }
    // Every codeword closer than `bound` to the reads together has been found by now.
    const std::int64_t bound = std::min(off_box, p * (t + w + 1));
    std::int64_t best = std::numeric_limits<std::int64_t>::max();
    int best_at = -1;
    bool tied = false;
    for (std::size_t k = 0; k < s.found.size(); ++k) {
      if (s.found_distance[k] < best) {
        best = s.found_distance[k];
        best_at = static_cast<int>(k);
        tied = false;
      } else if (s.found_distance[k] == best) {
        tied = true;
      }
    }
    if (best_at >= 0 && best < bound)
      return tied ? -1 : best_at;
    // Beyond this level the bound cannot rise: nothing found later could be accepted.
    if (bound == off_box)
      return -1;
  }
  return -1;
}

}  // namespace

void bitwise_majority(const std::uint8_t* const* strings, int count, std::size_t bytes,
                      std::uint8_t* out) {
  // Strings that agree throughout, as the reads of a good chip do, are copied; otherwise a
  // word at a time, where every string agrees, which is nearly everywhere, a copy too.
  int agree = 1;
  while (agree < count && std::memcmp(strings[agree], strings[0], bytes) == 0)
    ++agree;
  if (agree == count) {
    std::memcpy(out, strings[0], bytes);
    return;
  }
  std::uint64_t w[kMaxReads];
  std::size_t j = 0;
  for (; j < bytes; j += 8) {
    const std::size_t n = std::min<std::size_t>(8, bytes - j);
    bool same = true;
    for (int i = 0; i < count; ++i) {
      w[i] = 0;
      std::memcpy(&w[i], strings[i] + j, n);
      same = same && w[i] == w[0];
    }
    std::uint64_t m = w[0];
    if (!same && count == 3) {
      m = (w[0] & w[1]) | (w[0] & w[2]) | (w[1] & w[2]);
    } else if (!same) {
      m = 0;
      for (int bit = 0; bit < 64; ++bit) {
        int set = 0;
        for (int i = 0; i < count; ++i)
          set += static_cast<int>(w[i] >> bit & 1);
        const bool one = 2 * set > count || (2 * set == count && (w[0] >> bit & 1));
        m |= static_cast<std::uint64_t>(one) << bit;
      }
    }
    std::memcpy(out + j, &m, n);
  }
}

merge_frame make_merge_frame(const bch_code& code, const step_frame& frame, bool lsb_first) {
  merge_frame f;
  f.code = &code;
  f.frame = &frame;
  const std::size_t message = frame.message_bytes;
  f.bytes = message + static_cast<std::size_t>(code.ecc_bytes);
  f.care.assign(f.bytes, 0);
  std::fill(f.care.begin(), f.care.begin() + static_cast<std::ptrdiff_t>(message), 0xFF);
  // A bit step's lead bits are the buffer's first bits in the bit order.
  for (int b = 0; frame.bits && b < frame.lead_bits; ++b) {
    const int bit = lsb_first ? b : 7 - b;
    f.care[static_cast<std::size_t>(b / 8)] &= static_cast<std::uint8_t>(~(1u << bit));
  }
  for (int i = 0; i < code.parity_bits; ++i) {
    const bch_bit_fix at = bch_parity_bit(code, i);
    f.care[message + at.byte] |= static_cast<std::uint8_t>(1u << at.bit);
  }
  for (std::uint8_t c : f.care)
    f.care_bits += __builtin_popcount(c);
  // Under a mask that makes the erased step a codeword, the search must weigh it too.
  std::vector<std::uint8_t> ones_word(f.bytes, 0xFF);
  std::vector<std::uint8_t> ecc(static_cast<std::size_t>(code.ecc_bytes));
  bch_encode(code, ones_word.data(), message, ecc.data(), frame_offset(frame));
  f.erased_is_codeword = true;
  for (std::size_t j = 0; j < ecc.size(); ++j) {
    if ((ecc[j] ^ 0xFF) & f.care[message + j])
      f.erased_is_codeword = false;
  }
  return f;
}

merge_verdict merge_step(const merge_frame& f, const std::uint8_t* const* reads, int count,
                         std::int64_t budget, std::uint8_t* out, merge_scratch& s) {
  merge_verdict v;
  const std::size_t bytes = f.bytes;
  const std::uint8_t* care = f.care.data();
  const auto t = static_cast<std::int64_t>(f.code->t);
  s.work.resize(bytes);
  if (s.decoded.size() < static_cast<std::size_t>(count))
    s.decoded.resize(static_cast<std::size_t>(count));
  s.statuses.assign(static_cast<std::size_t>(count), bch_status::uncorrectable);

  // Reads that agree byte for byte are decoded once; when all agree, there is nothing to
  // choose between, and the step is what its one decoding says.
  int same = 1;
  while (same < count && std::memcmp(reads[same], reads[0], bytes) == 0)
    ++same;
  if (same == count) {
    const std::size_t message = f.frame->message_bytes;
    if (bch_is_clean(*f.code, reads[0], message, reads[0] + message, frame_offset(*f.frame))) {
      std::memcpy(out, reads[0], bytes);
      v.way = merge_way::read;
      v.read = 0;
      v.supporting = count;
      return v;
    }
    std::memcpy(out, reads[0], bytes);
    v.first = decode(f, out, s.result);
    v.first_bits = v.first == bch_status::uncorrectable ? 0 : s.result.bits;
    v.way = v.first == bch_status::uncorrectable ? merge_way::uncorrectable
            : v.first == bch_status::erased      ? merge_way::erased
                                                 : merge_way::read;
    if (v.way == merge_way::read) {
      v.read = 0;
      v.supporting = count;
    }
    return v;
  }
  for (int i = 0; i < count; ++i) {
    std::vector<std::uint8_t>& word = s.decoded[static_cast<std::size_t>(i)];
    if (i > 0 && i < same) {
      s.statuses[static_cast<std::size_t>(i)] = s.statuses[0];
      word = s.decoded[0];
      continue;
    }
    word.assign(reads[i], reads[i] + bytes);
    s.statuses[static_cast<std::size_t>(i)] = decode(f, word.data(), s.result);
    if (i == 0) {
      v.first = s.statuses[0];
      v.first_bits = v.first == bch_status::uncorrectable ? 0 : s.result.bits;
    }
  }

  // A read within 2t bits of all ones or all zeros holds no data: a failed read when another
  // read is programmed, for a programmed step lies far from both, an erased step with flips
  // to spare otherwise (erased steps of a worn chip gather zeros, beyond t in some reads).
  s.programmed.clear();
  int erased = 0, zeros = 0;
  std::uint32_t blank = 0;
  for (int i = 0; i < count; ++i) {
    const std::int64_t set = ones(reads[i], care, bytes);
    if (s.statuses[static_cast<std::size_t>(i)] == bch_status::erased) {
      ++erased;
    } else if (set <= t) {
      ++zeros;
    } else if (set > 2 * t && f.care_bits - set > 2 * t) {
      s.programmed.push_back(i);
      continue;
    }
    blank |= 1u << i;
  }
  if (s.programmed.empty()) {
    // No read holds data: erased where any read shows it so (zeros are then a failed read of
    // it); else the first read that decodes.
    v.conflict = erased > 0 && zeros > 0;
    for (const bool erased_only : {true, false}) {
      for (int i = 0; i < count; ++i) {
        const bch_status st = s.statuses[static_cast<std::size_t>(i)];
        if (st == bch_status::uncorrectable || (erased_only != (st == bch_status::erased)))
          continue;
        std::memcpy(out, s.decoded[static_cast<std::size_t>(i)].data(), bytes);
        v.way = st == bch_status::erased ? merge_way::erased : merge_way::read;
        v.read = st == bch_status::erased ? -1 : i;
        v.supporting = st == bch_status::erased ? 0 : 1;
        return v;
      }
    }
    std::memcpy(out, reads[0], bytes);
    return v;
  }
  v.failed_reads = blank;
  const std::vector<int>& which = s.programmed;
  const std::uint8_t* programmed[kMaxReads];
  for (std::size_t a = 0; a < which.size(); ++a)
    programmed[a] = reads[which[a]];

  // The codewords the programmed reads decode to, each with the reads that support it; the
  // one most support wins, then the one closest to all of them, then the first.
  int chosen = -1, support = 0, kinds = 0;
  std::int64_t chosen_distance = 0;
  for (std::size_t a = 0; a < which.size(); ++a) {
    const int i = which[a];
    if (s.statuses[static_cast<std::size_t>(i)] == bch_status::uncorrectable)
      continue;
    const std::uint8_t* word = s.decoded[static_cast<std::size_t>(i)].data();
    bool seen = false;
    int votes = 0;
    for (std::size_t b = 0; b < which.size(); ++b) {
      const int j = which[b];
      if (s.statuses[static_cast<std::size_t>(j)] == bch_status::uncorrectable)
        continue;
      const bool equal =
          std::memcmp(s.decoded[static_cast<std::size_t>(j)].data(), word, bytes) == 0;
      if (equal && b < a)
        seen = true;
      votes += equal;
    }
    if (seen)
      continue;
    ++kinds;
    std::int64_t sum = 0;
    for (int j : which)
      sum += distance(word, reads[j], care, bytes);
    if (chosen < 0 || votes > support || (votes == support && sum < chosen_distance)) {
      chosen = i;
      support = votes;
      chosen_distance = sum;
    }
  }
  if (chosen >= 0) {
    std::memcpy(out, s.decoded[static_cast<std::size_t>(chosen)].data(), bytes);
    v.way = merge_way::read;
    v.read = chosen;
    v.supporting = support;
    v.conflict = kinds > 1;
    return v;
  }

  // Three or more reads: their majority, decoded.
  if (which.size() >= 3) {
    bitwise_majority(programmed, static_cast<int>(which.size()), bytes, s.work.data());
    const bch_status got = decode(f, s.work.data(), s.result);
    if (got == bch_status::clean || got == bch_status::corrected) {
      std::memcpy(out, s.work.data(), bytes);
      v.way = merge_way::majority;
      return v;
    }
  }

  if (which.size() >= 2) {
    const int accepted = search(f, reads, budget, v, s);
    if (accepted >= 0) {
      std::memcpy(out, s.found[static_cast<std::size_t>(accepted)].data(), bytes);
      v.way = merge_way::search;
      return v;
    }
  }
  // No codeword: the best estimate of what the chip holds.
  if (which.size() >= 3) {
    bitwise_majority(programmed, static_cast<int>(which.size()), bytes, out);
  } else {
    std::memcpy(out, reads[which[0]], bytes);
  }
  return v;
}
