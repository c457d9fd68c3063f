// Histograms as HDF5 groups in the layout that Python's histogram libraries read.
#include "uhi_hdf5.h"

#include "hdf5_support.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace murel::uhi {
namespace {

using hdf5::handle;
using hdf5::written;
using hdf5::written_status;

// h5py's booleans: an 8-bit enumeration of FALSE and TRUE.
handle bool_type(const std::string& path) {
    handle type(written(H5Tenum_create(H5T_NATIVE_INT8), path, "boolean type"), H5Tclose);
    const std::int8_t no = 0, yes = 1;
    written_status(H5Tenum_insert(type.get(), "FALSE", &no), path, "boolean type");
    written_status(H5Tenum_insert(type.get(), "TRUE", &yes), path, "boolean type");
    return type;
}

void write_bool(hid_t object, const char* name, bool value, const std::string& path) {
    const handle type = bool_type(path);
    const std::int8_t stored = value ? 1 : 0;
    hdf5::write_scalar_attribute(object, name, type.get(), type.get(), &stored, path);
}

void write_double(hid_t object, const char* name, double value, const std::string& path) {
    hdf5::write_scalar_attribute(object, name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &value, path);
}

void write_integer(hid_t object, const char* name, std::int64_t value, const std::string& path) {
    hdf5::write_scalar_attribute(object, name, H5T_STD_I64LE, H5T_NATIVE_INT64, &value, path);
}

void write_array(hid_t group, const char* name, const std::vector<hsize_t>& dims, const std::vector<double>& values,
                 const std::string& path) {
    handle space(written(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr), path, name), H5Sclose);
    const handle creation = hdf5::untimed_creation(H5P_DATASET_CREATE, path, name);
    handle data(written(H5Dcreate2(group, name, H5T_IEEE_F64LE, space.get(), H5P_DEFAULT, creation.get(), H5P_DEFAULT), path, name),
                H5Dclose);
    written_status(H5Dwrite(data.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), path, name);
}

// Names the file and the object in every complaint of the reader.
struct place {
    std::string file, object;
    [[noreturn]] void not_histogram(const std::string& what) const {
        throw std::invalid_argument(file + ": " + object + ": not a histogram of the UHI layout: " + what);
    }
    [[noreturn]] void failed(const std::string& doing) const {
        throw std::runtime_error(file + ": " + object + ": cannot " + doing + " (" + hdf5::error_text() + ")");
    }
};

handle open_attribute(const place& where, hid_t object, const char* name) {
    const htri_t exists = H5Aexists(object, name);
    if (exists < 0) where.failed(std::string("look up attribute ") + name);
    if (exists == 0) where.not_histogram(std::string("no attribute ") + name);
    const hid_t id = H5Aopen(object, name, H5P_DEFAULT);
    if (id < 0) where.failed(std::string("read attribute ") + name);
    return handle(id, H5Aclose);
}

// A numeric or boolean attribute, as a double.
double read_number(const place& where, hid_t object, const char* name) {
    const handle attribute = open_attribute(where, object, name);
    handle type(H5Aget_type(attribute.get()), H5Tclose);
    handle space(H5Aget_space(attribute.get()), H5Sclose);
    if (!type || !space) where.failed(std::string("read attribute ") + name);
    if (H5Sget_simple_extent_npoints(space.get()) != 1) where.not_histogram(std::string("attribute ") + name + " is not one value");
    const H5T_class_t kind = H5Tget_class(type.get());
    if (kind == H5T_ENUM) {
        if (H5Tget_size(type.get()) != 1) where.not_histogram(std::string("attribute ") + name + " is not a boolean");
        std::int8_t value = 0;
        if (H5Aread(attribute.get(), type.get(), &value) < 0) where.failed(std::string("read attribute ") + name);
        return value;
    }
    if (kind != H5T_INTEGER && kind != H5T_FLOAT) where.not_histogram(std::string("attribute ") + name + " is not a number");
    double value = 0;
    if (H5Aread(attribute.get(), H5T_NATIVE_DOUBLE, &value) < 0) where.failed(std::string("read attribute ") + name);
    return value;
}

std::string read_text(const place& where, hid_t object, const char* name) {
    const handle attribute = open_attribute(where, object, name);
    handle type(H5Aget_type(attribute.get()), H5Tclose);
    handle space(H5Aget_space(attribute.get()), H5Sclose);
    if (!type || !space) where.failed(std::string("read attribute ") + name);
    if (H5Tget_class(type.get()) != H5T_STRING || H5Sget_simple_extent_npoints(space.get()) != 1)
        where.not_histogram(std::string("attribute ") + name + " is not a string");
    handle memory(H5Tcopy(H5T_C_S1), H5Tclose);
    H5Tset_cset(memory.get(), H5Tget_cset(type.get()));
    if (H5Tis_variable_str(type.get()) > 0) {
        H5Tset_size(memory.get(), H5T_VARIABLE);
        char* text = nullptr;
        if (H5Aread(attribute.get(), memory.get(), &text) < 0) where.failed(std::string("read attribute ") + name);
        std::string value = text != nullptr ? text : "";
        H5free_memory(text);
        return value;
    }
    const std::size_t size = H5Tget_size(type.get());
    if (size == 0 || size > (1u << 16)) where.not_histogram(std::string("attribute ") + name + " has an unreadable size");
    H5Tset_size(memory.get(), size + 1);
    std::string value(size + 1, '\0');
    if (H5Aread(attribute.get(), memory.get(), value.data()) < 0) where.failed(std::string("read attribute ") + name);
    value.resize(std::char_traits<char>::length(value.c_str()));
    return value;
}

std::string optional_text(const place& where, hid_t object, const char* name) {
    return H5Aexists(object, name) > 0 ? read_text(where, object, name) : std::string();
}

handle open_group(const place& where, hid_t parent, const char* name) {
    const htri_t exists = H5Lexists(parent, name, H5P_DEFAULT);
    if (exists <= 0) where.not_histogram(std::string("no ") + name);
    const hid_t id = H5Oopen(parent, name, H5P_DEFAULT);
    if (id < 0) where.failed(std::string("open ") + name);
    return handle(id, H5Oclose);
}

std::vector<double> read_values(const place& where, hid_t storage, const char* name, const std::vector<hsize_t>& expected) {
    const handle data = open_group(where, storage, name);
    if (H5Iget_type(data.get()) != H5I_DATASET) where.not_histogram(std::string("storage/") + name + " is not a dataset");
    handle space(H5Dget_space(data.get()), H5Sclose);
    if (!space) where.failed(std::string("read storage/") + name);
    std::vector<hsize_t> dims(expected.size());
    if (H5Sget_simple_extent_ndims(space.get()) != static_cast<int>(expected.size()) ||
        H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr) < 0 || dims != expected) {
        std::string shape;
        for (hsize_t d : expected) shape += (shape.empty() ? "" : " x ") + std::to_string(d);
        where.not_histogram(std::string("storage/") + name + " is not shaped " + shape + " (the bins and flow bins of the axes)");
    }
    std::size_t count = 1;
    for (hsize_t d : dims) count *= static_cast<std::size_t>(d);
    std::vector<double> values(count);
    if (count > 0 && H5Dread(data.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) < 0)
        where.failed(std::string("read storage/") + name);
    return values;
}

}  // namespace

std::pair<double, double> outer_edges(const axis& a) {
    const double half = a.bins > 1 ? 0.5 * ((a.last_centre - a.first_centre) / (a.bins - 1)) : 0.5;
    return {a.first_centre - half, a.last_centre + half};
}

stored_histogram from_column(const histogram1D& h, int column, const std::string& label) {
    if (column < 0 || column >= h.nColumns) throw std::out_of_range("column " + std::to_string(column) + " of a histogram of " +
                                                                     std::to_string(h.nColumns) + " columns");
    stored_histogram stored;
    stored.axes.push_back({h.nBins, h.minValue, h.maxValue, label});
    stored.values.assign(static_cast<std::size_t>(h.nBins) + 2, 0.0);
    for (int i = 0; i < h.nBins; ++i) stored.values[static_cast<std::size_t>(i) + 1] = h.data[i][column];
    return stored;
}

stored_histogram from_column(const histogram2D& h, int column, const std::string& x_label, const std::string& y_label) {
    if (column < 0 || column >= h.nColumns) throw std::out_of_range("column " + std::to_string(column) + " of a histogram of " +
                                                                     std::to_string(h.nColumns) + " columns");
    stored_histogram stored;
    stored.axes.push_back({h.nBinsX, h.minX, h.maxX, x_label});
    stored.axes.push_back({h.nBinsY, h.minY, h.maxY, y_label});
    const std::size_t rows = static_cast<std::size_t>(h.nBinsY) + 2;
    stored.values.assign((static_cast<std::size_t>(h.nBinsX) + 2) * rows, 0.0);
    for (int i = 0; i < h.nBinsX; ++i)
        for (int j = 0; j < h.nBinsY; ++j)
            stored.values[(static_cast<std::size_t>(i) + 1) * rows + static_cast<std::size_t>(j) + 1] = h.data[i][j][column];
    return stored;
}

void write(hid_t parent, const std::string& name, const stored_histogram& h, const std::string& path) {
    hdf5::silence_errors();
    const handle group = hdf5::create_group(parent, name, path);
    write_integer(group.get(), "uhi_schema", 1, path);
    {
        const handle about = hdf5::create_group(group.get(), "metadata", path);
        hdf5::write_string_attribute(about.get(), "name", h.about.name, path);
        hdf5::write_string_attribute(about.get(), "label", h.about.label, path);
        hdf5::write_string_attribute(about.get(), "units", h.about.units, path);
    }
    const handle info = hdf5::create_group(group.get(), "writer_info", path);
    const handle ours = hdf5::create_group(info.get(), "murel", path);
    hdf5::write_string_attribute(ours.get(), "version", MUREL_VERSION, path);
    const handle ref_axes = hdf5::create_group(group.get(), "ref_axes", path);
    std::vector<hobj_ref_t> references(h.axes.size());
    std::vector<hsize_t> dims;
    for (std::size_t i = 0; i < h.axes.size(); ++i) {
        const axis& a = h.axes[i];
        const std::string axis_name = "axis_" + std::to_string(i);
        {
            const handle g = hdf5::create_group(ref_axes.get(), axis_name, path);
            const auto [lower, upper] = outer_edges(a);
            hdf5::write_string_attribute(g.get(), "type", "regular", path);
            write_double(g.get(), "lower", lower, path);
            write_double(g.get(), "upper", upper, path);
            write_integer(g.get(), "bins", a.bins, path);
            write_bool(g.get(), "underflow", true, path);
            write_bool(g.get(), "overflow", true, path);
            write_bool(g.get(), "circular", false, path);
            const handle about = hdf5::create_group(g.get(), "metadata", path);
            hdf5::write_string_attribute(about.get(), "label", a.label, path);
        }
        // The library keeps bin centres: stored as they are, they come back without rounding.
        write_double(ours.get(), (axis_name + "_first_centre").c_str(), a.first_centre, path);
        write_double(ours.get(), (axis_name + "_last_centre").c_str(), a.last_centre, path);
        written_status(H5Rcreate(&references[i], ref_axes.get(), axis_name.c_str(), H5R_OBJECT, -1), path, "axes");
        dims.push_back(static_cast<hsize_t>(a.bins) + 2);
    }
    {
        const hsize_t count = references.size();
        handle space(written(H5Screate_simple(1, &count, nullptr), path, "axes"), H5Sclose);
        const handle creation = hdf5::untimed_creation(H5P_DATASET_CREATE, path, "axes");
        handle data(written(H5Dcreate2(group.get(), "axes", H5T_STD_REF_OBJ, space.get(), H5P_DEFAULT, creation.get(), H5P_DEFAULT),
                            path, "axes"),
                    H5Dclose);
        written_status(H5Dwrite(data.get(), H5T_STD_REF_OBJ, H5S_ALL, H5S_ALL, H5P_DEFAULT, references.data()), path, "axes");
    }
    const handle storage = hdf5::create_group(group.get(), "storage", path);
    hdf5::write_string_attribute(storage.get(), "type", h.variances.empty() ? "double" : "weighted", path);
    write_array(storage.get(), "values", dims, h.values, path);
    if (!h.variances.empty()) write_array(storage.get(), "variances", dims, h.variances, path);
}

bool is_histogram(hid_t group) { return H5Aexists(group, "uhi_schema") > 0; }

stored_histogram read(hid_t group, const std::string& file, const std::string& where_name) {
    hdf5::silence_errors();
    const place where{file, where_name};
    if (H5Iget_type(group) != H5I_GROUP) where.not_histogram("not a group");
    if (read_number(where, group, "uhi_schema") != 1) where.not_histogram("uhi_schema is not 1");
    stored_histogram h;
    if (H5Lexists(group, "metadata", H5P_DEFAULT) > 0) {
        const handle about = open_group(where, group, "metadata");
        h.about = {optional_text(where, about.get(), "name"), optional_text(where, about.get(), "label"),
                   optional_text(where, about.get(), "units")};
    }
    handle ours;
    if (H5Lexists(group, "writer_info", H5P_DEFAULT) > 0 && H5Lexists(group, "writer_info/murel", H5P_DEFAULT) > 0)
        ours = handle(H5Oopen(group, "writer_info/murel", H5P_DEFAULT), H5Oclose);

    const handle axes = open_group(where, group, "axes");
    if (H5Iget_type(axes.get()) != H5I_DATASET) where.not_histogram("axes is not a dataset");
    handle type(H5Dget_type(axes.get()), H5Tclose);
    handle space(H5Dget_space(axes.get()), H5Sclose);
    if (!type || !space) where.failed("read axes");
    const hssize_t count = H5Sget_simple_extent_npoints(space.get());
    if (H5Tget_class(type.get()) != H5T_REFERENCE || H5Sget_simple_extent_ndims(space.get()) != 1 || count < 1 || count > 32)
        where.not_histogram("axes is not a list of object references");
    std::vector<hobj_ref_t> references(static_cast<std::size_t>(count));
    if (H5Dread(axes.get(), H5T_STD_REF_OBJ, H5S_ALL, H5S_ALL, H5P_DEFAULT, references.data()) < 0) where.failed("read axes");
    std::vector<hsize_t> dims;
    std::vector<std::pair<bool, bool>> flows;
    for (std::size_t i = 0; i < references.size(); ++i) {
        const std::string axis_name = "axis_" + std::to_string(i);
        const hid_t id = H5Rdereference2(axes.get(), H5P_DEFAULT, H5R_OBJECT, &references[i]);
        if (id < 0) where.not_histogram("axes[" + std::to_string(i) + "] refers to nothing");
        const handle a(id, H5Oclose);
        const place at{file, where_name + "/axes[" + std::to_string(i) + "]"};
        const std::string kind = read_text(at, a.get(), "type");
        if (kind != "regular") at.not_histogram("the axis is " + kind + "; only regular axes are read");
        const double lower = read_number(at, a.get(), "lower"), upper = read_number(at, a.get(), "upper");
        const double bins = read_number(at, a.get(), "bins");
        if (!(bins >= 1 && bins <= (1 << 30) && std::trunc(bins) == bins)) at.not_histogram("bins is not a count from 1 to 2^30");
        if (!(std::isfinite(lower) && std::isfinite(upper) && lower < upper)) at.not_histogram("lower and upper do not make an axis");
        const bool underflow = read_number(at, a.get(), "underflow") != 0, overflow = read_number(at, a.get(), "overflow") != 0;
        axis read_axis;
        read_axis.bins = static_cast<int>(bins);
        const double width = (upper - lower) / bins;
        read_axis.first_centre = lower + 0.5 * width;
        read_axis.last_centre = upper - 0.5 * width;
        if (ours && H5Aexists(ours.get(), (axis_name + "_first_centre").c_str()) > 0) {
            read_axis.first_centre = read_number(where, ours.get(), (axis_name + "_first_centre").c_str());
            read_axis.last_centre = read_number(where, ours.get(), (axis_name + "_last_centre").c_str());
        }
        if (H5Lexists(a.get(), "metadata", H5P_DEFAULT) > 0) {
            const handle about = open_group(at, a.get(), "metadata");
            read_axis.label = optional_text(at, about.get(), "label");
        }
        h.axes.push_back(read_axis);
        dims.push_back(static_cast<hsize_t>(bins) + (underflow ? 1 : 0) + (overflow ? 1 : 0));
        flows.emplace_back(underflow, overflow);
    }
    const handle storage = open_group(where, group, "storage");
    const std::string kind = read_text(where, storage.get(), "type");
    if (kind != "double" && kind != "int" && kind != "weighted")
        where.not_histogram("storage type " + kind + " is not int, double or weighted");
    std::vector<double> values = read_values(where, storage.get(), "values", dims);
    std::vector<double> variances;
    if (kind == "weighted") variances = read_values(where, storage.get(), "variances", dims);
    // Kept with a flow bin at each end of every axis, as written.
    const auto widen = [&](const std::vector<double>& given) {
        std::vector<hsize_t> full;
        for (const axis& a : h.axes) full.push_back(static_cast<hsize_t>(a.bins) + 2);
        std::size_t total = 1;
        for (hsize_t d : full) total *= static_cast<std::size_t>(d);
        std::vector<double> out(total, 0.0);
        for (std::size_t k = 0; k < given.size(); ++k) {
            std::size_t rest = k, target = 0, stride = 1;
            for (std::size_t d = dims.size(); d-- > 0;) {
                const std::size_t index = rest % dims[d];
                rest /= dims[d];
                target += (index + (flows[d].first ? 0 : 1)) * stride;
                stride *= full[d];
            }
            out[target] = given[k];
        }
        return out;
    };
    // Stored with every flow bin, as this library writes them, the values need no moving.
    const bool every_flow = std::all_of(flows.begin(), flows.end(), [](const auto& f) { return f.first && f.second; });
    h.values = every_flow ? std::move(values) : widen(values);
    if (!variances.empty()) h.variances = every_flow ? std::move(variances) : widen(variances);
    return h;
}

}  // namespace murel::uhi
