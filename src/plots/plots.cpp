#include "plots/plots.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The frame of every picture: the plotting area inside margins for the title, the tick labels,
// the axis labels and the legend.
struct Frame {
    double width = 800.0;
    double height = 500.0;
    double left = 90.0;
    double right = 30.0;
    double top = 70.0;
    double bottom = 75.0;
    double x_min = 0.0, x_max = 1.0, y_min = 0.0, y_max = 1.0;

    double plot_width() const { return width - left - right; }
    double plot_height() const { return height - top - bottom; }
    double px(double x) const { return left + (x - x_min) / (x_max - x_min) * plot_width(); }
    double py(double y) const { return top + plot_height() - (y - y_min) / (y_max - y_min) * plot_height(); }
};

std::string escaped(const std::string& text) {
    std::string result;
    for (const char c : text) {
        switch (c) {
        case '&':
            result += "&amp;";
            break;
        case '<':
            result += "&lt;";
            break;
        case '>':
            result += "&gt;";
            break;
        case '"':
            result += "&quot;";
            break;
        default:
            result += c;
        }
    }
    return result;
}

std::string number(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    // "-0.00" is 0.
    const bool negative_zero = text[0] == '-' && std::string(text).find_first_not_of("-0.") == std::string::npos;
    return negative_zero ? std::string(text + 1) : std::string(text);
}

// Tick spacing of 1, 2 or 5 times a power of 10 giving about `target` ticks over the span.
double tick_step(double span, int target) {
    const double raw = span / target;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (factor * power >= raw) {
            return factor * power;
        }
    }
    return 10.0 * power;
}

// Decimals that show a tick step exactly (0.05 -> 2).
int decimals_of(double step) { return std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9))); }

// Widens [low, high] to whole ticks; a single value gets a span around it.
void nice_range(double& low, double& high, int target, double& step) {
    if (!(high > low)) {
        const double half = std::max(0.5, std::fabs(low) * 0.1);
        low -= half;
        high += half;
    }
    step = tick_step(high - low, target);
    low = std::floor(low / step + 1e-9) * step;
    high = std::ceil(high / step - 1e-9) * step;
}

void open_svg(std::ostringstream& svg, const Frame& frame, const PlotText& text) {
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << frame.width << "\" height=\"" << frame.height
        << "\" viewBox=\"0 0 " << frame.width << " " << frame.height << "\" font-family=\"DejaVu Sans, Arial, sans-serif\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"" << frame.width / 2 << "\" y=\"30\" text-anchor=\"middle\" font-size=\"19\" font-weight=\"bold\">"
        << escaped(text.title) << "</text>\n";
    if (!text.subtitle.empty()) {
        svg << "<text x=\"" << frame.width / 2 << "\" y=\"52\" text-anchor=\"middle\" font-size=\"13\" fill=\"#444\">"
            << escaped(text.subtitle) << "</text>\n";
    }
}

// The y axis's grid lines and tick labels.
void draw_y_ticks(std::ostringstream& svg, const Frame& frame, double y_step) {
    const int y_decimals = decimals_of(y_step);
    for (double y = frame.y_min; y <= frame.y_max + 1e-9 * y_step; y += y_step) {
        const double py = frame.py(y);
        svg << "<line x1=\"" << frame.left << "\" y1=\"" << py << "\" x2=\"" << frame.left + frame.plot_width()
            << "\" y2=\"" << py << "\" stroke=\"#e4e4e4\"/>\n"
            << "<text x=\"" << frame.left - 8 << "\" y=\"" << py + 4 << "\" text-anchor=\"end\">"
            << number(y, y_decimals) << "</text>\n";
    }
}

// The plot's border and the axes' labels.
void draw_frame(std::ostringstream& svg, const Frame& frame, const PlotText& text) {
    svg << "<rect x=\"" << frame.left << "\" y=\"" << frame.top << "\" width=\"" << frame.plot_width()
        << "\" height=\"" << frame.plot_height() << "\" fill=\"none\" stroke=\"#333\"/>\n"
        << "<text x=\"" << frame.left + frame.plot_width() / 2 << "\" y=\"" << frame.height - 22
        << "\" text-anchor=\"middle\" font-size=\"15\">" << escaped(text.x_label) << "</text>\n"
        << "<text transform=\"translate(24," << frame.top + frame.plot_height() / 2
        << ") rotate(-90)\" text-anchor=\"middle\" font-size=\"15\">" << escaped(text.y_label) << "</text>\n";
}

// Axes with ticks, grid lines and labels.
void draw_axes(std::ostringstream& svg, const Frame& frame, const PlotText& text, double x_step, double y_step) {
    const int x_decimals = decimals_of(x_step);
    svg << "<g font-size=\"13\" fill=\"#222\">\n";
    for (double x = frame.x_min; x <= frame.x_max + 1e-9 * x_step; x += x_step) {
        const double px = frame.px(x);
        svg << "<line x1=\"" << px << "\" y1=\"" << frame.top << "\" x2=\"" << px << "\" y2=\""
            << frame.top + frame.plot_height() << "\" stroke=\"#e4e4e4\"/>\n"
            << "<text x=\"" << px << "\" y=\"" << frame.top + frame.plot_height() + 20
            << "\" text-anchor=\"middle\">" << number(x, x_decimals) << "</text>\n";
    }
    draw_y_ticks(svg, frame, y_step);
    svg << "</g>\n";
    draw_frame(svg, frame, text);
}

// Width of a legend box for `entries`, about 7.2 px per character of 13 px text.
double legend_width(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::size_t longest = 0;
    for (const auto& entry : entries) {
        longest = std::max(longest, entry.second.size());
    }
    return 40 + 7.2 * static_cast<double>(longest);
}

// One legend entry per (swatch, label) at the plot's top, its box starting at x; entry k's
// swatch is drawn at (x, top + 28 + 20 k).
void draw_legend(std::ostringstream& svg, const Frame& frame, double x,
                 const std::vector<std::pair<std::string, std::string>>& entries) {
    if (entries.empty()) {
        return;
    }
    const double y = frame.top + 10;
    svg << "<rect x=\"" << x << "\" y=\"" << y << "\" width=\"" << legend_width(entries)
        << "\" height=\"" << 8 + 20 * entries.size() << "\" fill=\"white\" fill-opacity=\"0.9\" stroke=\"#999\"/>\n";
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const double row = y + 18 + 20 * static_cast<double>(k);
        svg << entries[k].first << "\n"
            << "<text x=\"" << x + 32 << "\" y=\"" << row + 4 << "\" font-size=\"13\">" << escaped(entries[k].second)
            << "</text>\n";
    }
}

std::string swatch_line(double x, double y, const std::string& colour, const std::string& dash) {
    std::ostringstream line;
    line << "<line x1=\"" << x + 4 << "\" y1=\"" << y << "\" x2=\"" << x + 26 << "\" y2=\"" << y << "\" stroke=\""
         << colour << "\" stroke-width=\"2.5\"" << (dash.empty() ? "" : " stroke-dasharray=\"" + dash + "\"") << "/>";
    return line.str();
}

std::string swatch_point(double x, double y, const std::string& colour) {
    std::ostringstream point;
    point << "<circle cx=\"" << x + 15 << "\" cy=\"" << y << "\" r=\"4.5\" fill=\"" << colour << "\"/>";
    return point.str();
}

const char* const kLineColours[] = {"#d62728", "#2ca02c", "#9467bd"};

}  // namespace

std::string histogram_svg(const std::vector<double>& values, const PlotText& text, int bins,
                          const std::vector<ReferenceLine>& lines) {
    std::vector<double> finite;
    for (const double value : values) {
        if (std::isfinite(value)) {
            finite.push_back(value);
        }
    }
    Frame frame;
    double low = finite.empty() ? 0.0 : *std::min_element(finite.begin(), finite.end());
    double high = finite.empty() ? 1.0 : *std::max_element(finite.begin(), finite.end());
    double x_step = 0.0;
    nice_range(low, high, 8, x_step);
    bins = std::max(1, bins);
    const double width = (high - low) / bins;
    std::vector<long> counts(static_cast<std::size_t>(bins), 0);
    for (const double value : finite) {
        const int bin = std::min(bins - 1, std::max(0, static_cast<int>((value - low) / width)));
        ++counts[static_cast<std::size_t>(bin)];
    }
    // Headroom above the tallest bar for the legend.
    double top = std::max(1.0, 1.25 * static_cast<double>(*std::max_element(counts.begin(), counts.end())));
    double bottom = 0.0;
    double y_step = 0.0;
    nice_range(bottom, top, 6, y_step);
    y_step = std::max(1.0, y_step);  // counts are whole
    top = std::ceil(top / y_step) * y_step;
    frame.x_min = low;
    frame.x_max = high;
    frame.y_min = 0.0;
    frame.y_max = top;

    std::ostringstream svg;
    open_svg(svg, frame, text);
    draw_axes(svg, frame, text, x_step, y_step);
    svg << "<g fill=\"#4c78a8\" stroke=\"white\" stroke-width=\"0.8\">\n";
    for (int b = 0; b < bins; ++b) {
        const long count = counts[static_cast<std::size_t>(b)];
        if (count == 0) {
            continue;
        }
        const double x0 = frame.px(low + b * width);
        const double x1 = frame.px(low + (b + 1) * width);
        const double y0 = frame.py(static_cast<double>(count));
        svg << "<rect x=\"" << x0 << "\" y=\"" << y0 << "\" width=\"" << x1 - x0 << "\" height=\""
            << frame.py(0.0) - y0 << "\"/>\n";
    }
    svg << "</g>\n";
    // The legend sits in the top-right corner, where a histogram of relationships has its tail.
    std::vector<std::pair<std::string, std::string>> legend;
    for (const ReferenceLine& line : lines) {
        legend.emplace_back("", line.label);
    }
    const double legend_x = frame.left + frame.plot_width() - 12 - legend_width(legend);
    legend.clear();
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (!std::isfinite(lines[k].x) || lines[k].x < low || lines[k].x > high) {
            continue;
        }
        const std::string colour = kLineColours[k % 3];
        const std::string dash = k == 0 ? "" : "7,4";
        svg << "<line x1=\"" << frame.px(lines[k].x) << "\" y1=\"" << frame.top << "\" x2=\"" << frame.px(lines[k].x)
            << "\" y2=\"" << frame.py(0.0) << "\" stroke=\"" << colour << "\" stroke-width=\"2\""
            << (dash.empty() ? "" : " stroke-dasharray=\"" + dash + "\"") << "/>\n";
        legend.emplace_back(
            swatch_line(legend_x, frame.top + 28 + 20.0 * static_cast<double>(legend.size()), colour, dash),
            lines[k].label);
    }
    draw_legend(svg, frame, legend_x, legend);
    svg << "</svg>\n";
    return svg.str();
}

std::string scatter_svg(const std::vector<PointSeries>& series, const std::vector<FittedLine>& fitted,
                        const PlotText& text) {
    Frame frame;
    frame.height = 600.0;
    double x_low = 0.0, x_high = 0.0, y_low = 0.0, y_high = 0.0;
    bool any = false;
    for (const PointSeries& points : series) {
        for (std::size_t k = 0; k < points.x.size() && k < points.y.size(); ++k) {
            if (!std::isfinite(points.x[k]) || !std::isfinite(points.y[k])) {
                continue;
            }
            x_low = any ? std::min(x_low, points.x[k]) : points.x[k];
            x_high = any ? std::max(x_high, points.x[k]) : points.x[k];
            y_low = any ? std::min(y_low, points.y[k]) : points.y[k];
            y_high = any ? std::max(y_high, points.y[k]) : points.y[k];
            any = true;
        }
    }
    double x_step = 0.0;
    double y_step = 0.0;
    nice_range(x_low, x_high, 8, x_step);
    nice_range(y_low, y_high, 8, y_step);
    frame.x_min = x_low;
    frame.x_max = x_high;
    frame.y_min = y_low;
    frame.y_max = y_high;

    std::ostringstream svg;
    open_svg(svg, frame, text);
    draw_axes(svg, frame, text, x_step, y_step);
    std::vector<std::pair<std::string, std::string>> legend;
    const double legend_x = frame.left + 12;
    const auto legend_y = [&] { return frame.top + 28 + 20.0 * static_cast<double>(legend.size()); };
    svg << "<defs><clipPath id=\"plot\"><rect x=\"" << frame.left << "\" y=\"" << frame.top << "\" width=\""
        << frame.plot_width() << "\" height=\"" << frame.plot_height() << "\"/></clipPath></defs>\n"
        << "<g clip-path=\"url(#plot)\">\n";
    // y = x: where the two matrices would agree.
    const double low = std::max(x_low, y_low);
    const double high = std::min(x_high, y_high);
    if (high > low) {
        svg << "<line x1=\"" << frame.px(low) << "\" y1=\"" << frame.py(low) << "\" x2=\"" << frame.px(high)
            << "\" y2=\"" << frame.py(high) << "\" stroke=\"#888\" stroke-width=\"1.5\" stroke-dasharray=\"3,4\"/>\n";
        legend.emplace_back(swatch_line(legend_x, legend_y(), "#888", "3,4"), "y = x");
    }
    for (const PointSeries& points : series) {
        svg << "<g fill=\"" << points.colour << "\" fill-opacity=\"0.55\">\n";
        for (std::size_t k = 0; k < points.x.size() && k < points.y.size(); ++k) {
            if (std::isfinite(points.x[k]) && std::isfinite(points.y[k])) {
                svg << "<circle cx=\"" << number(frame.px(points.x[k]), 1) << "\" cy=\""
                    << number(frame.py(points.y[k]), 1) << "\" r=\"" << points.radius << "\"/>\n";
            }
        }
        svg << "</g>\n";
        legend.emplace_back(swatch_point(legend_x, legend_y(), points.colour), points.label);
    }
    for (std::size_t k = 0; k < fitted.size(); ++k) {
        const FittedLine& line = fitted[k];
        if (!std::isfinite(line.intercept) || !std::isfinite(line.slope)) {
            continue;
        }
        const std::string colour = kLineColours[k % 3];
        svg << "<line x1=\"" << frame.px(x_low) << "\" y1=\"" << frame.py(line.intercept + line.slope * x_low)
            << "\" x2=\"" << frame.px(x_high) << "\" y2=\"" << frame.py(line.intercept + line.slope * x_high)
            << "\" stroke=\"" << colour << "\" stroke-width=\"2.5\"/>\n";
        legend.emplace_back(swatch_line(legend_x, legend_y(), colour, ""), line.label);
    }
    svg << "</g>\n";
    draw_legend(svg, frame, legend_x, legend);
    svg << "</svg>\n";
    return svg.str();
}

std::string manhattan_svg(const std::vector<std::string>& chromosomes, const std::vector<GenomePoint>& points,
                          const PlotText& text, const std::string& top_label) {
    Frame frame;
    frame.width = 1000.0;
    // Each chromosome's span of positions, laid end to end with a small gap.
    std::vector<double> low(chromosomes.size(), 0.0), high(chromosomes.size(), 0.0);
    std::vector<bool> seen(chromosomes.size(), false);
    double top = 0.0;
    for (const GenomePoint& point : points) {
        if (point.chromosome >= chromosomes.size() || !std::isfinite(point.value)) continue;
        const std::size_t c = point.chromosome;
        low[c] = seen[c] ? std::min(low[c], point.position) : point.position;
        high[c] = seen[c] ? std::max(high[c], point.position) : point.position;
        seen[c] = true;
        top = std::max(top, point.value);
    }
    double total = 0.0;
    for (std::size_t c = 0; c < chromosomes.size(); ++c) total += seen[c] ? std::max(high[c] - low[c], 1.0) : 0.0;
    const double gap = total > 0.0 ? 0.01 * total : 1.0;
    std::vector<double> offset(chromosomes.size(), 0.0);
    double end = 0.0;
    for (std::size_t c = 0; c < chromosomes.size(); ++c) {
        if (!seen[c]) continue;
        offset[c] = end - low[c];
        end += std::max(high[c] - low[c], 1.0) + gap;
    }
    frame.x_min = -gap;
    frame.x_max = std::max(end, gap);
    double y_low = 0.0, y_high = top, y_step = 0.0;
    nice_range(y_low, y_high, 6, y_step);
    frame.y_min = 0.0;
    frame.y_max = y_high;

    std::ostringstream svg;
    open_svg(svg, frame, text);
    svg << "<g font-size=\"13\" fill=\"#222\">\n";
    draw_y_ticks(svg, frame, y_step);
    // Chromosome names under the middle of each span (every other one when they crowd).
    std::size_t shown = 0;
    for (std::size_t c = 0; c < chromosomes.size(); ++c) shown += seen[c] ? 1 : 0;
    const std::size_t every = shown > 40 ? 2 : 1;
    for (std::size_t c = 0, k = 0; c < chromosomes.size(); ++c) {
        if (!seen[c]) continue;
        if (k++ % every == 0) {
            const double middle = offset[c] + 0.5 * (low[c] + high[c]);
            svg << "<text x=\"" << number(frame.px(middle), 1) << "\" y=\"" << frame.top + frame.plot_height() + 20
                << "\" text-anchor=\"middle\">" << escaped(chromosomes[c]) << "</text>\n";
        }
    }
    svg << "</g>\n";
    draw_frame(svg, frame, text);
    const char* const colours[2] = {"#4c78a8", "#9ecae9"};
    for (int parity = 0; parity < 2; ++parity) {
        svg << "<g fill=\"" << colours[parity] << "\">\n";
        std::size_t rank = 0;
        std::vector<std::size_t> rank_of(chromosomes.size(), 0);
        for (std::size_t c = 0; c < chromosomes.size(); ++c) rank_of[c] = seen[c] ? rank++ : 0;
        for (const GenomePoint& point : points) {
            if (point.chromosome >= chromosomes.size() || !std::isfinite(point.value) ||
                static_cast<int>(rank_of[point.chromosome] % 2) != parity) {
                continue;
            }
            svg << "<circle cx=\"" << number(frame.px(offset[point.chromosome] + point.position), 1) << "\" cy=\""
                << number(frame.py(point.value), 1) << "\" r=\"2.2\"/>\n";
        }
        svg << "</g>\n";
    }
    const double legend_x = frame.left + frame.plot_width() - 12 - legend_width({{"", top_label}});
    svg << "<line x1=\"" << frame.left << "\" y1=\"" << frame.py(top) << "\" x2=\"" << frame.left + frame.plot_width()
        << "\" y2=\"" << frame.py(top) << "\" stroke=\"" << kLineColours[0] << "\" stroke-width=\"1.5\" "
        << "stroke-dasharray=\"7,4\"/>\n";
    draw_legend(svg, frame, legend_x, {{swatch_line(legend_x, frame.top + 28, kLineColours[0], "7,4"), top_label}});
    svg << "</svg>\n";
    return svg.str();
}
