// Curves drawn over a record's samples in a gallery: each overlay looks at one record and
// gives the traces it wants drawn, so that another measurement can join as one more overlay.
#pragma once

#include "format.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace murel::plot {

/// How a trace is drawn: the fitted or processed pulse, or a level such as the baseline.
enum class trace_style { pulse, level };

/// One curve over a record: its title in the key (empty: none) and one value per sample, NaN
/// where nothing is drawn.
struct trace {
    std::string title;
    trace_style style = trace_style::pulse;
    std::vector<double> values;
};

/// A record as an overlay sees it: its channel, its samples, and the way its pulses go as the
/// analysis found (+1 up, -1 down, 0 not known).
struct record_view {
    const formats::channel_info& channel;
    const std::vector<std::int32_t>& samples;
    int polarity = 0;
};

/// Something drawn over each record; returns no trace for a record it has nothing to show of.
using record_overlay = std::function<std::vector<trace>(const record_view& record)>;

/// The pulse the analysis fits to a record, b + a exp(-(j - c)^2 / w^2) going the record's way,
/// and its baseline b; nothing for a record the fit flags.
record_overlay fitted_pulse();

}  // namespace murel::plot
