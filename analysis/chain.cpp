#include "chain.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace murel::analysis {

using nlohmann::json;

const char* method_name(method m) {
    switch (m) {
        case method::automatic: return "auto";
        case method::fit: return "fit";
        case method::trapezoid: return "trapezoid";
        case method::charge: return "charge";
    }
    return "auto";
}

namespace {

std::string shown(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

method method_named(const std::string& name, const std::string& what) {
    for (method m : {method::automatic, method::fit, method::trapezoid, method::charge})
        if (name == method_name(m)) return m;
    throw std::invalid_argument(what + " '" + name + "': not auto, fit, trapezoid or charge");
}

}  // namespace

duration duration::parse(const std::string& text, const std::string& what) {
    const char* start = text.c_str();
    char* end = nullptr;
    const double value = std::strtod(start, &end);
    const std::string unit(end);
    double scale = 0.0;
    if (unit.empty()) scale = 1.0;
    else if (unit == "ns") scale = 1.0;
    else if (unit == "us") scale = 1e3;
    if (end == start || scale == 0.0 || !(value >= 0.0) || !std::isfinite(value))
        throw std::invalid_argument(what + " '" + text + "': not a number of samples or a time in ns or us");
    return {value * scale, !unit.empty()};
}

double duration::samples(std::optional<double> dt_ns, const std::string& what) const {
    if (!is_time) return value;
    if (!dt_ns || !(*dt_ns > 0.0)) throw std::invalid_argument(what + " " + text() + ": a time needs a format that gives the sample period");
    return value / *dt_ns;
}

std::string duration::text() const { return is_time ? shown(value) + "ns" : shown(value); }

const channel_chain& chain::of(const std::string& channel) const {
    const auto found = named.find(channel);
    return found == named.end() ? all : found->second;
}

namespace {

// Applies the keys of one chain object (the whole file, or one channel's entry) to `c`.
void apply_object(const json& object, channel_chain& c, const std::string& where) {
    if (!object.is_object()) throw std::invalid_argument(where + ": not an object");
    const auto length = [&](const json& value, const std::string& key) {
        if (value.is_number()) return duration::parse(shown(value.get<double>()), key);
        if (value.is_string()) return duration::parse(value.get<std::string>(), key);
        throw std::invalid_argument(key + " " + value.dump() + ": not a number of samples or a time");
    };
    const auto number = [](const json& value, const std::string& key) {
        if (!value.is_number()) throw std::invalid_argument(key + " " + value.dump() + ": not a number");
        return value.get<double>();
    };
    for (const auto& [processor, settings] : object.items()) {
        const std::string key = where + processor;
        if (processor == "channels") continue;
        if (processor == "method") {
            if (!settings.is_string()) throw std::invalid_argument(key + " " + settings.dump() + ": not a method name");
            c.choice = method_named(settings.get<std::string>(), key);
            continue;
        }
        if (!settings.is_object()) throw std::invalid_argument(key + ": not an object of parameters");
        for (const auto& [name, value] : settings.items()) {
            const std::string parameter = key + "." + name;
            // Named afresh: C++17 lambdas cannot capture structured bindings.
            const std::string &in = processor, &named = name;
            const auto is = [&](const char* p, const char* n) { return in == p && named == n; };
            if (is("baseline", "samples")) c.pretrigger = length(value, parameter);
            else if (is("pole_zero", "decay")) c.decay = length(value, parameter);
            else if (is("trapezoid", "rise_time")) c.rise_time = length(value, parameter);
            else if (is("trapezoid", "flat_top")) c.flat_top = length(value, parameter);
            else if (is("charge", "long")) c.long_gate = length(value, parameter);
            else if (is("charge", "short")) c.short_gate = length(value, parameter);
            else if (is("charge", "lead")) c.gate_lead = length(value, parameter);
            else if (is("timing", "threshold")) c.threshold = number(value, parameter);
            else if (is("timing", "cfd_fraction")) c.cfd_fraction = number(value, parameter);
            else if (is("pileup", "window")) c.pileup_window = length(value, parameter);
            else if (processor == "baseline" || processor == "pole_zero" || processor == "trapezoid" || processor == "charge" ||
                     processor == "timing" || processor == "pileup")
                throw std::invalid_argument(parameter + ": no such parameter");
            else
                throw std::invalid_argument(key + ": no such processor (baseline, pole_zero, trapezoid, charge, timing, pileup)");
        }
    }
}

}  // namespace

void chain::apply(const std::string& json_text, const std::string& source) {
    json parsed;
    try {
        parsed = json::parse(json_text);
    } catch (const json::exception& e) {
        throw std::invalid_argument(source + ": not valid JSON: " + e.what());
    }
    try {
        apply_object(parsed, all, "");
        if (!parsed.contains("channels")) return;
        this->source = source;
        const json& channels = parsed["channels"];
        if (!channels.is_object()) throw std::invalid_argument("channels: not an object");
        for (const auto& [name, object] : channels.items()) {
            channel_chain c = all;
            apply_object(object, c, "channels." + name + ".");
            named[name] = c;
        }
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(source + ": " + e.what());
    }
}

json channel_processing::to_json() const {
    json j = {{"method", method_name(choice)},
              {"baseline_samples", pretrigger ? json(*pretrigger) : json("quarter")},
              {"decay", decay ? json(*decay) : json("estimated")},
              {"rise_time", rise_time}, {"flat_top", flat_top},
              {"long_gate", long_gate}, {"short_gate", short_gate}, {"gate_lead", gate_lead},
              {"threshold", threshold ? json(*threshold) : json("5 baseline rms")},
              {"cfd_fraction", cfd_fraction}, {"pileup_window", pileup_window}};
    return j;
}

channel_processing channel_processing::from_json(const json& j) {
    const auto fail = [](const std::string& key, const json& value) -> void {
        throw std::invalid_argument("processing " + key + " " + value.dump(-1, ' ', false, json::error_handler_t::replace) +
                                    ": not as murel analyse writes it");
    };
    const auto field = [&](const char* key) -> const json& {
        if (!j.is_object() || !j.contains(key)) fail(key, j.is_object() ? json(nullptr) : j);
        return j.at(key);
    };
    const auto real = [&](const char* key, const json& value) {
        if (!value.is_number() || !std::isfinite(value.get<double>())) fail(key, value);
        return value.get<double>();
    };
    // Beyond 10^15 samples a length is the cap resolve gives an unknown record length, not a record's.
    const auto length = [&](const char* key, std::size_t least) {
        const json& value = field(key);
        const double n = real(key, value);
        if (n != std::floor(n) || n < static_cast<double>(least) || n > 1e15) fail(key, value);
        return static_cast<std::size_t>(n);
    };
    channel_processing p;
    const json& name = field("method");
    if (!name.is_string()) fail("method", name);
    p.choice = method_named(name.get<std::string>(), "processing method");
    if (!field("baseline_samples").is_string()) p.pretrigger = length("baseline_samples", 1);
    if (!field("decay").is_string()) {
        p.decay = real("decay", j.at("decay"));
        if (!(*p.decay > 0.0)) fail("decay", j.at("decay"));
    }
    p.rise_time = length("rise_time", 1);
    p.flat_top = length("flat_top", 0);
    p.long_gate = length("long_gate", 1);
    p.short_gate = length("short_gate", 1);
    p.gate_lead = length("gate_lead", 0);
    p.pileup_window = length("pileup_window", 1);
    if (!field("threshold").is_string()) p.threshold = real("threshold", j.at("threshold"));
    p.cfd_fraction = real("cfd_fraction", field("cfd_fraction"));
    return p;
}

std::size_t trapezoid_pick_off(double t_cfd, const channel_processing& p) {
    return static_cast<std::size_t>(t_cfd) + p.rise_time + p.flat_top / 2;
}

std::size_t gate_start(double t_cfd, const channel_processing& p) {
    const auto start = static_cast<std::size_t>(t_cfd);
    return start - std::min(start, p.gate_lead);
}

chain chain_of(const processing_options& o) {
    chain c;
    channel_chain& all = c.all;
    bool known = false;
    for (method m : {method::automatic, method::fit, method::trapezoid, method::charge})
        if (o.method == method_name(m)) all.choice = m, known = true;
    if (!known) throw std::invalid_argument("--method " + o.method + ": not auto, fit, trapezoid or charge");
    if (!o.pretrigger.empty()) all.pretrigger = duration::parse(o.pretrigger, "--pretrigger");
    if (!o.decay.empty()) all.decay = duration::parse(o.decay, "--decay");
    if (!o.rise_time.empty()) all.rise_time = duration::parse(o.rise_time, "--rise-time");
    if (!o.flat_top.empty()) all.flat_top = duration::parse(o.flat_top, "--flat-top");
    if (!o.gates.empty()) {
        const std::size_t comma = o.gates.find(',');
        if (comma == std::string::npos) throw std::invalid_argument("--gates takes LONG,SHORT, not '" + o.gates + "'");
        all.long_gate = duration::parse(o.gates.substr(0, comma), "--gates long gate");
        all.short_gate = duration::parse(o.gates.substr(comma + 1), "--gates short gate");
    }
    all.cfd_fraction = o.cfd_fraction;
    if (!o.chain_file.empty()) {
        std::ifstream in(o.chain_file);
        if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + o.chain_file);
        std::ostringstream text;
        text << in.rdbuf();
        c.apply(text.str(), o.chain_file);
    }
    return c;
}

channel_processing resolve(const channel_chain& c, const std::string& channel, std::optional<double> dt_ns,
                           std::optional<std::size_t> samples) {
    channel_processing p;
    p.choice = c.choice;
    const std::string where = "channel " + channel + ": ";
    // A whole number of samples; one that was given no longer than the record where that is known.
    const auto whole = [&](const duration& d, const std::string& name, bool at_least_one, bool given = true) {
        const double n = std::round(d.samples(dt_ns, where + name));
        if (given && samples && n > static_cast<double>(*samples))
            throw std::invalid_argument(where + name + " " + d.text() + " is longer than the record of " + std::to_string(*samples) + " samples");
        if (at_least_one && n < 1.0) throw std::invalid_argument(where + name + " " + d.text() + " is shorter than one sample");
        return static_cast<std::size_t>(std::min(n, 1e15));
    };
    if (c.pretrigger) p.pretrigger = whole(*c.pretrigger, "baseline samples", true);
    if (c.decay) {
        const double d = c.decay->samples(dt_ns, where + "decay");
        if (!(d > 0.0) || !std::isfinite(d)) throw std::invalid_argument(where + "decay " + c.decay->text() + ": must be above 0");
        p.decay = d;
    }
    // Defaults shrink with a short record: a tenth of it per rise, flat top and short gate; the
    // processors cut what still does not fit at the record's end.
    const std::size_t tenth = std::max<std::size_t>(samples.value_or(1000) / 10, 1);
    const duration rise = c.rise_time.value_or(duration{static_cast<double>(std::min<std::size_t>(50, tenth))});
    const duration flat = c.flat_top.value_or(duration{static_cast<double>(std::min<std::size_t>(30, tenth))});
    p.rise_time = whole(rise, "rise time", true, c.rise_time.has_value());
    p.flat_top = whole(flat, "flat top", false, c.flat_top.has_value());
    if ((c.rise_time || c.flat_top) && samples && 2 * p.rise_time + p.flat_top > *samples)
        throw std::invalid_argument(where + "a trapezoid of rise time " + rise.text() + " and flat top " + flat.text() +
                                    " is longer than the record of " + std::to_string(*samples) + " samples");
    const duration long_gate = c.long_gate.value_or(duration{static_cast<double>(std::min<std::size_t>(200, 2 * tenth))});
    const duration short_gate = c.short_gate.value_or(duration{static_cast<double>(std::min<std::size_t>(20, tenth))});
    p.long_gate = whole(long_gate, "long gate", true, c.long_gate.has_value());
    p.short_gate = whole(short_gate, "short gate", true, c.short_gate.has_value());
    // The gates start no earlier than the record, however far back the lead reaches.
    p.gate_lead = whole(c.gate_lead, "gate lead", false, false);
    if (p.short_gate > p.long_gate)
        throw std::invalid_argument(where + "the short gate " + short_gate.text() + " is longer than the long gate " + long_gate.text());
    // The search passes over records shorter than two windows, so the default fits any record.
    p.pileup_window = whole(c.pileup_window, "pile-up window", true, c.pileup_window.text() != channel_chain{}.pileup_window.text());
    if (!(c.cfd_fraction > 0.0 && c.cfd_fraction < 1.0))
        throw std::invalid_argument(where + "CFD fraction " + shown(c.cfd_fraction) + ": must lie between 0 and 1");
    p.cfd_fraction = c.cfd_fraction;
    if (c.threshold && !(*c.threshold > 0.0 && std::isfinite(*c.threshold)))
        throw std::invalid_argument(where + "threshold " + shown(*c.threshold) + ": must be above 0 ADC");
    p.threshold = c.threshold;
    return p;
}

namespace {

// The samples of a record of `n` that the baseline is measured on.
std::size_t baseline_samples(std::size_t n, const channel_processing& p) { return std::min(n, p.pretrigger.value_or(n / 4)); }

// Subtracts the mean of the first `pretrigger` samples and returns the fitted baseline.
baseline_estimate measure_and_subtract_baseline(const std::int32_t* s, std::size_t n, std::size_t pretrigger, std::vector<double>& x) {
    const baseline_estimate b = measure_baseline(s, std::min(n, pretrigger));
    x.resize(n);
    subtract_baseline(s, n, b.mean, x.data());
    return b;
}

// The highest mean of four consecutive samples near the highest sample, `highest`, and the highest
// sample of those four.
// `x` is `samples` less the baseline.
std::pair<double, std::size_t> smoothed_peak(const std::int32_t* samples, const std::vector<double>& x, std::int32_t highest) {
    constexpr std::size_t span = 4, near = 32;
    if (x.empty()) return {0.0, 0};
    const std::size_t top = static_cast<std::size_t>(std::find(samples, samples + x.size(), highest) - samples);
    if (x.size() < span) return {x[top], top};
    const std::size_t first = top - std::min(top, near), last = std::min(x.size(), top + near + 1);
    double best = -INFINITY;
    std::size_t at = first;
    for (std::size_t j = std::max(first, span - 1); j < last; ++j) {
        const double sum = x[j] + x[j - 1] + x[j - 2] + x[j - 3];
        if (sum > best) best = sum, at = j;
    }
    const auto window = x.begin() + static_cast<std::ptrdiff_t>(at + 1 - span);
    return {best / span, static_cast<std::size_t>(std::max_element(window, window + span) - x.begin())};
}

}  // namespace

void shape_survey::add(const std::int32_t* samples, std::size_t count) {
    if (count < 32) return;
    // Not the processors' quarter of the record: a pulse may start within it.
    const baseline_estimate b = measure_and_subtract_baseline(samples, count, leading_samples(count), x_);
    const auto [height, peak] = smoothed_peak(samples, x_, extremes_of(samples, count).highest);
    if (!(height > 10.0 * std::max(b.rms, 0.5))) return;
    const std::optional<double> rising = edge_crossing(x_.data(), count, 0.5 * height, peak);
    if (!rising) return;
    std::size_t fall = peak;
    while (fall < count && x_[fall] > 0.5 * height) ++fall;
    const double lead = std::max(static_cast<double>(peak) - *rising, 1.0);
    if (fall < count && static_cast<double>(fall - peak) <= 2.0 * lead) {
        ++symmetric;
        return;
    }
    double end = 0.0;
    const std::size_t last = std::max<std::size_t>(count / 32, 1);
    for (std::size_t j = count - last; j < count; ++j) end += x_[j];
    end /= static_cast<double>(last);
    ++(end > 0.05 * height ? step_like : returning);
    const std::optional<double> tenth = edge_crossing(x_.data(), count, 0.1 * height, peak);
    if (!tenth) return;
    // Twice the rise past the peak, the rise has died away to well below the noise.
    const std::size_t from = peak + static_cast<std::size_t>(2.0 * std::max(static_cast<double>(peak) - *tenth, 1.0));
    if (const std::optional<double> decay = estimate_decay(x_.data(), count, from)) decays.push_back(*decay);
}

method shape_survey::choice() const {
    if (symmetric >= step_like + returning) return method::fit;
    return step_like > returning ? method::trapezoid : method::charge;
}

std::optional<double> shape_survey::decay() const {
    if (decays.empty()) return std::nullopt;
    std::vector<double> sorted = decays;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
}

record_measures record_processor::process(const std::int32_t* s, std::size_t n, const channel_processing& p, method m,
                                          std::optional<double> decay, sample_range range, pulse_estimate& estimate) {
    record_measures r;
    estimate = pulse_estimate{};
    if (m == method::fit) {
        if (range.lowest != fitter_range_.lowest || range.highest != fitter_range_.highest) {
            fitter_range_ = range;
            fitter_ = record_fitter(range);
        }
        estimate = fitter_.fit(s, static_cast<int>(std::min<std::size_t>(n, 1 << 30)));
        if (estimate.flag == record_flag::ok) r.chi2 = estimate.chi2;
    }
    const std::size_t pretrigger = baseline_samples(n, p);
    const baseline_estimate b = measure_and_subtract_baseline(s, n, pretrigger, x_);
    if (pretrigger >= 2) r.baseline_rms = b.rms, r.baseline_slope = b.slope;
    const double noise = std::max(b.rms, 0.5);
    const sample_extremes extremes = extremes_of(s, n);
    const auto [height, peak] = smoothed_peak(s, x_, extremes.highest);
    const double threshold = p.threshold.value_or(5.0 * noise);
    if (height > threshold) {
        const edge_times edge = edge_times_of(x_.data(), n, peak, height, threshold, p.cfd_fraction);
        r.t_leading = edge.leading, r.t_cfd = edge.cfd, r.rise_time = edge.rise_time;
    }
    if (m == method::fit) return r;
    estimate.baseline = b.mean;
    if (saturated(s, n, extremes, range.lowest, range.highest)) {
        estimate.flag = record_flag::saturated;
        return r;
    }
    if (!r.t_cfd) {
        estimate.flag = record_flag::no_pulse;
        return r;
    }
    const std::size_t start = static_cast<std::size_t>(*r.t_cfd);
    estimate.centre = *r.t_cfd;
    const double window = static_cast<double>(p.pileup_window);
    // A second edge comes after the first: the search starts a little before the pulse.
    const std::size_t edge = static_cast<std::size_t>(r.t_leading.value_or(*r.t_cfd));
    const std::size_t search = edge - std::min(edge, 4 * p.pileup_window);
    const std::size_t reach = 2 * p.rise_time + p.flat_top;
    // Only the samples from the searches on are corrected.
    const std::size_t corrected = std::min(search, start - std::min(start, reach));
    const double* sums = corrected_sums(s, b.mean, decay, corrected);
    // A sloping baseline grows under the pole-zero correction as a pile-up would: its share is taken off.
    const double gain = decay ? pole_zero_gain(*decay) : 0.0;
    const linear_trend trend = baseline_trend(b.slope, 0.5 * (static_cast<double>(pretrigger) - 1.0), gain, p.pileup_window, corrected);
    const bool piled =
        piled_up(sums, search - corrected, n - corrected, p.pileup_window, 8.0 * noise * std::sqrt(2.0 / window), trend);
    if (m == method::trapezoid) {
        const std::size_t pick = trapezoid_pick_off(*r.t_cfd, p);
        if (pick >= n) {
            estimate.flag = record_flag::no_pulse;
            return r;
        }
        // Only the trapezoid from the pulse on is read, into the baseline-subtracted samples, which
        // are no longer needed; its windows reach no further back than the corrected samples.
        const std::size_t end = std::min(n, start + reach);
        trapezoid(sums, start - corrected, end - corrected, p.rise_time, p.flat_top, x_.data() + corrected);
        r.trap_energy = x_[pick];
        r.trap_max = highest_of(x_.data() + start, end - start);
        estimate.amplitude = *r.trap_energy;
    } else {
        const charge_estimate c = integrate(x_.data(), n, gate_start(*r.t_cfd, p), p.long_gate, p.short_gate);
        r.charge = c.charge, r.charge_short = c.short_charge, r.psd = c.psd;
        // A pulse that goes up gives a charge above 0 in a gate that holds it; none is no pulse.
        if (!(c.charge > 0.0)) {
            estimate.flag = record_flag::no_pulse;
            return r;
        }
        // Counted per sample of the long gate, so that the spectrum's range suits charges as it suits amplitudes.
        estimate.amplitude = c.charge / static_cast<double>(p.long_gate);
    }
    if (piled) estimate.flag = record_flag::pileup;
    return r;
}

const double* record_processor::corrected_sums(const std::int32_t* samples, double baseline, std::optional<double> decay,
                                              std::size_t from) {
    const std::size_t n = x_.size();
    filtered_.resize(n);
    double* sums = filtered_.data() + from;
    if (decay) {
        // The whole-number sum of the samples before `from` is exact, so it stands in for theirs.
        std::int64_t head = 0;
        for (std::size_t j = 0; j < from; ++j) head += samples[j];
        const double earlier = static_cast<double>(head) - static_cast<double>(from) * baseline;
        pole_zero(x_.data() + from, n - from, *decay, sums, earlier);
    } else {
        std::copy(x_.begin() + static_cast<std::ptrdiff_t>(from), x_.end(), sums);
    }
    running_sums(sums, n - from, sums);
    return sums;
}

std::vector<double> record_processor::trapezoid_output(const std::int32_t* samples, std::size_t count,
                                                       const channel_processing& p, std::optional<double> decay) {
    const baseline_estimate b = measure_and_subtract_baseline(samples, count, baseline_samples(count, p), x_);
    std::vector<double> output(count);
    trapezoid(corrected_sums(samples, b.mean, decay, 0), 0, count, p.rise_time, p.flat_top, output.data());
    return output;
}

}  // namespace murel::analysis
