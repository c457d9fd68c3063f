#include "units.h"

#include <algorithm>

namespace murel::analysis {

const std::vector<unit_name>& known_units() {
    static const std::vector<unit_name> units = [] {
        std::vector<unit_name> result{{"ADC", "ADC"}, {"calibrated", "calibrated units"},
                                      {"calibrated units", "calibrated units"}};
        for (const char* physical : {"eV", "keV", "MeV", "GeV", "mV", "V", "ns", "us", "ps", "pC", "fC"})
            result.push_back({physical, physical});
        return result;
    }();
    return units;
}

const unit_name* find_unit(const std::string& name) {
    const auto& units = known_units();
    const auto found = std::find_if(units.begin(), units.end(), [&name](const unit_name& u) { return u.name == name; });
    return found == units.end() ? nullptr : &*found;
}

std::string unit_names() {
    std::string names;
    for (const unit_name& unit : known_units()) names += (names.empty() ? "" : ", ") + unit.name;
    return names;
}

}  // namespace murel::analysis
