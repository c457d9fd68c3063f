#include "summary.h"

#include "path_json.h"

#include <nlohmann/json.hpp>

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

}  // namespace

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
            result.flagged.push_back({analysis::get_path(entry, "file", path), entry.at("event").get<std::uint64_t>(),
                                      entry.value("channel", ""), entry.value("flag", "")});
    } catch (const json::exception& e) {
        throw std::invalid_argument(path + ": " + e.what());
    }
    return result;
}

std::string analysis_summary::unit_label() const { return unit == "calibrated" ? "calibrated units" : unit; }

}  // namespace murel::plot
