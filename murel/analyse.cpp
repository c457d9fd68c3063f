// murel analyse: pulse heights of digitiser files, their spectra, lines and maps.
#include "command.h"
#include "interruption.h"
#include "progress.h"

#include "directory_lock.h"
#include "file_digest.h"
#include "pulse_model.h"
#include "run.h"
#include "staged_file.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace murel::cli {

namespace {

struct analyse_options {
    std::vector<std::string> inputs;
    std::string output;
    std::uint64_t header_bytes = 12;
    int samples = 1000;
    analysis::binning bins;
    std::vector<double> spectrum_range{0.0, 65540.0};
    std::vector<double> map_range{0.0, 65535.0};
    std::vector<double> calibration;
    bool records = false;
    std::string truth;
    unsigned threads = 0;
};

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
    }
    try {
        bins.check();
    } catch (const std::invalid_argument& e) {
        throw usage_error(e.what());
    }
    // Every input is checked before any work starts.
    std::vector<analysis::event_file> files;
    std::uint64_t events = 0;
    for (const std::string& path : o.inputs) {
        files.emplace_back(path, o.header_bytes, o.samples);
        events += files.back().events();
    }
    if (!o.truth.empty()) check_truth_set(o.inputs, o.truth);
    const output_directory claimed(o.output);

    const interruption_guard guard;
    std::unique_ptr<staged_file> records_csv;
    std::uint64_t records_size = 0;
    analysis::record_sink sink;
    if (o.records) {
        records_csv = std::make_unique<staged_file>(o.output, "records.csv");
        const std::string header = "file,event,channel,baseline,amplitude,centre,width,flag\n";
        records_csv->write_at(header.data(), header.size(), 0);
        records_size = header.size();
        sink = [&](const analysis::event_file& file, std::uint64_t first, const std::vector<analysis::pulse_estimate>& estimates) {
            std::string text;
            const std::string name = csv_field(file.path());
            char row[256];
            for (std::size_t i = 0; i < estimates.size(); ++i) {
                const analysis::pulse_estimate& e = estimates[i];
                const int length = std::snprintf(row, sizeof row, ",%" PRIu64 ",%c,%.10g,%.10g,%.10g,%.10g,%s\n", first + i / 2,
                                                 i % 2 == 0 ? 'A' : 'B', e.baseline, e.amplitude, e.centre, e.width,
                                                 analysis::flag_name(e.flag));
                text += name;
                text.append(row, static_cast<std::size_t>(length));
            }
            records_csv->write_at(text.data(), text.size(), records_size);
            records_size += text.size();
        };
    }
    // The fits keep a core busy each: more threads than cores only cost memory.
    const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
    unsigned threads = o.threads;
    if (threads > cores) {
        std::fprintf(stderr, "murel: note: --threads %u capped at the %u cores\n", threads, cores);
        threads = cores;
    }
    analysis::totals totals = [&] {
        progress shown("analyse", "events", events, static_cast<double>(o.samples) * 4.0);
        return analysis::analyse_files(files, bins, o.truth, threads, sink, [&shown](std::uint64_t done) {
            interruption_guard::check();
            shown.advance(done);
        });
    }();
    interruption_guard::check();
    totals.header_bytes = o.header_bytes;
    std::vector<staged_file*> along;
    if (records_csv) along.push_back(records_csv.get());
    analysis::print_warnings(totals.write(o.output, stdout, along), stderr);
    if (!o.records) std::filesystem::remove(o.output + "/records.csv");
    // Once the set is in place, a signal that came during its writing ends the run.
    interruption_guard::check();
}

}  // namespace

void add_analyse(CLI::App& app) {
    auto options = std::make_shared<analyse_options>();
    CLI::App* command = app.add_subcommand("analyse", "Measure the pulses of digitiser files and the lines of their spectra");
    command->add_option("FILE", options->inputs, "Data files: a header, then events of sample pairs (A, B; int16 little-endian)")
        ->required();
    command->add_option("-o,--output", options->output, "Directory for the outputs (created if missing)")
        ->required()
        ->check(non_empty);
    command->add_option("--header", options->header_bytes, "Bytes before the first event of each file")
        ->check(CLI::NonNegativeNumber);
    command->add_option("--samples", options->samples, "Sample pairs per event")->check(CLI::Range(1, 1 << 20));
    command->add_option("--bins", options->bins.spectrum_bins, "Bins of the amplitude spectrum")->check(CLI::Range(16, 1 << 22));
    command->add_option("--range", options->spectrum_range, "Centres of the first and last spectrum bins, ADC")->expected(2);
    command->add_option("--map-bins", options->bins.map_bins, "Bins per axis of the A-against-B map")->check(CLI::Range(3, 4096));
    command->add_option("--map-range", options->map_range, "Centres of the first and last map bins, ADC")->expected(2);
    command->add_option("--calibrate", options->calibration, "Report amplitudes as amplitude * FACTOR + OFFSET")
        ->expected(2)
        ->type_name("FACTOR OFFSET");
    command->add_flag("--records", options->records, "Also write records.csv, one row per record");
    command->add_option("--truth", options->truth, "Truth table of murel generate: compare the amplitudes with it");
    command->add_option("--threads", options->threads, "Threads to use (0: one per core; at most one per core)");
    command->callback([options] { run(*options); });
}

}  // namespace murel::cli
