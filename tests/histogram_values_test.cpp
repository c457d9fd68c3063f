// Value semantics of the histograms, and the answers promised where inputs are odd: windows
// that cannot be normalised, reversed axes, empty peaks, one-bin axes and negative bands.
#include "histogram.h"
#include "histogram_support.h"
#include "test_support.h"

#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <utility>
#include <vector>

using test_support::column;
using test_support::inf;
using test_support::not_a_number;
using test_support::read_file;
using test_support::scratch_dir;
using test_support::with_counts;

namespace {

histogram1D numbered_1d(int bins, int columns, double min, double max) {
    histogram1D h(bins, columns, min, max);
    for (std::size_t i = 0; i < h.data.num_elements(); ++i) h.data.data()[i] = static_cast<double>(i) + 0.5;
    return h;
}

histogram2D numbered_2d(int x_bins, int y_bins, int columns) {
    histogram2D h(x_bins, y_bins, columns, 0, x_bins, -1, y_bins);
    for (std::size_t i = 0; i < h.data.num_elements(); ++i) h.data.data()[i] = static_cast<double>(i) * 2.0;
    return h;
}

// Same axes, shape and counts (the histogram's own storage, not just the members' values).
template <class Histogram>
void expect_same(const Histogram& a, const Histogram& b) {
    EXPECT_EQ(a.nColumns, b.nColumns);
    EXPECT_EQ(a.data.num_elements(), b.data.num_elements());
    EXPECT_TRUE(std::equal(a.data.shape(), a.data.shape() + a.data.num_dimensions(), b.data.shape()));
    EXPECT_TRUE(std::equal(a.data.data(), a.data.data() + a.data.num_elements(), b.data.data(),
                           b.data.data() + b.data.num_elements()));
}

template <class Call>
std::string invalid_argument_message(Call call) {
    try {
        call();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "no std::invalid_argument";
}

}  // namespace

TEST(assignment, one_dimensional_histograms_take_any_shape) {
    const struct {
        int bins, columns;
    } shapes[] = {{10, 1}, {1000, 1}, {1, 3}, {0, 2}, {7, 0}, {50, 2}};
    for (const auto& to : shapes)
        for (const auto& from : shapes) {
            const histogram1D source = numbered_1d(from.bins, from.columns, 0, from.bins + 1.0);
            histogram1D copied = numbered_1d(to.bins, to.columns, -5, 5);
            copied = source;
            expect_same(copied, source);
            EXPECT_EQ(copied.maxValue, source.maxValue);
            if (copied.nBins > 0 && copied.nColumns > 0) {
                copied.add(0, 0);  // the copy owns its counts
                EXPECT_EQ(source.data[0][0], 0.5);
            }
            histogram1D moved = numbered_1d(to.bins, to.columns, -5, 5);
            histogram1D spent = source;
            moved = std::move(spent);
            expect_same(moved, source);
        }
    histogram1D self = numbered_1d(4, 2, 0, 3);
    const histogram1D& alias = self;
    self = alias;
    self = std::move(self);
    expect_same(self, numbered_1d(4, 2, 0, 3));

    std::vector<histogram1D> row{numbered_1d(10, 1, 0, 9), numbered_1d(3, 2, 0, 2)};
    row[0] = histogram1D(50, 2, 0, 49);
    row.insert(row.begin(), numbered_1d(1000, 1, 0, 999));
    row.erase(row.begin() + 1);
    EXPECT_EQ(row[0].nBins, 1000);
    EXPECT_EQ(row[1].nBins, 3);
}

TEST(assignment, two_dimensional_histograms_take_any_shape) {
    const struct {
        int x, y, columns;
    } shapes[] = {{3, 4, 1}, {40, 30, 2}, {1, 1, 3}, {0, 5, 1}, {6, 2, 0}};
    for (const auto& to : shapes)
        for (const auto& from : shapes) {
            const histogram2D source = numbered_2d(from.x, from.y, from.columns);
            histogram2D copied = numbered_2d(to.x, to.y, to.columns);
            copied = source;
            expect_same(copied, source);
            EXPECT_EQ(copied.maxY, source.maxY);
            histogram2D moved = numbered_2d(to.x, to.y, to.columns);
            histogram2D spent = source;
            moved = std::move(spent);
            expect_same(moved, source);
        }
    histogram2D self = numbered_2d(3, 3, 2);
    const histogram2D& alias = self;
    self = alias;
    expect_same(self, numbered_2d(3, 3, 2));
    std::vector<histogram2D> row{numbered_2d(2, 2, 1)};
    row[0] = numbered_2d(20, 20, 2);
    EXPECT_EQ(row[0].data[19][19][1], numbered_2d(20, 20, 2).data[19][19][1]);
}

TEST(window, shapes_without_a_finite_nonzero_sum_are_refused) {
    const struct {
        std::vector<double> values;
        const char* message;
    } rows[] = {
        {{1, -1, 0}, "Window: the shape's values must have a sum that is finite and not 0, got 0"},
        {{0, 0, 0}, "Window: the shape's values must have a sum that is finite and not 0, got 0"},
        {{1e308, 1e308, 1}, "Window: the shape's values must have a sum that is finite and not 0, got inf"},
        {{1e308, -1e308, 0.0009765625}, "Window: the shape's values must have a sum that is finite and not 0, got 0.0009765625"},
        {{1, not_a_number, 1}, "Window: the shape must give finite values, got nan at index 1"},
        {{inf, 1, 1}, "Window: the shape must give finite values, got inf at index 0"},
        {{1, 1, -inf}, "Window: the shape must give finite values, got -inf at index 2"},
    };
    for (const auto& row : rows) {
        const auto shape = [&row](int i, int) { return row.values[static_cast<std::size_t>(i)]; };
        EXPECT_EQ(invalid_argument_message([&] { Window(shape, 3); }), row.message);
    }
    const Window fine([](int i, int) { return i == 1 ? -1.0 : 1.0; }, 3);  // sums to 1
    EXPECT_EQ(fine.weights[1], -1.0);
}

TEST(window, smooth_keeps_a_bin_whose_weights_sum_to_zero_and_refuses_a_changed_length) {
    const struct {
        std::vector<double> shape, expected;
    } rows[] = {
        // Only the lowest neighbour counts: bin 1 has none that is interior.
        {{1, 0, 0}, {100, 3, 3, 6, 9, 50}},
        // At bin 1 the weights of offsets 0 and +1 cancel; at bin 4 those of -1 and 0.
        {{1, -1, 1}, {100, 3, 6, 9, 12, 50}},
        {{0, 0, 1}, {100, 6, 9, 12, 12, 50}},
    };
    for (const auto& row : rows) {
        histogram1D h = with_counts({100, 3, 6, 9, 12, 50}, 0, 5);
        h.smooth(Window([&](int i, int) { return row.shape[static_cast<std::size_t>(i)]; }, 3));
        EXPECT_EQ(column(h), row.expected) << row.shape[0] << " " << row.shape[1] << " " << row.shape[2];
    }

    histogram1D h = with_counts({1, 2, 3, 4, 5, 6, 7}, 0, 6);
    for (int changed : {5, 1, 0, -3, 4}) {
        Window window([](int, int) { return 1.0; }, 3);
        window.length = changed;
        EXPECT_EQ(invalid_argument_message([&] { h.smooth(window); }),
                  "histogram1D::smooth: the window holds 3 weights, but its length was changed to " +
                      std::to_string(changed));
    }
    EXPECT_EQ(column(h), (std::vector<double>{1, 2, 3, 4, 5, 6, 7}));
}

TEST(peak_width, reversed_axes_measure_like_their_mirror_image) {
    const std::vector<double> counts = {0, 0, 2, 6, 10, 6, 2, 0, 0};
    const histogram1D forward = with_counts(counts, 0, 8), backward = with_counts(counts, 8, 0);
    for (double x : {2.0, 3.5, 4.0, 5.4, 6.4})
        EXPECT_EQ(backward.fwhm(8 - x, 0), forward.fwhm(x, 0)) << x;
    EXPECT_EQ(backward.fwhm(4, 0), 2.5);
    EXPECT_EQ(backward.fwhm(-0.1, 0), 0.0);
    EXPECT_EQ(backward.fwhm(8.1, 0), 0.0);

    histogram1D calibrated = with_counts(counts, 0, 8);
    calibrated.calibrate(-2.5, 20);  // 20 down to 0
    EXPECT_EQ(calibrated.fwhm(10, 0), 2.5 * 2.5);

    histogram2D up(3, 9, 1, 0, 2, 0, 8), down(3, 9, 1, 0, 2, 8, 0);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 9; ++j) up.data[i][j][0] = down.data[i][j][0] = counts[static_cast<std::size_t>(j)] * (i + 1);
    EXPECT_EQ(up.fwhmConstXCutWide(1, 4.0, 1, 0), 2.5);
    EXPECT_EQ(down.fwhmConstXCutWide(1, 4.0, 1, 0), 2.5);
    EXPECT_EQ(down.fwhmConstXCutWide(1, 8 - 5.4, 0, 0), up.fwhmConstXCutWide(1, 5.4, 0, 0));
}

TEST(peak_width, empty_or_flat_peaks_and_negative_bands_give_no_nan) {
    const struct {
        std::vector<double> counts;
        double x;
    } peaks[] = {
        {{0, 0, 0, 0, 0, 0, 0}, 3},
        {{5, 0, 0, 0, 0, 0, 5}, 3},
        {{0, -1, -2, -3, -2, -1, 0}, 3},
        {{0, 0, 0, inf, 0, 0, 0}, 3},
        {{0, 0, 0, not_a_number, 0, 0, 0}, 3},
    };
    for (const auto& peak : peaks) {
        EXPECT_EQ(with_counts(peak.counts, 0, 6).fwhm(peak.x, 0), 0.0);
        histogram2D h(1, 7, 1, 0, 1, 0, 6);
        for (int j = 0; j < 7; ++j) h.data[0][j][0] = peak.counts[static_cast<std::size_t>(j)];
        EXPECT_EQ(h.fwhmConstXCutWide(0, peak.x, 0, 0), 0.0);
    }

    scratch_dir dir;
    const std::string path = dir.file("band.txt");
    const histogram2D h(5, 5, 1, 0, 4, 0, 4);
    for (int half_width : {-1, -7}) {
        const std::string got = " must not be negative, got " + std::to_string(half_width);
        EXPECT_EQ(invalid_argument_message([&] { h.writeConstXCutWide(path.c_str(), 2, half_width, true); }),
                  "histogram2D::writeConstXCutWide: halfWidth" + got);
        EXPECT_EQ(invalid_argument_message([&] { h.writeConstYCutWide(path.c_str(), 2, half_width, false); }),
                  "histogram2D::writeConstYCutWide: halfWidth" + got);
        EXPECT_EQ(invalid_argument_message([&] { h.fwhmConstXCutWide(2, 2.0, half_width, 0); }),
                  "histogram2D::fwhmConstXCutWide: halfWidth" + got);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(axes, a_one_bin_axis_is_centred_on_its_minimum) {
    scratch_dir dir;
    const std::string path = dir.file("t.txt");
    histogram1D line(1, 1, 2.5, 7);
    line.add(100, 0);
    line.write(path.c_str());
    EXPECT_EQ(read_file(path), "2.500000 1.000000\n");

    histogram2D grid(1, 1, 1, -3, 3, 4, 9);
    grid.add(0, 0, 0);
    grid.writeText(path.c_str());
    EXPECT_EQ(read_file(path), "-3.000000 4.000000 1.000000\n");
    grid.writeConstXCut(path.c_str(), 0, false);
    EXPECT_EQ(read_file(path), " 4.000000 1.000000\n");
    grid.writeConstYCutWide(path.c_str(), 0, 0, true);
    EXPECT_EQ(read_file(path), "-3.000000 1000000.000000\n");
}

TEST(messages, a_histogram_without_columns_says_so) {
    const histogram1D line(3, 0, 0, 2);
    const histogram2D grid(3, 3, 0, 0, 2, 0, 2);
    const std::string none = ": the histogram has no columns, got column ";
    const auto out_of_range_message = [](auto call) -> std::string {
        try {
            call();
        } catch (const std::out_of_range& e) {
            return e.what();
        }
        return "no std::out_of_range";
    };
    EXPECT_EQ(out_of_range_message([&] { histogram1D(line).add(1, 0); }), "histogram1D::add" + none + "0");
    EXPECT_EQ(out_of_range_message([&] { line.fwhm(1, 2); }), "histogram1D::fwhm" + none + "2");
    EXPECT_EQ(out_of_range_message([&] { histogram2D(grid).add(1, 1, -1); }), "histogram2D::add" + none + "-1");
    EXPECT_EQ(out_of_range_message([&] { grid.fwhmConstXCutWide(1, 1, 0, 0); }),
              "histogram2D::fwhmConstXCutWide" + none + "0");
    EXPECT_EQ(out_of_range_message([] { histogram1D(3, 2, 0, 2).add(1, 2); }),
              "histogram1D::add: column must lie in 0 to 1, got 2");
}
