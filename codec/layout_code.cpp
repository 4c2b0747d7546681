// From a layout's code to the engine's, and the code in words.
#include "codec/layout_code.h"

#include <cstdio>  // std::snprintf

bch_code_options layout_code_options(const layout_code& code) {
  bch_code_options o;
  o.bit_order = code.lsb_first ? bch_bit_order::lsb_first : bch_bit_order::msb_first;
  switch (code.mask) {
    case layout_mask::none:
      o.ecc_mask = bch_ecc_mask::none;
      break;
    case layout_mask::erased_ff:
      o.ecc_mask = bch_ecc_mask::erased_ff;
      break;
    case layout_mask::bytes:
      o.ecc_mask = bch_ecc_mask::xor_bytes;
      o.mask_bytes = code.mask_bytes;
      break;
  }
  o.pad = code.pad_start ? bch_pad::start : bch_pad::end;
  o.primitive_polynomial = code.primitive_polynomial;
  return o;
}

status build_code(const layout_code& code, bch_code& built) {
  const status made = bch_code_init(built, code.m, code.t, layout_code_options(code));
  if (made.ok())
    return made;
  return status::error("the code m = " + std::to_string(code.m) +
                       ", t = " + std::to_string(code.t) + " cannot be built: " + made.message);
}

status build_layout_code(const nand_layout& layout, bch_code& built) {
  if (status made = build_code(layout.code, built); !made.ok())
    return made;
  return check_layout_code(layout, built.parity_bits, built.max_data_bytes);
}

const char* mask_name(layout_mask mask) {
  // In the order of layout_mask.
  static const char* const kNames[] = {"none", "erased-ff", "hex"};
  const auto i = static_cast<unsigned>(mask);
  return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : "?";
}

std::string code_text(const layout_code& code, int ecc_bytes) {
  std::string text = "m=" + std::to_string(code.m) + " t=" + std::to_string(code.t) + ", " +
                     std::to_string(ecc_bytes) + " ECC bytes, bit order " +
                     (code.lsb_first ? "lsb" : "msb") + ", ECC mask " + mask_name(code.mask);
  if (code.pad_start)
    text += ", pad start";
  if (code.primitive_polynomial != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(code.primitive_polynomial));
    text += std::string(", primitive polynomial ") + hex;
  }
  return text;
}
