// murel analyse: pulse heights of digitiser files, their spectra, lines and maps.
#include "command.h"
#include "interruption.h"
#include "progress.h"

#include "directory_lock.h"
#include "file_digest.h"
#include "format.h"
#include "pulse_model.h"
#include "run.h"
#include "staged_file.h"
#include "units.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
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
    std::string unit;
    bool records = false;
    bool quiet = false;
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

// A data file of murel generate is compared with a truth table only if both are the ones its
// sidecar lists: a set mixed by an interrupted or concurrent run would give false residuals.
// Data without a sidecar, or with one that lists no files, is taken as it is.
void check_truth_set(const std::vector<std::string>& inputs, const std::string& truth) {
    for (const std::string& input : inputs) {
        const std::string sidecar = input + ".model";
        std::ifstream in(sidecar);
        if (!in) continue;
        std::optional<file_digest> data, truth_table;
        for (const setting& s : read_settings(in, sidecar)) {
            if (s.key != "data-file" && s.key != "truth-file") continue;
            const std::optional<file_digest> listed = file_digest::parse(s.value);
            if (!listed) throw std::invalid_argument(s.source + " " + s.value + ": not a size and a hash");
            (s.key == "data-file" ? data : truth_table) = listed;
        }
        if (!data) continue;
        check_member(input, *data, sidecar);
        // One truth table belongs to one data file.
        if (inputs.size() > 1) continue;
        if (!truth_table) throw std::runtime_error(sidecar + " lists no truth table: " + truth + " was not written with " + input);
        check_member(truth, *truth_table, sidecar);
    }
}

void run(const analyse_options& o) {
    analysis::binning bins = o.bins;
    bins.spectrum_min = o.spectrum_range[0];
    bins.spectrum_max = o.spectrum_range[1];
    bins.map_min = o.map_range[0];
    bins.map_max = o.map_range[1];
    if (!o.calibration.empty()) {
        bins.calibrated = true;
        bins.factor = o.calibration[0];
        bins.offset = o.calibration[1];
        if (!o.unit.empty()) bins.unit = o.unit;
    } else if (!o.unit.empty()) {
        throw usage_error("--unit " + o.unit + " names the unit of --calibrate, which is not given");
    }
    analysis::analysis_options options = o.analysis;
    options.polarity = o.polarity == "negative"   ? analysis::polarity_choice::negative
                       : o.polarity == "positive" ? analysis::polarity_choice::positive
                                                  : analysis::polarity_choice::automatic;
    if (!o.pair.empty()) {
        const std::size_t comma = o.pair.find(',');
        if (comma == std::string::npos || o.pair.find(',', comma + 1) != std::string::npos)
            throw usage_error("--pair takes two channel names NAME,NAME, not '" + o.pair + "'");
        options.pair = {o.pair.substr(0, comma), o.pair.substr(comma + 1)};
    }
    options.reading.header_bytes = o.header_bytes;
    options.reading.samples = o.samples;
    // Every input is checked before any work starts.
    analysis::analysis_plan plan;
    try {
        bins.check();
        plan = analysis::plan_analysis(o.inputs, options);
    } catch (const std::invalid_argument& e) {
        throw usage_error(e.what());
    }
    if (!options.truth_path.empty()) check_truth_set(o.inputs, options.truth_path);
    const output_directory claimed(o.output);

    const interruption_guard guard;
    std::unique_ptr<staged_file> records_csv;
    std::uint64_t records_size = 0;
    analysis::record_sink sink;
    if (o.records) {
        records_csv = std::make_unique<staged_file>(o.output, "records.csv");
        const std::string header = "file,event,channel,baseline,amplitude,centre,width,flag,timestamp,daq_energy\n";
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
                length = std::snprintf(row, sizeof row, ",%.10g,%.10g,%.10g,%.10g,%s,", e.baseline, e.amplitude, e.centre,
                                       e.width, analysis::flag_name(e.flag));
                text.append(row, static_cast<std::size_t>(length));
                if (r.timestamp) text += std::to_string(*r.timestamp);
                text += ',';
                if (r.daq_energy) {
                    length = std::snprintf(row, sizeof row, "%.10g", *r.daq_energy);
                    text.append(row, static_cast<std::size_t>(length));
                }
                text += '\n';
            }
            records_csv->write_at(text.data(), text.size(), records_size);
            records_size += text.size();
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
                     f.file.c_str(), f.trailing_bytes);
    if (totals.format == "cdb") totals.header_bytes = o.header_bytes.value_or(cdb_header_bytes);
    std::vector<staged_file*> along;
    if (records_csv) along.push_back(records_csv.get());
    analysis::print_warnings(totals.write(o.output, o.quiet ? nullptr : stdout, along), stderr);
    if (!o.records) std::filesystem::remove(o.output + "/records.csv");
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
        ->check(CLI::NonNegativeNumber.description(""))
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
        ->check(CLI::PositiveNumber.description(""))
        ->type_name("NS");
    command->add_flag("--strict", options->analysis.reading.strict, "A file cut off mid-record is an error, not a warning");
    // Two numbers take the help's "x 2" away from their metavariable.
    const auto pair_text = [](const std::vector<double>& range) {
        std::ostringstream text;
        text << range[0] << ' ' << range[1];
        return text.str();
    };
    command->add_option("--bins", options->bins.spectrum_bins, "Bins of the amplitude spectrum")
        ->check(CLI::Range(16, 1 << 22).description(""))
        ->type_name("N");
    command->add_option("--range", options->spectrum_range,
                        "Centres of the first and last spectrum bins, in ADC also with --calibrate")
        ->expected(2)
        ->option_text("MIN MAX=" + pair_text(options->spectrum_range));
    command->add_option("--map-bins", options->bins.map_bins, "Bins per axis of the map")
        ->check(CLI::Range(3, 4096).description(""))
        ->type_name("N");
    command->add_option("--map-range", options->map_range,
                        "Centres of the first and last map bins, in ADC also with --calibrate")
        ->expected(2)
        ->option_text("MIN MAX=" + pair_text(options->map_range));
    command->add_option("--calibrate", options->calibration, "Report amplitudes as amplitude * FACTOR + OFFSET")
        ->expected(2)
        ->option_text("FACTOR OFFSET=none");
    command->add_option("--unit", options->unit, "The unit of the calibrated amplitudes: " + analysis::unit_names())
        ->check(CLI::Validator(
            [](std::string& unit) {
                return analysis::find_unit(unit) ? std::string()
                                                 : "unknown unit '" + unit + "'; the units are " + analysis::unit_names();
            },
            "", "unit"))
        ->type_name("NAME")
        ->default_str("calibrated");
    command->add_flag("--records", options->records, "Also write records.csv, one row per record");
    command->add_option("--truth", options->analysis.truth_path, "Truth table of murel generate: compare the amplitudes with it")
        ->type_name("FILE")
        ->default_str("none");
    add_threads(*command, options->analysis.threads, "Threads to fit records on (at most one per core)");
    add_quiet(*command, options->quiet);
    command->callback([options] { run(*options); });
}

}  // namespace murel::cli
