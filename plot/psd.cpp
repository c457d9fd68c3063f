#include "psd.h"

#include "path_json.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace murel::plot {
namespace {

// The next row of CSV as murel analyse writes it: fields in double quotes where they hold a
// comma, a quote or a line break, a quote doubled inside them.  False at the end of the input;
// `lines` counts the line breaks read.
bool next_row(std::istream& in, std::vector<std::string>& fields, std::size_t& lines) {
    fields.assign(1, std::string());
    bool quoted = false, any = false;
    for (int c = in.get(); c != EOF; c = in.get()) {
        any = true;
        if (quoted) {
            if (c == '"' && in.peek() == '"') fields.back() += static_cast<char>(in.get());
            else if (c == '"') quoted = false;
            else {
                if (c == '\n') ++lines;
                fields.back() += static_cast<char>(c);
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c == '\n') {
            ++lines;
            return true;
        } else if (c != '\r') {
            fields.back() += static_cast<char>(c);
        }
    }
    return any;
}

}  // namespace

void psd_map::add(double energy, double psd) {
    const double x = (energy - energy_low) / (energy_high - energy_low) * static_cast<double>(energy_bins);
    const double y = (psd - psd_low) / (psd_high - psd_low) * static_cast<double>(psd_bins);
    // Also false for NaN, so that only a cell of the grid is converted to an index.
    if (!(x >= 0 && x < static_cast<double>(energy_bins) && y >= 0 && y < static_cast<double>(psd_bins))) return;
    ++counts[static_cast<std::size_t>(x) * psd_bins + static_cast<std::size_t>(y)];
    ++records;
}

double psd_map::energy_of(std::size_t bin) const {
    return energy_low + (static_cast<double>(bin) + 0.5) * (energy_high - energy_low) / static_cast<double>(energy_bins);
}

double psd_map::psd_of(std::size_t bin) const {
    return psd_low + (static_cast<double>(bin) + 0.5) * (psd_high - psd_low) / static_cast<double>(psd_bins);
}

std::map<std::string, psd_map> read_psd_maps(const std::string& path, const std::map<std::string, energy_axis>& axes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    std::vector<std::string> fields;
    std::size_t line = 1, next_line = 1;
    if (!next_row(in, fields, next_line)) throw std::invalid_argument(path + ": no header");
    const std::vector<std::string> header = fields;
    const auto column = [&](const char* name) {
        const auto found = std::find(header.begin(), header.end(), name);
        if (found == header.end()) throw std::invalid_argument(path + ": the header has no column " + name);
        return static_cast<std::size_t>(found - header.begin());
    };
    const std::size_t channel = column("channel"), amplitude = column("amplitude"), flag = column("flag"), psd = column("psd");
    std::map<std::string, psd_map> maps;
    for (line = next_line; next_row(in, fields, next_line); line = next_line) {
        if (fields.size() != header.size())
            throw std::invalid_argument(path + ":" + std::to_string(line) + ": " + std::to_string(fields.size()) +
                                        " fields where the header has " + std::to_string(header.size()));
        if (fields[psd].empty() || fields[flag] != "ok") continue;
        // records.csv names a channel as its file does, summary.json as JSON can.
        const auto axis = axes.find(analysis::shown_in_json(fields[channel]));
        if (axis == axes.end()) continue;
        const auto number = [&](const std::string& text) {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0')
                throw std::invalid_argument(path + ":" + std::to_string(line) + ": not a number: " + text);
            return value;
        };
        const auto [map, fresh] = maps.try_emplace(axis->first);
        if (fresh) map->second.energy_low = axis->second.low, map->second.energy_high = axis->second.high;
        map->second.add(axis->second.calibration.energy(number(fields[amplitude])), number(fields[psd]));
    }
    if (in.bad()) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    for (auto it = maps.begin(); it != maps.end();) it = it->second.records == 0 ? maps.erase(it) : std::next(it);
    return maps;
}

}  // namespace murel::plot
