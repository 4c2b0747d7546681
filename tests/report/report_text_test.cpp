// Tests of the reports' text helpers: counts in the number their noun takes, and a hostile file
// name made harmless for markup, whatever bytes it holds.
#include "report/report_text.h"

#include <gtest/gtest.h>

TEST(ReportText, CountsAndEscaping) {
  EXPECT_EQ(counted(1, "sector", "sectors"), "1 sector");
  EXPECT_EQ(counted(0, "sector", "sectors"), "0 sectors");
  EXPECT_EQ(markup_escaped("<script>&\"'.bin"), "&lt;script&gt;&amp;&quot;&#39;.bin");
  EXPECT_EQ(markup_escaped("plain name.bin"), "plain name.bin");
}

// A dump's name may hold any bytes; what reaches the SVG must be characters XML 1.0 allows, and
// show what the name held. Well-formed characters stay (2, 3 and 4 bytes); every other byte
// shows its value.
TEST(ReportText, BytesThatAreNoCharacterShowTheirValue) {
  const struct {
    const char* name;
    std::string text, shown;
  } cases[] = {
      {"well-formed", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
       "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"C0 controls, tab and newline", std::string("a\x01\tb\nc\x1B[31m\0d", 13),
       "a\\x01\\x09b\\x0Ac\\x1B[31m\\x00d"},
      {"DEL and C1", "\x7F\xC2\x85", "\\x7F\\xC2\\x85"},
      {"Latin-1, not UTF-8", "d\xFCmp\xE9.bin", "d\\xFCmp\\xE9.bin"},
      {"stray continuation", "\x80\xBF", "\\x80\\xBF"},
      {"overlong slash", "\xC0\xAF", "\\xC0\\xAF"},
      {"surrogate", "\xED\xA0\x80", "\\xED\\xA0\\x80"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
      {"U+FFFE and U+FFFF", "\xEF\xBF\xBE\xEF\xBF\xBF", "\\xEF\\xBF\\xBE\\xEF\\xBF\\xBF"},
      {"cut short, then markup", "\xE2\x82<", "\\xE2\\x82&lt;"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(markup_escaped(c.text), c.shown) << "case " << c.name;
}
