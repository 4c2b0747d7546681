// Names in the generated texts: which module names both languages accept, and where a
// testbench file goes beside its module file.
#include "hdl/hdl.h"

#include <algorithm>  // std::binary_search
#include <cctype>     // std::isalnum, std::isalpha, std::tolower
#include <cstddef>    // std::size_t
#include <iterator>   // std::begin, std::end
#include <string>     // std::string

namespace {

// Every reserved word of Verilog (IEEE 1364-2005: the 2001 words and uwire), of SystemVerilog
// (IEEE 1800-2017, whose words are those of 1800-2012: the later dialect a designer may compile
// the Verilog file with) and of VHDL-2008 (IEEE 1076-2008, the PSL words vunit, vmode, vprop,
// restrict_guarantee and the like among them), plus every name the generated texts use inside,
// all in lower case and sorted (the check below relies on it): a module may carry none of them,
// in any case, since VHDL does not tell case apart.
// clang-format off
const char* const kTaken[] = {
    "abs", "accept_on", "access", "after", "alias", "all", "always", "always_comb", "always_ff",
    "always_latch", "and", "architecture", "array", "assert", "assign", "assume",
    "assume_guarantee", "attribute", "automatic", "before", "begin", "bind", "bins", "binsof",
    "bit", "block", "body", "boolean", "break", "buf", "buffer", "bufif0", "bufif1", "bus", "byte",
    "case", "casex", "casez", "cell", "chandle", "checker", "class", "clear", "clk", "clocking",
    "cmos", "component", "config", "configuration", "const", "constant", "constraint", "context",
    "continue", "cover", "covergroup", "coverpoint", "cross", "cycles", "data", "deassign",
    "default", "defparam", "design", "disable", "disconnect", "dist", "do", "done", "downto", "dut",
    "edge", "else", "elsif", "enable", "end", "endcase", "endchecker", "endclass", "endclocking",
    "endconfig", "endfunction", "endgenerate", "endgroup", "endinterface", "endmodule",
    "endpackage", "endprimitive", "endprogram", "endproperty", "endsequence", "endspecify",
    "endtable", "endtask", "entity", "enum", "event", "eventually", "exit", "expect", "expected",
    "export", "extends", "extern", "fairness", "falling_edge", "file", "final", "first_match",
    "for", "force", "foreach", "forever", "fork", "forkjoin", "function", "generate", "generic",
    "genvar", "global", "group", "guarded", "highz0", "highz1", "ieee", "if", "iff", "ifnone",
    "ignore_bins", "illegal_bins", "implements", "implies", "import", "impure", "in", "incdir",
    "include", "inertial", "initial", "inout", "input", "inside", "instance", "int", "int_array",
    "integer", "interconnect", "interface", "intersect", "is", "join", "join_any", "join_none", "l",
    "label", "large", "let", "liblist", "library", "line", "linkage", "literal", "local",
    "localparam", "logic", "longint", "loop", "macromodule", "map", "matches", "medium",
    "mismatches", "mod", "modport", "module", "nand", "natural", "negedge", "nettype", "new",
    "next", "nexttime", "nmos", "nor", "noshowcancelled", "not", "notif0", "notif1", "null", "of",
    "on", "open", "or", "others", "out", "output", "package", "packed", "parameter", "parity",
    "pmos", "port", "pos", "posedge", "postponed", "primitive", "priority", "procedure", "process",
    "program", "property", "protected", "pull0", "pull1", "pulldown", "pullup",
    "pulsestyle_ondetect", "pulsestyle_onevent", "pure", "rand", "randc", "randcase",
    "randsequence", "range", "rcmos", "real", "realtime", "record", "ref", "reg", "register",
    "reject", "reject_on", "release", "rem", "repeat", "report", "restrict", "restrict_guarantee",
    "result", "result_array", "return", "rising_edge", "rnmos", "rol", "ror", "rpmos", "rtl",
    "rtran", "rtranif0", "rtranif1", "s_always", "s_eventually", "s_nexttime", "s_until",
    "s_until_with", "scalared", "select", "sequence", "severity", "shared", "shortint", "shortreal",
    "showcancelled", "signal", "signed", "sim", "sla", "sll", "small", "soft", "solve", "specify",
    "specparam", "sra", "srl", "state", "state_next", "static", "std", "std_logic",
    "std_logic_1164", "std_logic_vector", "stimulus", "string", "strong", "strong0", "strong1",
    "struct", "subtype", "super", "supply0", "supply1", "sync_accept_on", "sync_reject_on",
    "syndromes", "table", "tagged", "task", "textio", "then", "this", "throughout", "time",
    "timeprecision", "timeunit", "to", "tran", "tranif0", "tranif1", "transport", "tri", "tri0",
    "tri1", "triand", "trior", "trireg", "type", "typedef", "unaffected", "union", "unique",
    "unique0", "units", "unsigned", "until", "until_with", "untyped", "use", "uwire", "v", "var",
    "variable", "vectored", "virtual", "vmode", "void", "vprop", "vunit", "w", "wait", "wait_order",
    "wand", "weak", "weak0", "weak1", "when", "while", "wildcard", "wire", "with", "within", "wor",
    "word_array", "words", "work", "write", "writeline", "xnor", "xor"};
// clang-format on

constexpr std::size_t kMaxName = 64;

bool taken(const std::string& lower) {
  return std::binary_search(std::begin(kTaken), std::end(kTaken), lower,
                            [](const std::string& a, const std::string& b) { return a < b; });
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() > tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

status hdl_check_name(const std::string& name) {
  if (name.empty() || name.size() > kMaxName) {
    return status::error("module name '" + name + "' must have 1 to 64 characters");
  }
  if (!std::isalpha(static_cast<unsigned char>(name[0])) ||
      static_cast<unsigned char>(name[0]) > 127) {
    return status::error("module name '" + name + "' must start with a letter A-Z or a-z");
  }
  std::string lower;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c > 127 || (!std::isalnum(c) && c != '_')) {
      return status::error("module name '" + name +
                           "' may hold only letters, digits and underscores");
    }
    if (c == '_' && (i + 1 == name.size() || name[i + 1] == '_')) {
      return status::error("module name '" + name +
                           "' may not end with an underscore or hold two in a row");
    }
    lower += static_cast<char>(std::tolower(c));
  }
  if (taken(lower)) {
    return status::error("module name '" + name +
                         "' is a reserved word or a name used inside the module");
  }
  return status::success();
}

std::string hdl_testbench_path(const std::string& module_path, hdl_language language) {
  if (language == hdl_language::verilog) {
    return ends_with(module_path, ".v") ? module_path.substr(0, module_path.size() - 2) + "_tb.v"
                                        : module_path + "_tb.v";
  }
  if (ends_with(module_path, ".vhd")) {
    return module_path.substr(0, module_path.size() - 4) + "_tb.vhd";
  }
  if (ends_with(module_path, ".vhdl")) {
    return module_path.substr(0, module_path.size() - 5) + "_tb.vhdl";
  }
  return module_path + "_tb.vhd";
}
