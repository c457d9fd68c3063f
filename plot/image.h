// Colour images: reading the plain PPM files of histogram2D::writeImage, writing PNG files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace murel::plot {

/// An image of 8-bit red, green and blue components, row after row from the top.
struct rgb_image {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint8_t> pixels;  // width x height x 3
};

/// Reads a plain ("P3") PPM file, scaling its components to 0..255; throws
/// std::system_error when it cannot be read and std::invalid_argument, naming the path, when
/// it is not a whole plain PPM image.
rgb_image read_ppm(const std::string& path);

/// Writes `image` as a PNG file at `path`; throws std::invalid_argument for an image whose
/// pixel count does not match its size and std::runtime_error, naming the path, when libpng
/// cannot write it.
void write_png(const rgb_image& image, const std::string& path);

}  // namespace murel::plot
