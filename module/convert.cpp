#include "convert.hpp"

#include <malloc.h>

#include "compat.hpp"

#include <string>
#include <string_view>
#include <cstring>
#include <vector>

#include "vorandix/document.hpp"

namespace vorandix::py {

namespace {

// Builds Python objects from a document as it is written, so the engine's report is released
// value by value while the result grows. Keys, and short texts that repeat across the items of
// a list (marker names, box types, methods, dates), are made once per call and shared.
class PythonSink final : public DocumentSink {
public:
    ~PythonSink() override {
        for (Open& o : open_) {
            Py_XDECREF(o.container);
            Py_XDECREF(o.key);
        }
        Py_XDECREF(key_);
        Py_XDECREF(result_);
        for (PyObject* object : shared_) Py_XDECREF(object);
    }

    bool null() override { return put(Py_NewRef(Py_None)); }
    bool boolean(bool v) override { return put(PyBool_FromLong(v)); }
    bool negative(std::int64_t v) override { return put(PyLong_FromLongLong(v)); }
    bool integer(std::uint64_t v) override { return put(PyLong_FromUnsignedLongLong(v)); }
    bool floating(double v) override { return put(PyFloat_FromDouble(v)); }
    bool text(std::string_view v) override {
        return put(v.size() <= kSharedText ? shared(v) : decode(v));
    }
    bool begin_array(std::size_t size) override {
        return open(PyList_New(static_cast<Py_ssize_t>(size)));
    }
    bool begin_object(std::size_t) override { return open(PyDict_New()); }
    bool key(std::string_view k) override {
        Py_XDECREF(key_);
        key_ = shared(k);
        return key_ != nullptr;
    }
    bool end_array() override { return close(); }
    bool end_object() override {
        // The engine releases each value once written, but the allocator keeps the pages of
        // what it released for itself while Python's objects take new ones: handed back now and
        // then, a long list costs about its Python objects, not those and the engine's copy.
        if (++objects_ % kTrimEvery == 0) malloc_trim(0);
        return close();
    }

    // The finished result (a new reference), or NULL with the error set.
    PyObject* take() {
        PyObject* out = result_;
        result_ = nullptr;
        return out;
    }

private:
    // Texts up to this long are shared; longer ones rarely repeat.
    static constexpr std::size_t kSharedText = 32;
    // Slots of the table of shared texts: a text takes the slot its hash picks, replacing the
    // one there, so a list of unique short names costs no more than the table.
    static constexpr std::size_t kSharedSlots = 1024;
    // Objects written between two hand-backs of released memory.
    static constexpr std::size_t kTrimEvery = 16384;

    struct Open {
        PyObject* container;
        PyObject* key;  // the key it goes under in its parent object, or NULL
        Py_ssize_t next = 0;
    };

    static PyObject* decode(std::string_view v) {
        return PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()), "strict");
    }

    // A new reference to the str of `v`, made once per call as long as no other text takes its
    // slot. The table is made on first use, so a small report costs no table at all.
    PyObject* shared(std::string_view v) {
        if (shared_.empty()) shared_.assign(kSharedSlots, nullptr);
        std::size_t h = 14695981039346656037ull;  // FNV-1a
        for (const char c : v) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        PyObject*& slot = shared_[h % kSharedSlots];
        if (slot != nullptr) {
            Py_ssize_t size;
            const char* text = PyUnicode_AsUTF8AndSize(slot, &size);
            if (text && static_cast<std::size_t>(size) == v.size() &&
                std::memcmp(text, v.data(), v.size()) == 0) {
                return Py_NewRef(slot);
            }
            PyErr_Clear();
        }
        PyObject* object = decode(v);
        if (object) {
            Py_XDECREF(slot);
            slot = Py_NewRef(object);
        }
        return object;
    }

    // Adds `v` (a new reference, or NULL after a failure) to the open container.
    bool put(PyObject* v) {
        if (!v) return false;
        if (open_.empty()) {
            result_ = v;
            return true;
        }
        Open& parent = open_.back();
        if (PyList_Check(parent.container)) {
            PyList_SET_ITEM(parent.container, parent.next++, v);
            return true;
        }
        const int rc = PyDict_SetItem(parent.container, key_, v);
        Py_DECREF(v);
        return rc == 0;
    }
    bool open(PyObject* container) {
        if (!container) return false;
        open_.push_back({container, key_});
        key_ = nullptr;
        return true;
    }
    bool close() {
        Open done = open_.back();
        open_.pop_back();
        Py_XDECREF(key_);
        key_ = done.key;
        return put(done.container);
    }

    std::vector<Open> open_;
    PyObject* key_ = nullptr;
    PyObject* result_ = nullptr;
    std::size_t objects_ = 0;
    std::vector<PyObject*> shared_;
};

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
    PythonSink sink;
    if (!write_document(std::move(report), sink)) {
        raise_conversion_failed();
        return nullptr;
    }
    return sink.take();
}

}  // namespace vorandix::py
