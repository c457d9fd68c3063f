// placeholder
#include "module.h"
namespace murel::python { void add_analyse(py::module_&) {} }
