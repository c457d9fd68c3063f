// The units an analysis may report amplitudes in.
#pragma once

#include <string>
#include <vector>

namespace murel::analysis {

/// A unit that amplitudes may be measured in: its name in summary.json and on an axis label.
struct unit_name {
    std::string name, label;
};

/// Every unit that summary.json may name: ADC, the plain "calibrated" and physical units.
const std::vector<unit_name>& known_units();

/// The known unit called `name`, or nullptr.
const unit_name* find_unit(const std::string& name);

/// The names of the known units, as "ADC, calibrated, ...", for messages.
std::string unit_names();

}  // namespace murel::analysis
