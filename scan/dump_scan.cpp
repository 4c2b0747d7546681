// The streaming pass over a dump. Batches of pages are mapped from the file (or, where that is
// not possible, read ahead by a second thread), processed by a pool of workers that take a few
// pages at a time, and handed to the consumer in page order, so the result is the same with
// any number of threads. Steps whose message lies in one piece (for check, also in two, the
// second short) are decoded where they stand; the others are gathered into the engine's
// buffers and scattered back.
#include "scan/dump_scan.h"

#include <algorithm>  // std::min, std::max, std::copy
#include <atomic>     // std::atomic
#include <future>     // std::async, std::future

#include "codec/step_frame.h"   // step_frame, frame_step, gather_frame_ecc, frame_fixes_to_step
#include "layout/bit_spans.h"   // gather_message_bits, scatter_message_bits, get_bit
#include "platform/platform.h"  // platform_map, platform_unmap, platform_read_at, platform_fseek64
#include "scan/worker_pool.h"   // worker_pool

namespace {

// About this many bytes of pages are processed at a time; at most three batches are alive.
constexpr std::int64_t kBatchBytes = 5 * 1024 * 1024;
// Pages a worker takes at a time within a batch.
constexpr std::int64_t kChunkPages = 8;

struct batch_buffer {
  std::vector<unsigned char> bytes;  // the pages, when read rather than mapped
  platform_mapping mapping;          // the pages, when mapped
  unsigned char* pages_at = nullptr;
  std::int64_t first_page = 0;
  std::int64_t pages = 0;
  std::vector<step_outcome> outcomes;
  std::vector<std::vector<bch_bit_fix>> chunk_fixes;  // per chunk of kChunkPages pages
  std::vector<bch_bit_fix> fixes;                     // the chunks' fixes, end to end

  ~batch_buffer() { platform_unmap(mapping); }
};

// What each worker keeps from batch to batch, so that decoding allocates nothing.
struct worker_scratch {
  bch_decode_result result;
  std::vector<unsigned char> message;
  std::vector<unsigned char> ecc;
  std::vector<unsigned char> page;  // a scrambled page unscrambled
};

// A fast, well-mixed 64-bit generator; one per step, seeded from the seed and the step's
// number, so which bits are flipped does not depend on the threads.
std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t below(std::uint64_t& state, std::uint64_t bound) {
  // Rejection keeps every value equally likely.
  const std::uint64_t limit = ~std::uint64_t{0} - (~std::uint64_t{0} % bound);
  for (;;) {
    const std::uint64_t r = splitmix64(state);
    if (r < limit)
      return r % bound;
  }
}

// Flips `count` distinct bits among the step's message bits and the code's parity bits
// (unused bits of the ECC bytes and a bit step's lead bits are not part of the code and stay
// as they are).
void inject_flips(const bch_code& code, const step_frame& plan, bool lsb_first, std::uint64_t state,
                  int count, unsigned char* message, unsigned char* ecc, step_outcome& out,
                  std::vector<bool>& taken) {
  const long data_bits = 8L * static_cast<long>(plan.message_bytes) - plan.lead_bits;
  const long total = data_bits + code.parity_bits;
  count = static_cast<int>(std::min<long>(count, total));
  taken.assign(static_cast<std::size_t>(total), false);
  for (int i = 0; i < count; ++i) {
    long pos;
    do {
      pos = static_cast<long>(below(state, static_cast<std::uint64_t>(total)));
    } while (taken[static_cast<std::size_t>(pos)]);
    taken[static_cast<std::size_t>(pos)] = true;
    unsigned char* byte;
    int bit;
    if (pos < data_bits) {
      // Which bit of a byte is drawn does not matter for a byte step; a bit step's buffer
      // bits are numbered in the bit order, so that its lead bits are the first ones.
      const long k = pos + plan.lead_bits;
      byte = message + k / 8;
      bit = static_cast<int>(plan.bits && !lsb_first ? 7 - k % 8 : k % 8);
    } else {
      const bch_bit_fix place = bch_parity_bit(code, static_cast<int>(pos - data_bits));
      byte = ecc + place.byte;
      bit = place.bit;
    }
    const bool was_one = (*byte >> bit) & 1;
    *byte = static_cast<unsigned char>(*byte ^ (1u << bit));
    if (was_one) {
      ++out.fell;
    } else {
      ++out.rose;
    }
  }
  out.bits = static_cast<std::uint16_t>(count);
}

void record(const bch_decode_result& r, step_outcome& out, std::vector<bch_bit_fix>& fixes) {
  out.status = r.status;
  out.bits = static_cast<std::uint16_t>(r.bits);
  out.fix_first = static_cast<std::uint32_t>(fixes.size());
  out.fix_count = static_cast<std::uint16_t>(r.fixes.size());
  for (const bch_bit_fix& f : r.fixes) {
    // A bit corrected to 1 had fallen from 1 to 0 in the chip.
    if (f.to_one) {
      ++out.fell;
    } else {
      ++out.rose;
    }
    fixes.push_back(f);
  }
}

}  // namespace

bool page_reads_erased(const nand_layout& layout, int t, const unsigned char* page) {
  for (const layout_step& step : layout.steps) {
    std::int64_t zeros = 0;
    for (const auto* spans : {&step.data, &step.protected_}) {
      for (const layout_span& span : *spans) {
        for (std::int64_t i = span.offset; i < span.offset + span.length && zeros <= t; ++i)
          zeros += step.bits ? !get_bit(page, i, layout.code.lsb_first)
                             : 8 - __builtin_popcount(page[i]);
      }
    }
    for (std::int64_t i = step.ecc.offset; i < step.ecc.offset + step.ecc.length && zeros <= t; ++i)
      zeros +=
          step.bits ? !get_bit(page, i, layout.code.lsb_first) : 8 - __builtin_popcount(page[i]);
    if (zeros > t)
      return false;
  }
  return true;
}

const unsigned char* scrambled_key(const nand_layout& layout, int t, std::int64_t page_number,
                                   const unsigned char* page) {
  const layout_scrambler& s = layout.scrambler;
  if (!s.present || page_reads_erased(layout, t, page))
    return nullptr;
  const std::int64_t page_bytes = raw_page_bytes(layout);
  const std::int64_t pages = static_cast<std::int64_t>(s.key.size()) / page_bytes;
  return s.key.data() + (page_number % pages) * page_bytes;
}

namespace {

// Processes the pages of one chunk of the batch in place.
void process_chunk(const scan_settings& s, const std::vector<step_frame>& plans, batch_buffer& b,
                   std::int64_t chunk, worker_scratch& scratch, std::vector<bool>& taken) {
  const nand_layout& layout = *s.layout;
  const bch_code& code = *s.code;
  const bool lsb = layout.code.lsb_first;
  const auto steps = static_cast<std::int64_t>(layout.steps.size());
  const std::int64_t page_bytes = raw_page_bytes(layout);
  const std::int64_t from = chunk * kChunkPages;
  const std::int64_t to = std::min(b.pages, from + kChunkPages);
  std::vector<bch_bit_fix>& fixes = b.chunk_fixes[static_cast<std::size_t>(chunk)];
  fixes.clear();
  const layout_scrambler& scrambler = layout.scrambler;
  for (std::int64_t p = from; p < to; ++p) {
    unsigned char* const stored = b.pages_at + p * page_bytes;
    unsigned char* page = stored;
#if defined(__GNUC__)
    // The protected bytes of a step decoded in two pieces lie apart from its data, where the
    // processor's own reading ahead does not go: the next page's are asked for now, so that
    // they have arrived when its steps need them. (Asking for the ECC too gained nothing on
    // the built-in layout.)
    if (p + 1 < b.pages) {
      for (const step_frame& plan : plans) {
        if (plan.in_two)
          __builtin_prefetch(stored + page_bytes + plan.tail_offset);
      }
    }
#endif
    // Check leaves the pages as read: a mapped page is never written, and the consumer sees
    // the dump as it is whichever way it came.
    bool read_only = s.action == scan_action::check;
    // A scrambled page is worked on unscrambled, in a copy of its own, and scrambled again
    // when it changed; a page that reads erased was never scrambled.
    const unsigned char* key = scrambled_key(layout, code.t, b.first_page + p, stored);
    const bool plain_ecc = key && scrambler.ecc == scrambler_ecc::plain;
    // encode makes the page the chip holds from its plain bytes; one that reads erased was
    // never programmed and keeps no ECC either.
    const bool scrambles = key && s.action == scan_action::encode;
    if (scrambler.present && !key && s.action == scan_action::encode) {
      for (std::int64_t k = 0; k < steps; ++k)
        b.outcomes[static_cast<std::size_t>(p * steps + k)] = step_outcome{};
      continue;
    }
    if (plain_ecc && !scrambles) {
      for (std::int64_t i = 0; i < page_bytes; ++i)
        scratch.page[static_cast<std::size_t>(i)] = static_cast<unsigned char>(stored[i] ^ key[i]);
      page = scratch.page.data();
      read_only = false;
    } else if (scrambles && scrambler.ecc == scrambler_ecc::scrambled) {
      // The ECC is computed over the scrambled bytes: scramble first, then encode.
      for (std::int64_t i = 0; i < page_bytes; ++i)
        stored[i] = static_cast<unsigned char>(stored[i] ^ key[i]);
    }
    bool page_changed = false;
    for (std::int64_t k = 0; k < steps; ++k) {
      const layout_step& step = layout.steps[static_cast<std::size_t>(k)];
      const step_frame& plan = plans[static_cast<std::size_t>(k)];
      const std::uint8_t* offset = frame_offset(plan);
      step_outcome& out = b.outcomes[static_cast<std::size_t>(p * steps + k)];
      out = step_outcome{};
      unsigned char* ecc = page + step.ecc.offset;
      unsigned char* message = page + plan.message_offset;
      if (plan.bits) {
        gather_message_bits(page, step, lsb, scratch.message.data());
        gather_frame_ecc(plan, step, lsb, page, scratch.ecc.data(), code.ecc_bytes);
        message = scratch.message.data();
        ecc = scratch.ecc.data();
      } else if (!plan.contiguous && !(read_only && plan.in_two)) {
        gather_message(page, step, scratch.message.data());
        message = scratch.message.data();
      }
      bool changed = false;
      switch (s.action) {
        case scan_action::check:
        case scan_action::fix:
          // A write to a mapped page would cost a private copy of the page: check only reads
          // the step, where it lies. A bit step is decoded in buffers of its own already.
          if (read_only && plan.in_two)
            bch_find_fixes_in_two(code, page + plan.head_offset, plan.head_bytes,
                                  page + plan.tail_offset, plan.tail_bytes, ecc, scratch.result,
                                  offset);
          else if (read_only && !plan.bits)
            bch_find_fixes(code, message, plan.message_bytes, ecc, scratch.result, offset);
          else
            bch_decode(code, message, plan.message_bytes, ecc, scratch.result, offset);
          if (!frame_fixes_to_step(plan, lsb, scratch.result.fixes)) {
            scratch.result.status = bch_status::uncorrectable;
            scratch.result.bits = 0;
            scratch.result.fixes.clear();
          }
          record(scratch.result, out, fixes);
          changed = out.status == bch_status::corrected || out.status == bch_status::erased;
          break;
        case scan_action::encode:
          bch_encode(code, message, plan.message_bytes, ecc, offset);
          changed = plan.bits;
          break;
        case scan_action::inject: {
          const std::uint64_t step_number =
              static_cast<std::uint64_t>(b.first_page + p) * static_cast<std::uint64_t>(steps) +
              static_cast<std::uint64_t>(k);
          std::uint64_t state = s.seed ^ (step_number * 0xD1B54A32D192ED03ull);
          const int span = s.flips_max - s.flips_min + 1;
          const int count =
              s.flips_min + static_cast<int>(below(state, static_cast<std::uint64_t>(span)));
          inject_flips(code, plan, lsb, state, count, message, ecc, out, taken);
          changed = true;
          break;
        }
      }
      if (!changed || s.action == scan_action::check)
        continue;
      page_changed = true;
      if (plan.bits) {
        scatter_message_bits(page, step, lsb, message);
        scatter_frame_ecc(plan, step, lsb, page, ecc);
      } else if (!plan.contiguous) {
        scatter_message(page, step, message);
      }
    }
    // Back as the chip holds it: the unscrambled copy scrambled again, or a page encoded from
    // its plain bytes scrambled with its ECC.
    if ((plain_ecc && !scrambles && page_changed) ||
        (scrambles && scrambler.ecc == scrambler_ecc::plain)) {
      for (std::int64_t i = 0; i < page_bytes; ++i)
        stored[i] = static_cast<unsigned char>(page[i] ^ key[i]);
    }
  }
}

// Reads pages [first, first + pages) into the batch's own buffer.
bool read_batch(std::FILE* in, batch_buffer& b, std::int64_t first, std::int64_t pages,
                std::int64_t page_bytes) {
  b.first_page = first;
  b.pages = pages;
  const auto bytes = static_cast<std::size_t>(pages * page_bytes);
  b.pages_at = b.bytes.data();
  return platform_read_at(in, first * page_bytes, b.bytes.data(), bytes);
}

bool map_batch(std::FILE* in, batch_buffer& b, std::int64_t first, std::int64_t pages,
               std::int64_t page_bytes) {
  platform_unmap(b.mapping);
  b.first_page = first;
  b.pages = pages;
  if (!platform_map(in, first * page_bytes, static_cast<std::size_t>(pages * page_bytes),
                    b.mapping))
    return false;
  b.pages_at = b.mapping.data;
  return true;
}

}  // namespace

void join_chunk_fixes(const std::vector<std::vector<bch_bit_fix>>& chunk_fixes,
                      std::int64_t chunk_pages, std::int64_t pages, std::int64_t steps,
                      step_outcome* outcomes, std::vector<bch_bit_fix>& fixes) {
  fixes.clear();
  const std::int64_t chunks = (pages + chunk_pages - 1) / chunk_pages;
  for (std::int64_t c = 0; c < chunks; ++c) {
    const auto base = static_cast<std::uint32_t>(fixes.size());
    const std::vector<bch_bit_fix>& f = chunk_fixes[static_cast<std::size_t>(c)];
    fixes.insert(fixes.end(), f.begin(), f.end());
    const std::int64_t end = std::min(pages, (c + 1) * chunk_pages) * steps;
    for (std::int64_t i = c * chunk_pages * steps; i < end; ++i)
      outcomes[i].fix_first += base;
  }
}

status run_scan(std::FILE* in, std::int64_t dump_bytes, const scan_settings& s,
                const scan_consumer& consume, const scan_progress& progress) {
  const nand_layout& layout = *s.layout;
  const std::int64_t page_bytes = raw_page_bytes(layout);
  const auto steps = static_cast<std::int64_t>(layout.steps.size());
  const std::int64_t total_pages = std::max<std::int64_t>(dump_bytes, 0) / page_bytes;
  const std::int64_t batch_pages = std::min(std::max<std::int64_t>(1, kBatchBytes / page_bytes),
                                            std::max<std::int64_t>(total_pages, 1));
  const int threads = std::max(1, std::min(s.threads, 64));

  std::vector<step_frame> plans(static_cast<std::size_t>(steps));
  std::size_t largest_message = 0;
  for (std::size_t k = 0; k < plans.size(); ++k) {
    plans[k] = frame_step(layout, *s.code, layout.steps[k]);
    largest_message = std::max(largest_message, plans[k].message_bytes);
  }
  std::vector<worker_scratch> scratch(static_cast<std::size_t>(threads));
  std::vector<std::vector<bool>> taken(static_cast<std::size_t>(threads));
  for (worker_scratch& w : scratch) {
    w.message.resize(largest_message);
    w.ecc.resize(static_cast<std::size_t>(s.code->ecc_bytes));
    w.page.resize(static_cast<std::size_t>(page_bytes));
  }

  batch_buffer buffers[3];
  const std::int64_t chunks_per_batch = (batch_pages + kChunkPages - 1) / kChunkPages;
  for (batch_buffer& b : buffers) {
    b.outcomes.resize(static_cast<std::size_t>(batch_pages * steps));
    b.chunk_fixes.resize(static_cast<std::size_t>(chunks_per_batch));
  }
  const auto short_read = [&](std::int64_t page) {
    return status::error("the dump could not be read whole: reading stopped within page " +
                         std::to_string(page) + " (byte " + std::to_string(page * page_bytes) +
                         ")");
  };

  // For check, a mapping avoids copying the pages at all. The other actions change most pages
  // they touch and write them out, which a mapping makes dearer than reading: their next batch
  // is read by a second thread while this one is processed, as it is where the file cannot be
  // mapped.
  bool mapped = s.map_input && s.action == scan_action::check && total_pages > 0 &&
                map_batch(in, buffers[0], 0, batch_pages, page_bytes);
  if (!mapped && total_pages > 0) {
    for (batch_buffer& b : buffers)
      b.bytes.resize(static_cast<std::size_t>(batch_pages * page_bytes));
    if (!read_batch(in, buffers[0], 0, std::min(batch_pages, total_pages), page_bytes))
      return short_read(0);
  }

  worker_pool pool(threads);
  // The consumer takes each batch in on a thread of its own while the workers process the
  // next, so that neither waits for the other; the batches still reach it one at a time, in
  // order. Of the three buffers, one is consumed, one processed and one read or mapped ahead.
  // Declared after the buffers, so that a batch still being consumed is waited for before its
  // buffer goes.
  std::future<status> consuming;
  int consumed_index = 0;
  std::int64_t done = 0;  // pages the consumer has taken in
  // Waits for the batch being consumed, then lets its buffer go and reports the progress.
  const auto settle = [&]() -> status {
    if (!consuming.valid())
      return status::success();
    const status consumed = consuming.get();
    if (!consumed.ok())
      return consumed;
    batch_buffer& c = buffers[consumed_index];
    done += c.pages;
    if (mapped)
      platform_unmap(c.mapping);
    if (progress)
      progress(done * page_bytes);
    return status::success();
  };
  std::int64_t next_page = std::min(batch_pages, total_pages);
  int current = 0;
  for (std::int64_t processed = 0; processed < total_pages;) {
    batch_buffer& b = buffers[current];
    batch_buffer& ahead = buffers[(current + 1) % 3];
    std::future<bool> reading;
    const std::int64_t ahead_first = next_page;
    const std::int64_t ahead_pages = std::min(batch_pages, total_pages - next_page);
    if (!mapped && ahead_pages > 0) {
      reading = std::async(std::launch::async, read_batch, in, std::ref(ahead), next_page,
                           ahead_pages, page_bytes);
    }

    // Chunks go to whichever worker is free, so that workers with error-laden pages do not
    // hold the others up at the end of the batch.
    const std::int64_t chunks = (b.pages + kChunkPages - 1) / kChunkPages;
    std::atomic<std::int64_t> next_chunk{0};
    pool.run([&](int worker) {
      for (std::int64_t c = next_chunk.fetch_add(1); c < chunks; c = next_chunk.fetch_add(1)) {
        process_chunk(s, plans, b, c, scratch[static_cast<std::size_t>(worker)],
                      taken[static_cast<std::size_t>(worker)]);
      }
    });
    join_chunk_fixes(b.chunk_fixes, kChunkPages, b.pages, steps, b.outcomes.data(), b.fixes);

    const status settled = settle();
    if (!settled.ok()) {
      if (reading.valid())
        reading.wait();
      return settled;
    }
    scan_batch view;
    view.first_page = b.first_page;
    view.pages = b.pages;
    view.bytes = b.pages_at;
    view.outcomes = b.outcomes.data();
    view.fixes = b.fixes.data();
    consuming = std::async(std::launch::async, [&consume, view] { return consume(view); });
    consumed_index = current;
    processed += b.pages;
    const bool read_ok = !reading.valid() || reading.get();
    if (mapped ? ahead_pages > 0 && !map_batch(in, ahead, ahead_first, ahead_pages, page_bytes)
               : !read_ok) {
      // The consumer's failure, where it has one, comes first, as it happened first.
      const status last = settle();
      return last.ok() ? short_read(ahead_first) : last;
    }
    next_page += ahead_pages;
    current = (current + 1) % 3;
  }
  if (status last = settle(); !last.ok())
    return last;
  if (platform_fseek64(in, total_pages * page_bytes, SEEK_SET) != 0)
    return status::error("cannot position the dump after its last whole page");
  return status::success();
}

status find_bad_blocks(std::FILE* in, std::int64_t dump_bytes, const nand_layout& layout,
                       bad_block_set& bad_blocks) {
  const std::int64_t page_bytes = raw_page_bytes(layout);
  const layout_span& span = layout.bad_block.marker;
  std::vector<unsigned char> whole;
  const auto read = [&](std::int64_t page, unsigned char* marker) {
    const auto fault = [&] {
      return status::error("cannot read the bad-block marker of page " + std::to_string(page));
    };
    if (!layout.scrambler.present) {
      if (!platform_read_at(in, page * page_bytes + span.offset, marker,
                            static_cast<std::size_t>(span.length)))
        return fault();
      return status::success();
    }
    // The marker is read as the page was before scrambling: a byte the scrambler left alone
    // has 0 in the key. Whether the page reads erased takes the whole page.
    whole.resize(static_cast<std::size_t>(page_bytes));
    if (!platform_read_at(in, page * page_bytes, whole.data(), whole.size()))
      return fault();
    const unsigned char* key = scrambled_key(layout, layout.code.t, page, whole.data());
    for (std::int64_t i = 0; i < span.length; ++i)
      marker[i] = static_cast<unsigned char>(whole[static_cast<std::size_t>(span.offset + i)] ^
                                             (key != nullptr ? key[span.offset + i] : 0));
    return status::success();
  };
  return find_bad_blocks(read, dump_bytes, layout, bad_blocks);
}

status find_bad_blocks(const marker_reader& read_marker, std::int64_t dump_bytes,
                       const nand_layout& layout, bad_block_set& bad_blocks) {
  const std::int64_t page_bytes = raw_page_bytes(layout);
  const std::int64_t total_pages = std::max<std::int64_t>(dump_bytes, 0) / page_bytes;
  const std::int64_t blocks = (total_pages + layout.block_pages - 1) / layout.block_pages;
  bad_blocks = bad_block_set(blocks);
  if (!layout.bad_block.present)
    return status::success();
  std::vector<unsigned char> bytes(static_cast<std::size_t>(layout.bad_block.marker.length));
  for (std::int64_t block = 0; block < blocks; ++block) {
    for (std::int32_t in_block = 0; in_block < layout.block_pages; ++in_block) {
      const std::int64_t page = block * layout.block_pages + in_block;
      if (page >= total_pages || !is_marker_page(layout, in_block))
        continue;
      if (status e = read_marker(page, bytes.data()); !e.ok())
        return e;
      bool bad = false;
      for (unsigned char c : bytes)
        bad = bad || c != 0xFF;
      if (bad) {
        mark_bad_block(bad_blocks, block);
        break;
      }
    }
  }
  return status::success();
}
