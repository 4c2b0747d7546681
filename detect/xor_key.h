// A scrambler's XOR key recovered from the dump alone. Free space of a file system is mostly
// 0x00 before it is scrambled, so a page of it holds the pure key: pages that the same key page
// scrambled agree byte for byte wherever both held free space, pages of other key pages almost
// nowhere. The period (key pages before the pattern repeats) is the one whose pages agree most
// sharply above the rest; each key page is then, byte by byte, the value its pages agree on.
#pragma once

#include <cstdint>  // std::int64_t, std::int32_t, std::uint8_t
#include <vector>   // std::vector

#include "detect/detect.h"  // detect_reader
#include "status/status.h"  // status

// Periods tried at most, in pages.
inline constexpr std::int64_t kMaxKeyPeriod = 1024;

struct key_search {
  std::int64_t page_bytes = 0;  // the raw page, 1 ... 4 MiB
  std::int64_t pages = 0;       // whole pages of the dump
  std::int64_t period = 0;      // 0: found from the dump; else the period, 1 ... kMaxKeyPeriod
  // Bytes of the dump's first pages read as evidence at most (whole pages, at least 3). A
  // period is tried only where the sample holds it three times.
  std::int64_t sample_bytes = std::int64_t{96} * 1024 * 1024;
};

struct period_score {
  std::int64_t period = 0;
  double agreement = 0;    // share of equal bytes between pages `period` apart
  std::int64_t pairs = 0;  // pairs of programmed pages compared
};

struct key_finding {
  // A period stands out from the rest. Period 1 (pages agree at every distance, on bytes that
  // look random) is one key for every page, or pages that all hold the same data: only the
  // code tells them apart.
  bool found = false;
  std::int64_t period = 0;
  std::vector<std::uint8_t> key;     // period raw pages; where found is false, empty
  std::vector<period_score> scores;  // every period tried, in order of period
  double baseline = 0;               // the median agreement of the periods tried
  std::int64_t sampled = 0;          // pages read
  std::int64_t programmed = 0;       // of them, not erased (erased pages are no evidence)
  // Per key page: the programmed pages it rests on. A key page none rests on is all zeros.
  std::vector<std::int32_t> pages_per_slot;
  // Share of the key's bytes on whose value the pages agreed beyond chance: at least two of
  // them and a tenth, more than twice as many as on any other value.
  double supported = 0;
};

// Searches the dump's first pages (read through `read`) for the key. Fails only when reading
// failed or the request is out of range; a dump that shows no period is a finding with found
// false. Never writes anything.
status find_xor_key(const detect_reader& read, const key_search& request, key_finding& finding);

// The dump as it was before scrambling, read through `read`: byte o XORed with key byte
// o mod key.size(), except in units of `unit` bytes (the raw page) that read erased (at most
// 1 % of their bits zero), which were never programmed. A unit the dump ends inside is
// weighed by what there is of it. REQUIRES: key not empty, unit >= 1; `read` and `key` outlive
// the reader.
detect_reader descrambled_reader(const detect_reader& read, const std::vector<std::uint8_t>& key,
                                 std::int64_t unit);
