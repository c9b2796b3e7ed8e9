#include "convert.hpp"

#include "compat.hpp"

#include <string>

#include "vorandix/document.hpp"

namespace vorandix::py {

namespace {

// New reference, or NULL with the interpreter's error set.
PyObject* to_python(const DocValue& doc) {
    return std::visit(
        [](const auto& v) -> PyObject* {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::nullptr_t>) {
                Py_RETURN_NONE;
            } else if constexpr (std::is_same_v<T, bool>) {
                return PyBool_FromLong(v);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return PyLong_FromLongLong(v);
            } else if constexpr (std::is_same_v<T, std::uint64_t>) {
                return PyLong_FromUnsignedLongLong(v);
            } else if constexpr (std::is_same_v<T, double>) {
                return PyFloat_FromDouble(v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()),
                                            "strict");
            } else if constexpr (std::is_same_v<T, DocArray>) {
                PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.size()));
                if (!list) return nullptr;
                for (std::size_t i = 0; i < v.size(); ++i) {
                    PyObject* item = to_python(v[i]);
                    if (!item) {
                        Py_DECREF(list);
                        return nullptr;
                    }
                    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
                }
                return list;
            } else {
                PyObject* dict = PyDict_New();
                if (!dict) return nullptr;
                for (const auto& [key, value] : v) {
                    PyObject* item = to_python(value);
                    if (!item) {
                        Py_DECREF(dict);
                        return nullptr;
                    }
                    PyObject* name = PyUnicode_DecodeUTF8(
                        key.data(), static_cast<Py_ssize_t>(key.size()), "strict");
                    const int rc = name ? PyDict_SetItem(dict, name, item) : -1;
                    Py_XDECREF(name);
                    Py_DECREF(item);
                    if (rc != 0) {
                        Py_DECREF(dict);
                        return nullptr;
                    }
                }
                return dict;
            }
        },
        doc.v);
}

// Replaces the pending error with ValueError("conversion failed: <its text>").
void raise_conversion_failed() {
    PyObject* exc = take_exception();
    PyObject* text = exc ? PyObject_Str(exc) : nullptr;
    const char* detail = text ? PyUnicode_AsUTF8(text) : nullptr;
    if (!detail) {
        PyErr_Clear();
        detail = "unknown error";
    }
    PyErr_Format(PyExc_ValueError, "conversion failed: %s", detail);
    Py_XDECREF(text);
    Py_XDECREF(exc);
}

}  // namespace

PyObject* report_to_python(Report&& report) {
    const DocValue doc = to_document(std::move(report));
    PyObject* result = to_python(doc);
    if (!result) raise_conversion_failed();
    return result;
}

}  // namespace vorandix::py
