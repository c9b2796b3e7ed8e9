// vorandix._batch.ParquetEncoder: the Parquet encoder (parquet_encoder.hpp) for Python, which
// hands it Arrow arrays as PyCapsules and writes the bytes it returns.
#include <Python.h>

#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "arrow_rows.hpp"
#include "parquet_encoder.hpp"

namespace vorandix::py {

namespace {

struct EncoderObject {
    PyObject_HEAD std::optional<ParquetEncoder> encoder;
    bool busy;  // a row group is being encoded without the GIL
};

EncoderObject* as_encoder(PyObject* op) { return reinterpret_cast<EncoderObject*>(op); }

// A UTF-8 str or bytes, as C++ bytes; false with a Python exception otherwise.
bool text_of(PyObject* obj, std::string& out) {
    if (PyBytes_Check(obj)) {
        out.assign(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
        return true;
    }
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!text) return false;
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"schema",     "key_values", "created_by",
                                     "statistics", "page_bytes", nullptr};
    PyObject *capsule, *key_values, *statistics;
    const char* created_by;
    Py_ssize_t page_bytes = 1 << 20;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOsO|n:ParquetEncoder",
                                     const_cast<char**>(keywords), &capsule, &key_values,
                                     &created_by, &statistics, &page_bytes)) {
        return nullptr;
    }
    if (page_bytes < 1) {
        PyErr_SetString(PyExc_ValueError, "page_bytes must be at least 1");
        return nullptr;
    }
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (!schema) return nullptr;
    ParquetEncoder::Options options;
    options.created_by = created_by;
    options.page_bytes = static_cast<std::size_t>(page_bytes);
    PyObject* pairs = PySequence_Fast(key_values, "key_values: a sequence of (key, value)");
    if (!pairs) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(pairs); ++i) {
        PyObject* pair = PySequence_Fast_GET_ITEM(pairs, i);
        std::string key, value;
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, "key_values: a sequence of (key, value)");
        } else if (text_of(PyTuple_GET_ITEM(pair, 0), key) &&
                   text_of(PyTuple_GET_ITEM(pair, 1), value)) {
            options.key_values.emplace_back(std::move(key), std::move(value));
            continue;
        }
        Py_DECREF(pairs);
        return nullptr;
    }
    Py_DECREF(pairs);
    PyObject* names = PySequence_Fast(statistics, "statistics: a sequence of column names");
    if (!names) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names); ++i) {
        std::string name;
        if (!text_of(PySequence_Fast_GET_ITEM(names, i), name)) {
            Py_DECREF(names);
            return nullptr;
        }
        options.statistics.push_back(std::move(name));
    }
    Py_DECREF(names);

    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    EncoderObject* encoder = as_encoder(self);
    new (&encoder->encoder) std::optional<ParquetEncoder>();
    encoder->busy = false;
    try {
        encoder->encoder.emplace(*schema, std::move(options));
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

void encoder_dealloc(PyObject* op) {
    as_encoder(op)->encoder.~optional();
    PyTypeObject* type = Py_TYPE(op);
    type->tp_free(op);
    Py_DECREF(type);
}

PyObject* encoder_row_group(PyObject* op, PyObject* capsule) {
    auto* rows = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (!rows) return nullptr;
    if (!rows->release) {
        PyErr_SetString(PyExc_ValueError, "row_group: the array was released");
        return nullptr;
    }
    EncoderObject* self = as_encoder(op);
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "row_group: the encoder is busy on another thread");
        return nullptr;
    }
    self->busy = true;
    Py_INCREF(capsule);  // the array lives as long as the capsule
    std::string out;
    std::optional<std::string> failure;
    PyObject* error_type = PyExc_ValueError;
    Py_BEGIN_ALLOW_THREADS;
    try {
        self->encoder->row_group(*rows, out);
    } catch (const std::invalid_argument& e) {
        failure = e.what();
    } catch (const std::length_error& e) {
        failure = e.what();
    } catch (const std::bad_alloc&) {
        failure.emplace();
        error_type = PyExc_MemoryError;
    }
    Py_END_ALLOW_THREADS;
    self->busy = false;
    Py_DECREF(capsule);
    if (failure) {
        if (error_type == PyExc_MemoryError) return PyErr_NoMemory();
        PyErr_SetString(error_type, failure->c_str());
        return nullptr;
    }
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* encoder_footer(PyObject* op, PyObject*) {
    EncoderObject* self = as_encoder(op);
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "footer: the encoder is busy on another thread");
        return nullptr;
    }
    try {
        const std::string out = self->encoder->footer();
        return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef encoder_methods[] = {
    {"row_group", encoder_row_group, METH_O,
     "row_group(rows: PyCapsule) -> bytes\n--\n\nThe column chunks of a row group of `rows` (an "
     "'arrow_array' capsule of a struct array of the schema), to be written right after the "
     "magic b'PAR1' and the row groups before. Encodes without the GIL."},
    {"footer", encoder_footer, METH_NOARGS,
     "footer() -> bytes\n--\n\nThe end of the file: the metadata of every row group, its "
     "length and the magic."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot encoder_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("ParquetEncoder(schema, key_values, created_by, statistics, "
                       "page_bytes=1 << 20)\n--\n\n"
                       "Row groups of `schema` (an 'arrow_schema' capsule of a struct) encoded "
                       "as Parquet: PLAIN values, RLE levels, Snappy pages, statistics on the "
                       "leaf columns named in `statistics` (dotted paths), pages of about "
                       "`page_bytes` of values, and (key, value) pairs in the footer's "
                       "metadata.")},
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc)},
    {Py_tp_methods, encoder_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec parquet_encoder_spec = {
    "vorandix._batch.ParquetEncoder", sizeof(EncoderObject), 0, Py_TPFLAGS_DEFAULT,
    encoder_slots,
};

}  // namespace vorandix::py
