#include "calibration.h"

#include <gsl/gsl_multifit.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace murel::analysis {

namespace {

// Least squares of y against 1, x (and x^2 with `terms` 3) over the points, into `out`.
void polynomial_fit(const std::vector<double>& x, const std::vector<double>& y, std::size_t terms, double* out) {
    const std::size_t n = x.size();
    std::unique_ptr<gsl_matrix, void (*)(gsl_matrix*)> design(gsl_matrix_alloc(n, terms), gsl_matrix_free);
    std::unique_ptr<gsl_vector, void (*)(gsl_vector*)> values(gsl_vector_alloc(n), gsl_vector_free), fitted(gsl_vector_alloc(terms), gsl_vector_free);
    std::unique_ptr<gsl_matrix, void (*)(gsl_matrix*)> covariance(gsl_matrix_alloc(terms, terms), gsl_matrix_free);
    std::unique_ptr<gsl_multifit_linear_workspace, void (*)(gsl_multifit_linear_workspace*)> work(
        gsl_multifit_linear_alloc(n, terms), gsl_multifit_linear_free);
    if (!design || !values || !fitted || !covariance || !work) throw std::bad_alloc();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < terms; ++k) gsl_matrix_set(design.get(), i, k, std::pow(x[i], static_cast<double>(k)));
        gsl_vector_set(values.get(), i, y[i]);
    }
    double chi2 = 0.0;
    gsl_multifit_linear(design.get(), values.get(), fitted.get(), covariance.get(), &chi2, work.get());
    for (std::size_t k = 0; k < 3; ++k) out[k] = k < terms ? gsl_vector_get(fitted.get(), k) : 0.0;
}

}  // namespace

line_calibration calibrate(const std::vector<line_measurement>& lines, const std::vector<double>& energies, const std::string& channel) {
    if (lines.size() < energies.size()) {
        std::string found;
        for (const line_measurement& line : lines) {
            char text[32];
            std::snprintf(text, sizeof text, "%.2f", line.position);
            found += (found.empty() ? "" : ", ") + std::string(text);
        }
        throw std::runtime_error("channel " + channel + ": " + std::to_string(energies.size()) + " lines to calibrate with, but " +
                                 std::to_string(lines.size()) + " found" + (found.empty() ? "" : " (at " + found + ")"));
    }
    std::vector<line_measurement> strongest = lines;
    std::stable_sort(strongest.begin(), strongest.end(), [](const line_measurement& a, const line_measurement& b) { return a.counts > b.counts; });
    strongest.resize(energies.size());
    std::sort(strongest.begin(), strongest.end(), [](const line_measurement& a, const line_measurement& b) { return a.position < b.position; });
    line_calibration c;
    for (const line_measurement& line : strongest) c.positions.push_back(line.position);
    c.energies = energies;
    polynomial_fit(c.positions, c.energies, energies.size() == 2 ? 2 : 3, c.coefficients);
    std::vector<double> squares;
    for (std::size_t i = 0; i < strongest.size(); ++i) {
        const double slope = c.coefficients[1] + 2.0 * c.coefficients[2] * c.positions[i];
        c.fwhms.push_back(strongest[i].fwhm * std::abs(slope));
        squares.push_back(c.fwhms.back() * c.fwhms.back());
    }
    polynomial_fit(c.energies, squares, std::min<std::size_t>(energies.size(), 3), c.resolution);
    return c;
}

nlohmann::json line_calibration::to_json() const {
    nlohmann::json lines = nlohmann::json::array();
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const double curve = resolution[0] + energies[i] * (resolution[1] + energies[i] * resolution[2]);
        lines.push_back({{"position", positions[i]},
                         {"energy", energies[i]},
                         {"residual", energy(positions[i]) - energies[i]},
                         {"fwhm", fwhms[i]},
                         {"fwhm_curve", curve >= 0.0 ? nlohmann::json(std::sqrt(curve)) : nlohmann::json(nullptr)}});
    }
    return {{"coefficients", {coefficients[0], coefficients[1], coefficients[2]}},
            {"resolution", {{"a", resolution[0]}, {"b", resolution[1]}, {"c", resolution[2]}}},
            {"lines", lines}};
}

line_calibration line_calibration::from_json(const nlohmann::json& j) {
    const auto finite = [](const nlohmann::json& value, const std::string& name) {
        if (!value.is_number() || !std::isfinite(value.get<double>()))
            throw std::invalid_argument("line calibration " + name + ": " + value.dump() + ", not a finite number");
        return value.get<double>();
    };
    const auto member = [](const nlohmann::json& object, const char* key) {
        return object.is_object() && object.contains(key) ? object.at(key) : nlohmann::json();
    };
    line_calibration c;
    const nlohmann::json coefficients = member(j, "coefficients");
    if (!coefficients.is_array() || coefficients.size() != 3)
        throw std::invalid_argument("line calibration coefficients: " + coefficients.dump() + ", not three numbers");
    for (std::size_t k = 0; k < 3; ++k) c.coefficients[k] = finite(coefficients[k], "coefficient c" + std::to_string(k));
    const nlohmann::json resolution = member(j, "resolution");
    const char* const terms[] = {"a", "b", "c"};
    for (std::size_t k = 0; k < 3; ++k) c.resolution[k] = finite(member(resolution, terms[k]), std::string("resolution ") + terms[k]);
    const nlohmann::json lines = member(j, "lines");
    if (!lines.is_array()) throw std::invalid_argument("line calibration lines: " + lines.dump() + ", not a list");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string line = "line " + std::to_string(i) + " ";
        c.positions.push_back(finite(member(lines[i], "position"), line + "position"));
        c.energies.push_back(finite(member(lines[i], "energy"), line + "energy"));
        c.fwhms.push_back(finite(member(lines[i], "fwhm"), line + "fwhm"));
    }
    return c;
}

}  // namespace murel::analysis
