// The _vorandix module: initialisation, parse(path) and parse_bytes(data).
#include <Python.h>

#include <atomic>
#include <string>

#include "compat.hpp"
#include "convert.hpp"
#include "vorandix/engine.hpp"
#include "vorandix/source.hpp"

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
// Exported by CPython 3.12 (declared in its internal headers only): the check an isolated
// sub-interpreter makes after a module like this one initialised.
extern "C" int _PyImport_CheckSubinterpIncompatibleExtensionAllowed(const char* name);
#endif

namespace {

using namespace vorandix;

constexpr const char kModuleDoc[] = "Metadata extraction for any file type.";
constexpr const char kVersion[] = VORANDIX_VERSION;  // the project version, from the build

// The first interpreter to load the module; the module object is tied to it.
std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

// Lets a long call be stopped: Python's signal handlers run whenever the engine asks (every few
// megabytes read, and when a read is interrupted), and an exception from one (KeyboardInterrupt
// for Ctrl-C) stops the run and is what the call raises.
class SignalCheck final : public Interrupt {
public:
    bool requested() override { return PyErr_CheckSignals() != 0; }
    RunOptions options() {
        RunOptions o;
        o.interrupt = this;
        return o;
    }
};

// The one argument of a single-parameter function given by position or keyword; a borrowed
// reference, or NULL with TypeError set.
PyObject* single_argument(const char* function, const char* parameter, PyObject* const* args,
                          Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given",
                     function, nargs);
        return nullptr;
    }
    PyObject* value = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(key, parameter) != 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         function, key);
            return nullptr;
        }
        if (value) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                         parameter);
            return nullptr;
        }
        value = args[nargs + i];
    }
    if (!value) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                     function, parameter);
        return nullptr;
    }
    return value;
}

void raise_cannot_convert(const char* parameter, PyObject* obj, const char* target) {
    PyObject* type_name = py::type_qualname(Py_TYPE(obj));
    if (!type_name) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'",
                 parameter, type_name, target);
    Py_DECREF(type_name);
}

PyObject* parse_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* data = single_argument("parse_bytes", "data", args, nargsf, kwnames);
    if (!data) return nullptr;
    if (!PyBytes_Check(data)) {
        raise_cannot_convert("data", data, "PyBytes");
        return nullptr;
    }
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
    MemorySource source(ByteView(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
                                 size));
    SignalCheck signals;
    Report report = run_extractors(source, size, signals.options());
    if (report.interrupted) return nullptr;  // the signal handler's exception is set
    return py::report_to_python(std::move(report));
}

// os.fspath(path) as the file system's bytes; NULL with the error set.
PyObject* fs_path_bytes(PyObject* path) {
    PyObject* fs = PyOS_FSPath(path);
    if (!fs) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyObject* exc = py::take_exception();
        PyErr_Format(PyExc_TypeError, "argument 'path': %S", exc);
        Py_DECREF(exc);
        return nullptr;
    }
    if (!PyUnicode_Check(fs)) {
        raise_cannot_convert("path", fs, "PyString");
        Py_DECREF(fs);
        return nullptr;
    }
    // Undecodable names come back through the surrogate escapes they were decoded with.
    PyObject* encoded = PyUnicode_EncodeFSDefault(fs);
    if (!encoded && PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        // A surrogate outside the escapes names no file that decoding could have produced;
        // written as UTF-8 would write it, the name then fails to open like any other.
        PyErr_Clear();
        encoded = PyUnicode_AsEncodedString(fs, "utf-8", "surrogatepass");
    }
    Py_DECREF(fs);
    return encoded;
}

PyObject* parse(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* path = single_argument("parse", "path", args, nargsf, kwnames);
    if (!path) return nullptr;
    PyObject* encoded = fs_path_bytes(path);
    if (!encoded) return nullptr;
    const std::string fs_path(PyBytes_AS_STRING(encoded),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);

    SignalCheck signals;
    auto report = parse_path(fs_path, signals.options());
    if (report && report->interrupted) return nullptr;  // the signal handler's exception is set
    if (!report) {
        const std::string text = utf8_lossy(fs_path) + ": " + report.error().message;
        PyObject* message =
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
        if (message) {
            PyErr_SetObject(PyExc_OSError, message);
            Py_DECREF(message);
        }
        return nullptr;
    }
    return py::report_to_python(std::move(report.value()));
}

PyMethodDef parse_def = {
    "parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse)),
    METH_FASTCALL | METH_KEYWORDS,
    "parse(path)\n--\n\nParse a file by path and return its metadata as a dict.\n\n"
    "Raises OSError if the file cannot be read."};

PyMethodDef parse_bytes_def = {
    "parse_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_bytes)),
    METH_FASTCALL | METH_KEYWORDS,
    "parse_bytes(data)\n--\n\nParse an in-memory buffer and return its metadata as a dict.\n\n"
    "Useful for data that never touches disk, such as an upload or a download."};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_vorandix", "", 0, nullptr, nullptr,
                          nullptr,               nullptr,     nullptr};

// Adds `value` (a new reference, consumed) under `name` and lists the name in __all__.
int add_public(PyObject* module, const char* name, PyObject* value) {
    if (!value) return -1;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            Py_DECREF(value);
            return -1;
        }
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyModule_AddObjectRef(module, "__all__", all) != 0) {
            Py_XDECREF(all);
            Py_DECREF(value);
            return -1;
        }
    }
    PyObject* key = PyUnicode_FromString(name);
    int rc = key ? PyList_Append(all, key) : -1;
    Py_XDECREF(key);
    Py_DECREF(all);
    if (rc == 0) rc = PyModule_AddObjectRef(module, name, value);
    Py_DECREF(value);
    return rc;
}

int add_function(PyObject* module, PyMethodDef* def) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    PyObject* function = PyCFunction_NewEx(def, module, module_name);
    Py_DECREF(module_name);
    return add_public(module, def->ml_name, function);
}

PyObject* create_module() {
    PyObject* module = PyModule_Create2(&module_def, PYTHON_API_VERSION);
    if (!module) return nullptr;
    if (add_public(module, "__doc__", PyUnicode_FromString(kModuleDoc)) != 0 ||
        add_function(module, &parse_def) != 0 || add_function(module, &parse_bytes_def) != 0 ||
        add_public(module, "__version__", PyUnicode_FromString(kVersion)) != 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// An interpreter that refuses modules with process-wide state, as isolated sub-interpreters do,
// refuses this one only after its initialisation ran. Nothing may be bound to such an
// interpreter, so the refusal is made here first. 1 when refused (ImportError set), 0 when
// not, -1 on another error.
int refused_here() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return 0;
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* interpreters = PyImport_ImportModule("_interpreters");
    if (!interpreters) return -1;
    PyObject* config = PyObject_CallMethod(interpreters, "get_config", "L",
                                           PyInterpreterState_GetID(PyInterpreterState_Get()));
    Py_DECREF(interpreters);
    if (!config) return -1;
    PyObject* check = PyObject_GetAttrString(config, "check_multi_interp_extensions");
    Py_DECREF(config);
    if (!check) return -1;
    const int refuses = PyObject_IsTrue(check);
    Py_DECREF(check);
    if (refuses <= 0) return refuses;
    PyErr_SetString(PyExc_ImportError,
                    "module _vorandix does not support loading in subinterpreters");
    return 1;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyImport_CheckSubinterpIncompatibleExtensionAllowed("_vorandix") < 0 ? 1 : 0;
#else
    return 0;  // before 3.12 no interpreter refuses such modules
#endif
}

}  // namespace

PyMODINIT_FUNC PyInit__vorandix(void) {
    if (refused_here() != 0) return nullptr;
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    std::int64_t first = -1;
    if (!g_interpreter.compare_exchange_strong(first, id) && first != id) {
        PyErr_SetString(PyExc_ImportError,
                        "_vorandix does not support sub-interpreters: it can only be used from "
                        "the interpreter that first imported it");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);
    PyObject* module = create_module();
    if (!module) return nullptr;
    g_module = Py_NewRef(module);
    return module;
}
