#include "overlay.h"

#include "path_json.h"
#include "record_fit.h"
#include "run.h"

#include <algorithm>
#include <cmath>

namespace murel::plot {

record_overlay fitted_pulse() {
    return [](const record_view& record) -> std::vector<trace> {
        const std::size_t count = std::min<std::size_t>(record.samples.size(), 1 << 30);
        std::vector<std::int32_t> scratch;
        const int sign = record.polarity != 0 ? record.polarity
                                              : analysis::excursion_sign(record.samples.data(), count, scratch);
        analysis::record_fitter fitter(analysis::stored_range(record.channel));
        const analysis::pulse_estimate fit = fitter.fit(record.samples.data(), static_cast<int>(count), sign);
        if (fit.flag != analysis::record_flag::ok) return {};
        trace pulse{"fitted pulse", trace_style::pulse, std::vector<double>(count)};
        for (std::size_t j = 0; j < count; ++j) {
            const double u = (static_cast<double>(j) - fit.centre) / fit.width;
            pulse.values[j] = fit.baseline + (sign < 0 ? -1.0 : 1.0) * fit.amplitude * std::exp(-u * u);
        }
        return {pulse, {"baseline", trace_style::level, std::vector<double>(count, fit.baseline)}};
    };
}

record_overlay method_result(std::map<std::string, analysis::channel_processing> processing) {
    return [fitted = fitted_pulse(), processing = std::move(processing)](const record_view& record) -> std::vector<trace> {
        // The data file names a channel as it is, summary.json as JSON can.
        const auto found = processing.find(analysis::shown_in_json(record.channel.name));
        if (found == processing.end() || (found->second.choice != analysis::method::trapezoid &&
                                          found->second.choice != analysis::method::charge))
            return fitted(record);
        const analysis::channel_processing& p = found->second;
        const std::size_t count = record.samples.size();
        std::vector<std::int32_t> scratch, negated;
        const int sign = record.polarity != 0 ? record.polarity
                                              : analysis::excursion_sign(record.samples.data(), count, scratch);
        // Measured as the analysis measures it: pulses turned upright, the ADC's range with them.
        const std::int32_t* upright = analysis::upright_samples(record.samples.data(), count, sign, negated);
        const analysis::sample_range range = analysis::upright_range(analysis::stored_range(record.channel), sign);
        analysis::record_processor processor;
        analysis::pulse_estimate estimate;
        const analysis::record_measures measured =
            processor.process(upright, count, p, p.choice, p.decay, range, estimate);
        const double way = sign < 0 ? -1.0 : 1.0;
        const auto stored = [&](double above_baseline) { return way * (estimate.baseline + above_baseline); };
        const trace baseline{"baseline", trace_style::level, std::vector<double>(count, stored(0.0))};
        if (p.choice == analysis::method::trapezoid) {
            if (!measured.trap_energy) return {};
            trace output{"trapezoid output", trace_style::output, processor.trapezoid_output(upright, count, p, p.decay)};
            for (double& value : output.values) value = stored(value);
            trace pick{"pick-off", trace_style::mark, std::vector<double>(count, NAN)};
            pick.values[analysis::trapezoid_pick_off(*measured.t_cfd, p)] = stored(*measured.trap_energy);
            return {output, pick, baseline};
        }
        if (!measured.charge) return {};
        const std::size_t start = analysis::gate_start(*measured.t_cfd, p);
        const auto gate = [&](const char* title, std::size_t length) {
            trace span{title, trace_style::span, std::vector<double>(count, NAN)};
            std::fill(span.values.begin() + static_cast<std::ptrdiff_t>(start),
                      span.values.begin() + static_cast<std::ptrdiff_t>(start + std::min(length, count - start)), stored(0.0));
            return span;
        };
        return {gate("long gate", p.long_gate), gate("short gate", p.short_gate), baseline};
    };
}

}  // namespace murel::plot
