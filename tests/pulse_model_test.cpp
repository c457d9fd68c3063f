#include "murel_gen.h"
#include "pulse_model.h"
#include "test_support.h"

#include <cmath>
#include <limits>
#include <sstream>

using namespace murel;

namespace {

data_set from_text(const std::string& text, data_set set = {}) {
    std::istringstream in(text);
    apply_settings(set, read_settings(in, "m"));
    return set;
}

}  // namespace

TEST(pulse_model, a_written_data_set_reads_back_exactly) {
    data_set odd;
    odd.model.lines = {{0.1, 1e-300, 0.3}, {-12345.678901234567, 0.0, 0.7}};
    odd.model.continuum_min = -1.0 / 3.0;
    odd.model.continuum_max = 5e20;
    odd.model.centre = {std::nextafter(600.0, 0.0), 0.125};
    odd.model.width = {-2.5, 0.5};
    odd.model.offset = {0.0, 0.0};
    odd.model.noise_sigma = 0.0;
    odd.seed = largest_seed;
    odd.first_event = 123456789012;
    odd.events = 7;
    odd.samples = 3;
    data_set no_lines;
    no_lines.model.lines.clear();
    data_set digitiser = odd;
    digitiser.model.shape = pulse_shape::exponential;
    digitiser.model.rise = {1.0 / 3.0, 0.15};
    digitiser.model.decay = {1e-5, 0.0};
    digitiser.model.negative = true;
    digitiser.model.pileup = {0.1, 0.0, 1e9};
    digitiser.model.baseline_slope = -0.1;
    digitiser.model.bits = 12;
    digitiser.model.saturate = true;
    data_set step;
    step.model.shape = pulse_shape::preamp;
    step.model.bits = 14;
    for (const data_set& set : {odd, no_lines, data_set{}, digitiser, step}) {
        const data_set back = from_text(format_data_set(set, "9.9"));
        EXPECT_TRUE(back.model == set.model) << format_model(set.model);
        EXPECT_EQ(back.seed, set.seed);
        EXPECT_EQ(back.first_event, set.first_event);
        EXPECT_EQ(back.events, set.events);
        EXPECT_EQ(back.samples, set.samples);
    }
}

TEST(pulse_model, settings_new_to_murel_gen_are_written_only_where_they_matter) {
    const std::string plain = format_model(pulse_model{});
    EXPECT_EQ(plain.find("shape"), std::string::npos);
    EXPECT_EQ(plain.substr(plain.size() - 12), "\nnoise = 20\n");
    // Settings that name the defaults change nothing.
    EXPECT_EQ(format_model(from_text("shape = gaussian\npolarity = positive\npileup = 0,0,0\nbaseline-slope = 0\n"
                                     "bits = 16\nsaturate = no\nrise = 10\ndecay = 100,0\n")
                               .model),
              plain);
    const struct {
        std::string settings, tail;
    } cases[] = {
        {"shape = exponential", "noise = 20\nshape = exponential\nrise = 10,0\ndecay = 100,0\n"},
        {"shape = preamp\nrise = 2.5", "noise = 20\nshape = preamp\nrise = 2.5,0\ndecay = 100,0\n"},
        {"decay = 7,0.125", "noise = 20\ndecay = 7,0.125\n"},  // unused by a Gaussian, yet kept
        {"polarity = negative\nsaturate = yes\nbits = 12", "noise = 20\npolarity = negative\nbits = 12\nsaturate = yes\n"},
        {"pileup = 1,0,0\nbaseline-slope = -1e-3", "noise = 20\npileup = 1,0,0\nbaseline-slope = -0.001\n"},
    };
    for (const auto& c : cases) {
        const std::string text = format_model(from_text(c.settings).model);
        EXPECT_EQ(text.substr(text.find("noise = ")), c.tail) << c.settings;
    }
}

TEST(pulse_model, each_source_replaces_the_lines_only_when_it_names_one) {
    data_set set = from_text("line = 1,0,0.5\nline = 2,0,0.25\n");
    EXPECT_EQ(set.model.lines, (std::vector<pulse_line>{{1, 0, 0.5}, {2, 0, 0.25}}));
    set = from_text("noise = 4\n", set);
    EXPECT_EQ(set.model.lines.size(), 2U);
    set = from_text("line = 3,0.5,1\n", set);
    EXPECT_EQ(set.model.lines, (std::vector<pulse_line>{{3, 0.5, 1}}));
    set = from_text("line = none\nline = 7,0,0.125\n", set);
    EXPECT_EQ(set.model.lines, (std::vector<pulse_line>{{7, 0, 0.125}}));
    set = from_text("line = 7,0,0.125\nline = none\n", set);
    EXPECT_TRUE(set.model.lines.empty());
    // Decimal probabilities that mean 1 but add up to a hair above it in binary.
    EXPECT_NO_THROW(from_text("line = 1,0,0.1\nline = 2,0,0.2\nline = 3,0,0.7\n"));
}

TEST(pulse_model, bad_settings_throw_naming_source_and_value) {
    const struct {
        std::string text, message;
    } cases[] = {
        {"x", "m:1: expected 'key = value', not 'x'"},
        {"colour = red", "m:1: colour = red: unknown setting 'colour'"},
        {"line = 1,0,0.75\nline = 2,0,0.5", "m:2: line = 2,0,0.5: the line probabilities add up to 1.25, more than 1"},
        {"seed = 1\n samples = 1.5", "m:2: samples = 1.5: not a whole number"},
        {"events = ", "m:1: events = : not a whole number"},
        {"seed = 99999999999999999999", "m:1: seed = 99999999999999999999: must be 1 to 2147483646"},
        {"centre = 1,,2", "m:1: centre = 1,,2: expected VALUE,RELSIGMA"},
        {"noise = 0x10", "m:1: noise = 0x10: expected SIGMA"},
        {"noise = -1", "m:1: noise = -1: the noise sigma must not be negative"},
        {"width = -0,1", "m:1: width = -0,1: the width must not be 0"},
        {"width = 1e-200,0", "m:1: width = 1e-200,0: the width must not be 0"},  // its square is 0
        {"continuum = -1e308,1e308", "m:1: continuum = -1e308,1e308: the continuum is wider than a double can hold"},
        {"samples = 1073741824", "m:1: samples = 1073741824: must be 1 to 1073741823"},
        {"first-event = 9223372036854775807\nevents = 1", "m:2: events = 1: the event range is too large for a file"},
        {"shape = square", "m:1: shape = square: expected one of gaussian, exponential, preamp"},
        {"shape = Gaussian", "m:1: shape = Gaussian: expected one of gaussian, exponential, preamp"},
        {"polarity = -1", "m:1: polarity = -1: expected one of positive, negative"},
        {"decay = 0", "m:1: decay = 0: the decay time must be above 0"},
        {"decay = -5,0", "m:1: decay = -5,0: the decay time must be above 0"},
        {"decay = nan", "m:1: decay = nan: 'nan' is not a finite number"},
        {"decay = inf,0", "m:1: decay = inf,0: 'inf' is not a finite number"},
        {"rise = -0", "m:1: rise = -0: the rise time must be above 0"},
        {"rise = 1,2,3", "m:1: rise = 1,2,3: expected VALUE[,RELSIGMA]"},
        {"rise = 1,-0.1", "m:1: rise = 1,-0.1: the relative sigma of the rise must not be negative"},
        {"rise = 1,0.1500001",
         "m:1: rise = 1,0.1500001: the relative sigma of the rise must be at most 0.15, so that every drawn rise time "
         "stays above 0"},
        {"pileup = 1.01,0,1", "m:1: pileup = 1.01,0,1: the probability must be 0 to 1"},
        {"pileup = -0.5,0,1", "m:1: pileup = -0.5,0,1: the probability must be 0 to 1"},
        {"pileup = 0.5,-1,1", "m:1: pileup = 0.5,-1,1: the delays must not be negative"},
        {"pileup = 0.5,10,9.5", "m:1: pileup = 0.5,10,9.5: the maximum delay is below the minimum"},
        {"pileup = 0.5,10", "m:1: pileup = 0.5,10: expected PROBABILITY,MIN_DELAY,MAX_DELAY"},
        {"baseline-slope = 1e999", "m:1: baseline-slope = 1e999: '1e999' is not a finite number"},
        {"bits = 13", "m:1: bits = 13: expected one of 12, 14, 16"},
        {"bits = 8", "m:1: bits = 8: expected one of 12, 14, 16"},
        {"saturate = true", "m:1: saturate = true: expected one of no, yes"},
    };
    for (const auto& c : cases) {
        try {
            from_text(c.text);
            ADD_FAILURE() << "no exception for " << c.text;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

TEST(pulse_model, stored_samples_keep_the_low_16_bits_of_any_value) {
    const struct {
        double noise, pulse, sigma;
        std::int16_t stored;
    } cases[] = {
        {1.0, 2147483648.0 + 5.75, 0.0, 5},        // just past the int32 range
        {0.0, -1099511627776.0 - 3.5, 20.0, -3},    // -(2^40) - 3.5 truncates to -(2^40) - 3
        {0.5, 40000.25, 2.0, 40001 - 65536},
        {0.0, 1e300, 1.0, 0},                        // a multiple of 65536
        {0.0, std::numeric_limits<double>::quiet_NaN(), 1.0, 0},
        {1.0, 0.0, std::numeric_limits<double>::infinity(), 0},
        {0.0, 2147483647.0, 0.0, -1},  // the largest int32 wraps without overflowing
        {0.0, -2147483647.5, 0.0, 1},
    };
    for (const auto& c : cases) EXPECT_EQ(stored_sample(c.noise, c.pulse, c.sigma), c.stored) << c.pulse;
}

TEST(pulse_model, narrower_adcs_wrap_into_or_clip_at_their_signed_range) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const struct {
        double value;
        int bits;
        std::int16_t wrapped, saturated;
    } cases[] = {
        {2047.9, 12, 2047, 2047},     {2048.0, 12, -2048, 2047},   {-2048.9, 12, -2048, -2048},
        {-2049.0, 12, 2047, -2048},   {4096.5, 12, 0, 2047},       {-0.5, 12, 0, 0},
        {8191.5, 14, 8191, 8191},     {8192.0, 14, -8192, 8191},   {-8193.0, 14, 8191, -8192},
        {32767.99, 16, 32767, 32767}, {32768.0, 16, -32768, 32767}, {-32769.0, 16, 32767, -32768},
        {1e300, 12, 0, 2047},         {-4294967297.5, 14, -1, -8192},  // -(2^32 + 1) has all low 14 bits set
        {inf, 12, 0, 2047},           {-inf, 16, 0, -32768},
        {std::numeric_limits<double>::quiet_NaN(), 14, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(digitised(c.value, c.bits, false), c.wrapped) << c.value << " in " << c.bits << " bits";
        EXPECT_EQ(digitised(c.value, c.bits, true), c.saturated) << c.value << " in " << c.bits << " bits";
    }
}
