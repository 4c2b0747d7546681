// The search for codewords packed back to back by bits: chunks of 512 or 1024 data bytes from
// the start of the page, each followed at once by its parity bits, a few metadata bytes in the
// first codeword. A parity of 13 t or 14 t bits leaves every later chunk off the byte grid,
// where the search by common factors finds no word to start from; here the codes in common use
// are tried directly on the first chunk, and the others placed by the bits the first takes.
#pragma once

#include <cstdint>  // std::int64_t, std::uint8_t
#include <vector>   // std::vector

#include "detect/detect.h"        // detect_geometry, detect_evidence
#include "detect/step_decoder.h"  // decode_count
#include "layout/layout.h"        // nand_layout

struct packed_finding {
  bool found = false;
  nand_layout layout;  // when found: bit steps, check_layout and the code passed
  decode_count count;  // every step of the pages, decoded under the layout
  detect_evidence evidence;
  std::int64_t candidates = 0;  // layouts tried on the first chunk
};

// Tries the packed layouts that fit `geometry` on `pages` (programmed raw pages, each
// different): the codes in common use where two of the first 12 pages' first chunks are clean
// (milliseconds); with `every_code`, unless those found it, the codes in common use decoded
// on first chunks with bit errors, then every primitive polynomial of m = 13 and 14 (about a
// second more at 2048 + 64). Found only when
// every step of the page decodes in nearly every page, far beyond what chance gives the candidates
// tried together (kEvidenceBar less the log10 of their number); of several, the best evidence. The
// layout is named "detected", its source "detect". REQUIRES: every page holds page_size +
// spare_size bytes.
packed_finding find_packed_layout(const std::vector<std::vector<std::uint8_t>>& pages,
                                  const detect_geometry& geometry, bool every_code = true);
