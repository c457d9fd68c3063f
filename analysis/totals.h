// Everything an analysis keeps of its records: the histograms, the counts of flagged records,
// the truth residual sums, and the outputs written from them.  Two totals of the same
// binning add up exactly, whatever order their records came in.
#pragma once

#include "histogram.h"
#include "lines.h"
#include "record_fit.h"

#include "staged_file.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace murel::analysis {

/// The binnings and the axis calibration of an analysis.
struct binning {
    int spectrum_bins = 6555;        ///< fine amplitude bins; the defaults hold 0 to 65540 ADC in 10-ADC steps
    double spectrum_min = 0.0;       ///< ADC, centre of the first bin
    double spectrum_max = 65540.0;   ///< ADC, centre of the last bin
    int map_bins = 256;              ///< bins per axis of the A-against-B map
    double map_min = 0.0, map_max = 65535.0;  ///< ADC
    int residual_bins = 401;         ///< bins of the truth residual histogram
    double residual_range = 100.0;   ///< ADC; the residual axis runs from -range to +range
    double factor = 1.0, offset = 0.0;  ///< axis calibration, x * factor + offset
    bool calibrated = false;

    /// Throws std::invalid_argument naming the first setting that cannot make a histogram.
    void check() const;
    nlohmann::json to_json() const;
    static binning from_json(const nlohmann::json& j);
    bool operator==(const binning& other) const;
};

/// A flagged record, for the list in the summary.
struct flagged_record {
    std::uint64_t sequence;  ///< position of the event among all the analysed events
    std::string file;
    std::uint64_t event;
    int channel;             ///< 0 for A, 1 for B
    record_flag flag;
};

/// A 128-bit integer, wide enough for exact sums of squared residuals.
__extension__ typedef __int128 wide_int;

/// Exact sums of truth residuals, quantised to 1/1024 ADC so that they add up in any order.
struct residual_sums {
    std::int64_t records = 0;
    wide_int sum = 0, sum_squares = 0;
    void add(double residual);
    residual_sums& operator+=(const residual_sums& other);
    double bias() const;
    double rms() const;
};

/// The totals of one analysis.
class totals {
public:
    explicit totals(const binning& bins);

    /// The bytes that totals of `bins` hold at most, with or without truth residuals.
    static std::size_t bytes(const binning& bins, bool with_truth);

    /// Counts one record of `channel` (0 A, 1 B); `truth` is the true amplitude or NaN when unknown.
    void add_record(int channel, const pulse_estimate& estimate, double truth);
    /// Counts one event's two unflagged amplitudes in the map.
    void add_pair(double amplitude_a, double amplitude_b);
    /// Keeps the record among the first flagged ones.
    void add_flagged(flagged_record record);
    /// Adds `other`, whose flagged records come `sequence_offset` events later; throws
    /// std::invalid_argument naming both binnings if they differ, or the channel whose records
    /// would add up to more than 2^53.
    void add(const totals& other, std::uint64_t sequence_offset = 0);

    /// Writes spectrum.txt, map.txt, map1.ppm, gate-<k>.txt, residuals.txt (with truth) and
    /// summary.json, which lists the size and hash of every other output, `along` included,
    /// into `dir` (staged, all renamed into place at the end with termination signals held
    /// back), removes gate tables and residuals.txt left there by an earlier run, then prints
    /// the readable summary to `out`; returns the summary.  Throws std::system_error naming a
    /// file that cannot be written, murel::interruption (nothing renamed) once a guarded
    /// signal has arrived.
    nlohmann::json write(const std::string& dir, std::FILE* out, const std::vector<staged_file*>& along = {}) const;

    /// Reads the totals back from a directory that `write` filled; throws std::system_error or
    /// std::invalid_argument naming the file (and line) that is missing or malformed, holds a
    /// count that is not a whole number from 0 to 2^53, or disagrees with the others, and
    /// std::runtime_error naming a file that differs from the summary's list (a mixed or incomplete set).
    static totals read(const std::string& dir);

    std::vector<std::string> files;
    int samples = 0;
    std::uint64_t header_bytes = 0;
    bool with_truth = false;
    std::array<std::int64_t, 2> records{}, clipped{}, no_pulse{}, fit_failed{}, poor_fit{};

private:
    // Throws std::invalid_argument naming the files of `dir` whose counts disagree.
    void check_counts(const std::string& dir) const;
    // The summary of channel c (0 A, 1 B) with its lines.
    nlohmann::json channel_summary(int c, const std::vector<line_measurement>& lines) const;
    // Writes the B spectrum gated on A line k to `path` and returns its summary.
    nlohmann::json write_gate(const std::string& path, std::size_t k, const line_measurement& line,
                              const std::vector<line_measurement>& b_lines) const;

    binning bins_;
    histogram1D spectrum_;   // raw ADC axis, columns A and B
    histogram2D map_;        // calibrated axes, one column
    histogram1D residuals_;  // ADC, columns A and B
    std::array<std::vector<residual_sums>, 2> residual_by_bin_;  // per fine spectrum bin
    std::vector<flagged_record> flagged_;
};

/// Prints the warnings of a summary that `write` returned on `err`, each as "murel: warning: ...".
void print_warnings(const nlohmann::json& summary, std::FILE* err);

/// Records kept in the summary's list of flagged records.
inline constexpr std::size_t flagged_listed = 32;

}  // namespace murel::analysis
