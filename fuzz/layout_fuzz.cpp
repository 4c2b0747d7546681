// Fuzz target of the layout-file reader: parse_layout on any text. A layout it accepts must
// pass check_layout, and writing it back with layout_to_toml must read again to the same
// layout and write to the same text. Aborts with a message on any difference.
#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint8_t
#include <cstdio>   // std::fprintf, stderr
#include <cstdlib>  // std::abort
#include <string>   // std::string
#include <vector>   // std::vector

#include "layout/layout.h"       // nand_layout, check_layout, layout_to_toml
#include "layout/layout_file.h"  // parse_layout

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& text) {
  std::fprintf(stderr, "layout fuzz: %s\n--- layout written back:\n%s\n", what.c_str(),
               text.c_str());
  std::abort();
}

bool same_spans(const std::vector<layout_span>& a, const std::vector<layout_span>& b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t j = 0; j < a.size(); ++j) {
    if (a[j].offset != b[j].offset || a[j].length != b[j].length)
      return false;
  }
  return true;
}

// "" when the layouts agree in everything but their source; otherwise the first difference.
std::string layout_difference(const nand_layout& a, const nand_layout& b) {
  if (a.name != b.name)
    return "name";
  if (a.page_size != b.page_size || a.spare_size != b.spare_size || a.block_pages != b.block_pages)
    return "geometry";
  const layout_code& x = a.code;
  const layout_code& y = b.code;
  if (x.m != y.m || x.t != y.t || x.primitive_polynomial != y.primitive_polynomial)
    return "code m, t or polynomial";
  if (x.lsb_first != y.lsb_first || x.pad_start != y.pad_start)
    return "code bit order or pad";
  if (x.mask != y.mask || x.mask_bytes != y.mask_bytes)
    return "code mask";
  if (a.steps.size() != b.steps.size())
    return std::to_string(a.steps.size()) + " steps vs " + std::to_string(b.steps.size());
  for (std::size_t k = 0; k < a.steps.size(); ++k) {
    const layout_step& s = a.steps[k];
    const layout_step& t = b.steps[k];
    if (s.bits != t.bits || !same_spans(s.data, t.data) ||
        !same_spans(s.protected_, t.protected_) || !same_spans({s.ecc}, {t.ecc}))
      return "step " + std::to_string(k);
  }
  if (a.bad_block.present != b.bad_block.present)
    return "bad block present";
  if (a.bad_block.present && (!same_spans({a.bad_block.marker}, {b.bad_block.marker}) ||
                              a.bad_block.pages != b.bad_block.pages))
    return "bad block marker or pages";
  return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(input), size);
  nand_layout layout;
  if (!parse_layout(text, "fuzz", layout).ok())
    return 0;
  if (layout.source != "fuzz")
    fail("the source is \"" + layout.source + "\", not the name given", "");
  const std::string fault = check_layout(layout).message;
  if (!fault.empty())
    fail("an accepted layout fails check_layout: " + fault, layout_to_toml(layout));

  const std::string written = layout_to_toml(layout);
  nand_layout back;
  const std::string back_fault = parse_layout(written, "fuzz", back).message;
  if (!back_fault.empty())
    fail("the layout written back is refused: " + back_fault, written);
  const std::string difference = layout_difference(layout, back);
  if (!difference.empty())
    fail("the layout read back differs: " + difference, written);
  if (layout_to_toml(back) != written)
    fail("the layout read back writes a different text", written);
  return 0;
}
