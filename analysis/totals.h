// Everything an analysis keeps of its records: the histograms, the counts of flagged records,
// the truth residual sums, and the outputs written from them.  Two totals of the same
// binning add up exactly, whatever order their records came in.
#pragma once

#include "histogram.h"
#include "lines.h"
#include "record_fit.h"

#include "file_digest.h"
#include "staged_file.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace murel::analysis {

class hdf5_output;

/// The binnings and the axis calibration of an analysis.
struct binning {
    static constexpr int most_spectrum_bins = 1 << 22;  ///< also the most residual bins
    static constexpr int most_map_bins = 4096;
    int spectrum_bins = 6555;        ///< fine amplitude bins; the defaults hold 0 to 65540 ADC in 10-ADC steps
    double spectrum_min = 0.0;       ///< ADC, centre of the first bin
    double spectrum_max = 65540.0;   ///< ADC, centre of the last bin
    int map_bins = 256;              ///< bins per axis of the map of one channel against another
    double map_min = 0.0, map_max = 65535.0;  ///< ADC
    int residual_bins = 401;         ///< bins of the truth residual histogram
    double residual_range = 100.0;   ///< ADC; the residual axis runs from -range to +range
    double factor = 1.0, offset = 0.0;  ///< axis calibration, x * factor + offset
    bool calibrated = false;
    std::string unit = "calibrated";  ///< of the calibrated axes, one of known_units()

    /// Throws std::invalid_argument naming the first setting that cannot make a histogram, or
    /// an unknown unit.
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
    int channel;             ///< index into totals::channel_names
    record_flag flag;
};

/// A 128-bit integer, wide enough for exact sums of squared residuals.
__extension__ typedef __int128 wide_int;

/// Exact sums of truth residuals, quantised to 1/1024 ADC so that they add up in any order.
struct residual_sums {
    std::int64_t records = 0;
    wide_int sum = 0, sum_squares = 0;
    /// Adds one residual (ADC); throws std::invalid_argument, the sums unchanged, if they would overflow.
    void add(double residual);
    /// Throws std::invalid_argument, the sums unchanged, if the total would overflow.
    residual_sums& operator+=(const residual_sums& other);
    /// Whether `records` residuals, each clamped as add() clamps it, can give these sums.
    bool possible() const;
    double bias() const;
    double rms() const;
};

/// How the map's two channels were paired: records of one event, or, in list-mode files
/// without events, records whose time stamps lie within `coincidence_ns` of each other.
struct channel_pair {
    std::size_t x = 0, y = 1;        ///< indices into totals::channel_names
    bool by_time = false;
    double coincidence_ns = 0.0;
    bool operator==(const channel_pair& o) const {
        return x == o.x && y == o.y && by_time == o.by_time && coincidence_ns == o.coincidence_ns;
    }
};

/// A file analysed up to its last whole record.
struct cut_off_file {
    std::string file;
    std::uint64_t trailing_bytes;
};

/// One data file that an analysis read: its size and content hash, and, where murel generate
/// named it, the events of the data set it holds.
struct input_file {
    std::string file;
    file_digest digest;
    std::string data_set;  ///< 16 hex digits; empty when unknown
    std::uint64_t first_event = 0, events = 0;
};

/// Whether `a` and `b` are channel files of one acquisition: in one directory, with the same
/// events of the same data set.
bool same_acquisition(const input_file& a, const input_file& b);

/// Throws std::invalid_argument unless the inputs of the named `parts` (analyses) can be pieces
/// of one whole: the message names the two parts whose data sets differ (files without an
/// identity count as one more data set; a part that lists no inputs is not compared), and the
/// two files, of any parts, that hold the same content or overlap in the event range of their
/// data set.
void check_one_whole(const std::vector<std::pair<std::string, std::vector<input_file>>>& parts);

/// The first place where two JSON values differ, as "KEY.KEY: A and B"; empty when equal.
std::string first_difference(const nlohmann::json& a, const nlohmann::json& b);

/// The totals of one analysis.
class totals {
public:
    /// Totals of records of the named channels (at least one), the first two paired in the map;
    /// throws std::invalid_argument for no channels or a name given twice.
    explicit totals(const binning& bins, const std::vector<std::string>& channels = {"A", "B"});

    /// The bytes that totals of `bins` for `channels` channels hold at most, with or without
    /// truth residuals.
    static std::size_t bytes(const binning& bins, std::size_t channels, bool with_truth);

    /// Counts one record of channel index `channel`; `truth` is the true amplitude or NaN when unknown.
    void add_record(int channel, const pulse_estimate& estimate, double truth);
    /// Counts one pair of unflagged amplitudes in the map.
    void add_pair(double amplitude_x, double amplitude_y);
    /// Keeps the record among the first flagged ones.
    void add_flagged(flagged_record record);
    /// Adds `other`, whose flagged records come `sequence_offset` events later; throws
    /// std::invalid_argument naming both binnings, the channels or the pairs if they differ, or
    /// the channel whose records would add up to more than 2^53.
    void add(const totals& other, std::uint64_t sequence_offset = 0);

    /// Writes spectrum.txt, map.txt and map1.ppm and gate-<k>.txt (with a pair), residuals.txt
    /// (with truth) and summary.json, which lists the size and hash of every other output,
    /// `along` included, into `dir` (staged, all renamed into place at the end with termination
    /// signals held back), removes outputs left there by an earlier run that this one does not
    /// replace, then prints the readable summary to `out` (none when null); returns the summary.  Throws
    /// std::system_error naming a file that cannot be written, murel::interruption (nothing
    /// renamed) once a guarded signal has arrived.
    /// With `hdf5`, its results go in before the list is made; its file must be among `along`.
    nlohmann::json write(const std::string& dir, std::FILE* out, const std::vector<staged_file*>& along = {},
                         hdf5_output* hdf5 = nullptr) const;

    /// Reads the totals back from a directory that `write` filled, the histograms from its
    /// analysis.h5 where the summary's list of outputs names one, else from the text tables;
    /// throws std::system_error or std::invalid_argument naming the file (and line) that is
    /// missing or malformed, holds a count that is not a whole number from 0 to 2^53 (or, in
    /// analysis.h5, a count in a flow bin), or disagrees with the others, and
    /// std::runtime_error naming a file that differs from the summary's list (a mixed or
    /// incomplete set).  Several threads may read at once: their calls into HDF5 take turns.
    static totals read(const std::string& dir);

    /// The amplitude spectra on the raw ADC axis, one column per channel.
    const histogram1D& spectrum() const { return spectrum_; }
    /// The map of the paired channels, on calibrated axes.
    const histogram2D& map() const { return map_; }
    /// The binnings and calibration.
    const binning& bins() const { return bins_; }

    /// The paired channels, none for a single channel.
    const std::optional<channel_pair>& pair() const { return pair_; }
    /// Chooses the paired channels; throws std::out_of_range for an index past the channels and
    /// std::invalid_argument for a channel paired with itself.
    void set_pair(const channel_pair& pair);

    std::vector<std::string> files;
    std::vector<input_file> inputs;             ///< the files with their digests and identities
    nlohmann::json options = nlohmann::json::object();  ///< settings of the analysis that merged pieces must share
    std::string format = "cdb";
    int samples = 0;                            ///< samples per record; 0 when they differ
    std::optional<std::uint64_t> header_bytes;  ///< where the format has a header of a given size
    bool with_truth = false;
    std::vector<cut_off_file> cut_off;
    std::vector<std::string> channel_names;
    std::vector<std::string> polarities;       ///< per channel: "positive" or "negative"
    std::vector<std::optional<double>> tick_seconds;  ///< per channel: the period of a time stamp tick
    std::vector<std::int64_t> records, clipped, no_pulse, fit_failed, poor_fit, saturated, pileup;
    /// Per channel: its method and processor settings (null where not recorded); add refuses others.
    std::vector<nlohmann::json> processing;
    /// Per channel: the pole-zero decay time its tails gave, samples, where it was estimated.
    std::vector<std::optional<double>> estimated_decays;
    /// Energies of the lines each channel is calibrated by (write throws std::runtime_error when
    /// a channel has fewer lines); add refuses other energies.
    std::vector<double> line_energies;

private:
    // The files that read() took the histograms from.
    struct histogram_sources {
        std::string spectrum, map, residuals;
    };
    // Throws std::invalid_argument naming the files of `dir` whose counts disagree.
    void check_counts(const std::string& dir, const histogram_sources& read_from) const;
    // The summary of channel c with its lines.
    nlohmann::json channel_summary(int c, const std::vector<line_measurement>& lines) const;
    // The spectrum in energy, each channel calibrated by its lines, described in `calibrations`.
    histogram1D line_calibrated_spectrum(nlohmann::json& calibrations) const;
    // The warnings about channel c and its lines: no line found, too many records set aside.
    std::vector<std::string> channel_warnings(std::size_t c, const std::vector<line_measurement>& lines) const;
    // Writes the y spectrum gated on x line k to `path` and returns its summary.
    nlohmann::json write_gate(const std::string& path, std::size_t k, const line_measurement& line,
                              const std::vector<line_measurement>& y_lines) const;

    binning bins_;
    std::optional<channel_pair> pair_;
    histogram1D spectrum_;   // raw ADC axis, one column per channel
    histogram2D map_;        // calibrated axes, one column
    histogram1D residuals_;  // ADC, one column per channel
    std::vector<std::vector<residual_sums>> residual_by_bin_;  // per channel, per fine spectrum bin
    std::vector<flagged_record> flagged_;
};

/// Prints the warnings of a summary that `write` returned on `err`, each as "murel: warning: ...".
void print_warnings(const nlohmann::json& summary, std::FILE* err);

/// Records kept in the summary's list of flagged records.
inline constexpr std::size_t flagged_listed = 32;

}  // namespace murel::analysis
