// The generation engine shared by murel_gen and murel generate: the random number generator,
// the pulse model's draws and the three phases that write murel_gen's files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "pulse_model.h"

class histogram1D;

namespace murel {

inline constexpr std::int32_t modulus = 2147483647;  // 2^31 - 1
inline constexpr std::int32_t multiplier = 69621;

/// The Lehmer generator (multiplier 69621, modulus 2^31 - 1) with its Box-Muller cache;
/// a default-constructed one is the program's state at start-up.
struct generator {
    std::int32_t generator_state = 1;  ///< last state produced, also the seed
    std::int32_t normal_state = 0;     ///< non-zero while normal_value waits to be returned
    double normal_value = 0.0;

    /// Makes one generator step and returns the new state.
    std::int32_t random_int();
    /// Makes one step and returns the new state / 2147483647.0, strictly between 0 and 1.
    double uniform();
    /// Fills out[0 .. count-1] with the states of the next `count` steps and makes them.
    void next_states(std::int32_t* out, int count);
    /// Returns a standard normal deviate: the cached one if there is one, otherwise the sine
    /// deviate of a new Box-Muller pair (two steps), caching its cosine deviate.
    double normal();
    /// Fills out[0 .. count-1] with exactly the deviates that `count` calls of normal() return,
    /// leaving the same state and cache.
    void normals(double* out, int count);
};

/// The state that `steps` generator steps lead to from `state`.
std::int32_t skip_ahead(std::int32_t state, std::uint64_t steps);

inline constexpr int self_test_draws = 1000000;
inline constexpr int synthetic_events = 10000;
inline constexpr int samples_per_event = 1000;
inline constexpr std::size_t event_bytes = samples_per_event * 4;  // two int16 per sample
inline constexpr std::size_t header_bytes = 12;

/// A pulse: amplitude, centre (sample index), width (samples), offset (baseline).
using pulse_params = std::array<double, 4>;

/// The pulse value at sample position x: exp(-(x - centre)^2 / width^2) * amplitude + offset.
double f(double x, const pulse_params& p);

/// One channel's drawn pulse, the line its amplitude came from (-1: the continuum) and, if the
/// record piled up, its second pulse, which shares the first one's width or time constants.
struct drawn_pulse {
    pulse_params params{};  ///< amplitude, centre (the onset for exponential and preamp), width (Gaussian only, else 0), offset
    int component = -1;
    double rise = 0.0, decay = 0.0;  ///< time constants in samples (exponential and preamp only, else 0)
    bool piled_up = false;
    double pileup_amplitude = 0.0, pileup_centre = 0.0;  ///< the second pulse's amplitude and centre or onset
};

/// Draws one channel's pulse from `model`.  The draws come in this order, and only those of
/// features in use, so that murel_gen's model keeps murel_gen's stream:
///  1. the class: a uniform deviate picks the first line whose cumulative probability exceeds it,
///     or else the continuum;
///  2. the amplitude: a normal deviate for a line, a second uniform deviate for the continuum;
///  3. the centre (onset), a normal deviate;
///  4. Gaussian: the width; exponential and preamp: the rise, then the decay (a normal deviate each);
///  5. the offset, a normal deviate;
///  6. with a pile-up probability above 0: a uniform deviate, below the probability for a
///     second pulse; if there is one, a uniform deviate for its delay, min + u * (max - min),
///     then its class and amplitude as in 1 and 2.
/// A parameter drawn around VALUE with RELSIGMA is (1 + RELSIGMA * deviate) * VALUE.
drawn_pulse draw_pulse(generator& g, const pulse_model& model);

/// Draws a new pulse from the default model: the 12775 line (30 %), the 31863 line (20 %) or
/// the flat continuum 10000 to 35000 (50 %), then centre, width and offset around 600, 175, -28000.
void generate_params(generator& g, pulse_params& p);

/// The factor k that makes k * (1 - e^(-t/rise)) * e^(-t/decay) peak at 1 over t >= 0:
/// ((rise + decay) / decay) * ((rise + decay) / rise)^(rise / decay), the peak lying at
/// t = rise * ln(1 + decay / rise); rise and decay in samples, above 0.
double peak_scale(double rise, double decay);

/// The record's noiseless value at sample position x, before the ADC: the pulse (negated for
/// negative polarity) plus its pile-up pulse, on the baseline offset + slope * x.  Gaussian:
/// amplitude * exp(-(x - centre)^2 / width^2); exponential: amplitude * peak_scale * (1 -
/// e^(-t/rise)) * e^(-t/decay) with t = x - onset, 0 before the onset; preamp: the same without
/// peak_scale, a step of the amplitude that rises and decays.
double record_value(const pulse_model& model, const drawn_pulse& pulse, double x);

/// record_value at the sample indices 0 to count - 1 into out[0 .. count-1], by batched maths;
/// work must hold 2 * count doubles.
void record_samples(const pulse_model& model, const drawn_pulse& pulse, double* out, double* work, int count);

/// One stored sample at index j: f plus 20 times a normal deviate, truncated toward zero and
/// wrapped to 16 bits.
std::int16_t sample_value(generator& g, int j, const pulse_params& p);

/// The stored sample for a normal deviate, a pulse value and the noise sigma: the sum truncated
/// toward zero, its low 16 bits kept; a sum that is not a finite number is stored as 0.
std::int16_t stored_sample(double noise, double pulse, double noise_sigma = 20.0);

/// What an ADC of `bits` bits (12, 14 or 16) stores for `value`: the value truncated toward zero,
/// its low `bits` bits read as a signed number in -2^(bits-1) to 2^(bits-1) - 1; with `saturate`,
/// a value beyond that range (infinities too) is stored as its end instead.  Not a number is 0.
std::int16_t digitised(double value, int bits, bool saturate);

/// f at the sample indices 0 to count - 1, into out[0 .. count-1].
void pulse_samples(const pulse_params& p, double* out, int count = samples_per_event);

/// Draws the self-test's 1000000 uniform deviates into column 0 and 1000000 normal deviates
/// into column 1 of `hist`, alternately.
void fill_self_test(generator& g, histogram1D& hist);

/// Self-test phase: reseeds g, histograms its deviates and writes "murel_gen_test.txt" in `dir`;
/// throws std::system_error naming the file on failure.
void run_self_test(generator& g, const std::string& dir);

/// Example phase: reseeds g and writes one pulse pair to "murel_gen_example.txt" in `dir`.
void run_example(generator& g, const std::string& dir);

/// The generator as a run whose every phase seeds with `seed` and uses `model` and `samples`
/// starts its synthetic phase: the self-test leaves the normal cache empty, and the example
/// phase's parameter draws and noise (jumped over, not drawn) decide what it hands on.
generator synthetic_start(std::int32_t seed, const pulse_model& model, int samples);

/// Moves g past `events` events of `samples` sample pairs without rendering them.
void skip_events(generator& g, const pulse_model& model, int samples, std::uint64_t events);

/// Receives `size` bytes of consecutive events that belong at byte `offset` of the event data.
using event_sink = std::function<void(const unsigned char* bytes, std::size_t size, std::uint64_t offset)>;

/// Receives the pulses of event `event` (counted from the start of the run), in event order.
using params_sink = std::function<void(std::uint64_t event, const drawn_pulse& a, const drawn_pulse& b)>;

/// Receives the event (counted from the start of the run) and channel (0: A, 1: B) of a record
/// with a sample that wrapped round the ADC's range.
using wrap_sink = std::function<void(std::uint64_t event, int channel)>;

/// Generates `events` events of `samples` sample pairs from g and `model`, exactly as one
/// sequential pass would, on `threads` threads in blocks of `block_events` (0: about 256 kB),
/// handing each block to `sink` (from any of the threads, one call at a time per block),
/// if given, each event's pulses to `params` (one call at a time, in order) and each record
/// that wrapped to `wrapped` (from any thread, possibly at once); leaves g where the
/// sequential pass would and rethrows the first exception of a sink.
void generate_events(generator& g, const pulse_model& model, int samples, std::uint64_t events,
                     const event_sink& sink, unsigned threads, const params_sink& params = {},
                     int block_events = 0, const wrap_sink& wrapped = {});

/// Synthetic data phase: reseeds g, prints its two console lines and writes synth-1.cdb and
/// synth-1.sgl in `dir` on `threads` threads (0: one per core).
void run_synthetic(generator& g, const std::string& dir, unsigned threads = 0);

/// The whole program in `dir`: all three phases, their console lines, failures reported on
/// standard error as "murel_gen: <reason>"; returns the exit status.
int run_program(const std::string& dir);

}  // namespace murel
