// Hardware export of a binary BCH code: the parallel encoder (P message bits per clock) and the
// syndrome unit (P received bits per clock) as synthesizable Verilog-2001 or VHDL-93 text, and a
// self-checking testbench for each whose expected values are computed here at generation time.
//
// Design notes (kept here rather than in a separate file):
// - Both units are one register and one XOR network: every register bit's next value is the
//   XOR of the register bits and input bits whose matrix entry is 1. Nothing is shared between
//   rows in the text; synthesis finds common terms itself. The header of every module states
//   the count of 2-input XOR gates of that unshared form (terms - 1 per row).
// - Encoder: the state is the remainder R of (message seen so far) * x^r mod g. One clock with
//   input word d (d[P-1] the highest power) does R <- R * x^P + d * x^r mod g, which equals
//   T^P (R + d * x^(r-P)) with T the one-step register matrix, because P <= r. So the input
//   matrix is the last P columns of T^P, and no second matrix is needed.
// - Syndrome unit: S_j <- S_j * alpha^(jP) + sum_b d[b] * alpha^(jb) for j = 1 ... 2t, in the
//   polynomial basis of the field's primitive polynomial (bit i = coefficient of x^i).
// - clear wins over enable: a cycle with both high leaves the register 0.
// - Leading zero bits do not change either result, so a message (or received word) is padded
//   at its start to a multiple of P.
// Nothing here prints, reads global state or exits; every text is returned as a string.
#pragma once

#include <cstdint>  // std::uint8_t, std::uint32_t, std::uint64_t
#include <string>   // std::string
#include <vector>   // std::vector

#include "status/status.h"  // status

// A code as the construction library built it. hdl_check_code says which fields must agree.
struct hdl_code {
  int m = 0;                               // field degree, 2 ... 20
  int n = 0;                               // 2^m - 1
  int t = 0;                               // correctable errors
  int r = 0;                               // parity bits, degree of g
  int k = 0;                               // n - r
  int p = 0;                               // bits per clock, 1 ... r
  std::uint32_t primitive_polynomial = 0;  // bit i = coefficient of x^i, degree m
  std::vector<std::uint8_t> g;             // g[i] = coefficient of x^i, i = 0 ... r
  std::string command;  // how the text was made, for the header comment ("" leaves it out)
};

enum class hdl_language { verilog, vhdl };
enum class hdl_unit { encoder, syndrome };

// Succeeds when the fields of `code` are consistent (m in 2 ... 20, n = 2^m - 1, 1 <= t,
// 2t < n, r = g's degree with g[0] = g[r] = 1 and 1 <= r <= 999, k = n - r, 1 <= p <= r, a
// primitive polynomial of degree m whose x^0 term is set); otherwise fails with one line.
// It does not prove g is the BCH generator; the construction library built it.
status hdl_check_code(const hdl_code& code);

// The code the construction library's module state holds: its mm, nn, tt, rr, kk, Parallel, p
// and gg. REQUIRES: generate_gf and gen_poly have run since the state was last set.
hdl_code hdl_code_of_state();

// The module name used without --name: "bch_encoder_m13_t8_p8" or "bch_syndrome_m13_t8_p8".
std::string hdl_default_name(const hdl_code& code, hdl_unit unit);

// Succeeds when `name` may name a module in both languages and its testbench (name + "_tb")
// too: 1 ... 64 characters, an ASCII letter first, then letters, digits and single underscores,
// not ending with an underscore, and not a reserved word of Verilog or VHDL or a name the
// generated texts use inside (compared without regard to case, as VHDL does). Otherwise fails
// with one line naming the fault.
status hdl_check_name(const std::string& name);

// The next-state network of a unit, one row per register bit: row i has bit c set for
// c < state_bits when register bit c is a term of bit i's next value, and bit state_bits + b
// when input bit data[b] is. Rows are packed, `words` 64-bit words each, low bits first.
struct hdl_network {
  int state_bits = 0;               // r for the encoder, 2t * m for the syndrome unit
  int data_bits = 0;                // p
  int words = 0;                    // words per row
  std::vector<std::uint64_t> rows;  // state_bits * words entries
};

// Builds the network of `unit` for `code`. REQUIRES: hdl_check_code(code) succeeds.
hdl_network hdl_build_network(const hdl_code& code, hdl_unit unit);

// Count of 2-input XOR gates when every row is an unshared chain: sum of (terms - 1) over the
// rows that have terms.
long long hdl_xor_count(const hdl_network& network);

// The whole module text (header comment, ports, register, network) of `unit` named `name`.
// REQUIRES: hdl_check_code(code) and hdl_check_name(name) succeed.
std::string hdl_module_text(const hdl_code& code, hdl_unit unit, hdl_language language,
                            const std::string& name);

struct hdl_testbench_options {
  int vectors = 32;             // messages (encoder) or received words (syndrome unit), >= 1
  std::uint64_t seed = 1;       // fixes every random choice: the same options give the same text
  int max_full_cycles = 16384;  // cap on the clock count of the first vector, >= 24
};

// The testbench of the module `name` of `unit`: named name + "_tb", it feeds `vectors`
// random messages (encoder) or codewords with 0 ... t random bit errors (syndrome unit), with
// an idle cycle before every fifth word and a clear cycle with enable high before each vector,
// and compares the outputs with values computed here: the parity by the error-correction engine
// (codec/codec.h) where it can build the code (m >= 5 and k >= 8), otherwise by long division
// by g; the syndromes from the field's power table. It prints one line,
//   PASS <name> vectors=<V>     or     FAIL <name> vectors=<V> mismatches=<M>
// (mismatching vectors are named on lines of their own before it) and ends the simulation:
// $finish in Verilog; in VHDL the clock stops on a pass and an assertion of severity failure
// ends a fail. The VHDL testbench is plain VHDL-93. The first vector is the longest message the
// engine takes (or k bits), cut to max_full_cycles clocks; the others take at most 24 clocks of
// message bits.
// Sets *text, or fails with a message (the engine refused the code; options out of range).
// REQUIRES: hdl_check_code(code) and hdl_check_name(name) succeed.
status hdl_testbench_text(const hdl_code& code, hdl_unit unit, hdl_language language,
                          const std::string& name, const hdl_testbench_options& options,
                          std::string* text);

// The file name of the testbench written beside the module file `module_path`: the language's
// extension (".v"; ".vhd" or ".vhdl") is replaced by "_tb" plus itself, any other name gets
// "_tb.v" or "_tb.vhd" appended: "enc.v" -> "enc_tb.v", "enc.vhdl" -> "enc_tb.vhdl",
// "enc" -> "enc_tb.vhd".
std::string hdl_testbench_path(const std::string& module_path, hdl_language language);
