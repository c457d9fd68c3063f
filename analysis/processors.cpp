#include "processors.h"

#include "vector_clones.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace murel::analysis {

std::size_t leading_samples(std::size_t count) { return std::max(std::min<std::size_t>(count, 8), count / 16); }

MUREL_VECTOR_CLONES baseline_estimate measure_baseline(const std::int32_t* samples, std::size_t count) {
    baseline_estimate b;
    if (count == 0) return b;
    // One pass of sums about the first sample, which keeps their squares small, in four lanes
    // that do not wait on one another.  For whole-number samples each sum is exact, whatever the order.
    const double first = samples[0];
    using four_ints = std::int32_t __attribute__((vector_size(16)));
    using four_doubles = double __attribute__((vector_size(32)));
    four_doubles sums{}, weighted_sums{}, square_sums{}, position{0.0, 1.0, 2.0, 3.0};
    const four_doubles step{4.0, 4.0, 4.0, 4.0};
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4) {
        four_ints raw;
        std::memcpy(&raw, samples + j, sizeof raw);
        const four_doubles y = __builtin_convertvector(raw, four_doubles) - first;
        sums += y;
        weighted_sums += position * y;
        square_sums += y * y;
        position += step;
    }
    for (; j < count; ++j) {
        const double y = samples[j] - first;
        sums[0] += y;
        weighted_sums[0] += static_cast<double>(j) * y;
        square_sums[0] += y * y;
    }
    const auto total = [](const four_doubles& v) { return (v[0] + v[1]) + (v[2] + v[3]); };
    const double sum = total(sums), weighted = total(weighted_sums), squares = total(square_sums);
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

namespace {

// out[j] = start + step[0] + ... + step[j - 1] (or up to step[j] when `inclusive`).  Each block of
// four adds its own partial sums and then the running total once: a running sum waits on each
// addition before the next, and this waits on a quarter of them.
void running_sum(const double* step, std::size_t count, double start, double* out, bool inclusive) {
    double total = start;
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4) {
        const double a = step[j], b = a + step[j + 1], c = b + step[j + 2], d = c + step[j + 3];
        if (inclusive) {
            out[j] = total + a, out[j + 1] = total + b, out[j + 2] = total + c, out[j + 3] = total + d;
        } else {
            out[j] = total, out[j + 1] = total + a, out[j + 2] = total + b, out[j + 3] = total + c;
        }
        total += d;
    }
    for (; j < count; ++j) {
        if (!inclusive) out[j] = total;
        total += step[j];
        if (inclusive) out[j] = total;
    }
}

}  // namespace

double pole_zero_gain(double decay) {
    if (!(decay > 0.0) || !std::isfinite(decay))
        throw std::invalid_argument("a decay time of " + std::to_string(decay) + " samples: it must be above 0 and finite");
    return -std::expm1(-1.0 / decay);
}

void pole_zero(const double* x, std::size_t count, double decay, double* out, double earlier) {
    const double gain = pole_zero_gain(decay);
    running_sum(x, count, earlier, out, false);
    for (std::size_t j = 0; j < count; ++j) out[j] = x[j] + gain * out[j];
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

void running_sums(const double* x, std::size_t count, double* out) { running_sum(x, count, 0.0, out, true); }

namespace {

// The sum of x over the `length` samples up to j, from the running sums of x, 0 before the record.
double window_sum(const double* sums, std::size_t j, std::size_t length) {
    return sums[j] - (j >= length ? sums[j - length] : 0.0);
}

}  // namespace

void trapezoid(const double* sums, std::size_t first, std::size_t count, std::size_t rise, std::size_t flat_top, double* out) {
    if (rise == 0) throw std::invalid_argument("a trapezoid needs a rise of at least 1 sample");
    const std::size_t gap = rise + flat_top;
    const double scale = 1.0 / static_cast<double>(rise);
    for (std::size_t j = first; j < count; ++j) {
        const double leading = window_sum(sums, j, rise);
        const double trailing = j >= gap ? window_sum(sums, j - gap, rise) : 0.0;
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

void edge_crossings(const double* x, std::size_t count, std::size_t peak, const double* levels, std::size_t n,
                    std::optional<double>* crossings) {
    // The crossing of a lower level lies at or before that of a higher one, since every sample
    // between the higher one's crossing and the peak is above both: one walk back finds them all.
    std::size_t order[8];
    if (n > 8) throw std::invalid_argument("edge_crossings looks for at most 8 levels, not " + std::to_string(n));
    for (std::size_t i = 0; i < n; ++i) {
        crossings[i].reset();
        // Highest level first, by insertion: a handful of levels.
        std::size_t k = i;
        for (; k > 0 && levels[order[k - 1]] < levels[i]; --k) order[k] = order[k - 1];
        order[k] = i;
    }
    if (peak >= count) return;
    std::size_t j = peak;
    for (std::size_t k = 0; k < n; ++k) {
        const double level = levels[order[k]];
        if (!(x[peak] > level)) continue;
        while (j > 0 && x[j - 1] > level) --j;
        if (j == 0) return;
        crossings[order[k]] = interpolate(x, j - 1, level);
    }
}

std::optional<double> edge_crossing(const double* x, std::size_t count, double level, std::size_t peak) {
    std::optional<double> crossing;
    edge_crossings(x, count, peak, &level, 1, &crossing);
    return crossing;
}

edge_times edge_times_of(const double* x, std::size_t count, std::size_t peak, double height, double threshold,
                         double cfd_fraction) {
    const double levels[4] = {threshold, cfd_fraction * height, 0.1 * height, 0.9 * height};
    std::optional<double> crossings[4];
    edge_crossings(x, count, peak, levels, 4, crossings);
    edge_times t{crossings[0], crossings[1], std::nullopt};
    if (height > 0.0 && crossings[2] && crossings[3]) t.rise_time = *crossings[3] - *crossings[2];
    return t;
}

MUREL_VECTOR_CLONES sample_extremes extremes_of(const std::int32_t* samples, std::size_t count) {
    if (count == 0) return {};
    // Selects rather than std::min and std::max, whose references keep the compiler from vectorising.
    std::int32_t low = samples[0], high = samples[0];
    for (std::size_t j = 0; j < count; ++j) {
        const std::int32_t value = samples[j];
        low = value < low ? value : low;
        high = value > high ? value : high;
    }
    return {low, high};
}

bool saturated(const std::int32_t* samples, std::size_t count, std::int32_t lowest, std::int32_t highest) {
    return saturated(samples, count, extremes_of(samples, count), lowest, highest);
}

bool saturated(const std::int32_t* samples, std::size_t count, sample_extremes extremes, std::int32_t lowest,
               std::int32_t highest) {
    if (count == 0) return false;
    const auto [low, high] = extremes;
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

namespace {

// value(0) to value(count - 1) folded from `start` by `pick`, in four lanes that do not wait on
// one another.
template <typename Value, typename Pick>
double four_lane_fold(std::size_t count, double start, Value value, Pick pick) {
    double lane[4] = {start, start, start, start};
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4)
        for (std::size_t k = 0; k < 4; ++k) lane[k] = pick(lane[k], value(j + k));
    for (; j < count; ++j) lane[0] = pick(lane[0], value(j));
    return pick(pick(lane[0], lane[1]), pick(lane[2], lane[3]));
}

// Lambdas rather than functions, so that each fold is made for its own and inlines it.
constexpr auto lower = [](double a, double b) { return std::min(a, b); };
constexpr auto higher = [](double a, double b) { return std::max(a, b); };

}  // namespace

double lowest_of(const double* v, std::size_t count) {
    return four_lane_fold(count, INFINITY, [v](std::size_t j) { return v[j]; }, lower);
}

double highest_of(const double* v, std::size_t count) {
    return four_lane_fold(count, -INFINITY, [v](std::size_t j) { return v[j]; }, higher);
}

MUREL_VECTOR_CLONES void subtract_baseline(const std::int32_t* samples, std::size_t count, double baseline, double* out) {
    for (std::size_t j = 0; j < count; ++j) out[j] = samples[j] - baseline;
}

linear_trend baseline_trend(double slope, double centre, double gain, std::size_t window, std::size_t origin) {
    // A baseline s (j - c) adds s w to each of a window's w differences x[j] - x[j - w], and its
    // pole-zero correction adds g times the sum of the w samples before each, s w (j - (w + 1) / 2 - c):
    // over the window, s w^2 (1 + g (j - w - c)).
    const double w = static_cast<double>(window), scale = slope * w * w;
    return {scale * (1.0 + gain * (static_cast<double>(origin) - w - centre)), scale * gain};
}

bool piled_up(const double* sums, std::size_t first, std::size_t count, std::size_t window, double threshold,
              linear_trend trend) {
    if (window == 0 || first >= count || count - first < 2 * window) return false;
    // Sums rather than means: the threshold scales instead of every difference.
    threshold *= static_cast<double>(window);
    // The later window's sum less the earlier one's, both ending at j, less the trend.
    const auto combine = [&trend](std::size_t j, double now, double one_back, double two_back) {
        return (now - one_back) - (one_back - two_back) - (trend.at + trend.per_sample * static_cast<double>(j));
    };
    const auto difference = [&](std::size_t j) {
        return combine(j, sums[j], sums[j - window], j >= 2 * window ? sums[j - 2 * window] : 0.0);
    };
    // The first j in [from, count) where the difference exceeds `level`, or count: eight at a
    // time where no window reaches before the record, which the compiler vectorises.
    const auto first_above = [&](std::size_t from, double level) {
        std::size_t j = from;
        for (; j < count && j < 2 * window; ++j)
            if (difference(j) > level) return j;
        for (; j + 8 <= count; j += 8) {
            bool any = false;
            for (std::size_t k = j; k < j + 8; ++k) any |= combine(k, sums[k], sums[k - window], sums[k - 2 * window]) > level;
            if (any) break;
        }
        for (; j < count; ++j)
            if (difference(j) > level) return j;
        return count;
    };
    const auto lowest_difference = [&](std::size_t from, std::size_t to) {
        return four_lane_fold(to - from, INFINITY, [&](std::size_t k) { return difference(from + k); }, lower);
    };
    // The first edge: the difference rises above the threshold, peaks, and falls back by more than it.
    std::size_t j = first_above(first + 2 * window - 1, threshold);
    if (j == count) return false;
    double extreme = difference(j);
    for (++j; j < count; ++j) {
        const double d = difference(j);
        extreme = std::max(extreme, d);
        if (d < extreme - threshold) break;
    }
    if (j == count) return false;
    // A second edge: the difference rises above the threshold again, and by more than it from the
    // lowest it fell to, which is only looked for then.
    extreme = difference(j);
    for (std::size_t unseen = j + 1;;) {
        j = first_above(j + 1, threshold);
        if (j == count) return false;
        extreme = std::min(extreme, lowest_difference(unseen, j + 1));
        unseen = j + 1;
        if (difference(j) > extreme + threshold) return true;
    }
}

}  // namespace murel::analysis
