// murel analyse: pulse heights of digitiser files, their spectra, lines and maps.
#include "command.h"
#include "console_text.h"
#include "interruption.h"
#include "progress.h"

#include "directory_lock.h"
#include "file_digest.h"
#include "format.h"
#include "hdf5_output.h"
#include "pulse_model.h"
#include "run.h"
#include "staged_file.h"
#include "units.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace murel::cli {

namespace {

struct analyse_options {
    std::vector<std::string> inputs;
    std::string output;
    analysis::analysis_options analysis;
    std::optional<std::uint64_t> header_bytes;
    std::optional<std::size_t> samples;
    std::string polarity = "auto";
    std::string pair;
    analysis::binning bins;
    std::vector<double> spectrum_range{0.0, 65540.0};
    std::vector<double> map_range{0.0, 65535.0};
    std::vector<double> calibration;
    std::vector<double> line_energies;
    std::string unit;
    bool records = false;
    bool quiet = false;
    bool no_hdf5 = false;
    analysis::processing_options processing;
};

// The cdb reader's own lengths when none are given, for the help and the summary.
constexpr std::uint64_t cdb_header_bytes = 12;
constexpr std::size_t cdb_samples = 1000;

// A CSV field: quoted when it holds a separator, a quote or a line break.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// A data file with what murel generate's sidecar says of it.
struct described_input {
    analysis::input_file file;                // its digest holds only the size until hashed
    std::string sidecar;                      // empty without one
    std::optional<file_digest> listed;        // the size and hash that the sidecar lists for it
    std::optional<file_digest> listed_truth;  // the truth table written with it
    struct stat status;                       // when described, to see whether it changed while analysed
};

// Hashes files on a thread of its own while the analysis reads them; when dropped unfinished, it
// stops early rather than reading a large file to its end.
class background_digests {
public:
    explicit background_digests(std::vector<std::string> paths)
        : result_(std::async(std::launch::async | std::launch::deferred, [this, paths = std::move(paths)] {
              std::vector<file_digest> digests;
              for (const std::string& path : paths) digests.push_back(digest_of(path, &cancelled_));
              return digests;
          })) {}
    background_digests(const background_digests&) = delete;
    background_digests& operator=(const background_digests&) = delete;
    ~background_digests() {
        cancelled_ = true;
        if (result_.valid()) result_.wait();
    }
    /// The files' digests, in order; throws digest_of's std::system_error.
    std::vector<file_digest> get() { return result_.get(); }

private:
    std::atomic<bool> cancelled_{false};
    std::future<std::vector<file_digest>> result_;
};

// The sidecar that murel generate wrote for the file at `path`: PATH.model, or DIR.model for a
// file of the directory DIR that it wrote (WaveDump).
std::string sidecar_of(const std::string& path) {
    const std::string parent = std::filesystem::path(path).parent_path().string();
    for (const std::string& candidate : {path + ".model", parent.empty() ? std::string() : parent + ".model"}) {
        std::error_code unknown;
        if (!candidate.empty() && std::filesystem::is_regular_file(candidate, unknown)) return candidate;
    }
    return "";
}

// How murel generate wrote the file at `path`, as far as reading it needs: from its sidecar, the
// record length of a cdb file and the ADC's bits.  Nothing without a readable sidecar; describe
// reports what is wrong with one.
struct written_layout {
    std::optional<std::size_t> samples;
    int bits = 16;
    bool operator==(const written_layout& other) const { return samples == other.samples && bits == other.bits; }
    bool operator!=(const written_layout& other) const { return !(*this == other); }
};

// The layout that a sidecar's `settings` give; none where a number in them is not one.
std::optional<written_layout> layout_in(const std::vector<setting>& settings) {
    try {
        written_layout layout;
        bool cdb = true;
        for (const setting& s : settings) {
            if (s.key == "format") cdb = s.value == "cdb";
            if (s.key == "samples") layout.samples = std::stoul(s.value);
            if (s.key == "bits") layout.bits = std::stoi(s.value);
        }
        if (!cdb) layout.samples.reset();
        return layout;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<written_layout> layout_of(const std::string& path) {
    const std::string sidecar = sidecar_of(path);
    std::ifstream in(sidecar);
    if (sidecar.empty() || !in) return std::nullopt;
    try {
        return layout_in(read_settings(in, sidecar));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The size of the file at `path` and, from its sidecar, its data set and event range.  A sidecar
// that lists another size describes other data: refused.  The hash is checked once known.
described_input describe(const std::string& path) {
    described_input d;
    d.file.file = path;
    if (::stat(path.c_str(), &d.status) != 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    d.file.digest.bytes = static_cast<std::uint64_t>(d.status.st_size);
    d.sidecar = sidecar_of(path);
    if (d.sidecar.empty()) return d;
    std::ifstream in(d.sidecar);
    if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + d.sidecar);
    const std::vector<setting> settings = read_settings(in, d.sidecar);
    for (const setting& s : settings) {
        if (s.key != "data-file" && s.key != "truth-file") continue;
        const std::optional<file_digest> listed = file_digest::parse(s.value);
        if (!listed) throw std::invalid_argument(s.source + " " + s.value + ": not a size and a hash");
        if (s.key == "truth-file") {
            d.listed_truth = listed;
        } else {
            d.listed = listed;
            if (listed->bytes != d.file.digest.bytes) check_digest(path, d.file.digest, *listed, d.sidecar);
        }
    }
    if (const std::optional<data_set_identity> identity = sidecar_identity(settings)) {
        d.file.data_set = identity->hash;
        d.file.first_event = identity->first_event;
        d.file.events = identity->events;
        // A cdb file's size follows from its events and record length: a sidecar whose numbers
        // say otherwise would put the wrong events in the summary, and merge would count some twice.
        const std::optional<written_layout> layout = layout_in(settings);
        std::uint64_t event_bytes = 0, expected = 0;
        if (layout && layout->samples &&
            (__builtin_mul_overflow(std::uint64_t{4}, static_cast<std::uint64_t>(*layout->samples), &event_bytes) ||
             __builtin_mul_overflow(event_bytes, identity->events, &expected) ||
             __builtin_add_overflow(expected, cdb_header_bytes, &expected) || expected != d.file.digest.bytes))
            throw std::runtime_error(d.sidecar + " describes " + std::to_string(identity->events) + " events of " +
                                     std::to_string(*layout->samples) + " samples, but " + path + " holds " +
                                     std::to_string(d.file.digest.bytes) + " bytes: it does not belong with it");
    }
    return d;
}

// Throws std::runtime_error naming an input that is no longer as it was described: what was
// analysed may then not be what was hashed.
void check_unchanged(const described_input& d) {
    struct stat now;
    const bool same = ::stat(d.file.file.c_str(), &now) == 0 && now.st_dev == d.status.st_dev && now.st_ino == d.status.st_ino &&
                      now.st_size == d.status.st_size && now.st_mtim.tv_sec == d.status.st_mtim.tv_sec &&
                      now.st_mtim.tv_nsec == d.status.st_mtim.tv_nsec && now.st_ctim.tv_sec == d.status.st_ctim.tv_sec &&
                      now.st_ctim.tv_nsec == d.status.st_ctim.tv_nsec;
    if (!same) throw std::runtime_error(d.file.file + " changed while it was analysed: analyse it again");
}

std::string event_range(std::uint64_t first, std::uint64_t events) {
    return events == 0 ? "no events" : "events " + std::to_string(first) + " to " + std::to_string(first + events - 1);
}

// A truth table is compared with data only where it belongs to them: the one that a data file's
// sidecar lists, and one whose identity is the data's, over the same events in the same order.
// Tables and data without an identity are only checked for their shape, row by row.
void check_truth(const std::vector<described_input>& inputs, const std::string& truth) {
    if (::access(truth.c_str(), R_OK) != 0) throw std::system_error(errno, std::generic_category(), "cannot read " + truth);
    if (inputs.size() == 1 && inputs[0].listed) {
        if (!inputs[0].listed_truth)
            throw std::runtime_error(inputs[0].sidecar + " lists no truth table: " + truth + " was not written with " +
                                     inputs[0].file.file);
        check_member(truth, *inputs[0].listed_truth, inputs[0].sidecar);
    }
    std::ifstream in(truth);
    std::string first_line;
    if (!in || !std::getline(in, first_line)) return;  // the reader reports what is wrong with it
    const std::optional<data_set_identity> table = read_identity_comment(first_line);
    if (!table) return;
    std::uint64_t events = 0;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const analysis::input_file& f = inputs[i].file;
        if (f.data_set.empty()) return;
        if (i > 0 && analysis::same_acquisition(inputs[i - 1].file, f)) continue;
        if (f.data_set != table->hash)
            throw std::runtime_error(truth + " is the truth of data set " + table->hash + ", " + f.file + " holds data set " +
                                     f.data_set);
        if (f.first_event != inputs[0].file.first_event + events)
            throw std::runtime_error(f.file + " holds " + event_range(f.first_event, f.events) +
                                     ", not the events that follow the file before it: one truth table cannot cover them");
        events += f.events;
    }
    if (table->first_event != inputs[0].file.first_event || table->events != events)
        throw std::runtime_error(truth + " holds the truth of " + event_range(table->first_event, table->events) +
                                 " of data set " + table->hash + ", the data " +
                                 event_range(inputs[0].file.first_event, events));
}

void run(const analyse_options& o) {
    analysis::binning bins = o.bins;
    bins.spectrum_min = o.spectrum_range[0];
    bins.spectrum_max = o.spectrum_range[1];
    bins.map_min = o.map_range[0];
    bins.map_max = o.map_range[1];
    if (!o.line_energies.empty()) {
        if (!o.calibration.empty()) throw usage_error("--calibrate and --calibrate-lines cannot be given together");
        if (o.line_energies.size() < 2) throw usage_error("--calibrate-lines needs at least two energies");
        for (std::size_t i = 0; i < o.line_energies.size(); ++i)
            if (!std::isfinite(o.line_energies[i]) || (i > 0 && !(o.line_energies[i] > o.line_energies[i - 1])))
                throw usage_error("--calibrate-lines energies must increase, finite, not " + std::to_string(o.line_energies[i]));
    }
    if (!o.calibration.empty()) {
        bins.calibrated = true;
        bins.factor = o.calibration[0];
        bins.offset = o.calibration[1];
        if (!o.unit.empty()) bins.unit = o.unit;
    } else if (!o.line_energies.empty()) {
        if (!o.unit.empty()) bins.unit = o.unit;
    } else if (!o.unit.empty()) {
        throw usage_error("--unit " + o.unit + " names the unit of --calibrate or --calibrate-lines, neither of which is given");
    }
    analysis::analysis_options options = o.analysis;
    options.polarity = analysis::polarity_named(o.polarity);
    if (!o.pair.empty()) {
        const std::size_t comma = o.pair.find(',');
        if (comma == std::string::npos || o.pair.find(',', comma + 1) != std::string::npos)
            throw usage_error("--pair takes two channel names NAME,NAME, not '" + o.pair + "'");
        options.pair = {o.pair.substr(0, comma), o.pair.substr(comma + 1)};
    }
    options.reading.header_bytes = o.header_bytes;
    options.reading.samples = o.samples;
    // Files of murel generate read as they were written, where all of them agree.
    std::optional<written_layout> written = layout_of(o.inputs.front());
    for (std::size_t i = 1; written && i < o.inputs.size(); ++i)
        if (layout_of(o.inputs[i]) != written) written.reset();
    if (written) {
        if (!options.reading.samples && options.format.empty()) options.reading.samples = written->samples;
        options.bits = written->bits;
    }
    // Every input is checked before any work starts.
    analysis::analysis_plan plan;
    try {
        bins.check();
        options.processing = analysis::chain_of(o.processing);
        plan = analysis::plan_analysis(o.inputs, options);
    } catch (const std::invalid_argument& e) {
        throw usage_error(e.what());
    }
    // A file counted twice would pass for twice the data.
    for (std::size_t i = 1; i < o.inputs.size(); ++i)
        for (std::size_t j = 0; j < i; ++j) {
            std::error_code unknown;
            if (std::filesystem::equivalent(o.inputs[i], o.inputs[j], unknown))
                throw usage_error(o.inputs[j] + " and " + o.inputs[i] + " are the same file");
        }
    std::vector<described_input> described;
    for (const std::string& path : o.inputs) described.push_back(describe(path));
    // Files of one size may be one content twice, and a truth table is checked against what a
    // sidecar says of the data, once the data are known to be what it lists: such files are
    // hashed now, to be refused before the work, and the others while they are analysed.
    std::vector<std::size_t> unhashed;
    std::vector<std::string> unhashed_paths;
    for (std::size_t i = 0; i < described.size(); ++i) {
        described_input& d = described[i];
        const auto same_size = [&d](const described_input& other) { return other.file.digest.bytes == d.file.digest.bytes; };
        if (std::count_if(described.begin(), described.end(), same_size) > 1 || (d.listed && !options.truth_path.empty())) {
            d.file.digest = digest_of(d.file.file);
            if (d.listed) check_digest(d.file.file, d.file.digest, *d.listed, d.sidecar);
        } else {
            unhashed.push_back(i);
            unhashed_paths.push_back(described[i].file.file);
        }
    }
    const auto inputs_of = [&described] {
        std::vector<analysis::input_file> inputs;
        for (const described_input& d : described) inputs.push_back(d.file);
        return inputs;
    };
    analysis::check_one_whole({{o.output, inputs_of()}});
    if (!options.truth_path.empty()) check_truth(described, options.truth_path);
    const output_directory claimed(o.output);

    const interruption_guard guard;
    background_digests hashing(unhashed_paths);
    std::unique_ptr<staged_file> records_csv;
    std::uint64_t records_size = 0;
    analysis::record_sink sink;
    std::unique_ptr<analysis::hdf5_output> hdf5;
    if (!o.no_hdf5) hdf5 = std::make_unique<analysis::hdf5_output>(o.output);
    std::vector<std::optional<double>> tick_seconds;
    for (const std::string& name : plan.channels) {
        std::optional<double> tick;
        for (const analysis::acquisition& a : plan.acquisitions)
            for (const formats::channel_info& c : a.channels)
                if (c.name == name && c.tick_seconds) tick = c.tick_seconds;
        tick_seconds.push_back(tick);
    }
    if (o.records) {
        records_csv = std::make_unique<staged_file>(o.output, "records.csv");
        std::string header = "file,event,channel,baseline,amplitude,centre,width,flag,timestamp,daq_energy";
        for (const char* name : analysis::record_measures::names) header += std::string(",") + name;
        header += '\n';
        records_csv->write_at(header.data(), header.size(), 0);
        records_size = header.size();
        std::vector<std::string> channel_fields;
        for (const std::string& name : plan.channels) channel_fields.push_back(csv_field(name));
        sink = [&, channel_fields, file = static_cast<const std::string*>(nullptr), file_field = std::string()](
                   const std::vector<analysis::record_result>& results) mutable {
            std::string text;
            char row[256];
            for (const analysis::record_result& r : results) {
                if (r.file != file) file = r.file, file_field = csv_field(*r.file);
                const analysis::pulse_estimate& e = r.estimate;
                text += file_field;
                int length = std::snprintf(row, sizeof row, ",%" PRIu64 ",", r.event);
                text.append(row, static_cast<std::size_t>(length));
                text += channel_fields[r.channel];
                if (r.how == analysis::method::fit)
                    length = std::snprintf(row, sizeof row, ",%.10g,%.10g,%.10g,%.10g,%s,", e.baseline, e.amplitude, e.centre,
                                           e.width, analysis::flag_name(e.flag));
                else
                    length = std::snprintf(row, sizeof row, ",%.10g,%.10g,%.10g,,%s,", e.baseline, e.amplitude, e.centre,
                                           analysis::flag_name(e.flag));
                text.append(row, static_cast<std::size_t>(length));
                if (r.timestamp) text += std::to_string(*r.timestamp);
                text += ',';
                if (r.daq_energy) {
                    length = std::snprintf(row, sizeof row, "%.10g", *r.daq_energy);
                    text.append(row, static_cast<std::size_t>(length));
                }
                for (const std::optional<double>* value : r.measures.values()) {
                    text += ',';
                    if (*value) {
                        length = std::snprintf(row, sizeof row, "%.10g", **value);
                        text.append(row, static_cast<std::size_t>(length));
                    }
                }
                text += '\n';
            }
            records_csv->write_at(text.data(), text.size(), records_size);
            records_size += text.size();
            if (hdf5) hdf5->add_records(results, plan.channels, tick_seconds);
        };
    }
    // The fits keep a core busy each: more threads than cores only cost memory.
    const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
    if (options.threads > cores) {
        if (!o.quiet)
            std::fprintf(stderr, "murel: note: --threads %u capped at the %u cores\n", options.threads, cores);
        options.threads = cores;
    }
    analysis::totals totals = [&] {
        progress shown("analyse", "records", plan.estimated_records, 0.0, !o.quiet);
        return analysis::analyse(plan, bins, options, sink, [&shown](std::uint64_t done) {
            interruption_guard::check();
            shown.advance(done);
        });
    }();
    interruption_guard::check();
    for (const analysis::cut_off_file& f : totals.cut_off)
        std::fprintf(stderr, "murel: warning: %s is cut off: its last %" PRIu64 " bytes are not a whole record and were left out\n",
                     analysis::console_text(f.file).c_str(), f.trailing_bytes);
    const std::vector<file_digest> digests = hashing.get();
    for (std::size_t k = 0; k < unhashed.size(); ++k) {
        described_input& d = described[unhashed[k]];
        d.file.digest = digests[k];
        if (d.listed) check_digest(d.file.file, d.file.digest, *d.listed, d.sidecar);
    }
    for (const described_input& d : described) check_unchanged(d);
    totals.inputs = inputs_of();
    totals.options = {{"polarity", o.polarity}};
    totals.line_energies = o.line_energies;
    if (totals.format == "cdb") totals.header_bytes = o.header_bytes.value_or(cdb_header_bytes);
    std::vector<staged_file*> along;
    if (records_csv) along.push_back(records_csv.get());
    if (hdf5) along.push_back(&hdf5->file());
    analysis::print_warnings(totals.write(o.output, o.quiet ? nullptr : stdout, along, hdf5.get()), stderr);
    if (!o.records) std::filesystem::remove(o.output + "/records.csv");
    if (!hdf5) std::filesystem::remove(o.output + "/analysis.h5");
    // Once the set is in place, a signal that came during its writing ends the run.
    interruption_guard::check();
}

std::string format_names() {
    std::string names;
    for (const formats::format& f : formats::registry()) names += (names.empty() ? "" : ", ") + f.name;
    return names;
}

}  // namespace

void add_analyse(CLI::App& app) {
    auto options = std::make_shared<analyse_options>();
    CLI::App* command = app.add_subcommand("analyse", "Measure the pulses of digitiser files and the lines of their spectra");
    command->add_option("FILE", options->inputs,
                        "Data files of any known format; WaveDump channel files given one after another are one acquisition")
        ->required()
        ->type_name("")
        ->default_str("");
    command->add_option("-o,--output", options->output, "Directory for the outputs (created if missing)")
        ->required()
        ->check(non_empty)
        ->type_name("DIR");
    command->add_option("--format", options->analysis.format, "Read every file as format NAME (" + format_names() + ")")
        ->type_name("NAME")
        ->default_str("recognised from each file");
    command->add_option("--header", options->header_bytes, "cdb: bytes before the first event of each file")
        ->check(non_negative)
        ->type_name("BYTES")
        ->default_str(std::to_string(cdb_header_bytes));
    command->add_option("--samples", options->samples, "cdb and headerless WaveDump: samples per record")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20).description(""))
        ->type_name("N")
        ->default_str(std::to_string(cdb_samples) + " for cdb");
    command->add_option("--polarity", options->polarity, "Which way the pulses go; auto decides per channel from its first records")
        ->check(CLI::IsMember({"auto", "positive", "negative"}).description(""))
        ->type_name("auto|positive|negative")
        ->default_str("auto");
    command->add_option("--pair", options->pair, "The two channels of the map and the gates")
        ->type_name("NAME,NAME")
        ->default_str("the first two channels");
    command->add_option("--coincidence", options->analysis.coincidence_ns,
                        "CoMPASS list mode: largest time stamp difference of a pair, ns")
        ->check(positive)
        ->type_name("NS");
    command->add_flag("--strict", options->analysis.reading.strict, "A file cut off mid-record is an error, not a warning");
    // Two numbers take the help's "x 2" away from their metavariable.
    const auto pair_text = [](const std::vector<double>& range) {
        std::ostringstream text;
        text << range[0] << ' ' << range[1];
        return text.str();
    };
    command->add_option("--bins", options->bins.spectrum_bins, "Bins of the amplitude spectrum")
        ->check(CLI::Range(16, analysis::binning::most_spectrum_bins).description(""))
        ->type_name("N");
    command->add_option("--range", options->spectrum_range,
                        "Centres of the first and last spectrum bins, in ADC also with --calibrate")
        ->expected(2)
        ->option_text("MIN MAX=" + pair_text(options->spectrum_range));
    command->add_option("--map-bins", options->bins.map_bins, "Bins per axis of the map")
        ->check(CLI::Range(3, analysis::binning::most_map_bins).description(""))
        ->type_name("N");
    command->add_option("--map-range", options->map_range,
                        "Centres of the first and last map bins, in ADC also with --calibrate")
        ->expected(2)
        ->option_text("MIN MAX=" + pair_text(options->map_range));
    command->add_option("--calibrate", options->calibration, "Report amplitudes as amplitude * FACTOR + OFFSET")
        ->expected(2)
        ->option_text("FACTOR OFFSET=none");
    command->add_option("--unit", options->unit, "The unit of amplitudes calibrated by --calibrate or --calibrate-lines: " + analysis::unit_names())
        ->check(CLI::Validator(
            [](std::string& unit) {
                return analysis::find_unit(unit) ? std::string()
                                                 : "unknown unit '" + unit + "'; the units are " + analysis::unit_names();
            },
            "", "unit"))
        ->type_name("NAME")
        ->default_str("calibrated");
    command->add_option("--calibrate-lines", options->line_energies,
                        "Calibrate each channel by its strongest lines, matched in order of position to these energies")
        ->delimiter(',')
        ->type_name("E1,E2,...")
        ->default_str("none");
    command->add_option("--method", options->processing.method, "Energy of each record: Gaussian fit, trapezoid, charge, or auto (chosen per channel from its first records)")
        ->check(CLI::IsMember({"auto", "fit", "trapezoid", "charge"}).description(""))
        ->type_name("auto|fit|trapezoid|charge");
    command->add_option("--chain", options->processing.chain_file, "JSON file of the method and processor settings per channel, over the options")
        ->type_name("FILE")
        ->default_str("none");
    command->add_option("--pretrigger", options->processing.pretrigger, "Samples (or ns, us) at the record's start that give the baseline")
        ->type_name("LENGTH")
        ->default_str("a quarter of the record");
    command->add_option("--decay", options->processing.decay, "Pole-zero decay time, samples (or ns, us)")
        ->type_name("LENGTH")
        ->default_str("estimated from the channel's tails");
    command->add_option("--rise-time", options->processing.rise_time, "Trapezoid rise time, samples (or ns, us)")
        ->type_name("LENGTH")
        ->default_str("50, or a tenth of shorter records");
    command->add_option("--flat-top", options->processing.flat_top, "Trapezoid flat top, samples (or ns, us)")
        ->type_name("LENGTH")
        ->default_str("30, or a tenth of shorter records");
    command->add_option("--gates", options->processing.gates, "Charge: long and short gate from 10 samples before the CFD time, samples (or ns, us)")
        ->type_name("LONG,SHORT")
        ->default_str("200,20, or a fifth and a tenth of shorter records");
    command->add_option("--cfd-fraction", options->processing.cfd_fraction, "Constant-fraction timing: the fraction of the pulse height")
        ->type_name("F");
    command->add_flag("--records", options->records, "Also write records.csv, one row per record (and the table records of analysis.h5)");
    command->add_flag("--no-hdf5", options->no_hdf5, "Do not write analysis.h5");
    command->add_option("--truth", options->analysis.truth_path, "Truth table of murel generate: compare the amplitudes with it")
        ->check(non_empty)
        ->type_name("FILE")
        ->default_str("none");
    add_threads(*command, options->analysis.threads, "Threads to fit records on (at most one per core)");
    add_quiet(*command, options->quiet);
    command->callback([options] { run(*options); });
}

}  // namespace murel::cli
