// Tests of the page map: colours that stay apart in grey print and for colour-blind eyes,
// level names, and the map drawn standalone with its tooltips, bad-block marks, row labels and
// runs of quiet cells.
#include "report/page_map.h"

#include <gtest/gtest.h>

#include <cmath>   // std::pow
#include <cstdio>  // std::tmpfile
#include <regex>   // std::regex
#include <set>     // std::set
#include <string>  // std::string
#include <vector>  // std::vector

#include "files/output_file.h"        // file_ptr
#include "tests/report/small_pass.h"  // small_pass
#include "tests/support/markup.h"     // file_text, unbalanced

namespace {

// Relative luminance of "#rrggbb", as in the WCAG definition.
double luminance(const std::string& hex) {
  double sum = 0;
  const double weight[3] = {0.2126, 0.7152, 0.0722};
  for (int i = 0; i < 3; ++i) {
    const double c = std::stoi(hex.substr(1 + 2 * i, 2), nullptr, 16) / 255.0;
    sum += weight[i] * (c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
  }
  return sum;
}

}  // namespace

TEST(PageMap, LevelColoursStayApart) {
  std::set<std::string> seen;
  for (int level = 0; level < kMapLevels; ++level)
    EXPECT_TRUE(seen.insert(map_level_colour(level)).second) << "case level " << level;
  // 1 to 8 bits darken step by step, so that grey print and colour-blind eyes still order them.
  for (int level = 3; level <= 9; ++level) {
    EXPECT_LT(luminance(map_level_colour(level)), luminance(map_level_colour(level - 1)) - 0.03)
        << "case level " << level;
  }
  EXPECT_LT(luminance(map_level_colour(10)), luminance(map_level_colour(9))) << "uncorrectable";
  EXPECT_GT(luminance(map_level_colour(0)), luminance(map_level_colour(9))) << "clean";
  EXPECT_EQ(map_level_name(2, 8), "1 bit");
  EXPECT_EQ(map_level_name(3, 8), "2 bits");
  EXPECT_EQ(map_level_name(2, 40), "1-5 bits");
  EXPECT_EQ(map_level_name(9, 40), "36-40 bits");
}

TEST(PageMap, StandaloneMapKeepsItsShape) {
  const small_pass pass;
  const page_map& map = pass.stats.map;
  file_ptr f(std::tmpfile());
  ASSERT_TRUE(write_page_map(f.get(), map, {"d.bin", "12 pages"}, true, 1200));
  const std::string svg = file_text(f.get());
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
  EXPECT_EQ(unbalanced(svg), "");
  EXPECT_NE(svg.find("fill=\"#000000\"><title>page 5 (block 1, page 1): uncorrectable"),
            std::string::npos);
  EXPECT_NE(svg.find("<title>block 2 marked bad</title>"), std::string::npos);
  EXPECT_NE(svg.find(">uncorrectable</text>"), std::string::npos) << "legend";
  // Every row labelled: blocks 0, 1 and 2.
  for (int block = 0; block < 3; ++block) {
    EXPECT_TRUE(std::regex_search(
        svg, std::regex("dominant-baseline=\"middle\">" + std::to_string(block) + "</text>")))
        << "case block " << block;
  }
  // Runs of clean pages share one cell: pages 6 and 7, and all of block 2.
  EXPECT_NE(svg.find("<title>block 1, pages 2-3: clean</title>"), std::string::npos);
  EXPECT_NE(svg.find("<title>block 2, pages 0-3: clean; block marked bad</title>"),
            std::string::npos);
}
