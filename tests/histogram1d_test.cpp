#include "histogram.h"
#include "histogram_support.h"
#include "test_support.h"

#include <cmath>
#include <limits>
#include <random>
#include <vector>

using test_support::column;
using test_support::inf;
using test_support::not_a_number;
using test_support::printf_field;
using test_support::read_file;
using test_support::scratch_dir;
using test_support::with_counts;

namespace {

// The bin that received the only count of column 0, or -1.
int counted_bin(const histogram1D& h) {
    for (int i = 0; i < h.nBins; ++i)
        if (h.data[i][0] != 0) return i;
    return -1;
}

}  // namespace

TEST(histogram1d, bin_rule_on_edges_halfway_and_far_outside) {
    struct row {
        int bins;
        double min, max, x;
        int bin;
    } const rows[] = {
        {5, 0, 4, 0.0, 0},          {5, 0, 4, 4.0, 4},           {5, 0, 4, 1.5, 2},  // half-way goes up
        {5, 0, 4, 1.4999999, 1},    {5, 0, 4, 1.5000001, 2},     {5, 0, 4, -0.4999, 0},
        {5, 0, 4, -1e300, 0},       {5, 0, 4, 1e300, 4},         {5, 0, 4, -inf, 0},
        {5, 0, 4, inf, 4},          {5, 4, 0, 5.0, 0},           {5, 4, 0, -1.0, 4},  // reversed axis
        {1601, -8, 8, 0.5, 850},    {1601, -8, 8, 0.0, 800},     {1601, -8, 8, -8.0, 0},
        {1, 0, 1, 123.0, 0},        {1, 2, 2, 2.0, 0},           {1, 0, 1, inf, 0},
    };
    for (const row& r : rows) {
        histogram1D h(r.bins, 1, r.min, r.max);
        h.add(r.x, 0);
        EXPECT_EQ(counted_bin(h), r.bin) << r.bins << " bins " << r.min << ".." << r.max << " x=" << r.x;
    }
}

TEST(histogram1d, rejected_adds_count_nothing) {
    histogram1D h(3, 2, 0, 1);
    EXPECT_THROW(h.add(not_a_number, 0), std::invalid_argument);
    try {
        h.add(0.5, 2);
        FAIL();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "histogram1D::add: column must lie in 0 to 1, got 2");
    }
    EXPECT_THROW(h.add(0.5, -1), std::out_of_range);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(h.data[i][0] + h.data[i][1], 0.0);
    histogram1D empty(0, 1, 0, 1);
    EXPECT_THROW(empty.add(0.5, 0), std::out_of_range);
}

TEST(histogram1d, invalid_axes_are_refused) {
    EXPECT_THROW(histogram1D(-1, 1, 0, 1), std::invalid_argument);
    EXPECT_THROW(histogram1D(2, -1, 0, 1), std::invalid_argument);
    EXPECT_THROW(histogram1D(2, 1, not_a_number, 1), std::invalid_argument);
    EXPECT_THROW(histogram1D(2, 1, 0, inf), std::invalid_argument);
    EXPECT_THROW(histogram1D(2, 1, -1e308, 1e308), std::invalid_argument);
    try {
        histogram1D(2, 1, 3, 3);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "histogram1D: x axis of 2 bins needs distinct ends, got 3 twice");
    }
    EXPECT_NO_THROW(histogram1D(1, 1, 3, 3));
    EXPECT_NO_THROW(histogram1D(0, 0, 3, 3));
}

TEST(histogram1d, write_matches_the_table_format) {
    scratch_dir dir;
    histogram1D h(3, 1, 0, 1);
    for (double x : {0.2, 0.3, 2.0}) h.add(x, 0);
    h.write(dir.file("t.txt").c_str());
    EXPECT_EQ(read_file(dir.file("t.txt")), "0.000000 1.000000\n0.500000 1.000000\n1.000000 1.000000\n");

    histogram1D no_columns(2, 0, -1, 1), no_bins(0, 3, 0, 1), one_bin(1, 1, 0, 1);
    no_columns.write(dir.file("c.txt").c_str());
    EXPECT_EQ(read_file(dir.file("c.txt")), "-1.000000\n1.000000\n");
    no_bins.write(dir.file("b.txt").c_str());
    EXPECT_EQ(read_file(dir.file("b.txt")), "");
    one_bin.write(dir.file("o.txt").c_str());
    EXPECT_EQ(read_file(dir.file("o.txt")), "0.000000 0.000000\n");  // the one bin is centred on minValue
}

TEST(histogram1d, write_formats_every_value_as_printf_does) {
    std::vector<double> values = {0.0, -0.0, 0.1, -2.5e-7, 5e-7, 1.5e-6, 2.5, 1234567.0000005, 1e15, -1e15,
                                  999999999999999.5, 1e300, -1e-320, std::numeric_limits<double>::max(),
                                  inf, -inf, not_a_number, -not_a_number, 0.0 * inf};
    std::mt19937_64 random(7);
    for (int i = 0; i < 20000; ++i) {
        const double magnitude = std::ldexp(1.0, static_cast<int>(random() % 120) - 60);
        values.push_back((static_cast<double>(random() % 2000001) - 1e6) * 1e-6 * magnitude);
        values.push_back(static_cast<double>(static_cast<std::int64_t>(random() % 4000000000000000ULL)) - 2e15);
    }
    histogram1D h(static_cast<int>(values.size()), 1, 0, 1);
    std::string expected;
    for (std::size_t i = 0; i < values.size(); ++i) {
        h.data[i][0] = values[i];
        expected += printf_field(static_cast<double>(i) / static_cast<double>(values.size() - 1), false) +
                    printf_field(values[i], true) + "\n";
    }
    scratch_dir dir;
    h.write(dir.file("v.txt").c_str());
    EXPECT_EQ(read_file(dir.file("v.txt")), expected);
}

TEST(histogram1d, clear_and_calibrate_keep_what_they_should) {
    scratch_dir dir;
    histogram1D h(1601, 2, -8, 8);
    h.add(0.5, 1);
    h.calibrate(2, 1);
    EXPECT_EQ(h.minValue, -15.0);
    EXPECT_EQ(h.maxValue, 17.0);
    EXPECT_EQ(h.data[850][1], 1.0);
    EXPECT_THROW(h.calibrate(0, 1), std::invalid_argument);
    EXPECT_THROW(h.calibrate(inf, 0), std::invalid_argument);
    EXPECT_EQ(h.minValue, -15.0);
    h.clearData();
    h.write(dir.file("z.txt").c_str());
    const std::string text = read_file(dir.file("z.txt"));
    EXPECT_EQ(text.substr(0, 29), "-15.000000 0.000000 0.000000\n");
    EXPECT_EQ(text.find(" 1.000000"), std::string::npos);
}

TEST(histogram1d, fwhm_measures_the_peak_near_x) {
    const histogram1D h = with_counts({0, 0, 2, 6, 10, 6, 2, 0, 0}, 0, 8);
    EXPECT_EQ(h.fwhm(4, 0), 2.5);
    EXPECT_EQ(h.fwhm(5.4, 0), 2.5);
    const histogram1D ties = with_counts({0, 0, 4, 8, 8, 4, 0, 0, 0}, 0, 8);
    EXPECT_EQ(ties.fwhm(5, 0), 3.0);  // peak bin 3, half height 4 stops both walks
    EXPECT_EQ(ties.fwhm(4, 0), 3.0);
    histogram1D wide = with_counts({0, 0, 2, 6, 10, 6, 2, 0, 0}, 0, 8);
    wide.calibrate(2, 0);
    EXPECT_EQ(wide.fwhm(8, 0), 5.0);
    EXPECT_THROW(h.fwhm(4, 1), std::out_of_range);
}

TEST(histogram1d, fwhm_answers_zero_where_it_cannot_measure) {
    const histogram1D h = with_counts({0, 0, 2, 6, 10, 6, 2, 0, 0}, 0, 8);
    for (double x : {-0.1, 8.1, 0.0, 1.4, 8.0, not_a_number, inf}) EXPECT_EQ(h.fwhm(x, 0), 0.0) << x;
    EXPECT_EQ(with_counts({9, 9, 9, 9, 9, 1}, 0, 5).fwhm(2, 0), 0.0);  // left side never falls
    EXPECT_EQ(with_counts({1, 9, 9, 9, 9, 9}, 0, 5).fwhm(3, 0), 0.0);  // right side never falls
    EXPECT_EQ(with_counts({0, 0, 0, 0, 0, 0}, 0, 5).fwhm(3, 0), 0.0);
    EXPECT_EQ(histogram1D(1, 1, 2, 2).fwhm(2, 0), 0.0);
}

TEST(window, weights_are_normalised_and_shared) {
    std::vector<int> calls;
    Window w([&](int i, int length) {
        calls.push_back(i * 100 + length);
        return i + 1.0;
    }, 3);
    EXPECT_EQ(calls, (std::vector<int>{3, 103, 203}));
    EXPECT_EQ(w.weights[0], 1.0 / 6.0);
    EXPECT_EQ(w.weights[2], 3.0 / 6.0);
    Window copy = w;
    w = Window([](int, int) { return 1.0; }, 1);
    EXPECT_EQ(copy.weights[1], 2.0 / 6.0);
    for (int length : {0, -1, 2, 4}) EXPECT_THROW(Window([](int, int) { return 1.0; }, length), std::invalid_argument);
}

TEST(histogram1d, smooth_keeps_edges_and_renormalises_near_them) {
    const auto flat = [](int, int) { return 1.0; };
    histogram1D h = with_counts({100, 3, 6, 9, 12, 50}, 0, 5);
    h.smooth(Window(flat, 3));
    EXPECT_EQ(column(h, 0), (std::vector<double>{100, 4.5, 6, 9, 10.5, 50}));

    histogram1D same = with_counts({7, 3, 6, 9, 12, 8}, 0, 5);
    same.smooth(Window(flat, 1));
    EXPECT_EQ(column(same, 0), (std::vector<double>{7, 3, 6, 9, 12, 8}));

    histogram1D constant = with_counts({0, 5, 5, 5, 5, 5, 5, 0}, 0, 7);
    constant.smooth(Window([](int i, int) { return 1.0 + i; }, 5));
    for (int i = 1; i < 7; ++i) EXPECT_NEAR(constant.data[i][0], 5.0, 1e-12);

    // An asymmetric window: the first weight belongs to the lowest neighbour.
    histogram1D lopsided = with_counts({0, 4, 8, 16, 32, 0}, 0, 5);
    lopsided.smooth(Window([](int i, int) { return i == 0 ? 3.0 : i == 1 ? 1.0 : 0.0; }, 3));
    EXPECT_EQ(column(lopsided, 0), (std::vector<double>{0, 4, 5, 10, 20, 0}));
}

TEST(histogram1d, smooth_refuses_a_window_longer_than_the_data) {
    histogram1D h = with_counts({1, 2, 3}, 0, 2);
    testing::internal::CaptureStdout();
    h.smooth(Window([](int, int) { return 1.0; }, 5));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Data length must be larger than window length!\n");
    EXPECT_EQ(column(h, 0), (std::vector<double>{1, 2, 3}));

    histogram1D no_columns(5, 0, 0, 4);
    testing::internal::CaptureStdout();
    no_columns.smooth(Window([](int, int) { return 1.0; }, 5));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}
