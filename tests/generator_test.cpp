#include "histogram.h"
#include "murel_gen.h"
#include "staged_file.h"
#include "test_support.h"
#include "vector_math.h"

#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

using namespace murel;

namespace {

// The C library's batches repeat the one-at-a-time arithmetic exactly; the vector variants
// may differ from it in the last bits of each maths result.
void expect_agrees(double batched, double single, double scale, vector_math::variant v) {
    if (v == vector_math::variant::libm) {
        EXPECT_EQ(batched, single);
    } else {
        EXPECT_NEAR(batched, single, 8 * std::numeric_limits<double>::epsilon() * scale);
    }
}

// Runs `body` once under each maths variant this machine has, then restores the default.
template <typename test>
void for_each_variant(test body) {
    const vector_math::variant initial = vector_math::active();
    for (vector_math::variant v : vector_math::available()) {
        SCOPED_TRACE(vector_math::name(v));
        vector_math::use(v);
        body(v);
    }
    vector_math::use(initial);
}

}  // namespace

TEST(generator, first_steps_from_seed_one) {
    generator g;
    EXPECT_EQ(g.random_int(), 69621);
    EXPECT_EQ(g.random_int(), static_cast<std::int32_t>(69621LL * 69621 % 2147483647));
    g.generator_state = 1;
    EXPECT_EQ(g.uniform(), 69621 / 2147483647.0);

    g.generator_state = 1;
    EXPECT_NEAR(g.normal(), 4.542288, 1e-6);
    EXPECT_NEAR(g.normal_value, -0.202746, 1e-6);
    const std::int32_t second_state = g.generator_state;
    EXPECT_EQ(g.normal(), g.normal_value);
    EXPECT_EQ(g.generator_state, second_state);

    // A reseed keeps a full cache: the next call still returns the old deviate.
    g.generator_state = 1;
    const double first = g.normal();
    const double cached = g.normal_value;
    g.generator_state = 1;
    EXPECT_EQ(g.normal(), cached);
    EXPECT_EQ(g.normal(), first);
}

TEST(generator, fast_paths_match_single_steps) {
    generator one_by_one;
    one_by_one.generator_state = 12345;
    std::vector<std::int32_t> expected;
    for (int i = 0; i < 3000; ++i) {
        const auto next = static_cast<std::int32_t>(static_cast<std::int64_t>(one_by_one.generator_state) * 69621 % 2147483647);
        EXPECT_EQ(one_by_one.random_int(), next);
        expected.push_back(next);
    }
    EXPECT_EQ(skip_ahead(12345, 3000), one_by_one.generator_state);
    generator largest;
    largest.generator_state = 2147483646;
    EXPECT_EQ(largest.random_int(), static_cast<std::int32_t>(2147483646LL * 69621 % 2147483647));
    // Whole chains from seeds at the ends of the range and around powers of two.
    for (std::int32_t seed : {1, 2, 30845, 65536, 1073741823, 1073741824, 2147483645, 2147483646}) {
        std::vector<std::int32_t> chain(5000);
        generator g;
        g.generator_state = seed;
        g.next_states(chain.data(), static_cast<int>(chain.size()));
        std::int64_t state = seed;
        for (std::size_t i = 0; i < chain.size(); ++i) {
            state = state * 69621 % 2147483647;
            ASSERT_EQ(chain[i], state) << seed << " step " << i;
        }
    }
    for (int count : {0, 1, 3, 4, 5, 9, 3000}) {
        generator batched;
        batched.generator_state = 12345;
        std::vector<std::int32_t> states(static_cast<std::size_t>(count));
        batched.next_states(states.data(), count);
        EXPECT_TRUE(std::equal(states.begin(), states.end(), expected.begin())) << count;
        EXPECT_EQ(batched.generator_state, count == 0 ? 12345 : expected[count - 1]);
    }
    for_each_variant([](vector_math::variant v) {
        for (int cached : {0, 1})
            for (int count : {0, 1, 2, 7, 600}) {
                generator single, batch;
                single.normal_state = batch.normal_state = cached;
                single.normal_value = batch.normal_value = 0.25;
                std::vector<double> deviates(static_cast<std::size_t>(count));
                batch.normals(deviates.data(), count);
                for (int i = 0; i < count; ++i) {
                    const double expected = single.normal();
                    expect_agrees(deviates[i], expected, std::abs(expected), v);
                }
                EXPECT_EQ(batch.generator_state, single.generator_state) << cached << " " << count;
                EXPECT_EQ(batch.normal_state, single.normal_state);
                expect_agrees(batch.normal_value, single.normal_value, std::abs(single.normal_value), v);
            }
    });
}

TEST(pulse, parameter_classes_and_pulse_values) {
    generator g;
    pulse_params p, q;
    generate_params(g, p);
    generate_params(g, q);
    EXPECT_NEAR(p[0], 12775.0, 12775.0 * 0.003 * 6.56);
    EXPECT_GE(q[0], 10000.0);
    EXPECT_LE(q[0], 35000.0);
    EXPECT_NE(std::fmod(q[0], 1.0), 0.0);
    // p: a class draw and two normal pairs; q: two uniform draws and two pairs, the last half cached.
    EXPECT_EQ(g.generator_state, skip_ahead(1, 5 + 6));
    EXPECT_EQ(g.normal_state, 1);

    EXPECT_EQ(f(p[1], p), p[0] + p[3]);
    for_each_variant([&](vector_math::variant v) {
        double row[samples_per_event];
        pulse_samples(q, row);
        for (int j = 0; j < samples_per_event; ++j) expect_agrees(row[j], f(j, q), std::abs(q[0]) + std::abs(q[3]), v);
    });
}

TEST(pulse, exponential_peaks_at_its_amplitude_and_preamp_steps_to_it) {
    pulse_model model;
    model.shape = pulse_shape::exponential;
    drawn_pulse pulse;
    pulse.params = {1000.0, 50.0, 0.0, -200.0};
    for (const auto& [rise, decay] : {std::pair{2.0, 100.0}, {30.0, 30.0}, {100.0, 2.0}, {0.01, 1e4}, {1e3, 1.0}}) {
        pulse.rise = rise;
        pulse.decay = decay;
        const double peak_at = 50.0 + rise * std::log1p(decay / rise);
        const double peak = record_value(model, pulse, peak_at);
        EXPECT_NEAR(peak, 800.0, 1e-9) << rise << " " << decay;
        for (double step : {-1e-3, 1e-3, -1.0, 1.0}) EXPECT_LT(record_value(model, pulse, peak_at + step), peak);
        EXPECT_EQ(record_value(model, pulse, 50.0), -200.0);
        EXPECT_EQ(record_value(model, pulse, 3.0), -200.0);
    }
    EXPECT_DOUBLE_EQ(peak_scale(7.0, 7.0), 4.0);  // equal time constants need no limit

    model.shape = pulse_shape::preamp;
    pulse.rise = 0.5;
    pulse.decay = 1e12;
    EXPECT_NEAR(record_value(model, pulse, 80.0), 800.0, 1e-6);  // a step: amplitude above the baseline
    pulse.decay = 20.0;
    EXPECT_NEAR(record_value(model, pulse, 70.0), 1000.0 * (1 - std::exp(-40.0)) * std::exp(-1.0) - 200.0, 1e-9);
}

TEST(pulse, polarity_pileup_and_slope_add_up_around_the_baseline) {
    for (const pulse_shape shape : {pulse_shape::gaussian, pulse_shape::exponential, pulse_shape::preamp}) {
        SCOPED_TRACE(shape_name(shape));
        pulse_model up;
        up.shape = shape;
        pulse_model down = up;
        down.negative = true;
        pulse_model sloped = down;
        sloped.baseline_slope = -0.25;
        drawn_pulse single;
        single.params = {500.0, 20.0, 6.0, 100.0};
        single.rise = 3.0;
        single.decay = 40.0;
        drawn_pulse piled = single;
        piled.piled_up = true;
        piled.pileup_amplitude = 300.0;
        piled.pileup_centre = 45.5;
        drawn_pulse alone = single;  // the second pulse by itself
        alone.params = {300.0, 45.5, 6.0, 0.0};
        for (double x : {0.0, 20.0, 24.5, 45.5, 47.0, 90.0}) {
            EXPECT_DOUBLE_EQ(record_value(down, single, x) - 100.0, -(record_value(up, single, x) - 100.0)) << x;
            EXPECT_NEAR(record_value(up, piled, x), record_value(up, single, x) + record_value(up, alone, x), 1e-9) << x;
            EXPECT_NEAR(record_value(sloped, piled, x), record_value(down, piled, x) - 0.25 * x, 1e-9) << x;
        }
        // Batched, on every maths unit, as one value at a time.
        for_each_variant([&](vector_math::variant v) {
            constexpr int count = 97;
            std::vector<double> row(count), work(2 * count);
            for (const drawn_pulse& pulse : {single, piled}) {
                record_samples(sloped, pulse, row.data(), work.data(), count);
                for (int j = 0; j < count; ++j) expect_agrees(row[j], record_value(sloped, pulse, j), 1000.0, v);
            }
        });
    }
}

TEST(pulse, draws_of_new_features_come_only_when_they_are_used) {
    const auto steps = [](const pulse_model& model, drawn_pulse& pulse) {
        generator g;
        g.generator_state = 4242;
        pulse = draw_pulse(g, model);
        generator count;
        count.generator_state = 4242;
        std::uint64_t n = 0;
        while (count.generator_state != g.generator_state) {
            count.random_int();
            ++n;
        }
        return n;
    };
    pulse_model gaussian;
    gaussian.lines = {{100.0, 0.0, 1.0}};
    drawn_pulse pulse;
    const std::uint64_t plain = steps(gaussian, pulse);
    EXPECT_EQ(plain, 1U + 4U);  // class, then two normal pairs for amplitude, centre, width, offset
    pulse_model with_options = gaussian;
    with_options.negative = true;
    with_options.baseline_slope = 3.0;
    with_options.bits = 12;
    with_options.saturate = true;
    with_options.pileup = {0.0, 1.0, 2.0};
    EXPECT_EQ(steps(with_options, pulse), plain);
    pulse_model timed = gaussian;
    timed.shape = pulse_shape::preamp;
    EXPECT_EQ(steps(timed, pulse), plain + 2);  // rise and decay in place of the width
    EXPECT_EQ(pulse.params[2], 0.0);
    EXPECT_GT(pulse.rise * pulse.decay, 0.0);
    pulse_model certain = gaussian;
    certain.pileup = {1.0, 10.0, 10.0};
    const drawn_pulse first = [&] {
        generator g;
        g.generator_state = 4242;
        return draw_pulse(g, gaussian);
    }();
    EXPECT_EQ(steps(certain, pulse), plain + 1 + 1 + 1 + 2);  // decision, delay, class, a normal pair for the amplitude
    EXPECT_TRUE(pulse.piled_up);
    EXPECT_EQ(pulse.pileup_centre, pulse.params[1] + 10.0);
    EXPECT_EQ(pulse.params, first.params);
    EXPECT_EQ(pulse.pileup_amplitude, first.params[0]) << "one line without spread";
}

TEST(pulse, samples_truncate_toward_zero_and_wrap_to_16_bits) {
    EXPECT_EQ(stored_sample(0.0, -32768.9), -32768);
    EXPECT_EQ(stored_sample(0.0, -32769.5), 32767);
    EXPECT_EQ(stored_sample(-0.1, -40000.0), -40002 + 65536);
    EXPECT_EQ(stored_sample(0.04, 100.0), 100);
    EXPECT_EQ(stored_sample(0.0, -0.99), 0);
}

TEST(phases, self_test_fills_both_columns_and_leaves_the_cache_empty) {
    generator g;
    histogram1D hist(1601, 2, -8.0, 8.0);
    fill_self_test(g, hist);
    EXPECT_EQ(g.normal_state, 0);
    double sums[2] = {0, 0};
    for (int i = 0; i < 1601; ++i) {
        if (i < 800 || i > 900) {
            EXPECT_EQ(hist.data[i][0], 0.0) << i;
        }
        sums[0] += hist.data[i][0];
        sums[1] += hist.data[i][1];
    }
    EXPECT_EQ(sums[0], 1e6);
    EXPECT_EQ(sums[1], 1e6);
    EXPECT_EQ(hist.data[0][1] + hist.data[1600][1], 0.0);
    // Column 0 needs no maths library, so its counts are the same on every machine; the end
    // bins of the uniform range are half as wide as the others.
    EXPECT_EQ(hist.data[800][0], 4989.0);
    EXPECT_EQ(hist.data[850][0], 10022.0);
    EXPECT_EQ(hist.data[900][0], 4942.0);
}

TEST(phases, batched_self_test_counts_what_one_draw_at_a_time_counts) {
    for_each_variant([](vector_math::variant) {
        for (int cached : {0, 1}) {
            generator batched, single;
            batched.normal_state = single.normal_state = cached;
            batched.normal_value = single.normal_value = 0.5;
            histogram1D batched_hist(1601, 2, -8.0, 8.0), single_hist(1601, 2, -8.0, 8.0);
            fill_self_test(batched, batched_hist);
            for (int i = 0; i < self_test_draws; ++i) {
                single_hist.add(single.uniform(), 0);
                single_hist.add(single.normal(), 1);
            }
            EXPECT_TRUE(batched_hist.data == single_hist.data) << "cache " << cached;
            EXPECT_EQ(batched.generator_state, single.generator_state);
            EXPECT_EQ(batched.normal_state, single.normal_state);
        }
    });
}

TEST(phases, parallel_events_equal_the_sequential_pass) {
    // Whatever maths variant computes them, the stored samples are the same.
    for_each_variant([](vector_math::variant) {
        for (int cached : {0, 1}) {
            generator sequential, parallel;
            sequential.normal_state = parallel.normal_state = cached;
            sequential.normal_value = parallel.normal_value = -1.5;
            constexpr int events = 23;
            std::vector<unsigned char> expected, actual(events * event_bytes);
            for (int e = 0; e < events; ++e) {
                pulse_params p, q;
                generate_params(sequential, p);
                generate_params(sequential, q);
                for (int j = 0; j < samples_per_event; ++j)
                    for (const pulse_params* params : {&p, &q}) {
                        const auto bits = static_cast<std::uint16_t>(sample_value(sequential, j, *params));
                        expected.push_back(static_cast<unsigned char>(bits & 0xFF));
                        expected.push_back(static_cast<unsigned char>(bits >> 8));
                    }
            }
            std::mutex guard;
            generate_events(parallel, pulse_model{}, samples_per_event, events, [&](const unsigned char* bytes, std::size_t size, std::uint64_t offset) {
                const std::lock_guard<std::mutex> lock(guard);
                ASSERT_LE(offset + size, actual.size());
                std::memcpy(actual.data() + offset, bytes, size);
            }, 3, {}, 4);
            EXPECT_TRUE(expected == actual) << "cache " << cached;
            EXPECT_EQ(parallel.generator_state, sequential.generator_state);
            ASSERT_EQ(parallel.normal_state, sequential.normal_state);
            if (sequential.normal_state != 0) {
                EXPECT_EQ(parallel.normal_value, sequential.normal_value);
            }
        }
    });
}

TEST(phases, a_failing_sink_stops_every_thread_and_is_rethrown) {
    generator g;
    int calls = 0;
    std::mutex guard;
    EXPECT_THROW(generate_events(g, pulse_model{}, samples_per_event, 200, [&](const unsigned char*, std::size_t, std::uint64_t) {
        const std::lock_guard<std::mutex> lock(guard);
        ++calls;
        throw std::runtime_error("disk full");
    }, 2, {}, 1), std::runtime_error);
    EXPECT_LE(calls, 2);
}

using test_support::listing;


TEST(staged_file, a_signal_on_another_thread_also_removes_a_library_writers_temporary) {
    test_support::scratch_dir dir;
    const pid_t child = ::fork();
    if (child == 0) {
        staged_file staged(dir.path().string(), "staged.bin");
        std::thread writer([&] {
            const histogram2D big(1000, 1000, 2, 0, 1, 0, 1);
            for (;;) big.writeText(dir.file("big.txt").c_str());
        });
        writer.join();
        ::_exit(0);
    }
    const auto [seen, status] = test_support::signal_when_present(child, dir.path(), ".big.txt.", SIGTERM);
    EXPECT_TRUE(seen);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    for (const std::string& name : listing(dir.path())) EXPECT_NE(name[0], '.') << name << " left behind";
}

TEST(staged_file, stale_temporaries_of_the_same_name_go_and_fresh_ones_stay) {
    test_support::scratch_dir dir;
    const struct {
        const char* name;
        bool old, removed;
    } entries[] = {
        {".synth-1.cdb.AAAAAA", true, true},
        {"..synth-1.cdb.CCCCCC.DDDDDD", true, true},  // a library writer's, beside a staged one
        {".synth-1.cdb.BBBBBB", false, false},        // a concurrent run's
        {".synth-1.cdb.EEEEE", true, false},
        {".synth-1.cdb.EEEEE-", true, false},
        {".synth-1.cdbx.FFFFFF", true, false},
        {"synth-1.cdb.GGGGGG", true, false},
        {".other.HHHHHH", true, false},
        {".synth-1.cdb", true, false},
    };
    for (const auto& entry : entries) {
        const std::string path = dir.file(entry.name);
        std::ofstream(path) << "x";
        if (entry.old) {
            const timeval two_hours_ago[2] = {{std::time(nullptr) - 7200, 0}, {std::time(nullptr) - 7200, 0}};
            ::utimes(path.c_str(), two_hours_ago);
        }
    }
    staged_file file(dir.path().string(), "synth-1.cdb");
    const std::vector<std::string> left = listing(dir.path());
    for (const auto& entry : entries)
        EXPECT_EQ(std::find(left.begin(), left.end(), entry.name) == left.end(), entry.removed) << entry.name;
    EXPECT_EQ(left.size(), std::size(entries) - 2 + 1);  // the new temporary
}

TEST(staged_file, an_empty_directory_means_the_current_one) {
    test_support::scratch_dir dir;
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    generator g;
    run_example(g, "");
    { staged_file file("", "plain.txt"); file.write_at("ok", 2, 0); file.commit(); }
    std::filesystem::current_path(before);
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"murel_gen_example.txt", "plain.txt"}));
    EXPECT_EQ(test_support::read_file(dir.file("plain.txt")), "ok");
}
