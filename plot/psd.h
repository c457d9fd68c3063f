// The pulse-shape values of an analysis's records.csv, binned against energy for a map.
#pragma once

#include "calibration.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace murel::plot {

/// Where a channel's energies go: records.csv amplitudes become energies by `calibration`
/// (the identity, an axis calibration or the channel's lines), binned over [low, high).
struct energy_axis {
    double low = 0, high = 0;
    analysis::line_calibration calibration;
};

/// One channel's records counted by energy and pulse-shape value in cells of a regular grid.
struct psd_map {
    static constexpr std::size_t energy_bins = 200, psd_bins = 1500;  // fine, for a picture to merge
    static constexpr double psd_low = -0.25, psd_high = 1.25;
    double energy_low = 0, energy_high = 0;
    std::vector<std::uint64_t> counts = std::vector<std::uint64_t>(energy_bins * psd_bins);  // energy bin after energy bin
    std::uint64_t records = 0;

    /// Counts a record; one off the grid or not finite is left out.
    void add(double energy, double psd);
    double energy_of(std::size_t bin) const;  ///< the centre of an energy bin
    double psd_of(std::size_t bin) const;     ///< the centre of a pulse-shape bin
};

/// The maps of the channels named in `axes` that have a psd value in some unflagged record of
/// records.csv at `path`, by channel name.  Throws std::system_error when the file cannot be
/// read, std::invalid_argument naming the path and line of a row that is not CSV as wide as the
/// header, a header without the columns channel, amplitude, flag and psd, or a value that is not a number.
std::map<std::string, psd_map> read_psd_maps(const std::string& path, const std::map<std::string, energy_axis>& axes);

}  // namespace murel::plot
