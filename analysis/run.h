// Analysing digitiser files on every core: each record fitted, everything counted in totals.
#pragma once

#include "chain.h"
#include "format.h"
#include "record_fit.h"
#include "totals.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace murel::analysis {

/// Which way the pulses of a channel go: decided from the data, or given.
enum class polarity_choice { automatic, positive, negative };

/// The polarity called "auto", "positive" or "negative"; throws std::invalid_argument naming
/// any other name.
polarity_choice polarity_named(const std::string& name);

/// How to read and measure the inputs of an analysis.
struct analysis_options {
    std::string format;                  ///< the format of every input; empty: recognised per file
    formats::reader_options reading;     ///< record length and header where the format needs them, strictness
    polarity_choice polarity = polarity_choice::automatic;
    std::vector<std::string> pair;       ///< the two channels of the map; empty: the first two
    double coincidence_ns = 100.0;       ///< list-mode files: the largest time stamp difference within a pair
    std::string truth_path;              ///< a truth table of murel generate, or empty
    chain processing;                    ///< the method and processor settings of each channel
    unsigned threads = 0;                ///< 0: one per core
    std::optional<int> bits;             ///< the ADC's bits behind cdb files' 16-bit samples
};

/// Files read as one stream of records: one file, or the channel files of one WaveDump acquisition.
struct acquisition {
    std::vector<std::string> paths;
    std::string format;
    std::vector<formats::channel_info> channels;
    std::optional<std::size_t> samples;  ///< the record length where the format gives it
    std::uint64_t estimated_records = 0; ///< for progress
};

/// The inputs of an analysis, checked before any work starts.
struct analysis_plan {
    std::vector<acquisition> acquisitions;
    std::vector<std::string> channels;   ///< every channel name, in the order of first appearance
    std::optional<channel_pair> pair;    ///< none for a single channel
    std::vector<channel_processing> processing;  ///< of each channel, in samples
    std::uint64_t estimated_records = 0;
};

/// One measured record, for records.csv.
struct record_result {
    const std::string* file;
    std::uint64_t event;
    std::size_t channel;                     ///< index into analysis_plan::channels
    std::optional<std::uint64_t> timestamp;  ///< in ticks of the channel's time stamps
    std::optional<double> daq_energy;
    method how;                              ///< fit, trapezoid or charge
    pulse_estimate estimate;
    record_measures measures;
};

/// Receives the results of consecutive records, in the order the files hold them (one call at a time).
using record_sink = std::function<void(const std::vector<record_result>& results)>;
/// Receives the number of records just finished, from any thread.
using progress_sink = std::function<void(std::uint64_t records)>;

/// +1 when the pulses of a record rise from its baseline (the median of its leading_samples),
/// -1 when they fall (0 for no samples); `scratch` is working storage.
int excursion_sign(const std::int32_t* samples, std::size_t count, std::vector<std::int32_t>& scratch);

/// The values a channel's digitiser stores; 16-bit signed where the format does not say.
sample_range stored_range(const formats::channel_info& channel);

/// Opens each of `paths` once to learn its format and channels, and groups WaveDump channel
/// files given one after another into acquisitions (a channel seen again starts the next).
/// Throws std::invalid_argument for options that do not fit the inputs (an unknown format or
/// pair channel, a record length for a format that has its own, a chain naming an unknown
/// channel or with lengths that do not fit a channel's records), std::runtime_error naming a
/// file that no reader recognises or that holds no channel, std::system_error naming a file
/// that cannot be read.
analysis_plan plan_analysis(const std::vector<std::string>& paths, const analysis_options& options);

/// Measures every record of the plan's files, in order, on the options' threads and returns the
/// totals; threads share their histograms where copies for each would take more than 64 MiB.
/// A channel of method auto takes the one its first records suit, and one without a decay time
/// the median of their tails'.  With a truth table, its rows give the true amplitudes of the
/// first two channels (A and B) of each event, matched by event counter (pile-up rows skipped):
/// the table's first event stands for the first event of the data, and the records of an event
/// may come in any order.  Throws std::runtime_error naming a corrupt
/// file and byte offset (or a cut-off file when reading strictly), std::system_error naming a
/// file that cannot be read and std::invalid_argument naming a truth row that does not fit.
totals analyse(const analysis_plan& plan, const binning& bins, const analysis_options& options,
               const record_sink& records = {}, const progress_sink& progress = {});

}  // namespace murel::analysis
