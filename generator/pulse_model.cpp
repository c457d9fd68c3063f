#include "pulse_model.h"

#include "file_digest.h"

#include <charconv>
#include <cmath>
#include <istream>
#include <limits>
#include <stdexcept>

namespace murel {

bool pulse_line::operator==(const pulse_line& other) const {
    return position == other.position && relative_sigma == other.relative_sigma && probability == other.probability;
}

bool spread::operator==(const spread& other) const {
    return value == other.value && relative_sigma == other.relative_sigma;
}

bool pileup_model::operator==(const pileup_model& other) const {
    return probability == other.probability && min_delay == other.min_delay && max_delay == other.max_delay;
}

bool pulse_model::operator==(const pulse_model& other) const {
    return lines == other.lines && continuum_min == other.continuum_min && continuum_max == other.continuum_max &&
           centre == other.centre && width == other.width && offset == other.offset &&
           noise_sigma == other.noise_sigma && shape == other.shape && rise == other.rise && decay == other.decay &&
           negative == other.negative && pileup == other.pileup && baseline_slope == other.baseline_slope &&
           bits == other.bits && saturate == other.saturate;
}

std::string shape_name(pulse_shape shape) {
    switch (shape) {
    case pulse_shape::exponential:
        return "exponential";
    case pulse_shape::preamp:
        return "preamp";
    case pulse_shape::gaussian:
        break;
    }
    return "gaussian";
}

namespace {

// Line probabilities typed as decimals rarely add up to exactly 1 in binary.
constexpr double probability_slack = 1e-9;

std::string shortest(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::general);
    return {text, result.ptr};
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Reads settings' values and reports what is wrong with them.
class value_reader {
public:
    explicit value_reader(const setting& s) : setting_(s) {}

    [[noreturn]] void fail(const std::string& reason) const {
        throw std::invalid_argument(setting_.source + " " + setting_.value + ": " + reason);
    }

    // The comma-separated numbers of the value, exactly `count` of them.
    std::vector<double> numbers(std::size_t count, const char* layout) const { return numbers(count, count, layout); }

    // The comma-separated numbers of the value, `fewest` to `most` of them.
    std::vector<double> numbers(std::size_t fewest, std::size_t most, const char* layout) const {
        std::vector<double> result;
        std::string::size_type start = 0;
        for (;;) {
            const auto comma = setting_.value.find(',', start);
            result.push_back(number(trimmed(setting_.value.substr(start, comma - start)), layout));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        if (result.size() < fewest || result.size() > most) fail(std::string("expected ") + layout);
        return result;
    }

    std::int64_t count(std::int64_t smallest, std::int64_t largest) const {
        const std::string text = trimmed(setting_.value);
        std::int64_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || end != text.data() + text.size() || error == std::errc::invalid_argument)
            fail("not a whole number");
        const bool negative = text[0] == '-';
        if (negative && smallest == 0) fail("must not be negative");
        if (error != std::errc() || value < smallest || value > largest)
            fail("must be " + std::to_string(smallest) + " to " + std::to_string(largest));
        return value;
    }

    spread relative(const char* name) const {
        const std::vector<double> v = numbers(2, "VALUE,RELSIGMA");
        if (v[1] < 0) fail(std::string("the relative sigma of the ") + name + " must not be negative");
        return {v[0], v[1]};
    }

    // A time constant VALUE[,RELSIGMA]: every draw of it must come out above 0.
    spread time_constant(const char* name) const {
        const std::vector<double> v = numbers(1, 2, "VALUE[,RELSIGMA]");
        const spread time{v[0], v.size() > 1 ? v[1] : 0.0};
        if (!(time.value > 0)) fail(std::string("the ") + name + " time must be above 0");
        if (time.relative_sigma < 0) fail(std::string("the relative sigma of the ") + name + " must not be negative");
        if (time.relative_sigma > largest_time_sigma)
            fail(std::string("the relative sigma of the ") + name + " must be at most " + shortest(largest_time_sigma) +
                 ", so that every drawn " + name + " time stays above 0");
        return time;
    }

    // One of `names`; its index.
    std::size_t choice(std::initializer_list<const char*> names) const {
        const std::string text = trimmed(setting_.value);
        std::size_t index = 0;
        std::string all;
        for (const char* name : names) {
            if (text == name) return index;
            all += (index++ == 0 ? "" : ", ") + std::string(name);
        }
        fail("expected one of " + all);
    }

private:
    double number(const std::string& text, const char* layout) const {
        double value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || end != text.data() + text.size() || error == std::errc::invalid_argument)
            fail(std::string("expected ") + layout);
        if (error != std::errc() || !std::isfinite(value)) fail("'" + text + "' is not a finite number");
        return value;
    }

    const setting& setting_;
};

void apply(data_set& set, const setting& s, bool& lines_replaced) {
    const value_reader read(s);
    if (s.key == "line") {
        // "none" drops every line before it, from this source too.
        const bool none = trimmed(s.value) == "none";
        if (!lines_replaced || none) set.model.lines.clear();
        lines_replaced = true;
        if (none) return;
        const std::vector<double> v = read.numbers(3, "POSITION,RELSIGMA,PROBABILITY");
        if (v[1] < 0) read.fail("the relative sigma must not be negative");
        if (v[2] < 0 || v[2] > 1) read.fail("the probability must be 0 to 1");
        set.model.lines.push_back({v[0], v[1], v[2]});
        double total = 0.0;
        for (const pulse_line& line : set.model.lines) total += line.probability;
        if (total > 1.0 + probability_slack)
            read.fail("the line probabilities add up to " + shortest(total) + ", more than 1");
    } else if (s.key == "continuum") {
        const std::vector<double> v = read.numbers(2, "MIN,MAX");
        if (v[1] < v[0]) read.fail("the maximum is below the minimum");
        // The amplitude is uniform * (MAX - MIN) + MIN, which must stay a number.
        if (!std::isfinite(v[1] - v[0])) read.fail("the continuum is wider than a double can hold");
        set.model.continuum_min = v[0];
        set.model.continuum_max = v[1];
    } else if (s.key == "centre") {
        set.model.centre = read.relative("centre");
    } else if (s.key == "width") {
        const spread width = read.relative("width");
        // The pulse divides by the width squared, which must not come out as 0.
        if (width.value * width.value == 0) read.fail("the width must not be 0");
        set.model.width = width;
    } else if (s.key == "offset") {
        set.model.offset = read.relative("offset");
    } else if (s.key == "noise") {
        const double sigma = read.numbers(1, "SIGMA")[0];
        if (sigma < 0) read.fail("the noise sigma must not be negative");
        set.model.noise_sigma = sigma;
    } else if (s.key == "shape") {
        set.model.shape = static_cast<pulse_shape>(read.choice({"gaussian", "exponential", "preamp"}));
    } else if (s.key == "rise") {
        set.model.rise = read.time_constant("rise");
    } else if (s.key == "decay") {
        set.model.decay = read.time_constant("decay");
    } else if (s.key == "polarity") {
        set.model.negative = read.choice({"positive", "negative"}) == 1;
    } else if (s.key == "pileup") {
        const std::vector<double> v = read.numbers(3, "PROBABILITY,MIN_DELAY,MAX_DELAY");
        if (v[0] < 0 || v[0] > 1) read.fail("the probability must be 0 to 1");
        if (v[1] < 0) read.fail("the delays must not be negative");
        if (v[2] < v[1]) read.fail("the maximum delay is below the minimum");
        // Without pile-up the delays play no part, and a sidecar leaves them out.
        set.model.pileup = v[0] > 0 ? pileup_model{v[0], v[1], v[2]} : pileup_model{};
    } else if (s.key == "baseline-slope") {
        set.model.baseline_slope = read.numbers(1, "ADC-PER-SAMPLE")[0];
    } else if (s.key == "bits") {
        set.model.bits = 12 + 2 * static_cast<int>(read.choice({"12", "14", "16"}));
    } else if (s.key == "saturate") {
        set.model.saturate = read.choice({"no", "yes"}) == 1;
    } else if (s.key == "seed") {
        set.seed = static_cast<std::int32_t>(read.count(1, largest_seed));
    } else if (s.key == "first-event") {
        set.first_event = static_cast<std::uint64_t>(read.count(0, std::numeric_limits<std::int64_t>::max()));
    } else if (s.key == "events") {
        set.events = static_cast<std::uint64_t>(read.count(0, std::numeric_limits<std::int64_t>::max()));
    } else if (s.key == "samples") {
        set.samples = static_cast<int>(read.count(1, largest_sample_count));
    } else if (s.key != "version" && s.key != "data-file" && s.key != "truth-file" &&
               s.key != "data-set") {
        // Passed over: a sidecar's record of the program that wrote it, of the files written with it
        // and of their identity.
        throw std::invalid_argument(s.source + " " + s.value + ": unknown setting '" + s.key + "'");
    }
}

// A file offset must fit in 63 bits: 12 header bytes, then 4 bytes per sample pair.
void check_size(const data_set& set, const std::vector<setting>& settings) {
    const std::uint64_t largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::uint64_t event_bytes = 4 * static_cast<std::uint64_t>(set.samples);
    if (set.events <= (largest - 12) / event_bytes && set.first_event <= largest - set.events) return;
    for (auto s = settings.rbegin(); s != settings.rend(); ++s)
        if (s->key == "events" || s->key == "samples" || s->key == "first-event")
            value_reader(*s).fail("the event range is too large for a file");
    throw std::invalid_argument("the event range is too large for a file");
}

}  // namespace

void apply_settings(data_set& set, const std::vector<setting>& settings) {
    bool lines_replaced = false;
    for (const setting& s : settings) apply(set, s, lines_replaced);
    check_size(set, settings);
}

std::vector<setting> read_settings(std::istream& in, const std::string& name) {
    std::vector<setting> settings;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        const std::string line = trimmed(text.substr(0, text.find('#')));
        if (line.empty()) continue;
        const auto equals = line.find('=');
        const std::string where = name + ":" + std::to_string(number) + ":";
        if (equals == std::string::npos) throw std::invalid_argument(where + " expected 'key = value', not '" + line + "'");
        const std::string key = trimmed(line.substr(0, equals));
        settings.push_back({key, trimmed(line.substr(equals + 1)), where + " " + key + " ="});
    }
    return settings;
}

std::string number_list(std::initializer_list<double> values) {
    std::string text;
    for (const double value : values) text += (text.empty() ? "" : ",") + shortest(value);
    return text;
}

std::string format_model(const pulse_model& model) {
    std::string text = model.lines.empty() ? "line = none\n" : "";
    for (const pulse_line& line : model.lines)
        text += "line = " + number_list({line.position, line.relative_sigma, line.probability}) + "\n";
    text += "continuum = " + number_list({model.continuum_min, model.continuum_max}) + "\n";
    text += "centre = " + number_list({model.centre.value, model.centre.relative_sigma}) + "\n";
    text += "width = " + number_list({model.width.value, model.width.relative_sigma}) + "\n";
    text += "offset = " + number_list({model.offset.value, model.offset.relative_sigma}) + "\n";
    text += "noise = " + number_list({model.noise_sigma}) + "\n";
    // Keys murel_gen's model lacks stay out while they keep their values, so that sidecars of
    // such data sets read as they always have.
    const pulse_model plain;
    if (model.shape != plain.shape) text += "shape = " + shape_name(model.shape) + "\n";
    const bool timed = model.shape != pulse_shape::gaussian;
    if (timed || !(model.rise == plain.rise))
        text += "rise = " + number_list({model.rise.value, model.rise.relative_sigma}) + "\n";
    if (timed || !(model.decay == plain.decay))
        text += "decay = " + number_list({model.decay.value, model.decay.relative_sigma}) + "\n";
    if (model.negative) text += "polarity = negative\n";
    if (!(model.pileup == plain.pileup))
        text += "pileup = " +
                number_list({model.pileup.probability, model.pileup.min_delay, model.pileup.max_delay}) + "\n";
    if (model.baseline_slope != plain.baseline_slope)
        text += "baseline-slope = " + number_list({model.baseline_slope}) + "\n";
    if (model.bits != plain.bits) text += "bits = " + std::to_string(model.bits) + "\n";
    if (model.saturate) text += "saturate = yes\n";
    return text;
}

std::string format_data_set(const data_set& set, const std::string& version) {
    return "# written by murel generate; murel generate OUTPUT --model THIS-FILE makes it again\n"
           "version = " + version + "\nseed = " + std::to_string(set.seed) +
           "\nfirst-event = " + std::to_string(set.first_event) + "\nevents = " + std::to_string(set.events) +
           "\nsamples = " + std::to_string(set.samples) + "\n" + format_model(set.model);
}

namespace {

std::optional<std::uint64_t> whole_number(const std::string& text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

data_set_identity identify(const data_set& set) {
    // The same pulses stored another way are the same data set, with the same truth.
    const std::string fixed = "seed = " + std::to_string(set.seed) + "\nsamples = " + std::to_string(set.samples) +
                              "\n" + format_model(set.model);
    return {digest_of_bytes(fixed).hash_text(), set.first_event, set.events};
}

std::string identity_comment(const data_set_identity& identity) {
    return "# data-set = " + identity.hash + "; first-event = " + std::to_string(identity.first_event) +
           "; events = " + std::to_string(identity.events) + "\n";
}

std::optional<data_set_identity> read_identity_comment(const std::string& line) {
    const std::string text = line.empty() || line.back() != '\n' ? line + "\n" : line;
    const std::string head = "# data-set = ", first = "; first-event = ", count = "; events = ";
    if (text.compare(0, head.size(), head) != 0) return std::nullopt;
    const std::size_t first_at = text.find(first), count_at = text.find(count);
    if (first_at == std::string::npos || count_at == std::string::npos || count_at < first_at) return std::nullopt;
    data_set_identity identity;
    identity.hash = text.substr(head.size(), first_at - head.size());
    const std::optional<std::uint64_t> k = whole_number(text.substr(first_at + first.size(), count_at - first_at - first.size()));
    const std::optional<std::uint64_t> n = whole_number(text.substr(count_at + count.size(), text.size() - 1 - count_at - count.size()));
    if (!file_digest::parse_hash(identity.hash) || !k || !n) return std::nullopt;
    identity.first_event = *k;
    identity.events = *n;
    // The same line again, so that nothing but this exact form passes.
    if (identity_comment(identity) != text) return std::nullopt;
    return identity;
}

std::optional<data_set_identity> sidecar_identity(const std::vector<setting>& settings) {
    data_set_identity identity;
    for (const setting& s : settings) {
        if (s.key != "data-set" && s.key != "first-event" && s.key != "events") continue;
        if (s.key == "data-set") {
            if (!file_digest::parse_hash(s.value)) throw std::invalid_argument(s.source + " " + s.value + ": not a hash of 16 hex digits");
            identity.hash = s.value;
            continue;
        }
        const std::optional<std::uint64_t> value = whole_number(s.value);
        if (!value) throw std::invalid_argument(s.source + " " + s.value + ": not a count");
        (s.key == "first-event" ? identity.first_event : identity.events) = *value;
    }
    if (identity.hash.empty()) return std::nullopt;
    return identity;
}

}  // namespace murel
