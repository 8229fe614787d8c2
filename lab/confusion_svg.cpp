// Writing the heat map as SVG text.
#include "lab/confusion_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kCell = 46;   // pixels
constexpr int kLeft = 100;  // room for the row labels
constexpr int kTop = 90;    // room for the title and the column labels
constexpr int kRight = 80;  // room for the per-row accuracy

std::string Escaped(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '<')
      escaped += "&lt;";
    else if (c == '>')
      escaped += "&gt;";
    else if (c == '&')
      escaped += "&amp;";
    else
      escaped += c;
  }
  return escaped;
}

// White blended towards (red, green, blue) by strength 0..1, as "#rrggbb".
std::string Shade(double strength, int red, int green, int blue) {
  const auto mix = [&](int channel) {
    return static_cast<int>(std::lround(255 + (channel - 255) * strength));
  };
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", mix(red), mix(green), mix(blue));
  return text;
}

std::string Text(int x, int y, const std::string& text, const std::string& attributes) {
  return "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" " + attributes + ">" +
         Escaped(text) + "</text>\n";
}

}  // namespace

std::string ConfusionSvg(const ConfusionMatrix& confusion, const std::string& title) {
  uint64_t largestWrong = 0;
  for (int row = 0; row < 10; ++row) {
    for (int column = 0; column < 10; ++column) {
      if (row != column) largestWrong = std::max(largestWrong, confusion[row][column]);
    }
  }
  const int width = kLeft + 10 * kCell + kRight, height = kTop + 10 * kCell + 20;
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
                    "\" height=\"" + std::to_string(height) + "\" font-family=\"sans-serif\">\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  svg += Text(width / 2, 24, title, "font-size=\"16\" text-anchor=\"middle\"");
  svg += Text(kLeft + 5 * kCell, 50, "answer", "font-size=\"14\" text-anchor=\"middle\"");
  svg += "<text font-size=\"14\" text-anchor=\"middle\" transform=\"translate(30 " +
         std::to_string(kTop + 5 * kCell) + ") rotate(-90)\">true digit</text>\n";
  svg += Text(kLeft + 10 * kCell + 40, kTop - 10, "right", "font-size=\"12\" text-anchor=\"middle\"");
  for (int i = 0; i < 10; ++i) {
    const std::string digit = std::to_string(i);
    svg += Text(kLeft + i * kCell + kCell / 2, kTop - 10, digit, "font-size=\"14\" text-anchor=\"middle\"");
    svg += Text(kLeft - 12, kTop + i * kCell + kCell / 2 + 5, digit, "font-size=\"14\" text-anchor=\"end\"");
  }
  for (int row = 0; row < 10; ++row) {
    uint64_t rowTotal = 0;
    for (uint64_t count : confusion[row]) rowTotal += count;
    for (int column = 0; column < 10; ++column) {
      const uint64_t count = confusion[row][column];
      double strength = 0.0;
      std::string fill;
      if (row == column) {
        strength = rowTotal ? static_cast<double>(count) / static_cast<double>(rowTotal) : 0.0;
        fill = Shade(strength, 27, 120, 55);
      } else {
        // A square root, so that a handful of confusions still shows beside the largest.
        strength =
            largestWrong ? std::sqrt(static_cast<double>(count) / static_cast<double>(largestWrong)) : 0.0;
        fill = Shade(strength, 200, 30, 30);
      }
      const int x = kLeft + column * kCell, y = kTop + row * kCell;
      svg += "<rect x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" width=\"" +
             std::to_string(kCell) + "\" height=\"" + std::to_string(kCell) + "\" fill=\"" + fill +
             "\" stroke=\"#dddddd\"/>\n";
      const std::string ink = strength > 0.55 ? "white" : "black";
      svg += Text(x + kCell / 2, y + kCell / 2 + 4, std::to_string(count),
                  "font-size=\"12\" text-anchor=\"middle\" fill=\"" + ink + "\"");
    }
    char share[16];
    std::snprintf(
        share, sizeof share, "%.1f%%",
        rowTotal ? 100.0 * static_cast<double>(confusion[row][row]) / static_cast<double>(rowTotal) : 0.0);
    svg += Text(kLeft + 10 * kCell + 40, kTop + row * kCell + kCell / 2 + 4, share,
                "font-size=\"12\" text-anchor=\"middle\"");
  }
  return svg + "</svg>\n";
}
