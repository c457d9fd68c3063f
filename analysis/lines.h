// Finding the lines of a pulse-height spectrum and measuring each one.
#pragma once

#include "histogram.h"

#include <vector>

namespace murel::analysis {

/// One line, in the units of the spectrum's axis.  The fit is a Gaussian on a linear background,
/// integrated over the bins of a binning chosen from the line (about 5 to 8 bins per FWHM).
struct line_measurement {
    double position = 0.0, position_error = 0.0;  ///< fitted centre; the error is NaN where the fit cannot tell it
    double fwhm = 0.0, fwhm_error = 0.0;          ///< 2.3548 times the fitted sigma; the error as the position's
    double counts = 0.0, counts_error = 0.0;      ///< fitted area, entries
    double fwhm_halfmax = 0.0;   ///< the histogram's half-maximum width at the line, 0 if not measurable
    double background = 0.0;     ///< fitted background at background_reference, entries per fine bin
    double background_slope = 0.0;      ///< of the fitted background, entries per fine bin per axis unit
    double background_reference = 0.0;  ///< where the background was measured from, axis units
    double fit_low = 0.0, fit_high = 0.0;  ///< the stretch of the axis the fit covered
    double significance = 0.0;   ///< how many standard deviations the line stands above its surroundings
    double chi2_per_dof = 0.0;   ///< of the fit
    int rebin = 1;               ///< fine bins per bin of the measurement
};

/// Finds every line of `column` of `spectrum` that stands significantly above its local continuum
/// and measures it; returns them sorted by position.  Throws std::invalid_argument for an axis
/// that does not increase or has fewer than 16 bins, std::out_of_range for a bad column.
std::vector<line_measurement> find_lines(const histogram1D& spectrum, int column);

}  // namespace murel::analysis
