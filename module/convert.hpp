// Turning the engine's report into Python objects.
#pragma once

#include <Python.h>

#include "vorandix/value.hpp"

namespace vorandix::py {

// Consumes the report and returns a new dict, or NULL with ValueError set.
PyObject* report_to_python(Report&& report);

}  // namespace vorandix::py
