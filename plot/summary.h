// What plot needs from an analysis directory's summary.json.
#pragma once

#include "calibration.h"
#include "chain.h"
#include "totals.h"
#include "units.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace murel::plot {

/// One spectral line found in a channel, in axis units, with the fitted curve where known: the
/// expected entries of the fine bin centred at x of width w are background + background_slope
/// (x - background_reference) + counts (Phi((x + w/2 - position) / sigma) - Phi((x - w/2 -
/// position) / sigma)), sigma = fwhm / 2.3548, over the stretch the fit covered.
struct found_line {
    double position = 0, position_error = 0, fwhm = 0, fwhm_error = 0;
    double counts = 0;
    double background = 0, background_slope = 0, background_reference = 0;
    std::optional<std::pair<double, double>> fit_range;  // none when the summary lacks the curve
};

/// One channel's lines, the way its pulses go and its amplitude residuals against the truth,
/// when known.
struct channel_summary {
    std::string name;
    std::vector<found_line> lines;
    std::optional<double> residual_bias, residual_rms;
    int polarity = 0;  // +1 pulses rise, -1 they fall, 0 unknown or both
    /// The method and settings its records were measured with, the pole-zero decay time the
    /// analysis estimated in place of one not given; none where the summary does not say.
    std::optional<analysis::channel_processing> processing;
    /// Its calibration by lines (--calibrate-lines), if any.
    std::optional<analysis::line_calibration> calibration;
};

/// The spectrum of the pair's second channel gated on line `line` of its first, whose amplitude
/// lay in [low, high].
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
    /// Every channel in the order of the spectrum's columns; A and B for a summary that does not
    /// name its channels.
    std::vector<channel_summary> channels;
    /// The map's channels, first against second; the first two channels where not said.
    std::optional<std::pair<std::string, std::string>> pair;
    std::vector<gate> gates;
    std::vector<flagged_record> flagged;
    /// The analysed files, and how they were read (format empty where not recorded).
    std::vector<std::string> files;
    std::string format;
    std::optional<std::size_t> samples;
    std::optional<std::uint64_t> header_bytes;
    /// The binning and axis calibration, where the summary records them.
    std::optional<analysis::binning> binning;

    /// Reads `path`; throws std::system_error when it cannot be read and
    /// std::invalid_argument, naming the path, when it is not JSON of the expected shape or
    /// names a unit or flag that is not known (naming the field and the value).
    static analysis_summary read(const std::string& path);
    /// The axis unit as an axis label shows it, such as "ADC" or "keV".
    std::string unit_label() const;
    /// The channel called `name`, or none.
    const channel_summary* channel(const std::string& name) const;
    /// The analysed data as a title names it: its file name, or the first and last of several.
    std::string data_name() const;
};

}  // namespace murel::plot
