// Small text helpers of the reports: counts with their noun, text made safe for markup.
#include "report/report_text.h"

std::string counted(std::int64_t n, const char* singular, const char* plural) {
  return std::to_string(n) + ' ' + (n == 1 ? singular : plural);
}

std::string markup_escaped(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
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
