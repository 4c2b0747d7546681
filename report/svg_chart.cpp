// The report's bar charts: plain rectangles and text in pixel coordinates, so that what a
// browser shows is what prints.
#include "report/svg_chart.h"

#include <algorithm>  // std::max
#include <cmath>      // std::log10, std::pow, std::floor, std::isfinite, std::ceil

#include "report/report_text.h"  // markup_escaped

namespace {

constexpr double kLeft = 64, kRight = 16, kTop = 28, kBottom = 44;

double clean_value(double v) {
  return std::isfinite(v) && v > 0 ? v : 0;
}

std::string number_text(double v) {
  char text[32];
  if (v >= 1e6 && v == std::floor(v) && std::fmod(v, 1e6) == 0)
    std::snprintf(text, sizeof text, "%.0fM", v / 1e6);
  else if (v >= 1e4 && std::fmod(v, 1e3) == 0)
    std::snprintf(text, sizeof text, "%.0fk", v / 1e3);
  else
    std::snprintf(text, sizeof text, "%.0f", v);
  return text;
}

}  // namespace

std::vector<double> linear_ticks(double max) {
  if (!(max > 0))
    return {0, 1};
  const double rough = max / 4;
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  double step = power;
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    step = m * power;
    if (step >= rough)
      break;
  }
  step = std::max(step, 1.0);  // counts: no fractional ticks
  std::vector<double> ticks;
  for (double v = 0;; v += step) {
    ticks.push_back(v);
    if (v >= max)
      break;
  }
  return ticks;
}

bool write_bar_chart(std::FILE* f, const bar_chart& c) {
  const double plot_w = c.width - kLeft - kRight;
  const double plot_h = c.height - kTop - kBottom;
  double max_up = 0, max_down = 0;
  for (const chart_bar& b : c.bars) {
    max_up = std::max(max_up, clean_value(b.up));
    max_down = std::max(max_down, clean_value(b.down));
  }
  // Mirrored charts share one scale above and below; the axis sits where their maxima meet.
  const double max_value = std::max(max_up, max_down);
  std::vector<double> ticks;
  if (c.log_scale) {
    for (double v = 1; v <= std::max(max_value, 1.0) * 10; v *= 10) {
      ticks.push_back(v);
      if (v >= max_value)
        break;
    }
    ticks.insert(ticks.begin(), 0);
  } else {
    ticks = linear_ticks(max_value);
  }
  const double top_value = ticks.back();
  const auto scaled = [&](double v) {
    v = clean_value(v);
    if (c.log_scale)
      return std::log10(1 + v) / std::log10(1 + top_value);
    return v / top_value;
  };
  const double half = c.mirrored ? plot_h / 2 : plot_h;
  const double axis_y = kTop + half;
  const double bar_w = c.bars.empty() ? plot_w : plot_w / static_cast<double>(c.bars.size());

  std::fprintf(f,
               "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"%s\" class=\"chart\" width=\"%d\" "
               "height=\"%d\" viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"11\" "
               "style=\"max-width:100%%;height:auto\" role=\"img\">\n<title>%s</title>\n"
               "<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n",
               markup_escaped(c.id).c_str(), c.width, c.height, c.width, c.height,
               markup_escaped(c.title).c_str());
  // Grid lines and y labels; mirrored charts repeat them below the axis.
  std::fputs("<g class=\"y-axis\" fill=\"#444444\">\n", f);
  for (double v : ticks) {
    for (int side = 0; side < (c.mirrored ? 2 : 1); ++side) {
      if (side == 1 && v == 0)
        continue;
      const double y = side == 0 ? axis_y - scaled(v) * half : axis_y + scaled(v) * half;
      std::fprintf(f,
                   "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#dddddd\"/>"
                   "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\" "
                   "dominant-baseline=\"middle\">%s</text>\n",
                   kLeft, y, kLeft + plot_w, y, kLeft - 4, y, number_text(v).c_str());
    }
  }
  std::fprintf(f, "<text x=\"4\" y=\"14\" font-weight=\"bold\">%s</text>\n",
               markup_escaped(c.y_title).c_str());
  if (c.mirrored) {
    std::fprintf(f, "<text x=\"4\" y=\"%.1f\" font-weight=\"bold\">%s</text>\n",
                 static_cast<double>(c.height) - 4, markup_escaped(c.down_title).c_str());
  }
  std::fputs("</g>\n<g class=\"bars\">\n", f);
  for (std::size_t i = 0; i < c.bars.size(); ++i) {
    const chart_bar& b = c.bars[i];
    const double x = kLeft + static_cast<double>(i) * bar_w;
    const double w = std::max(bar_w - (bar_w >= 4 ? 1 : 0), 0.5);
    const double up = scaled(b.up) * half;
    const double down = scaled(b.down) * half;
    const std::string tip = markup_escaped(b.tip);
    if (up > 0) {
      std::fprintf(f,
                   "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"%s\">"
                   "<title>%s</title></rect>\n",
                   x, axis_y - up, w, std::max(up, 1.0), b.colour ? b.colour : c.up_colour,
                   tip.c_str());
    }
    if (c.mirrored && down > 0) {
      std::fprintf(f,
                   "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"%s\">"
                   "<title>%s</title></rect>\n",
                   x, axis_y, w, std::max(down, 1.0), c.down_colour, tip.c_str());
    }
  }
  std::fputs("</g>\n", f);
  if (max_value == 0) {
    std::fprintf(f,
                 "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" fill=\"#444444\">nothing "
                 "to show: no bit was corrected</text>\n",
                 kLeft + plot_w / 2, kTop + plot_h / 2);
  }
  for (const auto& [at, label] : c.markers) {
    const double x = kLeft + static_cast<double>(at) * bar_w;
    std::fprintf(f,
                 "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#000000\" "
                 "stroke-dasharray=\"4 3\"/><text x=\"%.1f\" y=\"%.1f\" "
                 "text-anchor=\"end\">%s</text>\n",
                 x, kTop - 6, x, kTop + plot_h, x - 3, kTop - 8 + 12,
                 markup_escaped(label).c_str());
  }
  // The x axis, its ticks at the middle of their bars, and its title.
  std::fprintf(f,
               "<g class=\"x-axis\"><line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" "
               "stroke=\"#000000\"/>\n",
               kLeft, axis_y, kLeft + plot_w, axis_y);
  const double label_y = kTop + plot_h + 14;
  for (const auto& [at, label] : c.x_ticks) {
    const double x = kLeft + (static_cast<double>(at) + 0.5) * bar_w;
    std::fprintf(f,
                 "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#000000\"/>"
                 "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n",
                 x, kTop + plot_h, x, kTop + plot_h + 3, x, label_y, markup_escaped(label).c_str());
  }
  std::fprintf(f, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text></g>\n",
               kLeft + plot_w / 2, label_y + 16, markup_escaped(c.x_title).c_str());
  std::fputs("</svg>\n", f);
  return std::ferror(f) == 0;
}
