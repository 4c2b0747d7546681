// The key checked and refined by decoding: a wrong key bit is the same in every page its key
// page scrambled, where bit errors of the chip fall anywhere, so the decoder's corrections
// outvote them.
#include "detect/key_check.h"

#include <algorithm>  // std::copy, std::fill

#include "layout/bit_spans.h"  // gather_message_bits, scatter_message_bits
#include "scan/dump_scan.h"    // page_reads_erased

key_decoder::key_decoder(const nand_layout& l, const bch_code& c) : layout(l), code(c) {
  for (const layout_step& step : layout.steps)
    frames.push_back(frame_step(layout, code, step));
  ecc.resize(static_cast<std::size_t>(code.ecc_bytes));
}

void key_decoder::gather(const unsigned char* raw, std::size_t k) {
  const layout_step& step = layout.steps[k];
  const step_frame& frame = frames[k];
  message.assign(frame.message_bytes, 0);
  if (frame.bits) {
    gather_message_bits(raw, step, layout.code.lsb_first, message.data());
    gather_frame_ecc(frame, step, layout.code.lsb_first, raw, ecc.data(), code.ecc_bytes);
  } else {
    gather_message(raw, step, message.data());
    std::copy(raw + step.ecc.offset, raw + step.ecc.offset + code.ecc_bytes, ecc.begin());
  }
}

void key_decoder::scatter(unsigned char* raw, std::size_t k) const {
  const layout_step& step = layout.steps[k];
  if (frames[k].bits) {
    scatter_message_bits(raw, step, layout.code.lsb_first, message.data());
    scatter_frame_ecc(frames[k], step, layout.code.lsb_first, raw, ecc.data());
  } else {
    scatter_message(raw, step, message.data());
    std::copy(ecc.begin(), ecc.end(), raw + step.ecc.offset);
  }
}

std::int64_t key_decoder::decode(unsigned char* raw, bool fix) {
  std::int64_t decoded = 0;
  for (std::size_t k = 0; k < layout.steps.size(); ++k) {
    gather(raw, k);
    bch_decode(code, message.data(), message.size(), ecc.data(), result, frame_offset(frames[k]));
    const bool ok = result.status == bch_status::clean || result.status == bch_status::corrected;
    decoded += ok;
    if (fix && result.status == bch_status::corrected)
      scatter(raw, k);
  }
  return decoded;
}

std::vector<unsigned char> key_decoder::free_space_page() {
  std::vector<unsigned char> page(static_cast<std::size_t>(raw_page_bytes(layout)), 0);
  for (std::size_t k = 0; k < layout.steps.size(); ++k) {
    gather(page.data(), k);
    bch_encode(code, message.data(), message.size(), ecc.data(), frame_offset(frames[k]));
    scatter(page.data(), k);
  }
  return page;
}

void decode_shares(const detect_reader& read, std::int64_t pages, key_decoder& decoder,
                   const key_finding& f, double& plain, double& stored) {
  const nand_layout& layout = decoder.layout;
  const std::int64_t page_bytes = raw_page_bytes(layout);
  std::vector<unsigned char> page(static_cast<std::size_t>(page_bytes)), open(page.size());
  std::int64_t steps = 0, plain_ok = 0, stored_ok = 0, checked = 0;
  for (std::int64_t i = 0; i < pages && checked < kCheckedPages; ++i) {
    if (!read(i * page_bytes, page.data(), page.size()))
      break;
    if (page_reads_erased(layout, decoder.code.t, page.data()))
      continue;
    ++checked;
    const std::uint8_t* key = f.key.data() + (i % f.period) * page_bytes;
    for (std::int64_t j = 0; j < page_bytes; ++j)
      open[static_cast<std::size_t>(j)] = static_cast<unsigned char>(page[j] ^ key[j]);
    steps += static_cast<std::int64_t>(layout.steps.size());
    plain_ok += decoder.decode(open.data(), false);
    stored_ok += decoder.decode(page.data(), false);
  }
  plain = steps > 0 ? static_cast<double>(plain_ok) / static_cast<double>(steps) : 0;
  stored = steps > 0 ? static_cast<double>(stored_ok) / static_cast<double>(steps) : 0;
}

std::int64_t refine_key(const detect_reader& read, std::int64_t pages, key_decoder& decoder,
                        key_finding& f) {
  const nand_layout& layout = decoder.layout;
  const std::int64_t page_bytes = raw_page_bytes(layout);
  std::int64_t changed = 0;
  const std::vector<unsigned char> free_page = decoder.free_space_page();
  const std::vector<std::uint8_t> before = f.key;
  for (std::int64_t slot = 0; slot < f.period; ++slot) {
    std::uint8_t* key = f.key.data() + slot * page_bytes;
    for (std::int64_t j = 0; j < page_bytes; ++j)
      key[j] ^= free_page[static_cast<std::size_t>(j)];
  }
  std::vector<unsigned char> page(static_cast<std::size_t>(page_bytes)), fixed(page.size());
  std::vector<std::uint16_t> flips(static_cast<std::size_t>(page_bytes * 8));
  // Each round's flips let more steps decode, whose corrections the next round weighs.
  for (std::int64_t slot = 0; slot < f.period; ++slot) {
    std::uint8_t* key = f.key.data() + slot * page_bytes;
    for (int round = 0; round < kRefineRounds; ++round) {
      std::fill(flips.begin(), flips.end(), 0);
      std::int64_t decoded = 0, flipped = 0;
      for (std::int64_t i = slot; i < pages && decoded < kRefinedPagesPerSlot; i += f.period) {
        if (!read(i * page_bytes, page.data(), page.size()))
          break;
        if (page_reads_erased(layout, decoder.code.t, page.data()))
          continue;
        for (std::int64_t j = 0; j < page_bytes; ++j)
          page[static_cast<std::size_t>(j)] ^= key[j];
        fixed = page;
        if (decoder.decode(fixed.data(), true) == 0)
          continue;
        ++decoded;
        for (std::int64_t j = 0; j < page_bytes; ++j) {
          const unsigned diff =
              page[static_cast<std::size_t>(j)] ^ fixed[static_cast<std::size_t>(j)];
          for (int b = 0; diff != 0 && b < 8; ++b)
            flips[static_cast<std::size_t>(j * 8 + b)] += (diff >> b) & 1;
        }
      }
      for (std::int64_t j = 0; decoded >= 2 && j < page_bytes; ++j) {
        for (int b = 0; b < 8; ++b) {
          const std::int64_t n = flips[static_cast<std::size_t>(j * 8 + b)];
          if (n >= 2 && 2 * n > decoded) {
            key[j] ^= static_cast<std::uint8_t>(1u << b);
            ++flipped;
          }
        }
      }
      if (flipped == 0)
        break;
    }
  }
  for (std::size_t i = 0; i < f.key.size(); ++i)
    changed += __builtin_popcount(static_cast<unsigned>(f.key[i] ^ before[i]));
  return changed;
}
