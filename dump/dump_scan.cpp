// The streaming pass over a dump: one thread reads the next batch of pages while the workers
// process the current one, and the batch goes to the consumer in page order, so the result
// is the same with any number of threads.
#include "dump/dump_scan.h"

#include <algorithm>  // std::min, std::max
#include <atomic>     // std::atomic
#include <cstring>    // std::memset
#include <future>     // std::async, std::future
#include <thread>     // std::thread
#include <vector>     // std::vector

#include "layout/page_layout.h"  // extract_sector, place_sector, layout_end, sectors_per_page

namespace {

// About this many bytes of pages are read and processed at a time; two batches are alive.
constexpr std::int64_t kBatchBytes = 4 * 1024 * 1024;
// Pages a worker takes at a time within a batch.
constexpr std::int64_t kChunkPages = 8;

struct batch_buffer {
  std::vector<unsigned char> bytes;
  std::vector<sector_outcome> outcomes;
  std::int64_t first_page = 0;
  std::int64_t pages = 0;
};

// A fast, well-mixed 64-bit generator; one per sector, seeded from the seed and the sector's
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

// Flips `count` distinct bits among the sector's data bits and the code's parity bits (pad
// bits of the last ECC byte are not part of the code and stay as they are).
void inject_flips(const bch_code& code, std::uint64_t state, int count, unsigned char* data,
                  unsigned char* ecc, sector_outcome& out) {
  const int data_bits = kSectorLength * 8;
  const int total = data_bits + code.parity_bits;
  count = std::min(count, total);
  std::vector<bool> taken(static_cast<std::size_t>(total), false);
  for (int i = 0; i < count; ++i) {
    int pos;
    do {
      pos = static_cast<int>(below(state, static_cast<std::uint64_t>(total)));
    } while (taken[static_cast<std::size_t>(pos)]);
    taken[static_cast<std::size_t>(pos)] = true;
    unsigned char* byte;
    int bit;
    if (pos < data_bits) {
      byte = data + pos / 8;
      bit = pos % 8;
    } else {
      // Parity bit e is bit e of the ECC bit string: from the top of each byte when bytes are
      // read most significant bit first, from the bottom otherwise.
      const int e = pos - data_bits;
      byte = ecc + e / 8;
      bit = code.options.bit_order == bch_bit_order::msb_first ? 7 - e % 8 : e % 8;
    }
    const bool was_one = (*byte >> bit) & 1;
    *byte = static_cast<unsigned char>(*byte ^ (1u << bit));
    if (was_one) {
      ++out.fell;
    } else {
      ++out.rose;
    }
  }
  out.bits = static_cast<std::uint8_t>(count);
}

void record(const bch_decode_result& r, sector_outcome& out) {
  out.status = r.status;
  out.bits = static_cast<std::uint8_t>(r.bits);
  for (const bch_bit_fix& f : r.fixes) {
    // A bit corrected to 1 had fallen from 1 to 0 in the chip.
    if (f.to_one) {
      ++out.fell;
    } else {
      ++out.rose;
    }
    if (out.fix_count < 8)
      out.fixes[out.fix_count++] = f;
  }
}

// Processes pages [from, to) of the batch in place.
void process_pages(const scan_settings& s, batch_buffer& b, std::int64_t from, std::int64_t to,
                   bch_decode_result& scratch) {
  const std::int32_t steps = sectors_per_page(s.geometry.page_size);
  const std::int64_t page_bytes = std::int64_t{s.geometry.page_size} + s.geometry.spare_size;
  const bch_code& code = *s.code;
  unsigned char data[kSectorLength];
  unsigned char ecc[kEccLength];
  for (std::int64_t p = from; p < to; ++p) {
    unsigned char* page = b.bytes.data() + p * page_bytes;
    for (std::int32_t k = 0; k < steps; ++k) {
      sector_outcome& out = b.outcomes[static_cast<std::size_t>(p * steps + k)];
      out = sector_outcome{};
      // Every sector but the last lies whole in the page: it is checked, and corrected, where
      // it stands, without a copy. The batch is the pass's own, so check may scribble on it.
      if (k < steps - 1 && (s.action == scan_action::check || s.action == scan_action::fix)) {
        unsigned char* chunk = page + kPageHeaderLength + std::int64_t{kChunkStride} * k;
        bch_decode(code, chunk, kSectorLength, chunk + kSectorLength, scratch);
        record(scratch, out);
        continue;
      }
      extract_sector(page, k, steps, data, ecc);
      switch (s.action) {
        case scan_action::check:
        case scan_action::fix:
          bch_decode(code, data, kSectorLength, ecc, scratch);
          record(scratch, out);
          if (s.action == scan_action::fix &&
              (out.status == bch_status::corrected || out.status == bch_status::erased)) {
            place_sector(page, k, steps, data, ecc);
          }
          break;
        case scan_action::encode:
          bch_encode(code, data, kSectorLength, ecc);
          place_sector(page, k, steps, data, ecc);
          break;
        case scan_action::inject: {
          const std::uint64_t sector_number =
              static_cast<std::uint64_t>(b.first_page + p) * static_cast<std::uint64_t>(steps) +
              static_cast<std::uint64_t>(k);
          std::uint64_t state = s.seed ^ (sector_number * 0xD1B54A32D192ED03ull);
          const int span = s.flips_max - s.flips_min + 1;
          const int count =
              s.flips_min + static_cast<int>(below(state, static_cast<std::uint64_t>(span)));
          inject_flips(code, state, count, data, ecc, out);
          place_sector(page, k, steps, data, ecc);
          break;
        }
      }
    }
  }
}

// Reads the next batch; false when the file ends early or cannot be read.
bool read_batch(std::FILE* in, batch_buffer& b, std::int64_t first_page, std::int64_t pages,
                std::int64_t page_bytes) {
  b.first_page = first_page;
  b.pages = pages;
  const std::size_t bytes = static_cast<std::size_t>(pages * page_bytes);
  return std::fread(b.bytes.data(), 1, bytes, in) == bytes;
}

}  // namespace

std::string check_geometry(const dump_geometry_options& g) {
  auto in_range = [](std::int32_t v) { return v >= 1 && v <= kMaxPagePart; };
  if (!in_range(g.page_size))
    return "the page size must be 512 to 4194304 bytes";
  if (!in_range(g.spare_size))
    return "the spare size must be 1 to 4194304 bytes";
  if (g.block_pages < 1)
    return "a block must have at least 1 page";
  const std::int32_t steps = sectors_per_page(g.page_size);
  if (steps < 1)
    return "a page of less than 512 bytes holds no sector";
  const std::int64_t end = layout_end(steps);
  const std::int64_t page_bytes = std::int64_t{g.page_size} + g.spare_size;
  if (end > page_bytes) {
    return "the sectors do not fit the page: the last sector's ECC ends at byte " +
           std::to_string(end) + ", but a page with spare has " + std::to_string(page_bytes);
  }
  return "";
}

std::string run_scan(std::FILE* in, std::int64_t dump_bytes, const scan_settings& s,
                     const scan_consumer& consume, const scan_progress& progress) {
  const std::int64_t page_bytes = std::int64_t{s.geometry.page_size} + s.geometry.spare_size;
  const std::int32_t steps = sectors_per_page(s.geometry.page_size);
  const std::int64_t total_pages = std::max<std::int64_t>(dump_bytes, 0) / page_bytes;
  const std::int64_t batch_pages = std::max<std::int64_t>(1, kBatchBytes / page_bytes);
  const int threads = std::max(1, std::min(s.threads, 64));

  batch_buffer buffers[2];
  for (batch_buffer& b : buffers) {
    b.bytes.resize(static_cast<std::size_t>(
        std::min(batch_pages, std::max<std::int64_t>(total_pages, 1)) * page_bytes));
    b.outcomes.resize(b.bytes.size() / static_cast<std::size_t>(page_bytes) *
                      static_cast<std::size_t>(steps));
  }
  std::vector<bch_decode_result> scratch(static_cast<std::size_t>(threads));

  const auto short_read = [&](std::int64_t page) {
    return "the dump could not be read whole: reading stopped within page " + std::to_string(page) +
           " (byte " + std::to_string(page * page_bytes) + ")";
  };

  std::int64_t next_page = 0;
  int current = 0;
  if (total_pages > 0) {
    const std::int64_t pages = std::min(batch_pages, total_pages);
    if (!read_batch(in, buffers[0], 0, pages, page_bytes))
      return short_read(0);
    next_page = pages;
  }
  std::int64_t done_pages = 0;
  while (done_pages < total_pages) {
    batch_buffer& b = buffers[current];
    batch_buffer& ahead = buffers[1 - current];
    // Read the next batch while this one is worked on.
    std::future<bool> reading;
    const std::int64_t ahead_first = next_page;
    if (next_page < total_pages) {
      const std::int64_t pages = std::min(batch_pages, total_pages - next_page);
      reading = std::async(std::launch::async, read_batch, in, std::ref(ahead), next_page, pages,
                           page_bytes);
      next_page += pages;
    }

    // Pages go out in small chunks to whichever worker is free, so that workers with
    // error-laden pages do not hold the others up at the end of the batch.
    std::atomic<std::int64_t> next_chunk{0};
    const auto work = [&](bch_decode_result& mine) {
      for (;;) {
        const std::int64_t from = next_chunk.fetch_add(kChunkPages);
        if (from >= b.pages)
          return;
        process_pages(s, b, from, std::min(b.pages, from + kChunkPages), mine);
      }
    };
    std::vector<std::thread> workers;
    for (int w = 1; w < threads && w * kChunkPages < b.pages; ++w)
      workers.emplace_back(work, std::ref(scratch[static_cast<std::size_t>(w)]));
    work(scratch[0]);
    for (std::thread& w : workers)
      w.join();

    scan_batch view;
    view.first_page = b.first_page;
    view.pages = b.pages;
    view.bytes = b.bytes.data();
    view.outcomes = b.outcomes.data();
    std::string error;
    const bool go_on = consume(view, error);
    const bool read_ok = !reading.valid() || reading.get();
    if (!go_on)
      return error;
    if (!read_ok)
      return short_read(ahead_first);
    done_pages += b.pages;
    if (progress)
      progress(done_pages * page_bytes);
    current = 1 - current;
  }
  return "";
}
