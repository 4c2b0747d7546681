// Tests of the reports' text helpers: counts in the number their noun takes, and a hostile file
// name made harmless for markup.
#include "report/report_text.h"

#include <gtest/gtest.h>

TEST(ReportText, CountsAndEscaping) {
  EXPECT_EQ(counted(1, "sector", "sectors"), "1 sector");
  EXPECT_EQ(counted(0, "sector", "sectors"), "0 sectors");
  EXPECT_EQ(markup_escaped("<script>&\"'.bin"), "&lt;script&gt;&amp;&quot;&#39;.bin");
  EXPECT_EQ(markup_escaped("plain name.bin"), "plain name.bin");
}
