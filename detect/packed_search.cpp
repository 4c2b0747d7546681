// Packed layouts, tried code by code: the first chunk of a page is a codeword from bit 0 on,
// so every candidate code and metadata length is one decode of it away from being ruled out,
// and only those that decode the first chunk of most pages are laid out over the whole page.
#include "detect/packed_search.h"

#include <algorithm>  // std::find, std::min, std::max
#include <cmath>      // std::log10
#include <utility>    // std::pair

#include "bch/bch.h"               // bch_primitive_polynomial
#include "codec/layout_code.h"     // build_code, build_layout_code
#include "codec/step_frame.h"      // step_frame, frame_step
#include "detect/evidence.h"       // chance_of_decoding, log10_chance_of_at_least, kEvidenceBar
#include "detect/gf2_poly.h"       // bch_generator, poly_degree
#include "detect/syndrome_scan.h"  // primitive_polynomials
#include "layout/bit_spans.h"      // get_bit

namespace {

constexpr std::int64_t kMaxMeta = 16;     // metadata bytes the first codeword may hold
constexpr std::size_t kScreenPages = 3;   // first chunks decoded before a candidate is laid out
constexpr std::size_t kLayoutPages = 64;  // pages whose every step weighs a laid-out candidate
// Largest t tried: controllers' packed codes stay far below it, and building every code of a
// spare of megabytes would take minutes.
constexpr int kMaxT = 72;

// The fields tried for chunks of `data` bytes: degrees whose code holds a chunk with room for
// its parity, the tabled polynomial, others seen in controllers, and the sparsest two.
std::vector<std::pair<int, std::uint32_t>> fields_for(std::int64_t data) {
  static const std::uint32_t kSeen[] = {0x201B, 0x402B, 0x4443};
  std::vector<std::pair<int, std::uint32_t>> out;
  for (int m = 13; m <= 14; ++m) {
    if (8 * data + 2 * m > (std::int64_t{1} << m) - 1)
      continue;
    std::vector<std::uint32_t> polys = {static_cast<std::uint32_t>(bch_primitive_polynomial(m))};
    for (std::uint32_t seen : kSeen) {
      if ((seen >> m) == 1 && std::find(polys.begin(), polys.end(), seen) == polys.end())
        polys.push_back(seen);
    }
    for (std::uint32_t sparse : primitive_polynomials(m, 2)) {
      if (std::find(polys.begin(), polys.end(), sparse) == polys.end())
        polys.push_back(sparse);
    }
    for (std::uint32_t poly : polys)
      out.push_back({m, poly});
  }
  return out;
}

// `steps` chunks of `data` bytes from bit 0, each followed by its `r` parity bits, the first
// with `meta` metadata bytes between its data and its parity.
nand_layout packed_layout(const detect_geometry& g, const layout_code& code, std::int64_t data,
                          int r, std::int64_t meta, std::int64_t steps) {
  nand_layout l;
  l.name = "detected";
  l.source = "detect";
  l.page_size = g.page_size;
  l.spare_size = g.spare_size;
  l.block_pages = g.block_pages;
  l.code = code;
  std::int64_t at = 0;
  for (std::int64_t k = 0; k < steps; ++k) {
    layout_step step;
    step.bits = true;
    step.data = {{at, 8 * data}};
    at += 8 * data;
    if (k == 0 && meta > 0) {
      step.protected_ = {{at, 8 * meta}};
      at += 8 * meta;
    }
    step.ecc = {at, r};
    at += r;
    l.steps.push_back(step);
  }
  return l;
}

// Steps on the byte grid are written as bytes, as any byte layout is.
void to_bytes_where_aligned(nand_layout& l) {
  for (const layout_step& s : l.steps) {
    if (s.ecc.offset % 8 != 0 || s.ecc.length % 8 != 0)
      return;
    for (const auto* spans : {&s.data, &s.protected_})
      for (const layout_span& x : *spans)
        if (x.offset % 8 != 0 || x.length % 8 != 0)
          return;
  }
  for (layout_step& s : l.steps) {
    s.bits = false;
    for (auto* spans : {&s.data, &s.protected_})
      for (layout_span& x : *spans)
        x = {x.offset / 8, x.length / 8};
    s.ecc = {s.ecc.offset / 8, s.ecc.length / 8};
  }
}

// One search: the pages, the geometry and the best finding so far.
struct packed_search {
  const std::vector<std::vector<std::uint8_t>>& pages;
  const detect_geometry& geometry;
  packed_finding best;
  step_decoder decoder;
  std::int64_t raw_bits = 0;

  // Weighs the packed layout of `code` (built as `built`, r parity bits) with chunks of `data`
  // bytes and `meta` metadata bytes; keeps it when it beats the best so far.
  void weigh(const layout_code& code, const bch_code& built, std::int64_t data, std::int64_t meta) {
    const int r = built.parity_bits;
    const std::int64_t steps = geometry.page_size / data;
    if (steps * (8 * data + r) + 8 * meta > raw_bits)
      return;
    ++best.candidates;
    nand_layout l = packed_layout(geometry, code, data, r, meta, steps);
    const bool lsb = code.lsb_first;
    const step_frame first = frame_step(l, built, l.steps[0]);
    const std::size_t screen = std::min(kScreenPages, pages.size());
    decode_count count;
    for (std::size_t i = 0; i < screen; ++i)
      decode_framed_sample(decoder, built, first, lsb, pages[i].data(), l.steps[0], count);
    if (count.usable + 1 < static_cast<std::int64_t>(screen) || count.usable == 0)
      return;
    if (!check_layout(l).ok() ||
        !check_layout_code(l, built.parity_bits, built.max_data_bytes).ok())
      return;
    count = decode_count{};
    const std::size_t weighed = std::min(kLayoutPages, pages.size());
    for (const layout_step& step : l.steps) {
      const step_frame f = frame_step(l, built, step);
      for (std::size_t i = 0; i < weighed; ++i)
        decode_framed_sample(decoder, built, f, lsb, pages[i].data(), step, count);
    }
    // Nearly every written step decodes, in every place of the page.
    if (count.tried == 0 || 10 * count.usable < 9 * count.tried)
      return;
    const double chance = chance_of_decoding(step_message_bits(l.steps[0]) + r, r, code.t);
    const double odds = log10_chance_of_at_least(count.usable, count.tried, chance);
    if (odds >= best.evidence.log10_odds)
      return;
    best.layout = std::move(l);
    best.count = count;
    best.evidence.steps_sampled = count.tried;
    best.evidence.clean = count.clean;
    best.evidence.corrected = count.corrected;
    best.evidence.erased = count.erased;
    best.evidence.uncorrectable = count.uncorrectable;
    best.evidence.chance = chance;
    best.evidence.log10_odds = odds;
  }

  // Every metadata length under the code (m, poly, t), both bit orders, no mask and erased-ff.
  void weigh_code(int m, std::uint32_t poly, int t, std::int64_t data,
                  std::int64_t most_meta = kMaxMeta, std::int64_t least_meta = 0,
                  int only_lsb = -1) {
    for (bool lsb : {false, true}) {
      if (only_lsb >= 0 && lsb != (only_lsb == 1))
        continue;
      for (layout_mask mask : {layout_mask::none, layout_mask::erased_ff}) {
        layout_code code;
        code.m = m;
        code.t = t;
        code.primitive_polynomial =
            poly == static_cast<std::uint32_t>(bch_primitive_polynomial(m)) ? 0 : poly;
        code.lsb_first = lsb;
        code.mask = mask;
        bch_code built;
        if (!build_code(code, built).ok())
          continue;
        for (std::int64_t meta = least_meta; meta <= most_meta; ++meta)
          weigh(code, built, data, meta);
      }
    }
  }

  // A polynomial of the controller's own: a clean first chunk is a codeword from bit 0 to the
  // end of its parity (its inverse is, under erased-ff), where its syndromes S_1 and S_3
  // vanish (equal those of all ones). They are evaluated at every end at once, one bit at a
  // time (multiplying by alpha is a shift), for every primitive polynomial of the field, on the
  // first chunks of up to 12 pages; an end where two of them vanish gives the parity's length
  // for each metadata length, and with it t. Chunks with bit errors only miss the count.
  void by_syndromes(std::int64_t data, int m, const std::vector<std::uint32_t>& polys) {
    const std::int64_t from = 8 * data + 2 * m;
    const std::int64_t to = std::min<std::int64_t>(raw_bits, 8 * (data + kMaxMeta) + m * kMaxT);
    // The chunks' bits in either order, once.
    std::vector<std::vector<std::uint8_t>> words[2];
    for (std::size_t i = 0; i < pages.size() && words[0].size() < 12; ++i) {
      // A chunk of zeros (or ones) is a codeword of every code (under erased-ff) at every end:
      // only chunks with both kinds of bits in plenty say anything.
      std::int64_t ones = 0;
      for (std::int64_t b = 0; b < 8 * data; ++b)
        ones += get_bit(pages[i].data(), b, false) ? 1 : 0;
      if (ones < 256 || 8 * data - ones < 256)
        continue;
      for (bool lsb : {false, true}) {
        std::vector<std::uint8_t> w(static_cast<std::size_t>(to));
        for (std::int64_t b = 0; b < to; ++b)
          w[static_cast<std::size_t>(b)] = get_bit(pages[i].data(), b, lsb) ? 1 : 0;
        words[lsb].push_back(std::move(w));
      }
    }
    if (words[0].size() < 2)
      return;
    const std::uint32_t top = std::uint32_t{1} << m;
    const auto times_alpha = [top](std::uint32_t h, std::uint32_t poly) {
      h <<= 1;
      return (h & top) != 0 ? h ^ poly : h;
    };
    std::vector<std::uint32_t> ones1(static_cast<std::size_t>(to) + 1);
    std::vector<std::uint32_t> ones3(static_cast<std::size_t>(to) + 1);
    for (std::uint32_t poly : polys) {
      best.candidates += 2;  // each bit order screened
      // Syndromes of all ones up to each end: an inverted chunk's are its own plus these.
      std::uint32_t a1 = 0, a3 = 0;
      for (std::int64_t b = 0; b < to; ++b) {
        a1 = times_alpha(a1, poly) ^ 1u;
        a3 = times_alpha(times_alpha(times_alpha(a3, poly), poly), poly) ^ 1u;
        ones1[static_cast<std::size_t>(b + 1)] = a1;
        ones3[static_cast<std::size_t>(b + 1)] = a3;
      }
      for (bool lsb : {false, true}) {
        std::vector<int> plain(static_cast<std::size_t>(to) + 1, 0);
        std::vector<int> inverted(static_cast<std::size_t>(to) + 1, 0);
        for (const std::vector<std::uint8_t>& w : words[lsb]) {
          std::uint32_t s1 = 0, s3 = 0;
          for (std::int64_t b = 0; b < to; ++b) {
            const std::uint32_t bit = w[static_cast<std::size_t>(b)];
            s1 = times_alpha(s1, poly) ^ bit;
            s3 = times_alpha(times_alpha(times_alpha(s3, poly), poly), poly) ^ bit;
            const auto e = static_cast<std::size_t>(b + 1);
            if (b + 1 < from)
              continue;
            plain[e] += s1 == 0 && s3 == 0;
            inverted[e] += s1 == ones1[e] && s3 == ones3[e];
          }
        }
        // A clean chunk fits its code at its end, and by chance at the ends next to it too (a
        // parity ending in zeros, a next chunk starting with one): half as many a bit away, a
        // quarter two bits away. The ends that most chunks fit are taken; where many ends fit
        // as well, the chunks are alike, not coded.
        int most = 0;
        for (std::int64_t end = from; end <= to; ++end) {
          const auto e = static_cast<std::size_t>(end);
          most = std::max({most, plain[e], inverted[e]});
        }
        std::vector<std::int64_t> ends;
        for (std::int64_t end = from; most >= 2 && end <= to && ends.size() <= 4; ++end) {
          const auto e = static_cast<std::size_t>(end);
          if (4 * std::max(plain[e], inverted[e]) >= 3 * most)
            ends.push_back(end);
        }
        if (ends.size() > 4)
          continue;
        for (std::int64_t end : ends) {
          for (std::int64_t meta = 0; meta <= kMaxMeta; ++meta) {
            const std::int64_t r = end - 8 * (data + meta);
            if (r < 2 * m)
              break;
            // t is about r / m; the degree settles it.
            for (int t = static_cast<int>(r / m) - 1; t <= r / m + 1; ++t) {
              if (t >= 2 && t <= kMaxT && poly_degree(bch_generator(m, poly, t)) == r)
                weigh_code(m, poly, t, data, meta, meta, lsb ? 1 : 0);
            }
          }
        }
      }
    }
  }
};

}  // namespace

packed_finding find_packed_layout(const std::vector<std::vector<std::uint8_t>>& pages,
                                  const detect_geometry& geometry, bool every_code) {
  packed_search search{pages, geometry, {}, {}, 0};
  search.best.evidence.log10_odds = 0;
  if (pages.empty())
    return search.best;
  search.raw_bits = 8 * (std::int64_t{geometry.page_size} + geometry.spare_size);
  // The codes in common use by the syndromes of clean first chunks alone: only the codes that
  // fit them are built.
  for (std::int64_t data : {512, 1024}) {
    if (geometry.page_size % data != 0)
      continue;
    for (int m = 13; m <= 14; ++m) {
      std::vector<std::uint32_t> polys;
      for (const auto& [field, poly] : fields_for(data)) {
        if (field == m)
          polys.push_back(poly);
      }
      if (!polys.empty())
        search.by_syndromes(data, m, polys);
    }
  }
  // Then, unless they found it, every code in common use decoded on the first chunks of three
  // pages (bit errors in most steps), and every polynomial by the syndromes.
  for (std::int64_t data : {512, 1024}) {
    if (!every_code || !search.best.layout.steps.empty())
      break;
    if (geometry.page_size % data != 0)
      continue;
    const std::int64_t steps = geometry.page_size / data;
    for (const auto& [m, poly] : fields_for(data)) {
      for (int t = 1; t <= kMaxT; ++t) {
        const int r = poly_degree(bch_generator(m, poly, t));
        if (r < 1 || steps * (8 * data + r) > search.raw_bits)
          break;
        search.weigh_code(m, poly, t, data);
      }
    }
  }
  const double common_bar =
      kEvidenceBar -
      std::log10(static_cast<double>(std::max<std::int64_t>(1, search.best.candidates)));
  if (every_code &&
      (search.best.layout.steps.empty() || search.best.evidence.log10_odds >= common_bar)) {
    for (std::int64_t data : {512, 1024}) {
      if (geometry.page_size % data != 0)
        continue;
      for (int m = 13; m <= 14; ++m) {
        if (8 * data + 2 * m <= (std::int64_t{1} << m) - 1)
          search.by_syndromes(data, m, primitive_polynomials(m, 1u << 12));
      }
    }
  }
  packed_finding& best = search.best;
  // Many candidates were tried: each could reach the bar by chance.
  const double bar =
      kEvidenceBar - std::log10(static_cast<double>(std::max<std::int64_t>(1, best.candidates)));
  best.found = !best.layout.steps.empty() && best.evidence.log10_odds < bar;
  if (best.found)
    to_bytes_where_aligned(best.layout);
  return best;
}
