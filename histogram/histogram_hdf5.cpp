// The histogram library's HDF5 component: histograms written and read in the layout of
// Python's histogram libraries, one histogram per column.
#include "histogram.h"

#include "hdf5_support.h"
#include "staged_file.h"
#include "uhi_hdf5.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace {

using murel::hdf5::handle;

// Runs `fill` on the group `group` (created, with its parents) of `path`: added to the file when
// it exists, otherwise in a new file that takes its name only once complete.
void write_groups(const char* path, const char* group, const std::function<void(hid_t, const std::string&)>& fill) {
    const std::string file = path, name = group;
    if (name.empty()) throw std::invalid_argument("writeHDF5: an empty group name for " + file);
    murel::hdf5::silence_errors();
    std::unique_ptr<murel::staged_file> staged;
    handle id;
    errno = 0;
    if (std::filesystem::exists(file)) {
        id = handle(H5Fopen(path, H5F_ACC_RDWR, H5P_DEFAULT), H5Fclose);
        if (!id) murel::hdf5::write_failed(file, "open to add " + name);
        if (H5Lexists(id.get(), name.c_str(), H5P_DEFAULT) > 0)
            throw std::invalid_argument("writeHDF5: " + file + " already holds " + name);
    } else {
        const std::filesystem::path p(file);
        staged = std::make_unique<murel::staged_file>(p.has_parent_path() ? p.parent_path().string() : ".", p.filename().string());
        id = handle(murel::hdf5::written(H5Fcreate(staged->temp_path().c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), file,
                                         "create"),
                    H5Fclose);
    }
    {
        handle links(murel::hdf5::written(H5Pcreate(H5P_LINK_CREATE), file, name), H5Pclose);
        murel::hdf5::written_status(H5Pset_create_intermediate_group(links.get(), 1), file, name);
        const handle creation = murel::hdf5::untimed_creation(H5P_GROUP_CREATE, file, name);
        handle top(murel::hdf5::written(H5Gcreate2(id.get(), name.c_str(), links.get(), creation.get(), H5P_DEFAULT), file, name),
                   H5Gclose);
        fill(top.get(), file);
    }
    errno = 0;
    if (id.close() < 0) murel::hdf5::write_failed(file, "close");
    if (staged) staged->commit();
}

// The histograms of `group` in `path`: the group itself, or its columns "0", "1", ...
std::vector<murel::uhi::stored_histogram> read_groups(const char* path, const char* group, std::size_t rank) {
    const std::string file = path, name = group;
    if (::access(path, R_OK) != 0) throw std::system_error(errno, std::generic_category(), "cannot read " + file);
    murel::hdf5::silence_errors();
    handle id(H5Fopen(path, H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    if (!id) throw std::invalid_argument(file + ": not an HDF5 file (" + murel::hdf5::error_text() + ")");
    if (H5Lexists(id.get(), name.c_str(), H5P_DEFAULT) <= 0) throw std::invalid_argument(file + ": no group " + name);
    handle top(H5Oopen(id.get(), name.c_str(), H5P_DEFAULT), H5Oclose);
    if (!top) throw std::invalid_argument(file + ": cannot open " + name);
    std::vector<murel::uhi::stored_histogram> columns;
    if (H5Iget_type(top.get()) == H5I_GROUP && !murel::uhi::is_histogram(top.get())) {
        for (int c = 0; H5Lexists(top.get(), std::to_string(c).c_str(), H5P_DEFAULT) > 0; ++c) {
            handle column(H5Oopen(top.get(), std::to_string(c).c_str(), H5P_DEFAULT), H5Oclose);
            columns.push_back(murel::uhi::read(column.get(), file, name + "/" + std::to_string(c)));
        }
        if (columns.empty())
            throw std::invalid_argument(file + ": " + name + ": not a histogram of the UHI layout: no attribute uhi_schema");
    } else {
        columns.push_back(murel::uhi::read(top.get(), file, name));
    }
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const auto& axes = columns[c].axes;
        if (axes.size() != rank)
            throw std::invalid_argument(file + ": " + name + ": a histogram of " + std::to_string(axes.size()) + " axes, not " +
                                        std::to_string(rank));
        for (std::size_t a = 0; a < rank; ++a)
            if (axes[a].bins != columns[0].axes[a].bins || axes[a].first_centre != columns[0].axes[a].first_centre ||
                axes[a].last_centre != columns[0].axes[a].last_centre)
                throw std::invalid_argument(file + ": " + name + ": column " + std::to_string(c) + " has other axes than column 0");
    }
    return columns;
}

}  // namespace

void histogram1D::writeHDF5(const char* path, const char* group) const {
    write_groups(path, group, [&](hid_t top, const std::string& file) {
        for (int c = 0; c < nColumns; ++c) {
            murel::uhi::stored_histogram h = murel::uhi::from_column(*this, c, "x");
            h.about = {std::string(group) + "/" + std::to_string(c), "x", ""};
            murel::uhi::write(top, std::to_string(c), h, file);
        }
    });
}

histogram1D histogram1D::readHDF5(const char* path, const char* group) {
    const std::vector<murel::uhi::stored_histogram> columns = read_groups(path, group, 1);
    const murel::uhi::axis& a = columns[0].axes[0];
    histogram1D h(a.bins, static_cast<int>(columns.size()), a.first_centre, a.last_centre);
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const std::vector<double>& v = columns[c].values;
        // Counts beyond the axis belong to its edge bins here.
        for (int i = 0; i < a.bins; ++i) h.data[i][c] = v[static_cast<std::size_t>(i) + 1];
        h.data[0][c] += v.front();
        h.data[a.bins - 1][c] += v.back();
    }
    return h;
}

void histogram2D::writeHDF5(const char* path, const char* group) const {
    write_groups(path, group, [&](hid_t top, const std::string& file) {
        for (int c = 0; c < nColumns; ++c) {
            murel::uhi::stored_histogram h = murel::uhi::from_column(*this, c, "x", "y");
            h.about = {std::string(group) + "/" + std::to_string(c), "", ""};
            murel::uhi::write(top, std::to_string(c), h, file);
        }
    });
}

histogram2D histogram2D::readHDF5(const char* path, const char* group) {
    const std::vector<murel::uhi::stored_histogram> columns = read_groups(path, group, 2);
    const murel::uhi::axis &x = columns[0].axes[0], &y = columns[0].axes[1];
    histogram2D h(x.bins, y.bins, static_cast<int>(columns.size()), x.first_centre, x.last_centre, y.first_centre, y.last_centre);
    const std::size_t rows = static_cast<std::size_t>(y.bins) + 2;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const std::vector<double>& v = columns[c].values;
        for (int i = -1; i <= x.bins; ++i)
            for (int j = -1; j <= y.bins; ++j) {
                const int inside_x = std::min(std::max(i, 0), x.bins - 1), inside_y = std::min(std::max(j, 0), y.bins - 1);
                h.data[inside_x][inside_y][c] += v[static_cast<std::size_t>(i + 1) * rows + static_cast<std::size_t>(j + 1)];
            }
    }
    return h;
}
