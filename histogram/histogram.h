// Multi-column histograms: one- and two-dimensional counts over evenly spaced bins,
// with text tables, peak widths, smoothing, cuts and colour images.
//
// Axis convention: an axis of n bins runs from `min` to `max`, which are the centres
// of its first and last bins (not outer edges).  Bin i is centred on
// i / (n - 1) * (max - min) + min (the one bin of a one-bin axis on min); a value x falls into the bin
// (int)((n - 1) * (x - min) / (max - min) + 0.5), clamped into 0 to n - 1, so that
// values outside the axis collect in the two edge bins and a value half-way between
// two centres counts in the upper bin.
//
// Errors: an index outside its range throws std::out_of_range, any other invalid
// argument std::invalid_argument, and a file that cannot be written std::system_error
// carrying errno; every message names the offending value or path.
#pragma once

#include <boost/multi_array.hpp>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

namespace histogram_detail {

// The bin of x on an axis of n bins whose first and last centres are min and max: the
// position (n - 1) * (x - min) / (max - min) + 0.5 truncated toward zero, then clamped into
// 0 to n - 1, for n >= 1.  Kept inline because `add` is the hot path; its arithmetic has no multiply-add
// pair, so a caller's floating-point contraction settings cannot move a value to another bin.
inline int bin_of(double x, int n, double min, double max) noexcept {
    const double position = static_cast<double>(n - 1) * (x - min) / (max - min) + 0.5;
    if (position >= 0 && position < n) return static_cast<int>(position);
    // Clamped in double so that the conversion is always defined.  NaN positions (only a
    // one-bin axis meeting an infinite value makes one) go to the last bin.
    return position < 0 ? 0 : n - 1;
}

// The centre of bin i on an axis of n bins whose first and last centres are min and max; the
// single bin of a one-bin axis is centred on min.  Defined out of line, so that every caller
// gets the library's own rounding whatever its floating-point contraction settings.
double bin_center(int i, int n, double min, double max) noexcept;

int checked_window_length(int length);
// Divides each of the shape's values by their sum; throws std::invalid_argument unless every
// value and every resulting weight is finite and the sum is not 0.
void normalise_window(double* values, int length);
// Throws the exception for an add that cannot count: a NaN coordinate, a bad column, no cell.
[[noreturn]] void reject_add(const char* operation, double x, double y, int column, int nColumns);

}  // namespace histogram_detail

/// A normalised table of smoothing weights; copies share one weights array.
class Window {
public:
    int length;
    std::shared_ptr<const double[]> weights;

    /// Calls shape(i, length) for i = 0 to length - 1 and divides each result by their sum;
    /// throws std::invalid_argument unless length is odd and positive, every value is finite
    /// and their sum is neither 0 nor so small that a weight overflows.
    template <class Shape>
    Window(Shape shape, int length);

private:
    // The number of weights actually held, so that smooth can refuse a changed `length`
    // instead of reading past the array.
    int weight_count_;
    friend class histogram1D;
};

/// A one-dimensional histogram: `nBins` bins, each holding `nColumns` counts.
class histogram1D {
public:
    int nBins;
    int nColumns;
    double minValue;  ///< axis value of the centre of bin 0
    double maxValue;  ///< axis value of the centre of bin nBins - 1
    boost::multi_array<double, 2> data;  ///< counts, indexed [bin][column]

    /// Allocates nBins x nColumns zero counts; throws std::invalid_argument for negative sizes,
    /// non-finite ends, a non-finite span, or equal ends on an axis of two or more bins.
    histogram1D(int nBins, int nColumns, double minValue, double maxValue);

    /// Copies all members, whatever the two shapes; throws std::bad_alloc, leaving *this unchanged.
    histogram1D(const histogram1D&) = default;
    histogram1D(histogram1D&&) = default;
    /// Takes the other's shape, axis and counts; throws std::bad_alloc, leaving *this unchanged.
    histogram1D& operator=(const histogram1D& other);
    /// Like the copy (the storage cannot hand over its block); the other keeps its value.
    histogram1D& operator=(histogram1D&& other);
    ~histogram1D() = default;

    /// Adds 1 to `column` in the bin of x (out-of-range values count in the edge bins);
    /// throws std::invalid_argument for NaN and std::out_of_range for a bad column or no bins.
    void add(double x, int column);

    /// Sets every count to 0; the axis stays.
    void clearData();

    /// Writes one row per bin, "%f" of its centre then " %f" of each count, to `path`, replacing
    /// a regular file only once the new one is complete; throws std::system_error naming the path.
    void write(const char* path) const;

    /// Maps both axis ends through x * factor + offset; throws std::invalid_argument,
    /// leaving the histogram unchanged, if the new axis would be invalid.
    void calibrate(double factor, double offset);

    /// Full width at half maximum, in axis units, of the highest bin within two bins of x in
    /// `column` (smooth a noisy histogram first); 0.0 when x is outside the axis, the peak is not
    /// above 0 or too close to an end; throws std::out_of_range for a bad column.
    double fwhm(double x, int column) const;

    /// Replaces each interior bin by the weighted mean of its interior neighbours, keeping its count
    /// where their weights sum to 0; the edge bins keep theirs.  Prints "Data length must be larger
    /// than window length!" and changes nothing when there are fewer bins than weights; throws
    /// std::invalid_argument for a window whose `length` no longer matches its weights.
    void smooth(Window window);

    /// Writes each column c as the histogram group "<group>/<c>" of the HDF5 file `path` (added to
    /// it when it exists), regular axes with empty flow bins; needs murel::histogram_hdf5.  Throws
    /// std::invalid_argument for a group the file already holds, std::system_error naming the path.
    void writeHDF5(const char* path, const char* group) const;
    /// Reads a histogram group, or a group of columns "0", "1", ... that writeHDF5 wrote, adding flow
    /// bins to the edge bins; needs murel::histogram_hdf5.  Throws std::system_error naming an
    /// unreadable path, std::invalid_argument naming what a group lacks to be a histogram.
    static histogram1D readHDF5(const char* path, const char* group);
};

/// A two-dimensional histogram: nBinsX x nBinsY cells, each holding `nColumns` counts.
class histogram2D {
public:
    int nBinsX;
    int nBinsY;
    int nColumns;
    double minX;  ///< x of the centre of x bin 0
    double maxX;  ///< x of the centre of x bin nBinsX - 1
    double minY;  ///< y of the centre of y bin 0
    double maxY;  ///< y of the centre of y bin nBinsY - 1
    boost::multi_array<double, 3> data;  ///< counts, indexed [x bin][y bin][column]

    /// Allocates the zeroed counts; throws std::invalid_argument for an invalid axis or a
    /// negative column count, and std::bad_alloc for a table too large to address.
    histogram2D(int nBinsX, int nBinsY, int nColumns, double minX, double maxX, double minY,
                double maxY);

    /// Copies all members, whatever the two shapes; throws std::bad_alloc, leaving *this unchanged.
    histogram2D(const histogram2D&) = default;
    histogram2D(histogram2D&&) = default;
    /// Takes the other's shape, axes and counts; throws std::bad_alloc, leaving *this unchanged.
    histogram2D& operator=(const histogram2D& other);
    /// Like the copy (the storage cannot hand over its block); the other keeps its value.
    histogram2D& operator=(histogram2D&& other);
    ~histogram2D() = default;

    /// Adds 1 to `column` in the cell of (x, y), each axis clamped on its own; throws
    /// std::invalid_argument for a NaN coordinate, std::out_of_range for a bad column or no cell.
    void add(double x, double y, int column);

    /// Writes one row per cell, x outermost: "%f" x centre, " %f" y centre, " %f" per count;
    /// throws std::system_error naming the path.
    void writeText(const char* path) const;

    /// Writes the counts of x bin `xBin`, one row per y bin beginning with a blank, each column
    /// optionally scaled to a total of 1000000; throws std::out_of_range or std::system_error.
    /// Like every writer here, it replaces a regular file only once the new one is complete.
    void writeConstXCut(const char* path, int xBin, bool normalize) const;

    /// Writes the counts of y bin `yBin`, one row per x bin, each column optionally scaled to a
    /// total of 1000000; throws std::out_of_range or std::system_error.
    void writeConstYCut(const char* path, int yBin, bool normalize) const;

    /// Writes, per inner y bin, the sums over x bins xBin - halfWidth to xBin + halfWidth (0 on the
    /// first and last rows), rows beginning with a blank; throws std::invalid_argument for a negative
    /// halfWidth, std::out_of_range or std::system_error.
    void writeConstXCutWide(const char* path, int xBin, int halfWidth, bool normalize) const;

    /// Writes, per x bin, the sums over y bins yBin - halfWidth to yBin + halfWidth; throws
    /// std::invalid_argument for a negative halfWidth, std::out_of_range or std::system_error.
    void writeConstYCutWide(const char* path, int yBin, int halfWidth, bool normalize) const;

    /// Full width at half maximum, in y units, of the band-summed profile's highest bin within two
    /// bins of `y`; 0.0 when `y` is outside the axis, the peak is not above 0 or too close to an end;
    /// throws std::invalid_argument for a negative halfWidth, std::out_of_range for a bad band or column.
    double fwhmConstXCutWide(int xBin, double y, int halfWidth, int column) const;

    /// Writes each column as the plain PPM image "<prefix><column + 1>.ppm", linear or logarithmic,
    /// printing "Shift %g, normalization %g" per image; throws std::system_error naming the file.
    void writeImage(const char* prefix, bool logScale) const;

    /// Writes each column c as the histogram group "<group>/<c>" of the HDF5 file `path`, like
    /// histogram1D::writeHDF5; needs murel::histogram_hdf5.
    void writeHDF5(const char* path, const char* group) const;
    /// Reads what writeHDF5 wrote, or any two-axis histogram group, like histogram1D::readHDF5.
    static histogram2D readHDF5(const char* path, const char* group);
};

/// One entry of a colour table.
struct color {
    std::uint8_t red;
    std::uint8_t green;
    std::uint8_t blue;
};

/// Blends the two entries of table[0 .. n-1] around position x (0 is the first entry, 1 the last)
/// with cosine-squared weights; NaN counts as 0; throws std::invalid_argument when n < 1.
void interpolate(double x, int* red, int* green, int* blue, const color* table, int n);

template <class Shape>
Window::Window(Shape shape, int length_)
    : length(histogram_detail::checked_window_length(length_)) {
    static_assert(std::is_invocable_r_v<double, Shape&, int, int>,
                  "the shape function takes (int index, int length) and returns a double");
    std::shared_ptr<double[]> values(new double[static_cast<std::size_t>(length)]);
    for (int i = 0; i < length; ++i) values[i] = static_cast<double>(shape(i, length));
    histogram_detail::normalise_window(values.get(), length);
    weights = std::move(values);
    weight_count_ = length;
}

inline void histogram1D::add(double x, int column) {
    if (std::isnan(x) || static_cast<unsigned>(column) >= static_cast<unsigned>(nColumns) || nBins <= 0)
        histogram_detail::reject_add("histogram1D::add", x, 0.0, column, nColumns);
    const int bin = histogram_detail::bin_of(x, nBins, minValue, maxValue);
    double& count = data.data()[static_cast<std::size_t>(bin) * static_cast<std::size_t>(nColumns) +
                                static_cast<std::size_t>(column)];
    count = 1.0 + count;
}

inline void histogram2D::add(double x, double y, int column) {
    if (std::isnan(x) || std::isnan(y) || static_cast<unsigned>(column) >= static_cast<unsigned>(nColumns) ||
        nBinsX <= 0 || nBinsY <= 0)
        histogram_detail::reject_add("histogram2D::add", x, y, column, nColumns);
    const int i = histogram_detail::bin_of(x, nBinsX, minX, maxX);
    const int j = histogram_detail::bin_of(y, nBinsY, minY, maxY);
    double& count = data.data()[(static_cast<std::size_t>(i) * static_cast<std::size_t>(nBinsY) +
                                 static_cast<std::size_t>(j)) * static_cast<std::size_t>(nColumns) +
                                static_cast<std::size_t>(column)];
    count = 1.0 + count;
}
