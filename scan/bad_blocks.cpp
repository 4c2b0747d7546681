// The blocks marked bad as a bit set: marking, looking up, counting a range, and walking runs
// a word of 64 blocks at a time.
#include "scan/bad_blocks.h"

#include <algorithm>  // std::max, std::min

namespace {

std::uint64_t bit(std::int64_t block) {
  return std::uint64_t{1} << (block % 64);
}

std::size_t word(std::int64_t block) {
  return static_cast<std::size_t>(block / 64);
}

// The first block at or after `from` whose bit equals `marked`, or set.blocks.
std::int64_t next_with(const bad_block_set& set, std::int64_t from, bool marked) {
  from = std::max<std::int64_t>(from, 0);
  while (from < set.blocks) {
    // Bits of the word from `from` on that are (or, inverted, are not) marked.
    std::uint64_t w = set.words[word(from)];
    if (!marked)
      w = ~w;
    w &= ~(bit(from) - 1);
    if (w != 0)
      return std::min(set.blocks, from / 64 * 64 + __builtin_ctzll(w));
    from = from / 64 * 64 + 64;
  }
  return set.blocks;
}

}  // namespace

bad_block_set::bad_block_set(std::int64_t n)
    : blocks(std::max<std::int64_t>(n, 0)),
      words(static_cast<std::size_t>((blocks + 63) / 64), 0) {}

void mark_bad_block(bad_block_set& set, std::int64_t block) {
  if (block < 0 || block >= set.blocks || is_bad_block(set, block))
    return;
  set.words[word(block)] |= bit(block);
  ++set.count;
}

bool is_bad_block(const bad_block_set& set, std::int64_t block) {
  return block >= 0 && block < set.blocks && (set.words[word(block)] & bit(block)) != 0;
}

std::int64_t bad_blocks_within(const bad_block_set& set, std::int64_t first, std::int64_t last) {
  first = std::max<std::int64_t>(first, 0);
  last = std::min(last, set.blocks - 1);
  std::int64_t n = 0;
  while (first <= last) {
    // The bits first ... min(last, end of its word) of first's word.
    const std::int64_t end = std::min(last, first / 64 * 64 + 63);
    std::uint64_t w = set.words[word(first)] >> (first % 64);
    const std::int64_t width = end - first + 1;
    if (width < 64)
      w &= (std::uint64_t{1} << width) - 1;
    n += __builtin_popcountll(w);
    first = end + 1;
  }
  return n;
}

std::int64_t next_bad_block(const bad_block_set& set, std::int64_t from) {
  const std::int64_t b = next_with(set, from, true);
  return b < set.blocks ? b : -1;
}

std::int64_t next_good_block(const bad_block_set& set, std::int64_t from) {
  return next_with(set, from, false);
}
