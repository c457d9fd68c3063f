#include "image.h"

#include <png.h>

#include <cctype>
#include <cerrno>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace murel::plot {
namespace {

// Reads the next decimal number of a plain PNM file, skipping blanks and '#' comments.
bool next_number(std::istream& in, unsigned long& value) {
    for (int c = in.peek(); c != EOF; c = in.peek()) {
        if (c == '#')
            in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        else if (std::isspace(c))
            in.get();
        else
            break;
    }
    if (in.peek() < '0' || in.peek() > '9') return false;
    value = 0;
    while (in.peek() >= '0' && in.peek() <= '9') {
        value = value * 10 + static_cast<unsigned long>(in.get() - '0');
        if (value > 1000000000UL) return false;
    }
    return true;
}

}  // namespace

rgb_image read_ppm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    const auto refuse = [&path](const std::string& what) { throw std::invalid_argument(path + ": " + what); };
    char magic[2] = {};
    in.read(magic, 2);
    if (magic[0] != 'P' || magic[1] != '3') refuse("not a plain PPM image (P3)");
    unsigned long width = 0, height = 0, maximum = 0;
    if (!next_number(in, width) || !next_number(in, height) || !next_number(in, maximum))
        refuse("incomplete PPM header");
    if (width == 0 || height == 0 || width > 65536 || height > 65536) refuse("image size out of range");
    if (maximum == 0 || maximum > 65535) refuse("largest component value out of range");
    rgb_image image{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), {}};
    image.pixels.resize(static_cast<std::size_t>(width) * height * 3);
    for (std::uint8_t& component : image.pixels) {
        unsigned long value = 0;
        if (!next_number(in, value))
            refuse("fewer pixels than its size of " + std::to_string(width) + " x " + std::to_string(height));
        if (value > maximum) refuse("component " + std::to_string(value) + " above the largest value");
        component = static_cast<std::uint8_t>((value * 255 + maximum / 2) / maximum);
    }
    if (in.bad()) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    return image;
}

void write_png(const rgb_image& image, const std::string& path) {
    if (image.pixels.size() != static_cast<std::size_t>(image.width) * image.height * 3)
        throw std::invalid_argument("an image of " + std::to_string(image.width) + " x " +
                                    std::to_string(image.height) + " pixels holds " +
                                    std::to_string(image.pixels.size()) + " components");
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = image.width;
    png.height = image.height;
    png.format = PNG_FORMAT_RGB;
    if (png_image_write_to_file(&png, path.c_str(), 0, image.pixels.data(), 0, nullptr) == 0) {
        const std::string message = png.message;
        png_image_free(&png);
        throw std::runtime_error("cannot write " + path + ": " + message);
    }
}

}  // namespace murel::plot
