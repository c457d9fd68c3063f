// Histograms as HDF5 groups in the layout that Python's histogram libraries read: regular axes
// with flow bins, a storage of counts, and metadata.  Internal: shared by the histogram
// library's HDF5 component and the analysis's HDF5 output.
#pragma once

#include "histogram.h"

#include <hdf5.h>

#include <string>
#include <vector>

namespace murel::uhi {

/// A regular axis given by the centres of its first and last bins, as the library keeps them.
struct axis {
    int bins = 0;
    double first_centre = 0.0, last_centre = 0.0;
    std::string label;
};

/// What a histogram says about itself.
struct metadata {
    std::string name, label, units;
};

/// A histogram as stored: its axes and its counts, flow bins included, first axis outermost.
struct stored_histogram {
    std::vector<axis> axes;
    std::vector<double> values;
    std::vector<double> variances;  ///< empty unless the storage is "weighted"
    metadata about;
};

/// The outer edges of an axis: half a bin beyond the first and last centres (a one-bin axis is
/// one unit wide).
std::pair<double, double> outer_edges(const axis& a);

/// The counts of `column` with a zero flow bin at each end.
stored_histogram from_column(const histogram1D& h, int column, const std::string& label);
stored_histogram from_column(const histogram2D& h, int column, const std::string& x_label, const std::string& y_label);

/// Writes `h` as the group `name` of `parent`; throws std::system_error naming `path`.
void write(hid_t parent, const std::string& name, const stored_histogram& h, const std::string& path);

/// Reads the histogram group `where` of `file`; throws std::invalid_argument naming the object
/// and what it lacks when it is not a histogram of this layout (or has an axis that is not
/// regular), std::runtime_error for a failed read.
stored_histogram read(hid_t group, const std::string& file, const std::string& where);

/// Whether the object is a histogram group (it carries uhi_schema).
bool is_histogram(hid_t group);

}  // namespace murel::uhi
