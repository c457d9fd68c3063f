#include "draw.h"

#include "figures.h"
#include "file_digest.h"
#include "gnuplot.h"
#include "image.h"
#include "overlay.h"
#include "psd.h"
#include "records.h"
#include "interruption.h"
#include "staged_file.h"
#include "summary.h"
#include "table.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

namespace murel::plot {
namespace fs = std::filesystem;
namespace {

const char* const generator_tables[] = {"murel_gen_test.txt", "murel_gen_example.txt"};
const char* const analysis_tables[] = {"summary.json", "spectrum.txt", "map.txt", "residuals.txt"};

bool is_gate_table(const std::string& name) {
    return name.size() > 9 && name.compare(0, 5, "gate-") == 0 && name.compare(name.size() - 4, 4, ".txt") == 0;
}

source source_in(const std::string& input, const std::string& name) {
    return {fs::absolute(fs::path(input) / name).lexically_normal().string(),
            (fs::path(input) / name).lexically_normal().string()};
}

// Letters, digits, '-', '_' and '.' of a name, so that a prefix taken from it is a plain file name.
std::string plain(const std::string& name) {
    std::string result;
    for (const char c : name)
        result += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ? c : '_';
    return result.empty() || result[0] == '.' ? "input" + result : result;
}

// Hands out picture names, prefixing those of inputs of a kind given more than once.
class names {
public:
    std::string prefix_for(const std::string& input, bool needed) {
        if (!needed) return "";
        fs::path path = fs::absolute(input).lexically_normal();
        if (path.filename().empty()) path = path.parent_path();
        const std::string prefix = plain(path.filename().string());
        std::string candidate = prefix + "-";
        for (int k = 2; !prefixes_.insert(candidate).second; ++k) candidate = prefix + std::to_string(k) + "-";
        return candidate;
    }
    std::string unique(const std::string& wanted) {
        const std::string name = plain(wanted);
        std::string candidate = name;
        for (int k = 2; !taken_.insert(candidate).second; ++k) candidate = name + "-" + std::to_string(k);
        return candidate;
    }
    void reserve(const std::string& name) { taken_.insert(name); }

private:
    std::set<std::string> prefixes_, taken_;
};

struct image_copy {
    std::string ppm, name;
};

struct plan {
    std::vector<analysis_summary> summaries;  // of the analyses among the inputs
    std::vector<figure> figures;
    std::vector<image_copy> images;
    std::vector<std::string> notes;
};

bool is_directory(const std::string& input) { return fs::is_directory(input); }

void add_generator_figures(plan& work, const std::string& dir, const std::string& prefix, names& taken) {
    std::vector<figure> figures;
    if (fs::exists(fs::path(dir) / "murel_gen_test.txt")) {
        const source file = source_in(dir, "murel_gen_test.txt");
        figures = self_test_figures(file, table::read(file.path));
    }
    if (fs::exists(fs::path(dir) / "murel_gen_example.txt"))
        figures.push_back(example_figure(source_in(dir, "murel_gen_example.txt")));
    for (figure& f : figures) {
        f.name = taken.unique(prefix + f.name);
        work.figures.push_back(std::move(f));
    }
}

// Whether a file given is the one an analysis recorded: the same file, or one of the same name.
bool is_analysed_file(const std::string& file, const std::string& recorded) {
    std::error_code error;
    return fs::equivalent(file, recorded, error) || fs::path(file).filename() == fs::path(recorded).filename();
}

// The file a flagged record came from: a file input of the same path or name, else the path
// the analysis recorded, if it still exists.
std::string flagged_source(const std::string& recorded, const std::vector<std::string>& files) {
    for (const std::string& file : files)
        if (is_analysed_file(file, recorded)) return file;
    return fs::is_regular_file(recorded) ? recorded : "";
}

// The names of an acquisition's files as a title shows them.
std::string files_shown(const std::vector<std::string>& paths) {
    if (paths.size() == 1) return paths.front();
    return paths.front() + " … " + fs::path(paths.back()).filename().string() + " (" + std::to_string(paths.size()) +
           " files)";
}

// What a gallery draws over the records of an analysis's channels: each channel's method's
// result, going the way the analysis found its pulses.  Without an analysis, the fit's.
struct record_drawing {
    record_overlay overlay = fitted_pulse();
    std::map<std::string, int> polarities;
};

record_drawing drawing_of(const analysis_summary& summary) {
    std::map<std::string, analysis::channel_processing> processing;
    record_drawing result;
    for (const channel_summary& channel : summary.channels) {
        result.polarities[channel.name] = channel.polarity;
        if (channel.processing) processing[channel.name] = *channel.processing;
    }
    result.overlay = method_result(std::move(processing));
    return result;
}

void add_gallery(plan& work, const request& run, const acquisition_source& files,
                 const std::map<std::uint64_t, std::string>& captions, const record_drawing& drawing,
                 const std::string& name, const std::string& heading, names& taken) {
    std::vector<std::uint64_t> events;
    for (const auto& [event, caption] : captions) events.push_back(event);
    std::vector<gallery_panel> panels;
    for (event_records& event : read_events(files, events)) {
        const std::string caption = captions.at(event.event);
        panels.push_back({std::move(event), caption});
    }
    for (figure& f : gallery_figures(panels, {drawing.overlay}, drawing.polarities, name, files_shown(files.paths) + ": " + heading,
                                     fs::absolute(run.output_dir).lexically_normal().string())) {
        if (f.name != name) taken.reserve(f.name);
        work.figures.push_back(std::move(f));
    }
}

// How the analysis read its files, where its summary says so; else as the command line says.
// A record length or header that a format gives for itself is left to it.
std::vector<acquisition_source> analysed_acquisitions(const std::vector<std::string>& paths,
                                                      const analysis_summary& summary, const request& run) {
    if (summary.format.empty()) return group_acquisitions(paths, run.format, run.reading);
    const std::string format = summary.format.find(',') == std::string::npos ? summary.format : "";
    formats::reader_options reading;
    reading.samples = summary.samples;
    reading.header_bytes = summary.header_bytes;
    try {
        return group_acquisitions(paths, format, reading);
    } catch (const std::invalid_argument&) {
        return group_acquisitions(paths, format, {});
    }
}

// The galleries of the records an analysis flagged, one per acquisition they came from.
void add_flagged_galleries(plan& work, const request& run, const std::string& dir, const analysis_summary& summary,
                           const std::string& prefix, names& taken, const std::vector<std::string>& files) {
    if (summary.flagged.empty()) return;
    // The analysed files that can be found, in the analysis's order.
    std::vector<std::string> recorded = summary.files;
    for (const flagged_record& entry : summary.flagged)
        if (std::find(recorded.begin(), recorded.end(), entry.file) == recorded.end()) recorded.push_back(entry.file);
    std::vector<std::string> found;
    std::map<std::string, std::string> found_for;  // recorded path, the file found for it
    for (const std::string& path : recorded) {
        const std::string file = flagged_source(path, files);
        if (file.empty()) continue;
        found_for[path] = file;
        if (std::find(found.begin(), found.end(), file) == found.end()) found.push_back(file);
    }
    const std::vector<acquisition_source> acquisitions =
        found.empty() ? std::vector<acquisition_source>{} : analysed_acquisitions(found, summary, run);
    std::map<std::size_t, std::map<std::uint64_t, std::string>> captions;  // acquisition, event, caption
    std::set<std::string> missing;
    for (const flagged_record& entry : summary.flagged) {
        const auto file = found_for.find(entry.file);
        if (file == found_for.end()) {
            if (missing.insert(entry.file).second)
                work.notes.push_back("cannot find " + entry.file + " for the flagged records of " + dir +
                                     "; name it on the command line");
            continue;
        }
        std::size_t a = 0;
        while (std::find(acquisitions[a].paths.begin(), acquisitions[a].paths.end(), file->second) ==
               acquisitions[a].paths.end())
            ++a;
        std::string& caption = captions[a][entry.event];
        caption +=
            (caption.empty() ? "event " + std::to_string(entry.event) + ": " : ", ") + entry.channel + " " + entry.flag;
    }
    const record_drawing drawing = drawing_of(summary);
    for (const auto& [a, events] : captions)
        add_gallery(work, run, acquisitions[a], events, drawing,
                    taken.unique(prefix + "flagged-" + plain(fs::path(acquisitions[a].paths.front()).stem().string())),
                    "records flagged by " + dir, taken);
}

// Where each channel's records.csv amplitudes lie on its spectrum's axis, and the stretch of the
// axis its spectrum has counts in; none for a channel without counts.
std::map<std::string, energy_axis> energy_axes(const analysis_summary& summary, const table& spectrum) {
    std::map<std::string, energy_axis> result;
    for (std::size_t c = 0; c < summary.channels.size() && c + 1 < spectrum.columns(); ++c) {
        const auto counted = spectrum.span_where_positive(c + 1, 0);
        if (!counted) continue;
        energy_axis axis;
        const double half_bin = 0.5 * std::fabs(spectrum.step());
        axis.low = counted->first - half_bin;
        axis.high = counted->second + half_bin;
        if (!std::isfinite(axis.low) || !std::isfinite(axis.high) || !(axis.high > axis.low)) continue;
        if (summary.channels[c].calibration)
            axis.calibration = *summary.channels[c].calibration;
        else if (summary.binning && summary.binning->calibrated)
            axis.calibration.coefficients[0] = summary.binning->offset, axis.calibration.coefficients[1] = summary.binning->factor;
        result[summary.channels[c].name] = axis;
    }
    return result;
}

// The tables of an analysis are drawn only as the set its summary lists (older summaries list none).
void check_analysis_set(const std::string& dir) {
    const std::string path = (fs::path(dir) / "summary.json").string();
    std::ifstream in(path);
    const nlohmann::json summary = nlohmann::json::parse(in, nullptr, false);
    if (summary.is_object() && summary.contains("outputs")) check_listed(dir, summary["outputs"], path);
}

void add_analysis_figures(plan& work, const request& run, const std::string& dir, const std::string& prefix,
                          names& taken, const std::vector<std::string>& files) {
    const fs::path root(dir);
    analysis_summary summary;
    if (fs::exists(root / "summary.json")) {
        summary = analysis_summary::read((root / "summary.json").string());
        check_analysis_set(dir);
    } else {
        summary.channels.resize(2);
        summary.channels[0].name = "A";
        summary.channels[1].name = "B";
        summary.pair = {"A", "B"};
    }
    const std::string unit = summary.unit_label();
    const std::string data_name = summary.files.empty() ? dir : summary.data_name();
    std::vector<figure> figures;
    std::optional<table> spectrum;
    if (fs::exists(root / "spectrum.txt")) {
        const source file = source_in(dir, "spectrum.txt");
        spectrum = table::read(file.path);
        for (std::size_t c = 0; c < summary.channels.size(); ++c)
            for (figure& f : spectrum_figures(file, *spectrum, c + 1, summary.channels[c], unit, data_name, run.rebin))
                figures.push_back(std::move(f));
    }
    const std::pair<std::string, std::string> pair = summary.pair.value_or(std::make_pair("A", "B"));
    if (fs::exists(root / "map.txt")) {
        const source file = source_in(dir, "map.txt");
        const table map = table::read(file.path);
        if (map.rows() > 0) figures.push_back(map_figure(file, map, pair, unit, data_name));
    }
    std::vector<gate> gates = summary.gates;
    if (gates.empty())
        for (int k = 0; fs::exists(root / ("gate-" + std::to_string(k) + ".txt")); ++k)
            gates.push_back({k, "gate-" + std::to_string(k) + ".txt", 0, 0});
    for (const gate& band : gates) {
        if (band.file != fs::path(band.file).filename().string() || band.file.empty() || band.file[0] == '.')
            throw std::invalid_argument(dir + "/summary.json: gate file " + band.file + " is not a plain file name");
        const source file = source_in(dir, band.file);
        figures.push_back(gate_figure(file, table::read(file.path), band, pair, unit, data_name));
    }
    if (fs::exists(root / "residuals.txt")) {
        const source file = source_in(dir, "residuals.txt");
        figures.push_back(residual_figure(file, table::read(file.path), summary, data_name));
    }
    for (const channel_summary& channel : summary.channels)
        if (channel.calibration && !channel.calibration->positions.empty()) {
            figures.push_back(calibration_figure(channel.name, *channel.calibration, unit, data_name));
            figures.push_back(resolution_figure(channel.name, *channel.calibration, unit, data_name));
        }
    for (figure& f : figures) {
        f.name = taken.unique(prefix + f.name);
        work.figures.push_back(std::move(f));
    }
    if (spectrum && fs::exists(root / "records.csv"))
        for (const auto& [channel, map] : read_psd_maps((root / "records.csv").string(), energy_axes(summary, *spectrum)))
            work.figures.push_back(psd_figure(taken.unique(prefix + "psd-" + channel), map, channel, unit, data_name,
                                              fs::absolute(run.output_dir).lexically_normal().string()));
    add_flagged_galleries(work, run, dir, summary, prefix, taken, files);
    work.summaries.push_back(std::move(summary));
}

// The drawing of the first analysis that read one of `files`.
record_drawing drawing_for(const plan& work, const std::vector<std::string>& files) {
    for (const analysis_summary& summary : work.summaries)
        for (const std::string& analysed : summary.files)
            for (const std::string& file : files)
                if (is_analysed_file(file, analysed)) return drawing_of(summary);
    return {};
}

plan make_plan(const request& run) {
    plan work;
    std::vector<std::string> generator_dirs, analysis_dirs, files;
    std::map<std::string, directory_survey> surveys;
    for (const std::string& input : run.inputs) {
        if (!is_directory(input)) {
            files.push_back(input);
            continue;
        }
        const directory_survey& found = surveys[input] = survey(input);
        if (found.generator_outputs) generator_dirs.push_back(input);
        if (found.analysis || !found.images.empty()) analysis_dirs.push_back(input);
    }
    names taken;
    for (const std::string& dir : generator_dirs)
        add_generator_figures(work, dir, taken.prefix_for(dir, generator_dirs.size() > 1), taken);
    for (const std::string& dir : analysis_dirs) {
        const std::string prefix = taken.prefix_for(dir, analysis_dirs.size() > 1);
        add_analysis_figures(work, run, dir, prefix, taken, files);
        if (run.images)
            for (const std::string& image : surveys[dir].images)
                work.images.push_back(
                    {(fs::path(dir) / image).string(), taken.unique(prefix + fs::path(image).stem().string())});
    }
    if (!run.records.empty()) {
        std::map<std::uint64_t, std::string> captions;
        std::string heading = "records";
        for (const std::uint64_t event : run.records)
            if (captions.emplace(event, "event " + std::to_string(event)).second)
                heading += (captions.size() == 1 ? " " : ", ") + std::to_string(event);
        for (const acquisition_source& acquisition : group_acquisitions(files, run.format, run.reading))
            add_gallery(work, run, acquisition, captions, drawing_for(work, acquisition.paths),
                        taken.unique("records-" + plain(fs::path(acquisition.paths.front()).stem().string())), heading,
                        taken);
    }
    return work;
}

// The picture's name is a plain file name, so the comment that carries it stays one line.
std::string script_text(const figure& f, const std::string& png_path) {
    return "# " + f.name + ".png, drawn by murel plot; \"gnuplot " + f.name +
           ".gp\" draws it again.\n"
           "if (!exists(\"output\")) output = " +
           quoted_path(png_path) +
           "\n"
           "set encoding utf8\n"
           "set terminal pngcairo size " +
           std::to_string(f.width) + ", " + std::to_string(f.height) +
           " noenhanced font \"sans,11\"\n"
           "set output output\n" +
           f.body;
}

// gnuplot can end with status 0 and no picture (a wrapper that does nothing, an output it
// could not open), which must not be passed off as drawn.
bool is_png(const std::string& path) {
    static constexpr char signature[] = "\x89PNG\r\n\x1a\n";
    char start[sizeof signature - 1] = {};
    std::ifstream in(path, std::ios::binary);
    return in.read(start, sizeof start) && std::equal(std::begin(start), std::end(start), signature);
}

void write_whole(staged_file& file, const std::string& content) { file.write_at(content.data(), content.size(), 0); }

}  // namespace

directory_survey survey(const std::string& dir) {
    directory_survey result;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (std::find(std::begin(generator_tables), std::end(generator_tables), name) != std::end(generator_tables))
            result.generator_outputs = true;
        if (std::find(std::begin(analysis_tables), std::end(analysis_tables), name) != std::end(analysis_tables) ||
            is_gate_table(name))
            result.analysis = true;
        if (entry.path().extension() == ".ppm" && name[0] != '.') result.images.push_back(name);
    }
    if (error) throw std::system_error(error, "cannot list " + dir);
    std::sort(result.images.begin(), result.images.end());
    return result;
}

void check_request(const request& run) {
    bool analysis_given = false;
    std::vector<std::string> files;
    for (const std::string& input : run.inputs) {
        if (!fs::exists(input)) throw std::invalid_argument("no such file or directory: " + input);
        if (!is_directory(input)) {
            files.push_back(input);
            continue;
        }
        const directory_survey found = survey(input);
        if (!found.generator_outputs && !found.analysis && (found.images.empty() || !run.images))
            throw std::invalid_argument(input + " holds nothing to plot: no murel_gen outputs, no analysis" +
                                        (found.images.empty() ? " and no PPM image" : " (its PPM images are copied with --images)"));
        analysis_given = analysis_given || found.analysis;
    }
    if (run.rebin == 0) throw std::invalid_argument("a log spectrum cannot sum 0 bins into one (--rebin)");
    if (!run.records.empty() && files.empty())
        throw std::invalid_argument("--records needs a data file among the inputs");
    if (run.records.empty() && !files.empty() && !analysis_given)
        throw std::invalid_argument("choose the records of " + files.front() +
                                    " to draw with --records, or add the analysis directory that flagged some");
    if (!run.records.empty()) group_acquisitions(files, run.format, run.reading);
}

std::vector<script> scripts(const request& run) {
    check_request(run);
    const std::string dir = fs::absolute(run.output_dir).lexically_normal().string();
    std::vector<script> result;
    for (const figure& f : make_plan(run).figures) result.push_back({f.name, script_text(f, dir + "/" + f.name + ".png")});
    return result;
}

outcome draw(const request& run) {
    check_request(run);
    const gnuplot program(run.gnuplot);
    plan work = make_plan(run);
    outcome result;
    result.notes = std::move(work.notes);
    const std::string dir = fs::absolute(run.output_dir).lexically_normal().string();
    fs::create_directories(dir);
    if (run.on_start) run.on_start(work.figures.size() + work.images.size());
    const interruption_guard guard;
    for (const figure& f : work.figures) {
        interruption_guard::check();
        const std::string png_path = dir + "/" + f.name + ".png";
        staged_file script(dir, f.name + ".gp"), png(dir, f.name + ".png");
        write_whole(script, script_text(f, png_path));
        // The script reads its data under the final names, so the data goes in place first and
        // is taken away again if the picture is not drawn.
        std::vector<std::string> placed;
        std::string warnings;
        try {
            for (const auto& [name, content] : f.data) {
                staged_file data(dir, name);
                write_whole(data, content);
                data.commit();
                placed.push_back(dir + "/" + name);
            }
            warnings = program.run(script.temp_path(), png.temp_path());
            interruption_guard::check();
            if (!png.in_place() && !is_png(png.temp_path()))
                throw std::runtime_error(run.gnuplot + " ended without drawing " + f.name + ".png" +
                                         (warnings.empty() ? "" : ":\n" + warnings));
        } catch (...) {
            for (const std::string& path : placed) fs::remove(path);
            interruption_guard::check();
            throw;
        }
        script.commit();
        png.commit();
        if (!warnings.empty()) result.notes.push_back("gnuplot warned on " + f.name + ".gp: " + warnings);
        result.pictures.push_back(png_path);
        if (run.on_picture) run.on_picture();
    }
    for (const image_copy& copy : work.images) {
        interruption_guard::check();
        staged_file png(dir, copy.name + ".png");
        write_png(read_ppm(copy.ppm), png.temp_path());
        png.commit();
        result.pictures.push_back(dir + "/" + copy.name + ".png");
        if (run.on_picture) run.on_picture();
    }
    return result;
}

}  // namespace murel::plot
