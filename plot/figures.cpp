#include "figures.h"

#include "gnuplot.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <optional>
#include <cstdio>
#include <sstream>

namespace murel::plot {
namespace {

const char* const blue = "'#1f4e9c'";
const char* const red = "'#c00000'";

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
std::string zoomed_range(const char* axis, const table& counts, std::initializer_list<std::size_t> columns,
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
                                     const std::string& channel, const channel_summary& found,
                                     const std::string& unit) {
    std::vector<figure> result;
    if (spectrum.columns() <= column || spectrum.rows() < 2) return result;
    const auto [low, high] = spectrum.span_where_positive(column, 0).value_or(
        std::make_pair(spectrum.at(0, 0), spectrum.at(spectrum.rows() - 1, 0)));
    std::ostringstream marks;
    for (std::size_t k = 0; k < found.lines.size(); ++k) {
        const found_line& line = found.lines[k];
        const bool right_of_centre = line.position > low + 0.75 * (high - low);
        marks << "set arrow from " << number(line.position) << ", graph 0 to " << number(line.position)
              << ", graph 1 nohead dashtype 2 linecolor rgb " << red << "\n"
              << "set label "
              << quoted("line " + std::to_string(k) + ": " + number(line.position, "%.6g") + " ± " +
                      number(line.position_error, "%.2g") + " " + unit + "\nFWHM " + number(line.fwhm, "%.4g") + " ± " +
                      number(line.fwhm_error, "%.2g") + " " + unit)
              << " at " << number(line.position) << ", graph " << number(0.95 - 0.1 * static_cast<double>(k % 3))
              << (right_of_centre ? " right offset character -0.7, 0" : " left offset character 0.7, 0")
              << " textcolor rgb " << red << " front\n";
    }
    if (!found.lines.empty()) marks << "set offsets 0, 0, graph 0.25, 0\n";  // room for the labels
    const std::string gnuplot_column = std::to_string(column + 1);
    const std::string title = file.shown + ": channel " + channel + " amplitude spectrum";
    const std::string common = axes("", "Amplitude (" + unit + ")", per_bin("Counts", spectrum.step(), unit)) +
                               zoomed_range("x", spectrum, {column}, 0) + marks.str();
    const std::string curve =
        " with histeps linecolor rgb " + std::string(blue) + " title " + quoted("channel " + channel) + "\n";

    figure linear{"spectrum-" + channel, 1200, 720, "", {}};
    linear.body = "set title " + quoted(title) + "\n" + common + linear_range(spectrum.largest(column)) + "plot " +
                  quoted_path(file.path) + " using 1:" + gnuplot_column + curve;
    result.push_back(linear);
    if (spectrum.largest(column) > 0) {
        figure log{"spectrum-" + channel + "-log", 1200, 720, "", {}};
        log.body = "set title " + quoted(title + " (log scale)") + "\n" + common +
                   "set logscale y\nset yrange [0.8:*]\nplot " + quoted_path(file.path) + " using 1:($" + gnuplot_column +
                   " > 0 ? $" + gnuplot_column + " : 1/0)" + curve;
        result.push_back(log);
    }
    return result;
}

figure map_figure(const source& file, const table& map, const std::string& unit) {
    figure result{"map", 1200, 900, "", {}};
    const bool counted = map.columns() >= 3 && map.largest(2) > 0;
    result.body = axes(file.shown + ": channel A against channel B", "Channel A amplitude (" + unit + ")",
                       "Channel B amplitude (" + unit + ")") +
                  "set cblabel \"Counts per cell (log scale)\"\nset autoscale fix\nunset key\n"
                  "set palette defined (0 '#000000', 1 '#700aab', 2 '#3814b0', 3 '#1240ab', 4 '#009999', "
                  "5 '#00cc00', 6 '#9eed00', 7 '#ffff00', 8 '#ffd400', 9 '#ffab00', 10 '#ff7300', 11 '#ff0000')\n" +
                  (counted ? "set logscale cb\nset cbrange [0.5:*]\n" + zoomed_range("x", map, {2}, 0) +
                                 zoomed_range("y", map, {2}, 1)
                           : "set cbrange [0:1]\n") +
                  "plot " +
                  quoted_path(file.path) + " using 1:2:($3 > 0 ? $3 : 1/0) with image\n";
    return result;
}

figure gate_figure(const source& file, const table& counts, const gate& band, const std::string& unit) {
    figure result{"gate-" + std::to_string(band.line), 1200, 720, "", {}};
    result.body = axes(file.shown + ": channel B spectrum gated on channel A line " + std::to_string(band.line),
                       "Channel B amplitude (" + unit + ")", per_bin("Counts", counts.step(), unit)) +
                  (counts.rows() > 0 ? zoomed_range("x", counts, {1}, 0) : "set autoscale xfix\n") +
                  linear_range(counts.rows() > 0 ? counts.largest(1) : 0.0) + "plot " +
                  quoted_path(file.path) + " using 1:2 with histeps linecolor rgb " + blue + " title " +
                  quoted("channel A from " + number(band.low, "%.6g") + " to " + number(band.high, "%.6g") + " " + unit) +
                  "\n";
    return result;
}

figure residual_figure(const source& file, const table& residuals, const analysis_summary& summary) {
    const std::string unit = summary.unit_label();
    const auto key = [&unit](const std::string& channel, const channel_summary& found) {
        std::string title = "channel " + channel;
        if (found.residual_bias && found.residual_rms)
            title += ": bias " + number(*found.residual_bias, "%.3g") + " " + unit + ", RMS " +
                     number(*found.residual_rms, "%.3g") + " " + unit;
        return quoted(title);
    };
    figure result{"residuals", 1200, 720, "", {}};
    const double largest =
        residuals.rows() > 0 && residuals.columns() >= 3 ? std::max(residuals.largest(1), residuals.largest(2)) : 0.0;
    result.body = axes(file.shown + ": amplitude residuals, estimate minus truth", "Amplitude residual (" + unit + ")",
                       per_bin("Records", residuals.step(), unit)) +
                  (largest > 0 ? zoomed_range("x", residuals, {1, 2}, 0) : "set autoscale xfix\n") +
                  linear_range(largest) + "plot " + quoted_path(file.path) +
                  " using 1:2 with histeps linecolor rgb " + blue + " title " + key("A", summary.a) +
                  ", \\\n     '' using 1:3 with histeps linecolor rgb " + red + " title " + key("B", summary.b) + "\n";
    return result;
}

std::vector<figure> gallery_figures(const source& file, const record_layout& layout,
                                    const std::vector<chosen_record>& records, const std::string& name,
                                    const std::string& heading, const std::string& data_dir) {
    constexpr std::size_t per_page = 12;
    std::vector<figure> result;
    const std::size_t pages = (records.size() + per_page - 1) / per_page;
    for (std::size_t page = 0; page < pages; ++page) {
        const std::size_t first = page * per_page, count = std::min(per_page, records.size() - first);
        figure gallery{page == 0 ? name : name + "-" + std::to_string(page + 1), 1200, 720, "", {}};
        const std::size_t columns = count <= 4 ? 1 : count <= 8 ? 2 : 3;
        const std::size_t rows = (count + columns - 1) / columns;
        gallery.width = columns == 3 ? 1500 : 1200;
        gallery.height = std::max<int>(720, static_cast<int>(rows) * 260 + 60);

        std::vector<record> samples;
        std::ostringstream data;
        data << "# sample";
        for (std::size_t i = first; i < first + count; ++i) {
            samples.push_back(read_record(file.path, layout, records[i].event));
            data << " A(event " << records[i].event << ") B(event " << records[i].event << ")";
        }
        data << "\n";
        for (std::size_t j = 0; j < layout.samples; ++j) {
            data << j;
            for (const record& r : samples) data << ' ' << r.a[j] << ' ' << r.b[j];
            data << '\n';
        }
        const std::string data_name = gallery.name + ".txt";
        gallery.data.emplace_back(data_name, data.str());

        std::ostringstream body;
        const std::string title =
            file.shown + ": " + heading +
            (pages > 1 ? " (" + std::to_string(page + 1) + " of " + std::to_string(pages) + ")" : "");
        body << "set multiplot layout " << rows << ", " << columns << " title " << quoted(title) << "\n"
             << "set xlabel \"Sample index\"\nset ylabel \"Sample value (ADC)\"\nset grid\nset key outside right top\n"
             << "set autoscale xfix\n"
             << "data = " << quoted_path(data_dir + "/" + data_name) << "\n";
        for (std::size_t i = 0; i < count; ++i)
            body << "set title " << quoted(records[first + i].caption) << "\nplot data using 1:" << 2 + 2 * i
                 << " with lines linecolor rgb " << blue << " title \"A\", '' using 1:" << 3 + 2 * i
                 << " with lines linecolor rgb " << red << " title \"B\"\n";
        body << "unset multiplot\n";
        gallery.body = body.str();
        result.push_back(gallery);
    }
    return result;
}

}  // namespace murel::plot
