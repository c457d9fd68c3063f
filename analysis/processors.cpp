#include "processors.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace murel::analysis {

std::size_t leading_samples(std::size_t count) { return std::max(std::min<std::size_t>(count, 8), count / 16); }

baseline_estimate measure_baseline(const std::int32_t* samples, std::size_t count) {
    baseline_estimate b;
    if (count == 0) return b;
    // One pass of sums about the first sample, which keeps their squares small.
    const double first = samples[0];
    double sum = 0.0, weighted = 0.0, squares = 0.0;
    for (std::size_t j = 0; j < count; ++j) {
        const double y = samples[j] - first;
        sum += y;
        weighted += static_cast<double>(j) * y;
        squares += y * y;
    }
    const double n = static_cast<double>(count);
    b.mean = first + sum / n;
    if (count == 1) return b;
    // Indices about their centre make the slope independent of the mean.
    const double centre = 0.5 * (n - 1.0), spread = n * (n * n - 1.0) / 12.0;
    b.slope = (weighted - centre * sum) / spread;
    const double about_line = squares - sum * sum / n - b.slope * b.slope * spread;
    b.rms = std::sqrt(std::max(about_line, 0.0) / n);
    return b;
}

void pole_zero(const double* x, std::size_t count, double decay, double* out) {
    if (!(decay > 0.0) || !std::isfinite(decay))
        throw std::invalid_argument("a decay time of " + std::to_string(decay) + " samples: it must be above 0 and finite");
    const double gain = -std::expm1(-1.0 / decay);
    double earlier = 0.0;
    for (std::size_t j = 0; j < count; ++j) {
        const double value = x[j];
        out[j] = value + gain * earlier;
        earlier += value;
    }
}

std::optional<double> estimate_decay(const double* x, std::size_t count, std::size_t from) {
    if (from >= count || !(x[from] > 0.0)) return std::nullopt;
    const double low = 0.2 * x[from];
    // ln x weighted by x^2: its noise is the samples' noise over x.
    double sw = 0.0, st = 0.0, sy = 0.0, stt = 0.0, sty = 0.0;
    std::size_t used = 0;
    for (std::size_t j = from; j < count && x[j] > low; ++j, ++used) {
        const double w = x[j] * x[j], t = static_cast<double>(j - from), y = std::log(x[j]);
        sw += w, st += w * t, sy += w * y, stt += w * t * t, sty += w * t * y;
    }
    if (used < 8) return std::nullopt;
    const double slope = (sw * sty - st * sy) / (sw * stt - st * st);
    if (!(slope < 0.0) || !std::isfinite(slope)) return std::nullopt;
    return -1.0 / slope;
}

void trapezoid(const double* x, std::size_t count, std::size_t rise, std::size_t flat_top, double* out) {
    if (rise == 0) throw std::invalid_argument("a trapezoid needs a rise of at least 1 sample");
    // Each window's sum moves along the record: the sample that enters is added, the one that leaves taken off.
    const std::size_t gap = rise + flat_top;
    double leading = 0.0, trailing = 0.0;
    const double scale = 1.0 / static_cast<double>(rise);
    const auto at = [x](std::size_t j, std::size_t back) { return j >= back ? x[j - back] : 0.0; };
    for (std::size_t j = 0; j < count; ++j) {
        leading += x[j] - at(j, rise);
        trailing += at(j, gap) - at(j, gap + rise);
        out[j] = (leading - trailing) * scale;
    }
}

charge_estimate integrate(const double* x, std::size_t count, std::size_t start, std::size_t long_gate, std::size_t short_gate) {
    charge_estimate c;
    const std::size_t long_end = std::min(count, start + std::min(long_gate, count));
    const std::size_t short_end = std::min(long_end, start + std::min(short_gate, count));
    for (std::size_t j = start; j < long_end; ++j) {
        c.charge += x[j];
        if (j < short_end) c.short_charge += x[j];
    }
    if (c.charge != 0.0) c.psd = (c.charge - c.short_charge) / c.charge;
    return c;
}

namespace {

double interpolate(const double* x, std::size_t below, double level) {
    const double a = x[below], b = x[below + 1];
    return static_cast<double>(below) + (b > a ? (level - a) / (b - a) : 0.0);
}

}  // namespace

std::optional<double> rising_crossing(const double* x, std::size_t count, double level, std::size_t from, std::size_t to) {
    to = std::min(to, count);
    for (std::size_t j = std::max<std::size_t>(from, 1); j < to; ++j)
        if (x[j] > level && x[j - 1] <= level) return interpolate(x, j - 1, level);
    return std::nullopt;
}

std::optional<double> edge_crossing(const double* x, std::size_t count, double level, std::size_t peak) {
    if (peak >= count || !(x[peak] > level)) return std::nullopt;
    for (std::size_t j = peak; j > 0; --j)
        if (x[j - 1] <= level) return interpolate(x, j - 1, level);
    return std::nullopt;
}

std::optional<double> rise_time(const double* x, std::size_t count, std::size_t peak, double height) {
    if (!(height > 0.0)) return std::nullopt;
    const std::optional<double> low = edge_crossing(x, count, 0.1 * height, peak);
    const std::optional<double> high = edge_crossing(x, count, 0.9 * height, peak);
    if (!low || !high) return std::nullopt;
    return *high - *low;
}

bool saturated(const std::int32_t* samples, std::size_t count, std::int32_t lowest, std::int32_t highest) {
    if (count == 0) return false;
    // Branch-free extremes, which the compiler vectorises.
    std::int32_t low = samples[0], high = samples[0];
    for (std::size_t j = 0; j < count; ++j) low = std::min(low, samples[j]), high = std::max(high, samples[j]);
    if (low <= lowest || high >= highest) return true;
    // No two samples differ by more than the spread of all.
    const std::int64_t half = (std::int64_t{highest} - lowest + 1) / 2;
    if (std::int64_t{high} - low <= half) return false;
    std::int64_t jump = 0;
    for (std::size_t j = 1; j < count; ++j) {
        const std::int64_t d = std::int64_t{samples[j]} - samples[j - 1];
        jump = std::max(jump, d < 0 ? -d : d);
    }
    return jump > half;
}

bool piled_up(const double* x, std::size_t count, std::size_t window, double threshold) {
    if (window == 0 || count < 2 * window) return false;
    enum { waiting, rising, falling } phase = waiting;
    // Sums rather than means: the threshold scales instead of every difference.
    threshold *= static_cast<double>(window);
    double recent = 0.0, older = 0.0, extreme = 0.0;
    for (std::size_t j = 0; j < count; ++j) {
        recent += x[j] - (j >= window ? x[j - window] : 0.0);
        if (j >= window) older += x[j - window] - (j >= 2 * window ? x[j - 2 * window] : 0.0);
        if (j + 1 < 2 * window) continue;
        const double d = recent - older;
        switch (phase) {
            case waiting:
                if (d > threshold) phase = rising, extreme = d;
                break;
            case rising:
                extreme = std::max(extreme, d);
                if (d < extreme - threshold) phase = falling, extreme = d;
                break;
            case falling:
                extreme = std::min(extreme, d);
                if (d > threshold && d > extreme + threshold) return true;
                break;
        }
    }
    return false;
}

}  // namespace murel::analysis
