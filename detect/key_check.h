// A scrambler's key checked and refined with the layout's code: the steps of pages decoded
// with the key taken off or as stored, and key bits set where the code shows them wrong.
// Never prints; reads the dump through a reader and changes nothing in it.
#pragma once

#include <cstdint>  // std::int64_t, std::uint8_t
#include <vector>   // std::vector

#include "codec/codec.h"       // bch_code, bch_decode_result
#include "codec/step_frame.h"  // step_frame
#include "detect/xor_key.h"    // key_finding, detect_reader
#include "layout/layout.h"     // nand_layout

// Programmed pages whose steps are decoded to check a key, at most.
inline constexpr std::int64_t kCheckedPages = 512;
// Programmed pages of a key page decoded to refine it, at most.
inline constexpr std::int64_t kRefinedPagesPerSlot = 16;
// Rounds of decoding a key page's pages to refine it, at most.
inline constexpr int kRefineRounds = 3;

// The steps of one raw page, decoded with the layout's code, with scratch kept between pages.
// REQUIRES: `layout` passed check_layout, `code` built for it; both outlive the decoder.
struct key_decoder {
  const nand_layout& layout;
  const bch_code& code;
  std::vector<step_frame> frames;
  std::vector<std::uint8_t> message, ecc;
  bch_decode_result result;

  key_decoder(const nand_layout& l, const bch_code& c);
  // Steps of `raw` (a raw page) that decode, clean or corrected; with `fix`, their corrections
  // are written into `raw`.
  std::int64_t decode(unsigned char* raw, bool fix);
  // A raw page of zeros but for the ECC the code gives each step's message of zeros: what a
  // page of free space stores before it is scrambled. All zeros unless the code has a mask.
  std::vector<unsigned char> free_space_page();

 private:
  void gather(const unsigned char* raw, std::size_t k);
  void scatter(unsigned char* raw, std::size_t k) const;
};

// Shares (0 ... 1) of the steps of the first kCheckedPages programmed pages among the dump's
// first `pages` that decode with the key taken off (`plain`, the ECC over the plain bytes) and
// as stored (`stored`, the ECC over the scrambled bytes). 0 for both when no page is
// programmed. REQUIRES: f.found.
void decode_shares(const detect_reader& read, std::int64_t pages, key_decoder& decoder,
                   const key_finding& f, double& plain, double& stored);

// Refines f.key with the code, where the ECC covers the plain bytes, from up to
// kRefinedPagesPerSlot programmed pages of each key page among the dump's first `pages`. Free
// space stores the code's ECC of zeros, which a mask makes other than zeros: the key's ECC
// bytes are what free pages hold XOR that ECC. And a key bit that is wrong shows in every page
// of its key page as a bit the decoder corrects: one that most decoded pages of the key page
// need corrected is flipped. Returns the key bits changed. REQUIRES: f.found.
std::int64_t refine_key(const detect_reader& read, std::int64_t pages, key_decoder& decoder,
                        key_finding& f);
