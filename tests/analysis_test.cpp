// The analysis core: the file reader, the per-record fit, the line finder and the totals.
#include "format.h"
#include "lines.h"
#include "map_image.h"
#include "record_fit.h"
#include "run.h"
#include "totals.h"
#include "totals_reader.h"

#include "test_support.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <numeric>
#include <random>
#include <system_error>

using murel::analysis::find_lines;
using murel::analysis::pulse_estimate;
using murel::analysis::record_fitter;
using murel::analysis::record_flag;
using test_support::scratch_dir;

namespace {

struct pulse {
    double baseline, amplitude, centre, width;  // width w of exp(-(j - c)^2 / w^2)
};

// Samples of a pulse plus Gaussian noise, truncated toward zero and wrapped to 16 bits as a
// digitiser or the generator stores them.
std::vector<std::int32_t> record_of(const pulse& p, int samples, double noise, unsigned seed) {
    std::mt19937_64 random(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<std::int32_t> out(static_cast<std::size_t>(samples));
    for (int j = 0; j < samples; ++j) {
        const double d = (j - p.centre) / p.width;
        const double v = p.baseline + p.amplitude * std::exp(-d * d) + noise * normal(random);
        out[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::int32_t>(v) & 0xFFFF));
    }
    return out;
}

}  // namespace

TEST(record_fit, recovers_pulses_of_any_width_position_and_baseline) {
    struct case_ {
        pulse p;
        int samples;
        double noise;
        double amplitude_tolerance;
    };
    const case_ cases[] = {
        {{-28000, 12775, 600, 175}, 1000, 20, 8},   // the generator's default shape
        {{-28000, 31863, 600, 175}, 1000, 20, 8},
        {{1500, 5000, 250, 40}, 600, 8, 4},          // a positive baseline
        {{0, 3000, 40, 3}, 1000, 5, 15},             // a few samples wide, early in the record
        {{-500, 800, 950, 8}, 1000, 5, 10},          // late in the record
        {{-10000, 20000, 500, 400}, 1000, 10, 10},   // a few hundred samples wide
        {{200, 150, 300, 20}, 600, 5, 6},            // small, but well above the noise
        {{-3, 30000, 10, 6}, 64, 2, 40},             // a short record
    };
    record_fitter fitter;
    unsigned seed = 1;
    for (const case_& c : cases) {
        const auto samples = record_of(c.p, c.samples, c.noise, seed++);
        const pulse_estimate e = fitter.fit(samples.data(), c.samples);
        SCOPED_TRACE("pulse of amplitude " + std::to_string(c.p.amplitude) + " and width " + std::to_string(c.p.width));
        ASSERT_EQ(e.flag, record_flag::ok);
        EXPECT_NEAR(e.amplitude, c.p.amplitude, c.amplitude_tolerance);
        EXPECT_NEAR(e.baseline, c.p.baseline, c.amplitude_tolerance);
        EXPECT_NEAR(e.centre, c.p.centre, 0.02 * c.p.width + 0.2);
        EXPECT_NEAR(e.width, c.p.width, 0.02 * c.p.width + 0.2);
    }
}

TEST(record_fit, amplitude_noise_on_the_default_shape_is_a_few_adc) {
    record_fitter fitter;
    double sum = 0, squares = 0;
    const int n = 200;
    for (int i = 0; i < n; ++i) {
        const pulse p{-28000.0 + 37 * i, 10000.0 + 100 * i, 600.0 + (i % 7), 175.0};
        const auto samples = record_of(p, 1000, 20, 1000u + static_cast<unsigned>(i));
        const pulse_estimate e = fitter.fit(samples.data(), 1000);
        ASSERT_EQ(e.flag, record_flag::ok);
        sum += e.amplitude - p.amplitude;
        squares += (e.amplitude - p.amplitude) * (e.amplitude - p.amplitude);
    }
    EXPECT_LT(std::abs(sum / n), 1.0);
    EXPECT_LT(std::sqrt(squares / n), 4.0);
}

TEST(record_fit, flags_clipped_pulseless_and_empty_records) {
    record_fitter fitter;
    const auto with = [](std::vector<std::int32_t> samples, int index, std::int32_t value) {
        samples[static_cast<std::size_t>(index)] = value;
        return samples;
    };
    const auto clean = record_of({-1000, 5000, 300, 50}, 600, 5, 7);
    const auto flat = std::vector<std::int32_t>(600, -1234);
    const auto noise = record_of({100, 0, 300, 50}, 600, 20, 8);
    const auto wrapped = record_of({-32700, 20000, 300, 50}, 600, 40, 9);  // noise takes samples below -32768
    struct case_ {
        const char* name;
        std::vector<std::int32_t> samples;
        record_flag flag;
    };
    const case_ cases[] = {
        {"a sample at -32768", with(clean, 17, -32768), record_flag::clipped},
        {"a sample at 32767", with(clean, 300, 32767), record_flag::clipped},
        {"a jump over half the range", with(with(clean, 100, 30000), 101, -3000), record_flag::clipped},
        {"wrapped baseline noise", wrapped, record_flag::clipped},
        {"a flat record", flat, record_flag::no_pulse},
        {"noise alone", noise, record_flag::no_pulse},
        {"one sample", {5}, record_flag::no_pulse},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        const pulse_estimate e = fitter.fit(c.samples.data(), static_cast<int>(c.samples.size()));
        EXPECT_EQ(e.flag, c.flag);
        EXPECT_EQ(e.amplitude, 0.0);
    }
    EXPECT_EQ(fitter.fit(clean.data(), 0).flag, record_flag::no_pulse);
    EXPECT_EQ(fitter.fit(nullptr, 600).flag, record_flag::no_pulse);
    EXPECT_EQ(fitter.fit(clean.data(), 600).flag, record_flag::ok);
}

TEST(record_fit, estimates_are_finite_for_arbitrary_samples) {
    record_fitter fitter;
    std::mt19937 random(42);
    for (int trial = 0; trial < 2000; ++trial) {
        const int n = 1 + static_cast<int>(random() % 300);
        std::vector<std::int32_t> samples(static_cast<std::size_t>(n));
        const int style = trial % 4;
        for (int j = 0; j < n; ++j) {
            const auto r = static_cast<std::int16_t>(random());
            samples[j] = style == 0 ? r : style == 1 ? r % 64 : style == 2 ? j * (r % 5) : (j % 50) * 200 - 5000;
        }
        const pulse_estimate e = fitter.fit(samples.data(), n);
        ASSERT_TRUE(std::isfinite(e.amplitude) && std::isfinite(e.baseline) && std::isfinite(e.centre) && std::isfinite(e.width));
        if (e.flag == record_flag::ok) {
            EXPECT_GT(e.amplitude, 0.0);
            EXPECT_GE(e.centre, 0.0);
            EXPECT_LE(e.centre, n - 1.0);
        }
    }
}

TEST(record_fit, long_records_on_a_low_baseline_keep_their_pulses) {
    // Sums over a hundred thousand samples near -28000 leave the range of a 32-bit int.
    record_fitter fitter;
    unsigned seed = 500;
    for (const double baseline : {-28000.0, -32000.0})
        for (const double centre : {300.0, 50000.0, 99500.0}) {
            SCOPED_TRACE("baseline " + std::to_string(baseline) + ", centre " + std::to_string(centre));
            const auto samples = record_of({baseline, 12800, centre, 175}, 100000, 20, seed++);
            const pulse_estimate e = fitter.fit(samples.data(), 100000);
            ASSERT_EQ(e.flag, record_flag::ok);
            EXPECT_NEAR(e.amplitude, 12800, 8);
            EXPECT_NEAR(e.baseline, baseline, 1);
            EXPECT_NEAR(e.centre, centre, 4);
        }
}

namespace {

// Adds the samples of `extra` (pulse, step or whatever) to `samples`, wrapping as a digitiser does.
std::vector<std::int32_t> plus(std::vector<std::int32_t> samples, double (*extra)(int j)) {
    for (std::size_t j = 0; j < samples.size(); ++j)
        samples[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::int32_t>(samples[j] + extra(static_cast<int>(j))) & 0xFFFF));
    return samples;
}

double gaussian(double j, double amplitude, double centre, double width) {
    const double d = (j - centre) / width;
    return amplitude * std::exp(-d * d);
}

}  // namespace

TEST(record_fit, shapes_that_are_not_one_rising_gaussian_are_poor_fits) {
    record_fitter fitter;
    const auto noise = record_of({0, 0, 0, 1}, 1000, 20, 77);
    const struct {
        const char* name;
        double (*shape)(int j);
        record_flag flag;
    } cases[] = {
        {"a pulse going down", [](int j) { return gaussian(j, -10000, 600, 175); }, record_flag::poor_fit},
        {"a narrow pulse going down", [](int j) { return gaussian(j, -3000, 400, 10); }, record_flag::fit_failed},
        {"a step", [](int j) { return j < 500 ? -2000.0 : 2000.0; }, record_flag::poor_fit},
        {"a small step under a pulse", [](int j) { return gaussian(j, 12800, 600, 175) + (j < 300 ? 0.0 : 600.0); },
         record_flag::poor_fit},
        {"two pulses piled up", [](int j) { return gaussian(j, 12800, 400, 175) + gaussian(j, 9000, 750, 175); },
         record_flag::poor_fit},
        {"the tail of an earlier pulse under one",
         [](int j) { return gaussian(j, 12800, 600, 175) + gaussian(j, 20000, -250, 175); }, record_flag::poor_fit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const pulse_estimate e = fitter.fit(plus(noise, c.shape).data(), 1000);
        EXPECT_EQ(e.flag, c.flag) << e.amplitude << " at " << e.centre;
        EXPECT_EQ(e.amplitude, 0.0);
    }
    // The same noise under one Gaussian pulse, of any size, is measured.
    for (const double amplitude : {300.0, 12800.0, 31000.0}) {
        static double size;
        size = amplitude;
        const pulse_estimate e = fitter.fit(plus(noise, [](int j) { return gaussian(j, size, 600, 175); }).data(), 1000);
        EXPECT_EQ(e.flag, record_flag::ok) << amplitude;
    }
}

TEST(reading, refuses_missing_paths_directories_and_fifos_naming_them) {
    scratch_dir dir;
    const struct {
        std::string path;
        int error;
    } cases[] = {{dir.file("missing.cdb"), ENOENT}, {dir.path().string(), EISDIR}};
    for (const auto& c : cases) {
        try {
            murel::formats::open(c.path, "cdb");
            FAIL() << "accepted " << c.path;
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code().value(), c.error);
            EXPECT_NE(std::string(e.what()).find(c.path), std::string::npos) << e.what();
        }
    }
    // A FIFO without a writer is refused at once instead of waited on for ever.
    ASSERT_EQ(::mkfifo(dir.file("fifo.cdb").c_str(), 0600), 0);
    try {
        murel::analysis::plan_analysis({dir.file("fifo.cdb")}, {});
        FAIL() << "accepted a FIFO";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find(dir.file("fifo.cdb")), std::string::npos) << e.what();
    }
}

namespace {

// A spectrum of 3000 bins of 10 ADC from 0, column 0.
histogram1D spectrum_of(const std::vector<std::pair<double, double>>& lines_at, int line_counts, double continuum_per_bin,
                        unsigned seed) {
    histogram1D h(3000, 1, 0.0, 29990.0);
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> flat(5000.0, 25000.0);
    const auto continuum = static_cast<long>(continuum_per_bin * 2000);
    for (long i = 0; i < continuum; ++i) h.add(flat(random), 0);
    for (const auto& [position, fwhm] : lines_at) {
        std::normal_distribution<double> line(position, fwhm / 2.3548200450309493);
        for (int i = 0; i < line_counts; ++i) h.add(line(random), 0);
    }
    return h;
}

}  // namespace

TEST(find_lines, a_flat_continuum_of_any_density_has_no_line) {
    unsigned seed = 10;
    for (const double density : {0.005, 0.1, 1.0, 20.0, 500.0, 5000.0}) {
        SCOPED_TRACE("continuum of " + std::to_string(density) + " per bin");
        for (int repeat = 0; repeat < (density < 100 ? 4 : 1); ++repeat)
            EXPECT_EQ(find_lines(spectrum_of({}, 0, density, seed++), 0).size(), 0u);
    }
}

TEST(find_lines, finds_every_line_of_200_counts_and_three_bins_or_more) {
    unsigned seed = 100;
    for (const double fwhm : {30.0, 50.0, 120.0, 400.0}) {
        for (const double density : {0.0, 0.5, 3.0}) {
            SCOPED_TRACE("FWHM " + std::to_string(fwhm) + " on " + std::to_string(density) + " per bin");
            const auto lines = find_lines(spectrum_of({{9000.0, fwhm}, {17000.0, fwhm}}, 200, density, seed++), 0);
            ASSERT_EQ(lines.size(), 2u);
            for (int k = 0; k < 2; ++k) {
                const double truth = k == 0 ? 9000.0 : 17000.0;
                EXPECT_NEAR(lines[k].position, truth, 5 * lines[k].position_error);
                EXPECT_LT(lines[k].position_error, fwhm / 10);
                EXPECT_NEAR(lines[k].fwhm, fwhm, std::max(4 * lines[k].fwhm_error, 5.0));
                EXPECT_NEAR(lines[k].counts, 200, 5 * lines[k].counts_error);
                EXPECT_GT(lines[k].fwhm_halfmax, 0.5 * fwhm);
                EXPECT_LT(lines[k].fwhm_halfmax, 1.6 * fwhm);
            }
        }
    }
}

TEST(find_lines, separates_narrow_lines_a_few_widths_apart_but_not_one_wide_line) {
    unsigned seed = 300;
    for (const double density : {0.0, 0.5, 3.0}) {
        SCOPED_TRACE("continuum of " + std::to_string(density) + " per bin");
        const auto cluster = find_lines(spectrum_of({{20000.0, 30.0}, {20200.0, 30.0}, {20400.0, 50.0}}, 200, density, seed++), 0);
        ASSERT_EQ(cluster.size(), 3u);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(cluster[k].position, 20000.0 + 200 * k, 5 * cluster[k].position_error);
        for (const double fwhm : {90.0, 400.0, 1200.0})
            EXPECT_EQ(find_lines(spectrum_of({{15000.0, fwhm}}, 20000, density, seed++), 0).size(), 1u) << fwhm;
    }
}

TEST(find_lines, measures_on_a_binning_of_five_to_eight_bins_per_fwhm) {
    const auto lines = find_lines(spectrum_of({{8000.0, 100.0}, {20000.0, 500.0}}, 5000, 1.0, 7), 0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rebin, 2);  // 100 ADC in 20-ADC bins
    EXPECT_EQ(lines[1].rebin, 8);  // 500 ADC in 80-ADC bins
    EXPECT_NEAR(lines[1].fwhm, 500.0, 3 * lines[1].fwhm_error);
}

TEST(find_lines, refuses_axes_it_cannot_search) {
    EXPECT_THROW(find_lines(histogram1D(10, 1, 0, 9), 0), std::invalid_argument);
    EXPECT_THROW(find_lines(histogram1D(100, 1, 0, 99), 1), std::out_of_range);
    histogram1D reversed(100, 1, 0, 99);
    reversed.calibrate(-1, 0);
    EXPECT_THROW(find_lines(reversed, 0), std::invalid_argument);
}

TEST(totals, residual_sums_add_up_exactly_in_any_order) {
    murel::analysis::residual_sums forward, backward, halves[2];
    std::vector<double> residuals;
    for (int i = 0; i < 1000; ++i) residuals.push_back(std::sin(i) * 37.123456789 + 0.1);
    for (std::size_t i = 0; i < residuals.size(); ++i) {
        forward.add(residuals[i]);
        backward.add(residuals[residuals.size() - 1 - i]);
        halves[i % 2].add(residuals[i]);
    }
    halves[1] += halves[0];
    for (const auto* s : {&backward, &halves[1]}) {
        EXPECT_EQ(s->records, forward.records);
        EXPECT_TRUE(s->sum == forward.sum && s->sum_squares == forward.sum_squares);
        EXPECT_EQ(s->bias(), forward.bias());
        EXPECT_EQ(s->rms(), forward.rms());
    }
    const double mean = std::accumulate(residuals.begin(), residuals.end(), 0.0) / residuals.size();
    EXPECT_NEAR(forward.bias(), mean, 1.0 / 1024);
}

TEST(totals, residual_sums_refuse_what_their_records_cannot_give_and_overflow) {
    using murel::analysis::residual_sums;
    using murel::analysis::wide_int;
    const wide_int most = 1'000'000'000'000'000;  // the largest residual a record adds, in quanta
    wide_int huge = 1;
    for (int i = 0; i < 37; ++i) huge *= 10;
    const struct {
        residual_sums sums;
        bool possible;
    } cases[] = {
        {{0, 0, 0}, true},
        {{0, 1, 1}, false},
        {{1, most, most * most}, true},
        {{1, -most, most * most}, true},
        {{1, most + 1, (most + 1) * (most + 1)}, false},
        {{2, most, most * most}, true},
        {{2, 10, 49}, false},         // 10 from two residuals needs squares of at least 50
        {{2, 10, 50}, true},
        {{3, 0, -1}, false},
        {{-1, 0, 0}, false},
        {{1000, 3, huge}, false},      // squares beyond 1000 clamped residuals
        {{1000, huge, huge}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.sums.possible(), c.possible) << c.sums.records << " records, sum " << static_cast<double>(c.sums.sum);

    residual_sums full{1, 0, std::numeric_limits<wide_int>::max() - 5}, more{1, 0, 6};
    EXPECT_THROW(full += more, std::invalid_argument);
    EXPECT_EQ(full.records, 1);
    EXPECT_TRUE(full.sum_squares == std::numeric_limits<wide_int>::max() - 5);
    residual_sums low{1, std::numeric_limits<wide_int>::min() + 1, 0}, lower{1, -2, 0};
    EXPECT_THROW(low += lower, std::invalid_argument);
    more.sum_squares = 5;
    EXPECT_NO_THROW(full += more);
}

TEST(totals, refuse_to_add_a_different_binning_naming_both) {
    murel::analysis::binning one, other;
    other.spectrum_bins = 5000;
    murel::analysis::totals a(one);
    try {
        a.add(murel::analysis::totals(other));
        FAIL() << "added a different binning";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "different binnings: spectrum.bins: 6555 and 5000");
    }
    murel::analysis::binning bad;
    bad.factor = 0.0;
    EXPECT_THROW(murel::analysis::totals{bad}, std::invalid_argument);
}

TEST(totals, first_difference_names_the_path_to_the_first_differing_value) {
    using nlohmann::json;
    const struct {
        json a, b;
        std::string difference;
    } cases[] = {
        {{{"x", 1}}, {{"x", 1}}, ""},
        {{{"x", 1}}, {{"x", 2}}, "x: 1 and 2"},
        {{{"s", {{"bins", 3}, {"min", 0}}}}, {{"s", {{"bins", 3}, {"min", 1}}}}, "s.min: 0 and 1"},
        {{{"c", nullptr}}, {{"c", {{"factor", 2}}}}, "c: null and {\"factor\":2}"},
        {{{"x", 1}}, {{"x", 1}, {"y", "auto"}}, "y: null and \"auto\""},
        {{{"x", 1}, {"y", 2}}, {{"x", 1}}, "y: 2 and null"},
        {json::array({1, 2}), json::array({1, 3}), ": [1,2] and [1,3]"},
    };
    for (const auto& c : cases) EXPECT_EQ(murel::analysis::first_difference(c.a, c.b), c.difference) << c.a.dump();
}

TEST(totals, read_back_and_added_keep_the_flagged_list_of_one_run) {
    // Few events with both records flagged: more list entries than events in the first part.
    using murel::analysis::flagged_record;
    using murel::analysis::totals;
    const murel::analysis::binning bins;
    const std::string files[2] = {"first.cdb", "second.cdb"};
    const std::uint64_t events[2] = {5, 40};
    totals whole(bins), parts[2] = {totals(bins), totals(bins)};
    std::uint64_t sequence = 0;
    for (int part = 0; part < 2; ++part)
        for (std::uint64_t e = 0; e < events[part]; ++e, ++sequence)
            for (int channel = 0; channel < 2; ++channel) {
                pulse_estimate clipped;
                clipped.flag = record_flag::clipped;
                for (totals* t : {&whole, &parts[part]}) {
                    t->add_record(channel, clipped, NAN);
                    t->add_flagged({t == &whole ? sequence : e, files[part], e, channel, record_flag::clipped});
                }
            }
    scratch_dir dir;
    std::FILE* out = std::fopen("/dev/null", "w");
    const auto expected = whole.write(dir.file("whole"), out)["flagged"];
    parts[0].write(dir.file("a"), out);
    parts[1].write(dir.file("b"), out);
    totals sum = totals::read(dir.file("a"));
    sum.add(totals::read(dir.file("b")), static_cast<std::uint64_t>(sum.records[0]));
    EXPECT_EQ(sum.write(dir.file("sum"), out)["flagged"], expected);
    std::fclose(out);
}

TEST(totals_reader, hands_out_each_directory_in_order_with_what_reading_it_threw) {
    using murel::analysis::totals;
    scratch_dir dir;
    std::FILE* out = std::fopen("/dev/null", "w");
    std::vector<std::string> dirs;
    for (int k = 0; k < 6; ++k) {
        totals t{murel::analysis::binning()};
        for (int r = 0; r <= k; ++r) t.add_record(0, pulse_estimate{}, NAN);  // k + 1 records tell the pieces apart
        dirs.push_back(dir.file(std::to_string(k)));
        t.write(dirs.back(), out);
    }
    std::fclose(out);
    dirs.insert(dirs.begin() + 3, dir.file("missing"));
    for (const std::size_t ahead : {0, 1, 4}) {
        SCOPED_TRACE("ahead " + std::to_string(ahead));
        murel::analysis::totals_reader reader(dirs, 2, ahead);
        for (std::size_t k = 0; k < dirs.size(); ++k) {
            if (k == 3) {
                EXPECT_THROW(
                    try { reader.next(); } catch (const std::system_error& e) {
                        EXPECT_NE(std::string(e.what()).find(dir.file("missing") + "/summary.json"), std::string::npos) << e.what();
                        throw;
                    },
                    std::system_error);
                continue;
            }
            EXPECT_EQ(reader.next()->records[0], static_cast<std::int64_t>(k < 3 ? k + 1 : k));
        }
        EXPECT_THROW(reader.next(), std::out_of_range);
    }
    // Left with pieces unread, a reader stops without them.
    murel::analysis::totals_reader left(dirs, 2, 2);
    EXPECT_EQ(left.next()->records[0], 1);
    EXPECT_THROW(murel::analysis::totals_reader(dirs, 0, 2), std::invalid_argument);
}

TEST(find_lines, a_line_in_one_bin_has_its_counts_but_no_position_or_width_error) {
    for (const int entries : {30, 1000, 100000}) {
        SCOPED_TRACE(std::to_string(entries) + " entries");
        histogram1D h(6555, 1, 0.0, 65540.0);
        for (int i = 0; i < entries; ++i) h.add(12770.0, 0);
        const auto lines = find_lines(h, 0);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NEAR(lines[0].position, 12770.0, 5.0);
        EXPECT_TRUE(std::isnan(lines[0].position_error)) << lines[0].position_error;
        EXPECT_TRUE(std::isnan(lines[0].fwhm_error)) << lines[0].fwhm_error;
        EXPECT_NEAR(lines[0].counts, entries, 5 * lines[0].counts_error);
    }
}

TEST(totals, adding_refuses_records_that_would_stop_counting_exactly) {
    const murel::analysis::binning bins;
    murel::analysis::totals a(bins), b(bins);
    a.records[1] = std::int64_t{1} << 52;
    b.records[1] = std::int64_t{1} << 52;
    a.add(b);
    EXPECT_EQ(a.records[1], std::int64_t{1} << 53);
    b.records[1] = 1;
    try {
        a.add(b);
        FAIL() << "added past 2^53";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), "the records of channel B 9007199254740992 and 1 add up to more than 2^53");
    }
    b.records[1] = std::numeric_limits<std::int64_t>::max();
    EXPECT_THROW(a.add(b), std::invalid_argument);
}

TEST(totals, file_names_that_are_not_utf8_are_written_readable_and_read_back_exactly) {
    using murel::analysis::totals;
    const murel::analysis::binning bins;
    const std::string odd = "caf\xe9-\xff.cdb", plain = "caf\xc3\xa9.cdb";
    totals t(bins);
    t.files = {odd, plain};
    pulse_estimate clipped;
    clipped.flag = record_flag::clipped;
    t.add_record(0, clipped, NAN);
    t.add_record(1, clipped, NAN);
    t.add_flagged({0, odd, 0, 0, record_flag::clipped});
    t.add_flagged({1, plain, 0, 1, record_flag::clipped});
    scratch_dir dir;
    std::FILE* out = std::fopen("/dev/null", "w");
    const nlohmann::json written = t.write(dir.file("out"), out);
    const auto summary = nlohmann::json::parse(test_support::read_file(dir.file("out/summary.json")));
    EXPECT_EQ(summary["files"], nlohmann::json({"caf\xef\xbf\xbd-\xef\xbf\xbd.cdb", plain}));
    EXPECT_EQ(summary["files_hex"], nlohmann::json({"636166e92dff2e636462", nullptr}));
    EXPECT_EQ(summary["flagged"][0]["file_hex"], "636166e92dff2e636462");
    EXPECT_FALSE(summary["flagged"][1].contains("file_hex"));
    const totals back = totals::read(dir.file("out"));
    EXPECT_EQ(back.files, t.files);
    EXPECT_EQ(back.write(dir.file("again"), out)["flagged"], written["flagged"]);
    std::fclose(out);
}

TEST(analyse, threads_share_large_histograms_within_the_memory_budget) {
    scratch_dir dir;
    std::ofstream(dir.file("flat.cdb"), std::ios::binary) << std::string(12 + 64 * 4 * 100, '\0');
    murel::analysis::analysis_options options;
    options.reading.samples = 100;
    options.threads = 16;
    const auto plan = murel::analysis::plan_analysis({dir.file("flat.cdb")}, options);
    // Sixteen maps of 2048 x 2048 would take 512 MiB; two fit the 64 MiB that the histograms may take.
    murel::analysis::binning bins;
    bins.map_bins = 2048;
    // The peak memory of a run, in MiB (at most 250), from a child process of its own.
    const auto peak_mib = [&](unsigned threads) {
        return test_support::in_child([&] {
            murel::analysis::analysis_options run = options;
            run.threads = threads;
            const auto t = murel::analysis::analyse(plan, bins, run);
            rusage usage{};
            ::getrusage(RUSAGE_SELF, &usage);
            return t.records[0] == 64 && t.no_pulse[0] == 64 ? static_cast<int>(std::min<long>(usage.ru_maxrss / 1024, 250)) : 255;
        });
    };
    const int one = peak_mib(1), sixteen = peak_mib(16);
    ASSERT_LT(one, 250);
    EXPECT_LT(sixteen - one, 80) << one << " MiB on one thread, " << sixteen << " MiB on sixteen";
}

TEST(map_image, matches_the_library_picture_byte_for_byte_and_prints_nothing) {
    scratch_dir dir;
    // Empty, a single count, counts only on the edges, spread counts, and too few bins for inner cells.
    struct shape {
        int nx, ny;
        std::vector<std::array<double, 2>> entries;
    };
    const std::vector<shape> cases = {
        {8, 8, {}},
        {3, 3, {{{1.0, 1.0}}}},
        {5, 4, {{{0.0, 0.0}}, {{4.0, 3.0}}, {{4.0, 3.0}}}},
        {16, 9, {{{3.0, 2.0}}, {{3.0, 2.0}}, {{7.5, 4.0}}, {{12.0, 5.0}}, {{1.0, 1.0}}}},
        {2, 5, {{{1.0, 1.0}}, {{0.0, 3.0}}}},
    };
    for (const shape& s : cases) {
        histogram2D map(s.nx, s.ny, 1, 0.0, s.nx - 1.0, 0.0, s.ny - 1.0);
        for (const auto& [x, y] : s.entries) map.add(x, y, 0);
        testing::internal::CaptureStdout();
        map.writeImage(dir.file("library").c_str(), true);
        const std::string library_print = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        murel::analysis::write_map_image(map, dir.file("own.ppm"));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(library_print.rfind("Shift ", 0), 0u);
        EXPECT_TRUE(test_support::read_file(dir.file("library1.ppm")) == test_support::read_file(dir.file("own.ppm")))
            << s.nx << " x " << s.ny;
    }
    const histogram2D map(3, 3, 1, 0.0, 2.0, 0.0, 2.0);
    try {
        murel::analysis::write_map_image(map, dir.file("missing/own.ppm"));
        FAIL() << "wrote into a missing directory";
    } catch (const std::system_error& e) {
        EXPECT_NE(std::string(e.what()).find(dir.file("missing/own.ppm")), std::string::npos) << e.what();
    }
}
