// The pulse-processing steps alone, the chain settings, their accuracy on the generator's pulse
// shapes, and murel analyse with the methods, chains and line calibration.
#include "calibration.h"
#include "chain.h"
#include "murel_gen.h"
#include "processors.h"

#include "program_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace murel::analysis;
using test_support::run_result;
using test_support::scratch_dir;

namespace {

// Expects `call` to throw std::invalid_argument whose message holds `part`.
template <typename F>
void expect_invalid(F call, const std::string& part) {
    try {
        call();
        ADD_FAILURE() << "no exception; expected one naming " << part;
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
    }
}

std::vector<double> doubles(std::initializer_list<double> values) { return values; }

}  // namespace

TEST(processors, baseline_is_the_fitted_line_of_the_samples) {
    struct case_ {
        std::vector<std::int32_t> samples;
        double mean, slope, rms;
    };
    const case_ cases[] = {
        {{}, 0, 0, 0},
        {{5}, 5, 0, 0},
        {{10, 12, 14, 16}, 13, 2, 0},
        {{0, 2, 0, 2}, 1, 0.4, std::sqrt(0.8)},
        {{-30000, -30000, -30000}, -30000, 0, 0},
    };
    for (const case_& c : cases) {
        const baseline_estimate b = measure_baseline(c.samples.data(), c.samples.size());
        EXPECT_NEAR(b.mean, c.mean, 1e-12);
        EXPECT_NEAR(b.slope, c.slope, 1e-12);
        EXPECT_NEAR(b.rms, c.rms, 1e-12);
    }
}

TEST(processors, pole_zero_turns_a_decay_into_a_step_and_refuses_bad_decays) {
    std::vector<double> x(50), out(50);
    for (std::size_t j = 0; j < x.size(); ++j) x[j] = 100.0 * std::exp(-static_cast<double>(j) / 7.5);
    pole_zero(x.data(), x.size(), 7.5, out.data());
    for (double v : out) EXPECT_NEAR(v, 100.0, 1e-9);
    for (double bad : {0.0, -3.0, double(NAN), double(INFINITY)}) expect_invalid([&] { pole_zero(x.data(), x.size(), bad, out.data()); }, "decay");
    const std::optional<double> decay = estimate_decay(x.data(), x.size(), 2);
    ASSERT_TRUE(decay);
    EXPECT_NEAR(*decay, 7.5, 1e-9);
    const std::vector<double> flat(30, 5.0);
    EXPECT_FALSE(estimate_decay(flat.data(), flat.size(), 0));
}

TEST(processors, trapezoid_of_a_step_rises_stays_flat_and_falls) {
    const std::vector<double> step = doubles({0, 0, 0, 1, 1, 1, 1, 1, 1, 1});
    std::vector<double> sums(step.size()), out(step.size(), -1.0);
    running_sums(step.data(), step.size(), sums.data());
    EXPECT_EQ(sums, doubles({0, 0, 0, 1, 2, 3, 4, 5, 6, 7}));
    trapezoid(sums.data(), 0, sums.size(), 2, 1, out.data());
    const std::vector<double> expected = doubles({0, 0, 0, 0.5, 1, 1, 0.5, 0, 0, 0});
    for (std::size_t j = 0; j < out.size(); ++j) EXPECT_NEAR(out[j], expected[j], 1e-12) << "at " << j;
    // From a later sample on, the output is the same and nothing before it is written.
    std::vector<double> later(step.size(), -1.0);
    trapezoid(sums.data(), 5, sums.size(), 2, 1, later.data());
    for (std::size_t j = 0; j < out.size(); ++j) EXPECT_EQ(later[j], j < 5 ? -1.0 : out[j]) << "at " << j;
    expect_invalid([&] { trapezoid(sums.data(), 0, sums.size(), 0, 1, out.data()); }, "rise");
}

TEST(processors, charge_gates_timing_and_rise_time_on_hand_made_samples) {
    const std::vector<double> x = doubles({1, 2, 3, 4, 5});
    const charge_estimate c = integrate(x.data(), x.size(), 1, 3, 1);
    EXPECT_EQ(c.charge, 9.0);
    EXPECT_EQ(c.short_charge, 2.0);
    EXPECT_NEAR(c.psd, 7.0 / 9.0, 1e-15);
    EXPECT_EQ(integrate(x.data(), x.size(), 3, 100, 50).charge, 9.0);  // cut at the record's end
    EXPECT_EQ(integrate(x.data(), x.size(), 5, 3, 1).psd, 0.0);        // nothing to integrate

    const std::vector<double> edge = doubles({0, 0, 2, 4, 1, 6});
    EXPECT_DOUBLE_EQ(*rising_crossing(edge.data(), edge.size(), 1.0, 0, edge.size()), 1.5);
    EXPECT_FALSE(rising_crossing(edge.data(), edge.size(), 7.0, 0, edge.size()));
    EXPECT_DOUBLE_EQ(*edge_crossing(edge.data(), edge.size(), 3.0, 5), 4.4);  // the last rise before the peak
    EXPECT_FALSE(edge_crossing(edge.data(), edge.size(), 6.0, 5));

    std::vector<double> ramp(12);
    for (std::size_t j = 0; j < ramp.size(); ++j) ramp[j] = static_cast<double>(std::min<std::size_t>(j, 10));
    const edge_times ramp_edges = edge_times_of(ramp.data(), ramp.size(), 10, 10.0, 2.5, 0.5);
    EXPECT_DOUBLE_EQ(*ramp_edges.rise_time, 8.0);
    EXPECT_DOUBLE_EQ(*ramp_edges.leading, 2.5);
    EXPECT_DOUBLE_EQ(*ramp_edges.cfd, 5.0);
    EXPECT_FALSE(edge_times_of(ramp.data(), ramp.size(), 10, 0.0, 2.5, 0.5).rise_time);
    // Levels in any order, one above the peak and one below the whole ramp.
    const double levels[] = {20.0, 9.5, -1.0, 0.5};
    std::optional<double> crossings[4];
    edge_crossings(ramp.data(), ramp.size(), 10, levels, 4, crossings);
    EXPECT_FALSE(crossings[0]);
    EXPECT_DOUBLE_EQ(*crossings[1], 9.5);
    EXPECT_FALSE(crossings[2]);
    EXPECT_DOUBLE_EQ(*crossings[3], 0.5);
}

TEST(processors, saturation_and_pileup_flags) {
    const std::vector<std::int32_t> inside{-2047, 0, 2046}, at_top{0, 2047, 5}, at_bottom{-2048, 0}, wrapped{1900, 2000, -2000};
    EXPECT_FALSE(saturated(inside.data(), inside.size(), -2048, 2047));
    EXPECT_TRUE(saturated(wrapped.data(), wrapped.size(), -2048, 2047));
    EXPECT_TRUE(saturated(at_top.data(), at_top.size(), -2048, 2047));
    EXPECT_TRUE(saturated(at_bottom.data(), at_bottom.size(), -2048, 2047));

    std::vector<double> single(200, 0.0), doubled(200, 0.0), small(200, 0.0);
    for (std::size_t j = 50; j < 200; ++j) single[j] = doubled[j] = 100.0, small[j] = 3.0;
    for (std::size_t j = 90; j < 200; ++j) doubled[j] += 40.0, small[j] += 3.0;
    for (std::vector<double>* x : {&single, &doubled, &small}) running_sums(x->data(), x->size(), x->data());
    EXPECT_FALSE(piled_up(single.data(), 0, single.size(), 4, 10.0));
    EXPECT_TRUE(piled_up(doubled.data(), 0, doubled.size(), 4, 10.0));
    EXPECT_TRUE(piled_up(doubled.data(), 40, doubled.size(), 4, 10.0));
    EXPECT_FALSE(piled_up(doubled.data(), 60, doubled.size(), 4, 10.0));  // only the second edge
    EXPECT_FALSE(piled_up(small.data(), 0, small.size(), 4, 10.0));       // edges below the threshold
    EXPECT_FALSE(piled_up(doubled.data(), 0, 6, 4, 10.0));                // too short to look at
    EXPECT_FALSE(piled_up(doubled.data(), 195, 200, 4, 10.0));
}

TEST(chain, lengths_read_as_samples_or_times) {
    EXPECT_EQ(duration::parse("50", "x").samples(std::nullopt, "x"), 50.0);
    EXPECT_EQ(duration::parse("2us", "x").samples(4.0, "x"), 500.0);
    EXPECT_EQ(duration::parse("400ns", "x").samples(2.0, "x"), 200.0);
    for (const char* bad : {"", "abc", "-3", "5ms", "nan", "inf"}) expect_invalid([&] { duration::parse(bad, "--rise-time"); }, "--rise-time");
    expect_invalid([] { duration::parse("2us", "--rise-time").samples(std::nullopt, "--rise-time"); }, "sample period");
}

TEST(chain, a_chain_file_sets_processors_per_channel_and_names_bad_keys) {
    chain c;
    c.apply(R"({"method": "charge", "charge": {"long": 300, "short": "40"},
                "channels": {"B": {"method": "trapezoid", "trapezoid": {"rise_time": "1us", "flat_top": 20}}}})",
            "c.json");
    EXPECT_EQ(c.of("A").choice, method::charge);
    EXPECT_EQ(c.of("A").long_gate->value, 300.0);
    EXPECT_EQ(c.of("B").choice, method::trapezoid);
    EXPECT_EQ(c.of("B").long_gate->value, 300.0);  // the file's settings for all channels apply too
    EXPECT_EQ(resolve(c.of("B"), "B", 4.0, 1000).rise_time, 250u);
    EXPECT_EQ(c.source, "c.json");

    const std::pair<const char*, const char*> bad[] = {
        {"{\"method\": ", "not valid JSON"},
        {R"({"trapezium": {"rise_time": 4}})", "trapezium: no such processor"},
        {R"({"trapezoid": {"rise": 4}})", "trapezoid.rise: no such parameter"},
        {R"({"method": "gauss"})", "method 'gauss'"},
        {R"({"channels": {"A": {"pileup": {"window": "x"}}}})", "channels.A.pileup.window"},
        {R"({"timing": {"cfd_fraction": "half"}})", "timing.cfd_fraction"},
    };
    for (const auto& [text, part] : bad) {
        chain d;
        expect_invalid([&] { d.apply(text, "bad.json"); }, part);
        expect_invalid([&] { d.apply(text, "bad.json"); }, "bad.json");
    }
}

TEST(chain, a_record_whose_charge_is_not_above_zero_has_no_pulse) {
    // A short spike and then a deep undershoot inside the gate: the edge is found, the charge is below 0.
    std::vector<std::int32_t> record(100, 0);
    for (std::size_t j = 50; j < 53; ++j) record[j] = 100;
    for (std::size_t j = 53; j < 100; ++j) record[j] = -100;
    channel_processing p;
    p.long_gate = 20, p.short_gate = 10, p.gate_lead = 5, p.pretrigger = 40;
    pulse_estimate e;
    const record_measures m = record_processor{}.process(record.data(), record.size(), p, method::charge, std::nullopt, {}, e);
    ASSERT_TRUE(m.charge);
    EXPECT_LT(*m.charge, 0.0);
    EXPECT_EQ(e.flag, record_flag::no_pulse);
}

TEST(chain, settings_that_do_not_fit_the_records_are_refused) {
    const auto with = [](auto change) {
        channel_chain c;
        change(c);
        return c;
    };
    const std::pair<channel_chain, const char*> bad[] = {
        {with([](channel_chain& c) { c.rise_time = duration{600}; }), "rise time 600 is longer than the record of 500"},
        {with([](channel_chain& c) { c.rise_time = duration{200}, c.flat_top = duration{200}; }), "trapezoid of rise time 200"},
        {with([](channel_chain& c) { c.flat_top = duration{501}; }), "flat top 501"},
        {with([](channel_chain& c) { c.long_gate = duration{501}; }), "long gate 501"},
        {with([](channel_chain& c) { c.short_gate = duration{300}; }), "short gate 300 is longer than the long gate"},
        {with([](channel_chain& c) { c.decay = duration{0}; }), "decay 0"},
        {with([](channel_chain& c) { c.cfd_fraction = 1.0; }), "CFD fraction 1"},
        {with([](channel_chain& c) { c.threshold = -1.0; }), "threshold -1"},
    };
    for (const auto& [c, part] : bad) expect_invalid([&] { resolve(c, "A", std::nullopt, 500); }, part);
    EXPECT_NO_THROW(resolve(channel_chain{}, "A", std::nullopt, std::nullopt));
    // Lengths not given shrink to fit a short record.
    const channel_processing short_record = resolve(channel_chain{}, "A", std::nullopt, 40);
    EXPECT_EQ(short_record.rise_time, 4u);
    EXPECT_EQ(short_record.long_gate, 8u);
    EXPECT_NO_THROW(resolve(channel_chain{}, "A", std::nullopt, 1));
}

namespace {

// Records of the generator's pulse model with white noise, as its ADC stores them.
struct synthetic {
    std::vector<std::vector<std::int32_t>> records;
    std::vector<murel::drawn_pulse> pulses;
};

synthetic generate(const murel::pulse_model& model, int count, int samples, std::int32_t seed) {
    murel::generator g;
    g.generator_state = seed;
    std::mt19937_64 random(static_cast<std::uint64_t>(seed));
    std::normal_distribution<double> normal(0.0, model.noise_sigma);
    std::vector<double> values(static_cast<std::size_t>(samples)), work(2 * static_cast<std::size_t>(samples));
    synthetic s;
    for (int r = 0; r < count; ++r) {
        s.pulses.push_back(murel::draw_pulse(g, model));
        murel::record_samples(model, s.pulses.back(), values.data(), work.data(), samples);
        std::vector<std::int32_t> record;
        for (double v : values) record.push_back(murel::digitised(v + normal(random), model.bits, model.saturate));
        s.records.push_back(std::move(record));
    }
    return s;
}

murel::pulse_model shaped(murel::pulse_shape shape, double decay) {
    murel::pulse_model m;
    m.shape = shape;
    m.rise = {10.0, 0.0};
    m.decay = {decay, 0.0};
    m.offset = {-20000.0, 0.0};  // the largest pulses stay within 16 bits
    m.centre = {300.0, 0.01};
    return m;
}

// The RMS of y about its least-squares line against x.
double scatter_about_line(const std::vector<double>& x, const std::vector<double>& y) {
    const double n = static_cast<double>(x.size());
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < x.size(); ++i) sx += x[i], sy += y[i], sxx += x[i] * x[i], sxy += x[i] * y[i];
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx), intercept = (sy - slope * sx) / n;
    double squares = 0;
    for (std::size_t i = 0; i < x.size(); ++i) squares += std::pow(y[i] - intercept - slope * x[i], 2);
    return std::sqrt(squares / n);
}

}  // namespace

TEST(accuracy, survey_chooses_fit_for_gaussians_trapezoid_for_steps_and_charge_for_returning_pulses) {
    struct case_ {
        murel::pulse_model model;
        method expected;
    };
    murel::pulse_model gaussian;
    gaussian.width = {60.0, 0.0};
    gaussian.centre = {300.0, 0.0};
    const case_ cases[] = {{gaussian, method::fit},
                           {shaped(murel::pulse_shape::preamp, 3000.0), method::trapezoid},
                           {shaped(murel::pulse_shape::exponential, 40.0), method::charge}};
    for (const case_& c : cases) {
        const synthetic s = generate(c.model, 16, 1000, 7);
        shape_survey survey;
        for (const auto& r : s.records) survey.add(r.data(), r.size());
        EXPECT_EQ(survey.choice(), c.expected) << method_name(c.expected);
        if (c.expected != method::fit) {
            ASSERT_TRUE(survey.decay());
            EXPECT_NEAR(*survey.decay(), c.model.decay.value, 0.03 * c.model.decay.value);
        }
    }
}

TEST(accuracy, trapezoid_on_preamp_data_is_within_ten_percent_of_the_filter_at_the_true_onset) {
    const murel::pulse_model model = shaped(murel::pulse_shape::preamp, 3000.0);
    const synthetic s = generate(model, 400, 1000, 11);
    channel_processing p;
    p.rise_time = 60, p.flat_top = 40;
    record_processor processor;
    std::vector<double> truth, energies, reference, x(1000), pz(1000), trap(1000), delays;
    for (std::size_t r = 0; r < s.records.size(); ++r) {
        pulse_estimate e;
        const record_measures m = processor.process(s.records[r].data(), 1000, p, method::trapezoid, 3000.0, {}, e);
        ASSERT_EQ(e.flag, record_flag::ok);
        truth.push_back(s.pulses[r].params[0]);
        energies.push_back(*m.trap_energy);
        delays.push_back(*m.t_cfd - s.pulses[r].params[1]);
    }
    // The same filter in double precision, read at the true onset plus the mean CFD delay.
    double delay = 0;
    for (double d : delays) delay += d / static_cast<double>(delays.size());
    for (std::size_t r = 0; r < s.records.size(); ++r) {
        const baseline_estimate b = measure_baseline(s.records[r].data(), 250);
        for (std::size_t j = 0; j < 1000; ++j) x[j] = s.records[r][j] - b.mean;
        pole_zero(x.data(), 1000, 3000.0, pz.data());
        running_sums(pz.data(), 1000, pz.data());
        trapezoid(pz.data(), 0, 1000, 60, 40, trap.data());
        reference.push_back(trap[static_cast<std::size_t>(s.pulses[r].params[1] + delay) + 60 + 20]);
    }
    const double ours = scatter_about_line(truth, energies), best = scatter_about_line(truth, reference);
    std::printf("trapezoid RMS about the line %.2f ADC, at the true onset %.2f ADC, ratio %.3f\n", ours, best, ours / best);
    EXPECT_LE(ours, 1.10 * best);
}

TEST(accuracy, charge_line_widths_follow_the_drawn_amplitudes) {
    murel::pulse_model model = shaped(murel::pulse_shape::exponential, 40.0);
    model.lines = {{12775.0, 0.01, 1.0}};
    const synthetic s = generate(model, 400, 1000, 13);
    channel_processing p;
    record_processor processor;
    std::vector<double> drawn, charges;
    for (std::size_t r = 0; r < s.records.size(); ++r) {
        pulse_estimate e;
        const record_measures m = processor.process(s.records[r].data(), 1000, p, method::charge, 40.0, {}, e);
        ASSERT_EQ(e.flag, record_flag::ok);
        drawn.push_back(s.pulses[r].params[0]);
        charges.push_back(*m.charge);
    }
    const auto relative_sigma = [](const std::vector<double>& v) {
        double mean = 0, squares = 0;
        for (double x : v) mean += x / static_cast<double>(v.size());
        for (double x : v) squares += (x - mean) * (x - mean);
        return std::sqrt(squares / static_cast<double>(v.size())) / mean;
    };
    const double ratio = relative_sigma(charges) / relative_sigma(drawn);
    std::printf("charge line FWHM over the drawn amplitudes' FWHM: %.3f\n", ratio);
    EXPECT_NEAR(ratio, 1.0, 0.08);
}

TEST(accuracy, pileup_is_flagged_when_the_second_pulse_comes_after_twice_the_rise) {
    murel::pulse_model model = shaped(murel::pulse_shape::exponential, 100.0);
    model.pileup = {0.5, 0.0, 300.0};
    const synthetic s = generate(model, 600, 1000, 17);
    channel_processing p;
    record_processor processor;
    int piled = 0, piled_flagged = 0, single = 0, single_flagged = 0;
    for (std::size_t r = 0; r < s.records.size(); ++r) {
        pulse_estimate e;
        processor.process(s.records[r].data(), 1000, p, method::charge, 100.0, {}, e);
        const murel::drawn_pulse& d = s.pulses[r];
        const bool flagged = e.flag == record_flag::pileup;
        if (!d.piled_up) {
            ++single, single_flagged += flagged;
        } else if (d.pileup_centre - d.params[1] > 2.0 * d.rise) {
            ++piled, piled_flagged += flagged;
        }
    }
    std::printf("pile-up flagged: %d of %d piled up (delay > 2 rise), %d of %d single\n", piled_flagged, piled, single_flagged, single);
    EXPECT_GE(piled_flagged, 0.9 * piled);
    EXPECT_LE(single_flagged, 0.01 * single);
    // A sloping baseline grows under the pole-zero correction, but is no second pulse.
    for (const double slope : {-2.0, -0.5, 0.5, 2.0})
        for (const murel::pulse_shape shape : {murel::pulse_shape::exponential, murel::pulse_shape::preamp}) {
            murel::pulse_model sloped = shaped(shape, 100.0);
            sloped.baseline_slope = slope;
            sloped.offset = {slope > 0 ? -30000.0 : 0.0, 0.0};  // the slope stays within 16 bits
            const synthetic t = generate(sloped, 200, 1000, 19);
            int flagged = 0;
            for (const auto& record : t.records) {
                pulse_estimate e;
                processor.process(record.data(), 1000, p, shape == murel::pulse_shape::preamp ? method::trapezoid : method::charge,
                                  100.0, {}, e);
                flagged += e.flag == record_flag::pileup;
            }
            EXPECT_LE(flagged, 2) << "slope " << slope << ", " << (shape == murel::pulse_shape::preamp ? "preamp" : "exponential");
        }
}

TEST(accuracy, cfd_time_scatters_less_than_a_third_of_a_sample_at_signal_to_noise_100) {
    murel::pulse_model model = shaped(murel::pulse_shape::exponential, 100.0);
    model.lines = {{2000.0, 0.0, 1.0}};
    model.noise_sigma = 20.0;
    model.centre = {300.0, 0.02};
    const synthetic s = generate(model, 400, 1000, 19);
    channel_processing p;
    record_processor processor;
    std::vector<double> offsets;
    for (std::size_t r = 0; r < s.records.size(); ++r) {
        pulse_estimate e;
        const record_measures m = processor.process(s.records[r].data(), 1000, p, method::charge, 100.0, {}, e);
        ASSERT_TRUE(m.t_cfd);
        offsets.push_back(*m.t_cfd - s.pulses[r].params[1]);
    }
    double mean = 0, squares = 0;
    for (double o : offsets) mean += o / static_cast<double>(offsets.size());
    for (double o : offsets) squares += (o - mean) * (o - mean);
    const double rms = std::sqrt(squares / static_cast<double>(offsets.size()));
    std::printf("CFD time - onset: mean %.3f, RMS %.3f samples\n", mean, rms);
    EXPECT_LE(rms, 0.3);
}

namespace {

run_result run_murel(const std::vector<std::string>& arguments, const std::string& dir) { return test_support::run(MUREL_PATH, arguments, dir); }

nlohmann::json summary_of(const std::string& dir) { return nlohmann::json::parse(test_support::read_file(dir + "/summary.json")); }

}  // namespace

TEST(murel_analyse_processing, settings_that_do_not_fit_are_usage_errors_naming_them) {
    scratch_dir dir;
    ASSERT_EQ(run_murel({"generate", "d.cdb", "--events", "20", "--shape", "preamp", "--decay", "500"}, dir.path()).status, 0);
    std::ofstream(dir.file("bad.json")) << "{\"method\": \"trapezoid\",";
    std::ofstream(dir.file("processor.json")) << R"({"trapezoid": {"rise_time": 10}, "smoothing": {"width": 3}})";
    std::ofstream(dir.file("channel.json")) << R"({"channels": {"C": {"method": "charge"}}})";
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--rise-time", "2000"}, "rise time 2000 is longer than the record of 1000 samples"},
        {{"--flat-top", "1001"}, "flat top 1001"},
        {{"--gates", "1500,20"}, "long gate 1500"},
        {{"--decay", "0"}, "decay 0"},
        {{"--decay", "-5"}, "--decay '-5'"},
        {{"--decay", "inf"}, "--decay 'inf'"},
        {{"--rise-time", "2us"}, "needs a format that gives the sample period"},
        {{"--chain", "bad.json"}, "bad.json: not valid JSON"},
        {{"--chain", "processor.json"}, "smoothing: no such processor"},
        {{"--chain", "channel.json"}, "channel.json: channels.C: no channel 'C'"},
        {{"--calibrate-lines", "100"}, "at least two energies"},
        {{"--calibrate-lines", "100,50"}, "must increase"},
    };
    for (const auto& [options, part] : cases) {
        std::vector<std::string> arguments{"analyse", "d.cdb", "-o", "out"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const run_result r = run_murel(arguments, dir.path());
        EXPECT_EQ(r.status, 2) << options[0];
        EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("out/summary.json")));
    }
}

TEST(murel_analyse_processing, auto_chooses_per_channel_and_records_show_each_method_columns) {
    scratch_dir dir;
    ASSERT_EQ(run_murel({"generate", "p.cdb", "--events", "300", "--shape", "preamp", "--decay", "2000", "--offset", "-20000,0.01",
                         "--pileup", "0.2,30,300", "--truth", "p.csv"}, dir.path()).status, 0);
    const run_result r = run_murel({"analyse", "p.cdb", "-o", "out", "--records", "--truth", "p.csv"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json s = summary_of(dir.file("out"));
    for (const char* channel : {"A", "B"}) {
        const nlohmann::json& c = s["channels"][channel];
        EXPECT_EQ(c["method"], "trapezoid");
        EXPECT_EQ(c["processing"]["method_option"], "auto");
        EXPECT_NEAR(c["estimated_decay"].get<double>(), 2000.0, 60.0);
        EXPECT_GT(c["pileup"].get<int>(), 20);
    }
    const std::vector<std::string> rows = test_support::lines(test_support::read_file(dir.file("out/records.csv")));
    ASSERT_EQ(rows.size(), 601u);
    EXPECT_EQ(rows[0], "file,event,channel,baseline,amplitude,centre,width,flag,timestamp,daq_energy,baseline_rms,baseline_slope,"
                       "trap_energy,trap_max,charge,charge_short,psd,t_leading,t_cfd,rise_time,chi2");
    int piled = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        std::vector<std::string> fields;
        std::stringstream row(rows[i]);
        for (std::string field; std::getline(row, field, ',');) fields.push_back(field);
        fields.resize(21);
        piled += fields[7] == "pileup";
        EXPECT_TRUE(fields[6].empty() && fields[14].empty() && fields[16].empty() && fields[20].empty()) << rows[i];  // width, charge, psd, chi2
        if (fields[7] == "ok") {
            EXPECT_FALSE(fields[12].empty() || fields[13].empty() || fields[18].empty()) << rows[i];
        }
        for (const std::string& f : fields) EXPECT_EQ(f.find("nan"), std::string::npos) << rows[i];
    }
    EXPECT_EQ(piled, s["channels"]["A"]["pileup"].get<int>() + s["channels"]["B"]["pileup"].get<int>());

    // The same data by charge is refused by merge: its records were measured otherwise.
    ASSERT_EQ(run_murel({"analyse", "p.cdb", "-o", "charged", "--method", "charge", "--truth", "p.csv"}, dir.path()).status, 0);
    EXPECT_EQ(summary_of(dir.file("charged"))["channels"]["A"]["method"], "charge");
    const run_result merged = run_murel({"merge", "out", "charged", "-o", "sum"}, dir.path());
    EXPECT_EQ(merged.status, 1);
    EXPECT_NE(merged.err.find("different processing of channel A"), std::string::npos) << merged.err;
}

TEST(murel_analyse_processing, polarity_is_judged_from_the_baseline_before_an_early_long_step) {
    scratch_dir dir;
    for (const auto& [polarity, offset] : {std::pair{"positive", "-30000,0"}, std::pair{"negative", "30000,0"}}) {
        SCOPED_TRACE(polarity);
        // The step is up for most of the record: its median lies on the plateau.
        ASSERT_EQ(run_murel({"generate", "s.cdb", "--events", "100", "--shape", "preamp", "--decay", "2000", "--centre", "150,0.01",
                             "--offset", offset, "--polarity", polarity},
                            dir.path()).status,
                  0);
        ASSERT_EQ(run_murel({"analyse", "s.cdb", "-o", "out", "-q"}, dir.path()).status, 0);
        const nlohmann::json s = summary_of(dir.file("out"));
        EXPECT_EQ(s["channels"]["A"]["polarity"], polarity);
        EXPECT_EQ(s["channels"]["A"]["method"], "trapezoid");
    }
}

TEST(murel_analyse_processing, files_of_murel_generate_are_read_with_their_record_length_and_adc_bits) {
    scratch_dir dir;
    ASSERT_EQ(run_murel({"generate", "short.cdb", "--events", "50", "--samples", "200", "--centre", "120,0.005", "--width", "35,0.001"},
                        dir.path()).status,
              0);
    ASSERT_EQ(run_murel({"analyse", "short.cdb", "-o", "short", "-q"}, dir.path()).status, 0);
    EXPECT_EQ(summary_of(dir.file("short"))["samples"], 200);
    // Steps clipped at a 12-bit ADC's top are saturated, although cdb stores 16 bits.
    ASSERT_EQ(run_murel({"generate", "twelve.cdb", "--events", "200", "--shape", "exponential", "--rise", "3", "--decay", "50",
                         "--centre", "300,0.01", "--bits", "12", "--saturate", "--offset", "0,0", "--line", "1000,0.01,0.5",
                         "--line", "3000,0.01,0.5", "--continuum", "500,3500", "--noise", "5"},
                        dir.path()).status,
              0);
    ASSERT_EQ(run_murel({"analyse", "twelve.cdb", "-o", "twelve", "--method", "trapezoid", "-q"}, dir.path()).status, 0);
    EXPECT_GT(summary_of(dir.file("twelve"))["channels"]["A"]["saturated"].get<int>(), 20);
}

TEST(murel_analyse_processing, three_lines_calibrate_the_spectra_and_too_few_are_a_runtime_error) {
    scratch_dir dir;
    ASSERT_EQ(run_murel({"generate", "c.cdb", "--events", "3000", "--line", "5000,0.004,0.3", "--line", "12000,0.003,0.3",
                         "--line", "25000,0.002,0.3"}, dir.path()).status, 0);
    const run_result r = run_murel({"analyse", "c.cdb", "-o", "out", "--calibrate-lines", "500,1200,2500"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json s = summary_of(dir.file("out"));
    EXPECT_EQ(s["unit"], "calibrated");
    const double energies[] = {500, 1200, 2500};
    for (const char* channel : {"A", "B"}) {
        const nlohmann::json& lines = s["channels"][channel]["lines"];
        ASSERT_EQ(lines.size(), 3u);
        for (int k = 0; k < 3; ++k) {
            const double position = lines[k]["position"].get<double>();
            std::printf("channel %s line at %.3f for %.0f: %.4f %%\n", channel, position, energies[k], 100.0 * (position / energies[k] - 1.0));
            EXPECT_NEAR(position, energies[k], 1e-3 * energies[k]);
        }
        const nlohmann::json& calibration = s["line_calibration"]["channels"][channel];
        EXPECT_EQ(calibration["lines"].size(), 3u);
        EXPECT_EQ(calibration["coefficients"].size(), 3u);
        EXPECT_TRUE(calibration["lines"][1]["fwhm_curve"].is_number());
    }
    const run_result few = run_murel({"analyse", "c.cdb", "-o", "few", "--calibrate-lines", "1,2,3,4"}, dir.path());
    EXPECT_EQ(few.status, 1);
    EXPECT_NE(few.err.find("4 lines to calibrate with, but 3 found (at "), std::string::npos) << few.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("few/summary.json")));
}
