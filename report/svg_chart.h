// Bar charts drawn as inline SVG for the report: one bar per value, axes with readable ticks,
// a <title> tooltip on every bar, optionally a logarithmic scale or a second series drawn
// below the axis. No script and no external resource: the chart prints as it shows.
#pragma once

#include <cstddef>  // std::size_t
#include <cstdio>   // std::FILE
#include <string>   // std::string
#include <utility>  // std::pair
#include <vector>   // std::vector

struct chart_bar {
  double up = 0;                 // drawn above the axis, >= 0
  double down = 0;               // mirrored charts: drawn below the axis, >= 0
  std::string tip;               // the tooltip (plain text, escaped when written)
  const char* colour = nullptr;  // null: the chart's up colour
};

struct bar_chart {
  std::string id;          // the <svg> element's id
  std::string title;       // read by screen readers and as the chart's tooltip
  std::string x_title;     // below the x axis
  std::string y_title;     // above the y axis
  std::string down_title;  // mirrored charts: names the series below the axis
  std::vector<chart_bar> bars;
  std::vector<std::pair<std::size_t, std::string>> x_ticks;  // bar index and its label
  // A dashed vertical line before bar `first` with its label (a limit such as t).
  std::vector<std::pair<std::size_t, std::string>> markers;
  bool log_scale = false;  // heights by log10(1 + value)
  bool mirrored = false;   // `down` below the axis
  const char* up_colour = "#3b528b";
  const char* down_colour = "#e69f00";
  int width = 960, height = 240;  // pixels; the plot area leaves room for the axes
};

// Writes the chart as one <svg> element. Values that are negative or not finite are drawn as
// 0. An empty chart still gets its axes and a note that there is nothing to show. Returns false
// when writing failed.
bool write_bar_chart(std::FILE* f, const bar_chart& chart);

// Tick values for a linear axis from 0 to `max`: 0 and multiples of 1, 2 or 5 times a power of
// ten, about four of them, the last at or above `max`. `max` <= 0 gives {0, 1}.
std::vector<double> linear_ticks(double max);
