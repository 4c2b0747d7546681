// Syndromes of candidate words under candidate fields, from prefix sums over the sampled pages
// so that a shape costs a few lookups per syndrome whatever its length, and Berlekamp-Massey
// over them: the test behind the search for codes on worn chips.
#include "detect/syndrome_scan.h"

#include <algorithm>  // std::min, std::max, std::sort
#include <thread>     // std::thread

#include "detect/gf2_poly.h"  // poly_is_primitive

namespace {

// Pages whose words are weighed: enough for 8 single words and 8 pairs.
constexpr std::size_t kPages = 16;
constexpr std::size_t kSingles = 8;
constexpr std::size_t kPairs = 8;
// The most syndrome pairs a hit is examined to.
constexpr int kMostT = 160;
// Prefix chains computed side by side.
constexpr std::size_t kLanes = 4;

std::uint8_t reversed(std::uint8_t b) {
  b = static_cast<std::uint8_t>(((b & 0xF0) >> 4) | ((b & 0x0F) << 4));
  b = static_cast<std::uint8_t>(((b & 0xCC) >> 2) | ((b & 0x33) << 2));
  return static_cast<std::uint8_t>(((b & 0xAA) >> 1) | ((b & 0x55) << 1));
}

// GF(2^m) by logarithms.
struct field_tables {
  int m = 0;
  int n = 0;                       // 2^m - 1
  std::vector<std::uint16_t> exp;  // alpha^i for i < 3n: a sum of three logarithms needs no mod
  std::vector<std::int32_t> log;   // log[0] unused
};

field_tables make_field(const scan_field& f) {
  field_tables g;
  g.m = f.m;
  g.n = (1 << f.m) - 1;
  g.exp.resize(3 * static_cast<std::size_t>(g.n));
  g.log.assign(static_cast<std::size_t>(g.n) + 1, 0);
  std::uint32_t x = 1;
  for (int i = 0; i < g.n; ++i) {
    for (int k = 0; k < 3; ++k)
      g.exp[static_cast<std::size_t>(i + k * g.n)] = static_cast<std::uint16_t>(x);
    g.log[x] = i;
    x <<= 1;
    if (x & (1u << f.m))
      x ^= f.p;
  }
  return g;
}

// a * alpha^e, 0 <= e < n.
inline std::uint16_t times_power(const field_tables& g, std::uint16_t a, int e) {
  return a == 0 ? 0 : g.exp[static_cast<std::size_t>(g.log[a] + e)];
}

inline std::uint16_t mul(const field_tables& g, std::uint16_t a, std::uint16_t b) {
  return a == 0 || b == 0 ? 0 : g.exp[static_cast<std::size_t>(g.log[a] + g.log[b])];
}

// Byte values as sums of powers of alpha^j: bit k of the byte (in the word's bit order) stands
// for x^k within its byte.
std::vector<std::uint16_t> byte_values(const field_tables& g, int j, bool lsb_first) {
  std::vector<std::uint16_t> out(256, 0);
  for (int v = 0; v < 256; ++v) {
    const int bits = lsb_first ? reversed(static_cast<std::uint8_t>(v)) : v;
    std::uint16_t sum = 0;
    for (int k = 0; k < 8; ++k) {
      if ((bits >> k) & 1)
        sum ^= g.exp[static_cast<std::size_t>(static_cast<std::int64_t>(j) * k % g.n)];
    }
    out[static_cast<std::size_t>(v)] = sum;
  }
  return out;
}

// A run of word bytes [a, b) of the page with its first byte's top `cut` bits dropped.
struct segment {
  std::int64_t a = 0, b = 0;
  int cut = 0;
};

std::vector<segment> segments_of(const word_shape& shape) {
  std::vector<segment> out;
  std::int64_t word_at = 0;
  for (const layout_span& span : shape.spans) {
    const std::int64_t from = span.offset, to = span.offset + span.length;
    if (shape.cut_bits > 0 && shape.cut_at >= word_at && shape.cut_at < word_at + span.length) {
      const std::int64_t split = from + (shape.cut_at - word_at);
      if (split > from)
        out.push_back({from, split, 0});
      out.push_back({split, to, shape.cut_bits});
    } else {
      out.push_back({from, to, 0});
    }
    word_at += span.length;
  }
  return out;
}

// The top `cut` bits of a byte in the word's bit order.
std::uint8_t top_bits(int cut, bool lsb_first) {
  if (cut <= 0)
    return 0;
  return lsb_first ? static_cast<std::uint8_t>((1u << cut) - 1)
                   : static_cast<std::uint8_t>(0xFFu << (8 - cut));
}

// The columns the shapes use, packed: runs of page columns laid end to end, so that prefix sums
// over them cost what the spans cover, not the distance between them (a spare of megabytes).
struct packed_columns {
  std::vector<std::int64_t> from, base;  // per run: first column, its packed index
  std::vector<std::int64_t> column;      // per packed index: the page column
  // Packed index of column `c`, which lies in a run or at its end.
  std::int64_t at(std::int64_t c) const {
    const auto k =
        static_cast<std::size_t>(std::upper_bound(from.begin(), from.end(), c) - from.begin() - 1);
    return base[k] + (c - from[k]);
  }
};

packed_columns pack(const std::vector<word_shape>& shapes, bool lsb) {
  std::vector<std::pair<std::int64_t, std::int64_t>> runs;
  for (const word_shape& shape : shapes) {
    if (shape.lsb_first != lsb)
      continue;
    for (const layout_span& span : shape.spans)
      runs.emplace_back(span.offset, span.offset + span.length);
  }
  std::sort(runs.begin(), runs.end());
  packed_columns out;
  std::int64_t end = -1;
  for (const auto& [a, b] : runs) {
    if (end >= 0 && a <= end) {
      for (std::int64_t c = end; c < b; ++c)
        out.column.push_back(c);
      end = std::max(end, b);
      continue;
    }
    out.from.push_back(a);
    out.base.push_back(static_cast<std::int64_t>(out.column.size()));
    for (std::int64_t c = a; c < b; ++c)
      out.column.push_back(c);
    end = b;
  }
  return out;
}

// Ones in the segments' bytes, from a prefix count over the packed columns.
std::int64_t ones_in(const std::vector<std::int32_t>& prefix, const std::vector<segment>& segs,
                     const packed_columns& cols) {
  std::int64_t ones = 0;
  for (const segment& s : segs)
    ones += prefix[static_cast<std::size_t>(cols.at(s.b))] -
            prefix[static_cast<std::size_t>(cols.at(s.a))];
  return ones;
}

// Berlekamp-Massey over s[0 .. 2 * most_t), marking in `fit` (index t) the t at which the LFSR
// of the first 2t - 2 syndromes also generates the next two, and is shorter than t.
void fits_of(const field_tables& g, const std::vector<std::uint16_t>& s, int most_t,
             std::vector<int>& fit_count) {
  const int total = 2 * most_t;
  // x^shift B(x) never has degree above k + 1 <= 2 kMostT (the LFSR's length bounds both).
  std::uint16_t c[2 * kMostT + 2] = {1}, b[2 * kMostT + 2] = {1}, t_copy[2 * kMostT + 2];
  int length = 0, shift = 1, c_len = 1, b_len = 1;
  std::uint16_t last = 1;
  bool zero_odd = false;
  // Logarithms of the syndromes (-1 for zero), and an offset that keeps a sum of two logs and a
  // zero's stand-in out of the table: the discrepancy costs a lookup less a term.
  std::int32_t log_s[2 * kMostT];
  for (int k = 0; k < total; ++k) {
    const std::uint16_t v = s[static_cast<std::size_t>(k)];
    log_s[k] = v == 0 ? -1 : g.log[v];
  }
  for (int k = 0; k < total; ++k) {
    if (k % 2 == 1) {
      // With S_2i = S_i^2 (a binary word) every second discrepancy is zero.
      ++shift;
      const int t = (k + 1) / 2;
      if (t >= 2 && zero_odd && length < t)
        ++fit_count[static_cast<std::size_t>(t)];
      continue;
    }
    std::uint16_t d = s[static_cast<std::size_t>(k)];
    for (int i = 1; i <= length; ++i) {
      if (c[i] != 0 && log_s[k - i] >= 0)
        d ^= g.exp[static_cast<std::size_t>(g.log[c[i]] + log_s[k - i])];
    }
    if (d == 0) {
      ++shift;
    } else {
      const int coef = g.log[d] - g.log[last] + g.n;
      const bool grow = 2 * length <= k;
      if (grow)
        std::copy(c, c + c_len, t_copy);
      const int t_len = c_len;
      for (int i = 0; i < b_len; ++i) {
        if (b[i] != 0)
          c[i + shift] ^= g.exp[static_cast<std::size_t>(g.log[b[i]] + coef)];
      }
      c_len = std::max(c_len, b_len + shift);
      while (c_len > 1 && c[c_len - 1] == 0)
        --c_len;
      if (grow) {
        length = k + 1 - length;
        std::copy(t_copy, t_copy + t_len, b);
        if (b_len > t_len)
          std::fill(b + t_len, b + b_len, 0);
        b_len = t_len;
        last = d;
        shift = 1;
      } else {
        ++shift;
      }
    }
    zero_odd = d == 0;
  }
}

// The words weighed for one shape: which pages alone, inverted, and in pairs.
struct combos {
  std::vector<std::size_t> singles, inverted;
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  std::size_t count() const { return singles.size() + inverted.size() + pairs.size(); }
};

// ones[i]: prefix counts of ones of page i; pair_ones[k]: of pages 2k and 2k + 1 XORed.
combos choose_words(const std::vector<std::vector<std::int32_t>>& ones,
                    const std::vector<std::vector<std::int32_t>>& pair_ones,
                    const std::vector<segment>& segs, const packed_columns& cols, std::int64_t bits,
                    int most_t) {
  combos out;
  // Words of few ones (or few zeros) have short LFSRs under every field.
  const std::int64_t least = 2 * most_t + 8;
  std::vector<char> usable(ones.size(), 0);
  for (std::size_t i = 0; i < ones.size(); ++i) {
    const std::int64_t n = ones_in(ones[i], segs, cols);
    usable[i] = n >= least && bits - n >= least;
    if (usable[i] && out.singles.size() < kSingles) {
      out.singles.push_back(i);
      out.inverted.push_back(i);
    }
  }
  for (std::size_t k = 0; k < pair_ones.size() && out.pairs.size() < kPairs; ++k) {
    if (!usable[2 * k] || !usable[2 * k + 1])
      continue;
    const std::int64_t n = ones_in(pair_ones[k], segs, cols);
    if (n >= least && bits - n >= least)
      out.pairs.emplace_back(2 * k, 2 * k + 1);
  }
  return out;
}

// Syndromes S_1 ... S_(2 most_t) of the combos' words given each page's odd syndromes
// (odd[page][i] = S_(2i+1)) and those of the all-ones word; counts fits per t.
void weigh(const field_tables& g, const combos& c,
           const std::vector<std::vector<std::uint16_t>>& odd,
           const std::vector<std::uint16_t>& ones, int most_t, std::vector<int>& fit_count) {
  std::vector<std::uint16_t> s(2 * static_cast<std::size_t>(most_t));
  const auto run = [&](const auto& odd_at) {
    for (int i = 1; i <= 2 * most_t; ++i) {
      s[static_cast<std::size_t>(i - 1)] = i % 2 == 1
                                               ? odd_at(i / 2)
                                               : mul(g, s[static_cast<std::size_t>(i / 2 - 1)],
                                                     s[static_cast<std::size_t>(i / 2 - 1)]);
    }
    fits_of(g, s, most_t, fit_count);
  };
  for (std::size_t p : c.singles)
    run([&](int i) { return odd[p][static_cast<std::size_t>(i)]; });
  for (std::size_t p : c.inverted)
    run([&](int i) {
      return static_cast<std::uint16_t>(odd[p][static_cast<std::size_t>(i)] ^
                                        ones[static_cast<std::size_t>(i)]);
    });
  for (const auto& [a, b] : c.pairs)
    run([&](int i) {
      return static_cast<std::uint16_t>(odd[a][static_cast<std::size_t>(i)] ^
                                        odd[b][static_cast<std::size_t>(i)]);
    });
}

// The largest t at which enough combos fit; 0 when none.
int best_t(const std::vector<int>& fit_count, std::size_t words, int& fits) {
  const int need = words >= 6 ? 3 : 2;
  for (int t = static_cast<int>(fit_count.size()) - 1; t >= 2; --t) {
    if (fit_count[static_cast<std::size_t>(t)] >= need) {
      fits = fit_count[static_cast<std::size_t>(t)];
      return t;
    }
  }
  return 0;
}

// Odd syndromes S_1, S_3, ... S_(2 most_t - 1) of one page's word, straight from its bytes.
std::vector<std::uint16_t> direct_syndromes(const field_tables& g,
                                            const std::vector<std::uint8_t>& page,
                                            const std::vector<segment>& segs, bool lsb_first,
                                            int most_t) {
  std::vector<std::uint16_t> out(static_cast<std::size_t>(most_t), 0);
  for (int i = 0; i < most_t; ++i) {
    const int j = 2 * i + 1;
    const std::vector<std::uint16_t> values = byte_values(g, j, lsb_first);
    const int step = static_cast<int>(static_cast<std::int64_t>(8) * j % g.n);
    std::uint16_t s = 0;
    for (const segment& seg : segs) {
      for (std::int64_t k = seg.a; k < seg.b; ++k) {
        std::uint8_t v = page[static_cast<std::size_t>(k)];
        int e = step;
        if (k == seg.a && seg.cut > 0) {
          v = static_cast<std::uint8_t>(v & ~top_bits(seg.cut, lsb_first));
          e = static_cast<int>(static_cast<std::int64_t>(8 - seg.cut) * j % g.n);
        }
        s = static_cast<std::uint16_t>(times_power(g, s, e) ^ values[v]);
      }
    }
    out[static_cast<std::size_t>(i)] = s;
  }
  return out;
}

// One field over every shape.
void scan_field_shapes(const std::vector<std::vector<std::uint8_t>>& pages,
                       const std::vector<word_shape>& shapes, const scan_field& field,
                       const scan_limits& limits, std::vector<scan_hit>& hits) {
  const field_tables g = make_field(field);
  const int most_t = std::clamp(limits.most_t, 2, kMostT);
  const std::vector<std::uint8_t> all_ones(pages.empty() ? 0 : pages[0].size(), 0xFF);
  // Prefix syndromes per bit order, over the columns the shapes use: h[page][i][k] is the
  // odd syndrome S_(2i+1) of the first k packed columns of the page (page chosen.size() is all
  // ones).
  for (bool lsb : {false, true}) {
    const packed_columns cols = pack(shapes, lsb);
    if (cols.column.empty())
      continue;
    const std::size_t width = cols.column.size() + 1;
    // Pages whose columns here are mostly zeros or mostly ones (free space, an unwritten last
    // step) give words that fit nothing and pairs that are left out: the others first.
    const std::size_t most = std::clamp<std::size_t>(limits.pages, 2, kPages);
    std::vector<const std::vector<std::uint8_t>*> chosen, rest;
    for (std::size_t i = 0; i < pages.size() && chosen.size() < most; ++i) {
      std::size_t ones = 0;
      for (const std::int64_t c : cols.column)
        ones += static_cast<std::size_t>(__builtin_popcount(pages[i][static_cast<std::size_t>(c)]));
      const std::size_t bits = 8 * cols.column.size();
      (ones * 20 >= bits * 3 && ones * 20 <= bits * 17 ? chosen : rest).push_back(&pages[i]);
    }
    for (std::size_t i = 0; i < rest.size() && chosen.size() < most; ++i)
      chosen.push_back(rest[i]);
    const std::size_t rows = chosen.size() + 1;
    std::vector<std::uint16_t> prefix(rows * static_cast<std::size_t>(most_t) * width);
    std::vector<std::vector<std::uint16_t>> values(static_cast<std::size_t>(most_t));
    for (int i = 0; i < most_t; ++i) {
      const int j = 2 * i + 1;
      values[static_cast<std::size_t>(i)] = byte_values(g, j, lsb);
      const int step = static_cast<int>(static_cast<std::int64_t>(8) * j % g.n);
      // Each prefix is one long chain of dependent lookups: four rows side by side keep the
      // processor busy while each waits.
      const std::uint16_t* value = values[static_cast<std::size_t>(i)].data();
      for (std::size_t r0 = 0; r0 < rows; r0 += kLanes) {
        const std::size_t lanes = std::min(kLanes, rows - r0);
        const std::uint8_t* page[kLanes];
        std::uint16_t* h[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) {
          const std::size_t r = r0 + std::min(l, lanes - 1);
          page[l] = (r < chosen.size() ? *chosen[r] : all_ones).data();
          h[l] = prefix.data() + (r * static_cast<std::size_t>(most_t) + i) * width;
          h[l][0] = 0;
        }
        for (std::size_t k = 0; k + 1 < width; ++k) {
          const auto c = static_cast<std::size_t>(cols.column[k]);
          for (std::size_t l = 0; l < kLanes; ++l)
            h[l][k + 1] =
                static_cast<std::uint16_t>(times_power(g, h[l][k], step) ^ value[page[l][c]]);
        }
      }
    }
    std::vector<std::vector<std::int32_t>> ones_prefix(chosen.size()), pair_prefix;
    for (std::size_t r = 0; r < chosen.size(); ++r) {
      std::vector<std::int32_t>& c = ones_prefix[r];
      c.assign(width, 0);
      for (std::size_t k = 0; k + 1 < width; ++k)
        c[k + 1] =
            c[k] + __builtin_popcount((*chosen[r])[static_cast<std::size_t>(cols.column[k])]);
    }
    for (std::size_t r = 0; r + 1 < chosen.size(); r += 2) {
      std::vector<std::int32_t> c(width, 0);
      for (std::size_t k = 0; k + 1 < width; ++k)
        c[k + 1] =
            c[k] + __builtin_popcount((*chosen[r])[static_cast<std::size_t>(cols.column[k])] ^
                                      (*chosen[r + 1])[static_cast<std::size_t>(cols.column[k])]);
      pair_prefix.push_back(std::move(c));
    }
    std::vector<std::vector<std::uint16_t>> odd(chosen.size(), std::vector<std::uint16_t>(most_t));
    std::vector<std::uint16_t> ones(static_cast<std::size_t>(most_t));
    std::vector<int> fit_count;
    std::vector<std::size_t> seg_at;
    std::vector<int> powers;
    for (std::size_t index = 0; index < shapes.size(); ++index) {
      const word_shape& shape = shapes[index];
      if (shape.lsb_first != lsb)
        continue;
      const std::vector<segment> segs = segments_of(shape);
      const std::int64_t bits = 8 * static_cast<std::int64_t>(word_bytes(shape)) - shape.cut_bits;
      if (bits > g.n)
        continue;
      const std::int64_t room = (bits - 8 * limits.data_bytes) / field.m;
      const int t_here = static_cast<int>(std::min<std::int64_t>(most_t, room));
      if (t_here < 2)
        continue;
      const combos c = choose_words(ones_prefix, pair_prefix, segs, cols, bits, t_here);
      if (c.count() < 2)
        continue;
      // What every row shares: each segment's packed ends and, per syndrome, the powers of
      // alpha that move a prefix past the segment, drop its cut bits, and append it.
      const std::size_t n_segs = segs.size();
      seg_at.resize(2 * n_segs);
      powers.resize(3 * n_segs * static_cast<std::size_t>(t_here));
      for (std::size_t q = 0; q < n_segs; ++q) {
        const segment& seg = segs[q];
        const std::int64_t length = seg.b - seg.a;
        seg_at[2 * q] = static_cast<std::size_t>(cols.at(seg.a));
        seg_at[2 * q + 1] = static_cast<std::size_t>(cols.at(seg.b));
        for (int i = 0; i < t_here; ++i) {
          const std::int64_t j = 2 * i + 1;
          int* e =
              &powers[3 * (q * static_cast<std::size_t>(t_here) + static_cast<std::size_t>(i))];
          e[0] = static_cast<int>(8 * length * j % g.n);
          e[1] = static_cast<int>(8 * (length - 1) * j % g.n);
          e[2] = static_cast<int>((8 * length - seg.cut) * j % g.n);
        }
      }
      for (std::size_t r = 0; r < rows; ++r) {
        const std::vector<std::uint8_t>& page = r < chosen.size() ? *chosen[r] : all_ones;
        for (int i = 0; i < t_here; ++i) {
          const std::uint16_t* h =
              prefix.data() + (r * static_cast<std::size_t>(most_t) + i) * width;
          std::uint16_t s = 0;
          for (std::size_t q = 0; q < n_segs; ++q) {
            const segment& seg = segs[q];
            const int* e =
                &powers[3 * (q * static_cast<std::size_t>(t_here) + static_cast<std::size_t>(i))];
            std::uint16_t part = static_cast<std::uint16_t>(h[seg_at[2 * q + 1]] ^
                                                            times_power(g, h[seg_at[2 * q]], e[0]));
            if (seg.cut > 0) {
              const std::uint8_t top = static_cast<std::uint8_t>(
                  page[static_cast<std::size_t>(seg.a)] & top_bits(seg.cut, lsb));
              part ^= times_power(g, values[static_cast<std::size_t>(i)][top], e[1]);
            }
            s = static_cast<std::uint16_t>(times_power(g, s, e[2]) ^ part);
          }
          (r < chosen.size() ? odd[r][static_cast<std::size_t>(i)]
                             : ones[static_cast<std::size_t>(i)]) = s;
        }
      }
      // A few words first: under a wrong field or span one fits by chance once in some
      // thousands, under the right one most do; the rest are weighed only after a fit.
      combos few;
      few.singles.assign(c.singles.begin(),
                         c.singles.begin() + std::min<std::ptrdiff_t>(2, c.singles.size()));
      few.inverted.assign(c.inverted.begin(),
                          c.inverted.begin() + std::min<std::ptrdiff_t>(2, c.inverted.size()));
      few.pairs.assign(c.pairs.begin(),
                       c.pairs.begin() + std::min<std::ptrdiff_t>(3, c.pairs.size()));
      fit_count.assign(static_cast<std::size_t>(t_here) + 1, 0);
      weigh(g, few, odd, ones, t_here, fit_count);
      if (std::all_of(fit_count.begin(), fit_count.end(), [](int n) { return n == 0; }))
        continue;
      fit_count.assign(static_cast<std::size_t>(t_here) + 1, 0);
      weigh(g, c, odd, ones, t_here, fit_count);
      int fits = 0;
      int t = best_t(fit_count, c.count(), fits);
      if (t == 0)
        continue;
      // The code may correct more than the scan looked at: examine the hit to its room.
      const int full = static_cast<int>(std::min<std::int64_t>(kMostT, room));
      if (t == t_here && full > t_here) {
        const combos wide = choose_words(ones_prefix, pair_prefix, segs, cols, bits, full);
        std::vector<std::vector<std::uint16_t>> wide_odd(chosen.size());
        for (std::size_t r = 0; r < chosen.size(); ++r)
          wide_odd[r] = direct_syndromes(g, *chosen[r], segs, lsb, full);
        const std::vector<std::uint16_t> wide_ones = direct_syndromes(g, all_ones, segs, lsb, full);
        fit_count.assign(static_cast<std::size_t>(full) + 1, 0);
        weigh(g, wide, wide_odd, wide_ones, full, fit_count);
        int wide_fits = 0;
        const int wide_t = best_t(fit_count, wide.count(), wide_fits);
        if (wide_t >= t) {
          t = wide_t;
          fits = wide_fits;
        }
      }
      hits.push_back({index, field, t, fits});
    }
  }
}

}  // namespace

std::size_t word_bytes(const word_shape& shape) {
  std::size_t n = 0;
  for (const layout_span& span : shape.spans)
    n += static_cast<std::size_t>(span.length);
  return n;
}

std::vector<std::uint32_t> primitive_polynomials(int m, std::size_t most) {
  std::vector<std::uint32_t> out;
  if (m < 2 || m > 20)
    return out;
  for (std::uint32_t p = (1u << m) | 1u; p < (2u << m) && out.size() < most; p += 2) {
    if (poly_is_primitive(p, m))
      out.push_back(p);
  }
  return out;
}

std::vector<scan_field> related_fields(const scan_field& field, int most_j) {
  std::vector<scan_field> out;
  if (field.m < 2 || field.m > 16)
    return out;
  const field_tables g = make_field(field);
  for (int j = 3; j <= most_j; j += 2) {
    int a = j, b = g.n;
    while (b != 0) {
      const int r = a % b;
      a = b;
      b = r;
    }
    if (a != 1)
      continue;
    int inverse = 1;
    while (static_cast<std::int64_t>(inverse) * j % g.n != 1)
      ++inverse;
    // The minimal polynomial of alpha^inverse: the product of x + its m conjugates, whose
    // coefficients lie in GF(2).
    std::vector<std::uint16_t> poly = {1};
    std::int64_t e = inverse;
    for (int k = 0; k < g.m; ++k) {
      const std::uint16_t root = g.exp[static_cast<std::size_t>(e)];
      std::vector<std::uint16_t> next(poly.size() + 1, 0);
      for (std::size_t i = 0; i < poly.size(); ++i) {
        next[i + 1] ^= poly[i];
        next[i] ^= mul(g, poly[i], root);
      }
      poly = std::move(next);
      e = 2 * e % g.n;
    }
    std::uint32_t p = 0;
    for (std::size_t i = 0; i < poly.size(); ++i)
      p |= static_cast<std::uint32_t>(poly[i] & 1) << i;
    bool seen = p == field.p;
    for (const scan_field& f : out)
      seen = seen || f.p == p;
    if (!seen)
      out.push_back({field.m, p});
  }
  return out;
}

std::vector<scan_hit> syndrome_scan(const std::vector<std::vector<std::uint8_t>>& pages,
                                    const std::vector<word_shape>& shapes,
                                    const std::vector<scan_field>& fields,
                                    const scan_limits& limits) {
  std::vector<std::vector<scan_hit>> per_field(fields.size());
  const unsigned threads = std::clamp(limits.threads, 1u, 64u);
  const auto work = [&](std::size_t first) {
    for (std::size_t f = first; f < fields.size(); f += threads)
      scan_field_shapes(pages, shapes, fields[f], limits, per_field[f]);
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < threads; ++t)
    helpers.emplace_back(work, t);
  work(0);
  for (std::thread& helper : helpers)
    helper.join();
  std::vector<scan_hit> out;
  std::vector<std::size_t> order;
  for (std::size_t f = 0; f < fields.size(); ++f) {
    for (const scan_hit& hit : per_field[f]) {
      out.push_back(hit);
      order.push_back(f);
    }
  }
  std::vector<std::size_t> index(out.size());
  for (std::size_t i = 0; i < index.size(); ++i)
    index[i] = i;
  std::sort(index.begin(), index.end(), [&](std::size_t a, std::size_t b) {
    return out[a].shape != out[b].shape ? out[a].shape < out[b].shape : order[a] < order[b];
  });
  std::vector<scan_hit> sorted;
  sorted.reserve(out.size());
  for (std::size_t i : index)
    sorted.push_back(out[i]);
  return sorted;
}
