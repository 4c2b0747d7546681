// The self-checking testbenches: random messages (encoder) or codewords with up to t random bit
// errors (syndrome unit), cut into P-bit words, with the expected outputs computed here by the
// error-correction engine and from the field's power table, and the Verilog or VHDL text that
// feeds them to the module and prints one PASS or FAIL line.
#include "hdl/hdl.h"
#include "hdl/hdl_internal.h"

#include "codec/codec.h"  // bch_code

#include <algorithm>  // std::min, std::max
#include <cstddef>    // std::size_t
#include <cstdint>    // std::uint8_t, std::uint32_t, std::uint64_t
#include <cstdio>     // std::snprintf
#include <random>     // std::mt19937_64
#include <string>     // std::string, std::to_string
#include <vector>     // std::vector

namespace {

constexpr int kOtherCycles = 24;  // message clocks of every vector after the first
constexpr int kMaxVectors = 100000;

using bits = std::vector<std::uint8_t>;

// The stimulus and the answers: words[w][b] is data[b] of word w; vector v takes cycles[v]
// words in order and must end with expected[v] ([i] = output bit i).
struct stimulus {
  std::vector<bits> words;
  std::vector<int> cycles;
  std::vector<bits> expected;
};

// A number in 0 ... bound - 1 from the raw generator (its output is fixed by the standard on
// every platform; the library's distributions are not).
std::uint64_t below(std::mt19937_64& rng, std::uint64_t bound) {
  return bound == 0 ? 0 : rng() % bound;
}

// Cuts `sequence` (highest power first) into P-bit words, zero bits first to fill the first.
int append_words(const bits& sequence, int p, std::vector<bits>& words) {
  const std::size_t up = static_cast<std::size_t>(p);
  const std::size_t cycles = (sequence.size() + up - 1) / up;
  const std::size_t pad = cycles * up - sequence.size();
  for (std::size_t w = 0; w < cycles; ++w) {
    bits word(up, 0);
    for (std::size_t q = 0; q < up; ++q) {
      const std::size_t at = w * up + q;  // position in the padded sequence
      word[up - 1 - q] = at < pad ? 0 : sequence[at - pad];
    }
    words.push_back(word);
  }
  return static_cast<int>(cycles);
}

std::string build_stimulus(const hdl_code& code, hdl_unit unit,
                           const hdl_testbench_options& options, stimulus& s) {
  bch_code engine;
  const bool by_engine = hdl_engine_init(code, &engine).ok() && engine.max_data_bytes > 0;
  // Message lengths are whole bytes for the engine; bits for the long division.
  const long long step = by_engine ? 8 : 1;
  const long long longest =
      by_engine ? 8LL * static_cast<long long>(engine.max_data_bytes) : code.k;
  const long long extra = unit == hdl_unit::syndrome ? code.r : 0;
  const long long p = code.p;
  long long first = std::min(longest, 1LL * options.max_full_cycles * p - extra) / step * step;
  if (first < step) {
    first = step;
  }
  const long long other = std::max(step, std::min(longest, kOtherCycles * p) / step * step);
  const std::vector<std::uint32_t> powers =
      unit == hdl_unit::syndrome ? hdl_field_powers(code) : std::vector<std::uint32_t>{};

  std::mt19937_64 rng(options.seed ^ (static_cast<std::uint64_t>(code.m) << 40) ^
                      (static_cast<std::uint64_t>(code.t) << 20) ^
                      static_cast<std::uint64_t>(code.p) ^
                      (unit == hdl_unit::syndrome ? 0x5A5A000000000000ULL : 0));
  for (int v = 0; v < options.vectors; ++v) {
    const long long length = v == 0
                                 ? first
                                 : step * (1 + static_cast<long long>(below(
                                                   rng, static_cast<std::uint64_t>(other / step))));
    bits message(static_cast<std::size_t>(length));
    for (std::uint8_t& b : message) {
      // The second vector is all ones: every input term of the network counts at once.
      b = v == 1 ? 1 : static_cast<std::uint8_t>(rng() & 1);
    }
    bits parity;
    if (by_engine) {
      hdl_parity_by_engine(engine, message, &parity);
    } else {
      parity = hdl_parity_by_division(code, message);
    }
    if (parity.size() != static_cast<std::size_t>(code.r)) {
      return "internal fault: no parity for a message of " + std::to_string(length) + " bits";
    }
    if (unit == hdl_unit::encoder) {
      s.cycles.push_back(append_words(message, code.p, s.words));
      s.expected.push_back(parity);
      continue;
    }
    // The codeword, highest power first: the message, then parity x^(r-1) ... x^0.
    bits word = message;
    for (int i = code.r - 1; i >= 0; --i) {
      word.push_back(parity[static_cast<std::size_t>(i)]);
    }
    // The first vector carries t errors, the second none, the others 0 ... t.
    const int errors = v == 0 ? code.t
                       : v == 1
                           ? 0
                           : static_cast<int>(below(rng, static_cast<std::uint64_t>(code.t) + 1));
    std::vector<std::uint8_t> flipped(word.size(), 0);
    for (int e = 0; e < errors && e < static_cast<int>(word.size()); ++e) {
      std::size_t at = 0;
      do {
        at = static_cast<std::size_t>(below(rng, word.size()));
      } while (flipped[at] != 0);
      flipped[at] = 1;
      word[at] ^= 1;
    }
    const std::vector<std::uint32_t> syndromes = hdl_syndromes(code, powers, word);
    bits expected(static_cast<std::size_t>(2 * code.t * code.m), 0);
    for (std::size_t j = 0; j < syndromes.size(); ++j) {
      for (int i = 0; i < code.m; ++i) {
        expected[j * static_cast<std::size_t>(code.m) + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>((syndromes[j] >> i) & 1);
      }
    }
    s.cycles.push_back(append_words(word, code.p, s.words));
    s.expected.push_back(expected);
  }
  return "";
}

// "W'h..." for Verilog.
void append_verilog_literal(std::string& text, const bits& value) {
  static const char kDigits[] = "0123456789abcdef";
  hdl_append_int(text, static_cast<long long>(value.size()));
  text += "'h";
  const std::size_t digits = (value.size() + 3) / 4;
  for (std::size_t d = digits; d-- > 0;) {
    int nibble = 0;
    for (std::size_t b = 0; b < 4; ++b) {
      const std::size_t i = 4 * d + b;
      if (i < value.size() && value[i] != 0) {
        nibble |= 1 << b;
      }
    }
    text += kDigits[nibble];
  }
}

// "0101..." for VHDL, the highest bit first.
void append_vhdl_literal(std::string& text, const bits& value) {
  text += '"';
  for (std::size_t i = value.size(); i-- > 0;) {
    text += value[i] != 0 ? '1' : '0';
  }
  text += '"';
}

const char* result_port(hdl_unit unit) {
  return unit == hdl_unit::encoder ? "parity" : "syndromes";
}

std::string intro(const hdl_code& code, hdl_unit unit, const std::string& name, const char* mark,
                  int vectors) {
  std::string t;
  t += std::string(mark) + " " + name + "_tb: self-checking testbench of " + name + " (" +
       (unit == hdl_unit::encoder ? "parallel BCH encoder" : "BCH syndrome unit") + ").\n";
  t += std::string(mark) + " It feeds " + std::to_string(vectors) +
       (unit == hdl_unit::encoder ? " random messages"
                                  : " codewords with 0 ... t random bit errors") +
       ", with an idle cycle before every fifth word and a\n";
  t += std::string(mark) +
       " clear cycle with enable high before each, and prints one line: PASS <name> vectors=<V>\n";
  t += std::string(mark) + " or FAIL <name> vectors=<V> mismatches=<M>. Expected values: " +
       (unit == hdl_unit::encoder ? "the error-correction engine's parity"
                                  : "syndromes computed in software from the field's powers") +
       ".\n";
  char line[160];
  std::snprintf(line, sizeof line, "%s m=%d n=%d t=%d r=%d k=%d p=%d\n", mark, code.m, code.n,
                code.t, code.r, code.k, code.p);
  t += line;
  if (!code.command.empty()) {
    t += std::string(mark) + " Generated by: " + code.command + "\n";
  }
  return t;
}

std::string verilog_testbench(const hdl_code& code, hdl_unit unit, const std::string& name,
                              const stimulus& s) {
  const std::string p = std::to_string(code.p);
  const int width = static_cast<int>(s.expected.front().size());
  const std::string vectors = std::to_string(s.cycles.size());
  std::string t = intro(code, unit, name, "//", static_cast<int>(s.cycles.size()));
  t += "module " + name + "_tb;\n";
  t += "  reg clk = 1'b0;\n";
  t += "  reg clear = 1'b0;\n";
  t += "  reg enable = 1'b0;\n";
  t += "  reg [" + std::to_string(code.p - 1) + ":0] data = {" + p + "{1'b0}};\n";
  t += "  wire [" + std::to_string(width - 1) + ":0] result;\n";
  t += "  reg [" + std::to_string(code.p - 1) +
       ":0] words [0:" + std::to_string(s.words.size() - 1) + "];\n";
  t += "  reg [" + std::to_string(width - 1) +
       ":0] expected [0:" + std::to_string(s.cycles.size() - 1) + "];\n";
  t += "  integer cycles [0:" + std::to_string(s.cycles.size() - 1) + "];\n";
  t += "  integer v, w, pos, mismatches;\n\n";
  t += "  " + name + " dut (.clk(clk), .clear(clear), .enable(enable), .data(data), ." +
       result_port(unit) + "(result));\n\n";
  t += "  always #5 clk = ~clk;\n\n";
  t += "  initial begin\n";
  for (std::size_t w = 0; w < s.words.size(); ++w) {
    t += "    words[";
    hdl_append_int(t, static_cast<long long>(w));
    t += "] = ";
    append_verilog_literal(t, s.words[w]);
    t += ";\n";
  }
  for (std::size_t v = 0; v < s.cycles.size(); ++v) {
    t += "    cycles[";
    hdl_append_int(t, static_cast<long long>(v));
    t += "] = ";
    hdl_append_int(t, s.cycles[v]);
    t += ";\n    expected[";
    hdl_append_int(t, static_cast<long long>(v));
    t += "] = ";
    append_verilog_literal(t, s.expected[v]);
    t += ";\n";
  }
  t += "    mismatches = 0;\n";
  t += "    pos = 0;\n";
  t += "    for (v = 0; v < " + vectors + "; v = v + 1) begin\n";
  t += "      @(negedge clk);\n";
  t += "      clear = 1'b1;\n";
  t += "      enable = 1'b1;\n";
  t += "      data = {" + p + "{1'b1}};\n";
  t += "      @(negedge clk);\n";
  t += "      clear = 1'b0;\n";
  t += "      enable = 1'b0;\n";
  t += "      for (w = 0; w < cycles[v]; w = w + 1) begin\n";
  t += "        if (pos % 5 == 3) begin\n";
  t += "          enable = 1'b0;\n";
  t += "          data = ~words[pos];\n";
  t += "          @(negedge clk);\n";
  t += "        end\n";
  t += "        enable = 1'b1;\n";
  t += "        data = words[pos];\n";
  t += "        pos = pos + 1;\n";
  t += "        @(negedge clk);\n";
  t += "      end\n";
  t += "      enable = 1'b0;\n";
  t += "      if (result !== expected[v]) begin\n";
  t += "        mismatches = mismatches + 1;\n";
  t += "        $display(\"mismatch in vector %0d\", v);\n";
  t += "      end\n";
  t += "    end\n";
  t += "    if (mismatches == 0)\n";
  t += "      $display(\"PASS " + name + " vectors=" + vectors + "\");\n";
  t += "    else\n";
  t +=
      "      $display(\"FAIL " + name + " vectors=" + vectors + " mismatches=%0d\", mismatches);\n";
  t += "    $finish;\n";
  t += "  end\n";
  t += "endmodule\n";
  return t;
}

// One constant array of VHDL literals; a single element needs named association.
void append_vhdl_array(std::string& t, const char* constant, const char* type,
                       const std::vector<bits>& values) {
  t += std::string("  constant ") + constant + " : " + type + "(0 to " +
       std::to_string(values.size() - 1) + ") := (";
  if (values.size() == 1) {
    t += "0 => ";
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    t += i == 0 ? "\n    " : ",\n    ";
    append_vhdl_literal(t, values[i]);
  }
  t += ");\n";
}

std::string vhdl_testbench(const hdl_code& code, hdl_unit unit, const std::string& name,
                           const stimulus& s) {
  const int width = static_cast<int>(s.expected.front().size());
  const std::string vectors = std::to_string(s.cycles.size());
  std::string t = intro(code, unit, name, "--", static_cast<int>(s.cycles.size()));
  t += "library ieee;\nuse ieee.std_logic_1164.all;\nuse std.textio.all;\n\n";
  t += "entity " + name + "_tb is\nend entity " + name + "_tb;\n\n";
  t += "architecture sim of " + name + "_tb is\n";
  t += "  type word_array is array (natural range <>) of std_logic_vector(" +
       std::to_string(code.p - 1) + " downto 0);\n";
  t += "  type result_array is array (natural range <>) of std_logic_vector(" +
       std::to_string(width - 1) + " downto 0);\n";
  t += "  type int_array is array (natural range <>) of natural;\n";
  append_vhdl_array(t, "words", "word_array", s.words);
  append_vhdl_array(t, "expected", "result_array", s.expected);
  t += "  constant cycles : int_array(0 to " + std::to_string(s.cycles.size() - 1) + ") := (";
  if (s.cycles.size() == 1) {
    t += "0 => ";
  }
  for (std::size_t v = 0; v < s.cycles.size(); ++v) {
    t += v == 0 ? "" : (v % 16 == 0 ? ",\n    " : ", ");
    hdl_append_int(t, s.cycles[v]);
  }
  t += ");\n";
  t += "  signal clk    : std_logic := '0';\n";
  t += "  signal clear  : std_logic := '0';\n";
  t += "  signal enable : std_logic := '0';\n";
  t += "  signal data   : std_logic_vector(" + std::to_string(code.p - 1) +
       " downto 0) := (others => '0');\n";
  t += "  signal result : std_logic_vector(" + std::to_string(width - 1) + " downto 0);\n";
  t += "  signal done   : boolean := false;\n";
  t += "begin\n";
  t += "  dut : entity work." + name + "\n";
  t += "    port map (clk => clk, clear => clear, enable => enable, data => data,\n";
  t += std::string("              ") + result_port(unit) + " => result);\n\n";
  t += "  -- The clock stops once the run is over, and with it the simulation.\n";
  t += "  clk <= not clk after 5 ns when not done else clk;\n\n";
  t += "  stimulus : process\n";
  t += "    variable pos        : natural := 0;\n";
  t += "    variable mismatches : natural := 0;\n";
  t += "    variable l          : line;\n";
  t += "  begin\n";
  t += "    for v in 0 to " + std::to_string(s.cycles.size() - 1) + " loop\n";
  t += "      wait until falling_edge(clk);\n";
  t += "      clear  <= '1';\n";
  t += "      enable <= '1';\n";
  t += "      data   <= (others => '1');\n";
  t += "      wait until falling_edge(clk);\n";
  t += "      clear  <= '0';\n";
  t += "      enable <= '0';\n";
  t += "      for w in 1 to cycles(v) loop\n";
  t += "        if pos mod 5 = 3 then\n";
  t += "          enable <= '0';\n";
  t += "          data   <= not words(pos);\n";
  t += "          wait until falling_edge(clk);\n";
  t += "        end if;\n";
  t += "        enable <= '1';\n";
  t += "        data   <= words(pos);\n";
  t += "        pos := pos + 1;\n";
  t += "        wait until falling_edge(clk);\n";
  t += "      end loop;\n";
  t += "      enable <= '0';\n";
  t += "      if result /= expected(v) then\n";
  t += "        mismatches := mismatches + 1;\n";
  t += "        write(l, string'(\"mismatch in vector \"));\n";
  t += "        write(l, v);\n";
  t += "        writeline(output, l);\n";
  t += "      end if;\n";
  t += "    end loop;\n";
  t += "    if mismatches = 0 then\n";
  t += "      write(l, string'(\"PASS " + name + " vectors=" + vectors + "\"));\n";
  t += "      writeline(output, l);\n";
  t += "      done <= true;\n";
  t += "    else\n";
  t += "      write(l, string'(\"FAIL " + name + " vectors=" + vectors + " mismatches=\"));\n";
  t += "      write(l, mismatches);\n";
  t += "      writeline(output, l);\n";
  t += "      assert false report \"" + name +
       "_tb: outputs differ from the expected values\" severity failure;\n";
  t += "    end if;\n";
  t += "    wait;\n";
  t += "  end process stimulus;\n";
  t += "end architecture sim;\n";
  return t;
}

}  // namespace

status hdl_testbench_text(const hdl_code& code, hdl_unit unit, hdl_language language,
                          const std::string& name, const hdl_testbench_options& options,
                          std::string* text) {
  if (options.vectors < 1 || options.vectors > kMaxVectors) {
    return status::error("testbench vector count " + std::to_string(options.vectors) +
                         " is outside 1 ... " + std::to_string(kMaxVectors));
  }
  if (options.max_full_cycles < kOtherCycles) {
    return status::error("testbench clock cap " + std::to_string(options.max_full_cycles) +
                         " is below " + std::to_string(kOtherCycles));
  }
  stimulus s;
  if (std::string e = build_stimulus(code, unit, options, s); !e.empty()) {
    return status::error(e);
  }
  *text = language == hdl_language::verilog ? verilog_testbench(code, unit, name, s)
                                            : vhdl_testbench(code, unit, name, s);
  return status::success();
}
