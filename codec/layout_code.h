// The code a page layout names: the one way from a layout to a built bch_code, and the one text
// of a code that summaries, reports, detect's findings and audit records show.
#pragma once

#include <string>  // std::string

#include "codec/codec.h"    // bch_code, bch_code_options, status
#include "layout/layout.h"  // layout_code, layout_mask, nand_layout

// The engine's options for a layout's code: bit order, ECC mask, padding and polynomial.
bch_code_options layout_code_options(const layout_code& code);

// Builds the code `code` names into `built`. On failure, one line: "the code m = 13, t = 900
// cannot be built: " and the engine's reason; `built` is then left untouched.
status build_code(const layout_code& code, bch_code& built);

// Builds the layout's code and checks that every step fits it: ECC spans that hold the parity,
// messages the code can hold (check_layout_code).
// REQUIRES: check_layout(layout) passed.
status build_layout_code(const nand_layout& layout, bch_code& built);

// A mask as reports name it: "none", "erased-ff", or "hex" (bytes given in hex); "?" for a
// value outside the enumeration.
const char* mask_name(layout_mask mask);

// The code in one line: "m=13 t=8, 13 ECC bytes, bit order msb, ECC mask none", then
// ", pad start" when the padding leads the parity and ", primitive polynomial 0x201B" when the
// code names its polynomial. `ecc_bytes` is what the built code stores per step.
std::string code_text(const layout_code& code, int ecc_bytes);
