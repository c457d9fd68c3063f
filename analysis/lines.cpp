#include "lines.h"
#include "gaussian.h"

#include <gsl/gsl_blas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_multifit_nlinear.h>
#include <gsl/gsl_vector.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

namespace murel::analysis {

namespace {

// A line must stand this many standard deviations above its surroundings, with at least this
// many entries, to be measured; a flat continuum stays well below both.
constexpr double detection_threshold = 5.0;
constexpr double minimum_entries = 25.0;

// Widths of the matched filter, in fine bins (sigma), from a third of a bin's FWHM upwards.
std::vector<double> filter_widths(int bins) {
    std::vector<double> widths;
    for (double sigma = 1.0; sigma <= 26.0 && 12.0 * sigma + 20.0 < bins; sigma *= 1.5) widths.push_back(sigma);
    return widths;
}

struct candidate {
    double score;
    int bin;
    double sigma;
};

// Local maxima of the significance of a Gaussian excess over the higher of the two side bands.
// Taking the higher band keeps steps and slopes of the continuum from passing for lines.
std::vector<candidate> candidates(const std::vector<double>& all_counts) {
    // Only the occupied stretch of the axis, with room for the widest filter on either side, is searched.
    const auto occupied = [](double v) { return v != 0.0; };
    const auto first = std::find_if(all_counts.begin(), all_counts.end(), occupied);
    if (first == all_counts.end()) return {};
    const auto last = std::find_if(all_counts.rbegin(), all_counts.rend(), occupied).base();
    constexpr std::ptrdiff_t margin = 400;
    const std::ptrdiff_t offset = std::max<std::ptrdiff_t>(0, first - all_counts.begin() - margin);
    const std::ptrdiff_t end = std::min<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(all_counts.size()), last - all_counts.begin() + margin);
    const std::vector<double> counts(all_counts.begin() + offset, all_counts.begin() + end);
    const int n = static_cast<int>(counts.size());
    std::vector<double> prefix(static_cast<std::size_t>(n) + 1, 0.0);
    for (int i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + counts[i];
    const auto band_mean = [&](int from, int to, double& mean) {  // bins from .. to - 1, interior only
        from = std::max(from, 1), to = std::min(to, n - 1);
        if (to - from < 4) return 0;
        mean = (prefix[to] - prefix[from]) / (to - from);
        return to - from;
    };
    std::vector<candidate> found;
    histogram1D smoothed(n, 1, 0.0, n - 1.0);
    std::vector<double> score(static_cast<std::size_t>(n));
    for (const double sigma : filter_widths(n)) {
        const int half = static_cast<int>(std::ceil(3.0 * sigma));
        const Window gauss([sigma, half](int i, int) { return std::exp(-0.5 * (i - half) * (i - half) / (sigma * sigma)); },
                           2 * half + 1);
        double weight_squares = 0.0;
        for (int i = 0; i < gauss.length; ++i) weight_squares += gauss.weights[i] * gauss.weights[i];
        for (int i = 0; i < n; ++i) smoothed.data[i][0] = counts[i];
        smoothed.smooth(gauss);
        const int gap = half + 1, width = std::max(8, 2 * half);
        std::fill(score.begin(), score.end(), 0.0);
        for (int i = 1; i < n - 1; ++i) {
            double left = 0.0, right = 0.0;
            const int left_bins = band_mean(i - gap - width, i - gap, left);
            const int right_bins = band_mean(i + gap + 1, i + gap + 1 + width, right);
            if (left_bins == 0 && right_bins == 0) continue;
            const bool use_left = right_bins == 0 || (left_bins > 0 && left >= right);
            const double continuum = use_left ? left : right;
            const int band_bins = use_left ? left_bins : right_bins;
            const double signal = smoothed.data[i][0];
            const double excess = signal - continuum;
            const double entries = excess * sigma * 2.0 * std::sqrt(M_PI);
            if (!(excess > 0.0) || entries < minimum_entries) continue;
            score[i] = excess / std::sqrt(signal * weight_squares + continuum / band_bins);
        }
        for (int i = 2; i < n - 2; ++i)
            if (score[i] >= detection_threshold && score[i] > score[i - 1] && score[i] >= score[i + 1])
                found.push_back({score[i], i, sigma});
    }
    std::sort(found.begin(), found.end(), [](const candidate& a, const candidate& b) { return a.score > b.score; });
    // The mean count of the 2h + 1 bins around bin i.
    const auto local_mean = [&](int i, int h) {
        const int from = std::max(i - h, 0), to = std::min(i + h + 1, n);
        return (prefix[to] - prefix[from]) / (to - from);
    };
    // A narrower candidate near a wider one is a line of its own when the counts dip significantly
    // on the way from it to the wider one: a wide filter also answers to a cluster of narrow lines.
    const auto separate = [&](const candidate& c, const candidate& k) {
        const int distance = std::abs(c.bin - k.bin);
        if (distance > 3.0 * std::max(c.sigma, k.sigma)) return true;
        if (c.sigma >= k.sigma || distance <= 3.0 * c.sigma) return false;
        const int h = std::max(1, static_cast<int>(std::lround(c.sigma)));
        const double peak = local_mean(c.bin, h);
        double low = peak;
        for (int i = c.bin; i != k.bin;) {
            i += k.bin > c.bin ? 1 : -1;
            low = std::min(low, local_mean(i, h));
        }
        return peak - low > detection_threshold * std::sqrt((peak + low) / (2 * h + 1));
    };
    std::vector<candidate> kept;
    for (const candidate& c : found) {
        const bool apart = std::all_of(kept.begin(), kept.end(), [&](const candidate& k) { return separate(c, k); });
        if (apart) kept.push_back(c);
        if (kept.size() >= 64) break;
    }
    for (candidate& c : kept) c.bin += static_cast<int>(offset);
    return kept;
}

// The measurement binning: `rebin` fine bins per bin, starting at fine bin `first`.
struct binned_region {
    int first, rebin, bins;
    double reference;  // fine-bin position the background slope is measured from
    std::vector<double> counts;
    double centre(int j) const { return first + rebin * j + 0.5 * (rebin - 1); }
};

struct fit_parameters {  // in fine bins
    double counts, position, sigma, level, slope;
};

double normal_cdf(double u) { return 0.5 * std::erfc(-u / std::sqrt(2.0)); }
double normal_pdf(double u) { return std::exp(-0.5 * u * u) / std::sqrt(2.0 * M_PI); }

// Expected entries of bin j and their derivatives by counts, position, sigma, level and slope.
double expected(const binned_region& region, const gsl_vector* x, int j, double* derivatives) {
    const double counts = gsl_vector_get(x, 0), position = gsl_vector_get(x, 1), sigma = gsl_vector_get(x, 2);
    const double level = gsl_vector_get(x, 3), slope = gsl_vector_get(x, 4);
    const double c = region.centre(j), r = region.rebin;
    const double u_low = (c - 0.5 * r - position) / sigma, u_high = (c + 0.5 * r - position) / sigma;
    const double fraction = normal_cdf(u_high) - normal_cdf(u_low);
    if (derivatives != nullptr) {
        const double p_low = normal_pdf(u_low), p_high = normal_pdf(u_high);
        derivatives[0] = fraction;
        derivatives[1] = counts * (p_low - p_high) / sigma;
        derivatives[2] = counts * (p_low * u_low - p_high * u_high) / sigma;
        derivatives[3] = r;
        derivatives[4] = r * (c - region.reference);
    }
    return r * (level + slope * (c - region.reference)) + counts * fraction;
}

int residuals(const gsl_vector* x, void* data, gsl_vector* f) {
    const auto& region = *static_cast<const binned_region*>(data);
    for (int j = 0; j < region.bins; ++j) gsl_vector_set(f, j, expected(region, x, j, nullptr) - region.counts[j]);
    return GSL_SUCCESS;
}

int jacobian(const gsl_vector* x, void* data, gsl_matrix* J) {
    const auto& region = *static_cast<const binned_region*>(data);
    double d[5];
    for (int j = 0; j < region.bins; ++j) {
        expected(region, x, j, d);
        for (int k = 0; k < 5; ++k) gsl_matrix_set(J, j, k, d[k]);
    }
    return GSL_SUCCESS;
}

struct fit_result {
    fit_parameters value, error;
    double chi2_per_dof;
};

// Weighted least squares, weights from the counts at first and then from the first fit's
// expectation, which removes most of the bias that weighting by the counts gives sparse bins.
bool fit_line(const binned_region& region, fit_parameters start, fit_result& result) {
    constexpr int p = 5;
    const int n = region.bins;
    if (n <= p + 1) return false;
    const gsl_multifit_nlinear_parameters settings = gsl_multifit_nlinear_default_parameters();
    std::unique_ptr<gsl_multifit_nlinear_workspace, void (*)(gsl_multifit_nlinear_workspace*)> work(
        gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &settings, static_cast<std::size_t>(n), p),
        gsl_multifit_nlinear_free);
    std::unique_ptr<gsl_matrix, void (*)(gsl_matrix*)> covariance(gsl_matrix_alloc(p, p), gsl_matrix_free);
    if (!work || !covariance) throw std::bad_alloc();
    gsl_multifit_nlinear_fdf fdf{};
    fdf.f = residuals;
    fdf.df = jacobian;
    fdf.n = static_cast<std::size_t>(n);
    fdf.p = p;
    fdf.params = const_cast<binned_region*>(&region);
    std::vector<double> weights(static_cast<std::size_t>(n));
    double x0[p] = {start.counts, start.position, start.sigma, start.level, start.slope};
    for (int pass = 0; pass < 2; ++pass) {
        gsl_vector_view x = gsl_vector_view_array(x0, p);
        for (int j = 0; j < n; ++j)
            weights[j] = 1.0 / (pass == 0 ? std::max(region.counts[j], 1.0)
                                          : std::max(expected(region, &x.vector, j, nullptr), 0.5));
        gsl_vector_view w = gsl_vector_view_array(weights.data(), static_cast<std::size_t>(n));
        if (gsl_multifit_nlinear_winit(&x.vector, &w.vector, &fdf, work.get()) != GSL_SUCCESS) return false;
        int info = 0;
        if (gsl_multifit_nlinear_driver(200, 1e-10, 1e-10, 1e-10, nullptr, nullptr, &info, work.get()) != GSL_SUCCESS)
            return false;
        const gsl_vector* solution = gsl_multifit_nlinear_position(work.get());
        for (int k = 0; k < p; ++k) x0[k] = gsl_vector_get(solution, static_cast<std::size_t>(k));
        if (!(x0[2] > 0.0) || !std::isfinite(x0[0]) || !std::isfinite(x0[1])) return false;
    }
    if (gsl_multifit_nlinear_covar(gsl_multifit_nlinear_jac(work.get()), 0.0, covariance.get()) != GSL_SUCCESS)
        return false;
    double chi2 = 0.0;
    gsl_blas_ddot(gsl_multifit_nlinear_residual(work.get()), gsl_multifit_nlinear_residual(work.get()), &chi2);
    result.chi2_per_dof = chi2 / (n - p);
    // Errors grow with a poor fit, never shrink below what the counts alone allow.
    const double inflation = std::sqrt(std::max(1.0, result.chi2_per_dof));
    double e[p];
    for (int k = 0; k < p; ++k) e[k] = std::sqrt(std::max(gsl_matrix_get(covariance.get(), k, k), 0.0)) * inflation;
    result.value = {x0[0], x0[1], x0[2], x0[3], x0[4]};
    result.error = {e[0], e[1], e[2], e[3], e[4]};
    // A singular covariance leaves the other errors unknown (NaN or absurd); the counts' error decides the line.
    for (int k = 0; k < p; ++k)
        if (!std::isfinite(x0[k])) return false;
    return std::isfinite(e[0]);
}

binned_region rebinned(const std::vector<double>& counts, double position, double sigma) {
    const int n = static_cast<int>(counts.size());
    binned_region region;
    region.rebin = std::max(1, static_cast<int>(std::lround(fwhm_per_sigma * sigma / 6.5)));
    const double reach = 6.0 * sigma + 2.0 * region.rebin;
    const int from = static_cast<int>(std::clamp(std::floor(position - reach), 1.0, n - 2.0));
    const int to = static_cast<int>(std::clamp(std::ceil(position + reach), 1.0, n - 2.0));
    region.bins = (to - from + 1) / region.rebin;
    // Centre the grouped bins on the fit range.
    region.first = from + ((to - from + 1) - region.bins * region.rebin) / 2;
    region.reference = position;
    region.counts.assign(static_cast<std::size_t>(std::max(region.bins, 0)), 0.0);
    for (int j = 0; j < region.bins; ++j)
        for (int k = 0; k < region.rebin; ++k) region.counts[j] += counts[region.first + j * region.rebin + k];
    return region;
}

std::once_flag gsl_quiet;

}  // namespace

std::vector<line_measurement> find_lines(const histogram1D& spectrum, int column) {
    if (column < 0 || column >= spectrum.nColumns)
        throw std::out_of_range("find_lines: column " + std::to_string(column) + " outside 0 to " +
                                std::to_string(spectrum.nColumns - 1));
    if (spectrum.nBins < 16 || !(spectrum.maxValue > spectrum.minValue))
        throw std::invalid_argument("find_lines: the spectrum needs an increasing axis of at least 16 bins, not " +
                                    std::to_string(spectrum.nBins) + " bins from " + std::to_string(spectrum.minValue) +
                                    " to " + std::to_string(spectrum.maxValue));
    // GSL's default handler aborts the program; every status is checked here instead.
    std::call_once(gsl_quiet, [] { gsl_set_error_handler_off(); });
    const int n = spectrum.nBins;
    const double step = (spectrum.maxValue - spectrum.minValue) / (n - 1);
    std::vector<double> counts(static_cast<std::size_t>(n));
    // The edge bins also hold everything beyond the axis; they take no part.
    for (int i = 1; i < n - 1; ++i) counts[i] = spectrum.data[i][column];

    // A lightly smoothed copy gives each candidate's half-maximum width, to start its fit from.
    histogram1D fine(n, 1, 0.0, n - 1.0);
    for (int i = 0; i < n; ++i) fine.data[i][0] = counts[i];
    constexpr double smoothing = 1.0;
    fine.smooth(Window([](int i, int) { return std::exp(-0.5 * (i - 3) * (i - 3) / (smoothing * smoothing)); }, 7));

    std::vector<line_measurement> lines;
    for (const candidate& c : candidates(counts)) {
        const double halfmax = fine.fwhm(c.bin, 0) / fwhm_per_sigma;
        double sigma = std::isfinite(halfmax) && halfmax > 0.0
                           ? std::sqrt(std::max(halfmax * halfmax - smoothing * smoothing, 0.25))
                           : 0.5 * c.sigma;
        fit_result fit{};
        fit.value = {0.0, static_cast<double>(c.bin), std::min(sigma, c.sigma), 0.0, 0.0};
        binned_region region{};
        bool measured = false;
        // The binning follows the width: measure again until the fitted width asks for the binning it was measured on.
        for (int attempt = 0; attempt < 4; ++attempt) {
            binned_region next = rebinned(counts, fit.value.position, fit.value.sigma);
            if (measured && next.rebin == region.rebin && next.first == region.first && next.bins == region.bins) break;
            double total = 0.0;
            for (double v : next.counts) total += v;
            const double edge_level = next.bins > 0 ? 0.5 * (next.counts.front() + next.counts.back()) / next.rebin : 0.0;
            const fit_parameters start{std::max(total - edge_level * next.rebin * next.bins, 1.0), fit.value.position,
                                       fit.value.sigma, edge_level, 0.0};
            fit_result trial;
            if (!fit_line(next, start, trial)) break;
            fit = trial;
            region = std::move(next);
            measured = true;
        }
        if (!measured) continue;
        // A fit that wandered from the candidate or lost its significance measured something else.
        const double lo = region.first - 0.5, hi = region.first + region.rebin * region.bins - 0.5;
        if (!(fit.value.position > lo && fit.value.position < hi && fit.value.sigma < 0.25 * (hi - lo) &&
              std::abs(fit.value.position - c.bin) < 3.0 * c.sigma + 2.0 && fit.value.counts >= minimum_entries &&
              fit.value.counts > detection_threshold * fit.error.counts))
            continue;
        line_measurement line;
        line.position = spectrum.minValue + fit.value.position * step;
        // An error beyond the whole axis comes from a covariance that is singular, as for a line one bin wide.
        const double axis_span = n * step;
        const auto within_axis = [axis_span](double error) { return error <= axis_span ? error : NAN; };
        line.position_error = within_axis(fit.error.position * step);
        line.fwhm = fwhm_per_sigma * fit.value.sigma * step;
        line.fwhm_error = within_axis(fwhm_per_sigma * fit.error.sigma * step);
        line.counts = fit.value.counts;
        line.counts_error = fit.error.counts;
        line.background = fit.value.level;
        line.background_slope = fit.value.slope / step;
        line.background_reference = spectrum.minValue + region.reference * step;
        line.fit_low = spectrum.minValue + lo * step;
        line.fit_high = spectrum.minValue + hi * step;
        line.significance = c.score;
        line.chi2_per_dof = fit.chi2_per_dof;
        line.rebin = region.rebin;
        if (region.bins >= 4) {
            histogram1D binned(region.bins, 1, spectrum.minValue + region.centre(0) * step,
                               spectrum.minValue + region.centre(region.bins - 1) * step);
            for (int j = 0; j < region.bins; ++j) binned.data[j][0] = region.counts[j];
            const double width = binned.fwhm(line.position, 0);
            line.fwhm_halfmax = std::isfinite(width) && width > 0.0 ? width : 0.0;
        }
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end(),
              [](const line_measurement& a, const line_measurement& b) { return a.position < b.position; });
    // Two measurements of one line (from neighbouring candidates) keep the more significant.
    std::vector<line_measurement> distinct;
    for (const line_measurement& line : lines) {
        if (!distinct.empty() && line.position - distinct.back().position < 0.5 * std::max(line.fwhm, distinct.back().fwhm)) {
            if (line.significance > distinct.back().significance) distinct.back() = line;
            continue;
        }
        distinct.push_back(line);
    }
    return distinct;
}

}  // namespace murel::analysis
