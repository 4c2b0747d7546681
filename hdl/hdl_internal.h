// Pieces of the hardware export shared between its sources and its tests, not part of the
// interface: the field's power table, the reference values a testbench embeds, and fast text
// appending for the multi-megabyte modules of the widest codes.
#pragma once

#include "codec/codec.h"  // bch_code
#include "hdl/hdl.h"      // hdl_code

#include <cstdint>  // std::uint8_t, std::uint32_t
#include <string>   // std::string
#include <vector>   // std::vector

// alpha^i in the polynomial basis of code.primitive_polynomial, i = 0 ... n - 1.
// REQUIRES: hdl_check_code(code) is "".
std::vector<std::uint32_t> hdl_field_powers(const hdl_code& code);

// Parity of a message by long division: bits[0] is the highest power, bits.size() <= k; the
// result has r entries, [i] = coefficient of x^i of message * x^r mod g.
std::vector<std::uint8_t> hdl_parity_by_division(const hdl_code& code,
                                                 const std::vector<std::uint8_t>& bits);

// Builds the error-correction engine's code for `code` (same field polynomial, same t). Fails
// with why the engine cannot take it (it needs m >= 5, and the same r).
status hdl_engine_init(const hdl_code& code, bch_code* engine);

// Parity of a message by the engine, same convention as hdl_parity_by_division.
// REQUIRES: engine built by hdl_engine_init; bits.size() a multiple of 8 and at most
// 8 * engine.max_data_bytes (otherwise the parity is left empty).
void hdl_parity_by_engine(const bch_code& engine, const std::vector<std::uint8_t>& bits,
                          std::vector<std::uint8_t>* parity);

// S_1 ... S_2t (index 0 ... 2t-1) of the received word `bits` (bits[0] the highest power,
// bits.size() <= n), each c(alpha^j) in the polynomial basis. REQUIRES: powers from
// hdl_field_powers(code).
std::vector<std::uint32_t> hdl_syndromes(const hdl_code& code,
                                         const std::vector<std::uint32_t>& powers,
                                         const std::vector<std::uint8_t>& bits);

// Appends the decimal digits of v >= 0 to `text` without a temporary string.
void hdl_append_int(std::string& text, long long v);

// g as the front end prints it: " D D ...", ceil((r + 1) / 4) hex digits, highest first.
std::string hdl_g_hex(const hdl_code& code);
