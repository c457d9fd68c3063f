// murel plot: PNG pictures of murel_gen outputs, analysis directories and records.
#include "command.h"
#include "directory_lock.h"
#include "draw.h"
#include "progress.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace murel::cli {

namespace {

// A gallery of more records than this is no longer something to look at.
constexpr std::uint64_t most_records = 1000;

std::optional<std::uint64_t> event_number(const std::string& text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || end != text.data() + text.size() || error != std::errc()) return std::nullopt;
    return value;
}

// The events of "0-3,17" as 0, 1, 2, 3, 17; throws usage_error naming an item that is not an
// event number or a rising range, or a list longer than a gallery draws.
std::vector<std::uint64_t> event_list(const std::vector<std::string>& items) {
    std::vector<std::uint64_t> events;
    for (const std::string& item : items) {
        const std::size_t dash = item.find('-');
        const std::optional<std::uint64_t> first = event_number(item.substr(0, dash));
        const std::optional<std::uint64_t> last = dash == std::string::npos ? first : event_number(item.substr(dash + 1));
        if (!first || !last)
            throw usage_error("--records: '" + item + "' is not an event number N or a range N-M (0 to 18446744073709551615)");
        if (*last < *first) throw usage_error("--records: the range " + item + " runs backwards");
        if (*last - *first >= most_records || events.size() + (*last - *first) >= most_records)
            throw usage_error("--records: " + item + " makes more than the " + std::to_string(most_records) +
                              " records a gallery draws");
        for (std::uint64_t event = *first;; ++event) {
            events.push_back(event);
            if (event == *last) break;
        }
    }
    return events;
}

struct plot_options {
    std::vector<std::string> records;
    bool quiet = false;
};

}  // namespace

void add_plot(CLI::App& app) {
    auto run = std::make_shared<plot::request>();
    CLI::App* command = app.add_subcommand(
        "plot",
        "Draw PNG pictures with gnuplot: from a directory of murel_gen outputs the self-test and the example "
        "pulse pair; from a murel analyse or merge directory each channel's spectrum with its fitted lines and a "
        "close-up of each line, the map and gated spectra of its pair of channels and the residuals; from data "
        "files of any format a gallery of the --records chosen and of the records an analysis flagged.  Each picture NAME.png comes with its gnuplot script NAME.gp.");
    command->add_option("INPUT", run->inputs, "Directories of murel_gen outputs or analyses, or data files of any format")
        ->required()
        ->type_name("")
        ->default_str("");
    command->add_option("-o,--output", run->output_dir, "Directory the pictures go to (created if missing)")
        ->required()
        ->check(non_empty)
        ->type_name("DIR");
    auto options = std::make_shared<plot_options>();
    // Kept as text, since a conversion to an unsigned number would wrap "-1" round.
    command->add_option("--records", options->records,
                        "Events of the data files to draw, as 0-3,17 (numbered as the files number them, from 0; at most " +
                            std::to_string(most_records) + ")")
        ->delimiter(',')
        ->option_text("LIST=none");
    command->add_option("--format", run->format, "Read every data file as format NAME")
        ->type_name("NAME")
        ->default_str("recognised per file");
    command->add_option("--samples", run->reading.samples, "cdb and headerless WaveDump: samples per record")
        ->check(CLI::Range(1, 100000000).description(""))
        ->type_name("N")
        ->default_str("1000 for cdb");
    command->add_option("--header", run->reading.header_bytes, "cdb: bytes before the first record")
        ->check(CLI::Range(0, 1000000000).description(""))
        ->type_name("BYTES")
        ->default_str("12");
    command->add_option("--rebin", run->rebin, "Bins of an analysis's spectrum summed into one of its log spectrum")
        ->check(CLI::Range(1, 1000000).description(""))
        ->type_name("N")
        ->capture_default_str();
    command->add_flag("--images", run->images, "Also copy every PPM image of an analysis into a PNG file");
    command->add_option("--gnuplot", run->gnuplot, "The gnuplot program, a path or a name looked up on PATH")
        ->type_name("PROGRAM");
    add_quiet(*command, options->quiet);
    command->callback([run, options] {
        run->records = event_list(options->records);
        try {
            plot::check_request(*run);
        } catch (const std::invalid_argument& e) {
            throw usage_error(e.what());
        }
        const output_directory claimed(run->output_dir);
        // An analysis is drawn as one set: no run may replace it meanwhile.  An input that is
        // also the output is covered by the write lock.
        std::vector<directory_lock> read;
        for (const std::string& input : run->inputs) {
            std::error_code unknown;
            if (std::filesystem::is_directory(input) && !std::filesystem::equivalent(input, run->output_dir, unknown))
                read.emplace_back(input, directory_lock::access::read);
        }
        std::unique_ptr<progress> shown;
        run->on_start = [&shown, quiet = options->quiet](std::size_t pictures) {
            shown = std::make_unique<progress>("plot", "pictures", pictures, 0.0, !quiet);
        };
        run->on_picture = [&shown] { shown->advance(1); };
        plot::outcome drawn;
        try {
            drawn = plot::draw(*run);
        } catch (const std::out_of_range& e) {
            throw usage_error(e.what());  // an event the files do not hold
        }
        shown.reset();
        if (options->quiet) return;
        for (const std::string& note : drawn.notes) std::fprintf(stderr, "murel: %s\n", note.c_str());
        for (const std::string& picture : drawn.pictures) std::printf("%s\n", picture.c_str());
    });
}

}  // namespace murel::cli
