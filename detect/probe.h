// Which bit order, ECC mask, padding and t a dump was written with, when its layout and field
// are known: the layout's code tried in every variant on the first steps that are not erased,
// each variant weighed by how far its decoded count stands above what random data would reach.
#pragma once

#include <cstdint>  // std::int64_t
#include <vector>   // std::vector

#include "detect/detect.h"        // detect_reader
#include "detect/step_decoder.h"  // decode_count
#include "layout/layout.h"        // nand_layout, layout_code
#include "status/status.h"        // status

struct probe_candidate {
  layout_code code;           // the layout's code with this variant's order, mask, padding, t
  decode_count count;         // verdicts of the sampled steps
  double chance = 1;          // share of random steps that would decode
  double log10_evidence = 0;  // log10 of the odds that chance decodes as many
};

struct probe_findings {
  status error;              // failed: the dump could not be read
  std::int64_t sampled = 0;  // distinct steps tried, none nearly erased; 0 when every one read was
  // Every variant that builds and fits the layout, best first: the one whose count random data
  // is least likely to reach; among equals the one with more clean steps, then the larger t.
  // Empty when nothing was sampled or no variant builds.
  std::vector<probe_candidate> candidates;
};

// Reads whole pages of `layout` from the start of the dump (`dump_bytes` bytes) until `steps`
// distinct steps that are not nearly erased are gathered (a step whose message and ECC are each
// within 8 zero bits of all 0xFF is skipped, as is one equal to a step gathered before: it would
// only repeat its evidence), then decodes them under the
// layout's code with both bit orders, the masks none and erased-ff (and the layout's own byte
// mask, when it names one), and t = 1 ... 8. With `vary_padding`, both paddings too (where the
// parity leaves bits unused), and t up to what the smallest ECC span holds (at most 200).
// Fails only when a page cannot be read.
// REQUIRES: check_layout(layout) passed; 1 <= steps <= 100000.
probe_findings probe_code(const detect_reader& read, std::int64_t dump_bytes,
                          const nand_layout& layout, bool vary_padding, int steps);
