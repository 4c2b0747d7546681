// Infers a dump's page layout and BCH code from the dump alone: where each step's data,
// protected bytes and ECC lie, the field, t, the primitive polynomial, the bit order, the ECC
// mask and the padding. Every codeword is a multiple of the generator g, and so is the XOR of
// two codewords of one step, which also cancels a constant mask; common factors of such XORs
// give g once the span is right, g gives the field, and decoding a sample with the found code
// weighs the finding against chance. Never prints; progress goes through a callback.
#pragma once

#include <cstdint>     // std::int32_t, std::int64_t
#include <cstdio>      // std::FILE
#include <functional>  // std::function
#include <string>      // std::string
#include <vector>      // std::vector

#include "detect/gf2_poly.h"  // gf2_poly
#include "layout/layout.h"    // nand_layout
#include "status/status.h"    // status

// Reads `bytes` bytes of the dump from `offset` into `out`; false when it cannot.
using detect_reader =
    std::function<bool(std::int64_t offset, unsigned char* out, std::size_t bytes)>;

struct detect_geometry {
  std::int32_t page_size = 0;    // data area, bytes, 512 ... kMaxPagePart
  std::int32_t spare_size = 0;   // spare area, bytes, 1 ... kMaxPagePart
  std::int32_t block_pages = 0;  // pages per block (only copied into the layout), >= 1
};

struct detect_options {
  // Pages read, spread evenly over the dump (fewer when the dump has fewer); 16 ... 100000.
  int sample_pages = 256;
  // Called now and then with the share of the search done (0 ... 1), from the calling thread.
  // May be empty.
  std::function<void(double done)> progress;
  // Threads the search runs on, 1 ... 64; 0: one per core. The result does not depend on it.
  int threads = 0;
  // Share (0 ... 1) of the full work spent, once the first tries have failed, on many more
  // tries for dumps in which most steps carry bit errors; 0 skips them. A dump with no code
  // costs the whole of it before the search gives up (some 10 to 30 s of CPU at 1).
  double noise_effort = 1;
};

struct detect_evidence {
  std::int64_t steps_sampled = 0;  // steps of the sampled pages decoded under the found code
  std::int64_t clean = 0;
  std::int64_t corrected = 0;
  std::int64_t erased = 0;
  std::int64_t uncorrectable = 0;
  double chance = 1;      // share of random steps that would decode clean or corrected
  double log10_odds = 0;  // log10 of the chance that random data decodes as many
};

struct detect_result {
  bool found = false;  // a layout whose odds clear kEvidenceBar
  // When found: passes check_layout and fits its code; its steps count bits (layout_step::bits)
  // when the parity ends off the byte grid.
  nand_layout layout;
  gf2_poly generator;  // when found: g, bit i = x^i
  int parity_bits = 0;
  detect_evidence evidence;
  std::int64_t pages_sampled = 0;  // pages read
  std::int64_t pages_used = 0;     // of those, not erased and not repeated
  // What was searched and not found, one line each ("interleaved steps of 512 data bytes, msb
  // first: no span whose words share a BCH generator"), and common factors that named no code:
  // one line per reason (at most 12), naming the first candidate and factor that met it and,
  // when more did, how many candidates ("... decodes too few of its steps (4 candidates)"), ahead
  // of the others; when found, the factors passed over before the finding.
  std::vector<std::string> ruled_out;
  // When found: readings the code cannot tell from the one taken, one line each ("message start
  // 1584 or 1590: ..."); empty when the sample settles every choice.
  std::vector<std::string> ambiguities;
  // Not found because the geometry was guessed, the best guesses scored alike, and none or more
  // than one of them found a code: the last line of ruled_out names them and asks for the
  // geometry (detect_layout_and_geometry only).
  bool geometry_unsure = false;
  status error;  // failed: the search could not run (unreadable dump, bad geometry)
};

// Searches the dump of `dump_bytes` bytes (whole pages of page_size + spare_size; a tail is
// ignored) for its layout and code. Outside the geometry's ranges, or with fewer than one whole
// page, returns with `error` failed. Never a guess: found only when the sampled steps decode
// under the code far beyond chance (kEvidenceBar).
detect_result detect_layout(const detect_reader& read, std::int64_t dump_bytes,
                            const detect_geometry& geometry, const detect_options& options = {});

// The same on an open file of `dump_bytes` bytes, read at offsets (its position is not used).
detect_result detect_layout(std::FILE* dump, std::int64_t dump_bytes,
                            const detect_geometry& geometry, const detect_options& options = {});

// What a geometry guess rests on.
enum class geometry_evidence {
  erased_runs,       // ends of long 0xFF runs (erased pages, unwritten page tails)
  constant_columns,  // byte offsets in the raw page that hold one value in nearly every page
};

// A page geometry the dump's structure points to, and how strongly.
struct geometry_guess {
  detect_geometry geometry;
  geometry_evidence evidence = geometry_evidence::erased_runs;
  // 0 ... 1, comparable between the guesses of one dump (which share their evidence).
  // erased_runs: the share of the ends of long 0xFF runs that fall on a page boundary of this
  // geometry. constant_columns: the columns constant beyond chance per byte of the raw page, as
  // a share of the best geometry's (1 for the best); columns that repeat those of a smaller
  // page dividing this one count once, so a page k times the true one scores a k-th of it.
  double score = 0;
  std::int64_t runs = 0;            // erased_runs: long 0xFF runs whose end was weighed
  std::int64_t columns = 0;         // constant_columns: columns constant over the pages sampled
  std::int64_t chance_columns = 0;  // the same once each page is rotated by its own amount
  std::int64_t pages = 0;           // constant_columns: programmed pages sampled at this size
};

// The common NAND geometries (data 512 ... 16384 bytes, spare 16 ... 2048) that fit a dump of
// `dump_bytes` bytes in whole pages, best first, at most `most` of them (1 ... 100), with
// block_pages set to 64 (nothing in a dump's bytes tells it apart). Two kinds of evidence:
// - constant columns: bad-block markers, pad bytes, fixed protected bytes and unused spare hold
//   one value at the same offset of every page, so at the true raw size (and its multiples)
//   those columns line up, and at others they smear. Up to 128 programmed pages are sampled at
//   each size, 4 MiB read in all (at least 16 pages a size);
// - erased runs, weighed only when the columns show nothing beyond chance: erased pages and the
//   unwritten tails of pages are runs of 0xFF that end where a programmed page starts, so the
//   raw page size divides those ends (16 MiB read at most).
// Empty when the dump cannot be read or shows neither (a dump of one value or of random bytes).
// Among equal scores, the smaller page comes first.
std::vector<geometry_guess> guess_geometry(const detect_reader& read, std::int64_t dump_bytes,
                                           int most = 6);

// Without a geometry: guesses it (guess_geometry, into `guesses`) and searches the dump with
// each of the best three that score at least 0.1, and half as much as the best. Of those that
// find a code, returns the one whose decoded steps cover most of the sampled bytes (a page size
// that divides the true one can find steps too); a finding whose steps hold the whole page ends
// the search unless the next guess scores at least 0.8 of the best. When none finds a code,
// what each ruled out (prefixed "PAGE+SPARE: "). When the second best guess scores at least 0.8
// of the best (unsure) and no search finds a code, or two guesses that score so both find one
// whose steps cover as much (within 2%), nothing is found: geometry_unsure is set and the last
// line of ruled_out lists the alike geometries and asks for --page-size and --spare-size; the
// findings of the several are listed before it ("PAGE+SPARE: a code too (...)").
detect_result detect_layout_and_geometry(const detect_reader& read, std::int64_t dump_bytes,
                                         const detect_options& options,
                                         std::vector<geometry_guess>& guesses);
