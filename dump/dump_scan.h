// One streaming pass over a NAND dump: pages are read in batches, every sector of a batch is
// checked, corrected, encoded or given injected bit errors on all worker threads, and the
// batch is handed on in page order. Memory is a few batches, whatever the dump's size.
#pragma once

#include <cstdint>     // std::int32_t, std::int64_t, std::uint64_t
#include <cstdio>      // std::FILE
#include <functional>  // std::function
#include <string>      // std::string

#include "codec/codec.h"  // bch_code, bch_status, bch_bit_fix

// The page geometry: page size and spare size in bytes, pages per block.
struct dump_geometry_options {
  std::int32_t page_size = 2048;
  std::int32_t spare_size = 64;
  std::int32_t block_pages = 64;
};

// Largest page size and spare size the tools accept: no NAND page comes near it, and a few
// batches of such pages must still fit in a few tens of MiB.
constexpr std::int32_t kMaxPagePart = 4 * 1024 * 1024;

// Returns an empty string when the geometry is usable: sizes of 1 ... kMaxPagePart, at least
// one sector per page (page size >= 512), and the last sector's ECC ending inside the page
// with spare. Otherwise a one-line message.
std::string check_geometry(const dump_geometry_options& g);

enum class scan_action {
  check,   // decode every sector; the pages stay as read
  fix,     // decode every sector and write corrected or erased sectors back into the page
  encode,  // compute every sector's ECC from its data and store it
  inject,  // flip random bits in every sector's data and ECC
};

struct scan_settings {
  dump_geometry_options geometry;
  const bch_code* code = nullptr;  // REQUIRES: built, ecc_bytes <= 13
  scan_action action = scan_action::check;
  int threads = 1;                   // worker threads, 1 ... 64
  int flips_min = 0, flips_max = 0;  // inject: bits flipped per sector, drawn uniformly
  std::uint64_t seed = 1;            // inject: the same seed flips the same bits
};

// What happened to one sector. For check and fix, the decoder's verdict; for inject,
// status clean and `bits` the number of bits flipped.
struct sector_outcome {
  bch_status status = bch_status::clean;
  std::uint8_t bits = 0;       // bits corrected (or flipped, for inject)
  std::uint8_t fell = 0;       // of those, bits that had flipped from 1 to 0 (read 0, now 1)
  std::uint8_t rose = 0;       // of those, bits that had flipped from 0 to 1 (read 1, now 0)
  std::uint8_t fix_count = 0;  // entries used in fixes (the first 8 corrected bits)
  bch_bit_fix fixes[8];
};

// A batch of whole pages as handed on: its bytes (as processed: corrected for fix, with new
// ECC for encode, with flipped bits for inject), and one outcome per sector, page by page.
struct scan_batch {
  std::int64_t first_page = 0;
  std::int64_t pages = 0;
  const unsigned char* bytes = nullptr;      // pages * page size with spare
  const sector_outcome* outcomes = nullptr;  // pages * sectors per page
};

// Called once per batch, in page order, on the calling thread. Returns false to stop the pass
// (for example when writing failed); run_scan then returns its message.
using scan_consumer = std::function<bool(const scan_batch& batch, std::string& error)>;

// Called about every quarter second with the bytes read so far.
using scan_progress = std::function<void(std::int64_t bytes_done)>;

// Reads `in` from its current position: every whole page of `dump_bytes`, in batches, each
// processed and handed to `consume`. The tail that makes no whole page is left unread. Returns
// an empty string, or a one-line message when reading failed (a dump shorter than
// `dump_bytes`) or the consumer stopped.
// REQUIRES: check_geometry(settings.geometry) is empty; settings.code built.
std::string run_scan(std::FILE* in, std::int64_t dump_bytes, const scan_settings& settings,
                     const scan_consumer& consume, const scan_progress& progress = nullptr);
