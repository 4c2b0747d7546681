// Dumps made for the search's tests and its success-rate bench, the truth being the layout and
// its ECC the engine's: generate_dump draws from the family controllers use, generate_varied_dump
// from layouts it never makes (varying spare bytes, holes, protected bytes apart from their ECC),
// generate_parity_dump carries a real ECC that is not BCH, generate_bits_dump steps that count
// bits; named layouts spare tests building them.
#pragma once

#include <algorithm>  // std::min, std::max, std::find, std::shuffle
#include <cstdint>    // std::int32_t, std::int64_t, std::uint8_t, std::uint32_t
#include <random>     // std::mt19937, std::uniform_int_distribution
#include <string>     // std::string, std::to_string
#include <vector>     // std::vector

#include "codec/codec.h"        // bch_code_init, bch_encode, bch_parity_bit
#include "codec/layout_code.h"  // build_code
#include "codec/step_frame.h"   // step_frame, frame_step, frame_offset, scatter_frame_ecc
#include "layout/bit_spans.h"   // get_bit, set_bit, gather_message_bits, gather_span_bits
#include "layout/layout.h"      // nand_layout, scatter_message, message_byte_offset

namespace detect_test {

inline std::int64_t draw(std::mt19937& rng, std::int64_t low, std::int64_t high) {
  return std::uniform_int_distribution<std::int64_t>(low, high)(rng);
}

struct generated_dump {
  nand_layout truth;
  int parity_bits = 0;
  bool interleaved = false;
  std::int64_t pages = 0;
  std::vector<std::uint8_t> bytes;
  std::string summary;  // the drawn parameters, for failure messages
};

inline std::string hex(std::uint32_t v) {
  std::string out;
  do {
    out.insert(out.begin(), "0123456789ABCDEF"[v % 16]);
    v /= 16;
  } while (v != 0);
  return "0x" + out;
}

// Fills `out` with one step's worth of content of a kind real pages hold.
inline void fill_content(std::mt19937& rng, std::uint8_t* out, std::int64_t bytes) {
  static const char* const words[] = {"the ",   "flash ", "block ", "page ", "data ",   "log: ",
                                      "error ", "value=", "0x1F ",  "\n",    "config ", "ok "};
  const auto kind = draw(rng, 0, 4);
  for (std::int64_t i = 0; i < bytes;) {
    // Mixed pages change their kind every run.
    const auto here = kind == 4 ? draw(rng, 0, 3) : kind;
    const std::int64_t run = kind == 4 ? std::min(bytes - i, draw(rng, 16, 200)) : bytes - i;
    for (std::int64_t j = 0; j < run; ++j) {
      switch (here) {
        case 0:
          out[i + j] = 0x00;
          break;
        case 1:
          out[i + j] = draw(rng, 0, 40) == 0 ? static_cast<std::uint8_t>(draw(rng, 0, 255)) : 0xFF;
          break;
        case 2: {
          const char* w = words[draw(rng, 0, 11)];
          for (; *w != '\0' && j < run; ++w, ++j)
            out[i + j] = static_cast<std::uint8_t>(*w);
          --j;
          break;
        }
        default:
          out[i + j] = static_cast<std::uint8_t>(draw(rng, 0, 255));
      }
    }
    i += run;
  }
}

// A primitive polynomial of degree m other than the tabled one, found by trying odd ones.
inline std::uint32_t other_primitive(std::mt19937& rng, int m) {
  for (;;) {
    const auto p = static_cast<std::uint32_t>((1u << m) | draw(rng, 0, (1 << m) - 1) | 1u);
    bch_code code;
    bch_code_options o;
    o.primitive_polynomial = p;
    if (bch_code_init(code, m, 4, o).ok())
      return p;
  }
}

// A byte outside every step that a programmed page writes, different from page to page: the
// low byte of the page number (plus the offset, so columns differ) or a random byte.
struct varying_byte {
  std::int64_t offset = 0;  // in the raw page
  bool counter = false;
};

// Draws a code for steps of `message` bytes with `budget` spare bytes a step for the ECC:
// m 13 ... 15, t 4 ... 40 as the budget allows, the tabled or another polynomial, either bit
// order, padding side and mask. False when the draw does not fit (the caller draws again).
inline bool draw_code(std::mt19937& rng, std::int64_t message, std::int64_t budget,
                      layout_code& code) {
  code.m = static_cast<int>(draw(rng, 13, 15));
  if (8 * message + 4 * code.m >= (1 << code.m))
    return false;  // the field is too small for the step
  const int most_t = static_cast<int>(std::min<std::int64_t>(40, 8 * budget / code.m));
  if (most_t < 4)
    return false;
  code.t = static_cast<int>(draw(rng, 4, most_t));
  if (draw(rng, 0, 1) == 1)
    code.primitive_polynomial = other_primitive(rng, code.m);
  code.lsb_first = draw(rng, 0, 1) == 1;
  code.pad_start = draw(rng, 0, 1) == 1;
  code.mask = static_cast<layout_mask>(draw(rng, 0, 2));
  return true;
}

// How fill_pages writes pages.
struct page_knobs {
  std::int64_t header = 0;  // bytes at the start of a page that hold its number, then 0x5A
  bool with_ecc = true;     // false: random bytes where the ECC would be
  int error_one_in = 5;     // 1 in this many steps gets 1 ... most_flips bit errors; with 1,
                            // every step gets 0 ... most_flips
  int most_flips = 3;
  // A worn chip: every programmed step gets 1 ... max(1, t / 2) bit errors (t of the layout's
  // code), uniform, on distinct bits of its message and parity; error_one_in and most_flips are
  // then not used.
  bool worn = false;
  std::vector<varying_byte> varying;  // written on every programmed page
};

// Flips `flips` distinct bits of a step's codeword as stored: bits of its message bytes or
// parity bits of its ECC, never an unused ECC bit, which no decoder reads, so that the step
// carries exactly that many errors.
inline void flip_codeword_bits(std::mt19937& rng, std::uint8_t* page, const layout_step& s,
                               const bch_code& built, std::int64_t flips) {
  const std::int64_t message_bits = 8 * step_message_bytes(s);
  std::vector<std::int64_t> chosen;
  while (static_cast<std::int64_t>(chosen.size()) < flips) {
    const std::int64_t bit = draw(rng, 0, message_bits + built.parity_bits - 1);
    if (std::find(chosen.begin(), chosen.end(), bit) == chosen.end())
      chosen.push_back(bit);
  }
  for (const std::int64_t bit : chosen) {
    std::int64_t at = 0;
    int which = 0;
    if (bit < message_bits) {
      at = message_byte_offset(s, bit / 8);
      which = static_cast<int>(bit % 8);
    } else {
      const bch_bit_fix parity = bch_parity_bit(built, static_cast<int>(bit - message_bits));
      at = s.ecc.offset + parity.byte;
      which = parity.bit;
    }
    page[at] = static_cast<std::uint8_t>(page[at] ^ (1u << which));
  }
}

// Pages of `layout` with its code `built`: 1 in 12 erased, 1 in 10 written only in their first
// steps, each written step's data of a kind fill_content draws, its protected bytes the page
// number and random bytes, its ECC as the code computes it, the varying bytes, and bit errors
// as the knobs say.
inline std::vector<std::uint8_t> fill_pages(std::mt19937& rng, const nand_layout& layout,
                                            const bch_code& built, std::int64_t pages,
                                            const page_knobs& knobs) {
  const std::int64_t raw = raw_page_bytes(layout);
  const auto steps = static_cast<std::int64_t>(layout.steps.size());
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(pages * raw), 0xFF);
  std::vector<std::uint8_t> message, stored;
  for (std::int64_t n = 0; n < pages; ++n) {
    std::uint8_t* page = bytes.data() + n * raw;
    if (draw(rng, 0, 11) == 0)
      continue;  // erased
    const std::int64_t written = draw(rng, 0, 9) == 0 ? draw(rng, 1, steps) : steps;
    for (std::int64_t h = 0; h < knobs.header; ++h)
      page[h] = h < 2 ? static_cast<std::uint8_t>(n >> (8 * h)) : static_cast<std::uint8_t>(0x5A);
    for (const varying_byte& v : knobs.varying)
      page[v.offset] = static_cast<std::uint8_t>(v.counter ? n + v.offset : draw(rng, 0, 255));
    for (std::int64_t k = 0; k < written; ++k) {
      const layout_step& s = layout.steps[static_cast<std::size_t>(k)];
      const std::int64_t data = step_data_bytes(s);
      const std::int64_t ecc = s.ecc.length;
      message.assign(static_cast<std::size_t>(step_message_bytes(s)), 0);
      fill_content(rng, message.data(), data);
      for (std::int64_t j = data; j < static_cast<std::int64_t>(message.size()); ++j)
        message[j] = static_cast<std::uint8_t>(j == data ? n : draw(rng, 0, 255));
      scatter_message(page, s, message.data());
      stored.assign(static_cast<std::size_t>(ecc), 0);
      if (knobs.with_ecc) {
        bch_encode(built, message.data(), message.size(), stored.data());
      } else {
        for (auto& b : stored)
          b = static_cast<std::uint8_t>(draw(rng, 0, 255));
      }
      std::copy(stored.begin(), stored.end(), page + s.ecc.offset);
      if (knobs.worn) {
        flip_codeword_bits(rng, page, s, built, draw(rng, 1, std::max(1, layout.code.t / 2)));
        continue;
      }
      // These draws stay as they were, so that the seeds of the tests keep their dumps; a flip
      // may land on an unused ECC bit, or twice on one bit.
      std::int64_t flips = 0;
      if (knobs.error_one_in <= 1)
        flips = draw(rng, 0, knobs.most_flips);
      else if (draw(rng, 1, knobs.error_one_in) == 1)
        flips = draw(rng, 1, knobs.most_flips);
      const auto message_bytes = static_cast<std::int64_t>(message.size());
      for (; flips > 0; --flips) {
        const std::int64_t bit = draw(rng, 0, 8 * (message_bytes + ecc) - 1);
        const std::int64_t at = bit / 8 < message_bytes ? message_byte_offset(s, bit / 8)
                                                        : s.ecc.offset + bit / 8 - message_bytes;
        page[at] = static_cast<std::uint8_t>(page[at] ^ (1u << (bit % 8)));
      }
    }
  }
  return bytes;
}

// Draws a dump. With `with_ecc` false the same pages carry no ECC at all: the ECC bytes are
// random. `noise` sets the bit errors (page_knobs' error_one_in, most_flips and worn); the rest
// it leaves.
inline generated_dump generate_dump(std::mt19937& rng, bool with_ecc = true,
                                    std::int64_t pages = 64, const page_knobs& noise = {}) {
  generated_dump d;
  static const std::int32_t geometries[][2] = {
      {2048, 64}, {2048, 128}, {4096, 128}, {4096, 224}, {4096, 256}};
  for (;;) {
    const auto& geometry = geometries[draw(rng, 0, 4)];
    nand_layout& layout = d.truth;
    layout = nand_layout{};
    layout.name = "truth";
    layout.source = "generated";
    layout.page_size = geometry[0];
    layout.spare_size = geometry[1];
    layout.block_pages = 64;
    const std::int64_t raw = raw_page_bytes(layout);
    d.interleaved = draw(rng, 0, 1) == 1;
    const std::int64_t step = draw(rng, 0, 2) == 0 ? 1024 : 512;
    const std::int64_t steps = layout.page_size / step;
    const std::int64_t protected_bytes = draw(rng, 0, 2) == 0 ? draw(rng, 1, 8) : 0;
    const std::int64_t header = d.interleaved && draw(rng, 0, 1) == 1 ? draw(rng, 1, 8) : 0;
    const std::int64_t reserved = d.interleaved ? header : draw(rng, 0, 1) * 2 + draw(rng, 0, 8);
    const std::int64_t budget = (raw - layout.page_size - reserved) / steps - protected_bytes;
    layout_code& code = layout.code;
    if (!draw_code(rng, step + protected_bytes, budget, code))
      continue;
    bch_code built;
    code.mask_bytes.clear();
    if (code.mask == layout_mask::bytes) {
      for (int i = 0; i < 200; ++i)
        code.mask_bytes.push_back(static_cast<std::uint8_t>(draw(rng, 0, 255)));
    }
    if (!build_code(code, built).ok())
      continue;
    if (8 * (step + protected_bytes) + built.parity_bits > (1 << code.m) - 1)
      continue;
    const std::int64_t ecc = built.ecc_bytes;
    if (ecc > budget)
      continue;
    if (code.mask == layout_mask::bytes)
      code.mask_bytes.resize(static_cast<std::size_t>(ecc));
    d.parity_bits = built.parity_bits;
    const bool bad_block_bytes = !d.interleaved && reserved >= 2;
    for (std::int64_t k = 0; k < steps; ++k) {
      layout_step s;
      if (d.interleaved) {
        const std::int64_t at = header + k * (step + protected_bytes + ecc);
        s.data = {{at, step}};
        if (protected_bytes > 0)
          s.protected_ = {{at + step, protected_bytes}};
        s.ecc = {at + step + protected_bytes, ecc};
      } else {
        const std::int64_t at = layout.page_size + reserved + k * (protected_bytes + ecc);
        s.data = {{k * step, step}};
        if (protected_bytes > 0)
          s.protected_ = {{at, protected_bytes}};
        s.ecc = {at + protected_bytes, ecc};
      }
      layout.steps.push_back(s);
    }
    if (bad_block_bytes) {
      layout.bad_block.present = true;
      layout.bad_block.marker = {layout.page_size, 1};
      layout.bad_block.pages = {0};
    }
    if (!check_layout(layout).ok())
      continue;

    d.summary = std::string(d.interleaved ? "interleaved" : "spare-at-end") + " " +
                std::to_string(layout.page_size) + "+" + std::to_string(layout.spare_size) +
                " step " + std::to_string(step) + " protected " + std::to_string(protected_bytes) +
                " header/reserved " + std::to_string(reserved) + " m " + std::to_string(code.m) +
                " t " + std::to_string(code.t) + " p " + hex(code.primitive_polynomial) + " " +
                (code.lsb_first ? "lsb" : "msb") + " pad " + (code.pad_start ? "start" : "end") +
                " mask " + std::to_string(static_cast<int>(code.mask)) + " ecc " +
                std::to_string(ecc);

    page_knobs knobs;
    knobs.header = header;
    knobs.with_ecc = with_ecc;
    knobs.error_one_in = noise.error_one_in;
    knobs.most_flips = noise.most_flips;
    knobs.worn = noise.worn;
    d.pages = pages;
    d.bytes = fill_pages(rng, layout, built, pages, knobs);
    return d;
  }
}

// Four steps of 512 data bytes on 2048 + 64-byte pages, each in its own 528 bytes: with `tags`,
// 8 protected bytes (a file system's tags inside the codeword), 7 ECC bytes and one constant
// 0xFF pad byte outside every step; without, the 7 ECC bytes right after the data and 9 bytes
// left alone. The code: m = 13, t = 4, tabled polynomial, msb first, no mask.
inline nand_layout four_step_layout(bool tags) {
  nand_layout layout;
  layout.name = tags ? "phone" : "four steps";
  layout.source = "generated";
  layout.page_size = 2048;
  layout.spare_size = 64;
  layout.block_pages = 64;
  layout.code.m = 13;
  layout.code.t = 4;
  for (std::int64_t k = 0; k < 4; ++k) {
    layout_step s;
    s.data = {{528 * k, 512}};
    if (tags)
      s.protected_ = {{528 * k + 512, 8}};
    s.ecc = {528 * k + (tags ? 520 : 512), 7};
    layout.steps.push_back(s);
  }
  return layout;
}

// A phone's layout: four_step_layout with the tags.
inline nand_layout phone_layout() {
  return four_step_layout(true);
}

// "k:n,k:n" for the holes of n bytes after step k, "none" when there is none.
inline std::string holes_text(const std::vector<std::int64_t>& holes) {
  std::string out;
  for (std::size_t k = 0; k < holes.size(); ++k) {
    if (holes[k] > 0)
      out += (out.empty() ? "" : ",") + std::to_string(k) + ":" + std::to_string(holes[k]);
  }
  return out.empty() ? "none" : out;
}

// Draws a dump of a kind generate_dump never makes (its draws are its own, so generate_dump's
// seeds keep their dumps): geometries up to 8192 + 448; interleaved steps with a page header and
// holes of 1 ... 8 bytes between some steps, or data first (sometimes shifted by a header of
// 1 ... 8 bytes) and the spare holding bad-block bytes, free bytes, each step's protected bytes
// and ECC, or every step's protected bytes first and the ECCs after them, with holes between
// ECC groups; 1 ... 16 bytes after the last ECC; every byte outside the codewords but the
// bad-block marker varies from page to page. The code as generate_dump draws it. `noise` sets
// the bit errors as in generate_dump.
inline generated_dump generate_varied_dump(std::mt19937& rng, std::int64_t pages = 64,
                                           const page_knobs& noise = {}) {
  static const std::int32_t geometries[][2] = {
      {2048, 64}, {2048, 128}, {4096, 224}, {4096, 256}, {8192, 448}};
  for (;;) {
    generated_dump d;
    const auto& geometry = geometries[draw(rng, 0, 4)];
    nand_layout& layout = d.truth;
    layout.name = "truth";
    layout.source = "generated";
    layout.page_size = geometry[0];
    layout.spare_size = geometry[1];
    layout.block_pages = 64;
    const std::int64_t raw = raw_page_bytes(layout);
    d.interleaved = draw(rng, 0, 1) == 1;
    const std::int64_t step = draw(rng, 0, 1) == 0 ? 1024 : 512;
    const std::int64_t steps = layout.page_size / step;
    // Spare-at-end only: every step's protected bytes first, the ECCs after them.
    const bool grouped = !d.interleaved && draw(rng, 0, 1) == 1;
    const std::int64_t protected_bytes = grouped || draw(rng, 0, 2) == 0 ? draw(rng, 1, 8) : 0;
    // Interleaved: the page header; spare-at-end: the bytes the data is shifted by.
    const std::int64_t header = draw(rng, 0, 1) == 1 ? draw(rng, 1, 8) : 0;
    const std::int64_t bad_block = !d.interleaved && draw(rng, 0, 1) == 1 ? 2 : 0;
    // holes[k] bytes follow step k's ECC (its whole step when interleaved).
    std::vector<std::int64_t> holes(static_cast<std::size_t>(steps), 0);
    for (std::int64_t k = 0; k + 1 < steps; ++k)
      holes[k] = draw(rng, 0, 2) == 0 ? draw(rng, 1, 8) : 0;
    std::int64_t hole_bytes = 0;
    for (const std::int64_t h : holes)
      hole_bytes += h;
    std::int64_t tail = draw(rng, 1, 16);
    // Interleaved pages end with the tail: what the steps leave goes to it and the holes (below).
    const std::int64_t outside =
        d.interleaved ? header + hole_bytes + 1 : header + bad_block + hole_bytes + tail;
    const std::int64_t budget = (raw - layout.page_size - outside) / steps - protected_bytes;
    layout_code& code = layout.code;
    if (!draw_code(rng, step + protected_bytes, budget, code))
      continue;
    if (code.mask == layout_mask::bytes) {
      for (int i = 0; i < 200; ++i)
        code.mask_bytes.push_back(static_cast<std::uint8_t>(draw(rng, 0, 255)));
    }
    bch_code built;
    if (!build_code(code, built).ok())
      continue;
    if (8 * (step + protected_bytes) + built.parity_bits > (1 << code.m) - 1)
      continue;
    const std::int64_t ecc = built.ecc_bytes;
    if (ecc > budget)
      continue;
    if (code.mask == layout_mask::bytes)
      code.mask_bytes.resize(static_cast<std::size_t>(ecc));
    d.parity_bits = built.parity_bits;
    std::int64_t left = raw - layout.page_size - steps * (protected_bytes + ecc) - outside;
    std::int64_t free_bytes = 0;
    if (d.interleaved) {
      // What the steps leave: the drawn tail, then the holes up to 8 bytes each (in a random
      // order of steps), then the tail up to 16; a t that leaves more is drawn again.
      tail = std::min(tail, left + 1);
      left -= tail - 1;
      std::vector<std::int64_t> order;
      for (std::int64_t k = 0; k + 1 < steps; ++k)
        order.push_back(k);
      std::shuffle(order.begin(), order.end(), rng);
      for (const std::int64_t k : order) {
        const std::int64_t more = std::min(left, 8 - holes[k]);
        holes[k] += more;
        left -= more;
      }
      const std::int64_t more = std::min(left, 16 - tail);
      tail += more;
      left -= more;
      if (left > 0)
        continue;
    } else {
      free_bytes = left;
    }
    std::vector<varying_byte> varying;
    const auto vary = [&](std::int64_t at, std::int64_t count) {
      for (std::int64_t i = 0; i < count; ++i)
        varying.push_back({at + i, draw(rng, 0, 3) == 0});
    };
    vary(0, header);
    if (d.interleaved) {
      std::int64_t at = header;
      for (std::int64_t k = 0; k < steps; ++k) {
        layout_step s;
        s.data = {{at, step}};
        if (protected_bytes > 0)
          s.protected_ = {{at + step, protected_bytes}};
        s.ecc = {at + step + protected_bytes, ecc};
        layout.steps.push_back(s);
        at += step + protected_bytes + ecc;
        vary(at, holes[k]);
        at += holes[k];
      }
      vary(at, tail);
    } else {
      const std::int64_t spare = layout.page_size + header;  // where the data ends
      if (bad_block > 0) {
        layout.bad_block.present = true;
        layout.bad_block.marker = {spare, 1};
        layout.bad_block.pages = {0};
      }
      vary(spare + bad_block, free_bytes);
      std::int64_t at = spare + bad_block + free_bytes;
      const std::int64_t first_ecc = at + (grouped ? steps * protected_bytes : 0);
      for (std::int64_t k = 0; k < steps; ++k) {
        layout_step s;
        s.data = {{header + k * step, step}};
        if (grouped)
          s.protected_ = {{at + k * protected_bytes, protected_bytes}};
        layout.steps.push_back(s);
      }
      at = first_ecc;
      for (std::int64_t k = 0; k < steps; ++k) {
        layout_step& s = layout.steps[static_cast<std::size_t>(k)];
        if (!grouped && protected_bytes > 0) {
          s.protected_ = {{at, protected_bytes}};
          at += protected_bytes;
        }
        s.ecc = {at, ecc};
        at += ecc;
        vary(at, holes[k]);
        at += holes[k];
      }
      vary(at, tail);
    }
    if (!check_layout(layout).ok() || static_cast<std::int64_t>(varying.size()) + bad_block +
                                              steps * (step + protected_bytes + ecc) !=
                                          raw)
      continue;  // never: the layout fills the raw page, and only with what it names

    std::int64_t counters = 0;
    for (const varying_byte& v : varying)
      counters += v.counter;
    d.summary =
        std::string("varied ") +
        (d.interleaved ? "interleaved header " + std::to_string(header)
                       : std::string("spare-at-end ") + (grouped ? "grouped" : "paired") +
                             " data-offset " + std::to_string(header) + " bad-block " +
                             std::to_string(bad_block) + " free " + std::to_string(free_bytes)) +
        " " + std::to_string(layout.page_size) + "+" + std::to_string(layout.spare_size) +
        " step " + std::to_string(step) + " protected " + std::to_string(protected_bytes) +
        " holes " + holes_text(holes) + " tail " + std::to_string(tail) + " varying " +
        std::to_string(varying.size()) + " (" + std::to_string(counters) + " counters) m " +
        std::to_string(code.m) + " t " + std::to_string(code.t) + " p " +
        hex(code.primitive_polynomial) + " " + (code.lsb_first ? "lsb" : "msb") + " pad " +
        (code.pad_start ? "start" : "end") + " mask " +
        std::to_string(static_cast<int>(code.mask)) + " ecc " + std::to_string(ecc);

    page_knobs knobs = noise;
    knobs.header = 0;
    knobs.with_ecc = true;
    knobs.varying = varying;
    d.pages = pages;
    d.bytes = fill_pages(rng, layout, built, pages, knobs);
    return d;
  }
}

// Old SmartMedia-like ECC of 256 bytes, 3 bytes: 16 line parities (for each bit j of the byte
// index, the parity of the bytes whose index has bit j clear, then set), 6 column parities
// (bits 0,2,4,6 / 1,3,5,7 / 0,1,4,5 / 2,3,6,7 / 0-3 / 4-7 of all bytes), two unused bits, all
// inverted so that erased data has all-0xFF ECC. A linear code, but no cyclic one: no BCH.
inline void row_column_parity(const std::uint8_t* data, std::uint8_t* out) {
  const auto parity = [](unsigned v) {
    v ^= v >> 4;
    v ^= v >> 2;
    v ^= v >> 1;
    return v & 1u;
  };
  std::uint32_t lines = 0;
  unsigned columns = 0;
  for (unsigned i = 0; i < 256; ++i) {
    columns ^= data[i];
    if (parity(data[i]) != 0) {
      for (unsigned j = 0; j < 8; ++j)
        lines ^= 1u << (2 * j + ((i >> j) & 1u));
    }
  }
  const unsigned column = parity(columns & 0x55) | parity(columns & 0xAA) << 1 |
                          parity(columns & 0x33) << 2 | parity(columns & 0xCC) << 3 |
                          parity(columns & 0x0F) << 4 | parity(columns & 0xF0) << 5;
  out[0] = static_cast<std::uint8_t>(~lines);
  out[1] = static_cast<std::uint8_t>(~(lines >> 8));
  out[2] = static_cast<std::uint8_t>(~(column << 2));
}

// A dump whose ECC is real but no BCH code: 2048 + 64-byte pages, four steps of 512 data bytes,
// each with 6 bytes of row_column_parity (one 3-byte group per 256 bytes) at spare bytes
// 40 + 6k ..., as large-page Hamming layouts keep them; spare bytes 2 and 3 hold the page number,
// 4 ... 7 random bytes; 1 in 12 pages erased. The truth's steps say where data and parity lie;
// its code names nothing of this dump (parity_bits 0).
inline generated_dump generate_parity_dump(std::mt19937& rng, std::int64_t pages = 64) {
  generated_dump d;
  d.truth = four_step_layout(false);
  d.truth.name = "truth";
  for (std::int64_t k = 0; k < 4; ++k) {
    d.truth.steps[static_cast<std::size_t>(k)].data = {{512 * k, 512}};
    d.truth.steps[static_cast<std::size_t>(k)].ecc = {2048 + 40 + 6 * k, 6};
  }
  d.pages = pages;
  d.bytes.assign(static_cast<std::size_t>(pages * 2112), 0xFF);
  for (std::int64_t n = 0; n < pages; ++n) {
    std::uint8_t* page = d.bytes.data() + n * 2112;
    if (draw(rng, 0, 11) == 0)
      continue;
    fill_content(rng, page, 2048);
    page[2048 + 2] = static_cast<std::uint8_t>(n);
    page[2048 + 3] = static_cast<std::uint8_t>(n >> 8);
    for (std::int64_t i = 4; i < 8; ++i)
      page[2048 + i] = static_cast<std::uint8_t>(draw(rng, 0, 255));
    for (std::int64_t half = 0; half < 8; ++half)
      row_column_parity(page + 256 * half, page + 2048 + 40 + 3 * half);
  }
  d.summary = "parity 2048+64 row/column parity 3 bytes a 256, at spare 40 ... 63";
  return d;
}

// Every step's data bytes of every whole page, in page and step order, as read (no correction,
// no block left out): what extract writes of a dump without bad blocks.
inline std::vector<std::uint8_t> extracted_data(const nand_layout& layout,
                                                const std::vector<std::uint8_t>& dump) {
  const std::int64_t raw = raw_page_bytes(layout);
  std::vector<std::uint8_t> out;
  for (std::int64_t n = 0; raw > 0 && (n + 1) * raw <= static_cast<std::int64_t>(dump.size());
       ++n) {
    const std::uint8_t* page = dump.data() + n * raw;
    for (const layout_step& s : layout.steps) {
      for (const layout_span& span : s.data)
        out.insert(out.end(), page + span.offset, page + span.offset + span.length);
    }
  }
  return out;
}

// Pages of a layout of bit steps: 1 in 12 erased, the rest random bytes but for each step's last
// `zero_tail` message bits (zero, as controllers leave the bits that round their protected span
// out), each step's parity encoded through its frame, and bit errors as the knobs say (on
// distinct bits of the message and parity).
inline std::vector<std::uint8_t> fill_bit_pages(std::mt19937& rng, const nand_layout& layout,
                                                const bch_code& built, std::int64_t pages,
                                                const page_knobs& knobs = {},
                                                std::int64_t zero_tail = 4) {
  const std::int64_t raw = raw_page_bytes(layout);
  const bool lsb = layout.code.lsb_first;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(pages * raw), 0xFF);
  std::vector<std::uint8_t> message, ecc(static_cast<std::size_t>(built.ecc_bytes));
  for (std::int64_t n = 0; n < pages; ++n) {
    if (draw(rng, 0, 11) == 0)
      continue;
    std::uint8_t* page = bytes.data() + n * raw;
    for (std::int64_t i = 0; i < raw; ++i)
      page[i] = static_cast<std::uint8_t>(draw(rng, 0, 255));
    for (const layout_step& s : layout.steps) {
      const std::int64_t bits = step_message_bits(s);
      for (std::int64_t j = bits - zero_tail; j < bits; ++j)
        set_bit(page, message_bit_offset(s, j), false, lsb);
      const step_frame frame = frame_step(layout, built, s);
      message.assign(frame.message_bytes, 0);
      gather_message_bits(page, s, lsb, message.data());
      bch_encode(built, message.data(), message.size(), ecc.data(), frame_offset(frame));
      scatter_frame_ecc(frame, s, lsb, page, ecc.data());
      std::int64_t flips = 0;
      if (knobs.worn)
        flips = draw(rng, 1, std::max(1, layout.code.t / 2));
      else if (knobs.error_one_in <= 1)
        flips = draw(rng, 0, knobs.most_flips);
      else if (draw(rng, 1, knobs.error_one_in) == 1)
        flips = draw(rng, 1, knobs.most_flips);
      std::vector<std::int64_t> flipped;
      while (static_cast<std::int64_t>(flipped.size()) < flips) {
        const std::int64_t j = draw(rng, 0, bits + s.ecc.length - 1);
        if (std::find(flipped.begin(), flipped.end(), j) != flipped.end())
          continue;
        flipped.push_back(j);
        const std::int64_t b = j < bits ? message_bit_offset(s, j) : ecc_bit_offset(s, j - bits);
        set_bit(page, b, !get_bit(page, b, lsb), lsb);
      }
    }
  }
  return bytes;
}

// Draws a dump whose steps count bits, of one of two kinds:
// - spare groups: data first, then in the spare (after 2 bad-block bytes half the time) one
//   group of bytes a step: 1 ... 12 protected bytes and the bits that round them out to the
//   parity, which runs to the group's end (the rest of the spare left unused, 0xFF);
// - packed: chunks from bit 0, each followed at once by its parity, 0 ... 8 metadata bytes in
//   the first codeword after its data.
// Geometries 2048 + 64, 4096 + 224 and 8192 + 448; steps of 512 (m = 13 or 14) or 1024 data bytes
// (m = 14); t as the spare allows, with a parity that is no whole number of bytes; the tabled
// polynomial or another; either bit order; no mask or erased-ff. `noise` sets the bit errors as
// in generate_dump.
inline generated_dump generate_bits_dump(std::mt19937& rng, std::int64_t pages = 64,
                                         const page_knobs& noise = {}) {
  static const std::int32_t geometries[][2] = {{2048, 64}, {4096, 224}, {8192, 448}};
  for (;;) {
    generated_dump d;
    const auto& geometry = geometries[draw(rng, 0, 2)];
    nand_layout& layout = d.truth;
    layout.name = "truth";
    layout.source = "generated";
    layout.page_size = geometry[0];
    layout.spare_size = geometry[1];
    layout.block_pages = 64;
    const bool packed = draw(rng, 0, 1) == 1;
    const std::int64_t step = draw(rng, 0, 2) == 0 ? 1024 : 512;
    const std::int64_t steps = layout.page_size / step;
    layout_code& code = layout.code;
    code.m = step == 1024 ? 14 : static_cast<int>(draw(rng, 13, 14));
    const std::int64_t reserved = packed ? 0 : 2 * draw(rng, 0, 1);
    const std::int64_t meta = packed ? draw(rng, 0, 8) : 0;
    const std::int64_t tags = packed ? 0 : draw(rng, 1, 12);  // protected bytes a group
    const std::int64_t room = packed ? (8 * layout.spare_size - 8 * meta) / steps
                                     : 8 * ((layout.spare_size - reserved) / steps - tags);
    const int most_t = static_cast<int>(std::min<std::int64_t>(40, room / code.m));
    if (most_t < 2)
      continue;
    code.t = static_cast<int>(draw(rng, 2, most_t));
    if (draw(rng, 0, 3) == 0)
      code.primitive_polynomial = other_primitive(rng, code.m);
    code.lsb_first = draw(rng, 0, 1) == 1;
    code.mask = draw(rng, 0, 1) == 1 ? layout_mask::erased_ff : layout_mask::none;
    bch_code built;
    if (!build_code(code, built).ok())
      continue;
    const int r = built.parity_bits;
    if (r % 8 == 0 || r > room)
      continue;  // on the byte grid: a byte layout
    const std::int64_t group = tags + (r + 7) / 8;
    std::int64_t at = 0;
    std::int64_t tail = 0;  // message bits zero when written
    for (std::int64_t k = 0; k < steps; ++k) {
      layout_step s;
      s.bits = true;
      if (packed) {
        s.data = {{at, 8 * step}};
        at += 8 * step;
        if (k == 0 && meta > 0) {
          s.protected_ = {{at, 8 * meta}};
          at += 8 * meta;
        }
        s.ecc = {at, r};
        at += r;
      } else {
        const std::int64_t spare = 8 * (layout.page_size + reserved + k * group);
        s.data = {{8 * k * step, 8 * step}};
        s.protected_ = {{spare, 8 * group - r}};
        s.ecc = {spare + 8 * group - r, r};
        tail = (8 - r % 8) % 8;
      }
      layout.steps.push_back(s);
    }
    if (!check_layout(layout).ok() ||
        !check_layout_code(layout, built.parity_bits, built.max_data_bytes).ok())
      continue;
    d.parity_bits = r;
    d.summary = std::string(packed ? "packed" : "spare groups") + " " +
                std::to_string(layout.page_size) + "+" + std::to_string(layout.spare_size) +
                " step " + std::to_string(step) + (packed ? " meta " + std::to_string(meta) : "") +
                " m " + std::to_string(code.m) + " t " + std::to_string(code.t) + " p " +
                hex(code.primitive_polynomial) + " " + (code.lsb_first ? "lsb" : "msb") + " mask " +
                std::to_string(static_cast<int>(code.mask)) + " parity " + std::to_string(r);
    d.pages = pages;
    d.bytes = fill_bit_pages(rng, layout, built, pages, noise, tail);
    // Bits in no step read 1, as unwritten spare and good blocks' markers do.
    const std::int64_t raw = raw_page_bytes(layout);
    std::vector<bool> inside(static_cast<std::size_t>(8 * raw), false);
    for (const layout_step& s : layout.steps) {
      for (const auto* spans : {&s.data, &s.protected_})
        for (const layout_span& x : *spans)
          for (std::int64_t b = x.offset; b < x.offset + x.length; ++b)
            inside[static_cast<std::size_t>(b)] = true;
      for (std::int64_t b = s.ecc.offset; b < s.ecc.offset + s.ecc.length; ++b)
        inside[static_cast<std::size_t>(b)] = true;
    }
    for (std::int64_t n = 0; n < pages; ++n) {
      for (std::int64_t b = 0; b < 8 * raw; ++b) {
        if (!inside[static_cast<std::size_t>(b)])
          set_bit(d.bytes.data() + n * raw, b, true, code.lsb_first);
      }
    }
    return d;
  }
}

// Every step's data bits of every page, as read, each step's packed into whole bytes (a byte
// step's bytes as they stand).
inline std::vector<std::uint8_t> extracted_bits(const nand_layout& layout,
                                                const std::vector<std::uint8_t>& dump) {
  const std::int64_t raw = raw_page_bytes(layout);
  std::vector<std::uint8_t> out;
  for (std::int64_t n = 0; (n + 1) * raw <= static_cast<std::int64_t>(dump.size()); ++n) {
    for (const layout_step& s : layout.steps) {
      // A byte step's spans as bits, so that a layout in bytes and its twin in bits agree.
      std::vector<layout_span> spans = s.data;
      if (!s.bits) {
        for (layout_span& x : spans)
          x = {8 * x.offset, 8 * x.length};
      }
      std::vector<std::uint8_t> data(static_cast<std::size_t>(step_data_bytes(s)), 0);
      gather_span_bits(dump.data() + n * raw, spans, layout.code.lsb_first, data.data(), 0);
      out.insert(out.end(), data.begin(), data.end());
    }
  }
  return out;
}

}  // namespace detect_test
