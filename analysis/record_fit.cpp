#include "record_fit.h"
#include "gaussian.h"
#include "processors.h"
#include "vector_clones.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace murel::analysis {

const char* flag_name(record_flag flag) {
    switch (flag) {
        case record_flag::ok: return "ok";
        case record_flag::clipped: return "clipped";
        case record_flag::no_pulse: return "no_pulse";
        case record_flag::fit_failed: return "fit_failed";
        case record_flag::poor_fit: return "poor_fit";
        case record_flag::saturated: return "saturated";
        case record_flag::pileup: return "pileup";
    }
    return "fit_failed";
}

namespace {

constexpr int block = 8;  // samples per block of the first, coarse look at a record
// A pulse must stand this many noise sigmas of its smoothed block means above the baseline
// to be looked at, and its fitted amplitude this many standard errors above zero to count.
constexpr double detection_threshold = 2.0;
constexpr double significance_threshold = 5.0;

// Solves the symmetric positive definite 4x4 system m x = rhs by an LDL^T factorisation, with
// one division per pivot; false if m is not positive definite to working precision.
bool solve4(const double m[4][4], const double rhs[4], double x[4]) {
    double l[4][4] = {}, d[4], inverse[4];
    for (int j = 0; j < 4; ++j) {
        double pivot = m[j][j];
        for (int k = 0; k < j; ++k) pivot -= l[j][k] * l[j][k] * d[k];
        if (!(pivot > 1e-300 * std::abs(m[j][j]) && pivot > 0.0)) return false;
        d[j] = pivot;
        inverse[j] = 1.0 / pivot;
        for (int i = j + 1; i < 4; ++i) {
            double sum = m[i][j];
            for (int k = 0; k < j; ++k) sum -= l[i][k] * l[j][k] * d[k];
            l[i][j] = sum * inverse[j];
        }
    }
    double y[4];
    for (int i = 0; i < 4; ++i) {
        double sum = rhs[i];
        for (int k = 0; k < i; ++k) sum -= l[i][k] * y[k];
        y[i] = sum;
    }
    for (int i = 3; i >= 0; --i) {
        double sum = y[i] * inverse[i];
        for (int k = i + 1; k < 4; ++k) sum -= l[k][i] * x[k];
        x[i] = sum;
    }
    for (int i = 0; i < 4; ++i)
        if (!std::isfinite(x[i])) return false;
    return true;
}

}  // namespace

const std::int32_t* upright_samples(const std::int32_t* samples, std::size_t count, int sign, std::vector<std::int32_t>& scratch) {
    if (sign >= 0) return samples;
    // Stored values are at most 32 bits wide, so only INT32_MIN has no negation in int32.
    scratch.resize(count);
    for (std::size_t j = 0; j < count; ++j) scratch[j] = samples[j] == INT32_MIN ? INT32_MAX : -samples[j];
    return scratch.data();
}

pulse_estimate record_fitter::fit(const std::int32_t* samples, int count, int sign) {
    if (sign >= 0) return fit(samples, count);
    pulse_estimate estimate = fit(upright_samples(samples, static_cast<std::size_t>(std::max(count, 0)), sign, negated_), count);
    estimate.baseline = -estimate.baseline;
    return estimate;
}

bool record_fitter::clipped(const std::int32_t* x, int n) const {
    return saturated(x, static_cast<std::size_t>(std::max(n, 0)), range_.lowest, range_.highest);
}

double record_fitter::residual_variance(const std::int32_t* x, int n, const parameters& p) const {
    // The model at consecutive samples, walking out from the one nearest the centre: each
    // Gaussian value is the last times a ratio that shrinks by a constant factor.
    const double inverse = 1.0 / (p.sigma * p.sigma);
    const double shrink = std::exp(-inverse);
    const int middle = static_cast<int>(std::clamp(std::round(p.centre), 0.0, n - 1.0));
    const double d0 = middle - p.centre;
    const double e0 = std::exp(-0.5 * d0 * d0 * inverse);
    const auto squared_residual = [&](int j, double e_value) {
        const double r = x[j] - p.baseline - p.amplitude * e_value;
        return r * r;
    };
    double sum = squared_residual(middle, e0);
    double e_value = e0, ratio = std::exp(-0.5 * inverse * (2.0 * d0 + 1.0));
    for (int j = middle + 1; j < n; ++j, ratio *= shrink) sum += squared_residual(j, e_value *= ratio);
    e_value = e0, ratio = std::exp(-0.5 * inverse * (1.0 - 2.0 * d0));
    for (int j = middle - 1; j >= 0; --j, ratio *= shrink) sum += squared_residual(j, e_value *= ratio);
    return sum / n;
}

namespace {

// For each stretch of 64 samples from x[1] on, the mean squared second difference
// x[j - 1] - 2 x[j] + x[j + 1] over its first `sampled` samples, each difference capped at 46340
// so that its square fits 32 bits; worked out in `Whole`, which must hold four samples.
template <typename Whole>
inline __attribute__((always_inline)) void stretch_second_differences(const std::int32_t* x, int n, int sampled,
                                                                      std::vector<double>& out) {
    constexpr int stretch = 64;
    out.clear();
    for (int first = 1; first + 1 < n; first += stretch) {
        const int last = std::min(first + sampled, n - 1);
        std::uint64_t sum = 0;
        for (int j = first; j < last; ++j) {
            const Whole d2 = Whole{x[j - 1]} - 2 * Whole{x[j]} + x[j + 1];
            const Whole magnitude = d2 < 0 ? -d2 : d2;
            const auto capped = static_cast<std::uint32_t>(magnitude < 46340 ? magnitude : 46340);
            sum += capped * capped;
        }
        out.push_back(static_cast<double>(sum) / (last - first));
    }
}

// For samples within 2^29 of 0, whose second differences fit 32 bits: twice the lanes.
MUREL_VECTOR_CLONES void narrow_second_differences(const std::int32_t* x, int n, int sampled, std::vector<double>& out) {
    stretch_second_differences<std::int32_t>(x, n, sampled, out);
}

MUREL_VECTOR_CLONES void wide_second_differences(const std::int32_t* x, int n, int sampled, std::vector<double>& out) {
    stretch_second_differences<std::int64_t>(x, n, sampled, out);
}

}  // namespace

double record_fitter::noise_variance(const std::int32_t* x, int n, int sampled) {
    // Second differences see the noise (variance 6 sigma^2) but hardly a smooth pulse; the
    // median over stretches of the record is noise alone even where a narrow pulse or a step
    // bends a few samples sharply.  Differences beyond any noise are capped so that squares fit.
    // Only samples inside the range reach here: clipped ones are set aside first.
    constexpr std::int32_t narrow = std::int32_t{1} << 29;
    if (range_.lowest > -narrow && range_.highest < narrow) narrow_second_differences(x, n, sampled, stretch_noise_);
    else wide_second_differences(x, n, sampled, stretch_noise_);
    double variance = 0.25;  // the rounding to whole ADC counts, at least
    if (!stretch_noise_.empty()) {
        auto middle = stretch_noise_.begin() + static_cast<std::ptrdiff_t>(stretch_noise_.size() / 2);
        // A record has a few dozen stretches: sorting them is quicker than a selection.
        std::sort(stretch_noise_.begin(), stretch_noise_.end());
        variance = std::max(variance, *middle / 6.0);
    }
    return variance;
}

bool record_fitter::initial_guess(const std::int32_t* x, int n, parameters& guess) {
    const int blocks = (n + block - 1) / block;
    block_means_.resize(static_cast<std::size_t>(blocks));
    smoothed_.resize(static_cast<std::size_t>(blocks));
    const auto block_size = [n](int i) { return std::min(block, n - i * block); };
    const auto block_position = [&](int i) { return i * block + 0.5 * (block_size(i) - 1); };
    const int full_blocks = n / block;
    static_assert(block == 8, "the block sums below add eight samples");
    for (int i = 0; i < full_blocks; ++i) {
        const std::int32_t* b = x + i * block;
        const std::int64_t sum = (std::int64_t{b[0]} + b[1]) + (std::int64_t{b[2]} + b[3]) +
                                 ((std::int64_t{b[4]} + b[5]) + (std::int64_t{b[6]} + b[7]));
        block_means_[i] = static_cast<double>(sum) * (1.0 / block);
    }
    if (full_blocks < blocks) {
        std::int64_t sum = 0;
        for (int j = full_blocks * block; j < n; ++j) sum += x[j];
        block_means_[full_blocks] = static_cast<double>(sum) / (n - full_blocks * block);
    }
    // The first quarter of each stretch is sample enough for a start.
    noise_sigma_ = std::sqrt(noise_variance(x, n, 16));

    // A 1-2-1 running mean; the end blocks count themselves for their missing neighbour.
    const double* m = block_means_.data();
    smoothed_[0] = 0.75 * m[0] + 0.25 * m[std::min(1, blocks - 1)];
    for (int i = 1; i + 1 < blocks; ++i) smoothed_[i] = 0.25 * m[i - 1] + 0.5 * m[i] + 0.25 * m[i + 1];
    if (blocks > 1) smoothed_[blocks - 1] = 0.25 * m[blocks - 2] + 0.75 * m[blocks - 1];
    // Pulses only rise above the baseline, so the lowest smoothed block is baseline (a little
    // low, by the noise of the smoothed blocks, which the fit removes).
    const double baseline = lowest_of(smoothed_.data(), smoothed_.size());
    const double top = highest_of(smoothed_.data(), smoothed_.size());
    // The last of equal highest blocks.
    const int peak = static_cast<int>(smoothed_.rend() - std::find(smoothed_.rbegin(), smoothed_.rend(), top)) - 1;
    const double height = smoothed_[peak] - baseline;
    if (!(height > detection_threshold * noise_sigma_)) return false;

    const double half = baseline + 0.5 * height;
    int left = peak, right = peak;
    while (left > 0 && smoothed_[left - 1] > half) --left;
    while (right < blocks - 1 && smoothed_[right + 1] > half) ++right;
    const auto crossing = [&](int outside, int inside) {
        const double a = smoothed_[outside], b = smoothed_[inside];
        return block_position(outside) + (half - a) / (b - a) * (block_position(inside) - block_position(outside));
    };
    double low = left > 0 ? crossing(left - 1, left) : block_position(0);
    double high = right < blocks - 1 ? crossing(right + 1, right) : block_position(blocks - 1);
    // Blocks and their smoothing add this variance (samples^2) to the pulse's own.
    double added_variance = (block * block - 1) / 12.0 + 2.0 * 0.25 * block * block;
    double amplitude = height;

    if (high - low < 4.0 * block) {
        // A narrow pulse: look again at the samples themselves around the peak block.
        const int first = std::max(1, peak * block - 3 * block), last = std::min(n - 2, peak * block + 4 * block);
        if (first <= last) {
            const auto smooth_sample = [x](int j) { return 0.25 * x[j - 1] + 0.5 * x[j] + 0.25 * x[j + 1]; };
            int top = first;
            for (int j = first; j <= last; ++j)
                if (smooth_sample(j) > smooth_sample(top)) top = j;
            amplitude = smooth_sample(top) - baseline;
            const double level = baseline + 0.5 * amplitude;
            int l = top, r = top;
            while (l > 1 && smooth_sample(l - 1) > level) --l;
            while (r < n - 2 && smooth_sample(r + 1) > level) ++r;
            const auto cross = [&](int outside, int inside) {
                const double a = smooth_sample(outside), b = smooth_sample(inside);
                return outside + (level - a) / (b - a) * (inside - outside);
            };
            low = l > 1 ? cross(l - 1, l) : 1.0;
            high = r < n - 2 ? cross(r + 1, r) : n - 2.0;
            added_variance = 0.5;
        }
    }
    const double sigma_measured = (high - low) / fwhm_per_sigma;
    const double variance = sigma_measured * sigma_measured - added_variance;
    guess.baseline = baseline;
    guess.amplitude = amplitude;
    guess.centre = 0.5 * (low + high);
    guess.sigma = std::sqrt(std::max(variance, 0.5 * 0.5));
    return std::isfinite(guess.centre) && std::isfinite(guess.sigma) && std::isfinite(guess.amplitude);
}

void record_fitter::make_groups(const std::int32_t* x, int n, const parameters& around) {
    // Groups of k samples, k a quarter of sigma, keep nearly all the information of a smooth
    // pulse in a few dozen means.  The mean of a Gaussian over k evenly spaced samples is a
    // Gaussian widened by their variance (k^2 - 1) / 12, to well below the noise for such k.
    const double reach = 7.0 * around.sigma + 8.0;
    const double from = std::clamp(std::floor(around.centre - reach), 0.0, static_cast<double>(n));
    const double to = std::clamp(std::ceil(around.centre + reach) + 1.0, 0.0, static_cast<double>(n));
    const int lo = static_cast<int>(from), hi = std::max(static_cast<int>(to), lo);
    int k = static_cast<int>(std::clamp(around.sigma / 4.0, 1.0, static_cast<double>(n)));
    k = std::max(1, std::min(k, (hi - lo) / 12));
    groups_.clear();
    baseline_only_.clear();
    const auto add_samples = [x](std::vector<group>& to, int first, int last, bool pulse) {
        if (first >= last) return;
        std::int64_t sum = 0;
        for (int j = first; j < last; ++j) sum += x[j];
        const int size = last - first;
        to.push_back({first + 0.5 * (size - 1), static_cast<double>(sum) / size, static_cast<double>(size),
                      pulse ? (static_cast<double>(size) * size - 1.0) / 12.0 : 0.0});
    };
    // Far from the pulse the samples only tell the baseline.
    add_samples(baseline_only_, 0, lo, false);
    add_samples(baseline_only_, hi, n, false);
    for (int first = lo; first < hi; first += k) add_samples(groups_, first, std::min(first + k, hi), true);
    spacing_ = k;
    uniform_ = static_cast<std::size_t>((hi - lo) / k);
}

namespace {

struct normal_equations {
    double matrix[4][4];
    double gradient[4];
    double cost;
};

}  // namespace

bool record_fitter::least_squares(parameters& p, double& amplitude_variance) {
    const auto evaluate = [this](const parameters& q, normal_equations& e) {
        for (auto& row : e.matrix)
            for (double& v : row) v = 0.0;
        for (double& v : e.gradient) v = 0.0;
        e.cost = 0.0;
        const auto accumulate = [&e](const double (&j)[4], double r, double w) {
            e.cost += w * r * r;
            for (int a = 0; a < 4; ++a) {
                e.gradient[a] += w * j[a] * r;
                for (int b = 0; b <= a; ++b) e.matrix[a][b] += w * j[a] * j[b];
            }
        };
        for (const group& g : baseline_only_) accumulate({1.0, 0.0, 0.0, 0.0}, g.mean - q.baseline, g.weight);
        const double s2 = q.sigma * q.sigma;
        // The pulse term of group g, given exp(-(x - centre)^2 / 2 (sigma^2 + spread)).
        const auto pulse_group = [&](const group& g, double e_value, double inverse, double root) {
            const double d = g.position - q.centre;
            const double shape = q.sigma * root * e_value;
            const double j[4] = {1.0, shape, q.amplitude * shape * d * inverse,
                                 q.amplitude * e_value * root * inverse * (g.spread + s2 * d * d * inverse)};
            accumulate(j, g.mean - q.baseline - q.amplitude * shape, g.weight);
        };
        const auto direct = [&](const group& g) {
            const double inverse = 1.0 / (s2 + g.spread);
            const double d = g.position - q.centre;
            pulse_group(g, std::exp(-0.5 * d * d * inverse), inverse, std::sqrt(inverse));
        };
        for (std::size_t i = uniform_; i < groups_.size(); ++i) direct(groups_[i]);
        if (uniform_ > 0) {
            // Equally spaced groups: walking out from the one nearest the centre, each Gaussian value
            // is the last times a ratio that itself shrinks by a constant factor, so that only four
            // exponentials are needed however many groups there are.
            const double k = spacing_;
            const double inverse = 1.0 / (s2 + groups_[0].spread), root = std::sqrt(inverse);
            const double nearest = std::clamp(std::round((q.centre - groups_[0].position) / k), 0.0, uniform_ - 1.0);
            const auto middle = static_cast<std::size_t>(nearest);
            const double d0 = groups_[middle].position - q.centre;
            const double e0 = std::exp(-0.5 * d0 * d0 * inverse);
            const double shrink = std::exp(-inverse * k * k);
            pulse_group(groups_[middle], e0, inverse, root);
            double e_value = e0, ratio = std::exp(-0.5 * inverse * (2.0 * d0 * k + k * k));
            for (std::size_t i = middle + 1; i < uniform_; ++i, ratio *= shrink) {
                e_value *= ratio;
                pulse_group(groups_[i], e_value, inverse, root);
            }
            e_value = e0, ratio = std::exp(-0.5 * inverse * (k * k - 2.0 * d0 * k));
            for (std::size_t i = middle; i-- > 0; ratio *= shrink) {
                e_value *= ratio;
                pulse_group(groups_[i], e_value, inverse, root);
            }
        }
        for (int a = 0; a < 4; ++a)
            for (int b = a + 1; b < 4; ++b) e.matrix[a][b] = e.matrix[b][a];
        return std::isfinite(e.cost);
    };

    normal_equations current, trial;
    if (!evaluate(p, current)) return false;
    double lambda = 1e-3;
    bool converged = false;
    for (int iteration = 0; iteration < 100 && !converged; ++iteration) {
        double damped[4][4], step[4];
        for (int a = 0; a < 4; ++a)
            for (int b = 0; b < 4; ++b) damped[a][b] = current.matrix[a][b] * (a == b ? 1.0 + lambda : 1.0);
        bool accepted = false;
        if (solve4(damped, current.gradient, step)) {
            const parameters q{p.baseline + step[0], p.amplitude + step[1], p.centre + step[2], p.sigma + step[3]};
            const double scale = noise_sigma_ + 1e-7 * std::abs(q.amplitude);
            const bool tiny = std::abs(step[0]) <= 1e-3 * scale && std::abs(step[1]) <= 1e-3 * scale &&
                              std::abs(step[2]) <= 1e-4 * q.sigma && std::abs(step[3]) <= 1e-4 * q.sigma;
            // Near the minimum a step this small changes nothing that matters: take it unchecked.
            if (tiny && lambda < 1e-2 && q.sigma > 0.2) {
                p = q;
                converged = true;
                break;
            }
            if (q.sigma > 0.2 && evaluate(q, trial) && trial.cost <= current.cost) {
                converged = tiny;
                p = q;
                current = trial;
                lambda = std::max(lambda * 0.2, 1e-9);
                accepted = true;
            }
        }
        if (!accepted) {
            lambda *= 8.0;
            // No step of any length lowers the cost: a minimum within rounding.
            if (lambda > 1e10) converged = true;
        }
    }
    if (!converged) return false;
    double unit[4] = {0.0, 1.0, 0.0, 0.0}, column[4];
    if (!solve4(current.matrix, unit, column)) return false;
    amplitude_variance = noise_sigma_ * noise_sigma_ * column[1];
    return true;
}

pulse_estimate record_fitter::fit(const std::int32_t* samples, int count) {
    pulse_estimate result;
    if (samples == nullptr || count <= 0) {
        result.flag = record_flag::no_pulse;
        return result;
    }
    if (clipped(samples, count)) {
        result.flag = record_flag::clipped;
        return result;
    }
    parameters guess;
    // Four parameters need a few more samples than that to mean anything.
    if (count < 8 || !initial_guess(samples, count, guess)) {
        result.flag = record_flag::no_pulse;
        return result;
    }
    parameters fitted = guess;
    double amplitude_variance = 0.0;
    bool settled = false;
    // The samples are grouped around the guess; a fit that ends far from it is repeated on
    // groups around its own result.
    for (int attempt = 0; attempt < 3 && !settled; ++attempt) {
        make_groups(samples, count, guess);
        fitted = guess;
        if (!least_squares(fitted, amplitude_variance)) {
            result.flag = record_flag::fit_failed;
            return result;
        }
        const double ratio = fitted.sigma / guess.sigma;
        settled = std::abs(fitted.centre - guess.centre) <= 2.0 * guess.sigma && ratio > 0.6 && ratio < 1.6;
        if (!(fitted.centre >= -count && fitted.centre <= 2.0 * count && fitted.sigma < count)) break;
        guess = fitted;
    }
    const bool finite = std::isfinite(fitted.baseline) && std::isfinite(fitted.amplitude) &&
                        std::isfinite(fitted.centre) && std::isfinite(fitted.sigma) && std::isfinite(amplitude_variance);
    if (!finite || !settled || fitted.centre < 0.0 || fitted.centre > count - 1.0 || fitted.sigma >= count) {
        result.flag = record_flag::fit_failed;
        return result;
    }
    if (!(fitted.amplitude > significance_threshold * std::sqrt(std::max(amplitude_variance, 0.0)))) {
        result.flag = record_flag::no_pulse;
        return result;
    }
    // A fit that leaves much more than the noise between itself and the samples has measured
    // some other shape (a pulse going down, a step, two pulses) as a Gaussian.  On Gaussian
    // pulses the ratio is 1 give or take about 2 / sqrt(count).
    const double misfit = residual_variance(samples, count, fitted) / noise_variance(samples, count, 64);
    if (!(misfit <= 2.0 + 10.0 / std::sqrt(count))) {
        result.flag = record_flag::poor_fit;
        return result;
    }
    result.baseline = fitted.baseline;
    result.amplitude = fitted.amplitude;
    result.centre = fitted.centre;
    result.width = fitted.sigma * std::sqrt(2.0);
    result.chi2 = misfit;
    return result;
}

}  // namespace murel::analysis
