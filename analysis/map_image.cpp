#include "map_image.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>

namespace murel::analysis {

void write_map_image(const histogram2D& map, const std::string& path) {
    // The library's colour table, so that the picture of an analysis matches that of writeImage.
    static constexpr color table[12] = {
        {0, 0, 0},     {112, 10, 171}, {56, 20, 176},  {18, 64, 171}, {0, 153, 153}, {0, 204, 0},
        {158, 237, 0}, {255, 255, 0},  {255, 212, 0}, {255, 171, 0}, {255, 115, 0}, {255, 0, 0},
    };
    const int nx = map.nBinsX, ny = map.nBinsY;
    const auto count = [&map](int i, int j) { return map.data[i][j][0]; };
    double shift = 0.0, normalization = 1.0;
    if (nx >= 3 && ny >= 3) {
        double max = count(1, 1), min = 1e32;
        for (int i = 1; i <= nx - 2; ++i)
            for (int j = 1; j <= ny - 2; ++j) {
                const double v = count(i, j);
                if (v > max) max = v;
                if (v < min && v > 0) min = v;
            }
        if (max > 0 && min > 0) {
            shift = std::log(0.5 * min);
            normalization = 1.0 / (std::log(max) - shift);
        }
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(path.c_str(), "w"), std::fclose);
    const auto fail = [&path] { throw std::system_error(errno ? errno : EIO, std::generic_category(), "cannot write " + path); };
    if (!out) fail();
    std::fprintf(out.get(), "P3\n%d %d\n255\n", nx, ny);
    // A row of text at a time: formatting each number through fprintf took longer than the rest.
    const auto append_pixel = [&](std::string& text, double position) {
        int rgb[3];
        interpolate(position, &rgb[0], &rgb[1], &rgb[2], table, 12);
        for (int k = 0; k < 3; ++k) {
            char digits[16];
            text.append(digits, std::to_chars(digits, digits + sizeof digits, rgb[k]).ptr);
            text += k < 2 ? ' ' : '\n';
        }
    };
    // Most bins of a map are empty, and all of them look the same.
    std::string empty_pixel;
    append_pixel(empty_pixel, 0 * normalization);
    std::string row;
    for (int j = ny - 1; j >= 0; --j) {
        row.clear();
        for (int i = 0; i < nx; ++i) {
            const double v = count(i, j);
            if (v == 0) row += empty_pixel;
            else append_pixel(row, (std::log(v) - shift) * normalization);
        }
        std::fwrite(row.data(), 1, row.size(), out.get());
    }
    errno = 0;
    const bool written = std::fflush(out.get()) == 0 && !std::ferror(out.get());
    if (std::fclose(out.release()) != 0 || !written) fail();
}

}  // namespace murel::analysis
