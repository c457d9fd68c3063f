// What plot needs from an analysis directory's summary.json.
#pragma once

#include "units.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace murel::plot {

/// One spectral line found in a channel, in axis units.
struct found_line {
    double position = 0, position_error = 0, fwhm = 0, fwhm_error = 0;
};

/// One channel's lines and its amplitude residuals against the truth, when known.
struct channel_summary {
    std::vector<found_line> lines;
    std::optional<double> residual_bias, residual_rms;
};

/// The B spectrum gated on line `line` of channel A, whose amplitude lay in [low, high].
struct gate {
    int line = 0;
    std::string file;
    double low = 0, high = 0;
};

/// A record that the analysis set aside: its file, 0-based event, channel and why.
struct flagged_record {
    std::string file;
    std::uint64_t event = 0;
    std::string channel, flag;
};

using analysis::known_units;
using analysis::unit_name;

/// Every flag that the analysis may give a record, as summary.json names it.
const std::vector<std::string>& known_flags();

/// The parts of summary.json that the pictures show.
struct analysis_summary {
    std::string unit = "ADC";
    channel_summary a, b;
    std::vector<gate> gates;
    std::vector<flagged_record> flagged;

    /// Reads `path`; throws std::system_error when it cannot be read and
    /// std::invalid_argument, naming the path, when it is not JSON of the expected shape or
    /// names a unit or flag that is not known (naming the field and the value).
    static analysis_summary read(const std::string& path);
    /// The axis unit as an axis label shows it, such as "ADC" or "calibrated units".
    std::string unit_label() const;
};

}  // namespace murel::plot
