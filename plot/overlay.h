// Curves drawn over a record's samples in a gallery: each overlay looks at one record and
// gives the traces it wants drawn, so that another measurement can join as one more overlay.
#pragma once

#include "chain.h"
#include "format.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace murel::plot {

/// How a trace is drawn: the fitted pulse, a level such as the baseline, a processor's output
/// such as the trapezoid's, single points such as a pick-off, or a stretch of samples such as a
/// gate, shaded over the panel's height where its values are finite.
enum class trace_style { pulse, level, output, mark, span };

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

/// The result of each channel's method, from its processing by channel name: for trapezoid
/// channels the filter's output over the baseline and its value at the pick-off (a mark), for
/// charge channels the long and short gates (spans) and the baseline, and the fitted pulse for
/// fit channels and channels without processing; nothing for a record the method cannot measure.
record_overlay method_result(std::map<std::string, analysis::channel_processing> processing);

}  // namespace murel::plot
