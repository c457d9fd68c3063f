#include "murel_gen.h"

#include "histogram.h"
#include "staged_file.h"
#include "vector_math.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <exception>
#include <future>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace murel {

// The batch loops are plain IEEE double arithmetic, never fused, so the compiler may also build
// them for wider vector units with the same results; the CPU's widest is picked at start-up.
#define MUREL_WIDEST_VECTORS [[gnu::target_clones("avx512f", "avx2", "default")]]

// ---------------------------------------------------------------- random numbers

namespace {

// a * b modulo 2^31 - 1 for a, b below it, by folding the high bits onto the low ones twice.
// The second fold could end at 2^31 - 1 itself only for a product that is a non-zero multiple
// of the prime 2^31 - 1, which needs a factor of at least 2^31 - 1.  Without a comparison the
// loops over many states run on vector units.
std::int32_t times_modulo(std::int32_t a, std::int32_t b) {
    const std::uint64_t product = std::uint64_t{static_cast<std::uint32_t>(a)} * static_cast<std::uint32_t>(b);
    const std::uint64_t folded = (product & modulus) + (product >> 31);
    return static_cast<std::int32_t>((folded & modulus) + (folded >> 31));
}

}  // namespace

std::int32_t generator::random_int() {
    generator_state = times_modulo(generator_state, multiplier);
    return generator_state;
}

MUREL_WIDEST_VECTORS void generator::next_states(std::int32_t* out, int count) {
    // Thirty-two interleaved chains, each jumping as many steps at a time, run side by side and give
    // the same sequence as the one serial chain.
    constexpr int lanes = 32;
    static const std::int32_t jump = skip_ahead(1, lanes);
    for (int i = 0; i < count && i < lanes; ++i) out[i] = random_int();
    for (int i = lanes; i < count; ++i) out[i] = times_modulo(out[i - lanes], jump);
    if (count > 0) generator_state = out[count - 1];
}

namespace {

// The steps of a normal pair and of the pulse value, shared by the one-at-a-time functions
// and the batched ones, which run each step over a whole array so that the library calls
// and the divisions of many pairs overlap.
double unit_interval(std::int32_t state) { return static_cast<double>(state) / 2147483647.0; }
double radius(double log_u1) { return std::sqrt(log_u1 * -2.0); }
double angle(double u2) { return u2 * 6.283185307179586; }
double pulse_exponent(double x, const pulse_params& p) {
    const double d = x - p[1];
    return (-d * d) / (p[2] * p[2]);
}
double pulse_from(double e, const pulse_params& p) { return e * p[0] + p[3]; }

}  // namespace

double generator::uniform() { return unit_interval(random_int()); }

double generator::normal() {
    if (normal_state != 0) {
        normal_state = 0;
        return normal_value;
    }
    normal_state = 1;
    const double u1 = unit_interval(random_int());
    const double u2 = unit_interval(random_int());
    const double r = radius(std::log(u1));
    double sine, cosine;
    // One call for both, so that every build (whatever it inlines or merges) uses the
    // same library routine.
    ::sincos(angle(u2), &sine, &cosine);
    normal_value = r * cosine;
    return r * sine;
}

namespace {

constexpr int pair_chunk = 256;

// The Box-Muller pairs drawn from the states a = states[k * stride] and b = states[k * stride + 1]
// for k below count (at most pair_chunk): r * sin(theta) into sine[k], r * cos(theta) into cosine[k].
MUREL_WIDEST_VECTORS void normal_pairs(const std::int32_t* states, int stride, int count, double* sine, double* cosine) {
    double radii[pair_chunk], angles[pair_chunk];
    for (int k = 0; k < count; ++k) {
        radii[k] = unit_interval(states[k * stride]);
        angles[k] = angle(unit_interval(states[k * stride + 1]));
    }
    vector_math::log(radii, count);
    for (int k = 0; k < count; ++k) radii[k] = radius(radii[k]);
    vector_math::sincos(angles, sine, cosine, count);
    for (int k = 0; k < count; ++k) {
        sine[k] *= radii[k];
        cosine[k] *= radii[k];
    }
}

}  // namespace

void generator::normals(double* out, int count) {
    int done = 0;
    if (count > 0 && normal_state != 0) out[done++] = normal();
    std::int32_t states[2 * pair_chunk];
    double sines[pair_chunk], cosines[pair_chunk];
    for (int pairs = (count - done) / 2; pairs > 0;) {
        const int n = std::min(pair_chunk, pairs);
        next_states(states, 2 * n);
        normal_pairs(states, 2, n, sines, cosines);
        for (int k = 0; k < n; ++k) {
            out[done++] = sines[k];
            out[done++] = cosines[k];
        }
        normal_value = out[done - 1];
        pairs -= n;
    }
    if (done < count) out[done] = normal();
}

std::int32_t skip_ahead(std::int32_t state, std::uint64_t steps) {
    std::int32_t power = multiplier;
    for (; steps != 0; steps >>= 1) {
        if (steps & 1) state = times_modulo(state, power);
        power = times_modulo(power, power);
    }
    return state;
}

// ---------------------------------------------------------------- pulse model

double f(double x, const pulse_params& p) { return pulse_from(std::exp(pulse_exponent(x, p)), p); }

MUREL_WIDEST_VECTORS void pulse_samples(const pulse_params& p, double* out, int count) {
    for (int j = 0; j < count; ++j) out[j] = pulse_exponent(static_cast<double>(j), p);
    vector_math::exp(out, count);
    for (int j = 0; j < count; ++j) out[j] = pulse_from(out[j], p);
}

namespace {

double drawn(generator& g, const spread& s) { return (g.normal() * s.relative_sigma + 1.0) * s.value; }

// The class and amplitude draws; returns the line's index, or -1 for the continuum.
int draw_amplitude(generator& g, const pulse_model& model, double& amplitude) {
    const double u = g.uniform();
    // The running sum gives the default model's bounds 0.3 and 0.3 + 0.2 == 0.5 exactly.
    double below = 0.0;
    int component = -1;
    for (std::size_t k = 0; k < model.lines.size() && component < 0; ++k)
        if (u < (below += model.lines[k].probability)) component = static_cast<int>(k);
    if (component >= 0) {
        const pulse_line& line = model.lines[static_cast<std::size_t>(component)];
        amplitude = (g.normal() * line.relative_sigma + 1.0) * line.position;
    } else {
        amplitude = g.uniform() * (model.continuum_max - model.continuum_min) + model.continuum_min;
    }
    return component;
}

// The signed factor of a pulse's shape: its amplitude, scaled to peak there for exponential.
double height(const pulse_model& model, const drawn_pulse& pulse, double amplitude) {
    if (model.shape == pulse_shape::exponential) amplitude *= peak_scale(pulse.rise, pulse.decay);
    return model.negative ? -amplitude : amplitude;
}

// digitised, inlined: the render loop instantiates it with murel_gen's 16 wrapped bits as constants.
inline std::int16_t adc_sample(double value, int bits, bool saturate) {
    const std::int32_t half = std::int32_t{1} << (bits - 1);
    if (saturate) {
        if (value >= half - 1) return static_cast<std::int16_t>(half - 1);
        if (value <= -half) return static_cast<std::int16_t>(-half);
    }
    std::int32_t whole = 0;
    if (std::fabs(value) < 2147483648.0)  // murel_gen's values, always: they stay within about +-70000
        whole = static_cast<std::int32_t>(value);
    else if (std::isfinite(value))  // the remainder is exact and keeps the sign; its low 16 bits are the value's
        whole = static_cast<std::int32_t>(std::fmod(value, 65536.0));
    // Unsigned, so that a whole number near 2^31 wraps instead of overflowing.
    const std::uint32_t mask = 2 * static_cast<std::uint32_t>(half) - 1;
    return static_cast<std::int16_t>(
        static_cast<std::int32_t>((static_cast<std::uint32_t>(whole) + static_cast<std::uint32_t>(half)) & mask) - half);
}

// The rise-and-decay of a pulse starting at `onset`, with t clamped at 0 so that the samples
// before the onset come out as exactly 0.
double onset_time(double x, double onset) { return std::max(x - onset, 0.0); }
double onset_shape(double rise_exp, double decay_exp) { return (1.0 - rise_exp) * decay_exp; }

// The pulse's shape times `scale` plus `base` at the sample indices 0 to count - 1, for a pulse
// at `at`; work holds count doubles.
MUREL_WIDEST_VECTORS void shape_samples(const pulse_model& model, const drawn_pulse& pulse, double scale, double at,
                                        double base, double* out, double* work, int count) {
    if (model.shape == pulse_shape::gaussian) {
        pulse_samples({scale, at, pulse.params[2], base}, out, count);
        return;
    }
    for (int j = 0; j < count; ++j) {
        const double t = onset_time(static_cast<double>(j), at);
        out[j] = -t / pulse.rise;
        work[j] = -t / pulse.decay;
    }
    vector_math::exp(out, count);
    vector_math::exp(work, count);
    for (int j = 0; j < count; ++j) out[j] = onset_shape(out[j], work[j]) * scale + base;
}

double shape_value(const pulse_model& model, const drawn_pulse& pulse, double scale, double at, double base, double x) {
    if (model.shape == pulse_shape::gaussian) return f(x, {scale, at, pulse.params[2], base});
    const double t = onset_time(x, at);
    return onset_shape(std::exp(-t / pulse.rise), std::exp(-t / pulse.decay)) * scale + base;
}

}  // namespace

drawn_pulse draw_pulse(generator& g, const pulse_model& model) {
    drawn_pulse d;
    d.component = draw_amplitude(g, model, d.params[0]);
    d.params[1] = drawn(g, model.centre);
    if (model.shape == pulse_shape::gaussian) {
        d.params[2] = drawn(g, model.width);
    } else {
        d.rise = drawn(g, model.rise);
        d.decay = drawn(g, model.decay);
    }
    d.params[3] = drawn(g, model.offset);
    const pileup_model& pileup = model.pileup;
    if (pileup.probability > 0 && g.uniform() < pileup.probability) {
        d.piled_up = true;
        d.pileup_centre = d.params[1] + (g.uniform() * (pileup.max_delay - pileup.min_delay) + pileup.min_delay);
        draw_amplitude(g, model, d.pileup_amplitude);
    }
    return d;
}

void generate_params(generator& g, pulse_params& p) {
    static const pulse_model defaults;
    p = draw_pulse(g, defaults).params;
}

double peak_scale(double rise, double decay) {
    const double sum = rise + decay;
    return (sum / decay) * std::pow(sum / rise, rise / decay);
}

double record_value(const pulse_model& model, const drawn_pulse& pulse, double x) {
    double value = shape_value(model, pulse, height(model, pulse, pulse.params[0]), pulse.params[1], pulse.params[3], x);
    if (pulse.piled_up)
        value += shape_value(model, pulse, height(model, pulse, pulse.pileup_amplitude), pulse.pileup_centre, 0.0, x);
    if (model.baseline_slope != 0.0) value += model.baseline_slope * x;
    return value;
}

MUREL_WIDEST_VECTORS void record_samples(const pulse_model& model, const drawn_pulse& pulse, double* out, double* work,
                                         int count) {
    shape_samples(model, pulse, height(model, pulse, pulse.params[0]), pulse.params[1], pulse.params[3], out, work,
                  count);
    if (pulse.piled_up) {
        shape_samples(model, pulse, height(model, pulse, pulse.pileup_amplitude), pulse.pileup_centre, 0.0, work,
                      work + count, count);
        for (int j = 0; j < count; ++j) out[j] += work[j];
    }
    if (model.baseline_slope != 0.0)
        for (int j = 0; j < count; ++j) out[j] += model.baseline_slope * static_cast<double>(j);
}

std::int16_t sample_value(generator& g, int j, const pulse_params& p) {
    const double pulse = f(static_cast<double>(j), p);
    return stored_sample(g.normal(), pulse);
}

std::int16_t stored_sample(double noise, double pulse, double noise_sigma) {
    return digitised(noise * noise_sigma + pulse, 16, false);
}

std::int16_t digitised(double value, int bits, bool saturate) { return adc_sample(value, bits, saturate); }

// ---------------------------------------------------------------- phases

void fill_self_test(generator& g, histogram1D& hist) {
    const auto draw_one = [&] {
        hist.add(g.uniform(), 0);
        hist.add(g.normal(), 1);
    };
    int done = 0;
    if (g.normal_state != 0) {
        draw_one();
        ++done;
    }
    // From an empty cache, two draws take four steps: a uniform deviate, the pair's two
    // states, the second uniform deviate; the pair's sine deviate comes first.
    std::int32_t states[4 * pair_chunk];
    double sines[pair_chunk], cosines[pair_chunk];
    for (int twos = (self_test_draws - done) / 2; twos > 0;) {
        const int n = std::min(pair_chunk, twos);
        g.next_states(states, 4 * n);
        normal_pairs(states + 1, 4, n, sines, cosines);
        for (int k = 0; k < n; ++k) {
            hist.add(unit_interval(states[4 * k]), 0);
            hist.add(sines[k], 1);
            hist.add(unit_interval(states[4 * k + 3]), 0);
            hist.add(cosines[k], 1);
        }
        g.normal_value = cosines[n - 1];
        done += 2 * n;
        twos -= n;
    }
    if (done < self_test_draws) draw_one();
}

void run_self_test(generator& g, const std::string& dir) {
    g.generator_state = 1;
    histogram1D hist(1601, 2, -8.0, 8.0);
    fill_self_test(g, hist);
    staged_file file(dir, "murel_gen_test.txt");
    try {
        hist.write(file.temp_path().c_str());
    } catch (const std::system_error& e) {
        file.fail(e.code().value());
    }
    file.commit();
}

void run_example(generator& g, const std::string& dir) {
    g.generator_state = 1;
    pulse_params p, q;
    generate_params(g, p);
    generate_params(g, q);
    std::string table;
    char line[32];
    double noise[2 * samples_per_event], pulse_a[samples_per_event], pulse_b[samples_per_event];
    g.normals(noise, 2 * samples_per_event);
    pulse_samples(p, pulse_a);
    pulse_samples(q, pulse_b);
    for (int i = 0; i < samples_per_event; ++i) {
        const int a = stored_sample(noise[2 * i], pulse_a[i]);
        const int b = stored_sample(noise[2 * i + 1], pulse_b[i]);
        table.append(line, static_cast<std::size_t>(std::snprintf(line, sizeof line, "%d %d %d\n", i, a, b)));
    }
    staged_file file(dir, "murel_gen_example.txt");
    file.write_at(table.data(), table.size(), 0);
    file.commit();
}

namespace {

// Jumps the generator over an event's 2 x samples noise deviates without drawing them.  They
// always take 2 x samples steps and leave the cache as full or as empty as they found it; a
// full cache then ends holding the cosine deviate of the last pair, drawn from the final two
// states.
class noise_skip {
public:
    explicit noise_skip(int samples)
        : all_(skip_ahead(1, 2 * static_cast<std::uint64_t>(samples))),
          all_but_last_pair_(skip_ahead(1, 2 * static_cast<std::uint64_t>(samples) - 2)) {}

    void operator()(generator& g) const {
        if (g.normal_state == 0) {
            g.generator_state = times_modulo(g.generator_state, all_);
        } else {
            g.generator_state = times_modulo(g.generator_state, all_but_last_pair_);
            g.normal_state = 0;
            g.normal();
        }
    }

private:
    std::int32_t all_, all_but_last_pair_;
};

// An event's two pulses, drawn in order.
void draw_pulses(generator& g, const pulse_model& model, drawn_pulse& a, drawn_pulse& b) {
    a = draw_pulse(g, model);
    b = draw_pulse(g, model);
}

// The cheap sequential pass over one event: its parameter draws, with the noise jumped over.
void pass_event(generator& g, const pulse_model& model, const noise_skip& skip_noise, drawn_pulse& a,
                drawn_pulse& b) {
    draw_pulses(g, model, a, b);
    skip_noise(g);
}

// What rendering an event needs from the sequential pass: its two pulses and the generator as
// it stands before the event's noise deviates.
struct event_start {
    generator noise;
    drawn_pulse a, b;
};

// Per-thread room for one event's deviates and pulse values.
struct event_scratch {
    explicit event_scratch(int samples)
        : noise(2 * static_cast<std::size_t>(samples)), pulse_a(static_cast<std::size_t>(samples)),
          pulse_b(static_cast<std::size_t>(samples)), work(2 * static_cast<std::size_t>(samples)) {}
    std::vector<double> noise, pulse_a, pulse_b, work;
};

// Renders one event into `out`; with `find_wraps`, returns which of its records (bit 0: A,
// bit 1: B) hold a sample that wrapped round the ADC's range.
MUREL_WIDEST_VECTORS unsigned render_event(event_start start, const pulse_model& model, int samples,
                                           event_scratch& scratch, unsigned char* out, bool find_wraps) {
    double* const noise = scratch.noise.data();
    double* const pulse_a = scratch.pulse_a.data();
    double* const pulse_b = scratch.pulse_b.data();
    start.noise.normals(noise, 2 * samples);
    record_samples(model, start.a, pulse_a, scratch.work.data(), samples);
    record_samples(model, start.b, pulse_b, scratch.work.data(), samples);
    const auto store = [&](auto digitise) {
        const double sigma = model.noise_sigma;
        for (int j = 0; j < samples; ++j) {
            const auto a = static_cast<std::uint16_t>(digitise(noise[2 * j] * sigma + pulse_a[j]));
            const auto b = static_cast<std::uint16_t>(digitise(noise[2 * j + 1] * sigma + pulse_b[j]));
            out[0] = static_cast<unsigned char>(a & 0xFF);
            out[1] = static_cast<unsigned char>(a >> 8);
            out[2] = static_cast<unsigned char>(b & 0xFF);
            out[3] = static_cast<unsigned char>(b >> 8);
            out += 4;
        }
    };
    if (model.bits == 16 && !model.saturate)
        store([](double value) { return adc_sample(value, 16, false); });
    else
        store([&model](double value) { return adc_sample(value, model.bits, model.saturate); });
    if (!find_wraps || model.saturate) return 0;
    // The values whose whole part lies outside -half .. half - 1, as adc_sample takes them.
    const double half = static_cast<double>(std::int32_t{1} << (model.bits - 1));
    const double sigma = model.noise_sigma;
    unsigned wrapped = 0;
    for (int j = 0; j < samples; ++j) {
        const double a = noise[2 * j] * sigma + pulse_a[j];
        const double b = noise[2 * j + 1] * sigma + pulse_b[j];
        if (a <= -half - 1 || a >= half) wrapped |= 1;
        if (b <= -half - 1 || b >= half) wrapped |= 2;
    }
    return wrapped;
}

}  // namespace

generator synthetic_start(std::int32_t seed, const pulse_model& model, int samples) {
    generator g;
    g.generator_state = seed;
    drawn_pulse p, q;
    pass_event(g, model, noise_skip(samples), p, q);
    g.generator_state = seed;
    return g;
}

void skip_events(generator& g, const pulse_model& model, int samples, std::uint64_t events) {
    const noise_skip skip_noise(samples);
    drawn_pulse p, q;
    for (std::uint64_t e = 0; e < events; ++e) pass_event(g, model, skip_noise, p, q);
}

void generate_events(generator& g, const pulse_model& model, int samples, std::uint64_t events,
                     const event_sink& sink, unsigned threads, const params_sink& params, int block_events,
                     const wrap_sink& wrapped) {
    threads = std::max(threads, 1U);
    const std::size_t bytes_per_event = 4 * static_cast<std::size_t>(samples);
    if (block_events <= 0) block_events = static_cast<int>(std::max<std::size_t>(1, 256000 / bytes_per_event));
    const noise_skip skip_noise(samples);
    std::mutex claim;
    std::uint64_t next_event = 0;
    bool stop = false;
    std::exception_ptr failure;

    const auto work = [&] {
        try {
            std::vector<event_start> starts(static_cast<std::size_t>(block_events));
            std::vector<unsigned char> bytes(static_cast<std::size_t>(block_events) * bytes_per_event);
            event_scratch scratch(samples);
            for (;;) {
                std::uint64_t first;
                std::size_t count;
                {
                    // Claiming a block runs the cheap sequential pass over its events: the
                    // parameter draws, with the noise jumped over, fix each event's pulses
                    // and where its noise starts.
                    const std::lock_guard<std::mutex> lock(claim);
                    if (stop || next_event >= events) return;
                    first = next_event;
                    count = static_cast<std::size_t>(std::min<std::uint64_t>(block_events, events - next_event));
                    for (std::size_t e = 0; e < count; ++e) {
                        drawn_pulse a, b;
                        draw_pulses(g, model, a, b);
                        starts[e] = {g, a, b};
                        skip_noise(g);
                        if (params) params(first + e, a, b);
                    }
                    next_event += count;
                }
                for (std::size_t e = 0; e < count; ++e) {
                    const unsigned wraps = render_event(starts[e], model, samples, scratch,
                                                        bytes.data() + e * bytes_per_event, static_cast<bool>(wrapped));
                    for (int channel : {0, 1})
                        if (wraps & (1U << channel)) wrapped(first + e, channel);
                }
                sink(bytes.data(), count * bytes_per_event, first * bytes_per_event);
            }
        } catch (...) {
            const std::lock_guard<std::mutex> lock(claim);
            if (!failure) failure = std::current_exception();
            stop = true;
        }
    };

    std::vector<std::thread> helpers;
    try {
        for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer threads only make the run slower.
    }
    work();
    for (std::thread& helper : helpers) helper.join();
    if (failure) std::rethrow_exception(failure);
}

void run_synthetic(generator& g, const std::string& dir, unsigned threads) {
    g.generator_state = 1;
    std::puts("Generating synthetic data:");
    char cdb_name[32], sgl_name[32];
    std::snprintf(cdb_name, sizeof cdb_name, "synth-%d.cdb", 1);
    std::printf("%s, ", cdb_name);
    std::snprintf(sgl_name, sizeof sgl_name, "synth-%d.sgl", 1);
    std::puts(sgl_name);

    staged_file cdb(dir, cdb_name);
    staged_file sgl(dir, sgl_name);
    const unsigned char header[header_bytes] = {};
    cdb.write_at(header, sizeof header, 0);
    sgl.write_at(header, sizeof header, 0);
    const event_sink write_both = [&](const unsigned char* bytes, std::size_t size, std::uint64_t offset) {
        cdb.write_at(bytes, size, header_bytes + offset);
        sgl.write_at(bytes, size, header_bytes + offset);
    };
    if (threads == 0) threads = std::max(std::thread::hardware_concurrency(), 1U);
    generate_events(g, pulse_model{}, samples_per_event, synthetic_events, write_both, threads);
    cdb.commit();
    sgl.commit();
}

int run_program(const std::string& dir) {
    std::puts("Testing random number generator...");
    generator g;
    // The self-test makes an even number of normal calls from an empty cache, so it hands the
    // next phase the cache it started with; it can run beside the other two phases (or, if no
    // thread can be started, after them).
    auto self_test = std::async(std::launch::async | std::launch::deferred,
                                [start = g, &dir]() mutable { run_self_test(start, dir); });

    std::vector<std::string> failures;
    try {
        run_example(g, dir);
        run_synthetic(g, dir);
    } catch (const std::exception& e) {
        failures.emplace_back(e.what());
    }
    try {
        self_test.get();
    } catch (const std::exception& e) {
        failures.insert(failures.begin(), e.what());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        failures.emplace_back(std::string("cannot write standard output: ") + std::strerror(errno));
    for (const std::string& failure : failures) std::fprintf(stderr, "murel_gen: %s\n", failure.c_str());
    return failures.empty() ? 0 : 1;
}

}  // namespace murel
