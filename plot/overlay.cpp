#include "overlay.h"

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

}  // namespace murel::plot
