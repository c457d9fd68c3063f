// murel merge: the sum of several analyses that share a binning, measured like one.
#include "command.h"

#include "directory_lock.h"
#include "hdf5_output.h"
#include "interruption.h"
#include "totals.h"
#include "totals_reader.h"

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace murel::cli {

namespace {

struct merge_options {
    std::vector<std::string> inputs;
    std::string output;
    bool no_hdf5 = false;
    bool quiet = false;
};

void run(const merge_options& o) {
    // One analysis given twice would count its records twice.  Each directory is looked up once:
    // comparing every pair by name took longer than a merge of many pieces.
    const auto identity = [](const std::string& path) {
        struct stat status {};
        return ::stat(path.c_str(), &status) == 0 ? std::optional(std::pair(status.st_dev, status.st_ino)) : std::nullopt;
    };
    std::map<std::pair<dev_t, ino_t>, std::size_t> first_named;
    std::vector<std::optional<std::pair<dev_t, ino_t>>> inputs;
    for (std::size_t i = 0; i < o.inputs.size(); ++i) {
        inputs.push_back(identity(o.inputs[i]));
        if (!inputs.back()) continue;
        const auto [named, first] = first_named.emplace(*inputs.back(), i);
        if (!first) throw usage_error(o.inputs[named->second] + " and " + o.inputs[i] + " are the same analysis");
    }
    const output_directory claimed(o.output);
    // An input that is also the output is covered by the write lock; one that did not exist
    // before may be the output just made.
    const auto output = identity(o.output);
    std::vector<directory_lock> read;
    for (std::size_t i = 0; i < o.inputs.size(); ++i)
        if ((inputs[i] ? inputs[i] : identity(o.inputs[i])) != output) read.emplace_back(o.inputs[i], directory_lock::access::read);
    // Every piece needs buffers of the same sizes: freed ones are kept for the next rather than
    // handed back to the system, to be faulted in and cleared again, and kept in one arena, since
    // the threads that read pieces are not those that free them.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_ARENA_MAX, 1);
    const interruption_guard guard;
    // Pieces are read, hashed and checked on two threads of their own, one piece ahead of the
    // one this thread adds up: reading, not adding, is most of a merge's work, and a piece more in
    // memory would make it no faster.
    std::optional<analysis::totals_reader> pieces(std::in_place, o.inputs, 2, 1);
    const std::unique_ptr<analysis::totals> first = pieces->next();
    analysis::totals& sum = *first;
    std::vector<std::pair<std::string, std::vector<analysis::input_file>>> parts{{o.inputs.front(), sum.inputs}};
    for (std::size_t i = 1; i < o.inputs.size(); ++i) {
        interruption_guard::check();
        const std::unique_ptr<const analysis::totals> read_next = pieces->next();
        const analysis::totals& next = *read_next;
        const auto length = [](int samples) { return samples > 0 ? std::to_string(samples) + " samples" : std::string("differing lengths"); };
        if (next.samples != sum.samples)
            throw std::invalid_argument(o.inputs[i] + " analysed records of " + length(next.samples) + ", " + o.inputs.front() +
                                        " of " + length(sum.samples));
        // Residuals of only some of the records would pass for those of all.
        if (next.with_truth != sum.with_truth)
            throw std::invalid_argument((sum.with_truth ? o.inputs.front() : o.inputs[i]) + " was compared with a truth table and " +
                                        (sum.with_truth ? o.inputs[i] : o.inputs.front()) + " was not");
        try {
            // The flagged records of the next analysis follow every event of the ones before.
            sum.add(next, static_cast<std::uint64_t>(*std::max_element(sum.records.begin(), sum.records.end())));
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument(o.inputs.front() + " and " + o.inputs[i] + " have " + e.what());
        }
        sum.files.insert(sum.files.end(), next.files.begin(), next.files.end());
        sum.inputs.insert(sum.inputs.end(), next.inputs.begin(), next.inputs.end());
        parts.emplace_back(o.inputs[i], next.inputs);
        if (("," + sum.format + ",").find("," + next.format + ",") == std::string::npos) sum.format += "," + next.format;
        if (next.header_bytes != sum.header_bytes) sum.header_bytes.reset();
    }
    // Its threads end, and the buffers they kept from piece to piece are freed before the writing.
    pieces.reset();
    // Pieces of other data sets, or the same events twice, would pass for one whole.
    analysis::check_one_whole(parts);
    interruption_guard::check();
    // analysis.h5 comes from the sum, like the text files: exact whatever the order of the pieces.
    std::unique_ptr<analysis::hdf5_output> hdf5;
    if (!o.no_hdf5) hdf5 = std::make_unique<analysis::hdf5_output>(o.output);
    std::vector<staged_file*> along;
    if (hdf5) along.push_back(&hdf5->file());
    analysis::print_warnings(sum.write(o.output, o.quiet ? nullptr : stdout, along, hdf5.get()), stderr);
    if (!hdf5) std::filesystem::remove(o.output + "/analysis.h5");
    // Records are not merged; a table left by an analysis into the same directory is not this one's.
    std::filesystem::remove(o.output + "/records.csv");
    interruption_guard::check();
}

}  // namespace

void add_merge(CLI::App& app) {
    auto options = std::make_shared<merge_options>();
    CLI::App* command = app.add_subcommand("merge", "Add up analyses of the same binning and measure their lines");
    command->add_option("DIR", options->inputs, "Output directories of murel analyse or murel merge")
        ->required()
        ->type_name("")
        ->default_str("");
    command->add_option("-o,--output", options->output, "Directory for the outputs (created if missing)")
        ->required()
        ->check(non_empty)
        ->type_name("DIR");
    add_quiet(*command, options->quiet);
    command->add_flag("--no-hdf5", options->no_hdf5, "Do not write analysis.h5");
    command->callback([options] { run(*options); });
}

}  // namespace murel::cli
