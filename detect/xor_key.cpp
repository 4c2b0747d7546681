// The key search. Pages are compared a word at a time, counting equal bytes with the usual
// zero-byte test; a period's score is the mean over pairs of pages that far apart, spread over
// the sample, and only a period whose score stands well above the median of all periods tried
// counts: unscrambled areas (a spare left as it is, 0xFF padding) agree at every period alike.
#include "detect/xor_key.h"

#include <algorithm>  // std::min, std::max, std::sort, std::nth_element
#include <cstring>    // std::memcpy
#include <string>     // std::to_string

namespace {

// Pairs of pages compared at most for one period.
constexpr std::int64_t kPairsPerPeriod = 384;
// A page whose bytes are nearly all 0xFF was never programmed, and says nothing of the key.
constexpr double kErasedShare = 0.99;
// How far above the median a period's agreement must stand, as a share of the page.
constexpr double kLeastExcess = 0.02;

// Equal bytes of a and b.
std::int64_t equal_bytes(const unsigned char* a, const unsigned char* b, std::int64_t bytes) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  std::int64_t equal = 0, i = 0;
  for (; i + 8 <= bytes; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    const std::uint64_t v = x ^ y;
    // The high bit of each byte of z is set exactly where that byte of v is zero.
    const std::uint64_t z = ~(((v & kLow7) + kLow7) | v | kLow7);
    equal += __builtin_popcountll(z);
  }
  for (; i < bytes; ++i)
    equal += a[i] == b[i];
  return equal;
}

bool reads_erased(const unsigned char* page, std::int64_t bytes) {
  std::int64_t ff = 0;
  for (std::int64_t i = 0; i < bytes; ++i)
    ff += page[i] == 0xFF;
  return static_cast<double>(ff) >= kErasedShare * static_cast<double>(bytes);
}

}  // namespace

status find_xor_key(const detect_reader& read, const key_search& q, key_finding& f) {
  f = key_finding{};
  if (q.page_bytes < 1 || q.page_bytes > 8 * std::int64_t{1024} * 1024)
    return status::error("the raw page must be 1 byte to 8 MiB");
  if (q.period < 0 || q.period > kMaxKeyPeriod)
    return status::error("--period takes 1 to " + std::to_string(kMaxKeyPeriod) + " pages");
  const std::int64_t page = q.page_bytes;
  const std::int64_t sampled = std::min(q.pages, std::max<std::int64_t>(3, q.sample_bytes / page));
  std::vector<unsigned char> pages(static_cast<std::size_t>(sampled * page));
  if (sampled > 0 && !read(0, pages.data(), pages.size()))
    return status::error("cannot read the dump's first " + std::to_string(sampled) + " pages");
  f.sampled = sampled;
  std::vector<char> programmed(static_cast<std::size_t>(sampled));
  for (std::int64_t i = 0; i < sampled; ++i) {
    programmed[static_cast<std::size_t>(i)] = !reads_erased(pages.data() + i * page, page);
    f.programmed += programmed[static_cast<std::size_t>(i)];
  }
  const auto at = [&](std::int64_t i) { return pages.data() + i * page; };

  // Every period: how alike are programmed pages that far apart.
  const std::int64_t first = q.period > 0 ? q.period : 1;
  const std::int64_t last = q.period > 0 ? q.period : std::min(kMaxKeyPeriod, sampled / 3);
  for (std::int64_t p = first; p <= last; ++p) {
    period_score s;
    s.period = p;
    const std::int64_t candidates = sampled - p;
    const std::int64_t step = std::max<std::int64_t>(1, candidates / kPairsPerPeriod);
    std::int64_t equal = 0;
    for (std::int64_t i = 0; i < candidates && s.pairs < kPairsPerPeriod; i += step) {
      if (!programmed[static_cast<std::size_t>(i)] || !programmed[static_cast<std::size_t>(i + p)])
        continue;
      equal += equal_bytes(at(i), at(i + p), page);
      ++s.pairs;
    }
    s.agreement =
        s.pairs > 0 ? static_cast<double>(equal) / static_cast<double>(s.pairs * page) : 0;
    f.scores.push_back(s);
  }
  if (f.scores.empty())
    return status::success();
  // The periods that are not multiples of the key's are nearly all: their low quantiles say
  // what chance and the unscrambled areas give, and how much that varies. (With one period
  // given, chance is 1/256 of the bytes and no spread is known.)
  std::vector<double> all;
  for (const period_score& s : f.scores)
    all.push_back(s.agreement);
  std::sort(all.begin(), all.end());
  const auto quantile = [&](double share) {
    return all[static_cast<std::size_t>(share * static_cast<double>(all.size() - 1))];
  };
  f.baseline = all.size() > 1 ? quantile(0.25) : 1.0 / 256;
  const double spread = all.size() > 1 ? 1.65 * (quantile(0.25) - quantile(0.10)) : 0;
  double best = 0;
  for (const period_score& s : f.scores)
    best = std::max(best, s.agreement - f.baseline);
  if (best >= std::max(kLeastExcess, 8 * spread)) {
    // Every multiple of the period scores as high as the period itself, and which of them
    // scores highest is chance. So the best period's divisors are weighed by the mean excess
    // of all their multiples: a true period keeps it, half a period halves it.
    std::int64_t top = 0;
    for (const period_score& s : f.scores) {
      if (s.agreement - f.baseline == best)
        top = s.period;
    }
    const auto mean_excess = [&](std::int64_t d) {
      double sum = 0;
      std::int64_t n = 0;
      for (const period_score& s : f.scores) {
        if (s.period % d == 0 && s.pairs >= 2) {
          sum += s.agreement - f.baseline;
          ++n;
        }
      }
      return n > 0 ? sum / static_cast<double>(n) : 0;
    };
    // What the multiples give, the median of the periods near the best: the best alone is
    // the highest by chance.
    std::vector<double> high;
    for (const period_score& s : f.scores) {
      if (s.agreement - f.baseline >= 0.5 * best)
        high.push_back(s.agreement - f.baseline);
    }
    std::nth_element(high.begin(), high.begin() + static_cast<std::ptrdiff_t>(high.size() / 2),
                     high.end());
    const double level = high[high.size() / 2];
    for (std::int64_t d = 1; d <= top; ++d) {
      if (top % d == 0 && mean_excess(d) >= 0.7 * level) {
        f.period = d;
        break;
      }
    }
  } else if (q.period == 0) {
    // No period stands out: either no scrambler, or one key for every page, under which pages
    // agree at every distance alike. Free space then holds the key, not zeros.
    f.period = 1;
  }
  if (f.period == 0)
    return status::success();

  // Each key page, byte by byte: the value its programmed pages agree on most.
  f.found = true;
  f.key.assign(static_cast<std::size_t>(f.period * page), 0);
  f.pages_per_slot.assign(static_cast<std::size_t>(f.period), 0);
  std::vector<std::int32_t> counts(static_cast<std::size_t>(page * 256));
  std::int64_t supported = 0;
  for (std::int64_t slot = 0; slot < f.period; ++slot) {
    std::fill(counts.begin(), counts.end(), 0);
    std::int32_t n = 0;
    for (std::int64_t i = slot; i < sampled; i += f.period) {
      if (!programmed[static_cast<std::size_t>(i)])
        continue;
      ++n;
      const unsigned char* bytes = at(i);
      for (std::int64_t j = 0; j < page; ++j)
        ++counts[static_cast<std::size_t>(j * 256 + bytes[j])];
    }
    f.pages_per_slot[static_cast<std::size_t>(slot)] = n;
    for (std::int64_t j = 0; n > 0 && j < page; ++j) {
      const std::int32_t* c = counts.data() + j * 256;
      int top = 0, second = -1;
      for (int v = 1; v < 256; ++v) {
        if (c[v] > c[top]) {
          second = top;
          top = v;
        } else if (second < 0 || c[v] > c[second]) {
          second = v;
        }
      }
      f.key[static_cast<std::size_t>(slot * page + j)] = static_cast<std::uint8_t>(top);
      // A value the pages agree on beyond chance: twice, by a tenth of them at least, and by
      // more than twice as many as on any other.
      supported += c[top] >= 2 && 10 * c[top] >= n && c[top] > 2 * c[second];
    }
  }
  f.supported = static_cast<double>(supported) / static_cast<double>(f.period * page);
  // A byte that holds one value in every key page is one the scrambler left alone (a
  // bad-block marker, a constant tag); a key byte repeats so by chance once in 256^(P-1).
  // Its key is 0, so that what it holds reads as stored.
  for (std::int64_t j = 0; f.period >= 3 && j < page; ++j) {
    bool same = true;
    for (std::int64_t slot = 1; same && slot < f.period; ++slot)
      same = f.key[static_cast<std::size_t>(slot * page + j)] == f.key[static_cast<std::size_t>(j)];
    for (std::int64_t slot = 0; same && slot < f.period; ++slot)
      f.key[static_cast<std::size_t>(slot * page + j)] = 0;
  }
  if (f.period == 1 && f.scores.size() > 1) {
    // One key for every page only when what the pages agree on is not the zeros or ones of
    // plain free space, nor erased bytes, but mostly other values, on most of the page.
    // And it must look like a key: pseudo-random bytes, not the text or tables that many
    // pages of a plain dump may share (no value but 0x00, which an unscrambled spare gives,
    // above 3 % of the page; most values present).
    std::int64_t keyed = 0;
    std::int64_t histogram[256] = {};
    for (std::uint8_t b : f.key) {
      keyed += b != 0x00 && b != 0xFF;
      ++histogram[b];
    }
    std::int64_t commonest = 0, values = 0;
    for (int v = 0; v < 256; ++v) {
      commonest = std::max(commonest, v == 0 ? 0 : histogram[v]);
      values += histogram[v] > 0;
    }
    const auto size = static_cast<std::int64_t>(f.key.size());
    const bool random_looking =
        100 * commonest <= 3 * size && values >= std::min<std::int64_t>(200, size / 4);
    if (f.supported < 0.5 || 2 * keyed < size || !random_looking) {
      f.found = false;
      f.period = 0;
      f.key.clear();
      f.pages_per_slot.clear();
    }
  }
  return status::success();
}

detect_reader descrambled_reader(const detect_reader& read, const std::vector<std::uint8_t>& key,
                                 std::int64_t unit) {
  return [&read, &key, unit](std::int64_t offset, unsigned char* out, std::size_t bytes) {
    if (!read(offset, out, bytes))
      return false;
    const auto length = static_cast<std::int64_t>(key.size());
    const std::int64_t end = offset + static_cast<std::int64_t>(bytes);
    std::vector<unsigned char> whole;
    for (std::int64_t at = offset - offset % unit; at < end; at += unit) {
      const std::int64_t from = std::max(at, offset), to = std::min(at + unit, end);
      // The erased test needs the whole unit; a request that cuts one reads it again.
      const unsigned char* unit_bytes = out + (from - offset);
      std::int64_t unit_length = to - from;
      if (from != at || to != at + unit) {
        whole.resize(static_cast<std::size_t>(unit));
        if (read(at, whole.data(), whole.size())) {
          unit_bytes = whole.data();
          unit_length = unit;
        }
      }
      std::int64_t zeros = 0;
      for (std::int64_t i = 0; i < unit_length; ++i)
        zeros += 8 - __builtin_popcount(unit_bytes[i]);
      if (100 * zeros <= 8 * unit_length)
        continue;
      for (std::int64_t o = from; o < to; ++o)
        out[o - offset] ^= key[static_cast<std::size_t>(o % length)];
    }
    return true;
  };
}
