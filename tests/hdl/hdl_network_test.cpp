// Tests of the hardware export's arithmetic, in-process: the encoder network run in software
// against the error-correction engine and the long division, its state columns against the
// construction library's T^P, the syndrome network against syndromes from the library's field
// tables, gate counts worked out by hand, and the module names both languages accept.
#include "hdl/hdl.h"
#include "hdl/hdl_internal.h"

#include "bch/bch.h"      // mm, nn, tt, Parallel, generate_gf, gen_poly, T_G_R, alpha_to, ...
#include "codec/codec.h"  // bch_code

#include <gtest/gtest.h>  // TEST, EXPECT_*, SCOPED_TRACE

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint8_t, std::uint32_t, std::uint64_t
#include <random>   // std::mt19937_64
#include <string>   // std::string, std::to_string
#include <vector>   // std::vector

namespace {

using bits = std::vector<std::uint8_t>;

struct params {
  int m, t, p;
};

std::string label(const params& c) {
  return "case m=" + std::to_string(c.m) + " t=" + std::to_string(c.t) +
         " p=" + std::to_string(c.p);
}

// The code as the construction library builds it (the front end's route).
hdl_code library_code(const params& c) {
  mm = c.m;
  nn = (1 << c.m) - 1;
  tt = c.t;
  Parallel = c.p;
  Verbose = 0;
  generate_gf();
  gen_poly();
  return hdl_code_of_state();
}

// Feeds `sequence` (highest power first, padded at its start to whole words; data[P-1] the
// earliest bit) through the network from a zero register and returns the register.
bits run_network(const hdl_network& net, const bits& sequence) {
  const std::size_t p = static_cast<std::size_t>(net.data_bits);
  const std::size_t pad = (p - sequence.size() % p) % p;
  bits padded(pad, 0);
  padded.insert(padded.end(), sequence.begin(), sequence.end());
  bits state(static_cast<std::size_t>(net.state_bits), 0);
  for (std::size_t w = 0; w < padded.size() / p; ++w) {
    bits inputs = state;
    for (std::size_t b = 0; b < p; ++b) {
      inputs.push_back(padded[w * p + (p - 1 - b)]);
    }
    bits next(state.size(), 0);
    for (std::size_t i = 0; i < state.size(); ++i) {
      const std::uint64_t* row = net.rows.data() + i * static_cast<std::size_t>(net.words);
      for (std::size_t c = 0; c < inputs.size(); ++c) {
        if ((row[c / 64] >> (c % 64)) & 1) {
          next[i] ^= inputs[c];
        }
      }
    }
    state = next;
  }
  return state;
}

bits random_bits(std::mt19937_64& rng, std::size_t count) {
  bits b(count);
  for (std::uint8_t& x : b) {
    x = static_cast<std::uint8_t>(rng() & 1);
  }
  return b;
}

const params kCodes[] = {{13, 8, 8}, {13, 8, 32}, {13, 4, 1}, {14, 24, 64},
                         {5, 3, 7},  {13, 4, 52}, {6, 2, 5},  {15, 66, 512}};

TEST(HdlEncoderNetwork, MatchesTheEngineAndTheLongDivision) {
  std::mt19937_64 rng(12);
  for (const params& c : kCodes) {
    SCOPED_TRACE(label(c));
    const hdl_code code = library_code(c);
    ASSERT_EQ(hdl_check_code(code).message, "");
    bch_code engine;
    ASSERT_EQ(hdl_engine_init(code, &engine).message, "");
    const hdl_network net = hdl_build_network(code, hdl_unit::encoder);
    ASSERT_EQ(net.state_bits, code.r);
    ASSERT_EQ(net.data_bits, code.p);
    const std::size_t most = 8 * engine.max_data_bytes;
    for (std::size_t length : {most, std::size_t{8}, 8 * (1 + rng() % engine.max_data_bytes),
                               8 * (1 + rng() % engine.max_data_bytes)}) {
      SCOPED_TRACE("message of " + std::to_string(length) + " bits");
      const bits message = random_bits(rng, length);
      bits by_engine;
      hdl_parity_by_engine(engine, message, &by_engine);
      EXPECT_EQ(run_network(net, message), by_engine);
      EXPECT_EQ(hdl_parity_by_division(code, message), by_engine);
    }
  }
}

TEST(HdlEncoderNetwork, StateColumnsAreTheLibrarysPowerOfT) {
  for (const params& c : {params{4, 1, 1}, params{13, 4, 8}, params{13, 8, 32}, params{10, 5, 50},
                          params{14, 24, 64}}) {
    SCOPED_TRACE(label(c));
    const hdl_code code = library_code(c);  // leaves T_G_R = T^P in the library
    const hdl_network net = hdl_build_network(code, hdl_unit::encoder);
    int wrong = 0;
    for (int i = 0; i < code.r; ++i) {
      const std::uint64_t* row = net.rows.data() + static_cast<std::size_t>(i) * net.words;
      for (int j = 0; j < code.r + code.p; ++j) {
        const int bit = static_cast<int>((row[j / 64] >> (j % 64)) & 1);
        // Input bit b enters beside register bit r - P + b.
        const int column = j < code.r ? j : code.r - code.p + (j - code.r);
        wrong += bit != T_G_R[i][column];
      }
    }
    EXPECT_EQ(wrong, 0);
  }
}

TEST(HdlEncoderNetwork, SmallFieldsByHand) {
  // m = 4, t = 1: g = x^4 + x + 1. Message 1: x^4 mod g = x + 1; message 1 0: x^5 mod g =
  // x^2 + x; message 1 0 0 0 0: x^8 mod g = x^2 + 1.
  const hdl_code code = library_code({4, 1, 3});
  ASSERT_EQ(code.g, (bits{1, 1, 0, 0, 1}));
  const hdl_network net = hdl_build_network(code, hdl_unit::encoder);
  const struct {
    bits message, parity;
  } known[] = {{{1}, {1, 1, 0, 0}}, {{1, 0}, {0, 1, 1, 0}}, {{1, 0, 0, 0, 0}, {1, 0, 1, 0}}};
  for (const auto& k : known) {
    SCOPED_TRACE("message of " + std::to_string(k.message.size()) + " bits");
    EXPECT_EQ(hdl_parity_by_division(code, k.message), k.parity);
    EXPECT_EQ(run_network(net, k.message), k.parity);
  }
  // The engine takes no field this small: the testbench falls back to the division.
  bch_code engine;
  EXPECT_NE(hdl_engine_init(code, &engine).message, "");
  std::string text;
  EXPECT_EQ(
      hdl_testbench_text(code, hdl_unit::encoder, hdl_language::verilog, "enc", {}, &text).message,
      "");
  EXPECT_NE(text.find("PASS enc vectors=32"), std::string::npos);
}

TEST(HdlXorCount, WorkedOutByHand) {
  // m = 4, t = 1, one bit a clock, g = 1 + x + x^4. Encoder: s0' = s3 ^ d, s1' = s0 ^ s3 ^ d,
  // s2' = s1, s3' = s2: 3 gates. Syndromes: S1' = S1 * alpha + d, S2' = S2 * alpha^2 + d with
  // alpha^4 = alpha + 1: bit rows (s3 ^ d, s0 ^ s3, s1, s2) and (s2 ^ d, s2 ^ s3, s0 ^ s3,
  // s1): 2 + 3 gates.
  const hdl_code code = library_code({4, 1, 1});
  EXPECT_EQ(hdl_xor_count(hdl_build_network(code, hdl_unit::encoder)), 3) << label({4, 1, 1});
  EXPECT_EQ(hdl_xor_count(hdl_build_network(code, hdl_unit::syndrome)), 5) << label({4, 1, 1});
  // One bit a clock in general: row 0 is s[r-1] ^ d, and each other row where g has a 1 adds
  // the same two terms to its shifted bit.
  for (const params& c : {params{13, 4, 1}, params{13, 8, 1}, params{8, 3, 1}}) {
    const hdl_code wide = library_code(c);
    int weight = 0;
    for (std::uint8_t b : wide.g) {
      weight += b;
    }
    EXPECT_EQ(hdl_xor_count(hdl_build_network(wide, hdl_unit::encoder)), 2 * (weight - 2) + 1)
        << label(c);
  }
}

// S_j by Horner's rule on the construction library's power and logarithm tables.
std::vector<int> library_syndromes(const hdl_code& code, const bits& word) {
  std::vector<int> s(static_cast<std::size_t>(2 * code.t), 0);
  for (int j = 1; j <= 2 * code.t; ++j) {
    int v = 0;
    for (std::uint8_t b : word) {
      v = v == 0 ? 0 : alpha_to[(index_of[v] + j) % nn];
      v ^= b;
    }
    s[static_cast<std::size_t>(j - 1)] = v;
  }
  return s;
}

TEST(HdlSyndromeNetwork, MatchesTheLibrarysFieldAndFindsEveryErrorPattern) {
  std::mt19937_64 rng(7);
  for (const params& c : {params{13, 8, 8}, params{13, 4, 1}, params{5, 3, 7}, params{13, 8, 32},
                          params{14, 24, 64}, params{6, 2, 5}}) {
    SCOPED_TRACE(label(c));
    const hdl_code code = library_code(c);
    const std::vector<std::uint32_t> powers = hdl_field_powers(code);
    const hdl_network net = hdl_build_network(code, hdl_unit::syndrome);
    ASSERT_EQ(net.state_bits, 2 * code.t * code.m);
    bch_code engine;
    ASSERT_EQ(hdl_engine_init(code, &engine).message, "");
    for (int errors = 0; errors <= code.t; errors += (code.t + 3) / 4) {
      SCOPED_TRACE(std::to_string(errors) + " errors");
      const std::size_t bytes =
          1 + rng() % (engine.max_data_bytes < 40 ? engine.max_data_bytes : 40);
      bits word = random_bits(rng, 8 * bytes);
      bits parity;
      hdl_parity_by_engine(engine, word, &parity);
      for (int i = code.r - 1; i >= 0; --i) {
        word.push_back(parity[static_cast<std::size_t>(i)]);
      }
      for (int e = 0; e < errors; ++e) {
        word[e * 3 + static_cast<int>(rng() % 3)] ^= 1;  // distinct: one per group of three
      }
      const std::vector<std::uint32_t> soft = hdl_syndromes(code, powers, word);
      const std::vector<int> library = library_syndromes(code, word);
      const bits out = run_network(net, word);
      bool all_zero = true;
      for (int j = 0; j < 2 * code.t; ++j) {
        SCOPED_TRACE("S_" + std::to_string(j + 1));
        EXPECT_EQ(static_cast<int>(soft[static_cast<std::size_t>(j)]),
                  library[static_cast<std::size_t>(j)]);
        int hardware = 0;
        for (int i = 0; i < code.m; ++i) {
          hardware |= out[static_cast<std::size_t>(j * code.m + i)] << i;
        }
        EXPECT_EQ(hardware, library[static_cast<std::size_t>(j)]);
        all_zero = all_zero && hardware == 0;
      }
      EXPECT_EQ(all_zero, errors == 0);
    }
  }
}

TEST(HdlNames, AcceptedInBothLanguages) {
  for (const char* good : {"enc", "A1", "bch_encoder_m13_t8_p8", "rx_syndrome_unit_2",
                           "abcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcd"}) {
    EXPECT_EQ(hdl_check_name(good).message, "") << "name " << good;
  }
  for (const char* bad : {"", "1abc", "_abc", "abc_", "a__b", "a-b", "a b", "caf\xc3\xa9", "module",
                          "ENTITY", "Signal", "state", "data", "xor",
                          "abcdefghij"
                          "abcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcde"}) {
    EXPECT_NE(hdl_check_name(bad).message, "") << "name '" << bad << "'";
  }
}

// Words the language standards reserve (their keyword tables), a few from each dialect a
// designer may compile the files with; VHDL reads them in any case.
TEST(HdlNames, RefusesReservedWordsOfTheLaterDialects) {
  const struct {
    const char* dialect;
    std::vector<const char*> words;
  } cases[] = {
      {"Verilog-2005", {"uwire"}},
      {"SystemVerilog-2005", {"always_comb", "bind", "chandle", "modport", "wait_order", "within"}},
      {"SystemVerilog-2009", {"checker", "eventually", "s_until_with", "unique0", "untyped"}},
      {"SystemVerilog-2012", {"implements", "interconnect", "nettype", "soft"}},
      {"VHDL-2008",
       {"vunit", "vmode", "vprop", "restrict_guarantee", "assume_guarantee", "fairness", "VUnit",
        "Restrict_Guarantee"}},
  };
  for (const auto& c : cases) {
    for (const char* word : c.words)
      EXPECT_NE(hdl_check_name(word).message, "") << c.dialect << " word '" << word << "'";
  }
}

TEST(HdlNames, TestbenchFileBesideTheModule) {
  const struct {
    const char* module;
    hdl_language language;
    const char* testbench;
  } cases[] = {{"enc.v", hdl_language::verilog, "enc_tb.v"},
               {"out/enc", hdl_language::verilog, "out/enc_tb.v"},
               {"enc.sv", hdl_language::verilog, "enc.sv_tb.v"},
               {"enc.vhd", hdl_language::vhdl, "enc_tb.vhd"},
               {"enc.vhdl", hdl_language::vhdl, "enc_tb.vhdl"},
               {"enc.v", hdl_language::vhdl, "enc.v_tb.vhd"},
               {".v", hdl_language::verilog, ".v_tb.v"}};
  for (const auto& c : cases) {
    EXPECT_EQ(hdl_testbench_path(c.module, c.language), c.testbench) << "module " << c.module;
  }
}

TEST(HdlCheckCode, RefusesFiguresThatDoNotFit) {
  const hdl_code good = library_code({13, 4, 8});
  ASSERT_EQ(hdl_check_code(good).message, "");
  const struct {
    const char* what;
    void (*spoil)(hdl_code&);
  } faults[] = {
      {"m 21", [](hdl_code& c) { c.m = 21; }},
      {"n off", [](hdl_code& c) { c.n -= 1; }},
      {"t 0", [](hdl_code& c) { c.t = 0; }},
      {"k off", [](hdl_code& c) { c.k += 1; }},
      {"p 0", [](hdl_code& c) { c.p = 0; }},
      {"p above r", [](hdl_code& c) { c.p = c.r + 1; }},
      {"g short", [](hdl_code& c) { c.g.pop_back(); }},
      {"g without x^0", [](hdl_code& c) { c.g[0] = 0; }},
      {"g coefficient 2", [](hdl_code& c) { c.g[3] = 2; }},
      {"polynomial degree", [](hdl_code& c) { c.primitive_polynomial >>= 1; }},
  };
  for (const auto& f : faults) {
    hdl_code spoiled = good;
    f.spoil(spoiled);
    EXPECT_NE(hdl_check_code(spoiled).message, "") << "fault " << f.what;
  }
}

}  // namespace
