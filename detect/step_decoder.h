// Decoding the steps of sampled pages under a candidate code, and telling erased steps apart:
// the evidence that detect's search and probe both weigh. Decoding works on copies, so that the
// samples stay as read for the next candidate.
#pragma once

#include <cstddef>        // std::size_t
#include <cstdint>        // std::int64_t, std::uint8_t, std::uint64_t
#include <unordered_set>  // std::unordered_set
#include <vector>         // std::vector

#include "codec/codec.h"       // bch_code, bch_decode_result
#include "codec/step_frame.h"  // step_frame
#include "layout/layout.h"     // layout_step, nand_layout

// True when `count` bytes hold at most `allowed_zero_bits` bits that are 0: an erased step, or
// one within a few bit flips of it, which tells nothing about the code.
bool nearly_erased(const std::uint8_t* bytes, std::size_t count, std::size_t allowed_zero_bits);

// The verdicts of the steps decoded so far.
struct decode_count {
  std::int64_t tried = 0;   // steps decoded that are neither erased nor blank
  std::int64_t usable = 0;  // clean or corrected
  std::int64_t clean = 0, corrected = 0, erased = 0, uncorrectable = 0;
  std::int64_t bits = 0;  // bits the corrected steps needed, all together
  // Steps that decode to the all-zero message: a codeword of every code with the same mask
  // (free space reads so under no mask), which tells one code from another no more than an
  // erased step does. Not in `tried`.
  std::int64_t blank = 0;
};

// The steps offered so far, by content: a step that repeats one seen before (the same data in
// two pages, a page written twice) is no new evidence, however often it occurs.
struct distinct_steps {
  std::unordered_set<std::uint64_t> seen;  // 64-bit digests; a collision only drops a step
};

// True the first time a step of this message and ECC is offered to `d`, false after.
bool first_sight(distinct_steps& d, const std::uint8_t* message, std::size_t message_bytes,
                 const std::uint8_t* ecc, std::size_t ecc_bytes);

// Scratch reused from step to step, so that decoding a sample allocates nothing.
struct step_decoder {
  std::vector<std::uint8_t> message, ecc;
  bch_decode_result result;
};

// Decodes a step given as its message and its stored ECC bytes (copied first) under `code` and
// counts the verdict in `count`: erased steps in count.erased only, blank ones in count.blank
// only, every other in count.tried.
// REQUIRES: `code` built; message_bytes <= code.max_data_bytes; ecc_bytes >= code.ecc_bytes.
void decode_sample(step_decoder& d, const bch_code& code, const std::uint8_t* message,
                   std::size_t message_bytes, const std::uint8_t* ecc, std::size_t ecc_bytes,
                   decode_count& count);

// The same for step `step` of the raw page `page`, its message gathered from the page first.
// REQUIRES: as above, and `page` holds the raw page the step's spans lie in.
void decode_sample(step_decoder& d, const bch_code& code, const std::uint8_t* page,
                   const layout_step& step, decode_count& count);

// The same through the step's frame, for steps of either kind: a step that counts bits is
// gathered in `lsb_first` bit order into the engine's buffers, and a correction that lands on
// its lead bits counts as uncorrectable.
// REQUIRES: frame_step made `frame` for `step` under `code` and a layout of that bit order.
void decode_framed_sample(step_decoder& d, const bch_code& code, const step_frame& frame,
                          bool lsb_first, const std::uint8_t* page, const layout_step& step,
                          decode_count& count);
