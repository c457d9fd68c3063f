// murel generate: any range of any data set, with its sidecar and, if asked, its ground truth.
#include "command.h"
#include "file_digest.h"
#include "murel_gen.h"
#include "progress.h"
#include "pulse_model.h"
#include "staged_file.h"
#include "staging.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <list>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace murel::cli {
namespace {

namespace fs = std::filesystem;

struct generate_options {
    std::string output, truth, model_file;
    bool print_model = false;
    unsigned threads = std::max(std::thread::hardware_concurrency(), 1U);
    // Settings stay text until the model file has been applied, so that only the ones given
    // here override it.
    std::list<std::pair<CLI::Option*, std::string>> values;  // CLI11 keeps pointers to the strings
    std::vector<std::string> lines;
    CLI::Option* line_option = nullptr;
};

data_set requested_data_set(generate_options& o) {
    data_set set;
    try {
        if (!o.model_file.empty()) {
            std::ifstream in(o.model_file);
            if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + o.model_file);
            const std::vector<setting> from_file = read_settings(in, o.model_file);
            if (in.bad()) throw std::system_error(errno, std::generic_category(), "cannot read " + o.model_file);
            apply_settings(set, from_file);
        }
        std::vector<setting> given;
        if (o.line_option->count() > 0)
            for (const std::string& line : o.lines) given.push_back({"line", line, "--line"});
        for (const auto& [option, value] : o.values)
            if (option->count() > 0) given.push_back({option->get_name().substr(2), value, option->get_name()});
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

// The ground-truth CSV, written in event order through a buffer.
class truth_writer {
public:
    truth_writer(staged_file& file, std::uint64_t first_event) : file_(file), first_event_(first_event) {
        text_ = "event,channel,component,amplitude,centre,width,offset\n";
    }

    void add(std::uint64_t event, const drawn_pulse& a, const drawn_pulse& b) {
        row(first_event_ + event, 'A', a);
        row(first_event_ + event, 'B', b);
        if (text_.size() >= (1 << 20)) flush();
    }

    void flush() {
        file_.write_at(text_.data(), text_.size(), written_);
        written_ += text_.size();
        text_.clear();
    }

private:
    void row(std::uint64_t event, char channel, const drawn_pulse& pulse) {
        char line[192];
        const int size = std::snprintf(line, sizeof line, "%llu,%c,%d,%.17g,%.17g,%.17g,%.17g\n",
                                       static_cast<unsigned long long>(event), channel, pulse.component,
                                       pulse.params[0], pulse.params[1], pulse.params[2], pulse.params[3]);
        text_.append(line, static_cast<std::size_t>(size));
    }

    staged_file& file_;
    std::uint64_t first_event_;
    std::uint64_t written_ = 0;
    std::string text_;
};

void generate(generate_options& o) {
    const data_set set = requested_data_set(o);
    if (o.print_model) {
        std::fputs(format_model(set.model).c_str(), stdout);
        return;
    }
    if (o.output.empty()) throw usage_error("generate: OUTPUT is required unless --print-model is given");
    const std::string sidecar_path = o.output + ".model";
    if (!o.truth.empty() && (same_file(o.truth, o.output) || same_file(o.truth, sidecar_path)))
        throw usage_error("--truth " + o.truth + ": the same file as OUTPUT or its sidecar");

    const std::unique_ptr<staged_file> output = stage("OUTPUT", o.output);
    const std::unique_ptr<staged_file> sidecar = stage("OUTPUT", sidecar_path);
    const std::unique_ptr<staged_file> truth_file = o.truth.empty() ? nullptr : stage("--truth", o.truth);
    std::unique_ptr<truth_writer> truth;
    if (truth_file) truth = std::make_unique<truth_writer>(*truth_file, set.first_event);

    const unsigned char header[header_bytes] = {};
    output->write_at(header, sizeof header, 0);
    const std::size_t bytes_per_event = 4 * static_cast<std::size_t>(set.samples);
    generator g = synthetic_start(set.seed, set.model, set.samples);
    if (set.events > 0) {
        // The pass over the events before the range takes about 0.2 us each: minutes for a
        // range that starts a billion events in.
        progress shown("generate: skipping", "events", set.first_event, 0.0);
        constexpr std::uint64_t step = 1 << 16;
        for (std::uint64_t skipped = 0; skipped < set.first_event; skipped += step) {
            const std::uint64_t events = std::min(step, set.first_event - skipped);
            skip_events(g, set.model, set.samples, events);
            shown.advance(events);
        }
    }
    {
        progress shown("generate", "events", set.events, static_cast<double>(bytes_per_event));
        const event_sink write = [&](const unsigned char* bytes, std::size_t size, std::uint64_t offset) {
            output->write_at(bytes, size, header_bytes + offset);
            shown.advance(size / bytes_per_event);
        };
        params_sink record;
        if (truth)
            record = [&](std::uint64_t event, const drawn_pulse& a, const drawn_pulse& b) { truth->add(event, a, b); };
        generate_events(g, set.model, set.samples, set.events, write, o.threads, record);
    }
    if (truth) truth->flush();
    std::string description = format_data_set(set, MUREL_VERSION);
    // The sidecar, renamed last, lists the files written with it, so that a reader can tell
    // them from those of another run.
    description += "# the files written with this sidecar: bytes and XXH3-64 hash\n";
    if (!output->in_place()) description += "data-file = " + digest_of(output->temp_path()).text() + "\n";
    if (truth_file && !truth_file->in_place())
        description += "truth-file = " + digest_of(truth_file->temp_path()).text() + "\n";
    sidecar->write_at(description.data(), description.size(), 0);

    // Every file is complete before the first takes its name, and a termination signal waits
    // until the last has; should a later rename still fail, the ones already in place go
    // again, so that no half set is left.  Files written in place (devices, pipes) have
    // nothing to take back.
    const staging::signals_held held;
    std::vector<std::string> committed;
    try {
        for (staged_file* file : {truth_file.get(), output.get(), sidecar.get()}) {
            if (!file) continue;
            file->commit();
            if (!file->in_place()) committed.push_back(file->final_path());
        }
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
        "Write events FIRST-EVENT to FIRST-EVENT + EVENTS - 1 of the data set of SEED to OUTPUT, in murel_gen's "
        "layout (12 zero bytes, then per event SAMPLES pairs of int16 A, B, little-endian), with the sidecar "
        "OUTPUT.model saying how to make it again.");
    command->add_option("OUTPUT", o->output, "The data file to write")->type_name("FILE");
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
    command->add_option("--threads", o->threads, "Threads to generate on (the bytes are the same for any number)")
        ->check(CLI::Range(1U, 1024U).description(""))
        ->type_name("T");
    command->add_option("--truth", o->truth,
                        "Also write the true pulse of every record as CSV "
                        "(event,channel,component,amplitude,centre,width,offset)")
        ->type_name("FILE");
    command->add_option("--model", o->model_file,
                        "Read settings from FILE (lines 'key = value', keys as the options here; a sidecar works "
                        "too); the options given here override it")
        ->check(CLI::Validator(CLI::ExistingFile).description(""))
        ->type_name("FILE");
    command->add_flag("--print-model", o->print_model, "Print the effective model in the model-file format and stop");
    command->callback([o] { generate(*o); });
}

}  // namespace murel::cli
