// The per-record pulse measurement: a joint least-squares fit of a flat baseline and a
// Gaussian pulse to the samples of one channel of one event.
#pragma once

#include <cstdint>
#include <vector>

namespace murel::analysis {

/// The samples of a pulse going the way `sign` says (+1 up, -1 down) as samples of a pulse going
/// up: `samples` itself, or their negation in `scratch` (INT32_MIN becomes INT32_MAX).
const std::int32_t* upright_samples(const std::int32_t* samples, std::size_t count, int sign, std::vector<std::int32_t>& scratch);

/// What became of one record: the fit's flags, and saturated and pileup of the other methods.
enum class record_flag { ok, clipped, no_pulse, fit_failed, poor_fit, saturated, pileup };

/// "ok", "clipped", "no_pulse", "fit_failed", "poor_fit", "saturated" or "pileup".
const char* flag_name(record_flag flag);

/// The fitted pulse b + a * exp(-(j - c)^2 / w^2) at sample index j; every member is finite
/// (all zero unless the flag is ok).
struct pulse_estimate {
    double baseline = 0.0;   ///< b, ADC
    double amplitude = 0.0;  ///< a, ADC above the baseline
    double centre = 0.0;     ///< c, samples from the first sample
    double width = 0.0;      ///< w, samples (sqrt(2) times the Gaussian's sigma)
    double chi2 = 0.0;       ///< the residual variance over the noise variance
    record_flag flag = record_flag::ok;
};

/// The lowest and highest value a digitiser stores; a sample at either is saturated.
struct sample_range {
    std::int32_t lowest = -32768, highest = 32767;
};

/// `range` as it lies for the samples that upright_samples turns with `sign`.
inline sample_range upright_range(sample_range range, int sign) {
    return sign < 0 ? sample_range{-range.highest, -range.lowest} : range;
}

/// Fits records one after another, reusing its working storage between them.
class record_fitter {
public:
    /// A fitter for samples that a digitiser stores within `range`.
    explicit record_fitter(sample_range range = {}) : range_(range) {}
    /// Measures the pulse rising above the baseline in samples[0 .. count - 1], whatever their
    /// values and count; throws only std::bad_alloc.
    pulse_estimate fit(const std::int32_t* samples, int count);
    /// Measures a pulse going the way `sign` says (+1 up from the baseline, -1 down) as fit does
    /// one going up; the estimate's baseline is the record's own, its amplitude the pulse's height.
    pulse_estimate fit(const std::int32_t* samples, int count, int sign);

private:
    struct group {
        double position;  // mean sample index of the group
        double mean;      // mean sample value
        double weight;    // number of samples
        double spread;    // variance of the sample indices within the group
    };
    struct parameters {
        double baseline, amplitude, centre, sigma;
    };
    // The variance of the noise from the first `sampled` samples of every 64, ADC^2, of a record
    // that is not clipped.
    double noise_variance(const std::int32_t* samples, int count, int sampled);
    bool clipped(const std::int32_t* samples, int count) const;
    bool initial_guess(const std::int32_t* samples, int count, parameters& guess);
    void make_groups(const std::int32_t* samples, int count, const parameters& around);
    bool least_squares(parameters& p, double& amplitude_variance);
    // The mean squared difference between the samples and the pulse p, ADC^2.
    double residual_variance(const std::int32_t* samples, int count, const parameters& p) const;

    sample_range range_;
    std::vector<double> block_means_, smoothed_, stretch_noise_;
    std::vector<std::int32_t> negated_;
    std::vector<group> groups_;       // the pulse groups; groups_[0 .. uniform_) are k samples each
    std::size_t uniform_ = 0;         // leading groups of equal size and spacing
    int spacing_ = 1;                 // k
    std::vector<group> baseline_only_;  // stretches far from the pulse, which only tell the baseline
    double noise_sigma_ = 0.0;
};

}  // namespace murel::analysis
