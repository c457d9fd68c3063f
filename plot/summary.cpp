#include "summary.h"

#include "path_json.h"
#include "record_fit.h"

#include <nlohmann/json.hpp>

#include <algorithm>

#include <cerrno>
#include <cmath>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace murel::plot {
namespace {

using nlohmann::json;

// A number of the summary; null (an error the fit could not tell) reads as NaN.
double number_or(const json& object, const char* key, double missing) {
    const auto found = object.find(key);
    if (found == object.end()) return missing;
    return found->is_null() ? NAN : found->get<double>();
}

// A value as JSON writes it, so that control characters in a message show as escapes.
std::string shown(const std::string& value) { return json(value).dump(-1, ' ', false, json::error_handler_t::replace); }

channel_summary read_channel(const std::string& name, const json& channel, const json& calibration) {
    channel_summary result;
    result.name = name;
    for (const json& line : channel.value("lines", json::array())) {
        found_line found;
        found.position = line.at("position").get<double>();
        found.position_error = number_or(line, "position_error", 0.0);
        found.fwhm = line.value("fwhm", 0.0);
        found.fwhm_error = number_or(line, "fwhm_error", 0.0);
        found.counts = line.value("counts", 0.0);
        found.background = line.value("background", 0.0);
        found.background_slope = line.value("background_slope", 0.0);
        found.background_reference = line.value("background_reference", found.position);
        if (line.contains("fit_range"))
            found.fit_range = {line["fit_range"].at(0).get<double>(), line["fit_range"].at(1).get<double>()};
        result.lines.push_back(found);
    }
    if (channel.contains("residual_bias")) result.residual_bias = channel["residual_bias"].get<double>();
    if (channel.contains("residual_rms")) result.residual_rms = channel["residual_rms"].get<double>();
    const std::string polarity = channel.value("polarity", "");
    result.polarity = polarity == "positive" ? 1 : polarity == "negative" ? -1 : 0;
    try {
        if (channel.contains("processing")) {
            result.processing = analysis::channel_processing::from_json(channel["processing"]);
            // The records were processed with the decay time the analysis estimated where none was given.
            const json estimated = channel.value("estimated_decay", json());
            if (!result.processing->decay && estimated.is_number() && estimated.get<double>() > 0 &&
                std::isfinite(estimated.get<double>()))
                result.processing->decay = estimated.get<double>();
        }
        if (!calibration.is_null()) result.calibration = analysis::line_calibration::from_json(calibration);
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument("channel " + shown(name) + ": " + e.what());
    }
    return result;
}

template <class Names, class Name>
std::string listed(const Names& names, Name name) {
    std::string result;
    for (const auto& entry : names) result += (result.empty() ? "" : ", ") + name(entry);
    return result;
}

// Only whole names of the known sets reach the pictures; any other text in these fields may be
// a file's attempt to smuggle something into a gnuplot script.
void check_fields(const analysis_summary& summary) {
    if (analysis::find_unit(summary.unit) == nullptr)
        throw std::invalid_argument("unknown unit " + shown(summary.unit) + "; the known units are " + analysis::unit_names());
    for (const channel_summary& channel : summary.channels)
        if (channel.name.find('\0') != std::string::npos)
            throw std::invalid_argument("channel name " + shown(channel.name) + " holds a NUL byte");
    const auto& flags = known_flags();
    for (const flagged_record& entry : summary.flagged) {
        if (std::find(flags.begin(), flags.end(), entry.flag) == flags.end())
            throw std::invalid_argument("unknown flag " + shown(entry.flag) + " of event " +
                                        std::to_string(entry.event) + "; the known flags are " +
                                        listed(flags, [](const std::string& f) { return f; }));
        for (const std::string* text : {&entry.file, &entry.channel})
            if (text->find('\0') != std::string::npos)
                throw std::invalid_argument("flagged record of event " + std::to_string(entry.event) + ": " +
                                            shown(*text) + " holds a NUL byte");
    }
}

}  // namespace

const std::vector<std::string>& known_flags() {
    // The analysis names its flags in turn; a number past the last one gets a name given before.
    static const std::vector<std::string> flags = [] {
        std::vector<std::string> result;
        for (int k = 0;; ++k) {
            const std::string name = analysis::flag_name(static_cast<analysis::record_flag>(k));
            if (std::find(result.begin(), result.end(), name) != result.end()) return result;
            result.push_back(name);
        }
    }();
    return flags;
}

analysis_summary analysis_summary::read(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    analysis_summary result;
    try {
        const json summary = json::parse(in);
        result.unit = summary.value("unit", "ADC");
        const json channels = summary.value("channels", json::object());
        std::vector<std::string> names{"A", "B"};
        if (summary.contains("channel_names")) {
            names.clear();
            for (const json& name : summary["channel_names"]) names.push_back(name.get<std::string>());
        }
        const json calibrations =
            summary.contains("line_calibration") ? summary["line_calibration"].at("channels") : json::object();
        for (const std::string& name : names)
            result.channels.push_back(
                read_channel(name, channels.value(name, json::object()), calibrations.value(name, json())));
        if (summary.contains("binning")) result.binning = analysis::binning::from_json(summary["binning"]);
        if (summary.contains("pair") && !summary["pair"].is_null())
            result.pair = {summary["pair"].at("channels").at(0).get<std::string>(),
                           summary["pair"].at("channels").at(1).get<std::string>()};
        else if (!summary.contains("pair") && names.size() >= 2)
            result.pair = {names[0], names[1]};
        if (summary.contains("files")) result.files = analysis::get_paths(summary, "files", path);
        result.format = summary.value("format", "");
        if (summary.contains("samples") && !summary["samples"].is_null())
            result.samples = summary["samples"].get<std::size_t>();
        if (summary.contains("header_bytes") && !summary["header_bytes"].is_null())
            result.header_bytes = summary["header_bytes"].get<std::uint64_t>();
        for (const json& entry : summary.value("gates", json::array())) {
            const json band = entry.at("band");
            result.gates.push_back({entry.at("line").get<int>(), entry.at("file").get<std::string>(),
                                    band.at(0).get<double>(), band.at(1).get<double>()});
        }
        for (const json& entry : summary.value("flagged", json::array()))
            result.flagged.push_back({analysis::get_path(entry, "file", "flagged record"), entry.at("event").get<std::uint64_t>(),
                                      entry.value("channel", ""), entry.value("flag", "")});
        check_fields(result);
    } catch (const json::exception& e) {
        throw std::invalid_argument(path + ": " + e.what());
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(path + ": " + e.what());
    }
    return result;
}

const channel_summary* analysis_summary::channel(const std::string& name) const {
    for (const channel_summary& c : channels)
        if (c.name == name) return &c;
    return nullptr;
}

std::string analysis_summary::data_name() const {
    if (files.empty()) return "";
    const auto name = [](const std::string& path) {
        const std::size_t slash = path.find_last_of('/');
        return slash == std::string::npos || slash + 1 == path.size() ? path : path.substr(slash + 1);
    };
    if (files.size() == 1) return name(files.front());
    return name(files.front()) + " … " + name(files.back()) + " (" + std::to_string(files.size()) + " files)";
}

std::string analysis_summary::unit_label() const {
    const unit_name* found = analysis::find_unit(unit);
    return found != nullptr ? found->label : unit;
}

}  // namespace murel::plot
