#include "totals.h"

#include "console_text.h"
#include "hdf5_output.h"
#include "calibration.h"
#include "map_image.h"
#include "path_json.h"
#include "units.h"
#include "vector_clones.h"

#include "directory_lock.h"
#include "file_digest.h"
#include "hdf5_support.h"
#include "interruption.h"
#include "staged_file.h"
#include "staging.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <tuple>

namespace murel::analysis {

using nlohmann::json;

namespace {

constexpr double residual_quantum = 1.0 / 1024.0;  // ADC
// A residual beyond this many quanta counts as this many, so that the sums of 2^53 records fit.
constexpr std::int64_t max_residual_quanta = 1'000'000'000'000'000;
// Counts are kept in doubles, which hold every whole number up to 2^53 exactly.
constexpr std::int64_t max_count = std::int64_t{1} << 53;

std::string int128_text(wide_int value) {
    if (value == 0) return "0";
    const bool negative = value < 0;
    std::string digits;
    // Digits of the magnitude, taken from the negative side where every value fits.
    for (wide_int rest = negative ? value : -value; rest != 0; rest /= 10)
        digits.push_back(static_cast<char>('0' - static_cast<int>(rest % 10)));
    if (negative) digits.push_back('-');
    return {digits.rbegin(), digits.rend()};
}

wide_int int128_from(const std::string& text, const std::string& where) {
    wide_int value = 0;
    std::size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
    // 38 digits always fit the 127 bits of the magnitude.
    if (i == text.size() || text.size() - i > 38) throw std::invalid_argument(where + ": bad residual sum \"" + text + "\"");
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') throw std::invalid_argument(where + ": bad residual sum \"" + text + "\"");
        value = value * 10 + (text[i] - '0');
    }
    return text[0] == '-' ? -value : value;
}

// The whole number `value` as a T; throws std::invalid_argument naming `what` for anything else,
// since a conversion of a fraction or of a number out of T's range would be meaningless.
template <class T>
T whole_number(const json& value, const std::string& what) {
    constexpr auto most = static_cast<std::uint64_t>(std::numeric_limits<T>::max());
    constexpr auto least = static_cast<std::int64_t>(std::numeric_limits<T>::min());
    if (value.is_number_unsigned()) {
        if (value.get<std::uint64_t>() <= most) return static_cast<T>(value.get<std::uint64_t>());
    } else if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        if (v >= least && (v < 0 || static_cast<std::uint64_t>(v) <= most)) return static_cast<T>(v);
    }
    throw std::invalid_argument(what + " " + value.dump() + " is not a whole number from " + std::to_string(least) + " to " +
                                std::to_string(most));
}

// The bin of x on an axis of n bins centred from min to max, as the histograms count it.
int axis_bin(double x, int n, double min, double max) { return histogram_detail::bin_of(x, n, min, max); }

// Whether v is a whole number of entries that a count keeps exactly.  Written without branches
// or calls, so that a merge checks its millions of bins a vector at a time: below 2^52, adding
// and taking away 2^52 rounds v to a whole number; from 2^52 on every double is one.
bool is_count(double v) {
    constexpr double whole_from = 4503599627370496.0;
    return (v >= 0.0) & (v <= static_cast<double>(max_count)) & ((v >= whole_from) | (v + whole_from - whole_from == v));
}

// Whether each of the `n` values from `v` on is a count; empty ones, where `empty` is set.
MUREL_VECTOR_CLONES bool all_counts(const double* v, std::size_t n, bool empty) {
    // Misfits are counted, not and-ed: the compiler turns only the count into vector code.
    std::size_t misfits = 0;
    if (empty)
        for (std::size_t k = 0; k < n; ++k) misfits += v[k] != 0.0;
    else
        for (std::size_t k = 0; k < n; ++k) misfits += !is_count(v[k]);
    return misfits == 0;
}

// Reads a text table of `rows` rows of `fields` numbers each, of which those from `first_count`
// on are counts of entries; returns the counts, row after row.
std::vector<double> read_counts(const std::string& path, int rows, int fields, int first_count) {
    // Read whole and parsed in place: a merge reads many of these, and their parsing is most of its time.
    std::string text;
    {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
        std::ostringstream whole;
        whole << in.rdbuf();
        if (in.bad()) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
        text = std::move(whole).str();
    }
    std::vector<double> counts;
    counts.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(fields - first_count));
    int row = 0;
    const char* next = text.data();
    const char* const end_of_text = text.data() + text.size();
    while (next != end_of_text) {
        const char* line_end = static_cast<const char*>(std::memchr(next, '\n', static_cast<std::size_t>(end_of_text - next)));
        if (!line_end) line_end = end_of_text;
        const auto where = [&] { return path + ": line " + std::to_string(row + 1); };
        if (row == rows) throw std::invalid_argument(where() + ": more than the " + std::to_string(rows) + " rows of its binning");
        for (int f = 0; f < fields; ++f) {
            while (next != line_end && (*next == ' ' || *next == '\t')) ++next;
            double v = 0.0;
            const auto [end, error] = std::from_chars(next, line_end, v);
            if (end == next || error != std::errc())
                throw std::invalid_argument(where() + " has fewer than " + std::to_string(fields) + " numbers");
            if (f >= first_count && !is_count(v))
                throw std::invalid_argument(where() + ": \"" + std::string(next, end) + "\" is not a count of entries");
            if (f >= first_count) counts.push_back(v);
            next = end;
        }
        next = line_end == end_of_text ? line_end : line_end + 1;
        ++row;
    }
    if (row != rows)
        throw std::invalid_argument(path + ": " + std::to_string(row) + " rows where its binning has " + std::to_string(rows));
    return counts;
}

// Reads the histogram `where` of the open analysis.h5 `file` (at `path`), whose axes must have
// `bins` bins, into every `stride`-th element of `counts`: its bins in the order the text tables
// list them, first axis outermost.  Its flow bins must be empty, as an analysis leaves them.
// Only the stored counts are read: the summary gives the binning, and the set's hash vouches
// for the rest of the histogram, which a merge would read dozens of objects for.
void read_stored_counts(hid_t file, const std::string& path, const std::string& where, const std::vector<int>& bins,
                        double* counts, std::size_t stride) {
    // The counts must be the bytes whose hash was checked: a link into another file, and counts
    // kept in one, are refused.
    const hdf5::handle access(H5Pcreate(H5P_DATASET_ACCESS), H5Pclose);
    bool linked_out = false;
    const H5L_elink_traverse_t refuse = [](const char*, const char*, const char*, const char*, unsigned*, hid_t, void* crossed) -> herr_t {
        *static_cast<bool*>(crossed) = true;
        return -1;
    };
    if (!access || H5Pset_elink_cb(access.get(), refuse, &linked_out) < 0)
        throw std::runtime_error("cannot read " + path + " (" + hdf5::error_text() + ")");
    const hdf5::handle data(H5Dopen2(file, (where + "/storage/values").c_str(), access.get()), H5Dclose);
    if (linked_out) throw std::invalid_argument(path + ": " + where + " links to another file");
    if (!data) throw std::invalid_argument(path + ": no histogram " + where + " (" + hdf5::error_text() + ")");
    const hdf5::handle creation(H5Dget_create_plist(data.get()), H5Pclose);
    if (!creation || H5Pget_layout(creation.get()) == H5D_VIRTUAL || H5Pget_external_count(creation.get()) != 0)
        throw std::invalid_argument(path + ": " + where + " keeps its counts outside the file");
    const hdf5::handle space(H5Dget_space(data.get()), H5Sclose);
    std::vector<hsize_t> dims(bins.size());
    bool same_axes = space && H5Sget_simple_extent_ndims(space.get()) == static_cast<int>(bins.size()) &&
                     H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr) >= 0;
    for (std::size_t a = 0; same_axes && a < bins.size(); ++a) same_axes = dims[a] == static_cast<hsize_t>(bins[a]) + 2;
    if (!same_axes) throw std::invalid_argument(path + ": " + where + " has other axes than the binning of its summary");
    std::size_t total = 1;
    for (const int b : bins) total *= static_cast<std::size_t>(b) + 2;
    // Kept from one histogram to the next: cleared and faulted in for each, it cost as much as reading.
    static thread_local std::vector<double> values;
    if (values.size() < total) values.resize(total);
    if (H5Dread(data.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) < 0)
        throw std::runtime_error(path + ": " + where + ": cannot read its counts (" + hdf5::error_text() + ")");
    // The values run along the last axis in blocks, one block for each bin of the axes before it.
    const std::size_t block = static_cast<std::size_t>(bins.back()) + 2;
    std::vector<int> outer(bins.size() - 1, 0);  // the block's bin of each axis before the last, flow bins included
    double* next = counts;
    for (std::size_t start = 0; start < total; start += block) {
        bool flow_block = false;
        for (std::size_t a = 0; a < outer.size(); ++a) flow_block = flow_block || outer[a] == 0 || outer[a] == bins[a] + 1;
        const double* row = values.data() + start;
        // The block is checked whole, and searched for the bin at fault only when it has one.
        const bool fine = row[0] == 0.0 && row[block - 1] == 0.0 && all_counts(row + 1, block - 2, flow_block);
        for (std::size_t k = 0; !fine && k < block; ++k) {
            const double v = row[k];
            const bool flow = flow_block || k == 0 || k == block - 1;
            if (flow ? v != 0.0 : !is_count(v)) {
                char shown[32];
                std::snprintf(shown, sizeof shown, "%.17g", v);
                throw std::invalid_argument(path + ": " + where + ": " + (flow ? "a flow bin holds " : "") + "\"" + shown + "\"" +
                                            (flow ? ", where an analysis counts nothing" : " is not a count of entries"));
            }
        }
        if (!flow_block)
            for (std::size_t k = 1; k + 1 < block; ++k) {
                *next = row[k];
                next += stride;
            }
        for (std::size_t a = outer.size(); a-- > 0 && ++outer[a] == bins[a] + 2;) outer[a] = 0;
    }
}

// HDF5 file image callbacks that hand the library the bytes given, read-only: its own would copy
// them twice, and its high-level opener leaks on every file.
void* the_image(std::size_t size, H5FD_file_image_op_t, void* image) {
    std::string& bytes = *static_cast<std::string*>(image);
    return size == bytes.size() ? bytes.data() : nullptr;
}
void* copy_nothing(void* to, const void* from, std::size_t, H5FD_file_image_op_t, void*) { return to == from ? to : nullptr; }
void* no_resizing(void*, std::size_t, H5FD_file_image_op_t, void*) { return nullptr; }
herr_t free_nothing(void*, H5FD_file_image_op_t, void*) { return 0; }
void* same_image(void* image) { return image; }
herr_t keep_image(void*) { return 0; }

// Opens the HDF5 file whose bytes, read from `path`, are `image`, read-only and without a copy;
// `image` must outlive the file.  Throws std::invalid_argument naming `path` when they are not one.
hdf5::handle open_image(std::string& image, const std::string& path) {
    if (image.empty()) throw std::invalid_argument(path + ": not an HDF5 file (it is empty)");
    hdf5::silence_errors();
    const hdf5::handle access(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    H5FD_file_image_callbacks_t callbacks{the_image, copy_nothing, no_resizing, free_nothing, same_image, keep_image, &image};
    if (!access || H5Pset_fapl_core(access.get(), 1 << 16, false) < 0 || H5Pset_file_image_callbacks(access.get(), &callbacks) < 0 ||
        H5Pset_file_image(access.get(), image.data(), image.size()) < 0)
        throw std::runtime_error("cannot read " + path + " (" + hdf5::error_text() + ")");
    // The name only tells files apart, and must not name a file: none can lie under a file.
    hdf5::handle file(H5Fopen((path + "/").c_str(), H5F_ACC_RDONLY, access.get()), H5Fclose);
    if (!file) throw std::invalid_argument(path + ": not an HDF5 file (" + hdf5::error_text() + ")");
    return file;
}

// Throws std::invalid_argument when the table at `path` is too short for `rows` rows of `fields`
// numbers of at least a character each, before room is made for them.
void holds_rows(const std::string& path, std::size_t rows, std::size_t fields) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) throw std::system_error(error, "cannot read " + path);
    if (size + 1 < rows * fields)
        throw std::invalid_argument(path + ": " + std::to_string(size) + " bytes cannot hold the " + std::to_string(rows) +
                                    " rows of " + std::to_string(fields) + " numbers of its binning");
}

// a + b, or std::invalid_argument naming `what` when the sum leaves the counts that stay exact.
std::int64_t add_counts(std::int64_t a, std::int64_t b, const std::string& what) {
    if (a < 0 || b < 0 || a > max_count - b)
        throw std::invalid_argument(what + " " + std::to_string(a) + " and " + std::to_string(b) + " add up to more than 2^53");
    return a + b;
}


json nullable(double value) { return value > 0.0 && std::isfinite(value) ? json(value) : json(nullptr); }
// An error, null where the fit could not tell it.
json error_or_null(double value) { return std::isfinite(value) ? json(value) : json(nullptr); }

}  // namespace

void binning::check() const {
    const auto fail = [](const std::string& what) { throw std::invalid_argument(what); };
    const auto shown = [](double value) {
        std::ostringstream text;
        text << value;
        return text.str();
    };
    if (spectrum_bins < 16) fail("the spectrum needs at least 16 bins, not " + std::to_string(spectrum_bins));
    if (spectrum_bins > most_spectrum_bins)
        fail("the spectrum may have at most " + std::to_string(most_spectrum_bins) + " bins, not " + std::to_string(spectrum_bins));
    if (!(spectrum_max > spectrum_min) || !std::isfinite(spectrum_min) || !std::isfinite(spectrum_max))
        fail("the spectrum range " + shown(spectrum_min) + " to " + shown(spectrum_max) + " does not increase");
    if (map_bins < 3) fail("the map needs at least 3 bins per axis, not " + std::to_string(map_bins));
    if (map_bins > most_map_bins)
        fail("the map may have at most " + std::to_string(most_map_bins) + " bins per axis, not " + std::to_string(map_bins));
    if (!(map_max > map_min) || !std::isfinite(map_min) || !std::isfinite(map_max))
        fail("the map range " + shown(map_min) + " to " + shown(map_max) + " does not increase");
    if (!(factor > 0.0) || !std::isfinite(factor)) fail("the calibration factor must be positive and finite, not " + shown(factor));
    if (!std::isfinite(offset)) fail("the calibration offset must be finite, not " + shown(offset));
    // Each axis as the histograms hold it, calibrated where it is shown calibrated: an offset or
    // factor that swamps the range would make its ends meet or their distance overflow.
    const auto axis = [&fail](const std::string& name, double lo, double hi) {
        if (!(hi > lo) || !std::isfinite(hi - lo)) {
            std::ostringstream text;
            text << "the " << name << " " << lo << " to " << hi << " cannot be binned";
            fail(text.str());
        }
    };
    axis("spectrum range", spectrum_min, spectrum_max);
    axis("calibrated spectrum range", spectrum_min * factor + offset, spectrum_max * factor + offset);
    axis("calibrated map range", map_min * factor + offset, map_max * factor + offset);
    axis("map range", map_min, map_max);
    if (residual_bins < 3 || residual_bins > most_spectrum_bins)
        fail("the residuals need 3 to " + std::to_string(most_spectrum_bins) + " bins, not " + std::to_string(residual_bins));
    if (!(residual_range > 0.0) || !std::isfinite(residual_range))
        fail("the residual range must be positive and finite, not " + shown(residual_range));
    if (calibrated && find_unit(unit) == nullptr)
        fail("unknown unit " + json(unit).dump(-1, ' ', false, json::error_handler_t::replace) + "; the known units are " + unit_names());
}

json binning::to_json() const {
    return {{"spectrum", {{"bins", spectrum_bins}, {"min", spectrum_min}, {"max", spectrum_max}}},
            {"map", {{"bins", map_bins}, {"min", map_min}, {"max", map_max}}},
            {"residuals", {{"bins", residual_bins}, {"range", residual_range}}},
            {"calibration", calibrated ? json{{"factor", factor}, {"offset", offset}, {"unit", unit}} : json(nullptr)}};
}

binning binning::from_json(const json& j) {
    binning b;
    b.spectrum_bins = whole_number<int>(j.at("spectrum").at("bins"), "the spectrum bins");
    b.spectrum_min = j.at("spectrum").at("min").get<double>();
    b.spectrum_max = j.at("spectrum").at("max").get<double>();
    b.map_bins = whole_number<int>(j.at("map").at("bins"), "the map bins");
    b.map_min = j.at("map").at("min").get<double>();
    b.map_max = j.at("map").at("max").get<double>();
    b.residual_bins = whole_number<int>(j.at("residuals").at("bins"), "the residual bins");
    b.residual_range = j.at("residuals").at("range").get<double>();
    const json& calibration = j.at("calibration");
    b.calibrated = !calibration.is_null();
    if (b.calibrated) {
        b.factor = calibration.at("factor").get<double>();
        b.offset = calibration.at("offset").get<double>();
        // Analyses from before units were named say only "calibrated".
        b.unit = calibration.value("unit", "calibrated");
    }
    b.check();
    return b;
}

bool binning::operator==(const binning& o) const { return to_json() == o.to_json(); }

void residual_sums::add(double residual) {
    const double clamped = std::clamp(residual / residual_quantum, -static_cast<double>(max_residual_quanta),
                                      static_cast<double>(max_residual_quanta));
    const auto q = static_cast<std::int64_t>(std::llround(clamped));
    *this += residual_sums{1, q, static_cast<wide_int>(q) * q};
}

residual_sums& residual_sums::operator+=(const residual_sums& other) {
    residual_sums total;
    if (__builtin_add_overflow(records, other.records, &total.records) || __builtin_add_overflow(sum, other.sum, &total.sum) ||
        __builtin_add_overflow(sum_squares, other.sum_squares, &total.sum_squares))
        throw std::invalid_argument("residual sums of " + std::to_string(records) + " and " + std::to_string(other.records) +
                                    " records too large to add up");
    return *this = total;
}

bool residual_sums::possible() const {
    if (records < 0 || sum_squares < 0) return false;
    const wide_int most = static_cast<wide_int>(records) * max_residual_quanta;  // below 2^63 * 2^50
    if (sum > most || sum < -most) return false;
    wide_int most_squares = 0;
    if (!__builtin_mul_overflow(most, static_cast<wide_int>(max_residual_quanta), &most_squares) && sum_squares > most_squares)
        return false;
    // The square of a sum is at most the count times the sum of squares; long double's 64-bit
    // mantissa rounds both sides by far less than the margin.
    const auto square = static_cast<long double>(sum) * static_cast<long double>(sum);
    return square <= static_cast<long double>(records) * static_cast<long double>(sum_squares) * (1.0L + 1e-12L);
}

double residual_sums::bias() const {
    return records > 0 ? static_cast<double>(sum) / static_cast<double>(records) * residual_quantum : 0.0;
}

double residual_sums::rms() const {
    return records > 0 ? std::sqrt(static_cast<double>(sum_squares) / static_cast<double>(records)) * residual_quantum : 0.0;
}

namespace {

const std::vector<std::string>& checked_channels(const std::vector<std::string>& names) {
    if (names.empty()) throw std::invalid_argument("an analysis needs at least one channel");
    for (std::size_t i = 0; i < names.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (names[i] == names[j]) throw std::invalid_argument("channel '" + names[i] + "' is named twice");
    return names;
}

int column_count(const std::vector<std::string>& names) {
    if (names.size() > 4096) throw std::invalid_argument(std::to_string(names.size()) + " channels are more than the 4096 one analysis holds");
    return static_cast<int>(names.size());
}

}  // namespace

totals::totals(const binning& bins, const std::vector<std::string>& channels)
    : channel_names(checked_channels(channels)),
      polarities(channels.size(), "positive"),
      tick_seconds(channels.size()),
      records(channels.size()),
      clipped(channels.size()),
      no_pulse(channels.size()),
      fit_failed(channels.size()),
      poor_fit(channels.size()),
      saturated(channels.size()),
      pileup(channels.size()),
      processing(channels.size()),
      estimated_decays(channels.size()),
      bins_((bins.check(), bins)),
      spectrum_(bins.spectrum_bins, column_count(channels), bins.spectrum_min, bins.spectrum_max),
      map_(bins.map_bins, bins.map_bins, 1, bins.map_min * bins.factor + bins.offset, bins.map_max * bins.factor + bins.offset,
           bins.map_min * bins.factor + bins.offset, bins.map_max * bins.factor + bins.offset),
      residuals_(bins.residual_bins, column_count(channels), -bins.residual_range, bins.residual_range),
      residual_by_bin_(channels.size()) {
    if (channels.size() >= 2) pair_ = channel_pair{};
}

void totals::set_pair(const channel_pair& pair) {
    if (pair.x >= channel_names.size() || pair.y >= channel_names.size())
        throw std::out_of_range("channel index " + std::to_string(std::max(pair.x, pair.y)) + " is past the " +
                                std::to_string(channel_names.size()) + " channels");
    if (pair.x == pair.y) throw std::invalid_argument("channel '" + channel_names[pair.x] + "' cannot be paired with itself");
    pair_ = pair;
}

std::size_t totals::bytes(const binning& bins, std::size_t channels, bool with_truth) {
    const auto spectrum_bins = static_cast<std::size_t>(bins.spectrum_bins), map_bins = static_cast<std::size_t>(bins.map_bins);
    const std::size_t histograms =
        (channels * spectrum_bins + map_bins * map_bins + channels * static_cast<std::size_t>(bins.residual_bins)) * sizeof(double);
    return histograms + (with_truth ? channels * spectrum_bins * sizeof(residual_sums) : 0);
}

void totals::add_record(int channel, const pulse_estimate& estimate, double truth) {
    ++records[channel];
    switch (estimate.flag) {
        case record_flag::clipped: ++clipped[channel]; return;
        case record_flag::no_pulse: ++no_pulse[channel]; return;
        case record_flag::fit_failed: ++fit_failed[channel]; return;
        case record_flag::poor_fit: ++poor_fit[channel]; return;
        case record_flag::saturated: ++saturated[channel]; return;
        case record_flag::pileup: ++pileup[channel]; return;
        case record_flag::ok: break;
    }
    spectrum_.add(estimate.amplitude, channel);
    if (std::isfinite(truth)) {
        const double residual = estimate.amplitude - truth;
        residuals_.add(residual, channel);
        std::vector<residual_sums>& sums = residual_by_bin_[channel];
        if (sums.empty()) sums.resize(static_cast<std::size_t>(bins_.spectrum_bins));
        sums[axis_bin(estimate.amplitude, bins_.spectrum_bins, bins_.spectrum_min, bins_.spectrum_max)]
            .add(residual);
    }
}

void totals::add_pair(double amplitude_x, double amplitude_y) {
    map_.add(amplitude_x * bins_.factor + bins_.offset, amplitude_y * bins_.factor + bins_.offset, 0);
}

void totals::add_flagged(flagged_record record) {
    if (flagged_.size() >= flagged_listed && record.sequence > flagged_.back().sequence) return;
    const auto later = std::upper_bound(flagged_.begin(), flagged_.end(), record, [](const flagged_record& a, const flagged_record& b) {
        return a.sequence != b.sequence ? a.sequence < b.sequence : a.channel < b.channel;
    });
    flagged_.insert(later, std::move(record));
    if (flagged_.size() > flagged_listed) flagged_.pop_back();
}

std::string first_difference(const json& a, const json& b) {
    if (a == b) return "";
    if (a.is_object() && b.is_object()) {
        for (const auto& [key, value] : a.items()) {
            const std::string below = first_difference(value, b.contains(key) ? b.at(key) : json(nullptr));
            if (!below.empty()) return key + (below.front() == ':' ? "" : ".") + below;
        }
        for (const auto& [key, value] : b.items())
            if (!a.contains(key)) return key + ": null and " + value.dump();
    }
    return ": " + a.dump() + " and " + b.dump();
}

bool same_acquisition(const input_file& a, const input_file& b) {
    return !a.data_set.empty() && a.data_set == b.data_set && a.first_event == b.first_event && a.events == b.events &&
           std::filesystem::path(a.file).parent_path() == std::filesystem::path(b.file).parent_path();
}

void check_one_whole(const std::vector<std::pair<std::string, std::vector<input_file>>>& parts) {
    const auto data_sets = [](const std::vector<input_file>& inputs) {
        std::vector<std::string> sets;
        for (const input_file& f : inputs)
            if (std::find(sets.begin(), sets.end(), f.data_set) == sets.end()) sets.push_back(f.data_set);
        std::sort(sets.begin(), sets.end());
        return sets;
    };
    const auto named = [](const std::vector<std::string>& sets) {
        std::string text;
        for (const std::string& set : sets) text += (text.empty() ? "" : ", ") + (set.empty() ? "files without an identity" : set);
        return text;
    };
    struct placed {
        const input_file* input;
        const std::string* part;
    };
    std::vector<placed> all;
    // Analyses written before their inputs were listed list none, and are compared with nothing.
    const std::pair<std::string, std::vector<input_file>>* first_listed = nullptr;
    for (const auto& part : parts) {
        const auto& [name, inputs] = part;
        if (inputs.empty()) continue;
        if (!first_listed) first_listed = &part;
        if (data_sets(inputs) != data_sets(first_listed->second))
            throw std::invalid_argument(first_listed->first + " analysed data set " + named(data_sets(first_listed->second)) +
                                        ", " + name + " data set " + named(data_sets(inputs)));
        for (const input_file& f : inputs) all.push_back({&f, &name});
    }
    // Sorted by content, then by place in its data set, so that equal files and overlapping ranges
    // meet their neighbours.
    std::sort(all.begin(), all.end(), [](const placed& a, const placed& b) {
        return std::tie(a.input->digest.bytes, a.input->digest.xxh3) < std::tie(b.input->digest.bytes, b.input->digest.xxh3);
    });
    // The two parts of a message, where the files are of two analyses.
    const auto of = [&all](std::size_t i) {
        return *all[i - 1].part == *all[i].part ? std::string() : *all[i - 1].part + " and " + *all[i].part + ": ";
    };
    for (std::size_t i = 1; i < all.size(); ++i)
        if (all[i].input->digest == all[i - 1].input->digest)
            throw std::invalid_argument(of(i) + all[i - 1].input->file + " and " + all[i].input->file +
                                        " hold the same content (" + std::to_string(all[i].input->digest.bytes) +
                                        " bytes, hash " + all[i].input->digest.hash_text() + ")");
    std::sort(all.begin(), all.end(), [](const placed& a, const placed& b) {
        return std::tie(a.input->data_set, a.input->first_event) < std::tie(b.input->data_set, b.input->first_event);
    });
    const auto range = [](const input_file& f) {
        return "events " + std::to_string(f.first_event) + " to " + std::to_string(f.first_event + f.events - 1);
    };
    for (std::size_t i = 1; i < all.size(); ++i) {
        const input_file& a = *all[i - 1].input;
        const input_file& b = *all[i].input;
        if (a.data_set.empty() || a.data_set != b.data_set || a.events == 0 || b.events == 0 || same_acquisition(a, b)) continue;
        if (b.first_event < a.first_event + a.events)
            throw std::invalid_argument(of(i) + a.file + " holds " + range(a) + " of data set " + a.data_set + ", " +
                                        b.file + " " + range(b) + ": they overlap");
    }
}

void totals::add(const totals& other, std::uint64_t sequence_offset) {
    if (!(other.bins_ == bins_))
        throw std::invalid_argument("different binnings: " + first_difference(bins_.to_json(), other.bins_.to_json()));
    if (other.options != options) throw std::invalid_argument("different options: " + first_difference(options, other.options));
    if (other.channel_names != channel_names) {
        const auto list = [](const std::vector<std::string>& names) {
            std::string text;
            for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
            return text;
        };
        throw std::invalid_argument("different channels: " + list(channel_names) + " and " + list(other.channel_names));
    }
    if (!(other.pair_ == pair_)) {
        const auto text = [this](const std::optional<channel_pair>& p) {
            if (!p) return std::string("no pair");
            return "the pair " + channel_names[p->x] + "," + channel_names[p->y] +
                   (p->by_time ? " within " + nlohmann::json(p->coincidence_ns).dump() + " ns" : " by event");
        };
        throw std::invalid_argument("different pairs: " + text(pair_) + " and " + text(other.pair_));
    }
    if (line_energies != other.line_energies)
        throw std::invalid_argument("different line calibrations: " + json(line_energies).dump() + " and " + json(other.line_energies).dump());
    for (std::size_t c = 0; c < channel_names.size(); ++c)
        if (processing[c] != other.processing[c])
            throw std::invalid_argument("different processing of channel " + shown_in_json(channel_names[c]) + ": " +
                                        processing[c].dump() + " and " + other.processing[c].dump());
    const auto sum_into = [](auto& into, const auto& from) {
        double* a = into.data.data();
        const double* b = from.data.data();
        for (std::size_t i = 0; i < into.data.num_elements(); ++i) a[i] += b[i];
    };
    sum_into(spectrum_, other.spectrum_);
    sum_into(map_, other.map_);
    sum_into(residuals_, other.residuals_);
    for (std::size_t c = 0; c < channel_names.size(); ++c) {
        // Sums are kept only once there is a truth to compare with.
        if (residual_by_bin_[c].empty()) residual_by_bin_[c].resize(other.residual_by_bin_[c].size());
        for (std::size_t i = 0; i < other.residual_by_bin_[c].size(); ++i) try {
                residual_by_bin_[c][i] += other.residual_by_bin_[c][i];
            } catch (const std::invalid_argument& e) {
                throw std::invalid_argument(std::string(e.what()) + " in spectrum bin " + std::to_string(i) + " of channel " +
                                            shown_in_json(channel_names[c]));
            }
        // The records bound every other count, so that theirs staying exact keeps all exact.
        records[c] = add_counts(records[c], other.records[c], "the records of channel " + shown_in_json(channel_names[c]));
        clipped[c] += other.clipped[c];
        no_pulse[c] += other.no_pulse[c];
        fit_failed[c] += other.fit_failed[c];
        poor_fit[c] += other.poor_fit[c];
        saturated[c] += other.saturated[c];
        pileup[c] += other.pileup[c];
        if (estimated_decays[c] != other.estimated_decays[c]) estimated_decays[c].reset();
        if (polarities[c] != other.polarities[c]) polarities[c] = "mixed";
        if (tick_seconds[c] != other.tick_seconds[c]) tick_seconds[c].reset();
    }
    cut_off.insert(cut_off.end(), other.cut_off.begin(), other.cut_off.end());
    for (flagged_record r : other.flagged_) {
        r.sequence += sequence_offset;
        add_flagged(std::move(r));
    }
    with_truth = with_truth || other.with_truth;
}

namespace {

// Adds the size and hash of a staged output, under its name, to the summary's list; a file
// written in place (a pipe, a device) cannot be read back and is not part of the set.
void list_digest(json& listed, const staged_file& file) {
    if (file.in_place()) return;
    const file_digest digest = digest_of(file.temp_path());
    listed[std::filesystem::path(file.path()).filename().string()] = {{"bytes", digest.bytes}, {"xxh3", digest.hash_text()}};
}

// The outputs of one write: each is complete under a temporary name before any takes its final one.
class output_set {
public:
    explicit output_set(const std::string& dir) : dir_(dir) {}
    const std::string& temp(const std::string& name) {
        files_.push_back(std::make_unique<staged_file>(dir_, name));
        return files_.back()->temp_path();
    }
    void list_digests(json& listed) const {
        for (const auto& file : files_) list_digest(listed, *file);
    }
    void commit() {
        for (auto& file : files_) file->commit();
    }

private:
    std::string dir_;
    std::vector<std::unique_ptr<staged_file>> files_;
};

json line_json(const line_measurement& line) {
    return {{"position", line.position},       {"position_error", error_or_null(line.position_error)},
            {"fwhm", line.fwhm},               {"fwhm_error", error_or_null(line.fwhm_error)},
            {"fwhm_halfmax", nullable(line.fwhm_halfmax)},
            {"counts", line.counts},           {"counts_error", line.counts_error},
            {"background", line.background},   {"significance", line.significance},
            {"chi2_per_dof", line.chi2_per_dof}, {"rebin", line.rebin},
            {"background_slope", line.background_slope}, {"background_reference", line.background_reference},
            {"fit_range", {line.fit_low, line.fit_high}}};
}

}  // namespace

json totals::channel_summary(int c, const std::vector<line_measurement>& lines) const {
    json channel = {{"records", records[c]},       {"clipped", clipped[c]},   {"no_pulse", no_pulse[c]},
                    {"fit_failed", fit_failed[c]}, {"poor_fit", poor_fit[c]}, {"polarity", polarities[c]}};
    if (tick_seconds[c]) channel["tick_seconds"] = *tick_seconds[c];
    channel["saturated"] = saturated[c];
    channel["pileup"] = pileup[c];
    if (!processing[c].is_null()) {
        channel["method"] = processing[c].at("method");
        channel["processing"] = processing[c];
    }
    if (estimated_decays[c]) channel["estimated_decay"] = *estimated_decays[c];
    json line_list = json::array();
    for (const line_measurement& line : lines) {
        json entry = line_json(line);
        if (with_truth) {
            // The records whose estimate falls in the line's FWHM band, on the stored fine bins.
            const double lo = (line.position - 0.5 * line.fwhm - bins_.offset) / bins_.factor;
            const double hi = (line.position + 0.5 * line.fwhm - bins_.offset) / bins_.factor;
            residual_sums band;
            const int first = axis_bin(lo, bins_.spectrum_bins, bins_.spectrum_min, bins_.spectrum_max);
            const int last = axis_bin(hi, bins_.spectrum_bins, bins_.spectrum_min, bins_.spectrum_max);
            const int end = std::min(last, static_cast<int>(residual_by_bin_[c].size()) - 2);
            for (int i = std::max(first, 1); i <= end; ++i) band += residual_by_bin_[c][i];
            entry["residual_bias"] = band.bias();
            entry["residual_rms"] = band.rms();
            entry["residual_records"] = band.records;
        }
        line_list.push_back(entry);
    }
    channel["lines"] = line_list;
    if (with_truth) {
        residual_sums all;
        json stored = json::array();
        for (std::size_t i = 0; i < residual_by_bin_[c].size(); ++i) {
            const residual_sums& s = residual_by_bin_[c][i];
            all += s;
            if (s.records > 0) stored.push_back({i, s.records, int128_text(s.sum), int128_text(s.sum_squares)});
        }
        channel["residual_bias"] = all.bias();
        channel["residual_rms"] = all.rms();
        channel["residual_records"] = all.records;
        channel["residual_sums"] = stored;
    }
    return channel;
}

histogram1D totals::line_calibrated_spectrum(json& calibrations) const {
    const int columns = static_cast<int>(channel_names.size());
    std::vector<line_calibration> by_channel;
    double lo = INFINITY, hi = -INFINITY;
    for (int c = 0; c < columns; ++c) {
        by_channel.push_back(calibrate(find_lines(spectrum_, c), line_energies, shown_in_json(channel_names[c])));
        calibrations[shown_in_json(channel_names[c])] = by_channel.back().to_json();
        // A parabola may turn within the range: its ends need not be the extremes.
        for (int i = 0; i < bins_.spectrum_bins; ++i) {
            const double e = by_channel.back().energy(histogram_detail::bin_center(i, bins_.spectrum_bins, bins_.spectrum_min, bins_.spectrum_max));
            lo = std::min(lo, e);
            hi = std::max(hi, e);
        }
    }
    if (!(hi > lo) || !std::isfinite(hi - lo))
        throw std::runtime_error("the line calibrations map the spectrum range onto " + json(lo).dump() + " to " + json(hi).dump());
    // Each fine bin's count moves whole to the energy bin of its centre, so that counts stay whole.
    const int n = bins_.spectrum_bins;
    histogram1D calibrated(n, columns, lo, hi);
    const double* from = spectrum_.data.data();
    double* to = calibrated.data.data();
    for (int i = 0; i < n; ++i) {
        const double x = histogram_detail::bin_center(i, n, bins_.spectrum_min, bins_.spectrum_max);
        for (int c = 0; c < columns; ++c) {
            const int bin = axis_bin(by_channel[c].energy(x), n, lo, hi);
            to[static_cast<std::size_t>(bin) * columns + c] += from[static_cast<std::size_t>(i) * columns + c];
        }
    }
    return calibrated;
}

std::vector<std::string> totals::channel_warnings(std::size_t c, const std::vector<line_measurement>& lines) const {
    std::vector<std::string> warnings;
    const std::string channel = "channel " + shown_in_json(channel_names[c]) + ": ";
    if (records[c] == 0) {
        warnings.push_back(channel + "no records: the files hold none of this channel");
        return warnings;
    }
    const auto number = [](double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", value);
        return std::string(text);
    };
    if (lines.empty()) {
        std::string range = number(bins_.spectrum_min) + " to " + number(bins_.spectrum_max) + " ADC";
        if (bins_.calibrated)
            range += " (" + number(bins_.spectrum_min * bins_.factor + bins_.offset) + " to " +
                     number(bins_.spectrum_max * bins_.factor + bins_.offset) + " " + bins_.unit +
                     "); the spectrum range is given in ADC, also when calibrating";
        warnings.push_back(channel + "no line found in the spectrum from " + range);
    }
    const std::int64_t flagged = clipped[c] + no_pulse[c] + fit_failed[c] + poor_fit[c];
    // More than one record in twenty set aside is more than noise or pile-up make.
    if (flagged * 20 > records[c]) {
        const std::pair<std::int64_t, const char*> kinds[] = {
            {fit_failed[c], "failed fits"}, {poor_fit[c], "poor fits"}, {clipped[c], "clipped"}, {no_pulse[c], "without a pulse"}};
        std::string counts;
        for (const auto& [count, kind] : kinds)
            if (count > 0) counts += (counts.empty() ? "" : ", ") + std::to_string(count) + " " + kind;
        // Records read with the wrong length are cut through their pulses and fail their fits or
        // show no pulse; those read from the wrong first byte are garbled and clip; pulses that go
        // the other way fit poorly or not at all.
        const bool length_given = ("," + format + ",").find(",cdb,") != std::string::npos ||
                                  ("," + format + ",").find(",wavedump,") != std::string::npos;
        const std::int64_t largest = std::max({fit_failed[c], poor_fit[c], clipped[c], no_pulse[c]});
        // A wrong length leaves some records with a pulse; a wrong polarity leaves none.
        const bool some_without_pulse = largest == no_pulse[c] && no_pulse[c] * 10 < records[c] * 9;
        std::string cause = "the polarity (--polarity): the pulses may go the other way";
        if (length_given && (largest == fit_failed[c] || some_without_pulse))
            cause = "the record length (--samples): records of another length cut through the pulses";
        else if (length_given && largest == clipped[c])
            cause = "the header (--header): records that do not start at a sample hold garbled samples";
        char share[32];
        std::snprintf(share, sizeof share, "%.1f %%", 100.0 * static_cast<double>(flagged) / static_cast<double>(records[c]));
        warnings.push_back(channel + std::to_string(flagged) + " of " + std::to_string(records[c]) + " records (" + share +
                           ") were set aside (" + counts + "); the likeliest cause is " + cause);
    }
    return warnings;
}

json totals::write_gate(const std::string& path, std::size_t k, const line_measurement& line,
                        const std::vector<line_measurement>& y_lines) const {
    const int n = map_.nBinsX;
    const double step = (map_.maxX - map_.minX) / (n - 1);
    const int centre = axis_bin(line.position, n, map_.minX, map_.maxX);
    const int lo = axis_bin(line.position - 0.5 * line.fwhm, n, map_.minX, map_.maxX);
    const int hi = axis_bin(line.position + 0.5 * line.fwhm, n, map_.minX, map_.maxX);
    const int half = std::min({std::max(centre - lo, hi - centre), centre, n - 1 - centre});
    map_.writeConstXCutWide(path.c_str(), centre, half, false);
    json widths = json::array();
    for (std::size_t j = 0; j < y_lines.size(); ++j)
        widths.push_back({{"line", j}, {"position", y_lines[j].position},
                          {"fwhm_halfmax", nullable(map_.fwhmConstXCutWide(centre, y_lines[j].position, half, 0))}});
    return {{"line", k},
            {"file", "gate-" + std::to_string(k) + ".txt"},
            {"band", {histogram_detail::bin_center(centre - half, n, map_.minX, map_.maxX) - 0.5 * step,
                      histogram_detail::bin_center(centre + half, n, map_.minX, map_.maxX) + 0.5 * step}},
            {"x_bin", centre},
            {"half_width", half},
            {"b_lines", widths}};
}

namespace {

void print_summary(std::FILE* out, const json& summary) {
    const std::string unit = summary["unit"].get<std::string>();
    const std::vector<std::string> names = summary["channel_names"];
    long long events = 0;
    for (const std::string& name : names) events = std::max(events, summary["channels"][name]["records"].get<long long>());
    if (summary["samples"].is_null())
        std::fprintf(out, "%zu file(s), %lld events of records of differing lengths\n", summary["files"].size(), events);
    else
        std::fprintf(out, "%zu file(s), %lld events of %d samples\n", summary["files"].size(), events, summary["samples"].get<int>());
    for (const json& file : summary["cut_off"])
        std::fprintf(out, "%s: cut off, the last %llu bytes are not a whole record\n", console_text(file["file"].get<std::string>()).c_str(),
                     file["trailing_bytes"].get<unsigned long long>());
    for (const std::string& name_text : names) {
        const std::string shown_name = console_text(name_text);
        const char* name = shown_name.c_str();
        const json& channel = summary["channels"][name_text];
        const bool with_truth = channel.contains("residual_records");
        std::fprintf(out, "channel %s: %lld records, %lld clipped, %lld without a pulse, %lld failed fits, %lld poor fits\n",
                     name, channel["records"].get<long long>(), channel["clipped"].get<long long>(),
                     channel["no_pulse"].get<long long>(), channel["fit_failed"].get<long long>(),
                     channel["poor_fit"].get<long long>());
        if (channel.value("saturated", 0) + channel.value("pileup", 0) > 0)
            std::fprintf(out, "  %lld saturated, %lld piled up\n", channel["saturated"].get<long long>(), channel["pileup"].get<long long>());
        if (channel.contains("method") && channel["method"] != "fit")
            std::fprintf(out, "  energies by %s\n", channel["method"].get<std::string>().c_str());
        if (channel["polarity"] != "positive")
            std::fprintf(out, "  pulses go %s\n", channel["polarity"] == "negative" ? "down" : "up in some files and down in others");
        // An error the fit could not tell shows as a dash.
        const auto error = [](const json& value) {
            char text[64] = "\u2014";
            if (!value.is_null()) std::snprintf(text, sizeof text, "%.2f", value.get<double>());
            return std::string(text);
        };
        for (std::size_t k = 0; k < channel["lines"].size(); ++k) {
            const json& l = channel["lines"][k];
            const double halfmax = l["fwhm_halfmax"].is_null() ? 0.0 : l["fwhm_halfmax"].get<double>();
            std::fprintf(out, "  line %zu: position %.2f +- %s %s, FWHM %.2f +- %s (half maximum %.2f), %.0f +- %.0f counts\n",
                         k, l["position"].get<double>(), error(l["position_error"]).c_str(), unit.c_str(), l["fwhm"].get<double>(),
                         error(l["fwhm_error"]).c_str(), halfmax, l["counts"].get<double>(), l["counts_error"].get<double>());
            if (with_truth)
                std::fprintf(out, "          residual bias %.3f ADC, rms %.3f ADC over %lld records\n",
                             l["residual_bias"].get<double>(), l["residual_rms"].get<double>(), l["residual_records"].get<long long>());
        }
        if (with_truth)
            std::fprintf(out, "  all unflagged records: residual bias %.3f ADC, rms %.3f ADC over %lld records\n",
                         channel["residual_bias"].get<double>(), channel["residual_rms"].get<double>(),
                         channel["residual_records"].get<long long>());
    }
    if (summary["pair"].is_null()) std::fprintf(out, "one channel: no map and no gates\n");
    for (const json& gate : summary["gates"])
        std::fprintf(out, "gate %d: %s from %.2f to %.2f %s -> %s\n", gate["line"].get<int>(),
                     console_text(summary["pair"]["channels"][0].get<std::string>()).c_str(), gate["band"][0].get<double>(),
                     gate["band"][1].get<double>(), unit.c_str(), console_text(gate["file"].get<std::string>()).c_str());
}

}  // namespace

json totals::write(const std::string& dir, std::FILE* out, const std::vector<staged_file*>& along, hdf5_output* hdf5) const {
    std::filesystem::create_directories(dir);
    output_set outputs(dir);

    histogram1D spectrum = spectrum_;
    if (bins_.calibrated) spectrum.calibrate(bins_.factor, bins_.offset);
    json line_calibrations;
    if (!line_energies.empty()) {
        spectrum = line_calibrated_spectrum(line_calibrations);
        // The counts as measured, for merging: the energy axis is each sum's own.
        spectrum_.write(outputs.temp("spectrum-adc.txt").c_str());
    }
    spectrum.write(outputs.temp("spectrum.txt").c_str());
    std::future<void> map_written;
    if (pair_) {
        const std::string map_text = outputs.temp("map.txt"), image = outputs.temp("map1.ppm");
        // The map's two files take a while and need nothing else: they are written beside the rest.
        map_written = std::async(std::launch::async | std::launch::deferred, [this, map_text, image] {
            map_.writeText(map_text.c_str());
            write_map_image(map_, image);
        });
    }
    if (with_truth) residuals_.write(outputs.temp("residuals.txt").c_str());

    json summary;
    put_paths(summary, "files", files);
    summary["inputs"] = json::array();
    for (const input_file& f : inputs) {
        json entry = {{"bytes", f.digest.bytes}, {"xxh3", f.digest.hash_text()}};
        put_path(entry, "file", f.file);
        if (!f.data_set.empty()) {
            entry["data_set"] = f.data_set;
            entry["first_event"] = f.first_event;
            entry["events"] = f.events;
        }
        summary["inputs"].push_back(entry);
    }
    summary["options"] = options;
    summary["format"] = format;
    summary["samples"] = samples > 0 ? json(samples) : json(nullptr);
    summary["header_bytes"] = header_bytes ? json(*header_bytes) : json(nullptr);
    summary["unit"] = bins_.calibrated || !line_energies.empty() ? bins_.unit : "ADC";
    summary["binning"] = bins_.to_json();
    if (!line_energies.empty()) summary["line_calibration"] = {{"energies", line_energies}, {"channels", line_calibrations}};
    put_paths(summary, "channel_names", channel_names);
    std::vector<std::vector<line_measurement>> lines;
    summary["warnings"] = json::array();
    for (std::size_t c = 0; c < channel_names.size(); ++c) {
        lines.push_back(find_lines(spectrum, static_cast<int>(c)));
        summary["channels"][shown_in_json(channel_names[c])] = channel_summary(static_cast<int>(c), lines[c]);
        for (std::size_t k = 0; k < lines[c].size(); ++k)
            if (!std::isfinite(lines[c][k].position_error) || !std::isfinite(lines[c][k].fwhm_error)) {
                char text[200];
                std::snprintf(text, sizeof text, "line %zu at %.2f: its fit cannot tell the errors of its position "
                              "and width (a line one bin wide?); they are null", k, lines[c][k].position);
                summary["warnings"].push_back("channel " + shown_in_json(channel_names[c]) + " " + text);
            }
        for (const std::string& warning : channel_warnings(c, lines[c])) summary["warnings"].push_back(warning);
    }
    summary["pair"] = nullptr;
    summary["gates"] = json::array();
    if (pair_) {
        summary["pair"] = {{"channels", {shown_in_json(channel_names[pair_->x]), shown_in_json(channel_names[pair_->y])}},
                           {"by", pair_->by_time ? "time stamp" : "event"}};
        if (pair_->by_time) summary["pair"]["coincidence_ns"] = pair_->coincidence_ns;
        // The map stays in the measured units; so do its gates when the spectra are calibrated by lines.
        std::vector<line_measurement> x_lines = lines[pair_->x], y_lines = lines[pair_->y];
        if (!line_energies.empty()) x_lines = find_lines(spectrum_, static_cast<int>(pair_->x)), y_lines = find_lines(spectrum_, static_cast<int>(pair_->y));
        for (std::size_t k = 0; k < x_lines.size(); ++k)
            summary["gates"].push_back(write_gate(outputs.temp("gate-" + std::to_string(k) + ".txt"), k, x_lines[k], y_lines));
    }
    summary["flagged"] = json::array();
    for (const flagged_record& r : flagged_) {
        json entry = {{"event", r.event}, {"channel", shown_in_json(channel_names[r.channel])}, {"flag", flag_name(r.flag)}};
        put_path(entry, "file", r.file);
        summary["flagged"].push_back(entry);
    }
    summary["cut_off"] = json::array();
    for (const cut_off_file& f : cut_off) {
        json entry = {{"trailing_bytes", f.trailing_bytes}};
        put_path(entry, "file", f.file);
        summary["cut_off"].push_back(entry);
    }

    interruption_guard::check();
    // While the map's files are still being written.
    if (hdf5) hdf5->write_results(spectrum, pair_ ? &map_ : nullptr, with_truth ? &residuals_ : nullptr, summary);
    if (map_written.valid()) map_written.get();
    // Listed last, so that a reader can tell this set from a mix of two.
    json listed = json::object();
    outputs.list_digests(listed);
    for (const staged_file* file : along) list_digest(listed, *file);
    summary["outputs"] = listed;
    {
        std::ofstream json_out(outputs.temp("summary.json"), std::ios::binary | std::ios::trunc);
        json_out << summary.dump(1) << '\n';
        json_out.flush();
        if (!json_out) throw std::system_error(errno ? errno : EIO, std::generic_category(), "cannot write summary.json");
    }
    interruption_guard::check();
    {
        // A termination signal waits until the whole set is in place.
        const staging::signals_held held;
        for (staged_file* file : along) file->commit();
        outputs.commit();
        // Outputs of an earlier run into the same directory that this one does not replace would
        // pass for its own.
        std::error_code ignored;
        for (std::size_t k = summary["gates"].size(); std::filesystem::remove(dir + "/gate-" + std::to_string(k) + ".txt", ignored); ++k) {
        }
        if (!with_truth) std::filesystem::remove(dir + "/residuals.txt", ignored);
        if (line_energies.empty()) std::filesystem::remove(dir + "/spectrum-adc.txt", ignored);
        if (!pair_)
            for (const char* name : {"map.txt", "map1.ppm"}) std::filesystem::remove(dir + "/" + name, ignored);
    }
    if (out != nullptr) print_summary(out, summary);
    return summary;
}

namespace {

// An analysis directory as read for totals::read: its summary, and the bytes of its analysis.h5
// where the summary lists one, checked with every other listed output.
struct stored_analysis {
    json summary;
    std::string* hdf5_image = nullptr;
};

// Reads the summary in `dir` and checks every output it lists, keeping the bytes of analysis.h5
// in `image`; throws what totals::read throws for a missing or malformed summary and for a
// mixed or incomplete set.
stored_analysis load(const std::string& dir, std::string& image) {
    stored_analysis stored;
    const std::string summary_path = dir + "/summary.json";
    std::string text;
    read_whole(summary_path, text);
    try {
        stored.summary = json::parse(text);
        json& summary = stored.summary;
        // A summary without a list comes from before sets were listed.
        if (summary.contains("outputs")) {
            // analysis.h5 is kept as it was hashed, to be read from memory: read once, and
            // exactly the bytes checked.
            std::map<std::string, std::string*> kept;
            if (summary["outputs"].contains("analysis.h5")) kept["analysis.h5"] = stored.hdf5_image = &image;
            check_listed(dir, summary["outputs"], summary_path, kept);
            std::vector<std::string> needed{"spectrum.txt"};
            if (!summary.at("pair").is_null()) needed.push_back("map.txt");
            if (summary.at("channels").begin()->contains("residual_sums")) needed.push_back("residuals.txt");
            for (const std::string& name : needed)
                if (!summary["outputs"].contains(name))
                    throw std::invalid_argument(summary_path + ": the list of outputs lacks " + name);
        }
    } catch (const json::exception& e) {
        throw std::invalid_argument(summary_path + ": " + e.what());
    }
    return stored;
}

}  // namespace

totals totals::read(const std::string& dir) {
    // Kept by each thread from one analysis to the next, so that a merge does not clear and fault
    // in the room for every piece's analysis.h5 anew.
    static thread_local std::string image;
    const stored_analysis stored = load(dir, image);
    const std::string summary_path = dir + "/summary.json";
    const json& summary = stored.summary;
    try {
        const std::vector<std::string> names = get_paths(summary, "channel_names", summary_path);
        // Everything that sizes the histograms is checked before they are made, so that a
        // damaged summary is named rather than failing an allocation.
        binning bins;
        try {
            bins = binning::from_json(summary.at("binning"));
            column_count(checked_channels(names));
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument(summary_path + ": " + e.what());
        }
        std::vector<std::string> shown;
        for (const std::string& name : names) shown.push_back(shown_in_json(name));
        const bool with_truth = summary.at("channels").at(shown.front()).contains("residual_sums");
        const auto rows = [](int bins) { return static_cast<std::size_t>(bins); };
        holds_rows(dir + "/spectrum.txt", rows(bins.spectrum_bins), names.size() + 1);
        if (!summary.at("pair").is_null()) holds_rows(dir + "/map.txt", rows(bins.map_bins) * rows(bins.map_bins), 3);
        if (with_truth) holds_rows(dir + "/residuals.txt", rows(bins.residual_bins), names.size() + 1);
        totals t(bins, names);
        t.files = get_paths(summary, "files", summary_path);
        // Summaries from before inputs were listed have neither list.
        if (summary.contains("inputs"))
            for (const json& f : summary.at("inputs")) {
                input_file input{get_path(f, "file", summary_path), {f.at("bytes").get<std::uint64_t>(), 0}, {}, 0, 0};
                const std::optional<std::uint64_t> hash = file_digest::parse_hash(f.at("xxh3").get<std::string>());
                if (!hash) throw std::invalid_argument(summary_path + ": input " + f.dump() + " has no hash of 16 hex digits");
                input.digest.xxh3 = *hash;
                if (f.contains("data_set")) {
                    input.data_set = f.at("data_set").get<std::string>();
                    if (!file_digest::parse_hash(input.data_set))
                        throw std::invalid_argument(summary_path + ": input " + f.dump() + " has no data set of 16 hex digits");
                    input.first_event = f.at("first_event").get<std::uint64_t>();
                    input.events = f.at("events").get<std::uint64_t>();
                }
                t.inputs.push_back(std::move(input));
            }
        if (summary.contains("options")) t.options = summary.at("options");
        t.format = summary.at("format").get<std::string>();
        const json& samples = summary.at("samples");
        t.samples = samples.is_null() ? 0 : whole_number<int>(samples, summary_path + ": samples");
        const json& header = summary.at("header_bytes");
        if (!header.is_null()) t.header_bytes = whole_number<std::uint64_t>(header, summary_path + ": header_bytes");
        t.with_truth = with_truth;
        const auto index_of = [&](const std::string& name) {
            const auto found = std::find(shown.begin(), shown.end(), name);
            if (found == shown.end()) throw std::invalid_argument(summary_path + ": channel '" + name + "' is not among channel_names");
            return static_cast<std::size_t>(found - shown.begin());
        };
        const json& pair = summary.at("pair");
        if (pair.is_null()) {
            t.pair_.reset();
        } else {
            channel_pair p{index_of(pair.at("channels").at(0).get<std::string>()), index_of(pair.at("channels").at(1).get<std::string>())};
            p.by_time = pair.at("by").get<std::string>() != "event";
            if (p.by_time) p.coincidence_ns = pair.at("coincidence_ns").get<double>();
            try {
                t.set_pair(p);
            } catch (const std::invalid_argument& e) {
                throw std::invalid_argument(summary_path + ": " + e.what());
            }
        }
        const int n = t.bins_.spectrum_bins;
        const std::size_t columns = names.size();
        if (summary.contains("line_calibration")) t.line_energies = summary["line_calibration"].at("energies").get<std::vector<double>>();
        // analysis.h5 holds the counts of the text tables, and reads many times faster: it is read
        // where the summary's list, checked by load, vouches that it belongs to this set.
        const std::string stored_path = dir + "/analysis.h5";
        const histogram_sources read_from = [&] {
            histogram_sources sources;
            // A merge reads its pieces on several threads, and HDF5 may need them to take turns.
            std::unique_lock<std::mutex> hdf5_turn(hdf5::library_lock(), std::defer_lock);
            if (stored.hdf5_image) hdf5_turn.lock();
            const hdf5::handle stored_file = stored.hdf5_image ? open_image(*stored.hdf5_image, stored_path) : hdf5::handle();
            // Its histograms are named by the channels as the summary shows them.  Its spectrum is on
            // the energy axis of the line calibration, not the one measured.
            if (stored_file && t.line_energies.empty()) {
                sources.spectrum = stored_path;
                for (std::size_t c = 0; c < columns; ++c)
                    read_stored_counts(stored_file.get(), stored_path, "spectrum/" + shown[c], {n}, t.spectrum_.data.data() + c, columns);
            } else {
                sources.spectrum = dir + (t.line_energies.empty() ? "/spectrum.txt" : "/spectrum-adc.txt");
                const std::vector<double> spectrum = read_counts(sources.spectrum, n, static_cast<int>(columns) + 1, 1);
                std::copy(spectrum.begin(), spectrum.end(), t.spectrum_.data.data());
            }
            if (t.pair_) {
                const int m = t.bins_.map_bins;
                sources.map = stored_file ? stored_path : dir + "/map.txt";
                if (stored_file) {
                    read_stored_counts(stored_file.get(), stored_path, "map", {m, m}, t.map_.data.data(), 1);
                } else {
                    const std::vector<double> map = read_counts(sources.map, m * m, 3, 2);
                    std::copy(map.begin(), map.end(), t.map_.data.data());
                }
            }
            if (t.with_truth) {
                const int r = t.bins_.residual_bins;
                sources.residuals = stored_file ? stored_path : dir + "/residuals.txt";
                if (stored_file) {
                    for (std::size_t c = 0; c < columns; ++c)
                        read_stored_counts(stored_file.get(), stored_path, "residuals/" + shown[c], {r}, t.residuals_.data.data() + c, columns);
                } else {
                    const std::vector<double> residuals = read_counts(sources.residuals, r, static_cast<int>(columns) + 1, 1);
                    std::copy(residuals.begin(), residuals.end(), t.residuals_.data.data());
                }
            }
            return sources;
        }();
        for (std::size_t c = 0; c < columns; ++c) {
            const json& channel = summary.at("channels").at(shown[c]);
            const auto count = [&](const char* key) {
                // Analyses from before a flag have none of it.
                const bool later = std::strcmp(key, "poor_fit") == 0 || std::strcmp(key, "saturated") == 0 || std::strcmp(key, "pileup") == 0;
                const json& value = later && !channel.contains(key) ? json(0) : channel.at(key);
                if (!value.is_number_integer() || value.get<std::int64_t>() < 0 || value.get<std::int64_t>() > max_count)
                    throw std::invalid_argument(summary_path + ": channel " + shown[c] + " " + key + " " + value.dump() +
                                                " is not a count of records");
                return value.get<std::int64_t>();
            };
            t.records[c] = count("records");
            t.clipped[c] = count("clipped");
            t.no_pulse[c] = count("no_pulse");
            t.fit_failed[c] = count("fit_failed");
            t.poor_fit[c] = count("poor_fit");
            t.saturated[c] = count("saturated");
            t.pileup[c] = count("pileup");
            if (channel.contains("processing")) t.processing[c] = channel.at("processing");
            if (channel.contains("estimated_decay")) t.estimated_decays[c] = channel.at("estimated_decay").get<double>();
            t.polarities[c] = channel.at("polarity").get<std::string>();
            if (channel.contains("tick_seconds")) t.tick_seconds[c] = channel.at("tick_seconds").get<double>();
            if (!t.with_truth) continue;
            for (const json& row : channel.at("residual_sums")) {
                const auto bin = whole_number<std::size_t>(row.at(0), summary_path + ": channel " + shown[c] + " residual bin");
                if (t.residual_by_bin_[c].empty()) t.residual_by_bin_[c].resize(static_cast<std::size_t>(t.bins_.spectrum_bins));
                if (bin >= t.residual_by_bin_[c].size()) throw std::invalid_argument(summary_path + ": residual bin " + std::to_string(bin) + " outside the spectrum");
                residual_sums& s = t.residual_by_bin_[c][bin];
                s.records = whole_number<std::int64_t>(row.at(1), summary_path + ": channel " + shown[c] + " residual records");
                if (s.records < 0 || s.records > max_count)
                    throw std::invalid_argument(summary_path + ": channel " + shown[c] + " residual bin " +
                                                std::to_string(bin) + " has " + std::to_string(s.records) + " records");
                s.sum = int128_from(row.at(2).get<std::string>(), summary_path);
                s.sum_squares = int128_from(row.at(3).get<std::string>(), summary_path);
                if (!s.possible())
                    throw std::invalid_argument(summary_path + ": channel " + shown[c] + " residual bin " + std::to_string(bin) +
                                                ": the sum " + int128_text(s.sum) + " and the sum of squares " +
                                                int128_text(s.sum_squares) + " cannot come from " + std::to_string(s.records) +
                                                " records");
            }
        }
        for (const json& f : summary.at("cut_off"))
            t.cut_off.push_back({get_path(f, "file", summary_path), whole_number<std::uint64_t>(f.at("trailing_bytes"), summary_path + ": trailing_bytes")});
        // Files of these formats number an event by its place among the records of its channel.
        bool numbered_by_place = true;
        for (std::size_t start = 0; start <= t.format.size();) {
            const std::size_t end = std::min(t.format.find(',', start), t.format.size());
            const std::string name = t.format.substr(start, end - start);
            numbered_by_place = numbered_by_place && (name == "cdb" || name == "compass");
            start = end + 1;
        }
        // The records of one event share a place in the list, so that the places stay below the
        // number of events and the flagged records of a later analysis follow all of these.
        std::uint64_t sequence = 0;
        for (const json& f : summary.at("flagged")) {
            const std::string flag = f.at("flag").get<std::string>();
            record_flag parsed = record_flag::ok;
            for (record_flag candidate : {record_flag::clipped, record_flag::no_pulse, record_flag::fit_failed, record_flag::poor_fit,
                                          record_flag::saturated, record_flag::pileup})
                if (flag == flag_name(candidate)) parsed = candidate;
            if (parsed == record_flag::ok)
                throw std::invalid_argument(summary_path + ": flagged record " + f.dump() + " has no flag");
            flagged_record r{sequence, get_path(f, "file", summary_path), whole_number<std::uint64_t>(f.at("event"), summary_path + ": flagged event"),
                             static_cast<int>(index_of(f.at("channel").get<std::string>())), parsed};
            if (numbered_by_place && r.event >= static_cast<std::uint64_t>(t.records[r.channel]))
                throw std::invalid_argument(summary_path + ": flagged record " + f.dump() + " lies past the " +
                                            std::to_string(t.records[r.channel]) + " records of its channel");
            if (!t.flagged_.empty()) {
                const flagged_record& last = t.flagged_.back();
                if (r.file != last.file || r.event != last.event || r.channel <= last.channel) r.sequence = ++sequence;
            }
            t.flagged_.push_back(std::move(r));
        }
        t.check_counts(dir, read_from);
        return t;
    } catch (const json::exception& e) {
        throw std::invalid_argument(summary_path + ": " + e.what());
    }
}

void totals::check_counts(const std::string& dir, const histogram_sources& read_from) const {
    // The entries of a column, exactly, up to 9e18: its counts are whole numbers from 0 to 2^53,
    // which add up exactly as doubles in any order while the sum stays below 2^53 (four running
    // sums keep the adder busy), and as integers where it does not.
    const auto column_total = [](const auto& histogram, int column, int columns) -> std::int64_t {
        double sums[4] = {0.0, 0.0, 0.0, 0.0};
        const double* v = histogram.data.data();
        const std::size_t step = static_cast<std::size_t>(columns), end = histogram.data.num_elements();
        std::size_t i = static_cast<std::size_t>(column);
        for (; i + 3 * step < end; i += 4 * step)
            for (std::size_t lane = 0; lane < 4; ++lane) sums[lane] += v[i + lane * step];
        for (; i < end; i += step) sums[0] += v[i];
        const double fast = (sums[0] + sums[1]) + (sums[2] + sums[3]);
        if (fast < static_cast<double>(max_count)) return static_cast<std::int64_t>(fast);
        constexpr std::int64_t shown_at_most = 9'000'000'000'000'000'000;
        wide_int exact = 0;
        for (i = static_cast<std::size_t>(column); i < end; i += step) exact += static_cast<std::int64_t>(v[i]);
        return exact > shown_at_most ? shown_at_most : static_cast<std::int64_t>(exact);
    };
    const int columns = static_cast<int>(channel_names.size());
    std::vector<std::int64_t> measured(channel_names.size());
    for (int c = 0; c < columns; ++c) {
        const std::string channel = "channel " + shown_in_json(channel_names[c]);
        const std::int64_t flagged = clipped[c] + no_pulse[c] + fit_failed[c] + poor_fit[c] + saturated[c] + pileup[c];
        measured[c] = records[c] - flagged;
        const std::int64_t spectrum_total = column_total(spectrum_, c, columns);
        if (measured[c] < 0 || measured[c] != spectrum_total)
            throw std::invalid_argument(dir + "/summary.json: " + channel + " has " + std::to_string(records[c]) + " records, " +
                                        std::to_string(flagged) + " of them flagged, but " + read_from.spectrum + " holds " +
                                        std::to_string(spectrum_total) + " entries");
        if (!with_truth) continue;
        std::int64_t compared = 0;
        for (const residual_sums& s : residual_by_bin_[c])
            compared = add_counts(compared, s.records, dir + "/summary.json: the residual records of " + channel);
        const std::int64_t residual_total = column_total(residuals_, c, columns);
        if (compared != measured[c] || residual_total != spectrum_total)
            throw std::invalid_argument(dir + "/summary.json: " + channel + " has " + std::to_string(measured[c]) +
                                        " measured records but residuals of " + std::to_string(compared) + " in its residual_sums or of " +
                                        std::to_string(residual_total) + " in " + read_from.residuals);
    }
    if (!pair_) return;
    const std::int64_t pairs = column_total(map_, 0, 1);
    if (pairs > std::min(measured[pair_->x], measured[pair_->y]))
        throw std::invalid_argument(read_from.map + " holds " + std::to_string(pairs) +
                                    " entries, more than the records measured in either paired channel of " + dir + "/summary.json");
}

void print_warnings(const json& summary, std::FILE* err) {
    for (const json& warning : summary.value("warnings", json::array()))
        std::fprintf(err, "murel: warning: %s\n", console_text(warning.get<std::string>()).c_str());
}

}  // namespace murel::analysis
