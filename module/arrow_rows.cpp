// vorandix._batch.Rows: records appended as JSON lines, taken out as Arrow arrays (PyCapsules
// of the Arrow C data interface), for the Parquet output and scan_batches().
#include "arrow_rows.hpp"

#include <climits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "arrow_columns.hpp"
#include "vorandix/document.hpp"

namespace vorandix::py {

namespace {

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kArrayCapsule = "arrow_array";

struct RowsObject {
    PyObject_HEAD std::optional<ArrowColumns> columns;
    std::string line;  // scratch for add_report
};

RowsObject* as_rows(PyObject* op) { return reinterpret_cast<RowsObject*>(op); }

PyObject* rows_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"schema", nullptr};
    PyObject* capsule;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Rows", const_cast<char**>(keywords),
                                     &capsule)) {
        return nullptr;
    }
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
    if (!schema) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    RowsObject* rows = as_rows(self);
    new (&rows->columns) std::optional<ArrowColumns>();
    new (&rows->line) std::string();
    try {
        rows->columns.emplace(*schema);
    } catch (const std::invalid_argument& e) {
        Py_DECREF(self);
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

void rows_dealloc(PyObject* op) {
    RowsObject* rows = as_rows(op);
    rows->columns.~optional();
    rows->line.~basic_string();
    PyTypeObject* type = Py_TYPE(op);
    type->tp_free(op);
    Py_DECREF(type);
}

// Appends rows->line; True, or False when the rows so far must be taken first, because the
// line could push an offset past what Arrow's 32-bit offsets hold.
PyObject* append_line(RowsObject* rows, std::string_view line) {
    ArrowColumns& columns = *rows->columns;
    if (columns.text_bytes() + line.size() > static_cast<std::uint64_t>(INT32_MAX)) {
        if (columns.rows() > 0) Py_RETURN_FALSE;
        PyErr_Format(PyExc_OverflowError,
                     "a record of %zu bytes of JSON is too large for one Arrow batch", line.size());
        return nullptr;
    }
    try {
        columns.append(line);
    } catch (const RowError& e) {
        PyErr_Format(PyExc_ValueError, "record: %s", e.message().c_str());
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_TRUE;
}

PyObject* rows_add_line(PyObject* op, PyObject* arg) {
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(arg, &data, &size) < 0) return nullptr;
    return append_line(as_rows(op), {data, static_cast<std::size_t>(size)});
}

// add_report(path, report): the record {"path": path, **report} from the report's JSON text.
// A path that is not UTF-8 raises UnicodeEncodeError: the caller writes its line instead.
PyObject* rows_add_report(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyUnicode_Check(args[0]) || !PyBytes_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "add_report(path: str, report: bytes)");
        return nullptr;
    }
    Py_ssize_t path_size;
    const char* path = PyUnicode_AsUTF8AndSize(args[0], &path_size);
    if (!path) return nullptr;
    const std::string_view report(PyBytes_AS_STRING(args[1]),
                                  static_cast<std::size_t>(PyBytes_GET_SIZE(args[1])));
    const std::size_t open = report.find('{');
    if (open == std::string_view::npos) {
        PyErr_SetString(PyExc_ValueError, "record: a report is a JSON object");
        return nullptr;
    }
    RowsObject* rows = as_rows(op);
    std::string& line = rows->line;
    try {
        line.assign("{\"path\": ");
        append_json_string(line, {path, static_cast<std::size_t>(path_size)});
        const std::string_view rest = report.substr(open + 1);
        const std::size_t first = rest.find_first_not_of(" \t\r\n");
        if (first != std::string_view::npos && rest[first] != '}') line += ", ";
        line.append(rest);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    PyObject* result = append_line(rows, line);
    if (line.capacity() > (std::size_t{1} << 20)) std::string().swap(line);
    return result;
}

void capsule_release(PyObject* capsule) {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, kArrayCapsule));
    if (!array) {
        PyErr_Clear();
        return;
    }
    if (array->release) array->release(array);
    delete array;
}

PyObject* rows_take(PyObject* op, PyObject*) {
    auto* array = new (std::nothrow) ArrowArray{};
    if (!array) return PyErr_NoMemory();
    try {
        as_rows(op)->columns->take(array);
    } catch (const std::bad_alloc&) {
        delete array;
        return PyErr_NoMemory();
    }
    PyObject* capsule = PyCapsule_New(array, kArrayCapsule, capsule_release);
    if (!capsule) {
        array->release(array);
        delete array;
    }
    return capsule;
}

Py_ssize_t rows_len(PyObject* op) { return static_cast<Py_ssize_t>(as_rows(op)->columns->rows()); }

PyObject* rows_text_bytes(PyObject* op, void*) {
    return PyLong_FromUnsignedLongLong(as_rows(op)->columns->text_bytes());
}

PyMethodDef rows_methods[] = {
    {"add_line", rows_add_line, METH_O,
     "add_line(line: bytes) -> bool\n--\n\nAppend a record given as one JSON line (binary "
     "columns as hex). False, with nothing appended, when take() must come first."},
    {"add_report", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rows_add_report)),
     METH_FASTCALL,
     "add_report(path: str, report: bytes) -> bool\n--\n\nAppend {\"path\": path, **report} for "
     "a report's JSON text, as add_line does."},
    {"take", rows_take, METH_NOARGS,
     "take() -> PyCapsule\n--\n\nThe rows as an 'arrow_array' capsule (a struct array of the "
     "columns), leaving none."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rows_getset[] = {
    {"text_bytes", rows_text_bytes, nullptr, "Bytes of JSON appended since the last take().",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rows_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Rows(schema)\n--\n\nRecords built into Arrow columns of `schema` (an "
                       "'arrow_schema' capsule of a struct).\nA record that does not fit raises "
                       "ValueError and leaves the rows before it as they were.")},
    {Py_tp_new, reinterpret_cast<void*>(rows_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rows_dealloc)},
    {Py_tp_methods, rows_methods},
    {Py_tp_getset, rows_getset},
    {Py_sq_length, reinterpret_cast<void*>(rows_len)},
    {0, nullptr},
};

}  // namespace

PyType_Spec rows_spec = {
    "vorandix._batch.Rows", sizeof(RowsObject), 0, Py_TPFLAGS_DEFAULT, rows_slots,
};

}  // namespace vorandix::py
