#include "figures.h"

#include "gnuplot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <set>
#include <sstream>

namespace murel::plot {
namespace {

const char* const blue = "'#1f4e9c'";
const char* const red = "'#c00000'";
const char* const fit_colour = "'#e66100'";
const char* const background_colour = "'#1a9641'";
const char* const mark_colour = "'#8b00ff'";
// The shades of the stretches drawn behind a record, such as the gates.
const char* const span_colours[] = {"'#4a90d9'", "'#f0a000'"};
// The colours of a record's channels, taken in turn.
const char* const channel_colours[] = {"'#1f4e9c'", "'#c00000'", "'#1a9641'", "'#7b3294'",
                                       "'#a6611a'", "'#018571'", "'#d01c8b'", "'#555555'"};

std::string number(double value, const char* format = "%.10g") {
    if (std::isnan(value)) return "—";  // an error the fit could not tell
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string per_bin(const std::string& what, double width, const std::string& unit) {
    return what + " / (" + number(width, "%.6g") + (unit.empty() ? "" : " " + unit) + ")";
}

// The settings every plot with axes shares.
std::string axes(const std::string& title, const std::string& x_label, const std::string& y_label) {
    return (title.empty() ? "" : "set title " + quoted(title) + "\n") + "set xlabel " + quoted(x_label) + "\nset ylabel " +
           quoted(y_label) + "\nset grid\nset key top right\n";
}

// The y range of a linear plot of `largest` counts: gnuplot refuses an empty range.
// The range of `coordinate` that holds every row with counts in any of `columns`, with a
// margin, inside the table's own extent: a histogram is drawn where its data are, not over the
// whole axis.
std::string zoomed_range(const char* axis, const table& counts, const std::vector<std::size_t>& columns,
                         std::size_t coordinate) {
    double low = counts.at(0, coordinate), high = low;
    for (std::size_t row = 1; row < counts.rows(); ++row) {
        low = std::min(low, counts.at(row, coordinate));
        high = std::max(high, counts.at(row, coordinate));
    }
    std::optional<std::pair<double, double>> occupied;
    for (const std::size_t column : columns)
        if (const auto span = counts.span_where_positive(column, coordinate))
            occupied = occupied ? std::make_pair(std::min(occupied->first, span->first),
                                                 std::max(occupied->second, span->second))
                                : *span;
    if (occupied) {
        const double margin = 0.05 * (occupied->second - occupied->first) + 5.0 * std::fabs(counts.step());
        low = std::max(low, occupied->first - margin);
        high = std::min(high, occupied->second + margin);
    }
    if (!(high > low)) return std::string("set autoscale ") + axis + "fix\n";
    return std::string("set ") + axis + "range [" + number(low) + ":" + number(high) + "]\n";
}

// Exactly the value, for a number that the script computes with.
std::string exact(double value) { return number(value, "%.17g"); }

// The title of a picture of `what`, naming the data, or the file drawn where the data are not known.
std::string titled(const std::string& data_name, const source& file, const std::string& what) {
    return (data_name.empty() ? file.shown : data_name) + ": " + what;
}

// gnuplot functions bg<k>(x) and fit<k>(x): line k's fitted background and curve, as entries of
// a bin of `rebin` fine bins of width `width` centred at x.
std::string line_functions(const found_line& line, std::size_t k, double width, std::size_t rebin) {
    const std::string n = std::to_string(k), wide = exact(width * static_cast<double>(rebin));
    const std::string sigma = exact(line.fwhm / 2.3548200450309493);
    return "bg" + n + "(x) = " + std::to_string(rebin) + " * (" + exact(line.background) + " + " +
           exact(line.background_slope) + " * (x - " + exact(line.background_reference) + "))\n" + "fit" + n +
           "(x) = bg" + n + "(x) + " + exact(line.counts) + " * (norm((x + " + wide + " / 2 - " + exact(line.position) +
           ") / " + sigma + ") - norm((x - " + wide + " / 2 - " + exact(line.position) + ") / " + sigma + "))\n";
}

// The plot elements of line k's fitted curve and background over the stretch the fit covered.
std::string line_curves(const found_line& line, std::size_t k, bool titled_in_key) {
    const std::string n = std::to_string(k);
    const std::string range = "[x=" + exact(line.fit_range->first) + ":" + exact(line.fit_range->second) + "] ";
    return ", \\\n     " + range + "fit" + n + "(x) with lines linewidth 2 linecolor rgb " + fit_colour +
           (titled_in_key ? " title \"fitted line\"" : " notitle") + ", \\\n     " + range + "bg" + n +
           "(x) with lines dashtype 2 linewidth 1.5 linecolor rgb " + background_colour +
           (titled_in_key ? " title \"fitted background\"" : " notitle");
}

// A name as a column heading of a data copy: one word, whatever it holds.
std::string plain_column_name(const std::string& name) {
    std::string result;
    for (const char c : name) result += std::isgraph(static_cast<unsigned char>(c)) ? c : '_';
    return result.empty() ? "_" : result;
}

// How a trace over a record is drawn, as a plot element's style.
std::string trace_look(trace_style style) {
    switch (style) {
        case trace_style::pulse: return "lines dashtype 2 linewidth 1.5 linecolor rgb '#000000'";
        case trace_style::level: return "lines dashtype 3 linewidth 1.5 linecolor rgb '#808080'";
        case trace_style::output: return std::string("lines linewidth 2 linecolor rgb ") + fit_colour;
        case trace_style::mark: return std::string("points pointtype 7 pointsize 1.8 linecolor rgb ") + mark_colour;
        case trace_style::span: break;
    }
    return "lines";
}

std::string linear_range(double largest) { return largest > 0 ? "set yrange [0:*]\n" : "set yrange [0:1]\n"; }

}  // namespace

std::vector<figure> self_test_figures(const source& file, const table& counts) {
    std::vector<figure> result;
    if (counts.columns() < 3 || counts.rows() < 2) return result;
    const std::string totals = "w = " + number(counts.step()) + "\n";

    figure uniform{"selftest-uniform", 1200, 720, "", {}};
    uniform.body =
        axes(file.shown + ": uniform deviates of the self-test", "Deviate", per_bin("Counts", counts.step(), "")) +
        "set xrange [-0.25:1.25]\n" + linear_range(counts.largest(1)) + totals + "n = " + number(counts.sum(1)) +
        "\nset samples 1501\n" + "plot " + quoted_path(file.path) + " using 1:2 with histeps linecolor rgb " + blue +
        " title \"uniform counts\", \\\n     (x > 0 && x < 1 ? n * w : 1/0) with lines dashtype 2 "
        "linewidth 2 linecolor rgb " +
        red + " title sprintf(\"expected n w = %g\", n * w)\n";
    result.push_back(uniform);

    figure normal{"selftest-normal", 1200, 720, "", {}};
    normal.body =
        axes(file.shown + ": normal deviates of the self-test", "Deviate", per_bin("Counts", counts.step(), "")) +
        "set xrange [-6:6]\n" + linear_range(counts.largest(2)) + totals + "n = " + number(counts.sum(2)) +
        "\nset samples 1201\n" +
        "expected(x) = n * w * exp(-x**2 / 2) / sqrt(2 * pi)\n"
        "plot " +
        quoted_path(file.path) + " using 1:3 with histeps linecolor rgb " + blue +
        " title \"normal counts\", \\\n     expected(x) with lines linewidth 2 linecolor rgb " + red +
        " title sprintf(\"expected n w exp(-x²/2) / √(2π), n = %.0f, w = %g\", n, w)\n";
    result.push_back(normal);
    return result;
}

figure example_figure(const source& file) {
    figure result{"example-pulses", 1200, 720, "", {}};
    result.body = axes(file.shown + ": example pulse pair", "Sample index", "Sample value (ADC)") +
                  "set autoscale xfix\nplot " + quoted_path(file.path) + " using 1:2 with lines linecolor rgb " + blue +
                  " title \"channel A\", \\\n     '' using 1:3 with lines linecolor rgb " + red +
                  " title \"channel B\"\n";
    return result;
}

std::vector<figure> spectrum_figures(const source& file, const table& spectrum, std::size_t column,
                                     const channel_summary& channel, const std::string& unit,
                                     const std::string& data_name, std::size_t rebin) {
    std::vector<figure> result;
    if (spectrum.columns() <= column || spectrum.rows() < 2) return result;
    const double width = spectrum.step();
    const auto [low, high] = spectrum.span_where_positive(column, 0).value_or(
        std::make_pair(spectrum.at(0, 0), spectrum.at(spectrum.rows() - 1, 0)));
    std::ostringstream marks;
    for (std::size_t k = 0; k < channel.lines.size(); ++k) {
        const found_line& line = channel.lines[k];
        const bool right_of_centre = line.position > low + 0.75 * (high - low);
        marks << "set arrow from " << number(line.position) << ", graph 0 to " << number(line.position)
              << ", graph 1 nohead dashtype 3 linecolor rgb " << red << "\n"
              << "set label "
              << quoted("line " + std::to_string(k) + ": " + number(line.position, "%.6g") + " ± " +
                        number(line.position_error, "%.2g") + " " + unit + "\nFWHM " + number(line.fwhm, "%.4g") +
                        " ± " + number(line.fwhm_error, "%.2g") + " " + unit)
              << " at " << number(line.position) << ", graph " << number(0.95 - 0.1 * static_cast<double>(k % 3))
              << (right_of_centre ? " right offset character -0.7, 0" : " left offset character 0.7, 0")
              << " textcolor rgb " << red << " front\n";
    }
    if (!channel.lines.empty()) marks << "set offsets 0, 0, graph 0.25, 0\n";  // room for the labels
    const std::string gnuplot_column = std::to_string(column + 1);
    const std::string what = "channel " + channel.name + " amplitude spectrum";
    const std::string common = axes("", "Amplitude (" + unit + ")", per_bin("Counts", width, unit)) +
                               zoomed_range("x", spectrum, {column}, 0) + marks.str() + "set samples 500\n";
    const std::string data = " with histeps linecolor rgb " + std::string(blue) + " title " +
                             quoted("channel " + channel.name);
    // The curves of the lines that the summary gives them for, at a binning of `bins` fine bins.
    const auto curves = [&channel, width](std::size_t bins) {
        std::string functions, elements;
        bool first = true;
        for (std::size_t k = 0; k < channel.lines.size(); ++k) {
            if (!channel.lines[k].fit_range) continue;
            functions += line_functions(channel.lines[k], k, width, bins);
            elements += line_curves(channel.lines[k], k, first);
            first = false;
        }
        return std::make_pair(functions, elements);
    };

    figure linear{"spectrum-" + channel.name, 1200, 720, "", {}};
    const auto [fine_functions, fine_curves] = curves(1);
    linear.body = "set title " + quoted(titled(data_name, file, what)) + "\n" + common + fine_functions +
                  linear_range(spectrum.largest(column)) + "plot " + quoted_path(file.path) + " using 1:" +
                  gnuplot_column + data + fine_curves + "\n";
    result.push_back(linear);
    if (spectrum.largest(column) > 0) {
        figure log{"spectrum-" + channel.name + "-log", 1200, 720, "", {}};
        const auto [functions, log_curves] = curves(rebin);
        const std::string x0 = exact(spectrum.at(0, 0)), w = exact(width), n = std::to_string(rebin);
        // Bins of `rebin` fine bins, summed by gnuplot, each drawn at the middle of its fine bins.
        const std::string values =
            rebin == 1 ? "using 1:($" + gnuplot_column + " > 0 ? $" + gnuplot_column + " : 1/0)"
                       : "using (" + x0 + " + " + w + " * (" + n + " * floor((($1 - " + x0 + ") / " + w + " + 0.5) / " +
                             n + ") + (" + n + " - 1) / 2.0)):" + gnuplot_column + " smooth frequency";
        log.body = "set title " + quoted(titled(data_name, file, what + " (log scale)")) + "\n" +
                   axes("", "Amplitude (" + unit + ")",
                        per_bin("Counts", width * static_cast<double>(rebin), unit)) +
                   zoomed_range("x", spectrum, {column}, 0) + marks.str() + "set samples 500\n" + functions +
                   "set logscale y\nset yrange [0.8:*]\nplot " + quoted_path(file.path) + " " + values + data +
                   log_curves + "\n";
        result.push_back(log);
    }

    for (std::size_t k = 0; k < channel.lines.size(); ++k) {
        const found_line& line = channel.lines[k];
        if (!line.fit_range) continue;
        const std::string n = std::to_string(k);
        const double span = line.fit_range->second - line.fit_range->first;
        const std::string from = exact(line.fit_range->first - 0.1 * span), to = exact(line.fit_range->second + 0.1 * span);
        const std::string in_range = "($1 >= " + exact(line.fit_range->first) + " && $1 <= " +
                                     exact(line.fit_range->second) + ")";
        figure zoom{"spectrum-" + channel.name + "-line-" + n, 1200, 900, "", {}};
        std::ostringstream body;
        body << "set multiplot title "
             << quoted(titled(data_name, file,
                              "channel " + channel.name + " line " + n + ": " + number(line.position, "%.6g") + " ± " +
                                  number(line.position_error, "%.2g") + " " + unit + ", FWHM " +
                                  number(line.fwhm, "%.4g") + " ± " + number(line.fwhm_error, "%.2g") + " " + unit +
                                  ", " + number(line.counts, "%.0f") + " counts"))
             << "\n"
             << line_functions(line, k, width, 1) << "set samples 500\nset grid\nset key top right\n"
             << "set xrange [" << from << ":" << to << "]\n"
             << "set lmargin at screen 0.09\nset rmargin at screen 0.97\n"
             << "set tmargin at screen 0.92\nset bmargin at screen 0.36\nset format x \"\"\n"
             << "set ylabel " << quoted(per_bin("Counts", width, unit)) << "\n"
             << "plot " << quoted_path(file.path) << " using 1:" << gnuplot_column << ":(sqrt($" << gnuplot_column
             << ")) with yerrorbars pointtype 7 pointsize 0.6 linecolor rgb " << blue << " title "
             << quoted("channel " + channel.name) << line_curves(line, k, true) << "\n"
             << "set tmargin at screen 0.33\nset bmargin at screen 0.08\nset format x \"% h\"\nunset title\n"
             << "set xlabel " << quoted("Amplitude (" + unit + ")") << "\n"
             << "set ylabel \"Pull (data - fit) / √fit\"\nset yrange [*:*]\nset key off\n"
             << "plot " << quoted_path(file.path) << " using 1:(" << in_range << " ? ($" << gnuplot_column << " - fit"
             << n << "($1)) / sqrt(fit" << n << "($1) > 1 ? fit" << n << "($1) : 1) : 1/0) with impulses linewidth 2 "
             << "linecolor rgb " << blue << ", 0 with lines linecolor rgb '#000000', "
             << "2 with lines dashtype 2 linecolor rgb '#808080', -2 with lines dashtype 2 linecolor rgb '#808080'\n"
             << "unset multiplot\n";
        zoom.body = body.str();
        result.push_back(zoom);
    }
    return result;
}

figure map_figure(const source& file, const table& map, const std::pair<std::string, std::string>& pair,
                  const std::string& unit, const std::string& data_name) {
    figure result{"map", 1200, 900, "", {}};
    const bool counted = map.columns() >= 3 && map.largest(2) > 0;
    result.body = axes(titled(data_name, file, "channel " + pair.first + " against channel " + pair.second),
                       "Channel " + pair.first + " amplitude (" + unit + ")",
                       "Channel " + pair.second + " amplitude (" + unit + ")") +
                  "set cblabel \"Counts per cell (log scale)\"\nset autoscale fix\nunset key\n"
                  "set palette defined (0 '#000000', 1 '#700aab', 2 '#3814b0', 3 '#1240ab', 4 '#009999', "
                  "5 '#00cc00', 6 '#9eed00', 7 '#ffff00', 8 '#ffd400', 9 '#ffab00', 10 '#ff7300', 11 '#ff0000')\n" +
                  (counted ? "set logscale cb\nset cbrange [0.5:*]\n" + zoomed_range("x", map, {2}, 0) +
                                 zoomed_range("y", map, {2}, 1)
                           : "set cbrange [0:1]\n") +
                  "plot " + quoted_path(file.path) + " using 1:2:($3 > 0 ? $3 : 1/0) with image\n";
    return result;
}

figure gate_figure(const source& file, const table& counts, const gate& band,
                   const std::pair<std::string, std::string>& pair, const std::string& unit,
                   const std::string& data_name) {
    figure result{"gate-" + std::to_string(band.line), 1200, 720, "", {}};
    result.body = axes(titled(data_name, file,
                              "channel " + pair.second + " spectrum gated on channel " + pair.first + " line " +
                                  std::to_string(band.line)),
                       "Channel " + pair.second + " amplitude (" + unit + ")", per_bin("Counts", counts.step(), unit)) +
                  (counts.rows() > 0 ? zoomed_range("x", counts, {1}, 0) : "set autoscale xfix\n") +
                  linear_range(counts.rows() > 0 ? counts.largest(1) : 0.0) + "plot " + quoted_path(file.path) +
                  " using 1:2 with histeps linecolor rgb " + blue + " title " +
                  quoted("channel " + pair.first + " from " + number(band.low, "%.6g") + " to " +
                         number(band.high, "%.6g") + " " + unit) +
                  "\n";
    return result;
}

figure residual_figure(const source& file, const table& residuals, const analysis_summary& summary,
                       const std::string& data_name) {
    const std::string unit = summary.unit_label();
    figure result{"residuals", 1200, 720, "", {}};
    std::vector<std::size_t> drawn;  // the named columns with counts, or all of them when none has
    double highest = 0.0;
    for (std::size_t c = 1; c < residuals.columns() && c <= summary.channels.size(); ++c)
        if (residuals.rows() > 0 && residuals.largest(c) > 0) {
            drawn.push_back(c);
            highest = std::max(highest, residuals.largest(c));
        }
    if (drawn.empty())
        for (std::size_t c = 1; c < residuals.columns() && c <= summary.channels.size(); ++c) drawn.push_back(c);
    std::string elements;
    for (std::size_t i = 0; i < drawn.size(); ++i) {
        const channel_summary& channel = summary.channels[drawn[i] - 1];
        std::string title = "channel " + channel.name;
        if (channel.residual_bias && channel.residual_rms)
            title += ": bias " + number(*channel.residual_bias, "%.3g") + " " + unit + ", RMS " +
                     number(*channel.residual_rms, "%.3g") + " " + unit;
        elements += (i == 0 ? quoted_path(file.path) : std::string(", \\\n     ''")) + " using 1:" +
                    std::to_string(drawn[i] + 1) + " with histeps linecolor rgb " + channel_colours[i % 8] +
                    " title " + plot::quoted(title);
    }
    if (elements.empty()) elements = "NaN notitle";
    result.body = axes(titled(data_name, file, "amplitude residuals, estimate minus truth"),
                       "Amplitude residual (" + unit + ")", per_bin("Records", residuals.step(), unit)) +
                  (highest > 0 ? zoomed_range("x", residuals, drawn, 0) : "set autoscale xfix\n") +
                  linear_range(highest) + "plot " + elements + "\n";
    return result;
}

namespace {

// A datablock of rows of numbers, for a few points that need no file of their own.
std::string datablock(const std::string& name, const std::vector<std::vector<double>>& rows) {
    std::string text = "$" + name + " << EOD\n";
    for (const std::vector<double>& row : rows) {
        for (std::size_t k = 0; k < row.size(); ++k) text += (k == 0 ? "" : " ") + exact(row[k]);
        text += "\n";
    }
    return text + "EOD\n";
}

// " + v what" or " - |v| what", as a formula in a title shows a term.
std::string term(double value, const char* format, const std::string& what) {
    return (value < 0 ? " - " : " + ") + number(std::fabs(value), format) + what;
}

// The range [low, high] widened by a tenth of its length each side, or by 1 where it has none.
std::string padded_range(const char* axis, double low, double high) {
    const double margin = high > low ? 0.1 * (high - low) : std::max(1.0, 0.1 * std::fabs(low));
    return std::string("set ") + axis + "range [" + exact(low - margin) + ":" + exact(high + margin) + "]\n";
}

}  // namespace

figure calibration_figure(const std::string& channel, const analysis::line_calibration& calibration,
                          const std::string& unit, const std::string& data_name) {
    figure result{"calibration-" + channel, 1200, 900, "", {}};
    std::vector<std::vector<double>> rows;
    for (std::size_t i = 0; i < calibration.positions.size(); ++i)
        rows.push_back({calibration.positions[i], calibration.energies[i],
                        calibration.energy(calibration.positions[i]) - calibration.energies[i]});
    const auto [low, high] = std::minmax_element(calibration.positions.begin(), calibration.positions.end());
    const double c0 = calibration.coefficients[0], c1 = calibration.coefficients[1], c2 = calibration.coefficients[2];
    std::ostringstream body;
    body << "set multiplot title "
         << quoted((data_name.empty() ? "" : data_name + ": ") + "channel " + channel + " calibrated by " +
                   std::to_string(rows.size()) + " lines, E = " + number(c0, "%.6g") + term(c1, "%.6g", " x") +
                   (c2 != 0 ? term(c2, "%.6g", " x²") : std::string()))
         << "\n"
         << datablock("lines", rows) << "E(x) = " << exact(c0) << " + " << exact(c1) << " * x + " << exact(c2)
         << " * x * x\nset samples 400\nset grid\nset key top left\n"
         << (rows.empty() ? "set xrange [0:1]\n" : padded_range("x", *low, *high))
         << "set lmargin at screen 0.1\nset rmargin at screen 0.97\n"
         << "set tmargin at screen 0.92\nset bmargin at screen 0.36\nset format x \"\"\n"
         << "set ylabel " << quoted("Energy (" + unit + ")") << "\n"
         << "plot E(x) with lines linewidth 2 linecolor rgb " << fit_colour << " title \"fitted E(x)\", \\\n"
         << "     $lines using 1:2 with points pointtype 7 pointsize 1.5 linecolor rgb " << blue
         << " title \"lines: position and energy\"\n"
         << "set tmargin at screen 0.33\nset bmargin at screen 0.08\nset format x \"% h\"\nunset title\n"
         << "set xlabel \"Line position (ADC)\"\nset ylabel " << quoted("Residual E(x) - E (" + unit + ")") << "\n"
         << "set yrange [*:*]\nset key off\n"
         << "plot $lines using 1:3 with impulses linewidth 2 linecolor rgb " << blue
         << ", $lines using 1:3 with points pointtype 7 pointsize 1.2 linecolor rgb " << blue
         << ", 0 with lines linecolor rgb '#000000'\nunset multiplot\n";
    result.body = body.str();
    return result;
}

figure resolution_figure(const std::string& channel, const analysis::line_calibration& calibration,
                         const std::string& unit, const std::string& data_name) {
    figure result{"resolution-" + channel, 1200, 720, "", {}};
    std::vector<std::vector<double>> rows;
    for (std::size_t i = 0; i < calibration.energies.size(); ++i) rows.push_back({calibration.energies[i], calibration.fwhms[i]});
    const double a = calibration.resolution[0], b = calibration.resolution[1], c = calibration.resolution[2];
    const double highest = calibration.energies.empty()
                               ? 1.0
                               : *std::max_element(calibration.energies.begin(), calibration.energies.end());
    result.body =
        axes((data_name.empty() ? "" : data_name + ": ") + "channel " + channel + " resolution, FWHM = sqrt(" +
                 number(a, "%.4g") + term(b, "%.4g", " E") + term(c, "%.4g", " E²") + ")",
             "Energy (" + unit + ")", "FWHM (" + unit + ")") +
        "set key top left\n" + datablock("lines", rows) + "q(x) = " + exact(a) + " + " + exact(b) + " * x + " + exact(c) +
        " * x * x\nfwhm(x) = q(x) >= 0 ? sqrt(q(x)) : 1/0\nset samples 400\nset xrange [0:" +
        exact(highest > 0 ? 1.15 * highest : 1.0) + "]\nset yrange [0:*]\n" +
        "plot fwhm(x) with lines linewidth 2 linecolor rgb " + fit_colour +
        " title \"fitted sqrt(a + b E + c E²)\", \\\n     $lines using 1:2 with points pointtype 7 pointsize 1.5 "
        "linecolor rgb " +
        blue + " title \"lines: measured FWHM\"\n";
    return result;
}

figure psd_figure(const std::string& name, const psd_map& map, const std::string& channel, const std::string& unit,
                  const std::string& data_name, const std::string& data_dir) {
    figure result{name, 1200, 900, "", {}};
    std::size_t x_low = psd_map::energy_bins, x_high = 0, y_low = psd_map::psd_bins, y_high = 0;
    for (std::size_t x = 0; x < psd_map::energy_bins; ++x)
        for (std::size_t y = 0; y < psd_map::psd_bins; ++y)
            if (map.counts[x * psd_map::psd_bins + y] > 0) {
                x_low = std::min(x_low, x), x_high = std::max(x_high, x);
                y_low = std::min(y_low, y), y_high = std::max(y_high, y);
            }
    // Fine pulse-shape bins merged so that about 150 rows cover the values found, two spare each side.
    const std::size_t merged = std::max<std::size_t>(1, (y_high - y_low + 150) / 150);
    const std::size_t first = y_low / merged < 2 ? 0 : y_low / merged - 2;
    const std::size_t last = std::min((psd_map::psd_bins - 1) / merged, y_high / merged + 2);
    std::ostringstream cells;
    cells << "# energy psd records\n";
    for (std::size_t x = 0; x < psd_map::energy_bins; ++x) {
        for (std::size_t row = first; row <= last; ++row) {
            std::uint64_t count = 0;
            for (std::size_t y = row * merged; y < std::min(psd_map::psd_bins, (row + 1) * merged); ++y)
                count += map.counts[x * psd_map::psd_bins + y];
            const double centre = 0.5 * (map.psd_of(row * merged) + map.psd_of((row + 1) * merged - 1));
            cells << number(map.energy_of(x)) << ' ' << number(centre) << ' ' << count << '\n';
        }
        cells << '\n';
    }
    result.data.emplace_back(name + ".txt", cells.str());
    const double dx = (map.energy_high - map.energy_low) / psd_map::energy_bins;
    const double dy = (psd_map::psd_high - psd_map::psd_low) / psd_map::psd_bins * static_cast<double>(merged);
    const auto edge = [](double low, double width, double cells) { return exact(low + cells * width); };
    result.body =
        axes((data_name.empty() ? "" : data_name + ": ") + "channel " + channel + " pulse shape against energy, " +
                 std::to_string(map.records) + " records",
             "Energy (" + unit + ")", "PSD, tail to total (long - short) / long") +
        "set cblabel \"Records per cell (log scale)\"\nunset key\n"
        "set palette defined (0 '#000000', 1 '#700aab', 2 '#3814b0', 3 '#1240ab', 4 '#009999', "
        "5 '#00cc00', 6 '#9eed00', 7 '#ffff00', 8 '#ffd400', 9 '#ffab00', 10 '#ff7300', 11 '#ff0000')\n"
        "set logscale cb\nset cbrange [0.5:*]\nset xrange [" + edge(map.energy_of(x_low), dx, -2.5) + ":" +
        edge(map.energy_of(x_high), dx, 2.5) + "]\nset yrange [" + edge(psd_map::psd_low, dy, static_cast<double>(first)) + ":" +
        edge(psd_map::psd_low, dy, static_cast<double>(last + 1)) + "]\nplot " + quoted_path(data_dir + "/" + name + ".txt") +
        " using 1:2:($3 > 0 ? $3 : 1/0) with image\n";
    return result;
}

std::vector<figure> gallery_figures(const std::vector<gallery_panel>& panels, const std::vector<record_overlay>& overlays,
                                    const std::map<std::string, int>& polarities, const std::string& name,
                                    const std::string& title, const std::string& data_dir) {
    constexpr std::size_t per_page = 12;
    std::vector<figure> result;
    const std::size_t pages = (panels.size() + per_page - 1) / per_page;
    for (std::size_t page = 0; page < pages; ++page) {
        const std::size_t first = page * per_page, count = std::min(per_page, panels.size() - first);
        figure gallery{page == 0 ? name : name + "-" + std::to_string(page + 1), 1200, 720, "", {}};
        const std::size_t columns = count <= 4 ? 1 : count <= 8 ? 2 : 3;
        const std::size_t rows = (count + columns - 1) / columns;
        gallery.width = columns == 3 ? 1500 : 1200;
        gallery.height = std::max<int>(720, static_cast<int>(rows) * 260 + 60);

        // The data copy: a column per record and per trace over it, NaN past a record's end.
        std::vector<std::vector<double>> table_columns;
        std::ostringstream header, body;
        header << "# sample";
        std::size_t longest = 0;
        std::map<std::string, std::size_t> span_colour_of;  // by title, so that a gate keeps its shade
        std::size_t key_entries = 0;                        // of the first panel, which holds the key
        for (std::size_t i = first; i < first + count; ++i) {
            const gallery_panel& panel = panels[i];
            // One key per picture: a channel has the same colour in every panel.
            body << "set title " << quoted(panel.caption) << (i == first ? "\n" : "\nunset key\n");
            std::ostringstream elements, spans;
            bool any = false;
            std::set<std::string> in_key;  // the titles of the traces already in the key
            for (std::size_t r = 0; r < panel.event.records.size(); ++r) {
                const channel_record& record = panel.event.records[r];
                std::vector<double> samples(record.samples.begin(), record.samples.end());
                longest = std::max(longest, samples.size());
                table_columns.push_back(std::move(samples));
                const std::string heading =
                    "event-" + std::to_string(panel.event.event) + ":" + plain_column_name(record.channel.name);
                header << " " << heading;
                elements << (any ? ", \\\n     " : "") << "data using 1:" << table_columns.size() + 1
                         << " with lines linecolor rgb " << channel_colours[record.index % 8] << " title "
                         << quoted(record.channel.name);
                any = true;
                const auto polarity = polarities.find(record.channel.name);
                const record_view view{record.channel, record.samples,
                                       polarity == polarities.end() ? 0 : polarity->second};
                for (const record_overlay& overlay : overlays)
                    for (trace& drawn : overlay(view)) {
                        const std::string title =
                            in_key.insert(drawn.title).second ? " title " + plot::quoted(drawn.title) : " notitle";
                        if (drawn.style == trace_style::span) {
                            // Shaded behind the samples over the panel's height; a sample of the
                            // shade stands for it in the key.
                            const auto finite = [](double value) { return std::isfinite(value); };
                            const auto from = std::find_if(drawn.values.begin(), drawn.values.end(), finite);
                            const auto to = std::find_if(drawn.values.rbegin(), drawn.values.rend(), finite);
                            if (from == drawn.values.end()) continue;
                            const std::string colour =
                                span_colours[span_colour_of.emplace(drawn.title, span_colour_of.size()).first->second % 2];
                            spans << "set object rectangle from first "
                                  << number(static_cast<double>(from - drawn.values.begin()) - 0.5) << ", graph 0 to first "
                                  << number(static_cast<double>(drawn.values.rend() - to) - 0.5)
                                  << ", graph 1 behind fillcolor rgb " << colour
                                  << " fillstyle transparent solid 0.25 noborder\n";
                            elements << ", \\\n     NaN with boxes fillstyle transparent solid 0.25 noborder fillcolor rgb "
                                     << colour << title;
                        }
                        longest = std::max(longest, drawn.values.size());
                        table_columns.push_back(std::move(drawn.values));
                        header << " " << heading << ":" << plain_column_name(drawn.title);
                        if (drawn.style == trace_style::span) continue;
                        elements << ", \\\n     data using 1:" << table_columns.size() + 1 << " with "
                                 << trace_look(drawn.style) << title;
                    }
            }
            if (i == first) key_entries = panel.event.records.size() + in_key.size();
            body << spans.str() << "plot " << (any ? elements.str() : "NaN notitle") << "\n";
            if (!spans.str().empty()) body << "unset object\n";
        }
        std::ostringstream data;
        data << header.str() << "\n";
        for (std::size_t j = 0; j < longest; ++j) {
            data << j;
            for (const std::vector<double>& column : table_columns) {
                if (j < column.size() && std::isfinite(column[j]))
                    data << ' ' << number(column[j], "%.10g");
                else
                    data << " NaN";
            }
            data << '\n';
        }
        const std::string data_name = gallery.name + ".txt";
        gallery.data.emplace_back(data_name, data.str());

        const std::string heading =
            title + (pages > 1 ? " (" + std::to_string(page + 1) + " of " + std::to_string(pages) + ")" : "");
        // The key runs across the top, under the title, in two rows (one for a single entry) of
        // about 18 pixels: beside the first panel it would narrow that panel alone.
        const double panels_top = 1.0 - (95.0 + 18.0 * static_cast<double>(std::min<std::size_t>(key_entries, 2))) / gallery.height;
        gallery.body = "set multiplot layout " + std::to_string(rows) + ", " + std::to_string(columns) + " title " +
                       quoted(heading) + " margins screen 0.07, screen 0.98, screen " + number(60.0 / gallery.height) +
                       ", screen " + number(panels_top) + " spacing screen 0.09, screen " + number(110.0 / gallery.height) +
                       "\nset xlabel \"Sample index\"\nset ylabel \"Sample value (ADC)\"\nset grid\n"
                       "set key at screen 0.5, screen " + number(1.0 - 45.0 / gallery.height) +
                       " center top vertical maxrows 2\nset autoscale xfix\nset datafile missing \"NaN\"\n"
                       "data = " + quoted_path(data_dir + "/" + data_name) + "\n" + body.str() + "unset multiplot\n";
        result.push_back(gallery);
    }
    return result;
}

}  // namespace murel::plot
