// murel convert: the records of digitiser files rewritten in another format.
#include "command.h"
#include "console_text.h"
#include "convert.h"
#include "progress.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace murel::cli {
namespace {

struct convert_options {
    std::vector<std::string> inputs;
    std::string output, target, input_format;
    std::size_t samples = 0;
    std::uint64_t header_bytes = 0;
    std::int32_t adc_offset = formats::convert_options{}.adc_offset;
    bool strict = false;
    bool quiet = false;
    CLI::Option* samples_option = nullptr;
    CLI::Option* header_option = nullptr;
};

std::string format_names(bool writable_only) {
    std::string names;
    for (const formats::format& f : formats::registry())
        if (!writable_only || f.create) names += (names.empty() ? "" : ", ") + f.name;
    return names;
}

// One progress line per pass over the inputs.
class pass_progress {
public:
    explicit pass_progress(bool shown) : shown_at_all_(shown) {}

    void operator()(const char* pass, std::uint64_t records, std::uint64_t total) {
        if (pass != pass_) {
            shown_.reset();
            shown_.emplace(std::string("convert: ") + pass, "records", total, 0.0, shown_at_all_);
            pass_ = pass;
            done_ = 0;
        }
        shown_->advance(records - done_);
        done_ = records;
    }

private:
    bool shown_at_all_;
    std::optional<progress> shown_;
    std::string pass_;
    std::uint64_t done_ = 0;
};

void convert(const convert_options& o) {
    formats::convert_options settings;
    settings.input_format = o.input_format;
    settings.adc_offset = o.adc_offset;
    settings.reading.strict = o.strict;
    if (o.samples_option->count() > 0) settings.reading.samples = o.samples;
    if (o.header_option->count() > 0) settings.reading.header_bytes = o.header_bytes;
    auto shown = std::make_shared<pass_progress>(!o.quiet);
    formats::convert_summary summary;
    try {
        const formats::format& target = formats::find(o.target);
        summary = formats::convert(o.inputs, o.output, target, settings,
                                   [shown](const char* pass, std::uint64_t records, std::uint64_t total) {
                                       (*shown)(pass, records, total);
                                   });
    } catch (const std::invalid_argument& e) {
        // Options a format does not take, and records the target cannot hold: another command
        // line (another --to, --adc-offset or --format) is the remedy.
        throw usage_error(std::string("convert: ") + e.what());
    }
    shown.reset();
    for (const std::string& warning : summary.warnings) std::fprintf(stderr, "murel: warning: %s\n", analysis::console_text(warning).c_str());
}

}  // namespace

void add_convert(CLI::App& app) {
    auto o = std::make_shared<convert_options>();
    CLI::App* command = app.add_subcommand(
        "convert",
        "Rewrite the records of INPUT (several files: the channels of one acquisition, matched by event "
        "counter, as WaveDump writes them) in another format, keeping every sample and the event numbers and "
        "time stamps the target holds. Nothing is written when the target cannot hold the records.");
    command->add_option("INPUT", o->inputs, "The files to read")->required()->type_name("FILE")->default_str("");
    command->add_option("-o,--output", o->output, "The file to write (for WaveDump: a directory of wave<N> files)")
        ->required()
        ->check(non_empty)
        ->type_name("OUTPUT");
    command->add_option("--to", o->target, "The format to write: " + format_names(true))
        ->required()
        ->type_name("FORMAT");
    command->add_option("--format", o->input_format, "The format of the inputs: " + format_names(false))
        ->type_name("NAME")
        ->default_str("found from each file's first bytes and name");
    o->samples_option = command->add_option("--samples", o->samples,
                                            "Samples per record of cdb inputs, and of WaveDump inputs without event "
                                            "headers (which need it)")
                            ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 24).description(""))
                            ->type_name("N")
                            ->default_str("1000 for cdb");
    o->header_option = command->add_option("--header", o->header_bytes,
                                           "Bytes before the first record of cdb inputs and of WaveDump inputs "
                                           "without event headers")
                           ->type_name("BYTES")
                           ->default_str("12 for cdb, 0 for WaveDump");
    command->add_option("--adc-offset", o->adc_offset,
                        "Added to every sample going from a signed format into an unsigned one (WaveDump, "
                        "CoMPASS), taken off going the other way")
        ->check(CLI::Range(0, 65535).description(""))
        ->type_name("N");
    add_quiet(*command, o->quiet);
    command->add_flag("--strict", o->strict,
                      "A file cut off mid-record, or holding events another file lacks at its end, is an error "
                      "(default: converted up to its last whole event, with a warning)");
    command->callback([o] { convert(*o); });
}

}  // namespace murel::cli
