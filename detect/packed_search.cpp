// Packed layouts, tried code by code: the first chunk of a page is a codeword from bit 0 on,
// so every candidate code and metadata length is one decode of it away from being ruled out,
// and only those that decode the first chunk of most pages are laid out over the whole page.
#include "detect/packed_search.h"

#include <algorithm>  // std::find, std::min
#include <cmath>      // std::log10
#include <utility>    // std::pair

#include "bch/bch.h"               // bch_primitive_polynomial
#include "codec/layout_code.h"     // build_code, build_layout_code
#include "codec/step_frame.h"      // step_frame, frame_step
#include "detect/evidence.h"       // chance_of_decoding, log10_chance_of_at_least, kEvidenceBar
#include "detect/gf2_poly.h"       // bch_generator, poly_degree
#include "detect/syndrome_scan.h"  // primitive_polynomials

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

}  // namespace

packed_finding find_packed_layout(const std::vector<std::vector<std::uint8_t>>& pages,
                                  const detect_geometry& geometry) {
  packed_finding best;
  best.evidence.log10_odds = 0;
  if (pages.empty())
    return best;
  const std::int64_t raw_bits = 8 * (std::int64_t{geometry.page_size} + geometry.spare_size);
  const std::size_t screen = std::min(kScreenPages, pages.size());
  const std::size_t weighed = std::min(kLayoutPages, pages.size());
  step_decoder decoder;
  for (std::int64_t data : {512, 1024}) {
    if (geometry.page_size % data != 0)
      continue;
    const std::int64_t steps = geometry.page_size / data;
    for (const auto& [m, poly] : fields_for(data)) {
      for (int t = 1; t <= kMaxT; ++t) {
        const int r = poly_degree(bch_generator(m, poly, t));
        if (r < 1 || steps * (8 * data + r) > raw_bits)
          break;
        for (bool lsb : {false, true}) {
          for (layout_mask mask : {layout_mask::none, layout_mask::erased_ff}) {
            layout_code code;
            code.m = m;
            code.t = t;
            code.primitive_polynomial =
                poly == static_cast<std::uint32_t>(bch_primitive_polynomial(m)) ? 0 : poly;
            code.lsb_first = lsb;
            code.mask = mask;
            bch_code built;
            if (!build_code(code, built).ok() || built.parity_bits != r)
              continue;
            for (std::int64_t meta = 0; meta <= kMaxMeta; ++meta) {
              if (steps * (8 * data + r) + 8 * meta > raw_bits)
                break;
              ++best.candidates;
              nand_layout l = packed_layout(geometry, code, data, r, meta, steps);
              const step_frame first = frame_step(l, built, l.steps[0]);
              decode_count count;
              for (std::size_t i = 0; i < screen; ++i)
                decode_framed_sample(decoder, built, first, lsb, pages[i].data(), l.steps[0],
                                     count);
              if (count.usable + 1 < static_cast<std::int64_t>(screen) || count.usable == 0)
                continue;
              if (!check_layout(l).ok() ||
                  !check_layout_code(l, built.parity_bits, built.max_data_bytes).ok())
                continue;
              count = decode_count{};
              for (const layout_step& step : l.steps) {
                const step_frame f = frame_step(l, built, step);
                for (std::size_t i = 0; i < weighed; ++i)
                  decode_framed_sample(decoder, built, f, lsb, pages[i].data(), step, count);
              }
              // Nearly every written step decodes, in every place of the page.
              if (count.tried == 0 || 10 * count.usable < 9 * count.tried)
                continue;
              const double chance = chance_of_decoding(step_message_bits(l.steps[0]) + r, r, t);
              const double odds = log10_chance_of_at_least(count.usable, count.tried, chance);
              if (odds >= best.evidence.log10_odds)
                continue;
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
          }
        }
      }
    }
  }
  // Many candidates were tried: each could reach the bar by chance.
  const double bar =
      kEvidenceBar - std::log10(static_cast<double>(std::max<std::int64_t>(1, best.candidates)));
  best.found = !best.layout.steps.empty() && best.evidence.log10_odds < bar;
  if (best.found)
    to_bytes_where_aligned(best.layout);
  return best;
}
