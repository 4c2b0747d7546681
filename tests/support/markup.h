// Test support for the outputs in markup: a check that every element of an SVG or HTML text is
// closed in the order it was opened (and file_text, to read them back).
#pragma once

#include <set>     // std::set
#include <string>  // std::string
#include <vector>  // std::vector

#include "tests/support/file_text.h"  // file_text

// "" when every element is closed in the order it was opened (void elements aside); otherwise
// the first fault. Text between tags is not checked, except that it holds no '<'.
inline std::string unbalanced(const std::string& page) {
  static const std::set<std::string> kVoid = {"meta", "br", "hr", "img", "input", "link"};
  std::vector<std::string> open;
  for (std::size_t i = page.find('<'); i != std::string::npos; i = page.find('<', i)) {
    const std::size_t end = page.find('>', i);
    if (end == std::string::npos)
      return "unterminated tag at " + std::to_string(i);
    const std::string tag = page.substr(i + 1, end - i - 1);
    i = end + 1;
    if (tag.empty())
      return "empty tag";
    if (tag[0] == '!' || tag[0] == '?')
      continue;
    const bool closing = tag[0] == '/';
    const bool self_closing = tag.back() == '/';
    const std::string name =
        tag.substr(closing ? 1 : 0, tag.find_first_of(" /\n", 1) - (closing ? 1 : 0));
    if (closing) {
      if (open.empty() || open.back() != name)
        return "</" + name + "> closes <" + (open.empty() ? "" : open.back()) + ">";
      open.pop_back();
    } else if (!self_closing && kVoid.count(name) == 0) {
      open.push_back(name);
    }
  }
  return open.empty() ? "" : "<" + open.back() + "> never closed";
}
