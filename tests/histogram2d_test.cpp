#include "histogram.h"
#include "histogram_support.h"
#include "test_support.h"

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <new>
#include <system_error>

using test_support::inf;
using test_support::not_a_number;
using test_support::printf_field;
using test_support::read_file;
using test_support::scratch_dir;

namespace {

// x centres 0, 1, 2; y centres -1, 1; two columns; one entry in x bin 1, y bin 1, column 1.
histogram2D small_example() {
    histogram2D h(3, 2, 2, 0, 2, -1, 1);
    h.add(0.5, 1.0, 1);
    return h;
}

// A file's text after a writer call, in a scratch directory.
template <class Write>
std::string written(Write write) {
    scratch_dir dir;
    write(dir.file("out.txt").c_str());
    return read_file(dir.file("out.txt"));
}

histogram2D profile_example() {
    histogram2D h(3, 9, 1, 0, 2, 0, 8);
    const double rows[3][9] = {{0, 0, 1, 2, 3, 2, 1, 0, 0}, {0, 0, 1, 3, 5, 3, 1, 0, 0}, {0, 0, 0, 1, 2, 1, 0, 0, 0}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 9; ++j) h.data[i][j][0] = rows[i][j];
    return h;
}

histogram2D single_column_profile(const std::vector<double>& profile) {
    histogram2D h(1, static_cast<int>(profile.size()), 1, 0, 1, 0, static_cast<double>(profile.size() - 1));
    for (std::size_t j = 0; j < profile.size(); ++j) h.data[0][j][0] = profile[j];
    return h;
}

}  // namespace

TEST(histogram2d, add_clamps_each_axis_and_write_text_lists_every_cell) {
    histogram2D h = small_example();
    EXPECT_EQ(written([&](const char* p) { h.writeText(p); }),
              "0.000000 -1.000000 0.000000 0.000000\n"
              "0.000000 1.000000 0.000000 0.000000\n"
              "1.000000 -1.000000 0.000000 0.000000\n"
              "1.000000 1.000000 0.000000 1.000000\n"
              "2.000000 -1.000000 0.000000 0.000000\n"
              "2.000000 1.000000 0.000000 0.000000\n");
    h.add(-5.0, 7.0, 0);
    h.add(0.49, -1.0, 0);
    h.add(inf, -inf, 0);
    h.add(0.5, -1.0, 0);
    EXPECT_EQ(h.data[0][1][0], 1.0);
    EXPECT_EQ(h.data[0][0][0], 1.0);
    EXPECT_EQ(h.data[2][0][0], 1.0);
    EXPECT_EQ(h.data[1][0][0], 1.0);
}

TEST(histogram2d, bad_entries_and_axes_are_refused) {
    histogram2D h = small_example();
    EXPECT_THROW(h.add(not_a_number, 0, 0), std::invalid_argument);
    EXPECT_THROW(h.add(0, not_a_number, 0), std::invalid_argument);
    EXPECT_THROW(h.add(0, 0, 2), std::out_of_range);
    EXPECT_THROW(histogram2D(0, 2, 1, 0, 1, 0, 1).add(0, 0, 0), std::out_of_range);
    EXPECT_THROW(histogram2D(2, 2, 1, 0, 1, 5, 5), std::invalid_argument);
    EXPECT_THROW(histogram2D(2, 2, -1, 0, 1, 0, 1), std::invalid_argument);
    EXPECT_THROW(histogram2D(1 << 30, 1 << 30, 1 << 30, 0, 1, 0, 1), std::bad_alloc);
    EXPECT_EQ(written([](const char* p) { histogram2D(0, 3, 1, 0, 1, 0, 1).writeText(p); }), "");
    // The one y bin is centred on minY.
    EXPECT_EQ(written([](const char* p) { histogram2D(2, 1, 0, 0, 1, 0.25, 1).writeText(p); }),
              "0.000000 0.250000\n1.000000 0.250000\n");
}

TEST(histogram2d, single_bin_cuts) {
    const histogram2D h = small_example();
    EXPECT_EQ(written([&](const char* p) { h.writeConstXCut(p, 1, false); }),
              " -1.000000 0.000000 0.000000\n 1.000000 0.000000 1.000000\n");
    EXPECT_EQ(written([&](const char* p) { h.writeConstYCut(p, 1, false); }),
              "0.000000 0.000000 0.000000\n1.000000 0.000000 1.000000\n2.000000 0.000000 0.000000\n");
    const std::string nan_text = printf_field(test_support::hardware_nan(), true);
    EXPECT_EQ(written([&](const char* p) { h.writeConstXCut(p, 1, true); }),
              " -1.000000" + nan_text + " 0.000000\n 1.000000" + nan_text + " 1000000.000000\n");
    // Entries in other bins change neither the rows nor the totals of a cut.
    histogram2D busy = small_example();
    busy.add(0, 1, 1);
    busy.add(1, -1, 1);
    EXPECT_EQ(written([&](const char* p) { busy.writeConstXCut(p, 1, true); }),
              " -1.000000" + nan_text + " 500000.000000\n 1.000000" + nan_text + " 500000.000000\n");
    EXPECT_EQ(written([&](const char* p) { busy.writeConstYCut(p, 0, false); }),
              "0.000000 0.000000 0.000000\n1.000000 0.000000 1.000000\n2.000000 0.000000 0.000000\n");
}

TEST(histogram2d, cuts_refuse_bins_bands_and_columns_outside_the_table_before_writing) {
    scratch_dir dir;
    const std::string path = dir.file("never.txt");
    const histogram2D h(5, 5, 1, 0, 4, 0, 4);
    try {
        h.writeConstXCut(path.c_str(), 5, false);
        FAIL();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "histogram2D::writeConstXCut: xBin must lie in 0 to 4, got 5");
    }
    EXPECT_THROW(h.writeConstYCut(path.c_str(), -1, false), std::out_of_range);
    EXPECT_THROW(h.writeConstXCutWide(path.c_str(), 1, 2, false), std::out_of_range);
    EXPECT_THROW(h.writeConstYCutWide(path.c_str(), 3, 2, false), std::out_of_range);
    EXPECT_THROW(h.writeConstXCutWide(path.c_str(), 7, 0, false), std::out_of_range);
    EXPECT_THROW(h.fwhmConstXCutWide(2, 2.0, 3, 0), std::out_of_range);
    EXPECT_THROW(h.fwhmConstXCutWide(2, 2.0, 1, 1), std::out_of_range);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(histogram2d, wide_cuts_sum_their_band) {
    histogram2D h(5, 5, 2, 0, 4, 0, 4);
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j) h.data[i][j][0] = 10 * i + j, h.data[i][j][1] = 1;
    // Rows 1 to 3 sum x bins 1 to 3; the edge rows take no part and show 0.
    EXPECT_EQ(written([&](const char* p) { h.writeConstXCutWide(p, 2, 1, false); }),
              " 0.000000 0.000000 0.000000\n 1.000000 63.000000 3.000000\n 2.000000 66.000000 3.000000\n"
              " 3.000000 69.000000 3.000000\n 4.000000 0.000000 0.000000\n");
    EXPECT_EQ(written([&](const char* p) { h.writeConstXCutWide(p, 2, 1, true); }),
              " 0.000000 0.000000 0.000000\n 1.000000 318181.818182 333333.333333\n"
              " 2.000000 333333.333333 333333.333333\n 3.000000 348484.848485 333333.333333\n"
              " 4.000000 0.000000 0.000000\n");
    EXPECT_EQ(written([&](const char* p) { h.writeConstYCutWide(p, 1, 1, false); }),
              "0.000000 3.000000 3.000000\n1.000000 33.000000 3.000000\n2.000000 63.000000 3.000000\n"
              "3.000000 93.000000 3.000000\n4.000000 123.000000 3.000000\n");
    for (bool normalize : {false, true}) {
        EXPECT_EQ(written([&](const char* p) { h.writeConstYCutWide(p, 3, 0, normalize); }),
                  written([&](const char* p) { h.writeConstYCut(p, 3, normalize); }));
    }
    const auto wide = test_support::lines(written([&](const char* p) { h.writeConstXCutWide(p, 4, 0, false); }));
    const auto single = test_support::lines(written([&](const char* p) { h.writeConstXCut(p, 4, false); }));
    for (int j = 1; j <= 3; ++j) EXPECT_EQ(wide[j], single[j]);
}

TEST(histogram2d, wide_cuts_on_thin_tables) {
    const histogram2D two_y(3, 2, 1, 0, 2, 0, 1), no_columns(3, 3, 0, 0, 2, 0, 2), no_y(3, 0, 2, 0, 2, 0, 1);
    EXPECT_EQ(written([&](const char* p) { two_y.writeConstXCutWide(p, 1, 1, false); }),
              " 0.000000 0.000000\n 1.000000 0.000000\n");
    EXPECT_EQ(written([&](const char* p) { no_columns.writeConstXCutWide(p, 1, 1, true); }),
              " 0.000000\n 1.000000\n 2.000000\n");
    EXPECT_EQ(written([&](const char* p) { no_y.writeConstXCutWide(p, 1, 1, true); }), "");
    EXPECT_EQ(written([&](const char* p) { no_y.writeConstXCut(p, 1, true); }), "");
}

TEST(histogram2d, fwhm_of_a_wide_cut) {
    EXPECT_EQ(profile_example().fwhmConstXCutWide(1, 4.0, 1, 0), 2.5);
    EXPECT_EQ(single_column_profile({0, 0, 0, 0, 7, 0, 0, 0}).fwhmConstXCutWide(0, 4.0, 0, 0), 1.0);
    EXPECT_EQ(single_column_profile({0, 0, 0, 2, 4, 2, 0, 0}).fwhmConstXCutWide(0, 4.0, 0, 0), 2.0);
    // Ties: the lowest of equal bins wins unless the centre bin holds the top value.
    EXPECT_EQ(single_column_profile({0, 0, 5, 1, 3, 5, 0, 0}).fwhmConstXCutWide(0, 4.0, 0, 0),
              single_column_profile({0, 0, 5, 1, 0, 0, 0, 0}).fwhmConstXCutWide(0, 3.0, 0, 0));
    EXPECT_EQ(single_column_profile({0, 0, 0, 5, 5, 0, 0, 0}).fwhmConstXCutWide(0, 4.0, 0, 0), 2.0);
    const histogram2D h = profile_example();
    for (double y : {-0.5, 8.5, 0.0, 1.4, 8.0, not_a_number}) EXPECT_EQ(h.fwhmConstXCutWide(1, y, 1, 0), 0.0) << y;
}

TEST(histogram2d, writers_report_files_they_cannot_write) {
    const histogram2D h = small_example();
    try {
        h.writeConstXCutWide("/dev/full", 1, 0, false);
        FAIL();
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOSPC);
        EXPECT_STREQ(e.what(), "cannot write /dev/full: No space left on device");
    }
    EXPECT_THROW(h.writeText("/nonexistent-dir/t.txt"), std::system_error);
}
