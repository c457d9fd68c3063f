#include "histogram.h"

#include "staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace histogram_detail {

double bin_center(int i, int n, double min, double max) noexcept {
    if (n == 1) return min;
    return static_cast<double>(i) / static_cast<double>(n - 1) * (max - min) + min;
}

int checked_window_length(int length) {
    if (length < 1 || length % 2 == 0)
        throw std::invalid_argument("Window: length must be odd and positive, got " +
                                    std::to_string(length));
    return length;
}

namespace {

[[noreturn]] void throw_bad_column(const char* operation, int column, int nColumns) {
    if (nColumns == 0)
        throw std::out_of_range(std::string(operation) + ": the histogram has no columns, got column " +
                                std::to_string(column));
    throw std::out_of_range(std::string(operation) + ": column must lie in 0 to " +
                            std::to_string(nColumns - 1) + ", got " + std::to_string(column));
}

std::string number_text(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

}  // namespace

void reject_add(const char* operation, double x, double y, int column, int nColumns) {
    if (std::isnan(x) || std::isnan(y))
        throw std::invalid_argument(std::string(operation) + ": " + (std::isnan(x) ? "x" : "y") +
                                    " must be a number, got NaN");
    if (column < 0 || column >= nColumns) throw_bad_column(operation, column, nColumns);
    throw std::out_of_range(std::string(operation) + ": the histogram has no bins to count in");
}

void normalise_window(double* values, int length) {
    double sum = 0.0;
    for (int i = 0; i < length; ++i) {
        if (!std::isfinite(values[i]))
            throw std::invalid_argument("Window: the shape must give finite values, got " + number_text(values[i]) +
                                        " at index " + std::to_string(i));
        sum += values[i];
    }
    bool finite_weights = sum != 0.0 && std::isfinite(sum);
    for (int i = 0; i < length && finite_weights; ++i) finite_weights = std::isfinite(values[i] / sum);
    // A sum so small that a weight overflows is as useless as 0.
    if (!finite_weights)
        throw std::invalid_argument("Window: the shape's values must have a sum that is finite and not 0, got " +
                                    number_text(sum));
    for (int i = 0; i < length; ++i) values[i] = values[i] / sum;
}

namespace {

// An axis is usable when every bin position is a defined number: finite ends with a
// finite span, and distinct ends as soon as there are two centres to tell apart.
void check_axis(const char* operation, const char* name, int n, double min, double max) {
    const std::string axis = std::string(operation) + ": " + name;
    if (n < 0) throw std::invalid_argument(axis + " bin count must not be negative, got " + std::to_string(n));
    if (!std::isfinite(min) || !std::isfinite(max) || !std::isfinite(max - min))
        throw std::invalid_argument(axis + " axis ends and their distance must be finite, got " +
                                    number_text(min) + " to " + number_text(max));
    if (n >= 2 && min == max)
        throw std::invalid_argument(axis + " axis of " + std::to_string(n) +
                                    " bins needs distinct ends, got " + number_text(min) + " twice");
}

void check_columns(const char* operation, int nColumns) {
    if (nColumns < 0)
        throw std::invalid_argument(std::string(operation) + ": column count must not be negative, got " +
                                    std::to_string(nColumns));
}

void check_column(const char* operation, int column, int nColumns) {
    if (column < 0 || column >= nColumns) throw_bad_column(operation, column, nColumns);
}

void check_bin(const char* operation, const char* name, int bin, int n) {
    if (bin < 0 || bin >= n)
        throw std::out_of_range(std::string(operation) + ": " + name + " must lie in 0 to " +
                                std::to_string(n - 1) + ", got " + std::to_string(bin));
}

// A band of bins centre - halfWidth to centre + halfWidth must lie on its axis.  A negative
// half-width would make an empty band, whose sums are 0 and whose widths not a number.
void check_band(const char* operation, const char* name, int centre, int halfWidth, int n) {
    if (halfWidth < 0)
        throw std::invalid_argument(std::string(operation) + ": halfWidth must not be negative, got " +
                                    std::to_string(halfWidth));
    check_bin(operation, name, centre, n);
    if (halfWidth > centre || halfWidth > n - 1 - centre)
        throw std::out_of_range(std::string(operation) + ": band " + name + " " + std::to_string(centre) +
                                " +- halfWidth " + std::to_string(halfWidth) + " must lie in 0 to " +
                                std::to_string(n - 1));
}

// The one bin of a one-bin axis is centred on min (the formula would give 0 / 0).
std::string path_text(const char* path) {
    if (path == nullptr) throw std::invalid_argument("a file name is required, got a null pointer");
    return path;
}

// Writes "%f" of value, exactly as the C library prints it in the C locale.
char* format_fixed(char* out, double value) {
    // Counts are whole numbers; they skip the general conversion.
    if (value > -1e15 && value < 1e15) {
        const auto whole = static_cast<long long>(value);
        if (static_cast<double>(whole) == value) {
            if (whole == 0 && std::signbit(value)) *out++ = '-';
            out = std::to_chars(out, out + 20, whole).ptr;
            std::memcpy(out, ".000000", 7);
            return out + 7;
        }
    }
    return std::to_chars(out, out + 400, value, std::chars_format::fixed, 6).ptr;
}

// A text file written through one buffer with plain system calls, so that every failure,
// including one that only shows when the buffer is flushed or the file closed, is reported.
//
// A regular file is replaced only once the new text is complete: it is written to a hidden
// temporary beside it and renamed into place.  The termination signals are held back in the
// calling thread from the creation of the temporary to its rename or removal: a
// single-threaded program killed by one mid-write then leaves neither a partial file nor the
// temporary.  A program with several threads needs a handler for them that clears the shared
// registry of temporaries (the programs' staged files install one), since a signal goes to
// whichever thread does not hold it back.
class text_file {
public:
    explicit text_file(std::string path) : path_(std::move(path)) {
        murel::staging::write_target target = murel::staging::resolve_target(path_);
        if (target.path.empty()) fail("cannot open ");
        if (target.staged) {
            held_.emplace();
            const std::size_t name = target.path.rfind('/') + 1;  // 0 when there is no directory part
            fd_ = murel::staging::create(target.path.substr(0, name), target.path.substr(name), temp_);
            if (fd_ < 0) fail("cannot open ");
            final_ = std::move(target.path);
            // A replaced file keeps its permissions, as it would if it were opened and truncated.
            if (target.mode && ::fchmod(fd_, *target.mode) != 0) {
                const int error = errno;
                ::close(std::exchange(fd_, -1));
                murel::staging::discard(temp_);
                errno = error;
                fail("cannot open ");
            }
        } else {
            do fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            while (fd_ < 0 && errno == EINTR);
            if (fd_ < 0) fail("cannot open ");
        }
    }
    text_file(const text_file&) = delete;
    text_file& operator=(const text_file&) = delete;
    ~text_file() {
        if (fd_ >= 0) ::close(fd_);
        murel::staging::discard(temp_);
    }

    void first_field(double value) { used_ = format_fixed(room(max_number), value) - buffer_.get(); }
    void field(double value) {
        char* out = room(max_number + 1);
        *out++ = ' ';
        used_ = format_fixed(out, value) - buffer_.get();
    }
    void integer(int value) { used_ = std::to_chars(room(12), buffer_.get() + capacity, value).ptr - buffer_.get(); }
    void text(std::string_view text) {
        std::memcpy(room(text.size()), text.data(), text.size());
        used_ += text.size();
    }
    void put(char c) { *room(1) = c, ++used_; }

    void close() {
        flush();
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0 && errno != EINTR) fail("cannot write ");
        if (temp_.empty()) return;
        if (const int error = murel::staging::commit(temp_, final_); error != 0) {
            errno = error;
            fail("cannot write ");
        }
    }

private:
    static constexpr std::size_t capacity = 1 << 16;
    static constexpr std::size_t max_number = 400;  // "%f" of the largest double needs 316

    char* room(std::size_t size) {
        if (capacity - used_ < size) flush();
        return buffer_.get() + used_;
    }
    void flush() {
        const char* next = buffer_.get();
        while (used_ > 0) {
            const ssize_t written = ::write(fd_, next, used_);
            if (written < 0) {
                if (errno == EINTR) continue;
                fail("cannot write ");
            }
            next += written;
            used_ -= static_cast<std::size_t>(written);
        }
    }
    [[noreturn]] void fail(const char* what) {
        throw std::system_error(errno, std::generic_category(), what + path_);
    }

    std::optional<murel::staging::signals_held> held_;  // first in, last out
    std::string path_;
    std::string final_;  // the regular file that the temporary replaces
    std::string temp_;
    int fd_ = -1;
    std::unique_ptr<char[]> buffer_{new char[capacity]};
    std::size_t used_ = 0;
};

// Full width at half maximum of the peak near x in a profile of n values on an axis from
// min to max, read through height(bin).  The peak is the highest of the bins start - 2 to
// start + 1 (the start bin wins ties, otherwise the lowest bin); each side walks out to the
// first bin at or below half height and the crossing is interpolated linearly.  Returns
// 0.0 where that would need a bin outside the profile.
// A reversed axis (min above max) is measured like its mirror image, so the width is never
// negative; a peak that is not above 0 has no half height to cross, and its width is 0.0.
template <class Height>
double peak_width(const Height& height, int n, double min, double max, double x) {
    if (x < std::min(min, max) || x > std::max(min, max)) return 0.0;
    const double position = (x - min) * (n - 1) / (max - min) + 0.5;
    if (!(position >= 2.0 && position < n - 1)) return 0.0;
    const int start = static_cast<int>(position);

    int peak = start;
    for (int k = start - 2; k <= start + 1; ++k)
        if (height(k) > height(peak)) peak = k;
    const double top = height(peak);
    if (!(top > 0.0 && top <= std::numeric_limits<double>::max())) return 0.0;
    const double half = 0.5 * top;

    int left = peak;
    while (height(left) > half) {
        if (left == 0) return 0.0;
        --left;
    }
    int right = peak;
    while (height(right) > half) {
        if (right == n - 1) return 0.0;
        ++right;
    }
    if (left == n - 1 || right == 0) return 0.0;

    const double below_left = height(left), above_left = height(left + 1);
    const double left_crossing =
        ((half - below_left) * (left + 1) + (above_left - half) * left) / (above_left - below_left);
    const double beyond_right = height(right), inside_right = height(right - 1);
    const double right_crossing = ((half - beyond_right) * (right - 1) + (inside_right - half) * right) /
                                  (inside_right - beyond_right);
    return (right_crossing - left_crossing) / static_cast<double>(n - 1) * std::fabs(max - min);
}

// Number of bins in the band centre - halfWidth to centre + halfWidth (after check_band).
int band_bins(int halfWidth) { return 2 * halfWidth + 1; }

// Sum from `start` of `count` counts `stride` apart, each multiplied by `factor` before it
// is added; a factor of 1 leaves every term exact.
double band_sum(const double* first, std::ptrdiff_t stride, int count, double factor = 1.0,
                double start = 0.0) {
    double sum = start;
    for (int k = 0; k < count; ++k) sum += first[k * stride] * factor;
    return sum;
}

// The cut normalisation: 1000000 / total per column, or exactly 1 when not asked for.
std::vector<double> cut_factors(std::vector<double> totals, bool normalize) {
    for (double& value : totals) value = normalize ? 1000000.0 / value : 1.0;
    return totals;
}

// A table whose size in bytes would not fit a size_t cannot be allocated; without this test
// the element count could wrap around and a small block be taken for a large table.
void check_table_size(int a, int b, int c) {
    const auto cells = static_cast<unsigned long long>(a) * static_cast<unsigned long long>(b);
    if (c != 0 && cells > std::numeric_limits<std::size_t>::max() / sizeof(double) / static_cast<unsigned>(c))
        throw std::bad_alloc();
}

}  // namespace
}  // namespace histogram_detail

using namespace histogram_detail;

// ---------------------------------------------------------------- histogram1D

histogram1D::histogram1D(int nBins_, int nColumns_, double minValue_, double maxValue_)
    : nBins(nBins_), nColumns(nColumns_), minValue(minValue_), maxValue(maxValue_) {
    check_axis("histogram1D", "x", nBins, minValue, maxValue);
    check_columns("histogram1D", nColumns);
    check_table_size(nBins, nColumns, 1);
    data.resize(boost::extents[nBins][nColumns]);  // value-initialised: every count is 0
}

histogram1D& histogram1D::operator=(const histogram1D& other) {
    if (this == &other) return *this;
    // boost::multi_array assigns only between equal shapes: take the other's shape first (the
    // only step that can throw), then its counts.
    if (nBins != other.nBins || nColumns != other.nColumns) data.resize(boost::extents[other.nBins][other.nColumns]);
    data = other.data;
    nBins = other.nBins;
    nColumns = other.nColumns;
    minValue = other.minValue;
    maxValue = other.maxValue;
    return *this;
}

histogram1D& histogram1D::operator=(histogram1D&& other) { return *this = static_cast<const histogram1D&>(other); }

void histogram1D::clearData() { std::fill_n(data.data(), data.num_elements(), 0.0); }

void histogram1D::write(const char* path) const {
    text_file out(path_text(path));
    const double* counts = data.data();
    for (int i = 0; i < nBins; ++i) {
        out.first_field(bin_center(i, nBins, minValue, maxValue));
        for (int j = 0; j < nColumns; ++j) out.field(*counts++);
        out.put('\n');
    }
    out.close();
}

void histogram1D::calibrate(double factor, double offset) {
    const double min = minValue * factor + offset;
    const double max = maxValue * factor + offset;
    check_axis("histogram1D::calibrate", "calibrated", nBins, min, max);
    minValue = min;
    maxValue = max;
}

double histogram1D::fwhm(double x, int column) const {
    check_column("histogram1D::fwhm", column, nColumns);
    const double* counts = data.data() + column;
    const auto height = [counts, stride = nColumns](int bin) { return counts[static_cast<std::ptrdiff_t>(bin) * stride]; };
    return peak_width(height, nBins, minValue, maxValue, x);
}

void histogram1D::smooth(Window window) {
    if (!window.weights) throw std::invalid_argument("histogram1D::smooth: the window holds no weights");
    if (window.length != window.weight_count_)
        throw std::invalid_argument("histogram1D::smooth: the window holds " + std::to_string(window.weight_count_) +
                                    " weights, but its length was changed to " + std::to_string(window.length));
    if (nBins < window.length) {
        std::puts("Data length must be larger than window length!");
        return;
    }
    const int half = window.length / 2;
    const double* weights = window.weights.get() + half;  // weights[m] belongs to offset m
    std::vector<double> old(static_cast<std::size_t>(nBins));
    double* counts = data.data();
    for (int j = 0; j < nColumns; ++j) {
        for (int i = 0; i < nBins; ++i) old[i] = counts[static_cast<std::size_t>(i) * nColumns + j];
        // The edge bins hold everything outside the axis; they keep their counts and lend
        // none to their neighbours.
        for (int k = 1; k < nBins - 1; ++k) {
            const int first = std::max(-half, 1 - k), last = std::min(half, nBins - 2 - k);
            double sum = 0.0, weight_sum = 0.0;
            for (int m = first; m <= last; ++m) {
                sum += old[k + m] * weights[m];
                weight_sum += weights[m];
            }
            // Weights such as (1, 0, 0) or (1, -1, 1) can sum to 0 over the bins that exist near
            // an end; there is no mean to take, and the bin keeps its count.
            if (weight_sum != 0.0) counts[static_cast<std::size_t>(k) * nColumns + j] = sum / weight_sum;
        }
    }
}

// ---------------------------------------------------------------- histogram2D

histogram2D::histogram2D(int nBinsX_, int nBinsY_, int nColumns_, double minX_, double maxX_,
                         double minY_, double maxY_)
    : nBinsX(nBinsX_), nBinsY(nBinsY_), nColumns(nColumns_), minX(minX_), maxX(maxX_), minY(minY_),
      maxY(maxY_) {
    check_axis("histogram2D", "x", nBinsX, minX, maxX);
    check_axis("histogram2D", "y", nBinsY, minY, maxY);
    check_columns("histogram2D", nColumns);
    check_table_size(nBinsX, nBinsY, nColumns);
    data.resize(boost::extents[nBinsX][nBinsY][nColumns]);
}

histogram2D& histogram2D::operator=(const histogram2D& other) {
    if (this == &other) return *this;
    if (nBinsX != other.nBinsX || nBinsY != other.nBinsY || nColumns != other.nColumns)
        data.resize(boost::extents[other.nBinsX][other.nBinsY][other.nColumns]);
    data = other.data;
    nBinsX = other.nBinsX;
    nBinsY = other.nBinsY;
    nColumns = other.nColumns;
    minX = other.minX;
    maxX = other.maxX;
    minY = other.minY;
    maxY = other.maxY;
    return *this;
}

histogram2D& histogram2D::operator=(histogram2D&& other) { return *this = static_cast<const histogram2D&>(other); }

void histogram2D::writeText(const char* path) const {
    text_file out(path_text(path));
    const double* counts = data.data();
    for (int i = 0; i < nBinsX; ++i) {
        const double x = bin_center(i, nBinsX, minX, maxX);
        for (int j = 0; j < nBinsY; ++j) {
            out.first_field(x);
            out.field(bin_center(j, nBinsY, minY, maxY));
            for (int k = 0; k < nColumns; ++k) out.field(*counts++);
            out.put('\n');
        }
    }
    out.close();
}

void histogram2D::writeConstXCut(const char* path, int xBin, bool normalize) const {
    check_bin("histogram2D::writeConstXCut", "xBin", xBin, nBinsX);
    const double* cut = data.data() + static_cast<std::size_t>(xBin) * nBinsY * nColumns;
    std::vector<double> totals(static_cast<std::size_t>(nColumns), 0.0);
    if (normalize)
        for (int j = 0; j < nBinsY; ++j)
            for (int k = 0; k < nColumns; ++k) totals[k] += cut[static_cast<std::size_t>(j) * nColumns + k];
    const std::vector<double> factors = cut_factors(std::move(totals), normalize);

    text_file out(path_text(path));
    for (int j = 0; j < nBinsY; ++j) {
        out.field(bin_center(j, nBinsY, minY, maxY));
        for (int k = 0; k < nColumns; ++k) out.field(cut[static_cast<std::size_t>(j) * nColumns + k] * factors[k]);
        out.put('\n');
    }
    out.close();
}

void histogram2D::writeConstYCut(const char* path, int yBin, bool normalize) const {
    // A band of one bin sums and scales exactly like a single bin.
    writeConstYCutWide(path, yBin, 0, normalize);
}

void histogram2D::writeConstXCutWide(const char* path, int xBin, int halfWidth, bool normalize) const {
    check_band("histogram2D::writeConstXCutWide", "xBin", xBin, halfWidth, nBinsX);
    const std::ptrdiff_t x_stride = static_cast<std::ptrdiff_t>(nBinsY) * nColumns;
    const int band = band_bins(halfWidth);
    const double* band_start = data.data() + (xBin - halfWidth) * x_stride;

    const int inner = std::max(nBinsY - 2, 0);
    std::vector<double> sums(static_cast<std::size_t>(inner) * nColumns);
    std::vector<double> totals(static_cast<std::size_t>(nColumns), 0.0);
    for (int k = 0; k < nColumns; ++k)
        for (int j = 1; j <= inner; ++j) {
            const double sum = band_sum(band_start + static_cast<std::ptrdiff_t>(j) * nColumns + k, x_stride, band);
            sums[static_cast<std::size_t>(j - 1) * nColumns + k] = sum;
            totals[k] += sum;
        }
    const std::vector<double> factors = cut_factors(std::move(totals), normalize);

    text_file out(path_text(path));
    for (int j = 0; j < nBinsY; ++j) {
        out.field(bin_center(j, nBinsY, minY, maxY));
        // The first and last y bins collect out-of-range entries; they take no part in the cut.
        const bool edge = j == 0 || j == nBinsY - 1;
        for (int k = 0; k < nColumns; ++k)
            out.field(edge ? 0.0 : sums[static_cast<std::size_t>(j - 1) * nColumns + k] * factors[k]);
        out.put('\n');
    }
    out.close();
}

void histogram2D::writeConstYCutWide(const char* path, int yBin, int halfWidth, bool normalize) const {
    check_band("histogram2D::writeConstYCutWide", "yBin", yBin, halfWidth, nBinsY);
    const std::ptrdiff_t x_stride = static_cast<std::ptrdiff_t>(nBinsY) * nColumns;
    const int band = band_bins(halfWidth);
    const double* band_start = data.data() + static_cast<std::ptrdiff_t>(yBin - halfWidth) * nColumns;

    std::vector<double> totals(static_cast<std::size_t>(nColumns), 0.0);
    if (normalize)
        for (int i = 0; i < nBinsX; ++i)
            for (int k = 0; k < nColumns; ++k)
                totals[k] = band_sum(band_start + i * x_stride + k, nColumns, band, 1.0, totals[k]);
    const std::vector<double> factors = cut_factors(std::move(totals), normalize);

    text_file out(path_text(path));
    for (int i = 0; i < nBinsX; ++i) {
        out.first_field(bin_center(i, nBinsX, minX, maxX));
        for (int k = 0; k < nColumns; ++k) out.field(band_sum(band_start + i * x_stride + k, nColumns, band, factors[k]));
        out.put('\n');
    }
    out.close();
}

double histogram2D::fwhmConstXCutWide(int xBin, double y, int halfWidth, int column) const {
    check_band("histogram2D::fwhmConstXCutWide", "xBin", xBin, halfWidth, nBinsX);
    check_column("histogram2D::fwhmConstXCutWide", column, nColumns);
    const std::ptrdiff_t x_stride = static_cast<std::ptrdiff_t>(nBinsY) * nColumns;
    const int band = band_bins(halfWidth);
    const double* band_start = data.data() + (xBin - halfWidth) * x_stride + column;
    const auto profile = [&](int j) { return band_sum(band_start + static_cast<std::ptrdiff_t>(j) * nColumns, x_stride, band); };
    return peak_width(profile, nBinsY, minY, maxY, y);
}

// ---------------------------------------------------------------- colour images

void interpolate(double x, int* red, int* green, int* blue, const color* table, int n) {
    if (n < 1) throw std::invalid_argument("interpolate: the table needs at least 1 entry, got " + std::to_string(n));
    if (red == nullptr || green == nullptr || blue == nullptr || table == nullptr)
        throw std::invalid_argument("interpolate: the table and the three results must not be null");
    if (std::isnan(x)) x = 0.0;
    const double s = x * static_cast<double>(n - 1);
    const auto index = [n](double value) {
        if (!(value >= 0.0)) return 0;
        if (value > n - 1) return n - 1;
        return static_cast<int>(value);
    };
    const int lo = index(std::floor(s));
    const int hi = index(std::ceil(s));
    const double pi = 3.141592653589793;
    const double q_hi = std::cos((hi - s) * pi * 0.5);
    const double q_lo = std::cos((s - lo) * pi * 0.5);
    const double w_hi = q_hi * q_hi;
    const double w_lo = q_lo * q_lo;
    const double weight_sum = w_hi + w_lo;
    const color& upper = table[hi];
    const color& lower = table[lo];
    // Positions so far out that the cosines are undefined (infinities, overflow) get the end
    // entry, the value every far position tends to.
    if (!(weight_sum > 0.0 && weight_sum <= 2.0)) {
        *red = lower.red, *green = lower.green, *blue = lower.blue;
        return;
    }
    const auto blend = [&](std::uint8_t a, std::uint8_t b) {
        return static_cast<int>((static_cast<double>(a) * w_hi + static_cast<double>(b) * w_lo) / weight_sum);
    };
    *red = blend(upper.red, lower.red);
    *green = blend(upper.green, lower.green);
    *blue = blend(upper.blue, lower.blue);
}

void histogram2D::writeImage(const char* prefix, bool logScale) const {
    static constexpr color map[12] = {
        {0, 0, 0},     {112, 10, 171}, {56, 20, 176},  {18, 64, 171}, {0, 153, 153}, {0, 204, 0},
        {158, 237, 0}, {255, 255, 0},  {255, 212, 0}, {255, 171, 0}, {255, 115, 0}, {255, 0, 0},
    };
    const std::string stem = path_text(prefix);
    const auto count = [this](int i, int j, int k) {
        return data.data()[(static_cast<std::size_t>(i) * nBinsY + j) * nColumns + k];
    };
    for (int k = 0; k < nColumns; ++k) {
        text_file out(stem + std::to_string(k + 1) + ".ppm");
        out.text("P3\n");
        out.integer(nBinsX);
        out.put(' ');
        out.integer(nBinsY);
        out.text("\n255\n");

        double shift = 0.0, normalization = 1.0;
        // Inner cells exist only with three bins or more on both axes; without them the scan
        // would leave its starting values in the scale (1e32 as the smallest count).
        if (logScale && nBinsX >= 3 && nBinsY >= 3) {
            double max = count(1, 1, k), min = 1e32;
            for (int i = 1; i <= nBinsX - 2; ++i)
                for (int j = 1; j <= nBinsY - 2; ++j) {
                    const double v = count(i, j, k);
                    if (v > max) max = v;
                    if (v < min && v > 0) min = v;
                }
            if (max > 0 && min > 0) {
                shift = std::log(0.5 * min);
                normalization = 1.0 / (std::log(max) - shift);
            }
        }
        std::printf("Shift %g, normalization %g\n", shift, normalization);

        for (int j = nBinsY - 1; j >= 0; --j)
            for (int i = 0; i < nBinsX; ++i) {
                const double v = count(i, j, k);
                double position;
                if (!logScale) position = normalization * v;
                else if (v == 0) position = 0 * normalization;
                else position = (std::log(v) - shift) * normalization;
                int r, g, b;
                interpolate(position, &r, &g, &b, map, 12);
                out.integer(r);
                out.put(' ');
                out.integer(g);
                out.put(' ');
                out.integer(b);
                out.put('\n');
            }
        out.close();
    }
}
