// JSON text of a report as Python's json.dumps(report, ensure_ascii=False) writes it, for the
// command's output lines.
#pragma once

#include <string>

#include "vorandix/value.hpp"

namespace vorandix::py {

// Consumes the report: one JSON object, members separated by ", " and ": ", keys in byte order,
// floats as Python's repr() writes them.
std::string report_json(Report&& report);

// A finite double as Python's repr() writes it ("0.1", "72.0", "1e-05", "1e+16").
std::string python_float_text(double value);

}  // namespace vorandix::py
