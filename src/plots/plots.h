#pragma once

// Pictures of the reports as SVG text (a browser or any image viewer shows them; no drawing
// library is needed): a histogram and a scatter plot with a fitted line.

#include <string>
#include <utility>
#include <vector>

struct PlotText {
    std::string title;
    std::string subtitle;  // a second, smaller line under the title; may be empty
    std::string x_label;
    std::string y_label;
};

// A vertical line across the plot at `x`, named in the legend (for example the mean).
struct ReferenceLine {
    double x = 0.0;
    std::string label;
};

// Histogram of `values` (finite ones; others are left out) in `bins` bins of equal width over
// their range, with counts on the y axis. 800 x 500 px.
std::string histogram_svg(const std::vector<double>& values, const PlotText& text, int bins,
                          const std::vector<ReferenceLine>& lines = {});

// Points of one kind: their coordinates, the legend's name and a CSS colour.
struct PointSeries {
    std::vector<double> x;
    std::vector<double> y;
    std::string label;
    std::string colour;
    double radius = 2.5;
};

// A fitted line y = intercept + slope x (drawn across the x range), named in the legend.
struct FittedLine {
    double intercept = 0.0;
    double slope = 0.0;
    std::string label;
};

// Scatter plot of the series (drawn in order, later ones on top), with the fitted lines and the
// line y = x for reference. 800 x 600 px.
std::string scatter_svg(const std::vector<PointSeries>& series, const std::vector<FittedLine>& fitted,
                        const PlotText& text);

// A Manhattan plot: one point per marker at its base-pair position, the chromosomes side by side
// in the order given (each as wide as its span of positions) in two alternating colours and
// named under the axis, the value on the y axis from 0, and a dashed line at the largest value
// named in the legend. 1000 x 500 px.
struct GenomePoint {
    std::size_t chromosome = 0;  // index into the chromosome names
    double position = 0.0;       // base pairs
    double value = 0.0;
};
std::string manhattan_svg(const std::vector<std::string>& chromosomes, const std::vector<GenomePoint>& points,
                          const PlotText& text, const std::string& top_label);
