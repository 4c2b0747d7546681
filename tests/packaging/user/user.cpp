// A user's program of the installed library (tests/packaging/install_test.sh builds it against
// an installed copy): the built-in layout's code corrects a flipped bit in one step, and a
// small layout file is parsed, so that every installed library is linked and every public
// header compiles from the installed tree. Exit status 0 when all of that holds.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bch/bch.h"
#include "codec/codec.h"
#include "codec/layout_code.h"
#include "layout/layout.h"
#include "layout/layout_file.h"
#include "layout/page_layout.h"
#include "status/status.h"

namespace {

int fail(const std::string& what) {
  std::fprintf(stderr, "user: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main() {
  const nand_layout layout = default_layout(2048, 64, 64);
  const status checked = check_layout(layout);
  if (!checked.ok()) return fail("check_layout: " + checked.message);
  bch_code code;
  const status built = build_layout_code(layout, code);
  if (!built.ok()) return fail("build_layout_code: " + built.message);
  // The built-in code is the one of page_layout.h, on the construction library's polynomial.
  if (code.ecc_bytes != kEccLength ||
      code.primitive_polynomial != static_cast<std::uint32_t>(bch_primitive_polynomial(13))) {
    return fail("unexpected code: " + code_text(layout.code, code.ecc_bytes));
  }

  // One step's message, its ECC, one bit flipped, and the decoder's verdict.
  std::vector<std::uint8_t> data(static_cast<std::size_t>(step_message_bytes(layout.steps[0])));
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const std::vector<std::uint8_t> original = data;
  std::vector<std::uint8_t> ecc(static_cast<std::size_t>(code.ecc_bytes));
  bch_encode(code, data.data(), data.size(), ecc.data());
  data[100] ^= 0x10;
  bch_decode_result result;
  bch_decode(code, data.data(), data.size(), ecc.data(), result);
  if (result.status != bch_status::corrected || result.bits != 1 || data != original) {
    return fail(std::string("the flipped bit came back ") + bch_status_name(result.status));
  }

  const std::string text =
      "[geometry]\npage_size = 512\nspare_size = 16\nblock_pages = 4\n"
      "[code]\nm = 13\nt = 4\n"
      "[[steps]]\ndata = [[0, 512]]\necc = [512, 7]\n";
  nand_layout parsed;
  const status read = parse_layout(text, "user.toml", parsed);
  if (!read.ok()) return fail("parse_layout: " + read.message);
  if (parsed.page_size != 512 || parsed.steps.size() != 1 || parsed.code.t != 4) {
    return fail("parse_layout read another layout");
  }

  std::printf("user: the code %s corrected 1 bit; user.toml read\n",
              code_text(layout.code, code.ecc_bytes).c_str());
  return 0;
}
