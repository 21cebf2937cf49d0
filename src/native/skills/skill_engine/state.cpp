// Persistent skill state: one JSON object per skill name, read and written
// whole on every call; nothing is cached.
#include "context.hpp"

#include <cerrno>

namespace zorvik::skills {

namespace {

using py::PyError;
using py::Type;

Ref state_file(Borrowed self) { return py::getattr(self, id<"_state_file">); }

Ref new_dict() { return py::steal_or_throw(PyDict_New()); }

// The file a save replaces, as writing the state file in place would reach
// it: through a symbolic link, the file the link names.
Ref destination(Borrowed os, Borrowed state_path) {
    Ref os_path = py::getattr(os, id<"path">);
    if (py::truth(py::call_method(os_path, id<"islink">, state_path)))
        return py::call_method(os_path, id<"realpath">, state_path);
    return py::borrow(state_path);
}

// The permission bits of the file being replaced, which the new one keeps;
// none when there is no such file. A file the caller may not write is not
// replaced either: that save is refused as writing in place would be.
Ref kept_mode(Borrowed os, Borrowed target, Borrowed state_path) {
    Ref mode;
    try {
        mode = py::getattr(py::call_method(os, id<"stat">, target), id<"st_mode">);
    } catch (PyError& e) {
        if (e.matches(PyExc_OSError)) return {};
        throw;
    }
    if (!py::truth(py::call_method(os, id<"access">, target, py::getattr(os, id<"W_OK">)))) {
        errno = EACCES;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, state_path.get());
        py::throw_pending();
    }
    return py::steal_or_throw(PyNumber_And(mode.get(), py::steal_or_throw(PyLong_FromLong(07777)).get()));
}

// A new file beside `target`, created exclusively; a name already taken
// (a leftover, or another thread's save) is skipped. A failure names the
// state file, as writing it in place would.
Ref open_temporary(Borrowed os, Borrowed target, Borrowed state_path, Ref& temporary) {
    constexpr int attempts = 100;
    Ref pid = py::call_method(os, id<"getpid">);
    for (int attempt = 0;; ++attempt) {
        temporary = py::steal_or_throw(PyUnicode_FromFormat("%S.%S.%d.tmp", target.get(), pid.get(), attempt));
        try {
            return open_text(temporary, "x");
        } catch (PyError& e) {
            if (e.matches(PyExc_FileExistsError) && attempt + 1 < attempts) continue;
            if (e.matches(PyExc_OSError)) py::setattr(e.value(), id<"filename">, state_path);
            throw;
        }
    }
}

// Replaces the state file's content with `text` without ever leaving it
// half-written: the text goes to a temporary file in the same directory,
// is flushed to disk, and the temporary file is then renamed over the state
// file. On any failure the temporary file is removed, the state file keeps
// its previous content and the error propagates.
void replace_state_file(Borrowed state_file, Borrowed text) {
    Ref os = module_global(id<"os">);
    Ref state_path = py::steal_or_throw(PyOS_FSPath(state_file.get()));
    Ref target = destination(os, state_path);
    Ref mode = kept_mode(os, target, state_path);
    Ref temporary;
    Ref file = open_temporary(os, target, state_path, temporary);
    try {
        Ref fd = py::call_method(file, id<"fileno">);
        if (mode) py::call_method(os, id<"fchmod">, fd, mode);
        py::call_method(file, id<"write">, text);
        py::call_method(file, id<"flush">);
        py::call_method(os, id<"fsync">, fd);
        py::call_method(file, id<"close">);
        py::call_method(os, id<"replace">, temporary, target);
    } catch (PyError&) {
        close_quietly(file);
        py::quietly([&] { py::call_method(os, id<"unlink">, temporary); });
        throw;
    }
}

// Saves exclude one another, across contexts, threads and processes, through
// an advisory lock on the directory holding the state file: no lock file
// appears beside the state, and readers, who see the file replaced whole,
// never wait. A change made while this thread already holds a state lock
// (from a value's __str__, or an overridden _load_full_state) runs inside
// that lock instead of waiting for itself. A directory that cannot be opened
// is not locked: the change then fails, or succeeds, as it would without it.
class StateLock {
public:
    explicit StateLock(Borrowed state_file) {
        if (held_by_this_thread > 0) return;
        os_ = module_global(id<"os">);
        Ref fd;
        try {
            Ref state_path = py::steal_or_throw(PyOS_FSPath(state_file.get()));
            Ref directory = py::call_method(py::getattr(os_, id<"path">), id<"dirname">, state_path);
            if (!py::truth(directory)) directory = py::getattr(os_, id<"curdir">);
            fd = py::call_method(os_, id<"open">, directory, py::getattr(os_, id<"O_RDONLY">));
        } catch (PyError& e) {
            if (e.matches(PyExc_OSError) || e.matches(PyExc_TypeError)) return;
            throw;
        }
        try {
            fcntl_ = py::import("fcntl");
            py::call_method(fcntl_, id<"flock">, fd, py::getattr(fcntl_, id<"LOCK_EX">));
        } catch (PyError&) {
            close_descriptor_quietly(fd);
            throw;
        }
        fd_ = std::move(fd);
        ++held_by_this_thread;
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

    // Unlocks before closing, so that a copy of the descriptor inherited by a
    // forked child cannot keep the lock.
    void release() {
        if (!fd_) return;
        Ref fd = std::move(fd_);
        --held_by_this_thread;
        try {
            py::call_method(fcntl_, id<"flock">, fd, py::getattr(fcntl_, id<"LOCK_UN">));
        } catch (PyError&) {
            close_descriptor_quietly(fd);
            throw;
        }
        py::call_method(os_, id<"close">, fd);
    }

private:
    void close_descriptor_quietly(Borrowed fd) {
        py::quietly([&] { py::call_method(os_, id<"close">, fd); });
    }

    static thread_local int held_by_this_thread;
    Ref os_;
    Ref fcntl_;
    Ref fd_;  // none when this change holds no lock
};

thread_local int StateLock::held_by_this_thread = 0;

// Runs `change` holding the state lock and releases it afterwards, as a
// `finally` block would: after a failed change, an ordinary failure to
// release gives way to the change's own failure, and a BaseException (a
// KeyboardInterrupt) wins, with the change's failure as its context.
template <class F>
void while_locked(Borrowed state_file, F&& change) {
    StateLock lock(state_file);
    try {
        change();
    } catch (...) {
        PyError failure = PyError::current();
        try {
            py::quietly([&] { lock.release(); });
        } catch (PyError& e) {
            e.set_context(failure.take());
            throw;
        }
        throw failure;
    }
    lock.release();
}

Ref load_full_state_body(const Args& a) {
    Ref file = state_file(a[0]);
    Ref state;
    if (py::truth(py::call_method(file, id<"exists">)))
        py::quietly([&] { state = py::call(global_attr(id<"json">, id<"loads">), read_text(file)); });
    return state && PyDict_Check(state.get()) ? state : new_dict();
}
constexpr py::FunctionDef load_full_def{
    .name = "_load_full_state", .body = load_full_state_body, .params = {py::self_param}, .returns = "dict"};

Ref save_state_body(const Args& a) {
    Borrowed self = a[0], key = a[1], value = a[2];
    Ref file = state_file(self);
    while_locked(file, [&] {
        Ref state = py::call_method(self, id<"_load_full_state">);
        py::check(PyObject_SetItem(state.get(), key.get(), value.get()));
        Ref indent = py::steal_or_throw(PyLong_FromLong(2));
        Ref text = py::call_kw(global_attr(id<"json">, id<"dumps">), {state},
                               {{id<"indent">, indent}, {id<"default">, reinterpret_cast<PyObject*>(&PyUnicode_Type)}});
        replace_state_file(file, text);
    });
    return py::none();
}
constexpr py::FunctionDef save_def{
    .name = "save_state", .body = save_state_body, .params = {py::self_param, {"key", Type::str}, {"value"}},
    .doc = "Save a value to persistent state (survives restarts).\n"
           "        \n"
           "        State is stored per-skill in ~/.zorvik/skill_state/{skill_name}.json\n"
           "        ",
    .returns = "None"};

Ref load_state_body(const Args& a) {
    return py::call_method(py::call_method(a[0], id<"_load_full_state">), id<"get">, a[1], a[2]);
}
constexpr py::FunctionDef load_def{
    .name = "load_state", .body = load_state_body,
    .params = {py::self_param, {"key", Type::str}, {"default", Type::any, py::defaults::none}},
    .doc = "Load a value from persistent state."};

Ref clear_state_body(const Args& a) {
    Ref file = state_file(a[0]);
    while_locked(file, [&] {
        if (py::truth(py::call_method(file, id<"exists">))) py::call_method(file, id<"unlink">);
    });
    return py::none();
}
constexpr py::FunctionDef clear_def{
    .name = "clear_state", .body = clear_state_body, .params = {py::self_param},
    .doc = "Clear all persistent state for this skill.", .returns = "None"};

constexpr const py::FunctionDef* methods[] = {&save_def, &load_def, &load_full_def, &clear_def};

}  // namespace

const Methods state_methods{methods};

}  // namespace zorvik::skills
