// Helpers shared by the histogram tests: the non-finite values they feed in, a one-column
// histogram with given counts, and a column read back.
#pragma once

#include "histogram.h"

#include <cstddef>
#include <limits>
#include <vector>

namespace test_support {

inline constexpr double inf = std::numeric_limits<double>::infinity();
inline constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

/// A one-column histogram over min to max whose bins hold `counts`, edge bins included.
inline histogram1D with_counts(const std::vector<double>& counts, double min, double max) {
    histogram1D h(static_cast<int>(counts.size()), 1, min, max);
    for (std::size_t i = 0; i < counts.size(); ++i) h.data[i][0] = counts[i];
    return h;
}

/// The counts of column j of `h`, bin by bin.
inline std::vector<double> column(const histogram1D& h, int j = 0) {
    std::vector<double> values;
    for (int i = 0; i < h.nBins; ++i) values.push_back(h.data[i][j]);
    return values;
}

}  // namespace test_support
