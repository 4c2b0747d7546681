// Small text helpers of the reports: counts with their noun, text made safe for markup.
#include "report/report_text.h"

#include <cstddef>  // std::size_t

namespace {

// The length of the well-formed UTF-8 character at text[i] that markup may hold as it is: 1
// to 4, or 0 for a byte that starts none (a stray continuation, an overlong form, a
// surrogate, beyond U+10FFFF, cut short) and for the characters no reader should get raw:
// controls (C0, DEL, C1; XML 1.0 forbids most of C0) and U+FFFE, U+FFFF (XML 1.0 forbids them).
std::size_t shown_as_is(const std::string& text, std::size_t i) {
  const auto at = [&](std::size_t k) {
    return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
  };
  const auto follows = [&](std::size_t k, unsigned lo, unsigned hi) {
    return at(k) >= lo && at(k) <= hi;
  };
  const unsigned c = at(0);
  if (c < 0x20 || c == 0x7F)
    return 0;
  if (c < 0x80)
    return 1;
  if (c >= 0xC2 && c <= 0xDF)
    return follows(1, 0x80, 0xBF) && !(c == 0xC2 && at(1) <= 0x9F) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    const unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    if (!follows(1, lo, hi) || !follows(2, 0x80, 0xBF))
      return 0;
    return c == 0xEF && at(1) == 0xBF && at(2) >= 0xBE ? 0 : 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    const unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    return follows(1, lo, hi) && follows(2, 0x80, 0xBF) && follows(3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

}  // namespace

std::string counted(std::int64_t n, const char* singular, const char* plural) {
  return std::to_string(n) + ' ' + (n == 1 ? singular : plural);
}

std::string markup_escaped(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = shown_as_is(text, i);
    if (n == 0) {
      // Its value, byte by byte (a C1 control's two bytes each so), so that a name holding
      // such bytes still reads as the bytes it holds, and the markup stays well-formed.
      const auto b = static_cast<unsigned char>(text[i++]);
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
      continue;
    }
    if (n > 1) {
      out.append(text, i, n);
      i += n;
      continue;
    }
    const char c = text[i++];
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}
