// Names in the generated texts: which module names both languages accept, and where a
// testbench file goes beside its module file.
#include "hdl/hdl.h"

#include <algorithm>  // std::binary_search, std::is_sorted
#include <cctype>     // std::isalnum, std::isalpha, std::tolower
#include <cstddef>    // std::size_t
#include <iterator>   // std::begin, std::end
#include <string>     // std::string

namespace {

// Reserved words of Verilog-2001, of the later Verilog dialects a designer may compile the file
// with, and of VHDL-2008, plus every name the generated texts use inside, all in lower case
// and sorted (the check below relies on it): a module may carry none of them.
// clang-format off
const char* const kTaken[] = {
    "abs", "access", "after", "alias", "all", "always", "and", "architecture", "array", "assert",
    "assign", "assume", "attribute", "automatic", "begin", "bit", "block", "body", "boolean",
    "break", "buf", "buffer", "bufif0", "bufif1", "bus", "byte", "case", "casex", "casez", "cell",
    "class", "clear", "clk", "cmos", "component", "config", "configuration", "constant", "context",
    "continue", "cover", "cycles", "data", "deassign", "default", "defparam", "design", "disable",
    "disconnect", "do", "done", "downto", "dut", "edge", "else", "elsif", "enable", "end",
    "endcase", "endconfig", "endfunction", "endgenerate", "endmodule", "endprimitive", "endspecify",
    "endtable", "endtask", "entity", "enum", "event", "exit", "expected", "falling_edge", "file",
    "final", "for", "force", "forever", "fork", "function", "generate", "generic", "genvar",
    "group", "guarded", "highz0", "highz1", "ieee", "if", "ifnone", "impure", "in", "incdir",
    "include", "inertial", "initial", "inout", "input", "instance", "int", "int_array", "integer",
    "interface", "is", "join", "l", "label", "large", "liblist", "library", "line", "linkage",
    "literal", "localparam", "logic", "longint", "loop", "macromodule", "map", "medium",
    "mismatches", "mod", "module", "nand", "natural", "negedge", "new", "next", "nmos", "nor",
    "noshowcancelled", "not", "notif0", "notif1", "null", "of", "on", "open", "or", "others", "out",
    "output", "package", "parameter", "parity", "pmos", "port", "pos", "posedge", "postponed",
    "primitive", "procedure", "process", "program", "property", "protected", "pull0", "pull1",
    "pulldown", "pullup", "pulsestyle_ondetect", "pulsestyle_onevent", "pure", "range", "rcmos",
    "real", "realtime", "record", "reg", "register", "reject", "release", "rem", "repeat", "report",
    "restrict", "result", "result_array", "return", "rising_edge", "rnmos", "rol", "ror", "rpmos",
    "rtl", "rtran", "rtranif0", "rtranif1", "scalared", "select", "sequence", "severity", "shared",
    "shortint", "showcancelled", "signal", "signed", "sim", "sla", "sll", "small", "specify",
    "specparam", "sra", "srl", "state", "state_next", "std", "std_logic", "std_logic_1164",
    "std_logic_vector", "stimulus", "string", "strong", "strong0", "strong1", "struct", "subtype",
    "supply0", "supply1", "syndromes", "table", "task", "textio", "then", "time", "to", "tran",
    "tranif0", "tranif1", "transport", "tri", "tri0", "tri1", "triand", "trior", "trireg", "type",
    "typedef", "unaffected", "units", "unsigned", "until", "use", "v", "variable", "vectored",
    "void", "w", "wait", "wand", "weak0", "weak1", "when", "while", "wire", "with", "wor",
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
