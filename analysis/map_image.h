// The map as a colour picture: the plain PPM image of its logarithmic counts.
#pragma once

#include "histogram.h"

#include <string>

namespace murel::analysis {

/// Writes column 0 of `map` to `path` as the plain ("P3") PPM image that histogram2D::writeImage
/// draws on its logarithmic scale, byte for byte, but prints nothing; throws std::system_error
/// naming the path when it cannot be written.
void write_map_image(const histogram2D& map, const std::string& path);

}  // namespace murel::analysis
