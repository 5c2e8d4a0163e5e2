// A small line-chart writer: axes with ticks, grid, legend and one
// polyline per series, as a self-contained SVG document.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace orvane::tool {

struct PlotSeries {
    std::string name;
    std::string colour;  // any SVG colour, e.g. "#1f77b4"
    std::vector<std::pair<double, double>> points;
};

struct PlotMarker {
    double x = 0;
    std::string label;  // a dashed vertical line with this label
};

struct Plot {
    std::string title;
    std::string x_label;
    std::string y_label;
    std::vector<PlotSeries> series;
    std::vector<PlotMarker> markers;
    int width = 880;
    int height = 520;
};

// "Nice" tick positions (steps of 1, 2 or 5 times a power of ten) that
// cover lo..hi with about `target` ticks.
std::vector<double> nice_ticks(double lo, double hi, int target = 7);

std::string render_svg(const Plot& plot);

}  // namespace orvane::tool
