// The streaming merge of several reads. A second thread reads the next batch of every read
// while the workers merge the present one a few pages at a time; batches go to the consumer
// in page order, so the result is the same with any number of threads.
#include "merge/read_merge.h"

#include <algorithm>  // std::min, std::max
#include <atomic>     // std::atomic
#include <cstring>    // std::memcpy
#include <future>     // std::async, std::future
#include <string>     // std::to_string

#include "codec/step_frame.h"   // step_frame, frame_step, gather_frame_ecc, scatter_frame_ecc
#include "layout/bit_spans.h"   // gather_message_bits, scatter_message_bits
#include "platform/platform.h"  // platform_read_at, platform_fseek64
#include "scan/worker_pool.h"   // worker_pool

namespace {

// About this many bytes of pages, all reads together, make a batch; two batches are alive.
constexpr std::int64_t kBatchBytes = 8 * 1024 * 1024;
// Pages a worker takes at a time within a batch.
constexpr std::int64_t kChunkPages = 4;

struct read_batch {
  std::vector<std::vector<unsigned char>> reads;  // each read's pages
  std::int64_t first_page = 0;
  std::int64_t pages = 0;
};

struct merged_batch {
  std::vector<unsigned char> bytes;
  std::vector<step_outcome> outcomes;
  std::vector<merge_verdict> verdicts;
  std::vector<std::vector<bch_bit_fix>> chunk_fixes;
  std::vector<bch_bit_fix> fixes;
};

struct step_plan {
  const layout_step* step = nullptr;
  step_frame frame;
  merge_frame merge;
};

struct worker_scratch {
  merge_scratch merge;
  std::vector<std::vector<std::uint8_t>> words;  // each read's step in the engine's form
  std::vector<const std::uint8_t*> word_at;
  std::vector<std::vector<std::uint8_t>> outs;    // each step's result in the page
  std::vector<char> merged;                       // whether outs holds it
  std::vector<std::vector<unsigned char>> plain;  // each read's page unscrambled
  std::vector<std::uint8_t> key_word;             // the key's bits of a step
  std::vector<bch_bit_fix> fixes;
};

// The step of `page` in the engine's form: message, then ECC.
void gather(const step_plan& plan, const bch_code& code, bool lsb, const unsigned char* page,
            std::uint8_t* word) {
  const layout_step& step = *plan.step;
  std::uint8_t* ecc = word + plan.frame.message_bytes;
  if (plan.frame.bits) {
    gather_message_bits(page, step, lsb, word);
    gather_frame_ecc(plan.frame, step, lsb, page, ecc, code.ecc_bytes);
  } else {
    gather_message(page, step, word);
    std::memcpy(ecc, page + step.ecc.offset, static_cast<std::size_t>(code.ecc_bytes));
  }
}

void scatter(const step_plan& plan, const bch_code& code, bool lsb, const std::uint8_t* word,
             unsigned char* page) {
  const layout_step& step = *plan.step;
  const std::uint8_t* ecc = word + plan.frame.message_bytes;
  if (plan.frame.bits) {
    scatter_message_bits(page, step, lsb, word);
    scatter_frame_ecc(plan.frame, step, lsb, page, ecc);
  } else {
    scatter_message(page, step, word);
    std::memcpy(page + step.ecc.offset, ecc, static_cast<std::size_t>(code.ecc_bytes));
  }
}

// The step's outcome against the first read (`first`, in the engine's form): its status and
// the bits in which the result differs, appended to `fixes` in the step's positions.
void measure(const step_plan& plan, bool lsb, const merge_verdict& v, const std::uint8_t* first,
             const std::uint8_t* result, std::vector<bch_bit_fix>& scratch, step_outcome& out,
             std::vector<bch_bit_fix>& fixes) {
  const std::size_t message = plan.frame.message_bytes;
  scratch.clear();
  const bool same = std::memcmp(first, result, plan.merge.bytes) == 0;
  for (std::size_t j = 0; !same && j < plan.merge.bytes; ++j) {
    const unsigned differ = static_cast<unsigned>(first[j] ^ result[j]);
    for (int bit = 0; differ != 0 && bit < 8; ++bit) {
      if (!(differ >> bit & 1))
        continue;
      bch_bit_fix f;
      f.in_ecc = j >= message;
      f.byte = static_cast<std::uint32_t>(f.in_ecc ? j - message : j);
      f.bit = static_cast<std::uint8_t>(bit);
      f.to_one = (result[j] >> bit & 1) != 0;
      scratch.push_back(f);
    }
  }
  // The lead bits are ones in every read, so no difference lies on them.
  (void)frame_fixes_to_step(plan.frame, lsb, scratch);
  out = step_outcome{};
  switch (v.way) {
    case merge_way::erased:
      out.status = bch_status::erased;
      break;
    case merge_way::uncorrectable:
      out.status = bch_status::uncorrectable;
      break;
    default:
      out.status = scratch.empty() ? bch_status::clean : bch_status::corrected;
      break;
  }
  if (out.status == bch_status::uncorrectable)
    scratch.clear();  // nothing was corrected; what differs is an estimate, not a fix
  out.bits = static_cast<std::uint16_t>(std::min<std::size_t>(scratch.size(), 65535));
  out.fix_first = static_cast<std::uint32_t>(fixes.size());
  out.fix_count = out.bits;
  for (std::size_t i = 0; i < out.fix_count; ++i) {
    const bch_bit_fix& f = scratch[i];
    if (f.to_one) {
      ++out.fell;
    } else {
      ++out.rose;
    }
    fixes.push_back(f);
  }
}

// True when every byte of `page` is `fill`.
bool all_bytes(const unsigned char* page, std::size_t bytes, unsigned char fill) {
  for (std::size_t i = 0; i < bytes; ++i) {
    if (page[i] != fill)
      return false;
  }
  return true;
}

// With two reads, the read whose bytes outside the steps the page takes: the first, unless
// it lost the page whole (all 0xFF or all zeros, a failed read) and the second did not.
int outside_source(const unsigned char* first, const unsigned char* second, std::size_t bytes) {
  for (const unsigned char fill :
       {static_cast<unsigned char>(0xFF), static_cast<unsigned char>(0)}) {
    if (all_bytes(first, bytes, fill))
      return all_bytes(second, bytes, fill) ? 0 : 1;
  }
  return 0;
}

void merge_chunk(const merge_settings& s, const std::vector<step_plan>& plans, const read_batch& in,
                 merged_batch& b, std::int64_t chunk, worker_scratch& w) {
  const nand_layout& layout = *s.layout;
  const bch_code& code = *s.code;
  const bool lsb = layout.code.lsb_first;
  const auto steps = static_cast<std::int64_t>(plans.size());
  const std::int64_t page_bytes = raw_page_bytes(layout);
  const auto count = static_cast<int>(in.reads.size());
  std::vector<bch_bit_fix>& fixes = b.chunk_fixes[static_cast<std::size_t>(chunk)];
  fixes.clear();
  const unsigned char* pages[kMaxReads];
  const std::int64_t to = std::min(in.pages, (chunk + 1) * kChunkPages);
  const bool plain_ecc = layout.scrambler.present && layout.scrambler.ecc == scrambler_ecc::plain;
  const unsigned char* stored[kMaxReads];
  for (std::int64_t p = chunk * kChunkPages; p < to; ++p) {
    for (int i = 0; i < count; ++i)
      pages[i] = stored[i] = in.reads[static_cast<std::size_t>(i)].data() + p * page_bytes;
    unsigned char* combined = b.bytes.data() + p * page_bytes;
    // Where the ECC covers the plain bytes, each read's steps are merged unscrambled (a read
    // that lost the page whole reads erased and stays as it is, a failed read), and the
    // result is scrambled again with the page's key.
    const unsigned char* key = nullptr;
    for (int i = 0; plain_ecc && i < count; ++i) {
      const unsigned char* k =
          scrambled_key(layout, code.t, in.first_page + p, stored[static_cast<std::size_t>(i)]);
      if (k == nullptr)
        continue;
      key = k;
      std::vector<unsigned char>& plain = w.plain[static_cast<std::size_t>(i)];
      for (std::int64_t j = 0; j < page_bytes; ++j)
        plain[static_cast<std::size_t>(j)] = static_cast<unsigned char>(stored[i][j] ^ k[j]);
      pages[i] = plain.data();
    }
    const std::size_t first_step = static_cast<std::size_t>(p * steps);
    // Reads that agree on the whole page, as those of a good chip do: a step that is clean
    // where it stands needs no copy at all.
    bool identical = key == nullptr;
    for (int i = 1; i < count && identical; ++i)
      identical = std::memcmp(pages[i], pages[0], static_cast<std::size_t>(page_bytes)) == 0;
    w.merged.assign(static_cast<std::size_t>(steps), 0);  // step k's result is in w.outs[k]
    for (std::int64_t k = 0; k < steps; ++k) {
      const step_plan& plan = plans[static_cast<std::size_t>(k)];
      const std::size_t at = first_step + static_cast<std::size_t>(k);
      if (identical && plan.frame.contiguous) {
        const unsigned char* message = pages[0] + plan.frame.message_offset;
        if (bch_is_clean(code, message, plan.frame.message_bytes, pages[0] + plan.step->ecc.offset,
                         nullptr)) {
          b.verdicts[at] = merge_verdict{};
          b.verdicts[at].way = merge_way::read;
          b.verdicts[at].read = 0;
          b.verdicts[at].supporting = count;
          b.outcomes[at] = step_outcome{};
          b.outcomes[at].fix_first = static_cast<std::uint32_t>(fixes.size());
          continue;
        }
      }
      w.merged[static_cast<std::size_t>(k)] = 1;
      for (int i = 0; i < count; ++i) {
        gather(plan, code, lsb, pages[i], w.words[static_cast<std::size_t>(i)].data());
        w.word_at[static_cast<std::size_t>(i)] = w.words[static_cast<std::size_t>(i)].data();
      }
      std::uint8_t* result = w.outs[static_cast<std::size_t>(k)].data();
      b.verdicts[at] = merge_step(plan.merge, w.word_at.data(), count, s.budget, result, w.merge);
      if (key != nullptr) {
        // Back as the chip holds it, and measured against read 1 as it holds it.
        gather(plan, code, lsb, key, w.key_word.data());
        for (std::size_t j = 0; j < plan.merge.bytes; ++j)
          result[j] = static_cast<std::uint8_t>(result[j] ^ w.key_word[j]);
        gather(plan, code, lsb, stored[0], w.words[0].data());
      }
      measure(plan, lsb, b.verdicts[at], w.words[0].data(), result, w.fixes, b.outcomes[at], fixes);
    }
    // Bytes outside the steps: majority of three or more reads; else the first read's, unless
    // it lost the page whole, when its headers and tags are no better than its steps.
    const auto page_size = static_cast<std::size_t>(page_bytes);
    if (count >= 3) {
      bitwise_majority(stored, count, page_size, combined);
    } else {
      std::memcpy(combined, stored[outside_source(stored[0], stored[1], page_size)], page_size);
    }
    for (std::int64_t k = 0; k < steps; ++k) {
      // Steps taken where they stand are in the copy already.
      if (!w.merged[static_cast<std::size_t>(k)])
        continue;
      scatter(plans[static_cast<std::size_t>(k)], code, lsb,
              w.outs[static_cast<std::size_t>(k)].data(), combined);
    }
  }
}

bool read_all(const std::vector<std::FILE*>& files, read_batch& b, std::int64_t first,
              std::int64_t pages, std::int64_t page_bytes, int& failed) {
  b.first_page = first;
  b.pages = pages;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!platform_read_at(files[i], first * page_bytes, b.reads[i].data(),
                          static_cast<std::size_t>(pages * page_bytes))) {
      failed = static_cast<int>(i);
      return false;
    }
  }
  return true;
}

}  // namespace

status run_merge(const std::vector<std::FILE*>& reads, std::int64_t dump_bytes,
                 const merge_settings& s, const merge_consumer& consume,
                 const std::function<void(std::int64_t bytes_done)>& progress) {
  const nand_layout& layout = *s.layout;
  const bch_code& code = *s.code;
  const auto count = static_cast<std::int64_t>(reads.size());
  const std::int64_t page_bytes = raw_page_bytes(layout);
  const auto steps = static_cast<std::int64_t>(layout.steps.size());
  const std::int64_t total_pages = std::max<std::int64_t>(dump_bytes, 0) / page_bytes;
  const std::int64_t batch_pages =
      std::min(std::max<std::int64_t>(1, kBatchBytes / (page_bytes * count)),
               std::max<std::int64_t>(total_pages, 1));
  const int threads = std::max(1, std::min(s.threads, 64));

  std::vector<step_plan> plans(static_cast<std::size_t>(steps));
  std::size_t largest = 0;
  for (std::size_t k = 0; k < plans.size(); ++k) {
    plans[k].step = &layout.steps[k];
    plans[k].frame = frame_step(layout, code, layout.steps[k]);
    largest = std::max(largest, plans[k].frame.message_bytes);
  }
  // After the frames stand where they stay: each merge frame points to its own.
  for (step_plan& plan : plans)
    plan.merge = make_merge_frame(code, plan.frame, layout.code.lsb_first);
  const std::size_t word_bytes = largest + static_cast<std::size_t>(code.ecc_bytes);
  std::vector<worker_scratch> scratch(static_cast<std::size_t>(threads));
  for (worker_scratch& w : scratch) {
    w.words.assign(static_cast<std::size_t>(count), std::vector<std::uint8_t>(word_bytes));
    w.word_at.assign(static_cast<std::size_t>(count), nullptr);
    w.outs.assign(plans.size(), std::vector<std::uint8_t>(word_bytes));
    if (layout.scrambler.present) {
      w.plain.assign(static_cast<std::size_t>(count),
                     std::vector<unsigned char>(static_cast<std::size_t>(page_bytes)));
      w.key_word.resize(word_bytes);
    }
  }

  read_batch batches[2];
  for (read_batch& b : batches) {
    b.reads.assign(static_cast<std::size_t>(count),
                   std::vector<unsigned char>(static_cast<std::size_t>(batch_pages * page_bytes)));
  }
  merged_batch out;
  const std::int64_t chunks_per_batch = (batch_pages + kChunkPages - 1) / kChunkPages;
  out.bytes.resize(static_cast<std::size_t>(batch_pages * page_bytes));
  out.outcomes.resize(static_cast<std::size_t>(batch_pages * steps));
  out.verdicts.resize(static_cast<std::size_t>(batch_pages * steps));
  out.chunk_fixes.resize(static_cast<std::size_t>(chunks_per_batch));

  const auto short_read = [&](int read, std::int64_t page) {
    return status::error("read " + std::to_string(read + 1) +
                         " could not be read whole: reading stopped within page " +
                         std::to_string(page) + " (byte " + std::to_string(page * page_bytes) +
                         ")");
  };
  int failed = 0;
  if (total_pages > 0 &&
      !read_all(reads, batches[0], 0, std::min(batch_pages, total_pages), page_bytes, failed))
    return short_read(failed, 0);

  worker_pool pool(threads);
  std::int64_t next_page = std::min(batch_pages, total_pages);
  int current = 0;
  for (std::int64_t done = 0; done < total_pages;) {
    read_batch& b = batches[current];
    read_batch& ahead = batches[1 - current];
    const std::int64_t ahead_first = next_page;
    const std::int64_t ahead_pages = std::min(batch_pages, total_pages - next_page);
    int ahead_failed = 0;
    std::future<bool> reading;
    if (ahead_pages > 0) {
      reading = std::async(std::launch::async, read_all, std::cref(reads), std::ref(ahead),
                           ahead_first, ahead_pages, page_bytes, std::ref(ahead_failed));
    }
    const std::int64_t chunks = (b.pages + kChunkPages - 1) / kChunkPages;
    std::atomic<std::int64_t> next_chunk{0};
    pool.run([&](int worker) {
      for (std::int64_t c = next_chunk.fetch_add(1); c < chunks; c = next_chunk.fetch_add(1))
        merge_chunk(s, plans, b, out, c, scratch[static_cast<std::size_t>(worker)]);
    });
    join_chunk_fixes(out.chunk_fixes, kChunkPages, b.pages, steps, out.outcomes.data(), out.fixes);
    merge_batch view;
    view.combined.first_page = b.first_page;
    view.combined.pages = b.pages;
    view.combined.bytes = out.bytes.data();
    view.combined.outcomes = out.outcomes.data();
    view.combined.fixes = out.fixes.data();
    view.first_read = b.reads[0].data();
    view.verdicts = out.verdicts.data();
    const status consumed = consume(view);
    const bool read_ok = !reading.valid() || reading.get();
    if (!consumed.ok())
      return consumed;
    if (!read_ok)
      return short_read(ahead_failed, ahead_first);
    done += b.pages;
    next_page += ahead_pages;
    if (progress)
      progress(done * page_bytes);
    current = 1 - current;
  }
  for (std::size_t i = 0; i < reads.size(); ++i) {
    if (platform_fseek64(reads[i], total_pages * page_bytes, SEEK_SET) != 0)
      return status::error("cannot position read " + std::to_string(i + 1) +
                           " after its last whole page");
  }
  return status::success();
}

status find_merged_bad_blocks(const std::vector<std::FILE*>& reads, std::int64_t dump_bytes,
                              const nand_layout& layout, bad_block_set& bad_blocks) {
  const std::int64_t page_bytes = raw_page_bytes(layout);
  const layout_span& marker = layout.bad_block.marker;
  const auto length = static_cast<std::size_t>(marker.length);
  const int count = static_cast<int>(reads.size());
  std::vector<std::vector<unsigned char>> bytes(static_cast<std::size_t>(count),
                                                std::vector<unsigned char>(length));
  std::vector<std::vector<unsigned char>> whole(
      reads.size() == 2 ? 2 : 0, std::vector<unsigned char>(static_cast<std::size_t>(page_bytes)));
  // The marker is weighed as the page was before scrambling (a byte the scrambler left alone
  // has 0 in the key); whether a page reads erased, and so was never scrambled, is the page's.
  std::vector<unsigned char> first(static_cast<std::size_t>(page_bytes));
  const auto unscramble_marker = [&](std::int64_t page, const unsigned char* whole_page,
                                     unsigned char* marker_bytes) {
    const unsigned char* key = scrambled_key(layout, layout.code.t, page, whole_page);
    for (std::size_t i = 0; key != nullptr && i < length; ++i)
      marker_bytes[i] ^= key[static_cast<std::size_t>(marker.offset) + i];
  };
  const auto read = [&](std::int64_t page, unsigned char* merged) {
    if (reads.size() == 2) {
      // The marker comes with the bytes outside the steps, from the read run_merge takes
      // them from.
      for (std::size_t i = 0; i < 2; ++i) {
        if (!platform_read_at(reads[i], page * page_bytes, whole[i].data(), whole[i].size()))
          return status::error("cannot read the bad-block marker of page " + std::to_string(page) +
                               " in read " + std::to_string(i + 1));
      }
      const int from = outside_source(whole[0].data(), whole[1].data(), whole[0].size());
      const std::vector<unsigned char>& source = whole[static_cast<std::size_t>(from)];
      std::memcpy(merged, source.data() + marker.offset, length);
      unscramble_marker(page, source.data(), merged);
      return status::success();
    }
    const unsigned char* at[kMaxReads];
    for (int i = 0; i < count; ++i) {
      if (!platform_read_at(reads[static_cast<std::size_t>(i)], page * page_bytes + marker.offset,
                            bytes[static_cast<std::size_t>(i)].data(), length))
        return status::error("cannot read the bad-block marker of page " + std::to_string(page) +
                             " in read " + std::to_string(i + 1));
      at[i] = bytes[static_cast<std::size_t>(i)].data();
    }
    bitwise_majority(at, count, length, merged);
    if (layout.scrambler.present) {
      if (!platform_read_at(reads[0], page * page_bytes, first.data(), first.size()))
        return status::error("cannot read page " + std::to_string(page) + " in read 1");
      unscramble_marker(page, first.data(), merged);
    }
    return status::success();
  };
  return find_bad_blocks(read, dump_bytes, layout, bad_blocks);
}
