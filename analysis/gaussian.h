// Facts of the Gaussian shared by the per-record fit and the line measurement.
#pragma once

namespace murel::analysis {

/// Full width at half maximum of a Gaussian per standard deviation, 2 sqrt(2 ln 2).
inline constexpr double fwhm_per_sigma = 2.3548200450309493;

}  // namespace murel::analysis
