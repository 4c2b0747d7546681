// Fuzz target of the merge of several reads of one step: the input picks a small code, its
// mask, a written codeword, two to five reads of it with bit errors, some of them failed reads
// (all ones or zeros), and a search budget. Every verdict is held to the merge's promises: a
// result reported found is a codeword; one found by the search is closer to the reads together
// than the written codeword or is that codeword; no failed read supplies it; the budget holds.
#include <fuzzer/FuzzedDataProvider.h>  // FuzzedDataProvider

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint8_t, std::int64_t
#include <cstdio>   // std::fprintf, stderr
#include <cstdlib>  // std::abort
#include <cstring>  // std::memcmp
#include <vector>   // std::vector

#include "codec/codec.h"       // bch_code_init, bch_encode, bch_decode
#include "merge/step_merge.h"  // merge_step, make_merge_frame

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "merge fuzz: %s\n", what);
  std::abort();
}

std::int64_t summed(const merge_frame& f, const std::vector<std::uint8_t>& word,
                    const std::vector<std::vector<std::uint8_t>>& reads, std::uint32_t skip) {
  std::int64_t sum = 0;
  for (std::size_t r = 0; r < reads.size(); ++r) {
    if (skip >> r & 1)
      continue;
    for (std::size_t j = 0; j < f.bytes; ++j)
      sum += __builtin_popcount(static_cast<unsigned>((word[j] ^ reads[r][j]) & f.care[j]));
  }
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  FuzzedDataProvider in(input, size);
  const int m = in.ConsumeIntegralInRange(5, 9);
  const int t = in.ConsumeIntegralInRange(1, 4);
  bch_code_options options;
  if (in.ConsumeBool())
    options.ecc_mask = bch_ecc_mask::erased_ff;
  bch_code code;
  if (!bch_code_init(code, m, t, options).ok())
    return 0;
  step_frame frame;
  frame.message_bytes = in.ConsumeIntegralInRange<std::size_t>(1, code.max_data_bytes);
  const merge_frame f = make_merge_frame(code, frame, false);
  std::vector<std::uint8_t> truth(f.bytes, 0);
  for (std::size_t j = 0; j < frame.message_bytes; ++j)
    truth[j] = in.ConsumeIntegral<std::uint8_t>();
  bch_encode(code, truth.data(), frame.message_bytes, truth.data() + frame.message_bytes);
  std::vector<int> bits;  // the code's bits
  for (std::size_t j = 0; j < f.bytes; ++j) {
    for (int b = 0; b < 8; ++b) {
      if (f.care[j] >> b & 1)
        bits.push_back(static_cast<int>(8 * j) + b);
    }
  }
  const int count = in.ConsumeIntegralInRange(2, 5);
  std::vector<std::vector<std::uint8_t>> reads(static_cast<std::size_t>(count), truth);
  // Persistent errors first (in every read), then each read's own.
  const int shared = in.ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < shared; ++i) {
    const int at = bits[in.ConsumeIntegralInRange<std::size_t>(0, bits.size() - 1)];
    for (auto& r : reads)
      r[static_cast<std::size_t>(at / 8)] ^= static_cast<std::uint8_t>(1u << (at % 8));
  }
  for (auto& r : reads) {
    const int kind = in.ConsumeIntegralInRange(0, 9);
    if (kind == 0)
      r.assign(f.bytes, 0xFF);
    if (kind == 1)
      r.assign(f.bytes, 0x00);
    const int flips = in.ConsumeIntegralInRange(0, 3 * t);
    for (int i = 0; i < flips; ++i) {
      const int at = bits[in.ConsumeIntegralInRange<std::size_t>(0, bits.size() - 1)];
      r[static_cast<std::size_t>(at / 8)] ^= static_cast<std::uint8_t>(1u << (at % 8));
    }
  }
  const std::int64_t budget = in.ConsumeIntegralInRange<std::int64_t>(0, 3000);

  std::vector<const std::uint8_t*> at;
  for (const auto& r : reads)
    at.push_back(r.data());
  std::vector<std::uint8_t> out(f.bytes);
  merge_scratch scratch;
  const merge_verdict v = merge_step(f, at.data(), count, budget, out.data(), scratch);
  if (v.decodes > budget)
    fail("the search spent more than its budget");
  if (v.way == merge_way::read && (v.read < 0 || v.read >= count || (v.failed_reads >> v.read & 1)))
    fail("a failed read, or none, supplied the result");
  if (v.way == merge_way::read || v.way == merge_way::majority || v.way == merge_way::search) {
    std::vector<std::uint8_t> check = out;
    bch_decode_result result;
    bch_decode(code, check.data(), frame.message_bytes, check.data() + frame.message_bytes, result);
    if (result.status != bch_status::clean &&
        !(result.status == bch_status::erased && f.erased_is_codeword && check == out))
      fail("a result reported found is no codeword");
  }
  if (v.way == merge_way::search && out != truth &&
      summed(f, out, reads, v.failed_reads) >= summed(f, truth, reads, v.failed_reads))
    fail("the search accepted a codeword no closer to the reads than the one written");
  return 0;
}
