// Runs `murel generate` as a user would and checks its files against murel_gen and against a
// plain one-draw-at-a-time computation of the data set.
#include "file_digest.h"
#include "murel_gen.h"
#include "program_runner.h"
#include "pulse_model.h"
#include "test_support.h"
#include "vector_math.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>

using namespace murel;
using test_support::listing;
using test_support::read_file;
using test_support::run;
using test_support::run_result;
using test_support::scratch_dir;

namespace {

run_result generate(const std::vector<std::string>& arguments, const std::string& dir,
                    const test_support::run_options& options = {}) {
    std::vector<std::string> all{"generate"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return run(MUREL_PATH, all, dir, options);
}

// The data set written out by hand: every phase of the run seeds with `seed`, and every value
// comes from one scalar draw after the other.
class reference_data_set {
public:
    reference_data_set(std::int32_t seed, pulse_model model, int samples) : model_(std::move(model)), samples_(samples) {
        // The self-test leaves the normal cache empty; the example phase's draws decide what it
        // holds when the synthetic phase reseeds.
        g_.generator_state = seed;
        draw();
        draw();
        for (int i = 0; i < 2 * samples; ++i) g_.normal();
        g_.generator_state = seed;
    }

    // Appends the next event's samples to `bytes` and keeps its truth rows if `truth`, or only draws it.
    void next_event(std::uint64_t event, std::string* bytes, bool truth) {
        const pulse p[2] = {draw(), draw()};
        bool wrapped[2] = {false, false};
        const double half = static_cast<double>(std::int64_t{1} << (model_.bits - 1));
        for (int j = 0; j < samples_; ++j)
            for (int c = 0; c < 2; ++c) {
                const double v = g_.normal() * model_.noise_sigma + value(p[c], j);
                wrapped[c] = wrapped[c] || (!model_.saturate && (std::trunc(v) < -half || std::trunc(v) > half - 1));
                const auto bits = static_cast<std::uint16_t>(adc(v));
                if (bytes) *bytes += {static_cast<char>(bits & 0xFF), static_cast<char>(bits >> 8)};
            }
        for (int c = 0; truth && c < 2; ++c) {
            rows_.push_back({row(event, "AB"[c], std::to_string(p[c].component), p[c].amplitude, p[c].centre, p[c]), wrapped[c]});
            if (p[c].piled) rows_.push_back({row(event, "AB"[c], "pileup", p[c].second_amplitude, p[c].second_centre, p[c]), wrapped[c]});
        }
    }

    // The truth table of the rows kept: a column wrapped only when a record wrapped.
    std::string truth_table() const {
        const bool any = std::any_of(rows_.begin(), rows_.end(), [](const auto& r) { return r.second; });
        std::string table = std::string("event,channel,component,amplitude,centre,width,offset") +
                            (extended() ? ",rise,decay,polarity" : "") + (any ? ",wrapped\n" : "\n");
        for (const auto& [text, wrapped] : rows_) table += text + (any ? (wrapped ? ",1\n" : ",0\n") : "\n");
        return table;
    }

private:
    struct pulse {
        int component = -1;
        double amplitude = 0, centre = 0, width = 0, offset = 0, rise = 0, decay = 0;
        bool piled = false;
        double second_amplitude = 0, second_centre = 0;
    };

    bool gaussian() const { return model_.shape == pulse_shape::gaussian; }
    bool extended() const { return !gaussian() || model_.negative || model_.pileup.probability > 0; }

    double around(const spread& s) { return (g_.normal() * s.relative_sigma + 1.0) * s.value; }

    int amplitude(double& a) {
        const double u = g_.uniform();
        double cumulative = 0.0;
        for (std::size_t k = 0; k < model_.lines.size(); ++k) {
            cumulative += model_.lines[k].probability;
            if (u < cumulative) {
                a = (g_.normal() * model_.lines[k].relative_sigma + 1.0) * model_.lines[k].position;
                return static_cast<int>(k);
            }
        }
        a = g_.uniform() * (model_.continuum_max - model_.continuum_min) + model_.continuum_min;
        return -1;
    }

    pulse draw() {
        pulse p;
        p.component = amplitude(p.amplitude);
        p.centre = around(model_.centre);
        if (gaussian()) {
            p.width = around(model_.width);
        } else {
            p.rise = around(model_.rise);
            p.decay = around(model_.decay);
        }
        p.offset = around(model_.offset);
        if (model_.pileup.probability > 0 && g_.uniform() < model_.pileup.probability) {
            p.piled = true;
            const pileup_model& m = model_.pileup;
            p.second_centre = p.centre + (g_.uniform() * (m.max_delay - m.min_delay) + m.min_delay);
            amplitude(p.second_amplitude);
        }
        return p;
    }

    // One pulse of p's kind at `at` with amplitude a, on the baseline `base`.
    double one(const pulse& p, double a, double at, double base, int j) const {
        double scale = a;
        if (model_.shape == pulse_shape::exponential) {
            // The peak of (1 - e^(-t/r)) e^(-t/d) lies where e^(-t/r) = r / (r + d).
            const double r = p.rise, d = p.decay;
            scale = a / ((d / (r + d)) * std::pow(r / (r + d), r / d));
        }
        if (model_.negative) scale = -scale;
        if (gaussian()) {
            const double x = j - at;
            return std::exp((-x * x) / (p.width * p.width)) * scale + base;
        }
        const double t = j - at;
        const double shape = t > 0 ? (1.0 - std::exp(-t / p.rise)) * std::exp(-t / p.decay) : 0.0;
        return shape * scale + base;
    }

    double value(const pulse& p, int j) const {
        double v = one(p, p.amplitude, p.centre, p.offset, j);
        if (p.piled) v += one(p, p.second_amplitude, p.second_centre, 0.0, j);
        if (model_.baseline_slope != 0) v += model_.baseline_slope * j;
        return v;
    }

    std::int16_t adc(double v) const {
        const std::int64_t range = std::int64_t{1} << model_.bits;
        if (model_.saturate) v = std::min(std::max(v, -range / 2.0), range / 2.0 - 1);
        std::int64_t whole = static_cast<std::int64_t>(v) % range;
        if (whole < 0) whole += range;
        return static_cast<std::int16_t>(whole >= range / 2 ? whole - range : whole);
    }

    std::string row(std::uint64_t event, char channel, const std::string& component, double a, double centre,
                    const pulse& p) const {
        char text[512];
        const auto number = [](double x) {
            char digits[32];
            std::snprintf(digits, sizeof digits, "%.17g", x);
            return std::string(digits);
        };
        std::snprintf(text, sizeof text, "%llu,%c,%s,%s,%s,%s,%s", static_cast<unsigned long long>(event), channel,
                      component.c_str(), number(a).c_str(), number(centre).c_str(),
                      gaussian() ? number(p.width).c_str() : "", number(p.offset).c_str());
        std::string line = text;
        if (extended())
            line += gaussian() ? ",,," : "," + number(p.rise) + "," + number(p.decay) + ",";
        if (extended()) line += model_.negative ? "-1" : "1";
        return line;
    }

    generator g_;
    pulse_model model_;
    int samples_;
    std::vector<std::pair<std::string, bool>> rows_;
};

}  // namespace

TEST(murel_generate, defaults_write_murel_gen_data_on_any_number_of_threads_with_a_sidecar) {
    scratch_dir gen, dir;
    ASSERT_EQ(run(MUREL_GEN_PATH, {}, gen.path().string()).status, 0);
    const std::string expected = read_file(gen.file("synth-1.cdb"));
    for (const char* threads : {"1", "3"}) {
        const run_result result = generate({"out.cdb", "--threads", threads}, dir.path().string());
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out + result.err,
                  "murel: note: 12 of 20000 records (A: 4, B: 8) have samples beyond the 16-bit ADC's range, wrapped round\n");
        EXPECT_TRUE(read_file(dir.file("out.cdb")) == expected) << threads << " threads";
    }
    EXPECT_EQ(listing(dir.path().string()), (std::vector<std::string>{"out.cdb", "out.cdb.model"}));
    EXPECT_EQ(read_file(dir.file("out.cdb.model")),
              "# written by murel generate; murel generate OUTPUT --model THIS-FILE makes it again\n"
              "version = " MUREL_VERSION "\nseed = 1\nfirst-event = 0\nevents = 10000\nsamples = 1000\n"
              "line = 12775,0.003,0.3\nline = 31863,0.0015,0.2\ncontinuum = 10000,35000\ncentre = 600,0.005\n"
              "width = 175,0.0005\noffset = -28000,0.05\nnoise = 20\n"
              "# the data set, whatever its range: a hash of all but first-event and events\n"
              "data-set = 463bd9f235334b1f\n"
              "# the files written with this sidecar: bytes and XXH3-64 hash\n"
              "data-file = 40000012 " + murel::digest_of(dir.file("out.cdb")).hash_text() + "\n");
}

TEST(murel_generate, new_settings_at_their_defaults_change_no_byte) {
    scratch_dir plain, spelled;
    const std::vector<std::string> common{"out", "--truth", "truth.csv", "--events", "30", "--seed", "17"};
    std::vector<std::string> defaults = common;
    defaults.insert(defaults.end(), {"--shape", "gaussian", "--polarity", "positive", "--pileup", "0,5,10",
                                     "--baseline-slope", "0", "--bits", "16", "--rise", "10", "--decay", "100,0"});
    ASSERT_EQ(generate(common, plain.path().string()).status, 0);
    const run_result result = generate(defaults, spelled.path().string());
    ASSERT_EQ(result.status, 0) << result.err;
    for (const char* file : {"out", "out.model", "truth.csv"})
        EXPECT_TRUE(read_file(plain.file(file)) == read_file(spelled.file(file))) << file;
}

TEST(murel_generate, records_too_short_for_the_pulses_are_warned_of) {
    scratch_dir dir;
    const struct {
        std::vector<std::string> settings;
        bool warned;
    } cases[] = {
        {{"--samples", "400"}, true},
        {{"--samples", "601"}, false},
        {{"--samples", "400", "--centre", "240,0.005"}, false},
        {{"--centre", "-1,0"}, true},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"out", "--events", "3"};
        arguments.insert(arguments.end(), c.settings.begin(), c.settings.end());
        const run_result r = generate(arguments, dir.path().string());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("murel: warning: the pulses' centre ") == 0, c.warned) << c.settings[1] << "\n" << r.err;
    }
}

TEST(murel_generate, every_maths_variant_writes_the_same_piled_up_exponential_pulses) {
    const std::vector<std::string> arguments{"out", "--shape", "exponential", "--rise", "3,0.1", "--decay", "50,0.1",
                                             "--pileup", "0.5,10,400", "--polarity", "negative", "--offset", "2000,0.05",
                                             "--bits", "14", "--saturate", "--baseline-slope", "0.75", "--events", "300"};
    scratch_dir reference;
    ASSERT_EQ(generate(arguments, reference.path().string()).status, 0);
    for (const vector_math::variant v : vector_math::available()) {
        const std::string name = vector_math::name(v);
        scratch_dir dir;
        test_support::run_options options;
        options.maths = name.c_str();
        const run_result result = generate(arguments, dir.path().string(), options);
        ASSERT_EQ(result.status, 0) << name << ": " << result.err;
        EXPECT_TRUE(read_file(dir.file("out")) == read_file(reference.file("out"))) << name;
    }
}

TEST(murel_generate, twelve_bit_samples_shifted_by_the_adc_offset_fill_an_unsigned_12_bit_range) {
    scratch_dir dir;
    const std::vector<std::string> common{"--bits", "12", "--saturate", "--offset", "0,0", "--events", "20", "--samples", "64",
                                          "--centre", "30,0.01", "--width", "4,0", "--continuum", "500,3000"};
    std::vector<std::string> cdb{"ref.cdb"}, wavedump{"waves", "--format", "wavedump", "--adc-offset", "2048"};
    cdb.insert(cdb.end(), common.begin(), common.end());
    wavedump.insert(wavedump.end(), common.begin(), common.end());
    ASSERT_EQ(generate(cdb, dir.path().string()).status, 0);
    const run_result made = generate(wavedump, dir.path().string());
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string signed_samples = read_file(dir.file("ref.cdb")), unsigned_samples = read_file(dir.file("waves/wave0.dat"));
    const auto u16 = [](const std::string& bytes, std::size_t at) {
        return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8);
    };
    ASSERT_EQ(unsigned_samples.size(), 20U * (24 + 2 * 64));
    int at_top = 0;
    for (std::size_t e = 0; e < 20; ++e)
        for (std::size_t j = 0; j < 64; ++j) {
            const auto a = static_cast<std::int16_t>(u16(signed_samples, 12 + 256 * e + 4 * j));
            const std::uint16_t stored = u16(unsigned_samples, 152 * e + 24 + 2 * j);
            ASSERT_EQ(stored, a + 2048) << e << " " << j;
            EXPECT_LE(stored, 4095);
            at_top += stored == 4095;
        }
    EXPECT_GT(at_top, 0) << "no pulse was clipped";
}

TEST(murel_generate, ranges_of_any_split_rebuild_the_whole_data_set) {
    scratch_dir dir;
    const std::vector<std::string> common{"--seed", "424242", "--samples", "100", "--line", "5000,0.01,0.7"};
    const auto with = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), common.begin(), common.end());
        return arguments;
    };
    ASSERT_EQ(generate(with({"whole", "--events", "50"}), dir.path().string()).status, 0);
    const std::string whole = read_file(dir.file("whole"));
    ASSERT_EQ(whole.size(), 12U + 50 * 400);
    const std::vector<std::vector<int>> splits{{0, 50}, {0, 1, 2, 50}, {0, 17, 17, 33, 49, 50}};
    for (const std::vector<int>& bounds : splits) {
        std::string joined(12, '\0');
        for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
            const std::string name = "piece-" + std::to_string(k);
            const run_result result = generate(with({name, "--first-event", std::to_string(bounds[k]), "--events",
                                                     std::to_string(bounds[k + 1] - bounds[k]), "--threads",
                                                     std::to_string(1 + k % 2)}),
                                               dir.path().string());
            ASSERT_EQ(result.status, 0) << result.err;
            const std::string piece = read_file(dir.file(name));
            ASSERT_EQ(piece.substr(0, 12), std::string(12, '\0'));
            joined += piece.substr(12);
        }
        EXPECT_TRUE(joined == whole) << "split of " << bounds.size() - 1;
    }
    // An empty range passes over nothing, wherever it starts.
    const run_result empty =
        generate(with({"empty", "--first-event", "9223372036854775807", "--events", "0"}), dir.path().string());
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(read_file(dir.file("empty")), std::string(12, '\0'));
}

TEST(murel_generate, files_and_truth_agree_with_a_plain_computation) {
    pulse_model three_lines;
    three_lines.lines = {{2000, 0.01, 0.25}, {-9000, 0.002, 0.125}, {31000, 0.0, 0.5}};
    three_lines.continuum_min = 100;
    three_lines.continuum_max = 60000;  // baselines below -32768 and peaks above 32767 wrap
    three_lines.centre = {12.5, 0.1};
    three_lines.width = {3.25, 0.02};
    three_lines.offset = {-30000, 0.1};
    three_lines.noise_sigma = 7.5;
    pulse_model continuum_only;
    continuum_only.lines.clear();
    pulse_model lines_only;
    lines_only.lines = {{100, 0.5, 0.5}, {200, 0.5, 0.5}};
    pulse_model clipped;  // negative, piled-up pulses that a 12-bit ADC clips at -2048
    clipped.shape = pulse_shape::exponential;
    clipped.rise = {4, 0.1};
    clipped.decay = {60, 0.05};
    clipped.negative = true;
    clipped.pileup = {0.4, 5, 300};
    clipped.offset = {1500, 0.1};
    clipped.centre = {100, 0.01};
    clipped.noise_sigma = 5;
    clipped.bits = 12;
    clipped.saturate = true;
    pulse_model steps;  // slow preamp steps on a slope, always piled up, wrapping in 14 bits
    steps.shape = pulse_shape::preamp;
    steps.rise = {2, 0};
    steps.decay = {1000, 0.15};
    steps.centre = {10, 0.1};
    steps.offset = {-3000, 0.01};
    steps.pileup = {1, 0, 0};
    steps.baseline_slope = 2.5;
    steps.bits = 14;
    pulse_model equal_times = steps;  // rise = decay, on a falling baseline
    equal_times.shape = pulse_shape::exponential;
    equal_times.rise = equal_times.decay = {7, 0};
    equal_times.baseline_slope = -40;
    equal_times.pileup = {};
    pulse_model piled_gaussian;
    piled_gaussian.negative = true;
    piled_gaussian.centre = {30, 0.01};
    piled_gaussian.width = {5, 0.01};
    piled_gaussian.offset = {20000, 0.01};
    piled_gaussian.pileup = {0.5, 0, 20};
    const struct {
        std::int32_t seed;
        pulse_model model;
        int samples;
        std::uint64_t first, events;
    } cases[] = {
        {1, pulse_model{}, 1000, 9995, 5},       // murel_gen's own data set near its end
        {987654321, three_lines, 37, 5, 20},
        {2147483646, continuum_only, 1, 0, 9},  // one sample: the noise jump has nothing to leave out
        {77, lines_only, 2, 3, 4},
        {31337, clipped, 400, 3, 25},
        {8, steps, 50, 0, 6},
        {1234, equal_times, 60, 2, 3},
        {9, piled_gaussian, 100, 11, 10},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        {
            std::ofstream model(dir.file("model"));
            model << format_model(c.model);
        }
        const run_result result = generate({"out", "--truth", "truth.csv", "--model", "model", "--seed",
                                            std::to_string(c.seed), "--samples", std::to_string(c.samples),
                                            "--first-event", std::to_string(c.first), "--events",
                                            std::to_string(c.events)},
                                           dir.path().string());
        ASSERT_EQ(result.status, 0) << result.err;
        reference_data_set reference(c.seed, c.model, c.samples);
        std::string bytes(12, '\0');
        for (std::uint64_t e = 0; e < c.first; ++e) reference.next_event(e, nullptr, false);
        for (std::uint64_t e = c.first; e < c.first + c.events; ++e) reference.next_event(e, &bytes, true);
        EXPECT_TRUE(read_file(dir.file("out")) == bytes) << "seed " << c.seed;
        // The table's first line names the data set and the range; the rest is the truth.
        const std::string table = read_file(dir.file("truth.csv"));
        const std::size_t body = table.find('\n') + 1;
        const std::optional<data_set_identity> identity = read_identity_comment(table.substr(0, body));
        ASSERT_TRUE(identity) << table.substr(0, body);
        EXPECT_EQ(identity->first_event, c.first);
        EXPECT_EQ(identity->events, c.events);
        EXPECT_EQ(table.substr(body), reference.truth_table()) << "seed " << c.seed;
    }
}

TEST(murel_generate, model_file_settings_yield_to_the_command_line_and_the_sidecar_remakes_the_file) {
    scratch_dir dir;
    {
        std::ofstream model(dir.file("model.txt"));
        model << "# two lines\n\nline = 3000, 0.01, 0.4\nline=4000,0.02,0.1   # the second\n"
                 "noise = 3\nwidth = 20,0\nsamples = 64\nevents = 12\n";
    }
    const run_result printed = generate({"--model", "model.txt", "--print-model", "--noise", "0.125", "--offset=-1000,0"},
                                        dir.path().string());
    ASSERT_EQ(printed.status, 0) << printed.err;
    EXPECT_EQ(printed.out,
              "line = 3000,0.01,0.4\nline = 4000,0.02,0.1\ncontinuum = 10000,35000\ncentre = 600,0.005\n"
              "width = 20,0\noffset = -1000,0\nnoise = 0.125\n");
    const run_result replaced = generate({"--model", "model.txt", "--print-model", "--line", "none"}, dir.path().string());
    EXPECT_EQ(test_support::lines(replaced.out).at(0), "line = none");

    ASSERT_EQ(generate({"first", "--model", "model.txt", "--seed", "99", "--first-event", "3"}, dir.path().string()).status, 0);
    EXPECT_EQ(read_file(dir.file("first")).size(), 12U + 12 * 64 * 4);
    ASSERT_EQ(generate({"again", "--model", "first.model"}, dir.path().string()).status, 0);
    EXPECT_TRUE(read_file(dir.file("again")) == read_file(dir.file("first")));
    EXPECT_EQ(read_file(dir.file("again.model")), read_file(dir.file("first.model")));
}

TEST(murel_generate, usage_errors_name_the_option_and_value_and_write_nothing) {
    const struct {
        std::vector<std::string> arguments;
        std::string message, model = {};  // the model file's text, if there is one
    } cases[] = {
        {{"out", "--colour", "red"}, "--colour"},
        {{"out", "--events", "12x"}, "murel: --events 12x: not a whole number\n"},
        {{"out", "--seed", "0"}, "murel: --seed 0: must be 1 to 2147483646\n"},
        {{"out", "--seed", "2147483647"}, "murel: --seed 2147483647: must be 1 to 2147483646\n"},
        {{"out", "--events", "-1"}, "murel: --events -1: must not be negative\n"},
        {{"out", "--first-event", "-40"}, "murel: --first-event -40: must not be negative\n"},
        {{"out", "--samples", "0"}, "murel: --samples 0: must be 1 to 1073741823\n"},
        {{"out", "--line", "100,0,0.6", "--line", "200,0,0.5"},
         "murel: --line 200,0,0.5: the line probabilities add up to 1.1, more than 1\n"},
        {{"out", "--line", "100,0,1.5"}, "murel: --line 100,0,1.5: the probability must be 0 to 1\n"},
        {{"out", "--line", "100,0.1"}, "murel: --line 100,0.1: expected POSITION,RELSIGMA,PROBABILITY\n"},
        {{"out", "--line", "100,-0.1,0.2"}, "murel: --line 100,-0.1,0.2: the relative sigma must not be negative\n"},
        {{"out", "--noise", "inf"}, "murel: --noise inf: 'inf' is not a finite number\n"},
        {{"out", "--noise", "nan"}, "murel: --noise nan: 'nan' is not a finite number\n"},
        {{"out", "--centre", "1e400,0"}, "murel: --centre 1e400,0: '1e400' is not a finite number\n"},
        {{"out", "--width", "0,0.1"}, "murel: --width 0,0.1: the width must not be 0\n"},
        {{"out", "--offset", "5,-1"}, "murel: --offset 5,-1: the relative sigma of the offset must not be negative\n"},
        {{"out", "--continuum", "5,1"}, "murel: --continuum 5,1: the maximum is below the minimum\n"},
        {{"out", "--events", "4611686018427387904"},
         "murel: --events 4611686018427387904: the event range is too large for a file\n"},
        {{"out", "--shape", "triangle"}, "murel: --shape triangle: expected one of gaussian, exponential, preamp\n"},
        {{"out", "--decay", "0"}, "murel: --decay 0: the decay time must be above 0\n"},
        {{"out", "--decay", "-3,0.1"}, "murel: --decay -3,0.1: the decay time must be above 0\n"},
        {{"out", "--decay", "inf"}, "murel: --decay inf: 'inf' is not a finite number\n"},
        {{"out", "--rise", "0,0"}, "murel: --rise 0,0: the rise time must be above 0\n"},
        {{"out", "--rise", "nan"}, "murel: --rise nan: 'nan' is not a finite number\n"},
        {{"out", "--rise", "5,0.2"},
         "murel: --rise 5,0.2: the relative sigma of the rise must be at most 0.15, so that every drawn rise time "
         "stays above 0\n"},
        {{"out", "--polarity", "up"}, "murel: --polarity up: expected one of positive, negative\n"},
        {{"out", "--pileup", "1.5,0,10"}, "murel: --pileup 1.5,0,10: the probability must be 0 to 1\n"},
        {{"out", "--pileup", "-0.1,0,10"}, "murel: --pileup -0.1,0,10: the probability must be 0 to 1\n"},
        {{"out", "--pileup", "0.5,-2,10"}, "murel: --pileup 0.5,-2,10: the delays must not be negative\n"},
        {{"out", "--pileup", "0.5,20,10"}, "murel: --pileup 0.5,20,10: the maximum delay is below the minimum\n"},
        {{"out", "--pileup", "0.5"}, "murel: --pileup 0.5: expected PROBABILITY,MIN_DELAY,MAX_DELAY\n"},
        {{"out", "--baseline-slope", "-inf"}, "murel: --baseline-slope -inf: '-inf' is not a finite number\n"},
        {{"out", "--bits", "10"}, "murel: --bits 10: expected one of 12, 14, 16\n"},
        {{"out", "--bits", "15"}, "murel: --bits 15: expected one of 12, 14, 16\n"},
        {{"out", "--saturate", "yes"}, "murel: generate: unexpected argument 'yes'\n"},
        {{"out", "--model", "model"}, "murel: model:1: decay = 0: the decay time must be above 0\n", "decay = 0\n"},
        {{"out", "--threads", "1025"}, "--threads: Value 1025"},
        {{"out", "--model", "missing.txt"}, "--model: File does not exist: missing.txt"},
        {{"out", "--truth", "out.model"}, "murel: --truth out.model: the same file as OUTPUT or its sidecar\n"},
        {{"out", "--truth", "./out"}, "murel: --truth ./out: the same file as OUTPUT or its sidecar\n"},
        {{}, "murel: generate: OUTPUT (or -o OUTPUT) is required unless --print-model is given\n"},
        {{"dir/"}, "murel: OUTPUT dir/: not a file name\n"},
        {{"out", "--model", "model"}, "murel: model:2: expected 'key = value', not 'width 3'\n", "noise = 1\nwidth 3\n"},
        {{"out", "--model", "model", "--seed", "5"}, "murel: model:3: seed = 0: must be 1 to 2147483646\n",
         "\n# the seed\nseed = 0 # none\n"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        if (!c.model.empty()) std::ofstream(dir.file("model")) << c.model;
        const run_result result = generate(c.arguments, dir.path().string());
        EXPECT_EQ(result.status, 2) << c.message;
        EXPECT_EQ(result.err.rfind("murel: ", 0), 0U) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(listing(dir.path().string()).size(), c.model.empty() ? 0U : 1U) << c.message;
    }
}

TEST(murel_generate, a_failed_write_leaves_no_output_sidecar_or_truth) {
    const struct {
        std::vector<std::string> arguments;
        rlim_t file_size_limit;
        std::string message;
    } cases[] = {
        {{"out", "--events", "10", "--truth", "truth.csv"}, 20000, "murel: cannot write out: File too large\n"},
        {{"out", "--events", "2000", "--samples", "1", "--centre", "0,0", "--truth", "truth.csv"}, 10000,
         "murel: cannot write truth.csv: File too large\n"},
        {{"missing/out"}, RLIM_INFINITY, "murel: cannot create missing/out: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        const run_result result = generate(c.arguments, dir.path().string(), {c.file_size_limit});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.message);
        EXPECT_TRUE(listing(dir.path().string()).empty()) << c.message;
    }
}

TEST(murel_generate, links_are_followed_and_devices_written_in_place) {
    scratch_dir dir;
    std::filesystem::create_directory(dir.file("sub"));
    std::filesystem::create_symlink("sub/target.cdb", dir.file("link.cdb"));
    std::filesystem::create_symlink("/dev/null", dir.file("null.csv"));
    std::filesystem::create_symlink("/proc/self/fd/1", dir.file("console.csv"));
    scratch_dir console;
    const std::string shown = console.file("shown");
    for (const char* truth : {"null.csv", "console.csv"}) {
        const run_result result = generate({"link.cdb", "--events", "1", "--truth", truth}, dir.path().string(),
                                           {RLIM_INFINITY, false, shown.c_str()});
        EXPECT_EQ(result.status, 0) << result.err;
    }
    for (const char* link : {"link.cdb", "null.csv", "console.csv"})
        EXPECT_TRUE(std::filesystem::is_symlink(dir.file(link))) << link;
    EXPECT_EQ(std::filesystem::file_size(dir.file("sub/target.cdb")), 12U + 4000U);
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
    EXPECT_EQ(read_file(shown).find("\nevent,channel,component,"), read_file(shown).find('\n'));
    // Data going to a device has no sidecar beside the device.
    std::filesystem::create_symlink("/dev/null", dir.file("device.cdb"));
    EXPECT_EQ(generate({"device.cdb", "--events", "1"}, dir.path().string()).status, 0);
    EXPECT_EQ(listing(dir.path().string()),
              (std::vector<std::string>{"console.csv", "device.cdb", "link.cdb", "link.cdb.model", "null.csv", "sub"}));
}

TEST(murel_generate, help_lists_every_option_with_its_default) {
    scratch_dir dir;
    const run_result help = run(MUREL_PATH, {"generate", "--help"}, dir.path().string());
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--seed S=1", "--events N=10000", "--first-event K=0", "--samples N=1000",
                               "--line POSITION,RELSIGMA,PROBABILITY=12775,0.003,0.3 31863,0.0015,0.2",
                               "--continuum MIN,MAX=10000,35000", "--centre VALUE,RELSIGMA=600,0.005",
                               "--width VALUE,RELSIGMA=175,0.0005", "--offset VALUE,RELSIGMA=-28000,0.05",
                               "--noise SIGMA=20", "--shape gaussian|exponential|preamp=gaussian",
                               "--rise VALUE[,RELSIGMA]=10,0", "--decay VALUE[,RELSIGMA]=100,0",
                               "--polarity positive|negative=positive", "--pileup PROBABILITY,MIN_DELAY,MAX_DELAY=0,0,0",
                               "--baseline-slope ADC-PER-SAMPLE=0", "--bits 12|14|16=16", "--saturate", "--threads N=0", "--truth FILE", "--model FILE", "--print-model"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    EXPECT_EQ(run(MUREL_PATH, {"--version"}, dir.path().string()).out, MUREL_VERSION "\n");
}

TEST(murel_generate, records_that_wrap_are_counted_and_marked_in_the_truth_table_only_when_there_are_any) {
    scratch_dir dir;
    const std::string where = dir.path().string();
    const run_result all = generate({"-o", "all.cdb", "--truth", "all.csv", "--threads", "0"}, where);
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.err, "murel: note: 12 of 20000 records (A: 4, B: 8) have samples beyond the 16-bit ADC's range, wrapped "
                       "round; the truth table marks them in its column wrapped\n");
    // On the default baseline near -28000 only a wrapped sample lies above +30000.
    const std::string data = read_file(dir.file("all.cdb"));
    std::set<std::pair<std::uint64_t, char>> wrapped_in_data;
    for (std::uint64_t event = 0; event < 10000; ++event)
        for (std::size_t j = 0; j < 2000; ++j) {
            const std::size_t at = 12 + (event * 2000 + j) * 2;
            const auto sample = static_cast<std::int16_t>(static_cast<unsigned char>(data[at]) | static_cast<unsigned char>(data[at + 1]) << 8);
            if (sample > 30000) wrapped_in_data.insert({event, "AB"[j % 2]});
        }
    std::set<std::pair<std::uint64_t, char>> marked;
    const std::vector<std::string> rows = test_support::lines(read_file(dir.file("all.csv")));
    ASSERT_EQ(rows.size(), 20002u);
    EXPECT_EQ(rows[0].rfind("# data-set = ", 0), 0u) << rows[0];
    EXPECT_EQ(rows[1], "event,channel,component,amplitude,centre,width,offset,wrapped");
    for (std::size_t i = 2; i < rows.size(); ++i) {
        const std::string& row = rows[i];
        ASSERT_TRUE(row.size() > 2 && (row.compare(row.size() - 2, 2, ",0") == 0 || row.compare(row.size() - 2, 2, ",1") == 0)) << row;
        if (row.back() == '1') marked.insert({std::stoull(row), row[row.find(',') + 1]});
    }
    EXPECT_EQ(marked.size(), 12u);
    EXPECT_EQ(marked, wrapped_in_data);

    // The same events without the wrapped ones: the files are those of before, byte for byte.
    const std::uint64_t first_wrapped = marked.begin()->first;
    ASSERT_GT(first_wrapped, 0u);
    const std::string events = std::to_string(first_wrapped);
    const run_result some = generate({"some.cdb", "--truth", "some.csv", "--events", events}, where);
    ASSERT_EQ(some.status, 0) << some.err;
    EXPECT_EQ(some.err, "");
    const std::string some_truth = read_file(dir.file("some.csv"));
    EXPECT_EQ(test_support::lines(some_truth)[1], "event,channel,component,amplitude,centre,width,offset");
    EXPECT_TRUE(read_file(dir.file("some.cdb")) == data.substr(0, 12 + first_wrapped * 4000));
    // Saturated samples are clipped, never wrapped; -q keeps the note back.
    for (const std::vector<std::string>& silent : {std::vector<std::string>{"sat.cdb", "--saturate", "--truth", "sat.csv"},
                                                   std::vector<std::string>{"q.cdb", "-q", "--truth", "q.csv"}}) {
        const run_result r = generate(silent, where);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
    }
    EXPECT_EQ(test_support::lines(read_file(dir.file("sat.csv")))[1], "event,channel,component,amplitude,centre,width,offset");
    EXPECT_TRUE(read_file(dir.file("q.csv")) == read_file(dir.file("all.csv")));
    EXPECT_TRUE(read_file(dir.file("q.cdb")) == data);
}
