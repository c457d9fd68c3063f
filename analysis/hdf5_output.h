// analysis.h5: an analysis's results in one HDF5 file, for h5py and Python's histogram
// libraries: the histograms, the per-record table, the lines and the rest of the summary.
#pragma once

#include "histogram.h"
#include "run.h"
#include "staged_file.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace murel::analysis {

/// The staged analysis.h5 of an output directory: records stream in while the analysis runs,
/// the totals' results go in at the end; complete or absent, like the other outputs.
class hdf5_output {
public:
    /// Stages `dir`/analysis.h5; throws std::system_error naming it.
    explicit hdf5_output(const std::string& dir);
    hdf5_output(const hdf5_output&) = delete;
    hdf5_output& operator=(const hdf5_output&) = delete;
    ~hdf5_output();

    /// Appends records to the table `records` (columns as records.csv); `channels` names the
    /// channel indices, `tick_seconds` the period of each channel's time stamps (seconds).
    void add_records(const std::vector<record_result>& results, const std::vector<std::string>& channels,
                     const std::vector<std::optional<double>>& tick_seconds);

    /// Writes the histograms (a column per channel of `spectrum`, the map, the gated spectra of
    /// the summary's gates, the residuals), the tables of lines, channels, truth residuals, gates,
    /// flagged records, and the summary's other entries, then closes the file; throws
    /// std::system_error naming it.
    void write_results(const histogram1D& spectrum, const histogram2D* map, const histogram1D* residuals,
                       const nlohmann::json& summary);

    /// The staged file, to be listed and committed with the other outputs.
    staged_file& file() { return *staged_; }

private:
    struct record_table;
    std::unique_ptr<staged_file> staged_;
    std::int64_t file_ = -1;  // the HDF5 file, a hid_t
    std::unique_ptr<record_table> records_;
};

}  // namespace murel::analysis
