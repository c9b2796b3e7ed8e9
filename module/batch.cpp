// vorandix._batch: many files by path on worker threads with the GIL released, and one Python
// file object read through its own methods. The package's scan() and parse_file() sit on it.
#include <Python.h>

#include <pthread.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include "arrow_rows.hpp"
#include "compat.hpp"
#include "convert.hpp"
#include "json_text.hpp"
#include "vorandix/engine.hpp"
#include "vorandix/source.hpp"

namespace {

using namespace vorandix;

// How long the caller's thread waits for a worker before it looks for a pending signal again:
// short enough that Ctrl-C feels immediate, long enough to cost nothing.
constexpr auto kSignalPoll = std::chrono::milliseconds(50);

// The most files described at once. Each is a thread and its slots in the ring: past this many,
// even storage that answers slowly gains nothing, and a mistyped count would start threads and
// size the ring by the million.
constexpr int kMaxJobs = 1024;

// Files in flight per worker: enough that a worker never waits for the caller to walk the next
// folder, few enough that the reports held at once stay small.
constexpr std::size_t kSlotsPerWorker = 8;
constexpr std::size_t kMinSlots = 16;
// With reports as JSON text, which the caller's thread only passes on, the workers may run
// further ahead: far enough to keep going through the caller's thread being off the processor
// for a scheduler's time slice or two, which happens whenever the caller's side keeps a thread
// of its own busy (the Parquet output encodes row groups on one). The texts waiting are
// bounded in bytes as well: a worker starts no file while they exceed kMaxWaitingText.
constexpr std::size_t kJsonSlotsPerWorker = 64;
constexpr std::size_t kMaxWaitingText = std::size_t{32} << 20;

// The most a file object is asked for at once: bounds what its read() may allocate.
constexpr std::size_t kMaxFileObjectRead = std::size_t{1} << 20;

// One path's outcome, or why the file could not be opened or examined.
using Outcome = IoResult<Report>;

// What a finished file hands the caller's thread: its report, the report already written as
// JSON text (for the command, so that the text is made where the file was read), or why it could
// not be opened or examined.
using Finished = std::variant<Report, std::string, IoError>;

// parse_path, with failures the engine does not expect (memory exhausted) turned into an
// outcome instead of escaping a worker thread, which would end the process.
Outcome describe(const std::string& path, const RunOptions& options) {
    try {
        return parse_path(path, options);
    } catch (const std::exception& e) {
        return IoError{e.what(), 0};
    } catch (...) {
        return IoError{"unexpected failure", 0};
    }
}

// The 3.12 call, for the older interpreters the package also builds for.
void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    if (!exc) return;
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
#endif
}

// The bytes of JSON text a finished file holds (none for a report or an error).
std::size_t text_size(const Finished& finished) {
    const auto* text = std::get_if<std::string>(&finished);
    return text ? text->size() : 0;
}

Finished finish(Outcome&& outcome, bool json) {
    if (!outcome) return std::move(outcome.error());
    if (!json) return std::move(outcome.value());
    try {
        return py::report_json(std::move(outcome.value()));
    } catch (const std::exception& e) {
        return IoError{e.what(), 0};
    }
}

// The report as a dict, its JSON text as bytes, or (code, message) for a file that could not be
// opened or examined; a new reference or NULL.
PyObject* finished_to_python(Finished&& finished) {
    if (auto* report = std::get_if<Report>(&finished)) {
        return py::report_to_python(std::move(*report));
    }
    if (auto* text = std::get_if<std::string>(&finished)) {
        return PyBytes_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
    }
    const IoError& e = std::get<IoError>(finished);
    PyObject* message = PyUnicode_DecodeUTF8(e.message.data(),
                                             static_cast<Py_ssize_t>(e.message.size()), "replace");
    if (!message) return nullptr;
    return Py_BuildValue("(iN)", e.code, message);
}

class StopFlag final : public Interrupt {
public:
    bool requested() override { return stop_.load(std::memory_order_relaxed); }
    void set() { stop_.store(true, std::memory_order_relaxed); }

private:
    std::atomic<bool> stop_{false};
};

// For a run on the caller's thread with the GIL released: takes the GIL back briefly to run
// Python's signal handlers, so Ctrl-C stops a long file. A raised exception stays pending in
// the thread state until the caller returns it.
class CallerSignals final : public Interrupt {
public:
    explicit CallerSignals(PyThreadState*& saved) : saved_(saved) {}
    bool requested() override {
        if (raised_) return true;
        PyEval_RestoreThread(saved_);
        raised_ = PyErr_CheckSignals() < 0;
        saved_ = PyEval_SaveThread();
        return raised_;
    }
    bool raised() const { return raised_; }

private:
    PyThreadState*& saved_;
    bool raised_ = false;
};

struct Slot {
    PyObject* tag = nullptr;  // owned; touched only by the caller's thread, with the GIL
    std::string path;
    std::optional<Finished> finished;
    bool done = false;
};

// Everything the workers share with the caller's thread. Slots form a ring indexed by
// sequence number: [head, tail) are in flight, and results leave in sequence order.
struct Pipeline {
    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable result_ready;
    std::vector<Slot> ring;
    std::uint64_t head = 0;  // changed under the mutex: workers read it
    std::uint64_t tail = 0;
    std::deque<std::uint64_t> pending;  // sequence numbers no worker has taken yet
    bool closing = false;
    std::size_t waiting_text = 0;  // bytes of JSON texts finished and not yet taken
    StopFlag stop;
    RunOptions options;
    bool json = false;
    std::vector<std::thread> workers;
    pid_t owner = 0;  // the process that started the workers

    Slot& slot(std::uint64_t seq) { return ring[seq % ring.size()]; }

    void work() {
        pthread_setname_np(pthread_self(), "vorandix-work");  // as tools such as top show it
        RunOptions run = options;
        run.interrupt = &stop;
        for (;;) {
            std::uint64_t seq;
            std::string path;
            {
                std::unique_lock lock(mutex);
                work_ready.wait(lock, [&] {
                    return closing || (!pending.empty() && waiting_text < kMaxWaitingText);
                });
                if (closing) return;
                seq = pending.front();
                pending.pop_front();
                path = std::move(slot(seq).path);
            }
            Finished finished = finish(describe(path, run), json);
            bool awaited;
            {
                std::lock_guard lock(mutex);
                waiting_text += text_size(finished);
                slot(seq).finished.emplace(std::move(finished));
                slot(seq).done = true;
                // The caller waits for the oldest file only; waking it for any other would
                // cost a context switch per small file for nothing.
                awaited = seq == head;
            }
            if (awaited) result_ready.notify_one();
        }
    }
};

struct BatchObject {
    PyObject_HEAD
    PyObject* items;  // the iterator of (tag, path) pairs; NULL once exhausted or closed
    int jobs;         // files at once: jobs - 1 workers and the caller; 0 the caller alone
    bool busy;        // a __next__ is running (it may have released the GIL)
    bool finished;
    Pipeline* pipeline;
};

// Stops the workers, waits for them and drops what is in flight. Idempotent.
void shut_down(BatchObject* self) {
    self->finished = true;
    Py_CLEAR(self->items);
    Pipeline* p = self->pipeline;
    if (!p) return;
    if (!p->workers.empty() && p->owner != ::getpid()) {
        // A child forked while the workers ran: they do not exist here, and a worker may have
        // held the mutex at the fork. Drop the references and leave the rest untouched.
        for (Slot& s : p->ring) Py_CLEAR(s.tag);
        self->pipeline = nullptr;
        return;
    }
    if (!p->workers.empty()) {
        {
            std::lock_guard lock(p->mutex);
            p->closing = true;
        }
        p->stop.set();
        p->work_ready.notify_all();
        Py_BEGIN_ALLOW_THREADS
        for (auto& worker : p->workers) worker.join();
        Py_END_ALLOW_THREADS
        p->workers.clear();
    }
    for (; p->head < p->tail; ++p->head) {
        Slot& s = p->slot(p->head);
        Py_CLEAR(s.tag);
        s.finished.reset();
        s.path.clear();
    }
    p->pending.clear();
    p->waiting_text = 0;
}

// Splits an item into its tag (borrowed) and the file system path, which is absent when the
// item passes through without a file being read. False with TypeError set for a bad item.
bool split_item(PyObject* item, PyObject** tag, std::optional<std::string>* path) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
        PyErr_SetString(PyExc_TypeError, "batch items must be (tag, path) pairs");
        return false;
    }
    *tag = PyTuple_GET_ITEM(item, 0);
    PyObject* raw = PyTuple_GET_ITEM(item, 1);
    if (raw == Py_None) {
        path->reset();
        return true;
    }
    if (!PyBytes_Check(raw)) {
        PyErr_SetString(PyExc_TypeError, "a batch path must be bytes or None");
        return false;
    }
    path->emplace(PyBytes_AS_STRING(raw), static_cast<std::size_t>(PyBytes_GET_SIZE(raw)));
    return true;
}

PyObject* pair(PyObject* tag, PyObject* value) {
    if (!value) return nullptr;
    return Py_BuildValue("(ON)", tag, value);
}

// One item on the caller's thread, the GIL released while the file is read.
PyObject* next_inline(BatchObject* self) {
    PyObject* item = PyIter_Next(self->items);
    if (!item) {
        if (!PyErr_Occurred()) shut_down(self);
        return nullptr;
    }
    PyObject* tag;
    std::optional<std::string> path;
    if (!split_item(item, &tag, &path)) {
        Py_DECREF(item);
        return nullptr;
    }
    PyObject* result;
    if (!path) {
        result = pair(tag, Py_NewRef(Py_None));
    } else {
        RunOptions options = self->pipeline->options;
        PyThreadState* saved = PyEval_SaveThread();
        CallerSignals signals(saved);
        options.interrupt = &signals;
        Finished finished = finish(describe(*path, options), self->pipeline->json);
        PyEval_RestoreThread(saved);
        result = signals.raised() ? nullptr : pair(tag, finished_to_python(std::move(finished)));
    }
    Py_DECREF(item);
    return result;
}

// Fills the ring from the items iterator. False with an exception set when the iterator
// raised or gave a bad item. The ring is filled in batches, once it has drained to half: the
// items go in under one lock, with one wake-up, so a worker is not woken for every small file.
bool top_up(BatchObject* self) {
    Pipeline* p = self->pipeline;
    if (p->tail - p->head > p->ring.size() / 2) return true;
    struct Item {
        PyObject* tag;  // new reference
        std::optional<std::string> path;
    };
    std::vector<Item> batch;
    bool failed = false;
    while (self->items && p->tail - p->head + batch.size() < p->ring.size()) {
        PyObject* item = PyIter_Next(self->items);
        if (!item) {
            if (PyErr_Occurred()) {
                failed = true;
            } else {
                Py_CLEAR(self->items);
            }
            break;
        }
        PyObject* tag;
        std::optional<std::string> path;
        const bool ok = split_item(item, &tag, &path);
        if (ok) batch.push_back({Py_NewRef(tag), std::move(path)});
        Py_DECREF(item);
        if (!ok) {
            failed = true;
            break;
        }
    }
    bool readable = false;
    {
        std::lock_guard lock(p->mutex);
        for (Item& item : batch) {
            Slot& s = p->slot(p->tail);
            s.tag = item.tag;
            s.finished.reset();
            s.done = !item.path;
            if (item.path) {
                s.path = std::move(*item.path);
                p->pending.push_back(p->tail);
                readable = true;
            }
            ++p->tail;
        }
    }
    if (readable) p->work_ready.notify_all();
    return !failed;
}

PyObject* next_from_workers(BatchObject* self) {
    Pipeline* p = self->pipeline;
    if (!top_up(self)) return nullptr;
    // The workers start with the first file to read, so a batch that never reads one (an
    // empty folder, only records made by the caller) starts no thread.
    if (p->workers.empty() && !p->pending.empty()) {
        p->owner = ::getpid();
        try {
            // The caller's thread describes files too (above), so jobs - 1 workers make `jobs`
            // files described at once without more threads than that.
            const int workers = std::max(1, self->jobs - 1);
            for (int i = 0; i < workers; ++i) p->workers.emplace_back([p] { p->work(); });
        } catch (const std::system_error& e) {
            shut_down(self);
            PyErr_Format(PyExc_RuntimeError, "cannot start a worker thread: %s", e.what());
            return nullptr;
        }
    }
    if (p->head == p->tail) {
        shut_down(self);
        return nullptr;
    }
    Slot& s = p->slot(p->head);
    for (;;) {
        bool done;
        std::uint64_t own = 0;
        std::optional<std::string> path;  // the oldest file no worker has taken yet
        {
            std::lock_guard lock(p->mutex);
            done = s.done;
            if (!done && !p->pending.empty()) {
                own = p->pending.front();
                p->pending.pop_front();
                path = std::move(p->slot(own).path);
            }
        }
        if (done) break;
        if (path) {
            // Rather than wait for a worker, the caller describes that file itself, with the
            // GIL released and its signal handlers run as for jobs=1.
            RunOptions options = p->options;
            PyThreadState* saved = PyEval_SaveThread();
            CallerSignals signals(saved);
            options.interrupt = &signals;
            Finished finished = finish(describe(*path, options), p->json);
            PyEval_RestoreThread(saved);
            if (signals.raised()) return nullptr;
            std::lock_guard lock(p->mutex);
            p->waiting_text += text_size(finished);
            p->slot(own).finished.emplace(std::move(finished));
            p->slot(own).done = true;
            continue;
        }
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock lock(p->mutex);
            p->result_ready.wait_for(lock, kSignalPoll, [&] { return s.done; });
        }
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
    // The worker is finished with the slot: it is the caller's alone until it is reused.
    PyObject* tag = s.tag;
    s.tag = nullptr;
    std::optional<Finished> finished = std::move(s.finished);
    s.finished.reset();
    const std::size_t taken = finished ? text_size(*finished) : 0;
    bool room_again;
    {
        std::lock_guard lock(p->mutex);
        ++p->head;
        room_again =
            p->waiting_text >= kMaxWaitingText && p->waiting_text - taken < kMaxWaitingText;
        p->waiting_text -= taken;
    }
    if (room_again) p->work_ready.notify_all();
    PyObject* result = pair(tag, finished ? finished_to_python(std::move(*finished))
                                          : Py_NewRef(Py_None));
    Py_DECREF(tag);
    return result;
}

PyObject* batch_next(PyObject* op) {
    auto* self = reinterpret_cast<BatchObject*>(op);
    if (self->finished) return nullptr;
    if (self->busy) {
        PyErr_SetString(PyExc_ValueError, "batch already executing");
        return nullptr;
    }
    if (self->pipeline && !self->pipeline->workers.empty() &&
        self->pipeline->owner != ::getpid()) {
        shut_down(self);
        PyErr_SetString(PyExc_RuntimeError,
                        "a batch started before a fork cannot go on in the child");
        return nullptr;
    }
    self->busy = true;
    PyObject* result = self->jobs == 0 ? next_inline(self) : next_from_workers(self);
    self->busy = false;
    // Any exception ends the batch: no worker outlives it.
    if (!result && PyErr_Occurred()) {
        PyObject* exc = py::take_exception();
        shut_down(self);
        restore_exception(exc);
    }
    return result;
}

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"items", "jobs", "hash", "json", nullptr};
    PyObject* items;
    int jobs;
    int hash;
    int json = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oip|p:Batch", const_cast<char**>(keywords),
                                     &items, &jobs, &hash, &json)) {
        return nullptr;
    }
    if (jobs < 0 || jobs > kMaxJobs) {
        PyErr_Format(PyExc_ValueError, "jobs must be 0 (the caller's thread) to %d, not %d",
                     kMaxJobs, jobs);
        return nullptr;
    }
    PyObject* iterator = PyObject_GetIter(items);
    if (!iterator) return nullptr;
    auto* self = reinterpret_cast<BatchObject*>(type->tp_alloc(type, 0));
    if (!self) {
        Py_DECREF(iterator);
        return nullptr;
    }
    self->items = iterator;
    self->jobs = jobs;
    self->busy = false;
    self->finished = false;
    try {
        self->pipeline = new Pipeline;
        self->pipeline->ring.resize(
            std::max(kMinSlots, (json ? kJsonSlotsPerWorker : kSlotsPerWorker) *
                                    static_cast<std::size_t>(jobs)));
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    self->pipeline->options.whole_file_pass = hash != 0;
    self->pipeline->json = json != 0;
    return reinterpret_cast<PyObject*>(self);
}

PyObject* batch_close(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<BatchObject*>(op);
    if (self->busy) {
        PyErr_SetString(PyExc_ValueError, "batch already executing");
        return nullptr;
    }
    shut_down(self);
    Py_RETURN_NONE;
}

void batch_finalize(PyObject* op) {
    PyObject* exc = py::take_exception();
    shut_down(reinterpret_cast<BatchObject*>(op));
    restore_exception(exc);
}

int batch_traverse(PyObject* op, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<BatchObject*>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->items);
    if (Pipeline* p = self->pipeline) {
        for (std::uint64_t seq = p->head; seq < p->tail; ++seq) Py_VISIT(p->slot(seq).tag);
    }
    return 0;
}

int batch_clear(PyObject* op) {
    // Workers never touch Python objects, so the references can go before they stop.
    auto* self = reinterpret_cast<BatchObject*>(op);
    Py_CLEAR(self->items);
    if (Pipeline* p = self->pipeline) {
        for (std::uint64_t seq = p->head; seq < p->tail; ++seq) Py_CLEAR(p->slot(seq).tag);
    }
    return 0;
}

void batch_dealloc(PyObject* op) {
    if (PyObject_CallFinalizerFromDealloc(op) < 0) return;
    auto* self = reinterpret_cast<BatchObject*>(op);
    PyObject_GC_UnTrack(op);
    shut_down(self);
    delete self->pipeline;
    self->pipeline = nullptr;
    PyTypeObject* type = Py_TYPE(op);
    type->tp_free(op);
    Py_DECREF(type);
}

PyMethodDef batch_methods[] = {
    {"close", batch_close, METH_NOARGS,
     "close()\n--\n\nStop the workers, wait for them and drop the files in flight."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Batch(items, jobs, hash, json=False)\n--\n\n"
                    "Iterate over (tag, value) for each (tag, path) of `items`, in their order.\n\n"
                    "`path` is the file system's bytes, or None to pass `tag` through with "
                    "value None.\nA file described gives its report as a dict; one that cannot "
                    "be opened or examined\ngives (errno, message). `jobs` worker threads read "
                    "the files with the GIL released;\n0 reads them on the caller's thread. "
                    "`hash` False leaves out the whole-file pass.\n`json` True gives each report "
                    "as the bytes of its JSON text instead of a dict.")},
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(batch_next)},
    {Py_tp_finalize, reinterpret_cast<void*>(batch_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(batch_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(batch_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, batch_methods},
    {0, nullptr},
};

PyType_Spec batch_spec = {
    "vorandix._batch.Batch", sizeof(BatchObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, batch_slots,
};

// A Python binary file object as a byte source, called with the GIL held. A failure of type
// OSError or ValueError is a failed read, reported like any other; any other exception (Ctrl-C,
// a text-mode file) stops the run and is raised by the caller afterwards.
class FileObjectSource final : public ByteSource, public Interrupt {
public:
    explicit FileObjectSource(PyObject* file)
        : file_(file), has_readinto_(PyObject_HasAttrString(file, "readinto")) {}
    ~FileObjectSource() override {
        Py_XDECREF(scratch_);
        Py_XDECREF(raised_);
    }

    // The exception that stopped the run (a new reference, cleared here), or NULL.
    PyObject* take_raised() {
        PyObject* exc = raised_;
        raised_ = nullptr;
        return exc;
    }

    bool requested() override {
        if (!raised_ && PyErr_CheckSignals() < 0) raised_ = py::take_exception();
        return raised_ != nullptr;
    }

    IoResult<std::size_t> read(std::uint8_t* buf, std::size_t n) override {
        if (raised_) return stopped();
        n = std::min(n, kMaxFileObjectRead);
        if (n == 0) return std::size_t{0};
        if (!scratch_ || static_cast<std::size_t>(PyByteArray_GET_SIZE(scratch_)) < n) {
            Py_CLEAR(scratch_);
            scratch_ = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
            if (!scratch_) return failure();
        }
        // readinto fills a buffer the source owns; without it, read() gives at most n bytes.
        PyObject* got;
        const char* data;
        if (has_readinto_) {
            PyObject* view = PyMemoryView_FromObject(scratch_);
            PyObject* window = view ? PySequence_GetSlice(view, 0, static_cast<Py_ssize_t>(n))
                                    : nullptr;
            Py_XDECREF(view);
            got = window ? PyObject_CallMethod(file_, "readinto", "O", window) : nullptr;
            Py_XDECREF(window);
            if (!got) return failure();
            if (got == Py_None) {
                Py_DECREF(got);
                return IoError{"the file object has no data ready (non-blocking)", 0};
            }
            const Py_ssize_t count = PyLong_AsSsize_t(got);
            Py_DECREF(got);
            if (count == -1 && PyErr_Occurred()) return failure();
            if (count < 0 || static_cast<std::size_t>(count) > n) {
                return IoError{"readinto() reported a count outside the buffer", 0};
            }
            data = PyByteArray_AS_STRING(scratch_);
            std::memcpy(buf, data, static_cast<std::size_t>(count));
            return static_cast<std::size_t>(count);
        }
        got = PyObject_CallMethod(file_, "read", "n", static_cast<Py_ssize_t>(n));
        if (!got) return failure();
        if (got == Py_None) {
            Py_DECREF(got);
            return IoError{"the file object has no data ready (non-blocking)", 0};
        }
        Py_buffer bytes;
        if (PyObject_GetBuffer(got, &bytes, PyBUF_SIMPLE) != 0) {
            Py_DECREF(got);
            PyErr_Format(PyExc_TypeError, "parse_file() needs a binary file object: read() "
                                          "returned something other than bytes");
            return failure();
        }
        const auto count = static_cast<std::size_t>(bytes.len);
        if (count > n) {
            PyBuffer_Release(&bytes);
            Py_DECREF(got);
            return IoError{"read() returned more bytes than asked for", 0};
        }
        std::memcpy(buf, bytes.buf, count);
        PyBuffer_Release(&bytes);
        Py_DECREF(got);
        return count;
    }

    IoResult<std::uint64_t> seek(std::int64_t offset, Whence whence) override {
        if (raised_) return stopped();
        // A position from the start is taken as unsigned, as the other sources take it.
        PyObject* target = whence == Whence::Start
                               ? PyLong_FromUnsignedLongLong(static_cast<std::uint64_t>(offset))
                               : PyLong_FromLongLong(offset);
        if (!target) return failure();
        const int from = whence == Whence::Start ? 0 : whence == Whence::Current ? 1 : 2;
        PyObject* got = PyObject_CallMethod(file_, "seek", "Ni", target, from);
        if (!got) return failure();
        const unsigned long long position = PyLong_AsUnsignedLongLong(got);
        Py_DECREF(got);
        if (position == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            return failure();
        }
        return static_cast<std::uint64_t>(position);
    }

private:
    static IoError stopped() { return IoError{"the call was interrupted", 0}; }

    // Turns the pending exception into the read's failure, or keeps it to be raised.
    IoError failure() {
        PyObject* exc = py::take_exception();
        if (!exc) return IoError{"unknown failure", 0};
        if (!PyErr_GivenExceptionMatches(exc, PyExc_OSError) &&
            !PyErr_GivenExceptionMatches(exc, PyExc_ValueError)) {
            raised_ = exc;
            return stopped();
        }
        IoError error = describe_exception(exc);
        Py_DECREF(exc);
        return error;
    }

    // "<strerror> (os error N)" as the engine writes the system's failures; otherwise the
    // exception's own text.
    static IoError describe_exception(PyObject* exc) {
        IoError error{"", 0};
        if (PyErr_GivenExceptionMatches(exc, PyExc_OSError)) {
            auto* os = reinterpret_cast<PyOSErrorObject*>(exc);
            if (os->myerrno && PyLong_Check(os->myerrno) && os->strerror &&
                PyUnicode_Check(os->strerror)) {
                const int code = PyLong_AsLong(os->myerrno);
                const char* text = PyUnicode_AsUTF8(os->strerror);
                if (text && !PyErr_Occurred()) {
                    return IoError{std::string(text) + " (os error " + std::to_string(code) + ")",
                                   code};
                }
                PyErr_Clear();
            }
        }
        PyObject* text = PyObject_Str(exc);
        const char* utf8 = text ? PyUnicode_AsUTF8(text) : nullptr;
        if (utf8) {
            error.message = utf8;
        } else {
            PyErr_Clear();
            error.message = "unknown failure";
        }
        Py_XDECREF(text);
        if (error.message.empty()) error.message = Py_TYPE(exc)->tp_name;
        return error;
    }

    PyObject* file_;
    bool has_readinto_;
    PyObject* scratch_ = nullptr;
    PyObject* raised_ = nullptr;
};

// name as the file system's bytes (str, bytes or os.PathLike); NULL with the error set.
PyObject* name_bytes(PyObject* name) {
    PyObject* fs = PyOS_FSPath(name);
    if (!fs) return nullptr;
    if (PyBytes_Check(fs)) return fs;
    PyObject* encoded = PyUnicode_EncodeFSDefault(fs);
    Py_DECREF(fs);
    return encoded;
}

PyObject* parse_file(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fileobj", "name", "hash", nullptr};
    PyObject* file;
    PyObject* name = Py_None;
    int hash = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Op:parse_file",
                                     const_cast<char**>(keywords), &file, &name, &hash)) {
        return nullptr;
    }
    for (const char* method : {"read", "seek"}) {
        if (!PyObject_HasAttrString(file, method)) {
            PyErr_Format(PyExc_TypeError, "parse_file() needs a file object with read() and "
                                          "seek(); '%s' has no %s()",
                         Py_TYPE(file)->tp_name, method);
            return nullptr;
        }
    }
    std::optional<std::string> file_name;
    if (name != Py_None) {
        PyObject* encoded = name_bytes(name);
        if (!encoded) return nullptr;
        file_name.emplace(PyBytes_AS_STRING(encoded),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
        Py_DECREF(encoded);
    }

    // The length, and where the caller left the object, which is restored afterwards. A file
    // object that cannot tell either cannot be described.
    PyObject* start = PyObject_CallMethod(file, "seek", "ii", 0, 1);
    if (!start) return nullptr;
    PyObject* end = PyObject_CallMethod(file, "seek", "ii", 0, 2);
    if (!end) {
        Py_DECREF(start);
        return nullptr;
    }
    const unsigned long long size = PyLong_AsUnsignedLongLong(end);
    Py_DECREF(end);
    if (size == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        Py_DECREF(start);
        return nullptr;
    }

    FileObjectSource source(file);
    RunOptions options;
    options.whole_file_pass = hash != 0;
    options.interrupt = &source;
    std::optional<Report> report;
    try {
        report.emplace(file_name ? run_on_file(source, *file_name, FileFacts{size, {}, {}}, options)
                                 : run_extractors(source, size, options));
    } catch (const std::bad_alloc&) {
        Py_DECREF(start);
        return PyErr_NoMemory();
    }

    PyObject* raised = source.take_raised();
    PyObject* restored = PyObject_CallMethod(file, "seek", "Oi", start, 0);
    Py_DECREF(start);
    if (restored) {
        Py_DECREF(restored);
    } else if (!raised) {
        raised = py::take_exception();
    } else {
        PyErr_Clear();
    }
    if (raised) {
        restore_exception(raised);
        return nullptr;
    }
    return py::report_to_python(std::move(*report));
}

// For tests: the text a float gets in the command's JSON lines.
PyObject* json_float(PyObject*, PyObject* arg) {
    const double value = PyFloat_AsDouble(arg);
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    if (!std::isfinite(value)) {
        PyErr_SetString(PyExc_ValueError, "reports hold finite floats only");
        return nullptr;
    }
    const std::string text = py::python_float_text(value);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyMethodDef module_methods[] = {
    {"parse_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_file)),
     METH_VARARGS | METH_KEYWORDS,
     "parse_file(fileobj, name=None, hash=True)\n--\n\n"
     "Describe a binary file object through its read()/readinto() and seek() methods."},
    {"_json_float", json_float, METH_O, "The text a finite float gets in JSON lines."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
    for (auto [name, type_spec] :
         {std::pair{"Batch", &batch_spec}, std::pair{"Rows", &py::rows_spec},
          std::pair{"ParquetEncoder", &py::parquet_encoder_spec}}) {
        PyObject* type = PyType_FromModuleAndSpec(module, type_spec, nullptr);
        if (!type) return -1;
        const int rc = PyModule_AddObjectRef(module, name, type);
        Py_DECREF(type);
        if (rc < 0) return -1;
    }
    return PyModule_AddIntConstant(module, "MAX_JOBS", kMaxJobs);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorandix._batch",
    "The native helpers of the vorandix package: a batch of paths described on worker threads, "
    "a file object described through its methods, and records built into Arrow columns.",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__batch(void) { return PyModuleDef_Init(&module_def); }
