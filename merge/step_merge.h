// Several reads of one ECC step merged into the step as written: the codeword a read decodes
// to, else the bitwise majority decoded, else a bounded search over the bits where the reads
// disagree, accepted only when it proves one codeword the closest to all reads together.
// Reads that show the step erased or all zeros (within 2t bits) while another shows it
// programmed are failed reads and take no part. Works on the engine's buffers
// (codec/step_frame.h), with scratch reused from step to step.
#pragma once

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint8_t, std::uint32_t, std::int64_t
#include <vector>   // std::vector

#include "codec/codec.h"       // bch_code, bch_status, bch_decode_result
#include "codec/step_frame.h"  // step_frame

// Reads merged at most: the failed-read flags of a verdict are one bit a read.
inline constexpr int kMaxReads = 16;

// Decodes a search may spend on one step unless told otherwise.
inline constexpr std::int64_t kDefaultSearchBudget = 20000;

// What the merge needs of a step's framing, worked out once a pass for each step.
// A step's buffer is its message (frame.message_bytes) followed by its ECC (code.ecc_bytes).
struct merge_frame {
  const bch_code* code = nullptr;
  const step_frame* frame = nullptr;
  std::size_t bytes = 0;            // message and ECC bytes of the buffer
  std::vector<std::uint8_t> care;   // `bytes` bytes: ones on the code's bits (not on a bit
                                    // step's lead bits, nor on the ECC bytes' unused bits)
  std::int64_t care_bits = 0;       // ones in `care`: the code's bits of the step
  bool erased_is_codeword = false;  // the all-ones buffer is a codeword (an ECC mask made it so)
};

// REQUIRES: `code` built for the layout; `frame` made by frame_step for this code; both
// outlive the result.
merge_frame make_merge_frame(const bch_code& code, const step_frame& frame, bool lsb_first);

// How a step's result was found.
enum class merge_way : std::uint8_t {
  read,           // the codeword a read decodes to (clean or corrected)
  majority,       // the bitwise majority of three or more reads, decoded
  search,         // the disagreement search
  uncorrectable,  // none of these: the result holds the reads' best estimate, not a codeword
  erased,         // every read shows the step erased (or the programmed ones are all zeros)
};

struct merge_verdict {
  merge_way way = merge_way::uncorrectable;
  int read = -1;                   // merge_way::read: the first read that decodes to the result
  int supporting = 0;              // merge_way::read: reads that decode to it
  bool conflict = false;           // reads decode to different codewords, or show erased and zeros
  bool budget_hit = false;         // the search stopped at its budget before it could decide
  std::uint32_t failed_reads = 0;  // bit i: read i is within 2t bits of all ones or all zeros
                                   // while another read is not
  bch_status first = bch_status::clean;  // how read 0 decodes on its own
  int first_bits = 0;                    // bits its decoding corrects
  std::int64_t decodes = 0;              // decodes the search spent
  int disagree = 0;                      // code bits where the programmed reads disagree
};

// Grows as needed and is then reused, one per thread.
struct merge_scratch {
  bch_decode_result result;
  std::vector<std::uint8_t> work;                  // a candidate being decoded
  std::vector<std::vector<std::uint8_t>> decoded;  // each read decoded
  std::vector<bch_status> statuses;
  std::vector<std::vector<std::uint8_t>> found;  // distinct codewords of the search
  std::vector<std::int64_t> found_distance;
  std::vector<std::int32_t> positions;  // bits where the reads disagree
  std::vector<int> chosen;              // the combination of positions being tried
  std::vector<int> programmed;          // reads that are not failed reads
};

// Merges `count` reads of one step (reads[i]: read i's buffer, merge_frame::bytes bytes) and
// writes the result into `out` (the same size). A codeword result (read, majority, search) is a
// codeword of the step; erased leaves the decoder's all-ones step; uncorrectable leaves the
// bitwise majority of the programmed reads when there are three or more, else the first
// programmed read as it was read. The search tries, around each programmed read, every set of
// up to w of the disagreeing bits flipped, for w = 1, 2, ..., as far as `budget` decodes allow,
// and accepts a codeword only when its summed distance to the reads is below what any codeword
// it did not reach can have and no other codeword found is as close.
// REQUIRES: 1 <= count <= kMaxReads; budget >= 0; `out` does not overlap a read.
merge_verdict merge_step(const merge_frame& frame, const std::uint8_t* const* reads, int count,
                         std::int64_t budget, std::uint8_t* out, merge_scratch& scratch);

// Bitwise majority of `count` byte strings of `bytes` bytes into `out`; a tie takes the first
// string's bit. REQUIRES: 1 <= count <= kMaxReads.
void bitwise_majority(const std::uint8_t* const* strings, int count, std::size_t bytes,
                      std::uint8_t* out);
