// How each channel's records are processed: the energy method and every processor's parameters,
// as options and a JSON chain file give them, and the measurement of one record with them.
#pragma once

#include "processors.h"
#include "record_fit.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace murel::analysis {

/// The energy measurement of a channel; `automatic` chooses one from the channel's first records.
enum class method { automatic, fit, trapezoid, charge };

/// "auto", "fit", "trapezoid" or "charge".
const char* method_name(method m);

/// A length in samples, or a time that the channel's sample period turns into samples.
struct duration {
    double value = 0.0;
    bool is_time = false;  ///< value in ns

    /// Reads "50" (samples), "400ns" or "2us"; throws std::invalid_argument naming `what` and the text.
    static duration parse(const std::string& text, const std::string& what);
    /// The length in samples; throws std::invalid_argument naming `what` for a time without a sample period.
    double samples(std::optional<double> dt_ns, const std::string& what) const;
    /// As parse reads it.
    std::string text() const;
};

/// The method and processor parameters of one channel.
struct channel_chain {
    method choice = method::automatic;
    std::optional<duration> pretrigger;  ///< baseline stretch at the record's start; none: a quarter of the record
    std::optional<duration> decay;       ///< pole-zero decay time; none: estimated from the channel's tails
    /// Trapezoid, and charge gates from gate_lead before the CFD time; none: 50, 30, 200 and 20
    /// samples, shortened to fit shorter records.
    std::optional<duration> rise_time, flat_top, long_gate, short_gate;
    duration gate_lead{10};
    std::optional<double> threshold;     ///< leading edge, ADC; none: 5 times the baseline RMS
    double cfd_fraction = 0.2;
    duration pileup_window{4};           ///< the stretches whose means the pile-up search compares
};

/// The chains of all channels: one for every channel, and those a chain file gives by name.
struct chain {
    channel_chain all;
    std::map<std::string, channel_chain> named;
    std::string source;  ///< the chain file that named the channels

    /// The chain of the named channel.
    const channel_chain& of(const std::string& channel) const;
    /// Applies a chain file's JSON text over these settings: {"method": .., "baseline": {..}, ...,
    /// "channels": {"NAME": {...}}}.  Throws std::invalid_argument naming `source` and the key of
    /// invalid JSON, an unknown processor or parameter, or a bad value.
    void apply(const std::string& json_text, const std::string& source);
};

/// The processing options of murel analyse, as given: lengths as text ("40", "250ns", "2us").
struct processing_options {
    std::string method = "auto";   ///< auto, fit, trapezoid or charge
    std::string chain_file;        ///< none when empty
    std::string pretrigger, decay, rise_time, flat_top, gates;  ///< gates: "LONG,SHORT"
    double cfd_fraction = 0.2;
};

/// The chain the options give every channel, with the chain file's settings over them; throws
/// std::invalid_argument naming the option and value that is wrong, std::system_error naming a
/// chain file that cannot be read.
chain chain_of(const processing_options& options);

/// One channel's chain in samples, checked against its records.
struct channel_processing {
    method choice = method::automatic;
    std::optional<std::size_t> pretrigger;
    std::optional<double> decay;  ///< samples
    std::size_t rise_time = 50, flat_top = 30, long_gate = 200, short_gate = 20, gate_lead = 10, pileup_window = 4;
    std::optional<double> threshold;
    double cfd_fraction = 0.2;

    /// The settings as summary.json records them.
    nlohmann::json to_json() const;
    /// The settings as to_json records them ("method_option" aside); throws std::invalid_argument
    /// naming the key of a missing or unknown method, or of a length that is not a whole number of
    /// samples up to 10^15 (at least 1 for the trapezoid's rise, the gates and the window).
    static channel_processing from_json(const nlohmann::json& j);
};

/// Turns `c` into samples with the channel's sample period, for records of `samples` samples
/// where known.  Throws std::invalid_argument naming the channel and parameter for a time
/// without a period, a decay not above 0 or not finite, a CFD fraction outside (0, 1), a
/// trapezoid or gate longer than the record, or a window of 0 samples.
channel_processing resolve(const channel_chain& c, const std::string& channel, std::optional<double> dt_ns,
                           std::optional<std::size_t> samples);

/// The sample whose trapezoid output is the energy of a record whose CFD time is `t_cfd`
/// (samples, not below 0): t_cfd + rise time + half the flat top.
std::size_t trapezoid_pick_off(double t_cfd, const channel_processing& p);

/// The first sample of both charge gates of a record whose CFD time is `t_cfd` (samples, not
/// below 0): the gate lead before it, no earlier than the record's start.
std::size_t gate_start(double t_cfd, const channel_processing& p);

/// What the processors measured of one record; a member is empty where the method does not
/// compute it or the record does not allow it.
struct record_measures {
    std::optional<double> baseline_rms, baseline_slope, trap_energy, trap_max, charge, charge_short, psd,
        t_leading, t_cfd, rise_time, chi2;

    /// The measures' names as records.csv heads their columns, in the order of `values`.
    static constexpr std::array<const char*, 11> names{"baseline_rms", "baseline_slope", "trap_energy", "trap_max", "charge",
                                                       "charge_short", "psd", "t_leading", "t_cfd", "rise_time", "chi2"};
    /// The measures in the order of `names`.
    std::array<const std::optional<double>*, 11> values() const {
        return {&baseline_rms, &baseline_slope, &trap_energy, &trap_max, &charge, &charge_short, &psd, &t_leading, &t_cfd, &rise_time, &chi2};
    }
};

/// How one channel's first records look, for choosing its method and decay.
struct shape_survey {
    int symmetric = 0, step_like = 0, returning = 0;  ///< records of each kind
    std::vector<double> decays;                        ///< the tails' decay times, samples

    /// Looks at one record (polarity-corrected samples).
    void add(const std::int32_t* samples, std::size_t count);
    /// fit for symmetric pulses (and when nothing was seen), trapezoid for steps that run past
    /// the record's end, charge for pulses that return to the baseline within it.
    method choice() const;
    /// The median decay time, none without one.
    std::optional<double> decay() const;

private:
    std::vector<double> x_;
};

/// Measures records one after another, reusing its working storage.
class record_processor {
public:
    /// Measures one record of polarity-corrected samples with the channel's processing, whose
    /// method is fit, trapezoid or charge; `decay` is the pole-zero decay time (samples) or none.
    /// Sets `estimate` (the fit's, or the baseline, energy and CFD time of the other methods, with
    /// their flags) and returns the side measurements.  Throws only std::bad_alloc.
    record_measures process(const std::int32_t* samples, std::size_t count, const channel_processing& p, method m,
                            std::optional<double> decay, sample_range range, pulse_estimate& estimate);

    /// The trapezoid filter's output over the whole record (ADC above the baseline), for records as
    /// process takes them: baseline-subtracted and pole-zero corrected as process does for the
    /// trapezoid method.  Throws only std::bad_alloc.
    std::vector<double> trapezoid_output(const std::int32_t* samples, std::size_t count, const channel_processing& p,
                                         std::optional<double> decay);

private:
    // Fills filtered_ from sample `from` on with the running sums, from there, of x_ (the samples
    // less `baseline`) pole-zero corrected with `decay`, or as they are without one; returns them.
    const double* corrected_sums(const std::int32_t* samples, double baseline, std::optional<double> decay, std::size_t from);

    record_fitter fitter_;
    sample_range fitter_range_;
    std::vector<double> x_, filtered_;
};

}  // namespace murel::analysis
