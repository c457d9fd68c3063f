// The pulse-processing steps, each a function of one record's samples: baseline, pole-zero
// correction, trapezoidal filter, charge integration, timing, rise time and the flags.
// Samples come polarity-corrected (pulses go up); the steps after the baseline take them with
// the baseline subtracted, as doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace murel::analysis {

/// The straight line fitted to a stretch of samples.
struct baseline_estimate {
    double mean = 0.0;   ///< ADC, the mean of the samples
    double rms = 0.0;    ///< ADC, of the samples about the fitted line
    double slope = 0.0;  ///< ADC per sample
};

/// Fits a line to samples[0 .. count - 1]; all zero for no samples, slope and rms 0 for one.
baseline_estimate measure_baseline(const std::int32_t* samples, std::size_t count);

/// The samples at the start of a record of `count` that surely come before its pulse, for
/// judging its shape and polarity: a sixteenth of it, at least 8 (all of a shorter one).
std::size_t leading_samples(std::size_t count);

/// Writes samples[j] - baseline to out[j] for j in [0, count).
void subtract_baseline(const std::int32_t* samples, std::size_t count, double baseline, double* out);

/// The lowest of v[0 .. count - 1], +infinity for none.
double lowest_of(const double* v, std::size_t count);

/// The highest of v[0 .. count - 1], -infinity for none.
double highest_of(const double* v, std::size_t count);

/// The gain 1 - e^(-1/decay) of pole_zero for a decay time of `decay` samples; throws
/// std::invalid_argument for a decay that is not above 0 and finite.
double pole_zero_gain(double decay);

/// Turns a pulse that decays as e^(-t/decay) into a step: out[j] = x[j] + (1 - e^(-1/decay)) *
/// (earlier + x[0] + ... + x[j-1]), `earlier` being the sum of the samples before x; `decay` in
/// samples.  Throws std::invalid_argument for a decay that is not above 0 and finite.  `out` must not
/// overlap `x`.
void pole_zero(const double* x, std::size_t count, double decay, double* out, double earlier = 0.0);

/// The decay time constant of the tail that starts at `from`, in samples, from a fit of ln x over
/// the samples from there until x falls below 20 % of x[from]; none where fewer than 8 samples
/// lie there or the tail does not fall.
std::optional<double> estimate_decay(const double* x, std::size_t count, std::size_t from);

/// The running sums of x: out[j] = x[0] + ... + x[j].  `out` may be `x`.
void running_sums(const double* x, std::size_t count, double* out);

/// The trapezoidal filter, from `sums`, the running sums of x: out[j] for j in [first, count) is
/// the mean of x over the `rise` samples up to j less the mean over the `rise` samples that end
/// `rise + flat_top` earlier, x being 0 before the record.  Throws std::invalid_argument for a
/// rise of 0.  `out` must not overlap `sums`.
void trapezoid(const double* sums, std::size_t first, std::size_t count, std::size_t rise, std::size_t flat_top, double* out);

/// Charges over a long and a short gate that both start at one sample.
struct charge_estimate {
    double charge = 0.0;        ///< ADC x samples over the long gate
    double short_charge = 0.0;  ///< ADC x samples over the short gate
    double psd = 0.0;           ///< tail to total, (charge - short_charge) / charge; 0 for no charge
};

/// Sums x over [start, start + long_gate) and [start, start + short_gate), each cut at the record's end.
charge_estimate integrate(const double* x, std::size_t count, std::size_t start, std::size_t long_gate, std::size_t short_gate);

/// The first position from `from` on where x rises through `level`, linearly interpolated
/// between the samples either side; none if it never does before `to` (excluded).
std::optional<double> rising_crossing(const double* x, std::size_t count, double level, std::size_t from, std::size_t to);

/// The last position before `peak` where x rises through `level`, interpolated: the edge of the
/// pulse at `peak`, whatever noise lies before it; none if x[peak] is not above the level.
std::optional<double> edge_crossing(const double* x, std::size_t count, double level, std::size_t peak);

/// edge_crossing for each of the `n` (at most 8) `levels` at once, into `crossings`; throws
/// std::invalid_argument for more levels.
void edge_crossings(const double* x, std::size_t count, std::size_t peak, const double* levels, std::size_t n,
                    std::optional<double>* crossings);

/// Where the rising edge of a pulse lies, in samples.
struct edge_times {
    std::optional<double> leading;    ///< the crossing of a threshold
    std::optional<double> cfd;        ///< the crossing of a fraction of the height
    std::optional<double> rise_time;  ///< from 10 % to 90 % of the height
};

/// The edge times of the pulse peaking at `peak` with `height` (above 0 for a rise time).
edge_times edge_times_of(const double* x, std::size_t count, std::size_t peak, double height, double threshold,
                         double cfd_fraction);

/// The lowest and the highest of some samples.
struct sample_extremes {
    std::int32_t lowest = 0, highest = 0;
};

/// The extremes of samples[0 .. count - 1]; both 0 for no samples.
sample_extremes extremes_of(const std::int32_t* samples, std::size_t count);

/// Whether any sample lies at or beyond `lowest` or `highest`, the ends of the ADC's range, or
/// jumps from the one before by more than half the range, as a value that wrapped around does.
bool saturated(const std::int32_t* samples, std::size_t count, std::int32_t lowest, std::int32_t highest);

/// saturated for samples whose extremes_of are `extremes`, known already.
bool saturated(const std::int32_t* samples, std::size_t count, sample_extremes extremes, std::int32_t lowest,
               std::int32_t highest);

/// A straight line, at + per_sample * j.
struct linear_trend {
    double at = 0.0, per_sample = 0.0;
};

/// Whether x, from `first` on and given by its running sums, holds a second rising edge after the
/// first: the difference of the sums of two adjacent `window`-sample stretches, less `trend` (what
/// a sloping baseline adds to it), rises above `threshold` times the window, falls back by more
/// than that, then rises again by more than it.  Works on pole-zero corrected x, whose tails stay flat.
bool piled_up(const double* sums, std::size_t first, std::size_t count, std::size_t window, double threshold,
              linear_trend trend = {});

/// What a baseline of `slope` (ADC per sample) about sample `centre` adds to the differences that
/// piled_up looks at, for samples pole-zero corrected with `gain` (1 - e^(-1/decay), 0 for none)
/// from the record's start and summed from sample `origin` on.
linear_trend baseline_trend(double slope, double centre, double gain, std::size_t window, std::size_t origin);

}  // namespace murel::analysis
