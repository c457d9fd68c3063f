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

channel_summary read_channel(const json& channel) {
    channel_summary result;
    for (const json& line : channel.value("lines", json::array()))
        result.lines.push_back({line.at("position").get<double>(), number_or(line, "position_error", 0.0),
                                line.value("fwhm", 0.0), number_or(line, "fwhm_error", 0.0)});
    if (channel.contains("residual_bias")) result.residual_bias = channel["residual_bias"].get<double>();
    if (channel.contains("residual_rms")) result.residual_rms = channel["residual_rms"].get<double>();
    return result;
}

// A value as JSON writes it, so that control characters in a message show as escapes.
std::string shown(const std::string& value) { return json(value).dump(-1, ' ', false, json::error_handler_t::replace); }

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
        if (channels.contains("A")) result.a = read_channel(channels["A"]);
        if (channels.contains("B")) result.b = read_channel(channels["B"]);
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

std::string analysis_summary::unit_label() const {
    const unit_name* found = analysis::find_unit(unit);
    return found != nullptr ? found->label : unit;
}

}  // namespace murel::plot
