// murel.Histogram1D and murel.Histogram2D: the histogram library's classes, their counts as
// numpy views, filled from numpy arrays, read from and written to HDF5.
#include "module.h"

#include "histogram.h"

#include <cmath>
#include <mutex>
#include <string>

namespace murel::python {
namespace {

// The values of a 1-D numeric array (or sequence) as float64 (copied only when they are not already);
// ValueError for any other dtype or shape.
py::array_t<double, py::array::c_style> coordinates(const py::object& values, const char* name) {
    const py::array given = py::module_::import("numpy").attr("asarray")(values);
    const char kind = given.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b')
        throw std::invalid_argument(std::string("fill: ") + name + " has dtype " + py::str(given.dtype()).cast<std::string>() +
                                    ", not a real number type");
    if (given.ndim() != 1)
        throw std::invalid_argument(std::string("fill: ") + name + " has " + std::to_string(given.ndim()) +
                                    " dimensions, not 1");
    return py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(given);
}

// Fills count every value or none: a NaN is refused before the first is counted.
void refuse_nan(const double* values, py::ssize_t count, const char* name) {
    for (py::ssize_t i = 0; i < count; ++i)
        if (std::isnan(values[i]))
            throw std::invalid_argument(std::string("fill: ") + name + "[" + std::to_string(i) + "] is NaN; nothing was counted");
}

// Fills run without the interpreter's lock; two on one histogram at once would lose counts.
std::mutex fill_lock;

int checked_column(int column, int columns) {
    if (column < 0 || column >= columns)
        throw std::out_of_range("column " + std::to_string(column) + " of a histogram of " + std::to_string(columns) + " columns");
    return column;
}

template <class H>
py::array counts_view(H& h, py::object owner) {
    std::vector<py::ssize_t> shape(h.data.shape(), h.data.shape() + h.data.num_dimensions());
    std::vector<py::ssize_t> strides;
    for (std::size_t d = 0; d < shape.size(); ++d) strides.push_back(static_cast<py::ssize_t>(h.data.strides()[d] * sizeof(double)));
    return py::array(py::dtype::of<double>(), shape, strides, h.data.data(), owner);
}

py::array axis_edges(int bins, double first, double last) {
    py::array_t<double> edges(bins + 1);
    auto e = edges.mutable_unchecked<1>();
    const double width = bins > 1 ? (last - first) / (bins - 1) : 1.0;
    for (int i = 0; i <= bins; ++i)
        e(i) = i == bins ? histogram_detail::bin_center(bins - 1, bins, first, last) + 0.5 * width
                         : histogram_detail::bin_center(i, bins, first, last) - 0.5 * width;
    return edges;
}

}  // namespace

void add_histograms(py::module_& m) {
    py::class_<histogram1D>(m, "Histogram1D", py::dynamic_attr(),
                            "Counts over `bins` evenly spaced bins whose first and last centres are `min` and `max`, one "
                            "column of counts per `columns`; values beyond the axis count in its edge bins.")
        .def(py::init([](int bins, double min, double max, int columns) { return histogram1D(bins, columns, min, max); }),
             py::arg("bins"), py::arg("min"), py::arg("max"), py::arg("columns") = 1)
        .def_readonly("bins", &histogram1D::nBins)
        .def_readonly("columns", &histogram1D::nColumns)
        .def_readonly("min", &histogram1D::minValue, "centre of the first bin")
        .def_readonly("max", &histogram1D::maxValue, "centre of the last bin")
        .def_property_readonly("data", [](py::object self) { return counts_view(self.cast<histogram1D&>(), self); },
                               "the counts, a writable view shaped (bins, columns)")
        .def_property_readonly("edges", [](const histogram1D& h) { return axis_edges(h.nBins, h.minValue, h.maxValue); },
                               "the bins + 1 bin edges")
        .def(
            "fill",
            [](histogram1D& h, const py::object& x, int column) {
                const auto values = coordinates(x, "x");
                checked_column(column, h.nColumns);
                const double* v = values.data();
                const py::ssize_t n = values.size();
                refuse_nan(v, n, "x");
                py::gil_scoped_release released;
                const std::lock_guard<std::mutex> filling(fill_lock);
                for (py::ssize_t i = 0; i < n; ++i) h.add(v[i], column);
            },
            py::arg("x"), py::arg("column") = 0, "Counts each value of the 1-D array x in `column`; ValueError for NaN or a wrong dtype or shape")
        .def("write", [](const histogram1D& h, const py::object& path) { h.write(path_text(path).c_str()); }, py::arg("path"),
             "Writes the text table: the bin centre, then each column's count")
        .def("write_hdf5", [](const histogram1D& h, const py::object& path, const std::string& group) { h.writeHDF5(path_text(path).c_str(), group.c_str()); },
             py::arg("path"), py::arg("group"), "Writes each column c as the histogram group <group>/<c> of an HDF5 file")
        .def_static("read_hdf5", [](const py::object& path, const std::string& group) { return histogram1D::readHDF5(path_text(path).c_str(), group.c_str()); },
                    py::arg("path"), py::arg("group"), "Reads a histogram group, or the columns that write_hdf5 wrote")
        .def("__copy__", [](const histogram1D& h) { return histogram1D(h); })
        .def("__deepcopy__", [](const histogram1D& h, py::dict) { return histogram1D(h); });

    py::class_<histogram2D>(m, "Histogram2D", py::dynamic_attr(),
                            "Counts over x_bins x y_bins evenly spaced cells, one column of counts per `columns`.")
        .def(py::init([](int x_bins, double x_min, double x_max, int y_bins, double y_min, double y_max, int columns) {
                 return histogram2D(x_bins, y_bins, columns, x_min, x_max, y_min, y_max);
             }),
             py::arg("x_bins"), py::arg("x_min"), py::arg("x_max"), py::arg("y_bins"), py::arg("y_min"), py::arg("y_max"),
             py::arg("columns") = 1)
        .def_readonly("x_bins", &histogram2D::nBinsX)
        .def_readonly("y_bins", &histogram2D::nBinsY)
        .def_readonly("columns", &histogram2D::nColumns)
        .def_readonly("x_min", &histogram2D::minX)
        .def_readonly("x_max", &histogram2D::maxX)
        .def_readonly("y_min", &histogram2D::minY)
        .def_readonly("y_max", &histogram2D::maxY)
        .def_property_readonly("data", [](py::object self) { return counts_view(self.cast<histogram2D&>(), self); },
                               "the counts, a writable view shaped (x_bins, y_bins, columns)")
        .def_property_readonly("x_edges", [](const histogram2D& h) { return axis_edges(h.nBinsX, h.minX, h.maxX); })
        .def_property_readonly("y_edges", [](const histogram2D& h) { return axis_edges(h.nBinsY, h.minY, h.maxY); })
        .def(
            "fill",
            [](histogram2D& h, const py::object& x, const py::object& y, int column) {
                const auto xs = coordinates(x, "x");
                const auto ys = coordinates(y, "y");
                if (xs.size() != ys.size())
                    throw std::invalid_argument("fill: x has " + std::to_string(xs.size()) + " values, y " + std::to_string(ys.size()));
                checked_column(column, h.nColumns);
                const double *xv = xs.data(), *yv = ys.data();
                const py::ssize_t n = xs.size();
                refuse_nan(xv, n, "x");
                refuse_nan(yv, n, "y");
                py::gil_scoped_release released;
                const std::lock_guard<std::mutex> filling(fill_lock);
                for (py::ssize_t i = 0; i < n; ++i) h.add(xv[i], yv[i], column);
            },
            py::arg("x"), py::arg("y"), py::arg("column") = 0, "Counts each pair (x[i], y[i]) in `column`")
        .def("write", [](const histogram2D& h, const py::object& path) { h.writeText(path_text(path).c_str()); }, py::arg("path"))
        .def("write_hdf5", [](const histogram2D& h, const py::object& path, const std::string& group) { h.writeHDF5(path_text(path).c_str(), group.c_str()); },
             py::arg("path"), py::arg("group"))
        .def_static("read_hdf5", [](const py::object& path, const std::string& group) { return histogram2D::readHDF5(path_text(path).c_str(), group.c_str()); },
                    py::arg("path"), py::arg("group"))
        .def("__copy__", [](const histogram2D& h) { return histogram2D(h); })
        .def("__deepcopy__", [](const histogram2D& h, py::dict) { return histogram2D(h); });
}

}  // namespace murel::python
