// How often the key search finds a scrambler's period and key on generated dumps, and how fast:
// keys of several periods, free space (zeros before scrambling) from a fifth to a half of the
// pages, data and erased pages, a spare left unscrambled; the pages carry the built-in layout's
// ECC over the plain bytes and 0 ... 8 bit errors each, so that the key found is also checked
// by decoding. No Google Benchmark; run as `pagolinth-bench-xor-key [DUMPS_PER_CASE [SEED]]`
// (5 and 1 by default).
#include <chrono>   // std::chrono::steady_clock
#include <cstdio>   // std::printf
#include <cstdlib>  // std::strtol
#include <cstring>  // std::memcpy, std::memset
#include <random>   // std::mt19937_64
#include <vector>   // std::vector

#include "codec/codec.h"        // bch_encode, bch_decode
#include "codec/layout_code.h"  // build_layout_code
#include "detect/key_check.h"   // key_decoder, refine_key
#include "detect/xor_key.h"     // find_xor_key
#include "layout/layout.h"      // default_layout, gather_message
#include "scan/dump_scan.h"     // page_reads_erased

namespace {

constexpr std::int64_t kPage = 2112;

// Share of the steps of the programmed pages that decode with the key found taken off.
double decode_share(const std::vector<unsigned char>& dump, std::int64_t pages,
                    const nand_layout& layout, const bch_code& code, const key_finding& f) {
  std::vector<unsigned char> open(static_cast<std::size_t>(kPage));
  std::vector<std::uint8_t> message(512), ecc(static_cast<std::size_t>(code.ecc_bytes));
  bch_decode_result result;
  std::int64_t steps = 0, decoded = 0;
  for (std::int64_t p = 0; p < pages; ++p) {
    const unsigned char* page = dump.data() + p * kPage;
    if (page_reads_erased(layout, code.t, page))
      continue;
    for (std::int64_t j = 0; j < kPage; ++j)
      open[static_cast<std::size_t>(j)] =
          page[j] ^ f.key[static_cast<std::size_t>((p % f.period) * kPage + j)];
    for (const layout_step& step : layout.steps) {
      message.assign(static_cast<std::size_t>(step_data_bytes(step)), 0);
      gather_message(open.data(), step, message.data());
      std::copy(open.begin() + step.ecc.offset, open.begin() + step.ecc.offset + code.ecc_bytes,
                ecc.begin());
      bch_decode(code, message.data(), message.size(), ecc.data(), result);
      ++steps;
      decoded += result.status == bch_status::clean || result.status == bch_status::corrected;
    }
  }
  return steps > 0 ? static_cast<double>(decoded) / static_cast<double>(steps) : 0;
}

struct dump_case {
  std::int64_t period;
  int free_percent;  // pages of zeros before scrambling; 15 % are erased, the rest data
  int periods = 4;   // pages in the dump: this many periods, 3000 at least
};

}  // namespace

int main(int argc, char** argv) {
  const long dumps = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 5;
  const unsigned long seed = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1;
  const dump_case cases[] = {{16, 50},      {64, 50},      {128, 50},     {256, 50},    {258, 50},
                             {512, 50},     {64, 20},      {256, 20},     {258, 20},    {1, 50},
                             {256, 50, 16}, {512, 50, 16}, {256, 20, 16}, {256, 20, 32}};
  std::printf(
      "pagolinth-bench-xor-key %ld %lu: %ld dumps a case, pages of %lld bytes with the built-in"
      " layout's ECC and 0 ... 8 bit errors each, a 64-byte spare unscrambled\n",
      dumps, seed, dumps, static_cast<long long>(kPage));
  std::printf(
      "period  free  pages | found  period right  key bytes right  supported  decodes >= 99 %%:"
      " found  refined | ms a dump\n");
  const nand_layout layout = default_layout(2048, 64, 64);
  bch_code code;
  if (!build_layout_code(layout, code).ok())
    return 2;
  std::vector<std::uint8_t> message(512), ecc(static_cast<std::size_t>(code.ecc_bytes));
  std::mt19937_64 gen(seed);
  for (const dump_case& c : cases) {
    int found = 0, right_period = 0, decodes = 0, refined_decodes = 0;
    double right_bytes = 0, supported = 0, ms = 0;
    for (long d = 0; d < dumps; ++d) {
      const std::int64_t pages = std::max<std::int64_t>(3000, c.periods * c.period);
      std::vector<unsigned char> key(static_cast<std::size_t>(c.period * kPage), 0);
      for (std::int64_t i = 0; i < c.period * kPage; ++i) {
        if (i % kPage < kPage - 64)
          key[static_cast<std::size_t>(i)] = static_cast<unsigned char>(gen());
      }
      std::vector<unsigned char> dump(static_cast<std::size_t>(pages * kPage));
      for (std::int64_t p = 0; p < pages; ++p) {
        unsigned char* page = dump.data() + p * kPage;
        const int kind = static_cast<int>(gen() % 100);
        if (kind >= 85) {
          std::memset(page, 0xFF, kPage);
          continue;
        }
        for (std::int64_t j = 0; kind >= c.free_percent && j < kPage; ++j)
          page[j] = static_cast<unsigned char>(gen());
        for (const layout_step& step : layout.steps) {
          message.assign(static_cast<std::size_t>(step_data_bytes(step)), 0);
          gather_message(page, step, message.data());
          bch_encode(code, message.data(), message.size(), ecc.data());
          std::copy(ecc.begin(), ecc.end(), page + step.ecc.offset);
        }
        for (int e = static_cast<int>(gen() % 9); e > 0; --e)
          page[gen() % kPage] ^= static_cast<unsigned char>(1u << (gen() % 8));
        for (std::int64_t j = 0; j < kPage; ++j)
          page[j] ^= key[static_cast<std::size_t>((p % c.period) * kPage + j)];
      }
      const detect_reader read = [&](std::int64_t offset, unsigned char* out, std::size_t n) {
        if (offset + static_cast<std::int64_t>(n) > static_cast<std::int64_t>(dump.size()))
          return false;
        std::memcpy(out, dump.data() + offset, n);
        return true;
      };
      key_search q;
      q.page_bytes = kPage;
      q.pages = pages;
      key_finding f;
      const auto start = std::chrono::steady_clock::now();
      if (!find_xor_key(read, q, f).ok())
        return 2;
      ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
      found += f.found;
      if (f.found && f.period != c.period) {
        const auto mean = [&](std::int64_t period) {
          double sum = 0;
          int n = 0;
          for (const period_score& s : f.scores) {
            if (s.period % period == 0) {
              sum += s.agreement - f.baseline;
              ++n;
            }
          }
          return n > 0 ? sum / n : 0;
        };
        // A multiple of the period still gives a key that holds; say how near it came.
        std::printf("        (period %lld found for %lld: mean excess %.4f against %.4f)\n",
                    static_cast<long long>(f.period), static_cast<long long>(c.period),
                    mean(f.period), mean(c.period));
      }
      // A multiple of the period is a key that decodes as well. Refined with the code (its
      // time is not in the search's), as xor-key --layout does.
      if (f.found) {
        decodes += decode_share(dump, pages, layout, code, f) >= 0.99;
        key_decoder decoder(layout, code);
        refine_key(read, f.sampled, decoder, f);
        refined_decodes += decode_share(dump, pages, layout, code, f) >= 0.99;
      }
      if (!f.found || f.period != c.period)
        continue;
      ++right_period;
      std::int64_t right = 0;
      for (std::size_t i = 0; i < key.size(); ++i)
        right += f.key[i] == key[i];
      right_bytes += static_cast<double>(right) / static_cast<double>(key.size());
      supported += f.supported;
    }
    const double n = right_period > 0 ? right_period : 1;
    std::printf(
        "%6lld  %3d%% %6lld | %2d/%ld  %2d/%ld          %6.2f %%        %6.2f %%                   "
        "%2d/%ld  %2d/%ld   | %7.1f\n",
        static_cast<long long>(c.period), c.free_percent,
        static_cast<long long>(std::max<std::int64_t>(3000, c.periods * c.period)), found, dumps,
        right_period, dumps, 100 * right_bytes / n, 100 * supported / n, decodes, dumps,
        refined_decodes, dumps, ms / static_cast<double>(dumps));
  }
  return 0;
}
