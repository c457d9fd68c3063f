#include "histogram.h"
#include "test_support.h"

#include <cmath>
#include <filesystem>
#include <limits>
#include <stdexcept>

using test_support::read_file;
using test_support::scratch_dir;

namespace {

constexpr color colour_map[12] = {
    {0, 0, 0},     {112, 10, 171}, {56, 20, 176},  {18, 64, 171}, {0, 153, 153}, {0, 204, 0},
    {158, 237, 0}, {255, 255, 0},  {255, 212, 0}, {255, 171, 0}, {255, 115, 0}, {255, 0, 0},
};

std::string rgb(double x, const color* table = colour_map, int n = 12) {
    int r = -1, g = -1, b = -1;
    interpolate(x, &r, &g, &b, table, n);
    return std::to_string(r) + " " + std::to_string(g) + " " + std::to_string(b);
}

// Writes the images of h into a scratch directory; returns what was printed.
std::string export_images(const histogram2D& h, bool logScale, const scratch_dir& dir, const std::string& prefix = "img") {
    testing::internal::CaptureStdout();
    h.writeImage(dir.file(prefix).c_str(), logScale);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(interpolate, blends_neighbouring_entries) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(rgb(0), "0 0 0");
    EXPECT_EQ(rgb(1), "255 0 0");
    EXPECT_EQ(rgb(1.0 / 11), "112 10 171");
    EXPECT_EQ(rgb(0.5), "79 220 0");
    EXPECT_EQ(rgb(-0.3), "0 0 0");
    EXPECT_EQ(rgb(-1e300), "0 0 0");
    EXPECT_EQ(rgb(std::nan("")), "0 0 0");
    EXPECT_EQ(rgb(inf), "255 0 0");
    EXPECT_EQ(rgb(-inf), "0 0 0");
    EXPECT_EQ(rgb(1e308), "255 0 0");
    const color single[1] = {{1, 2, 3}};
    EXPECT_EQ(rgb(0.7, single, 1), "1 2 3");
    EXPECT_EQ(rgb(inf, single, 1), "1 2 3");
    EXPECT_THROW(rgb(0.5, single, 0), std::invalid_argument);
}

TEST(histogram2d, linear_image_rows_run_top_to_bottom) {
    histogram2D h(4, 2, 2, 0, 3, 0, 1);
    h.add(0, 1, 0);
    h.add(3, 0, 1);
    scratch_dir dir;
    EXPECT_EQ(export_images(h, false, dir), "Shift 0, normalization 1\nShift 0, normalization 1\n");
    const std::string black = "0 0 0\n", red = "255 0 0\n";
    EXPECT_EQ(read_file(dir.file("img1.ppm")), "P3\n4 2\n255\n" + red + black + black + black + black + black + black + black);
    EXPECT_EQ(read_file(dir.file("img2.ppm")), "P3\n4 2\n255\n" + black + black + black + black + black + black + black + red);
}

TEST(histogram2d, logarithmic_image_scales_between_inner_minimum_and_maximum) {
    histogram2D h(4, 4, 1, 0, 3, 0, 3);
    const int cells[4][3] = {{1, 1, 1}, {1, 2, 2}, {2, 1, 4}, {2, 2, 8}};
    for (const auto& c : cells)
        for (int n = 0; n < c[2]; ++n) h.add(c[0], c[1], 0);
    scratch_dir dir;
    EXPECT_EQ(export_images(h, true, dir), "Shift -0.693147, normalization 0.360674\n");
    const std::string black = "0 0 0\n";
    EXPECT_EQ(read_file(dir.file("img1.ppm")), "P3\n4 4\n255\n" + black + black + black + black +  //
                                                   black + "79 220 0\n255 0 0\n" + black +         //
                                                   black + "23 57 171\n255 205 0\n" + black +      //
                                                   black + black + black + black);
}

TEST(histogram2d, logarithmic_image_of_small_axes) {
    scratch_dir dir;
    histogram2D three(3, 3, 1, 0, 2, 0, 2);
    for (int n = 0; n < 6; ++n) three.add(1, 1, 0);
    three.add(0, 0, 0);
    EXPECT_EQ(export_images(three, true, dir), "Shift 1.09861, normalization 1.4427\n");
    EXPECT_EQ(test_support::lines(read_file(dir.file("img1.ppm")))[7], "255 0 0");


    histogram2D one(1, 3, 1, 0, 1, 0, 2);
    one.add(0, 1, 0);
    EXPECT_EQ(export_images(one, true, dir), "Shift 0, normalization 1\n");
    EXPECT_EQ(read_file(dir.file("img1.ppm")), "P3\n1 3\n255\n0 0 0\n0 0 0\n0 0 0\n");
}

TEST(histogram2d, logarithmic_image_without_inner_cells_keeps_the_colour_order) {
    // With 2 bins on an axis there is no inner cell to scan: the scale stays at shift 0 and
    // normalization 1, so more counts always mean a colour further along the map.
    const struct {
        int x_bins, y_bins;
    } shapes[] = {{2, 3}, {3, 2}, {2, 2}, {2, 7}};
    for (const auto& shape : shapes) {
        histogram2D h(shape.x_bins, shape.y_bins, 1, 0, 1, 0, 1);
        h.data[0][0][0] = 1;
        h.data[1][1][0] = 10;
        scratch_dir dir;
        EXPECT_EQ(export_images(h, true, dir), "Shift 0, normalization 1\n") << shape.x_bins << "x" << shape.y_bins;
        const auto pixels = test_support::lines(read_file(dir.file("img1.ppm")));
        const std::size_t top_row = 3, width = static_cast<std::size_t>(shape.x_bins);
        const std::size_t one = top_row + (static_cast<std::size_t>(shape.y_bins) - 1) * width;  // x 0, y 0
        const std::size_t ten = top_row + (static_cast<std::size_t>(shape.y_bins) - 2) * width + 1;  // x 1, y 1
        EXPECT_EQ(pixels[one], "0 0 0");
        EXPECT_EQ(pixels[ten] + "\n", rgb(std::log(10.0)) + "\n");
        EXPECT_EQ(pixels[ten], "255 0 0");
    }
}

TEST(histogram2d, image_names_take_any_prefix) {
    scratch_dir dir;
    const std::string sub(200, 'd'), prefix = sub + "/" + std::string(200, 'p');
    std::filesystem::create_directory(dir.file(sub));
    histogram2D h(2, 2, 1, 0, 1, 0, 1);
    export_images(h, false, dir, prefix);
    EXPECT_EQ(read_file(dir.file(prefix + "1.ppm")).substr(0, 3), "P3\n");
    EXPECT_EQ(export_images(histogram2D(2, 2, 0, 0, 1, 0, 1), true, dir), "");
}
