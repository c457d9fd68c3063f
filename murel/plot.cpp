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

namespace murel::cli {

void add_plot(CLI::App& app) {
    auto run = std::make_shared<plot::request>();
    CLI::App* command = app.add_subcommand(
        "plot",
        "Draw PNG pictures with gnuplot: from a directory of murel_gen outputs the self-test and the example "
        "pulse pair; from a murel analyse or merge directory the spectra, the A-B map, the gated B spectra, the "
        "residuals and PNG copies of the PPM images; from a .cdb-layout file a gallery of the --records chosen "
        "and of the records an analysis flagged.  Each picture NAME.png comes with its gnuplot script NAME.gp.");
    command->add_option("INPUT", run->inputs, "Directories of murel_gen outputs or analyses, or .cdb-layout files")
        ->required();
    command->add_option("-o,--output", run->output_dir, "Directory the pictures go to (created if missing)")
        ->required()
        ->check(non_empty);
    // Checked as text, since a conversion to an unsigned number would wrap "-1" round.
    const CLI::Validator event_index(
        [](std::string& text) -> std::string {
            std::uint64_t value = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (text.empty() || end != text.data() + text.size() || error != std::errc())
                return "'" + text + "' is not an event number (0 to 18446744073709551615)";
            return "";
        },
        "");
    command->add_option("--records", run->records, "Events (0-based) of each .cdb-layout file to draw, as 0,5,17")
        ->delimiter(',')
        ->check(event_index);
    command->add_option("--samples", run->layout.samples, "Samples per channel in a record of a .cdb-layout file")
        ->check(CLI::Range(1, 100000000));
    command->add_option("--header", run->layout.header_bytes, "Bytes before the first record of a .cdb-layout file")
        ->check(CLI::Range(0, 1000000000));
    command->add_option("--gnuplot", run->gnuplot, "The gnuplot program, a path or a name looked up on PATH");
    command->callback([run] {
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
        run->on_start = [&shown](std::size_t pictures) {
            shown = std::make_unique<progress>("plot", "pictures", pictures, 0.0);
        };
        run->on_picture = [&shown] { shown->advance(1); };
        const plot::outcome drawn = plot::draw(*run);
        shown.reset();
        for (const std::string& note : drawn.notes) std::fprintf(stderr, "murel: %s\n", note.c_str());
        for (const std::string& picture : drawn.pictures) std::printf("%s\n", picture.c_str());
    });
}

}  // namespace murel::cli
