#include "svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace orvane::tool {

namespace {

std::string num(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", v);
    return buffer;
}

// Tick labels without needless decimals: 0.5, 1, 2.5, 100.
std::string tick_label(double v, double step) {
    int decimals = 0;
    while (decimals < 6 && std::fabs(step * std::pow(10.0, decimals) - std::round(step * std::pow(10.0, decimals))) > 1e-9) {
        ++decimals;
    }
    if (std::fabs(v) < step * 1e-9) v = 0;  // no "-0"
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
    return buffer;
}

std::string escape(const std::string& text) {
    std::string out;
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
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

std::vector<double> nice_ticks(double lo, double hi, int target) {
    if (!(hi > lo)) hi = lo + 1;
    const double rough = (hi - lo) / std::max(target - 1, 1);
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = power;
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        step = m * power;
        if (step >= rough) break;
    }
    std::vector<double> ticks;
    for (double t = std::floor(lo / step) * step; t <= hi + step * 1e-9; t += step) {
        if (t >= lo - step * 1e-9) ticks.push_back(t);
    }
    return ticks;
}

std::string render_svg(const Plot& plot) {
    // Data range, widened to whole ticks.
    double x_lo = std::numeric_limits<double>::max();
    double x_hi = std::numeric_limits<double>::lowest();
    double y_lo = x_lo;
    double y_hi = x_hi;
    for (const auto& s : plot.series) {
        for (const auto& [x, y] : s.points) {
            x_lo = std::min(x_lo, x);
            x_hi = std::max(x_hi, x);
            y_lo = std::min(y_lo, y);
            y_hi = std::max(y_hi, y);
        }
    }
    if (x_lo > x_hi) x_lo = 0, x_hi = 1, y_lo = 0, y_hi = 1;
    if (y_hi - y_lo < 1e-9) y_lo -= 1, y_hi += 1;
    const double pad = (y_hi - y_lo) * 0.05;
    auto x_ticks = nice_ticks(x_lo, x_hi);
    auto y_ticks = nice_ticks(y_lo - pad, y_hi + pad);
    const double x_step = x_ticks.size() > 1 ? x_ticks[1] - x_ticks[0] : 1;
    const double y_step = y_ticks.size() > 1 ? y_ticks[1] - y_ticks[0] : 1;
    // The time axis spans the data exactly: it ends where the data ends.
    // The value axis extends to the ticks just outside the data.
    if (!(x_hi > x_lo)) x_hi = x_lo + 1;
    if (y_ticks.front() > y_lo - pad + y_step * 1e-9) y_ticks.insert(y_ticks.begin(), y_ticks.front() - y_step);
    if (y_ticks.back() < y_hi + pad - y_step * 1e-9) y_ticks.push_back(y_ticks.back() + y_step);
    y_lo = y_ticks.front();
    y_hi = y_ticks.back();

    const double left = 80;
    const double right = plot.width - 30.0;
    const double top = 50;
    const double bottom = plot.height - 60.0;
    const auto px = [&](double x) { return left + (x - x_lo) / (x_hi - x_lo) * (right - left); };
    const auto py = [&](double y) { return bottom - (y - y_lo) / (y_hi - y_lo) * (bottom - top); };

    std::string svg;
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(plot.width) + "\" height=\"" +
           std::to_string(plot.height) + "\" viewBox=\"0 0 " + std::to_string(plot.width) + " " +
           std::to_string(plot.height) + "\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"" + num((left + right) / 2) + "\" y=\"28\" text-anchor=\"middle\" font-size=\"18\" "
           "font-weight=\"bold\">" + escape(plot.title) + "</text>\n";

    // Grid and ticks.
    svg += "<g stroke=\"#dddddd\" stroke-width=\"1\">\n";
    for (double t : x_ticks) svg += "<line x1=\"" + num(px(t)) + "\" y1=\"" + num(top) + "\" x2=\"" + num(px(t)) + "\" y2=\"" + num(bottom) + "\"/>\n";
    for (double t : y_ticks) svg += "<line x1=\"" + num(left) + "\" y1=\"" + num(py(t)) + "\" x2=\"" + num(right) + "\" y2=\"" + num(py(t)) + "\"/>\n";
    svg += "</g>\n";
    svg += "<g font-size=\"13\" fill=\"#333333\">\n";
    for (double t : x_ticks) {
        svg += "<line x1=\"" + num(px(t)) + "\" y1=\"" + num(bottom) + "\" x2=\"" + num(px(t)) + "\" y2=\"" + num(bottom + 6) + "\" stroke=\"#333333\"/>\n";
        svg += "<text x=\"" + num(px(t)) + "\" y=\"" + num(bottom + 22) + "\" text-anchor=\"middle\">" + tick_label(t, x_step) + "</text>\n";
    }
    for (double t : y_ticks) {
        svg += "<line x1=\"" + num(left - 6) + "\" y1=\"" + num(py(t)) + "\" x2=\"" + num(left) + "\" y2=\"" + num(py(t)) + "\" stroke=\"#333333\"/>\n";
        svg += "<text x=\"" + num(left - 10) + "\" y=\"" + num(py(t) + 4) + "\" text-anchor=\"end\">" + tick_label(t, y_step) + "</text>\n";
    }
    svg += "</g>\n";
    // Axis lines and labels.
    svg += "<path d=\"M" + num(left) + "," + num(top) + " V" + num(bottom) + " H" + num(right) + "\" fill=\"none\" stroke=\"#333333\" stroke-width=\"1.5\"/>\n";
    svg += "<text x=\"" + num((left + right) / 2) + "\" y=\"" + num(plot.height - 15.0) + "\" text-anchor=\"middle\" font-size=\"14\">" + escape(plot.x_label) + "</text>\n";
    svg += "<text transform=\"translate(22," + num((top + bottom) / 2) + ") rotate(-90)\" text-anchor=\"middle\" font-size=\"14\">" + escape(plot.y_label) + "</text>\n";

    // Markers under the data.
    for (const auto& m : plot.markers) {
        svg += "<line x1=\"" + num(px(m.x)) + "\" y1=\"" + num(top) + "\" x2=\"" + num(px(m.x)) + "\" y2=\"" + num(bottom) +
               "\" stroke=\"#777777\" stroke-width=\"1.2\" stroke-dasharray=\"6,4\"/>\n";
        svg += "<text x=\"" + num(px(m.x) - 6) + "\" y=\"" + num(top + 16) + "\" text-anchor=\"end\" font-size=\"13\" fill=\"#555555\">" +
               escape(m.label) + "</text>\n";
    }

    // The data.
    for (const auto& s : plot.series) {
        std::string points;
        for (const auto& [x, y] : s.points) points += num(px(x)) + "," + num(py(y)) + " ";
        svg += "<polyline fill=\"none\" stroke=\"" + s.colour + "\" stroke-width=\"2.5\" stroke-linejoin=\"round\" points=\"" + points + "\"/>\n";
    }

    // Legend in the corner of the plot area that hides the fewest points.
    const double row = 22;
    const double box_w = 190;
    const double box_h = row * static_cast<double>(plot.series.size()) + 12;
    double bx = right - box_w - 12;
    double by = bottom - box_h - 12;
    std::size_t fewest = std::numeric_limits<std::size_t>::max();
    for (const auto& [cx, cy] : {std::pair{left + 12, top + 12}, std::pair{right - box_w - 12, top + 12},
                                 std::pair{left + 12, bottom - box_h - 12},
                                 std::pair{right - box_w - 12, bottom - box_h - 12}}) {
        std::size_t hidden = 0;
        for (const auto& s : plot.series) {
            for (const auto& [x, y] : s.points) {
                const double sx = px(x);
                const double sy = py(y);
                if (sx >= cx - 8 && sx <= cx + box_w + 8 && sy >= cy - 8 && sy <= cy + box_h + 8) ++hidden;
            }
        }
        for (const auto& m : plot.markers) {
            if (px(m.x) >= cx - 8 && px(m.x) <= cx + box_w + 8) hidden += 5;  // keep the marker's line clear
        }
        if (hidden < fewest) {
            fewest = hidden;
            bx = cx;
            by = cy;
        }
    }
    svg += "<rect x=\"" + num(bx) + "\" y=\"" + num(by) + "\" width=\"" + num(box_w) + "\" height=\"" + num(box_h) +
           "\" fill=\"white\" fill-opacity=\"0.9\" stroke=\"#999999\"/>\n";
    for (std::size_t i = 0; i < plot.series.size(); ++i) {
        const double ly = by + 6 + row * (static_cast<double>(i) + 0.5);
        svg += "<line x1=\"" + num(bx + 10) + "\" y1=\"" + num(ly) + "\" x2=\"" + num(bx + 40) + "\" y2=\"" + num(ly) +
               "\" stroke=\"" + plot.series[i].colour + "\" stroke-width=\"3\"/>\n";
        svg += "<text x=\"" + num(bx + 48) + "\" y=\"" + num(ly + 5) + "\" font-size=\"13\">" + escape(plot.series[i].name) + "</text>\n";
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace orvane::tool
