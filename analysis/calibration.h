// The energy calibration of a channel from lines of known energy found in its spectrum.
#pragma once

#include "lines.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace murel::analysis {

/// E(x) = c0 + c1 x + c2 x^2 fitted to matched lines, and the FWHM against energy,
/// sqrt(a + b E + c E^2).
struct line_calibration {
    double coefficients[3] = {0.0, 1.0, 0.0};
    double resolution[3] = {0.0, 0.0, 0.0};  ///< a, b, c
    std::vector<double> positions, energies, fwhms;  ///< of the matched lines: ADC, energy, energy

    /// The energy of spectrum position x.
    double energy(double x) const { return coefficients[0] + x * (coefficients[1] + x * coefficients[2]); }
    /// The coefficients, each line's position, energy and residual, and the resolution curve.
    nlohmann::json to_json() const;
    /// The calibration as to_json records it (the residuals and curve values, which follow from
    /// the rest, aside); throws std::invalid_argument naming the key that is missing or not a
    /// finite number.
    static line_calibration from_json(const nlohmann::json& j);
};

/// Matches `energies` (increasing) to the strongest of `lines`, in order of position, and fits a
/// straight line through two or a parabola through three or more.  Throws std::runtime_error
/// naming `channel` and the positions of the lines found when there are fewer than energies.
line_calibration calibrate(const std::vector<line_measurement>& lines, const std::vector<double>& energies, const std::string& channel);

}  // namespace murel::analysis
