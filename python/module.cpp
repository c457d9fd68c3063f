// The murel Python module: the engine, the formats, the analysis and the histogram library,
// bound without the command line.
#include "module.h"

#include "interruption.h"

#include <Python.h>

#include <stdexcept>
#include <system_error>

namespace murel::python {

py::object result(py::dict attributes) {
    return py::module_::import("types").attr("SimpleNamespace")(**attributes);
}

}  // namespace murel::python

PYBIND11_MODULE(_core, m) {
    namespace py = pybind11;
    m.doc() = "murel's generator, file formats, analysis and histograms";
    // The messages are the command line's; failed I/O keeps its errno.
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const murel::interruption& e) {
            PyErr_SetString(PyExc_KeyboardInterrupt, e.what());
        } catch (const std::system_error& e) {
            py::object error = py::reinterpret_steal<py::object>(
                PyObject_CallFunction(PyExc_OSError, "is", e.code().value(), e.what()));
            PyErr_SetObject(PyExc_OSError, error.ptr());
        } catch (const std::out_of_range& e) {
            PyErr_SetString(PyExc_IndexError, e.what());
        } catch (const std::invalid_argument& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const std::runtime_error& e) {
            // A corrupt or unrecognised file: bad data, not a failed call.
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });
    murel::python::add_read(m);
    murel::python::add_generate(m);
    murel::python::add_histograms(m);
    murel::python::add_analyse(m);
}
