// What the parts of the Python module share: result objects and the registration of each part.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

namespace murel::python {

namespace py = pybind11;

/// A namespace object (types.SimpleNamespace) holding the given attributes.
py::object result(py::dict attributes);

/// A path given as str, bytes or os.PathLike.
inline std::string path_text(const py::object& path) {
    // The file system's own bytes, whether the path came as str, bytes or os.PathLike.
    return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

/// A numpy array that owns `values`' storage: no copy is made.
template <class T>
py::array_t<T> owned_array(std::vector<T>&& values) {
    auto* held = new std::vector<T>(std::move(values));
    py::capsule free_when_done(held, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<T>(static_cast<py::ssize_t>(held->size()), held->data(), free_when_done);
}

void add_read(py::module_& m);
void add_generate(py::module_& m);
void add_histograms(py::module_& m);
void add_analyse(py::module_& m);

}  // namespace murel::python
