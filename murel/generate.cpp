// murel generate: any range of any data set, with its sidecar and, if asked, its ground truth.
#include "command.h"
#include "convert.h"
#include "file_digest.h"
#include "murel_gen.h"
#include "progress.h"
#include "pulse_model.h"
#include "staged_file.h"
#include "staging.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace murel::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* default_format = "cdb";
constexpr double default_rate = 1000.0;

struct generate_options {
    std::string output, output_option, truth, model_file;
    std::string format = default_format;
    double rate = default_rate;
    std::int32_t adc_offset = formats::convert_options{}.adc_offset;
    CLI::Option* format_option = nullptr;
    CLI::Option* rate_option = nullptr;
    CLI::Option* adc_offset_option = nullptr;
    bool print_model = false;
    bool quiet = false;
    unsigned threads = 0;
    // Settings stay text until the model file has been applied, so that only the ones given
    // here override it.
    std::list<std::pair<CLI::Option*, std::string>> values;  // CLI11 keeps pointers to the strings
    std::vector<std::string> lines;
    CLI::Option* line_option = nullptr;
    bool saturate = false;
    CLI::Option* saturate_option = nullptr;
};

// The settings of how a data set was written rather than of its bytes, as a sidecar records
// them: taken out of `settings` and applied where the command line does not give them.
void apply_output_settings(generate_options& o, std::vector<setting>& settings) {
    const auto taken = std::stable_partition(settings.begin(), settings.end(), [](const setting& s) {
        return s.key != "format" && s.key != "rate" && s.key != "adc-offset";
    });
    for (auto s = taken; s != settings.end(); ++s) {
        const auto refuse = [&](const std::string& why) { throw std::invalid_argument(s->source + " " + s->value + ": " + why); };
        if (s->key == "format") {
            if (o.format_option->count() == 0) o.format = s->value;
        } else if (s->key == "rate") {
            char* end = nullptr;
            const double rate = std::strtod(s->value.c_str(), &end);
            if (end == s->value.c_str() || *end != '\0' || !(rate > 0 && std::isfinite(rate))) refuse("not a positive number");
            if (o.rate_option->count() == 0) o.rate = rate;
        } else {
            char* end = nullptr;
            errno = 0;
            const long offset = std::strtol(s->value.c_str(), &end, 10);
            if (end == s->value.c_str() || *end != '\0' || errno != 0 || offset < 0 || offset > 65535) refuse("not a whole number 0 to 65535");
            if (o.adc_offset_option->count() == 0) o.adc_offset = static_cast<std::int32_t>(offset);
        }
    }
    settings.erase(taken, settings.end());
}

// The lines of the settings above that differ from their defaults, so that the sidecar of a
// cdb file stays as it was.
std::string output_settings(const generate_options& o) {
    std::string text;
    if (o.format != default_format) text += "format = " + o.format + "\n";
    if (o.rate != default_rate) text += "rate = " + number_list({o.rate}) + "\n";
    if (o.adc_offset != formats::convert_options{}.adc_offset) text += "adc-offset = " + std::to_string(o.adc_offset) + "\n";
    return text;
}

data_set requested_data_set(generate_options& o) {
    data_set set;
    try {
        if (!o.model_file.empty()) {
            std::ifstream in(o.model_file);
            if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + o.model_file);
            std::vector<setting> from_file = read_settings(in, o.model_file);
            if (in.bad()) throw std::system_error(errno, std::generic_category(), "cannot read " + o.model_file);
            apply_output_settings(o, from_file);
            apply_settings(set, from_file);
        }
        std::vector<setting> given;
        if (o.line_option->count() > 0)
            for (const std::string& line : o.lines) given.push_back({"line", line, "--line"});
        for (const auto& [option, value] : o.values)
            if (option->count() > 0) given.push_back({option->get_name().substr(2), value, option->get_name()});
        if (o.saturate_option->count() > 0) given.push_back({"saturate", "yes", "--saturate"});
        apply_settings(set, given);
    } catch (const std::invalid_argument& e) {
        throw usage_error(e.what());
    }
    return set;
}

// A staged file for a path given on the command line.
std::unique_ptr<staged_file> stage(const std::string& option, const std::string& path) {
    const fs::path p(path);
    const std::string name = p.filename().string();
    if (name.empty() || name == "." || name == "..") throw usage_error(option + " " + path + ": not a file name");
    return std::make_unique<staged_file>(p.has_parent_path() ? p.parent_path().string() : ".", name);
}

bool same_file(const std::string& a, const std::string& b) {
    std::error_code failed;
    const fs::path first = fs::weakly_canonical(fs::absolute(a), failed);
    if (failed) return fs::absolute(a).lexically_normal() == fs::absolute(b).lexically_normal();
    const fs::path second = fs::weakly_canonical(fs::absolute(b), failed);
    if (failed) return fs::absolute(a).lexically_normal() == fs::absolute(b).lexically_normal();
    return first == second;
}

// The ground-truth CSV, written in event order through a buffer.  Pulses of murel_gen's kind
// keep its seven columns; other shapes, negative pulses and pile-up add rise, decay and polarity,
// and a piled-up record gets a second row for its second pulse.
class truth_writer {
public:
    truth_writer(staged_file& file, const data_set_identity& identity, const pulse_model& model)
        : file_(file), first_event_(identity.first_event), gaussian_(model.shape == pulse_shape::gaussian),
          polarity_(model.negative ? -1 : 1),
          extended_(!gaussian_ || model.negative || model.pileup.probability > 0) {
        text_ = identity_comment(identity) + "event,channel,component,amplitude,centre,width,offset";
        text_ += extended_ ? ",rise,decay,polarity\n" : "\n";
    }

    void add(std::uint64_t event, const drawn_pulse& a, const drawn_pulse& b) {
        for (const auto& [channel, pulse] : {std::pair<char, const drawn_pulse&>{'A', a}, {'B', b}}) {
            row(first_event_ + event, channel, std::to_string(pulse.component), pulse.params[0], pulse.params[1], pulse);
            if (pulse.piled_up)
                row(first_event_ + event, channel, "pileup", pulse.pileup_amplitude, pulse.pileup_centre, pulse);
        }
        if (text_.size() >= (1 << 20)) flush();
    }

    void flush() {
        file_.write_at(text_.data(), text_.size(), written_);
        written_ += text_.size();
        text_.clear();
    }

private:
    void row(std::uint64_t event, char channel, const std::string& component, double amplitude, double centre,
             const drawn_pulse& pulse) {
        text_ += std::to_string(event) + ',' + channel + ',' + component;
        field(amplitude);
        field(centre);
        gaussian_ ? field(pulse.params[2]) : void(text_ += ',');
        field(pulse.params[3]);
        if (extended_) {
            gaussian_ ? void(text_ += ",,") : (field(pulse.rise), field(pulse.decay));
            text_ += polarity_ < 0 ? ",-1" : ",1";
        }
        text_ += '\n';
    }

    // A number that reads back as the exact double, after a comma.
    void field(double value) {
        char text[32];
        text_.append(text, static_cast<std::size_t>(std::snprintf(text, sizeof text, ",%.17g", value)));
    }

    staged_file& file_;
    std::uint64_t first_event_;
    bool gaussian_;
    int polarity_;
    bool extended_;
    std::uint64_t written_ = 0;
    std::string text_;
};

// Hands the rendered events to a format's writer in event order, channel A as channel 0 and B
// as channel 1, each event time-stamped at `rate` events per second.
class record_feed {
public:
    record_feed(formats::writer& out, const formats::format& target, const generate_options& o, const data_set& set)
        : out_(out), target_name_(target.name), first_event_(set.first_event), samples_(set.samples), rate_(o.rate),
          offset_(o.adc_offset) {
        const formats::channel_info drawn = rendered_channel("0", set.model.bits);
        const formats::channel_info stored = formats::as_stored(target, drawn);
        shift_ = static_cast<std::int32_t>(formats::sample_shift(drawn, stored, o.adc_offset));
        range_ = formats::storable_range(target, stored);
        const std::int32_t half = std::int32_t{1} << (set.model.bits - 1);
        always_fits_ = range_.first <= -half + shift_ && half - 1 + shift_ <= range_.second;
    }

    /// The channels as they are rendered: signed, of the ADC's bits, time-stamped in picoseconds.
    static formats::channel_info rendered_channel(std::string name, int bits) {
        formats::channel_info channel;
        channel.name = std::move(name);
        channel.bits = bits;
        channel.tick_seconds = 1e-12;
        return channel;
    }

    /// Receives the events of `bytes` from any thread, and waits for the events before them.
    void operator()(const unsigned char* bytes, std::size_t size, std::uint64_t offset) {
        try {
            const std::size_t event_bytes = 4 * static_cast<std::size_t>(samples_);
            formats::record_batch batch;
            batch.samples.reserve(size / 2);
            const std::size_t length = static_cast<std::size_t>(samples_);
            for (std::size_t first = 0; first < size; first += event_bytes) {
                const std::uint64_t event = first_event_ + (offset + first) / event_bytes;
                const std::uint64_t stamp = timestamp(event);
                batch.add({0, event, stamp, std::nullopt}, length);
                batch.add({1, event, stamp, std::nullopt}, length);
                std::int32_t* b = batch.samples.data() + batch.samples.size() - length;
                std::int32_t* a = b - length;
                const unsigned char* pair = bytes + first;
                for (std::size_t j = 0; j < length; ++j, pair += 4) {
                    a[j] = static_cast<std::int16_t>(pair[0] | pair[1] << 8) + shift_;
                    b[j] = static_cast<std::int16_t>(pair[2] | pair[3] << 8) + shift_;
                }
                if (!always_fits_) {
                    check(event, 'A', a);
                    check(event, 'B', b);
                }
            }
            std::unique_lock<std::mutex> lock(turn_mutex_);
            turn_.wait(lock, [&] { return failure_ || written_ == offset; });
            if (failure_) std::rethrow_exception(failure_);
            out_.write(batch);
            written_ += size;
            turn_.notify_all();
        } catch (...) {
            // The threads waiting for these events are let go with the same failure.
            const std::lock_guard<std::mutex> lock(turn_mutex_);
            if (!failure_) failure_ = std::current_exception();
            turn_.notify_all();
            throw;
        }
    }

    /// The time stamp of `event` in picoseconds.
    std::uint64_t timestamp(std::uint64_t event) const {
        return static_cast<std::uint64_t>(std::llroundl(static_cast<long double>(event) * 1e12L / rate_));
    }

private:
    // Refuses a shifted sample of one record that the format cannot hold.
    void check(std::uint64_t event, char channel, const std::int32_t* shifted) const {
        for (std::size_t j = 0; j < static_cast<std::size_t>(samples_); ++j)
            if (shifted[j] < range_.first || shifted[j] > range_.second)
                throw std::runtime_error("generate: event " + std::to_string(event) + ", channel " + channel +
                                         ", sample " + std::to_string(j) + ": " + std::to_string(shifted[j] - shift_) +
                                         " + " + std::to_string(offset_) + " (--adc-offset) is outside " +
                                         std::to_string(range_.first) + " .. " + std::to_string(range_.second) +
                                         ", the values " + target_name_ + " holds");
    }

    formats::writer& out_;
    std::string target_name_;
    std::uint64_t first_event_;
    int samples_;
    double rate_;
    std::int32_t offset_;
    std::int32_t shift_ = 0;  // 0 or +-offset, at most 65535 either way
    std::pair<std::int64_t, std::int64_t> range_;
    bool always_fits_ = false;
    std::mutex turn_mutex_;
    std::condition_variable turn_;
    std::uint64_t written_ = 0;  // bytes of rendered events handed to the writer
    std::exception_ptr failure_;
};

// The records with a sample that wrapped round the ADC's range, gathered from any thread.
class wrapped_records {
public:
    void add(std::uint64_t event, int channel) {
        const std::lock_guard<std::mutex> lock(mutex_);
        records_.emplace_back(event, channel);
    }
    /// In event order, events counted from the first of the data set.
    std::vector<std::pair<std::uint64_t, int>> sorted(std::uint64_t first_event) const {
        std::vector<std::pair<std::uint64_t, int>> result = records_;
        for (auto& record : result) record.first += first_event;
        std::sort(result.begin(), result.end());
        return result;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::uint64_t, int>> records_;
};

// The truth table of `written` again with a last column `wrapped`, 1 on the rows of the wrapped
// records: which records wrap is known only once every event has been rendered.
std::unique_ptr<staged_file> mark_wrapped(const staged_file& written, const std::string& path,
                                          const std::vector<std::pair<std::uint64_t, int>>& wrapped) {
    std::unique_ptr<staged_file> marked = stage("--truth", path);
    std::ifstream in(written.temp_path());
    if (!in) throw std::system_error(errno, std::generic_category(), "cannot read back " + written.temp_path());
    std::string line, text;
    std::uint64_t size = 0;
    bool header = true;
    while (std::getline(in, line)) {
        if (line.rfind('#', 0) == 0) {
            text += line + '\n';  // the line naming the data set
        } else if (header) {
            text += line + ",wrapped\n";
            header = false;
        } else {
            // Rows begin "event,channel,".
            const std::size_t comma = line.find(',');
            const std::uint64_t event = std::stoull(line.substr(0, comma));
            const int channel = line[comma + 1] == 'A' ? 0 : 1;
            text += line + (std::binary_search(wrapped.begin(), wrapped.end(), std::make_pair(event, channel)) ? ",1\n" : ",0\n");
        }
        if (text.size() >= (1 << 20)) {
            marked->write_at(text.data(), text.size(), size);
            size += text.size();
            text.clear();
        }
    }
    if (in.bad()) throw std::system_error(errno, std::generic_category(), "cannot read back " + written.temp_path());
    marked->write_at(text.data(), text.size(), size);
    return marked;
}

std::string writable_format_names() {
    std::string names;
    for (const formats::format& f : formats::registry())
        if (f.create) names += (names.empty() ? "" : ", ") + f.name;
    return names;
}

// The writable format called `name`.
const formats::format& writable_format(const std::string& name) {
    try {
        const formats::format& chosen = formats::find(name);
        if (!chosen.create) throw std::invalid_argument("murel reads " + name + " but does not write it");
        return chosen;
    } catch (const std::invalid_argument& e) {
        throw usage_error(std::string("--format: ") + e.what());
    }
}

void generate(generate_options& o) {
    const data_set set = requested_data_set(o);
    if (o.print_model) {
        std::fputs(format_model(set.model).c_str(), stdout);
        return;
    }
    if (!o.output_option.empty()) {
        if (!o.output.empty() && o.output != o.output_option)
            throw usage_error("generate: two outputs, " + o.output + " and -o " + o.output_option + "; give one");
        o.output = o.output_option;
    }
    if (o.output.empty()) throw usage_error("generate: OUTPUT (or -o OUTPUT) is required unless --print-model is given");
    if (o.threads == 0) o.threads = std::max(std::thread::hardware_concurrency(), 1U);
    // The centre stays where it was when only --samples shortens the records.
    if (!(set.model.centre.value >= 0.0 && set.model.centre.value < static_cast<double>(set.samples)))
        std::fprintf(stderr, "murel: warning: the pulses' centre %g lies outside the %d samples of a record, which hold only "
                     "noise and tails; give --centre (and --width) inside them\n", set.model.centre.value, set.samples);
    const std::string sidecar_path = o.output + ".model";
    if (!o.truth.empty() && (same_file(o.truth, o.output) || same_file(o.truth, sidecar_path)))
        throw usage_error("--truth " + o.truth + ": the same file as OUTPUT or its sidecar");

    // cdb is murel_gen's layout, written straight from the rendered bytes; any other format
    // takes them as records, in event order.
    const bool murel_gen_layout = o.format == "cdb";
    if (!murel_gen_layout && set.events > 0) {
        const std::uint64_t last = set.first_event + set.events - 1;
        if (!(static_cast<long double>(last) * 1e12L / o.rate < 18446744073709551615.0L))
            throw usage_error("--rate " + std::to_string(o.rate) + ": the time stamp of event " + std::to_string(last) +
                              " does not fit 64 bits of picoseconds");
    }
    std::unique_ptr<formats::writer> records;
    std::unique_ptr<record_feed> feed;
    if (!murel_gen_layout) {
        const formats::format& target = writable_format(o.format);
        formats::writer_options layout;
        for (const char* name : {"0", "1"})
            layout.channels.push_back(formats::as_stored(target, record_feed::rendered_channel(name, set.model.bits)));
        layout.samples = static_cast<std::size_t>(set.samples);
        try {
            records = target.create(o.output, layout);
        } catch (const std::invalid_argument& e) {
            throw usage_error(std::string("--format ") + target.name + ": " + e.what());
        }
        feed = std::make_unique<record_feed>(*records, target, o, set);
    }
    const std::unique_ptr<staged_file> output = murel_gen_layout ? stage("OUTPUT", o.output) : nullptr;
    // A device or pipe takes the data alone: its sidecar would land among the devices.
    std::error_code unknown;
    const fs::file_type output_type = fs::status(o.output, unknown).type();
    const bool special_output = output_type != fs::file_type::not_found && output_type != fs::file_type::regular &&
                                output_type != fs::file_type::directory && output_type != fs::file_type::none;
    const std::unique_ptr<staged_file> sidecar = special_output ? nullptr : stage("OUTPUT", sidecar_path);
    std::unique_ptr<staged_file> truth_file = o.truth.empty() ? nullptr : stage("--truth", o.truth);
    const data_set_identity identity = identify(set);
    std::unique_ptr<truth_writer> truth;
    if (truth_file) truth = std::make_unique<truth_writer>(*truth_file, identity, set.model);

    const unsigned char header[header_bytes] = {};
    if (output) output->write_at(header, sizeof header, 0);
    const std::size_t bytes_per_event = 4 * static_cast<std::size_t>(set.samples);
    generator g = synthetic_start(set.seed, set.model, set.samples);
    if (set.events > 0) {
        // The pass over the events before the range takes about 0.2 us each: minutes for a
        // range that starts a billion events in.
        progress shown("generate: skipping", "events", set.first_event, 0.0, !o.quiet);
        constexpr std::uint64_t step = 1 << 16;
        for (std::uint64_t skipped = 0; skipped < set.first_event; skipped += step) {
            const std::uint64_t events = std::min(step, set.first_event - skipped);
            skip_events(g, set.model, set.samples, events);
            shown.advance(events);
        }
    }
    wrapped_records wrapped;
    {
        progress shown("generate", "events", set.events, static_cast<double>(bytes_per_event), !o.quiet);
        const event_sink write = [&](const unsigned char* bytes, std::size_t size, std::uint64_t offset) {
            if (feed)
                (*feed)(bytes, size, offset);
            else
                output->write_at(bytes, size, header_bytes + offset);
            shown.advance(size / bytes_per_event);
        };
        params_sink record;
        if (truth)
            record = [&](std::uint64_t event, const drawn_pulse& a, const drawn_pulse& b) { truth->add(event, a, b); };
        generate_events(g, set.model, set.samples, set.events, write, o.threads, record, 0,
                        [&wrapped](std::uint64_t event, int channel) { wrapped.add(event, channel); });
    }
    if (truth) truth->flush();
    const std::vector<std::pair<std::uint64_t, int>> wraps = wrapped.sorted(set.first_event);
    if (!wraps.empty() && truth_file) {
        if (truth_file->in_place())
            std::fprintf(stderr, "murel: warning: --truth %s is not a regular file: it cannot mark the records that wrapped\n",
                         o.truth.c_str());
        else
            truth_file = mark_wrapped(*truth_file, o.truth, wraps);
    }
    if (!wraps.empty() && !o.quiet) {
        const auto in_a = std::count_if(wraps.begin(), wraps.end(), [](const auto& w) { return w.second == 0; });
        std::fprintf(stderr, "murel: note: %zu of %llu records (A: %zu, B: %zu) have samples beyond the %d-bit ADC's range, "
                     "wrapped round%s\n", wraps.size(), 2ULL * static_cast<unsigned long long>(set.events),
                     static_cast<std::size_t>(in_a), wraps.size() - static_cast<std::size_t>(in_a), set.model.bits,
                     truth_file && !truth_file->in_place() ? "; the truth table marks them in its column wrapped" : "");
    }
    std::string description = format_data_set(set, MUREL_VERSION) + output_settings(o);
    description += "# the data set, whatever its range: a hash of all but first-event and events\n"
                   "data-set = " + identity.hash + "\n";
    // The sidecar, renamed last, lists the files written with it, so that a reader can tell
    // them from those of another run.
    description += "# the files written with this sidecar: bytes and XXH3-64 hash\n";
    // A format writer keeps its staged files to itself: only murel_gen's layout is listed.
    if (output && !output->in_place()) description += "data-file = " + digest_of(output->temp_path()).text() + "\n";
    if (truth_file && !truth_file->in_place())
        description += "truth-file = " + digest_of(truth_file->temp_path()).text() + "\n";
    if (sidecar) sidecar->write_at(description.data(), description.size(), 0);

    // Every file is complete before the first takes its name, and a termination signal waits
    // until the last has; should a later rename still fail, the ones already in place go
    // again, so that no half set is left.  Files written in place (devices, pipes) have
    // nothing to take back.
    const staging::signals_held held;
    std::vector<std::string> committed;
    try {
        const auto commit = [&committed](staged_file* file) {
            if (!file) return;
            file->commit();
            if (!file->in_place()) committed.push_back(file->final_path());
        };
        commit(truth_file.get());
        commit(output.get());
        // A format writer's files come before the sidecar, and cannot be taken back.
        if (records) records->commit();
        commit(sidecar.get());
    } catch (...) {
        for (const std::string& path : committed) std::remove(path.c_str());
        throw;
    }
}

}  // namespace

void add_generate(CLI::App& app) {
    auto o = std::make_shared<generate_options>();
    CLI::App* command = app.add_subcommand(
        "generate",
        "Write events FIRST-EVENT to FIRST-EVENT + EVENTS - 1 of the data set of SEED to OUTPUT, with the "
        "sidecar OUTPUT.model saying how to make it again; by default as cdb, in murel_gen's layout (12 zero bytes, "
        "then per event SAMPLES pairs of int16 A, B, little-endian), or in another --format.");
    command->add_option("OUTPUT", o->output, "The data file to write (for WaveDump: a directory of wave<N> files)")
        ->type_name("FILE")
        ->default_str("");
    command->add_option("-o,--output", o->output_option, "The data file to write, as OUTPUT")
        ->check(non_empty)
        ->type_name("FILE")
        ->default_str("OUTPUT");
    o->format_option = command->add_option("--format", o->format,
                        "The format to write: " + writable_format_names() +
                            " (channel A as channel 0, B as channel 1)")
        ->type_name("FORMAT");
    o->rate_option = command->add_option("--rate", o->rate, "Events per second, for the time stamps of formats that store them (CoMPASS)")
        ->check(positive)
        ->type_name("HZ");
    o->adc_offset_option = command->add_option("--adc-offset", o->adc_offset,
                        "Added to every sample written in a format of unsigned samples (WaveDump, CoMPASS)")
        ->check(CLI::Range(0, 65535).description(""))
        ->type_name("N");
    const data_set defaults;
    const auto setting_option = [&](const char* name, const char* layout, std::string default_value,
                                    const char* help) {
        o->values.emplace_back(nullptr, std::move(default_value));
        o->values.back().first = command->add_option(name, o->values.back().second, help)->type_name(layout);
    };
    setting_option("--seed", "S", std::to_string(defaults.seed), "Seed of the data set, 1 to 2147483646");
    setting_option("--events", "N", std::to_string(defaults.events), "Number of events to write");
    setting_option("--first-event", "K", std::to_string(defaults.first_event), "Index of the first event written");
    setting_option("--samples", "N", std::to_string(defaults.samples), "Sample pairs per event");
    const pulse_model& m = defaults.model;
    std::string default_lines;
    for (const pulse_line& line : m.lines)
        default_lines += (default_lines.empty() ? "" : " ") + number_list({line.position, line.relative_sigma, line.probability});
    o->line_option = command->add_option("--line", o->lines,
                                         "An amplitude line POSITION,RELSIGMA,PROBABILITY; repeat for more lines, "
                                         "tried in order (any --line replaces the default lines; 'none': no line)")
                         ->allow_extra_args(false)
                         ->type_name("POSITION,RELSIGMA,PROBABILITY")
                         ->default_str(default_lines);
    setting_option("--continuum", "MIN,MAX", number_list({m.continuum_min, m.continuum_max}),
                   "MIN,MAX of the flat continuum that takes the probability the lines leave");
    setting_option("--centre", "VALUE,RELSIGMA", number_list({m.centre.value, m.centre.relative_sigma}), "Pulse centre VALUE,RELSIGMA (samples)");
    setting_option("--width", "VALUE,RELSIGMA", number_list({m.width.value, m.width.relative_sigma}),
                   "Pulse width VALUE,RELSIGMA (samples; w in exp(-(x - centre)^2 / w^2))");
    setting_option("--offset", "VALUE,RELSIGMA", number_list({m.offset.value, m.offset.relative_sigma}), "Baseline VALUE,RELSIGMA");
    setting_option("--noise", "SIGMA", number_list({m.noise_sigma}), "Sigma of the noise added to every sample");
    setting_option("--shape", "gaussian|exponential|preamp", shape_name(m.shape),
                   "Pulse shape: gaussian about the centre; exponential, a rise and decay from the onset (the "
                   "centre) that peaks at the amplitude; preamp, a step of the amplitude at the onset that rises and "
                   "decays");
    setting_option("--rise", "VALUE[,RELSIGMA]", number_list({m.rise.value, m.rise.relative_sigma}),
                   "Rise time constant (samples, above 0; RELSIGMA at most 0.15) of exponential and preamp pulses");
    setting_option("--decay", "VALUE[,RELSIGMA]", number_list({m.decay.value, m.decay.relative_sigma}),
                   "Decay time constant (samples, above 0; RELSIGMA at most 0.15) of exponential and preamp pulses");
    setting_option("--polarity", "positive|negative", "positive", "Whether pulses go up or down from the baseline");
    setting_option("--pileup", "PROBABILITY,MIN_DELAY,MAX_DELAY",
                   number_list({m.pileup.probability, m.pileup.min_delay, m.pileup.max_delay}),
                   "With PROBABILITY, a record gets a second pulse of an amplitude drawn from the model, a uniform "
                   "MIN_DELAY to MAX_DELAY samples after the first");
    setting_option("--baseline-slope", "ADC-PER-SAMPLE", number_list({m.baseline_slope}),
                   "Added to the baseline at sample j: slope * j");
    setting_option("--bits", "12|14|16", std::to_string(m.bits),
                   "ADC bits: samples wrap into (with --saturate: are clipped at) -2^(bits-1) .. 2^(bits-1) - 1");
    o->saturate_option = command->add_flag("--saturate", o->saturate,
                                           "Clip samples at the ADC's range instead of wrapping them (default: wrap)");
    add_threads(*command, o->threads, "Threads to generate on (the bytes are the same for any number)")
        ->check(CLI::Range(0U, 1024U).description(""));
    add_quiet(*command, o->quiet);
    command->add_option("--truth", o->truth,
                        "Also write the true pulse of every record as CSV "
                        "(event,channel,component,amplitude,centre,width,offset; other shapes, negative polarity "
                        "and pile-up add rise,decay,polarity and a row per pile-up pulse; records that wrapped round "
                        "the ADC's range add wrapped, 1 on their rows)")
        ->check(non_empty)
        ->type_name("FILE")
        ->default_str("none");
    command->add_option("--model", o->model_file,
                        "Read settings from FILE (lines 'key = value', keys as the options here; a sidecar works "
                        "too); the options given here override it")
        ->check(CLI::Validator(CLI::ExistingFile).description(""))
        ->type_name("FILE")
        ->default_str("none");
    command->add_flag("--print-model", o->print_model, "Print the effective model in the model-file format and stop");
    command->callback([o] { generate(*o); });
}

}  // namespace murel::cli
