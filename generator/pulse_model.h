// What a data set is made of: the pulse model, the seed, the event range and the sample
// count, and the "key = value" text in which model files, sidecars and --print-model hold them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace murel {

/// An amplitude line: the amplitude is position * (1 + relative_sigma * n) for a normal deviate n,
/// chosen with the given probability.
struct pulse_line {
    double position, relative_sigma, probability;
    bool operator==(const pulse_line& other) const;
};

/// A pulse parameter drawn as value * (1 + relative_sigma * n) for a normal deviate n.
struct spread {
    double value, relative_sigma;
    bool operator==(const spread& other) const;
};

/// How a pulse rises and falls: a Gaussian about its centre, or, from its onset on, a rise and an
/// exponential decay scaled to peak at the amplitude (exponential) or to step to it (preamp).
enum class pulse_shape { gaussian, exponential, preamp };

/// The second pulse of a record: with `probability`, delayed by a uniform deviate between
/// `min_delay` and `max_delay` samples after the first.
struct pileup_model {
    double probability = 0.0, min_delay = 0.0, max_delay = 0.0;
    bool operator==(const pileup_model& other) const;
};

/// The largest relative sigma of a time constant: a normal deviate of this generator stays within
/// +-6.56, so that every drawn rise and decay time stays positive.
inline constexpr double largest_time_sigma = 0.15;

/// The pulse model; a default-constructed one is murel_gen's.  The lines are tried in order,
/// and whatever probability they leave goes to the flat continuum.
struct pulse_model {
    std::vector<pulse_line> lines{{12775.0, 0.003, 0.3}, {31863.0, 0.0015, 0.2}};
    double continuum_min = 10000.0, continuum_max = 35000.0;
    spread centre{600.0, 0.005};
    spread width{175.0, 0.0005};
    spread offset{-28000.0, 0.05};
    double noise_sigma = 20.0;
    pulse_shape shape = pulse_shape::gaussian;
    spread rise{10.0, 0.0};    ///< samples; exponential and preamp only
    spread decay{100.0, 0.0};  ///< samples; exponential and preamp only
    bool negative = false;     ///< pulses go down from the baseline
    pileup_model pileup;
    double baseline_slope = 0.0;  ///< ADC counts per sample
    int bits = 16;                ///< the ADC's range: signed, bits wide
    bool saturate = false;        ///< clip at the ADC's range instead of wrapping
    bool operator==(const pulse_model& other) const;
};

/// The shape's name as the "shape" setting takes it.
std::string shape_name(pulse_shape shape);

inline constexpr std::int32_t largest_seed = 2147483646;
inline constexpr int largest_sample_count = 1073741823;  // so that an event's 2 x samples deviates count in an int

/// Everything that fixes the bytes of a generated file: events first_event to
/// first_event + events - 1 of the data set of `seed`, each of `samples` sample pairs.
struct data_set {
    pulse_model model;
    std::int32_t seed = 1;
    std::uint64_t first_event = 0;
    std::uint64_t events = 10000;
    int samples = 1000;
};

/// One "key = value" setting; `source` says where it came from ("--width" or "FILE:3: width =")
/// and starts its error messages.
struct setting {
    std::string key, value, source;
};

/// Applies one source's settings in order; its first "line" replaces the lines held so far, and
/// "line = none" drops every line before it.
/// Throws std::invalid_argument "<source> <value>: <reason>" for an unknown key, a malformed or
/// non-finite number, a seed outside 1 to 2147483646, a negative count, fewer than 1 sample, a
/// negative sigma, a zero width (or one whose square is 0), a continuum maximum below its minimum
/// or further above it than a double holds, a probability outside 0 to 1 or line probabilities
/// adding up to more than 1, a rise or decay time not above 0 or with a relative sigma above
/// largest_time_sigma, pile-up delays negative or reversed, bits other than 12, 14 or 16, an
/// unknown shape or polarity, and for a file larger than 2^63 bytes.
void apply_settings(data_set& set, const std::vector<setting>& settings);

/// Reads the settings of a model file: "key = value" lines, blank lines and '#' comments;
/// `name` goes into each setting's source.  Throws std::invalid_argument for a line without '='.
std::vector<setting> read_settings(std::istream& in, const std::string& name);

/// The numbers separated by commas, each in the shortest form that reads back as the same double.
std::string number_list(std::initializer_list<double> values);

/// The model as setting lines, numbers in their shortest exact form; the settings of shapes,
/// pile-up and the digitiser appear only where they differ from murel_gen's (rise and decay
/// also whenever the shape uses them).
std::string format_model(const pulse_model& model);

/// The whole data set as setting lines headed by `version`, readable by read_settings.
std::string format_data_set(const data_set& set, const std::string& version);

/// Which events of which data set a file holds: `hash` (16 hex digits) stands for everything that
/// fixes the bytes of an event but its index, so that pieces of one data set share it.
struct data_set_identity {
    std::string hash;
    std::uint64_t first_event = 0, events = 0;
    bool operator==(const data_set_identity& other) const {
        return hash == other.hash && first_event == other.first_event && events == other.events;
    }
};

/// The identity of the events of `set`, whatever format they are written in: the XXH3-64 hash of
/// the seed, the sample count and the model (shape included), with the event range of `set`.
data_set_identity identify(const data_set& set);

/// The identity as the comment line that heads a truth table:
/// "# data-set = HASH; first-event = K; events = N", with its line end.
std::string identity_comment(const data_set_identity& identity);

/// Reads identity_comment's line (with or without its line end) back; std::nullopt for any
/// other line.
std::optional<data_set_identity> read_identity_comment(const std::string& line);

/// The identity that a sidecar's settings hold ("data-set", "first-event", "events"), or
/// std::nullopt for a sidecar written before identities were; throws std::invalid_argument
/// naming the setting for a malformed hash or count.
std::optional<data_set_identity> sidecar_identity(const std::vector<setting>& settings);

}  // namespace murel
