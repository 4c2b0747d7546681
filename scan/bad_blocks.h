// The blocks of a dump that are marked bad, as one bit per block: an eighth of a byte a block
// whatever the pattern, so that even a dump of one-page blocks all marked bad stays small. One
// set is made per pass (find_bad_blocks) and read by reference, never copied, by whatever needs
// it: the report's tallies, its map, the extractor.
#pragma once

#include <cstdint>  // std::int64_t, std::uint64_t
#include <vector>   // std::vector

struct bad_block_set {
  // A set of `blocks` blocks (none when negative), none marked. Explicit, so that a braced list
  // of block numbers cannot pass for a set.
  explicit bad_block_set(std::int64_t blocks = 0);

  std::int64_t blocks = 0;           // blocks 0 ... blocks - 1 may be marked
  std::int64_t count = 0;            // blocks marked
  std::vector<std::uint64_t> words;  // bit b % 64 of words[b / 64]: block b is marked
};

// Marks block `block`. Blocks outside 0 ... set.blocks - 1, and blocks marked already, change
// nothing.
void mark_bad_block(bad_block_set& set, std::int64_t block);

// Whether block `block` is marked; false outside 0 ... set.blocks - 1.
bool is_bad_block(const bad_block_set& set, std::int64_t block);

// The marked blocks among first ... last (clamped to the set's blocks; 0 when none are left).
std::int64_t bad_blocks_within(const bad_block_set& set, std::int64_t first, std::int64_t last);

// The first marked block at or after `from`, or -1 when there is none.
std::int64_t next_bad_block(const bad_block_set& set, std::int64_t from);

// The first block at or after `from` that is not marked (set.blocks when all the rest are):
// with next_bad_block, the end of a run of marked blocks.
std::int64_t next_good_block(const bad_block_set& set, std::int64_t from);
