// Random page layouts for the layout tests: every one passes check_layout, with several data
// and protected spans per step, scattered or in order, with or without a bad-block marker and
// each code option, so that gather, scatter and the layout file meet shapes no hand-written
// case has.
#pragma once

#include <algorithm>  // std::shuffle, std::min
#include <cstdint>    // std::int32_t, std::int64_t, std::uint32_t
#include <random>     // std::mt19937, std::uniform_int_distribution
#include <string>     // std::string
#include <vector>     // std::vector

#include "layout/layout.h"  // nand_layout

namespace layout_test {

inline std::int64_t draw(std::mt19937& rng, std::int64_t low, std::int64_t high) {
  return std::uniform_int_distribution<std::int64_t>(low, high)(rng);
}

// A layout whose spans are pieces of the raw page cut at random points; the pieces are handed
// to the steps either in page order or shuffled, and some are left to no step at all.
inline nand_layout random_layout(std::mt19937& rng) {
  nand_layout layout;
  static const char* const names[] = {"", "random", "quote \" and back\\slash",
                                      "tab-free, ümlaut and ✓", "x"};
  layout.name = names[draw(rng, 0, 4)];
  layout.source = "random";
  layout.page_size = static_cast<std::int32_t>(draw(rng, 64, 4096));
  layout.spare_size = static_cast<std::int32_t>(draw(rng, 8, 512));
  layout.block_pages = static_cast<std::int32_t>(draw(rng, 1, 512));
  const std::int64_t raw = raw_page_bytes(layout);

  std::vector<layout_span> pieces;
  for (std::int64_t at = 0; at < raw;) {
    const std::int64_t length =
        std::min(draw(rng, 1, std::min<std::int64_t>(96, raw / 16)), raw - at);
    pieces.push_back({at, length});
    at += length;
  }
  if (draw(rng, 0, 1) == 1)
    std::shuffle(pieces.begin(), pieces.end(), rng);
  std::size_t next = 0;
  const auto take = [&]() { return pieces[next++]; };

  const std::int64_t most_steps = std::min<std::int64_t>(12, pieces.size() / 7);
  const std::int64_t steps = draw(rng, 1, std::max<std::int64_t>(1, most_steps));
  for (std::int64_t k = 0; k < steps && next + 7 <= pieces.size(); ++k) {
    layout_step step;
    for (std::int64_t j = draw(rng, 1, 3); j > 0; --j)
      step.data.push_back(take());
    for (std::int64_t j = draw(rng, 0, 2); j > 0; --j)
      step.protected_.push_back(take());
    step.ecc = take();
    if (draw(rng, 0, 3) == 0)
      next += 1;  // a piece no step uses
    layout.steps.push_back(step);
  }

  layout_code& code = layout.code;
  code.m = static_cast<int>(draw(rng, kLayoutMinDegree, kLayoutMaxDegree));
  code.t = static_cast<int>(draw(rng, 1, 40));
  if (draw(rng, 0, 1) == 1)
    code.primitive_polynomial = (std::uint32_t{1} << code.m) |
                                static_cast<std::uint32_t>(draw(rng, 0, (1 << code.m) - 1)) | 1u;
  code.lsb_first = draw(rng, 0, 1) == 1;
  code.pad_start = draw(rng, 0, 1) == 1;
  switch (draw(rng, 0, 2)) {
    case 0:
      code.mask = layout_mask::none;
      break;
    case 1:
      code.mask = layout_mask::erased_ff;
      break;
    default: {
      // A byte mask needs ECC spans of one length: cut each to the shortest.
      std::int64_t shortest = layout.steps[0].ecc.length;
      for (const layout_step& step : layout.steps)
        shortest = std::min(shortest, step.ecc.length);
      for (layout_step& step : layout.steps)
        step.ecc.length = shortest;
      code.mask = layout_mask::bytes;
      for (std::int64_t i = 0; i < shortest; ++i)
        code.mask_bytes.push_back(static_cast<std::uint8_t>(draw(rng, 0, 255)));
    }
  }

  if (next < pieces.size() && draw(rng, 0, 1) == 1) {
    layout.bad_block.present = true;
    layout.bad_block.marker = take();
    const std::int32_t n = layout.block_pages;
    for (std::int64_t j = draw(rng, 1, 3); j > 0; --j)
      layout.bad_block.pages.push_back(static_cast<std::int32_t>(draw(rng, -n, n - 1)));
  }
  return layout;
}

// A layout as a controller would lay it out: `steps` steps of the same shape, each shifted by
// its own strides for data, protected and ECC bytes, so that the layout file can write them as
// one repeated table; a last step of another shape follows now and then.
inline nand_layout regular_layout(std::mt19937& rng) {
  nand_layout layout;
  layout.name = "regular";
  layout.source = "regular";
  const std::int64_t steps = draw(rng, 1, 8);
  const std::int64_t data = draw(rng, 16, 512);
  const std::int64_t protected_bytes = draw(rng, 0, 3) == 0 ? 0 : draw(rng, 1, 8);
  const std::int64_t ecc = draw(rng, 2, 40);
  const bool interleaved = draw(rng, 0, 1) == 1;
  layout.page_size = static_cast<std::int32_t>(steps * data + draw(rng, 0, 600));
  const std::int64_t spare_need = steps * (protected_bytes + ecc) + 700;
  layout.spare_size = static_cast<std::int32_t>(spare_need + draw(rng, 0, 64));
  layout.block_pages = 64;
  layout.code.m = 13;
  layout.code.t = 4;
  for (std::int64_t k = 0; k < steps; ++k) {
    layout_step step;
    if (interleaved) {
      const std::int64_t chunk = k * (data + protected_bytes + ecc);
      step.data = {{chunk, data}};
      if (protected_bytes > 0)
        step.protected_ = {{chunk + data, protected_bytes}};
      step.ecc = {chunk + data + protected_bytes, ecc};
    } else {
      step.data = {{k * data, data}};
      const std::int64_t spare = layout.page_size + 2;
      if (protected_bytes > 0)
        step.protected_ = {{spare + k * protected_bytes, protected_bytes}};
      step.ecc = {spare + steps * protected_bytes + k * ecc, ecc};
    }
    layout.steps.push_back(step);
  }
  if (draw(rng, 0, 1) == 1) {
    // A last step split in two, in the bytes after everything else.
    const std::int64_t end = raw_page_bytes(layout) - 650;
    layout_step last;
    last.data = {{end, 100}, {end + 110, 50}};
    last.protected_ = {{end + 105, 5}};
    last.ecc = {end + 200, ecc};
    layout.steps.push_back(last);
  }
  return layout;
}

}  // namespace layout_test
