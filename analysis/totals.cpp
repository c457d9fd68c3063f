#include "totals.h"
#include "map_image.h"
#include "path_json.h"
#include "units.h"

#include "directory_lock.h"
#include "file_digest.h"
#include "interruption.h"
#include "staged_file.h"
#include "staging.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace murel::analysis {

using nlohmann::json;

namespace {

constexpr double residual_quantum = 1.0 / 1024.0;  // ADC
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

// The bin of x on an axis of n bins centred from min to max, as the histograms count it.
int axis_bin(double x, int n, double min, double max) { return histogram_detail::bin_of(x, n, min, max); }

// Reads a text table of `rows` rows of `fields` numbers each, of which those from `first_count`
// on are counts of entries; returns the counts, row after row.
std::vector<double> read_counts(const std::string& path, int rows, int fields, int first_count) {
    std::ifstream in(path);
    if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    std::vector<double> counts;
    counts.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(fields - first_count));
    std::string line;
    int row = 0;
    while (std::getline(in, line)) {
        const std::string where = path + ": line " + std::to_string(row + 1);
        if (row == rows) throw std::invalid_argument(where + ": more than the " + std::to_string(rows) + " rows of its binning");
        const char* next = line.c_str();
        for (int f = 0; f < fields; ++f) {
            char* end = nullptr;
            const double v = std::strtod(next, &end);
            if (end == next) throw std::invalid_argument(where + " has fewer than " + std::to_string(fields) + " numbers");
            if (f >= first_count) {
                if (!(v >= 0.0 && v <= static_cast<double>(max_count) && std::floor(v) == v))
                    throw std::invalid_argument(where + ": \"" + std::string(static_cast<const char*>(next + std::strspn(next, " \t")), static_cast<const char*>(end)) +
                                                "\" is not a count of entries");
                counts.push_back(v);
            }
            next = end;
        }
        ++row;
    }
    if (row != rows)
        throw std::invalid_argument(path + ": " + std::to_string(row) + " rows where its binning has " + std::to_string(rows));
    return counts;
}

// a + b, or std::invalid_argument naming `what` when the sum leaves the counts that stay exact.
std::int64_t add_counts(std::int64_t a, std::int64_t b, const std::string& what) {
    if (a < 0 || b < 0 || a > max_count - b)
        throw std::invalid_argument(what + " " + std::to_string(a) + " and " + std::to_string(b) + " add up to more than 2^53");
    return a + b;
}

// A channel's name as JSON shows it: with replacement characters where it is not UTF-8.
std::string shown_name(const std::string& name) {
    json holder;
    put_path(holder, "name", name);
    return holder["name"].get<std::string>();
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
    if (!(spectrum_max > spectrum_min) || !std::isfinite(spectrum_min) || !std::isfinite(spectrum_max))
        fail("the spectrum range " + shown(spectrum_min) + " to " + shown(spectrum_max) + " does not increase");
    if (map_bins < 3) fail("the map needs at least 3 bins per axis, not " + std::to_string(map_bins));
    if (map_bins > 4096) fail("the map may have at most 4096 bins per axis, not " + std::to_string(map_bins));
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
    if (residual_bins < 3 || !(residual_range > 0.0)) fail("bad residual binning");
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
    b.spectrum_bins = j.at("spectrum").at("bins").get<int>();
    b.spectrum_min = j.at("spectrum").at("min").get<double>();
    b.spectrum_max = j.at("spectrum").at("max").get<double>();
    b.map_bins = j.at("map").at("bins").get<int>();
    b.map_min = j.at("map").at("min").get<double>();
    b.map_max = j.at("map").at("max").get<double>();
    b.residual_bins = j.at("residuals").at("bins").get<int>();
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
    const double clamped = std::clamp(residual / residual_quantum, -1e15, 1e15);
    const auto q = static_cast<std::int64_t>(std::llround(clamped));
    ++records;
    sum += q;
    sum_squares += static_cast<wide_int>(q) * q;
}

residual_sums& residual_sums::operator+=(const residual_sums& other) {
    records += other.records;
    sum += other.sum;
    sum_squares += other.sum_squares;
    return *this;
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

void totals::add(const totals& other, std::uint64_t sequence_offset) {
    if (!(other.bins_ == bins_))
        throw std::invalid_argument("different binnings: " + bins_.to_json().dump() + " and " + other.bins_.to_json().dump());
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
        for (std::size_t i = 0; i < other.residual_by_bin_[c].size(); ++i) residual_by_bin_[c][i] += other.residual_by_bin_[c][i];
        // The records bound every other count, so that theirs staying exact keeps all exact.
        records[c] = add_counts(records[c], other.records[c], "the records of channel " + shown_name(channel_names[c]));
        clipped[c] += other.clipped[c];
        no_pulse[c] += other.no_pulse[c];
        fit_failed[c] += other.fit_failed[c];
        poor_fit[c] += other.poor_fit[c];
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
            {"chi2_per_dof", line.chi2_per_dof}, {"rebin", line.rebin}};
}

}  // namespace

json totals::channel_summary(int c, const std::vector<line_measurement>& lines) const {
    json channel = {{"records", records[c]},       {"clipped", clipped[c]},   {"no_pulse", no_pulse[c]},
                    {"fit_failed", fit_failed[c]}, {"poor_fit", poor_fit[c]}, {"polarity", polarities[c]}};
    if (tick_seconds[c]) channel["tick_seconds"] = *tick_seconds[c];
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

std::vector<std::string> totals::channel_warnings(std::size_t c, const std::vector<line_measurement>& lines) const {
    std::vector<std::string> warnings;
    if (records[c] == 0) return warnings;
    const std::string channel = "channel " + shown_name(channel_names[c]) + ": ";
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
        // Records read with the wrong length are cut through their pulses and fail their fits;
        // those read from the wrong first byte are garbled and clip; pulses that go the other way
        // fit poorly or not at all.
        const bool length_given = ("," + format + ",").find(",cdb,") != std::string::npos ||
                                  ("," + format + ",").find(",wavedump,") != std::string::npos;
        const std::int64_t largest = std::max({fit_failed[c], poor_fit[c], clipped[c], no_pulse[c]});
        std::string cause = "the polarity (--polarity): the pulses may go the other way";
        if (length_given && largest == fit_failed[c])
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
        std::fprintf(out, "%s: cut off, the last %llu bytes are not a whole record\n", file["file"].get<std::string>().c_str(),
                     file["trailing_bytes"].get<unsigned long long>());
    for (const std::string& name_text : names) {
        const char* name = name_text.c_str();
        const json& channel = summary["channels"][name_text];
        const bool with_truth = channel.contains("residual_records");
        std::fprintf(out, "channel %s: %lld records, %lld clipped, %lld without a pulse, %lld failed fits, %lld poor fits\n",
                     name, channel["records"].get<long long>(), channel["clipped"].get<long long>(),
                     channel["no_pulse"].get<long long>(), channel["fit_failed"].get<long long>(),
                     channel["poor_fit"].get<long long>());
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
                     summary["pair"]["channels"][0].get<std::string>().c_str(), gate["band"][0].get<double>(),
                     gate["band"][1].get<double>(), unit.c_str(), gate["file"].get<std::string>().c_str());
}

}  // namespace

json totals::write(const std::string& dir, std::FILE* out, const std::vector<staged_file*>& along) const {
    std::filesystem::create_directories(dir);
    output_set outputs(dir);

    histogram1D spectrum = spectrum_;
    if (bins_.calibrated) spectrum.calibrate(bins_.factor, bins_.offset);
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
    summary["format"] = format;
    summary["samples"] = samples > 0 ? json(samples) : json(nullptr);
    summary["header_bytes"] = header_bytes ? json(*header_bytes) : json(nullptr);
    summary["unit"] = bins_.calibrated ? bins_.unit : "ADC";
    summary["binning"] = bins_.to_json();
    put_paths(summary, "channel_names", channel_names);
    std::vector<std::vector<line_measurement>> lines;
    summary["warnings"] = json::array();
    for (std::size_t c = 0; c < channel_names.size(); ++c) {
        lines.push_back(find_lines(spectrum, static_cast<int>(c)));
        summary["channels"][shown_name(channel_names[c])] = channel_summary(static_cast<int>(c), lines.back());
        for (std::size_t k = 0; k < lines[c].size(); ++k)
            if (!std::isfinite(lines[c][k].position_error) || !std::isfinite(lines[c][k].fwhm_error)) {
                char text[200];
                std::snprintf(text, sizeof text, "line %zu at %.2f: its fit cannot tell the errors of its position "
                              "and width (a line one bin wide?); they are null", k, lines[c][k].position);
                summary["warnings"].push_back("channel " + shown_name(channel_names[c]) + " " + text);
            }
        for (const std::string& warning : channel_warnings(c, lines[c])) summary["warnings"].push_back(warning);
    }
    summary["pair"] = nullptr;
    summary["gates"] = json::array();
    if (pair_) {
        summary["pair"] = {{"channels", {shown_name(channel_names[pair_->x]), shown_name(channel_names[pair_->y])}},
                           {"by", pair_->by_time ? "time stamp" : "event"}};
        if (pair_->by_time) summary["pair"]["coincidence_ns"] = pair_->coincidence_ns;
        for (std::size_t k = 0; k < lines[pair_->x].size(); ++k)
            summary["gates"].push_back(
                write_gate(outputs.temp("gate-" + std::to_string(k) + ".txt"), k, lines[pair_->x][k], lines[pair_->y]));
    }
    summary["flagged"] = json::array();
    for (const flagged_record& r : flagged_) {
        json entry = {{"event", r.event}, {"channel", shown_name(channel_names[r.channel])}, {"flag", flag_name(r.flag)}};
        put_path(entry, "file", r.file);
        summary["flagged"].push_back(entry);
    }
    summary["cut_off"] = json::array();
    for (const cut_off_file& f : cut_off) {
        json entry = {{"trailing_bytes", f.trailing_bytes}};
        put_path(entry, "file", f.file);
        summary["cut_off"].push_back(entry);
    }

    if (map_written.valid()) map_written.get();
    interruption_guard::check();
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
        if (!pair_)
            for (const char* name : {"map.txt", "map1.ppm"}) std::filesystem::remove(dir + "/" + name, ignored);
    }
    if (out != nullptr) print_summary(out, summary);
    return summary;
}

totals totals::read(const std::string& dir) {
    const std::string summary_path = dir + "/summary.json";
    std::ifstream in(summary_path);
    if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + summary_path);
    json summary;
    try {
        summary = json::parse(in);
        // A summary without a list comes from before sets were listed.
        if (summary.contains("outputs")) {
            check_listed(dir, summary["outputs"], summary_path);
            std::vector<std::string> needed{"spectrum.txt"};
            if (!summary.at("pair").is_null()) needed.push_back("map.txt");
            if (summary.at("channels").begin()->contains("residual_sums")) needed.push_back("residuals.txt");
            for (const std::string& name : needed)
                if (!summary["outputs"].contains(name))
                    throw std::invalid_argument(summary_path + ": the list of outputs lacks " + name);
        }
        const std::vector<std::string> names = get_paths(summary, "channel_names", summary_path);
        totals t(binning::from_json(summary.at("binning")), names);
        t.files = get_paths(summary, "files", summary_path);
        t.format = summary.at("format").get<std::string>();
        const json& samples = summary.at("samples");
        t.samples = samples.is_null() ? 0 : samples.get<int>();
        const json& header = summary.at("header_bytes");
        if (!header.is_null()) t.header_bytes = header.get<std::uint64_t>();
        std::vector<std::string> shown;
        for (const std::string& name : names) shown.push_back(shown_name(name));
        t.with_truth = summary.at("channels").at(shown.front()).contains("residual_sums");
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
            t.set_pair(p);
        }
        const int n = t.bins_.spectrum_bins;
        const std::size_t columns = names.size();
        const std::vector<double> spectrum = read_counts(dir + "/spectrum.txt", n, static_cast<int>(columns) + 1, 1);
        std::copy(spectrum.begin(), spectrum.end(), t.spectrum_.data.data());
        if (t.pair_) {
            const int m = t.bins_.map_bins;
            const std::vector<double> map = read_counts(dir + "/map.txt", m * m, 3, 2);
            std::copy(map.begin(), map.end(), t.map_.data.data());
        }
        if (t.with_truth) {
            const int r = t.bins_.residual_bins;
            const std::vector<double> residuals = read_counts(dir + "/residuals.txt", r, static_cast<int>(columns) + 1, 1);
            std::copy(residuals.begin(), residuals.end(), t.residuals_.data.data());
        }
        for (std::size_t c = 0; c < columns; ++c) {
            const json& channel = summary.at("channels").at(shown[c]);
            const auto count = [&](const char* key) {
                // Analyses from before the poor_fit flag have none.
                const json& value = std::strcmp(key, "poor_fit") == 0 && !channel.contains(key) ? json(0) : channel.at(key);
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
            t.polarities[c] = channel.at("polarity").get<std::string>();
            if (channel.contains("tick_seconds")) t.tick_seconds[c] = channel.at("tick_seconds").get<double>();
            if (!t.with_truth) continue;
            for (const json& row : channel.at("residual_sums")) {
                const auto bin = row.at(0).get<std::size_t>();
                if (t.residual_by_bin_[c].empty()) t.residual_by_bin_[c].resize(static_cast<std::size_t>(t.bins_.spectrum_bins));
                if (bin >= t.residual_by_bin_[c].size()) throw std::invalid_argument(summary_path + ": residual bin " + std::to_string(bin) + " outside the spectrum");
                residual_sums& s = t.residual_by_bin_[c][bin];
                s.records = row.at(1).get<std::int64_t>();
                if (s.records < 0 || s.records > max_count)
                    throw std::invalid_argument(summary_path + ": channel " + shown[c] + " residual bin " +
                                                std::to_string(bin) + " has " + std::to_string(s.records) + " records");
                s.sum = int128_from(row.at(2).get<std::string>(), summary_path);
                s.sum_squares = int128_from(row.at(3).get<std::string>(), summary_path);
            }
        }
        for (const json& f : summary.at("cut_off")) t.cut_off.push_back({get_path(f, "file", summary_path), f.at("trailing_bytes").get<std::uint64_t>()});
        // The records of one event share a place in the list, so that the places stay below the
        // number of events and the flagged records of a later analysis follow all of these.
        std::uint64_t sequence = 0;
        for (const json& f : summary.at("flagged")) {
            const std::string flag = f.at("flag").get<std::string>();
            record_flag parsed = record_flag::ok;
            for (record_flag candidate : {record_flag::clipped, record_flag::no_pulse, record_flag::fit_failed, record_flag::poor_fit})
                if (flag == flag_name(candidate)) parsed = candidate;
            if (parsed == record_flag::ok)
                throw std::invalid_argument(summary_path + ": flagged record " + f.dump() + " has no flag");
            flagged_record r{sequence, get_path(f, "file", summary_path), f.at("event").get<std::uint64_t>(),
                             static_cast<int>(index_of(f.at("channel").get<std::string>())), parsed};
            if (!t.flagged_.empty()) {
                const flagged_record& last = t.flagged_.back();
                if (r.file != last.file || r.event != last.event || r.channel <= last.channel) r.sequence = ++sequence;
            }
            t.flagged_.push_back(std::move(r));
        }
        t.check_counts(dir);
        return t;
    } catch (const json::exception& e) {
        throw std::invalid_argument(summary_path + ": " + e.what());
    }
}

void totals::check_counts(const std::string& dir) const {
    const auto column_total = [](const auto& histogram, int column, int columns) {
        double total = 0.0;
        const double* v = histogram.data.data();
        for (std::size_t i = static_cast<std::size_t>(column); i < histogram.data.num_elements(); i += static_cast<std::size_t>(columns))
            total += v[i];
        return total;
    };
    const int columns = static_cast<int>(channel_names.size());
    std::vector<std::int64_t> measured(channel_names.size());
    for (int c = 0; c < columns; ++c) {
        const std::string channel = "channel " + shown_name(channel_names[c]);
        const std::int64_t flagged = clipped[c] + no_pulse[c] + fit_failed[c] + poor_fit[c];
        measured[c] = records[c] - flagged;
        // Counts below 2^53 each add up exactly, and so does the column: it holds only whole numbers.
        const double spectrum_total = column_total(spectrum_, c, columns);
        if (measured[c] < 0 || static_cast<double>(measured[c]) != spectrum_total)
            throw std::invalid_argument(dir + "/summary.json: " + channel + " has " + std::to_string(records[c]) + " records, " +
                                        std::to_string(flagged) + " of them flagged, but " + dir + "/spectrum.txt holds " +
                                        std::to_string(static_cast<long long>(std::min(spectrum_total, 9e18))) + " entries");
        if (!with_truth) continue;
        std::int64_t compared = 0;
        for (const residual_sums& s : residual_by_bin_[c])
            compared = add_counts(compared, s.records, dir + "/summary.json: the residual records of " + channel);
        if (compared != measured[c] || column_total(residuals_, c, columns) != spectrum_total)
            throw std::invalid_argument(dir + "/summary.json: " + channel + " has " + std::to_string(measured[c]) +
                                        " measured records but residuals of " + std::to_string(compared) + " in its residual_sums or of " +
                                        std::to_string(static_cast<long long>(std::min(column_total(residuals_, c, columns), 9e18))) +
                                        " in " + dir + "/residuals.txt");
    }
    if (!pair_) return;
    const double pairs = column_total(map_, 0, 1);
    if (pairs > static_cast<double>(std::min(measured[pair_->x], measured[pair_->y])))
        throw std::invalid_argument(dir + "/map.txt holds " + std::to_string(static_cast<long long>(std::min(pairs, 9e18))) +
                                    " entries, more than the records measured in either paired channel of " + dir + "/summary.json");
}

void print_warnings(const json& summary, std::FILE* err) {
    for (const json& warning : summary.value("warnings", json::array()))
        std::fprintf(err, "murel: warning: %s\n", warning.get<std::string>().c_str());
}

}  // namespace murel::analysis
