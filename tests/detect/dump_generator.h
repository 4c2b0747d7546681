// Dumps made for the search's tests and its success-rate measurement: a layout and a BCH code
// drawn at random from the family controllers use (interleaved steps with an optional page
// header, or data first and every step's protected bytes and ECC gathered in the spare after
// bad-block and free bytes; 512- and 1024-byte steps; m 13 to 15, t 4 to 40; the tabled or
// another primitive polynomial; either bit order, each mask, padding at either end), pages of
// zeros, 0xFF runs, text and random bytes, some erased or written only in part, and a few bit
// errors. The truth is the layout itself; the ECC comes from the engine's encoder.
#pragma once

#include <algorithm>  // std::min, std::max, std::find, std::shuffle
#include <cstdint>    // std::int32_t, std::int64_t, std::uint8_t, std::uint32_t
#include <random>     // std::mt19937, std::uniform_int_distribution
#include <string>     // std::string, std::to_string
#include <vector>     // std::vector

#include "codec/codec.h"        // bch_code_init, bch_encode, bch_parity_bit
#include "codec/layout_code.h"  // build_code
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
    code.m = static_cast<int>(draw(rng, 13, 15));
    if (8 * (step + protected_bytes) + 4 * code.m >= (1 << code.m))
      continue;  // the field is too small for the step
    const int most_t = static_cast<int>(std::min<std::int64_t>(40, 8 * budget / code.m));
    if (most_t < 4)
      continue;
    code.t = static_cast<int>(draw(rng, 4, most_t));
    if (draw(rng, 0, 1) == 1)
      code.primitive_polynomial = other_primitive(rng, code.m);
    code.lsb_first = draw(rng, 0, 1) == 1;
    code.pad_start = draw(rng, 0, 1) == 1;
    code.mask = static_cast<layout_mask>(draw(rng, 0, 2));
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

}  // namespace detect_test
