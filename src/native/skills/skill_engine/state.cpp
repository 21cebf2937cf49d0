// Persistent skill state: one JSON object per skill name, read and written
// whole on every call; nothing is cached.
#include "context.hpp"
#include "messages.hpp"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvik::skills {

namespace {

using py::Param;
using py::PyError;
using py::Type;

Ref state_file(Borrowed self) { return py::getattr(self, names()._state_file); }

Ref new_dict() { return py::steal_or_throw(PyDict_New()); }

Ref integer(long value) { return py::steal_or_throw(PyLong_FromLong(value)); }

// mapping.get(key, fallback), straight from the table for a plain dict.
Ref get_or(Borrowed mapping, Borrowed key, Borrowed fallback) {
    if (!PyDict_CheckExact(mapping.get())) return py::call_method(mapping, names().get, key, fallback);
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(mapping.get(), key.get(), &value) < 0) py::throw_pending();
    return value ? py::steal(value) : py::borrow(fallback);
}

// Calls that tidy up after a failure must not hide it: their own ordinary
// failures are dropped.
template <class F>
void quietly(F&& tidy) {
    try {
        tidy();
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
    }
}

Ref file_system_name(Borrowed path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path.get(), &encoded)) py::throw_pending();
    return py::steal(encoded);
}

// Where a save puts the new content, as writing the file in place would:
// through a symbolic link to the file it names, keeping the permission bits
// of a file already there, and refused with the same error when the caller
// may not write that file.
struct Destination {
    Ref path;         // the file to replace
    mode_t mode = 0;  // its permission bits, when it exists
    bool exists = false;
};

Destination destination_of(Borrowed os, Borrowed state_file) {
    Destination d{py::borrow(state_file)};
    struct stat info {};
    if (::lstat(PyBytes_AS_STRING(file_system_name(state_file).get()), &info) == 0 && S_ISLNK(info.st_mode))
        d.path = py::call_method(py::getattr(os, names().path), names().realpath, state_file);
    Ref name = file_system_name(d.path);
    if (::stat(PyBytes_AS_STRING(name.get()), &info) != 0) return d;
    d.exists = true;
    d.mode = info.st_mode & 07777;
    if (::access(PyBytes_AS_STRING(name.get()), W_OK) != 0 && errno == EACCES) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, state_file.get());
        py::throw_pending();
    }
    return d;
}

// A new file beside `destination`, created exclusively; its name is unique
// within the process, and a leftover of another process that happens to
// carry it is skipped. A failure names the state file, as writing it in
// place would.
Ref open_temporary(Borrowed os, Borrowed destination, Borrowed state_file, Ref& temporary) {
    static unsigned long serial = 0;
    constexpr int attempts = 100;
    Ref flags = integer(O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC);
    Ref mode = integer(0666);
    for (int attempt = 1;; ++attempt) {
        temporary = py::steal_or_throw(
            PyUnicode_FromFormat("%S.%ld.%lu.tmp", destination.get(), static_cast<long>(getpid()), ++serial));
        try {
            return py::call_method(os, names().open_, temporary, flags, mode);
        } catch (PyError& e) {
            if (e.matches(PyExc_FileExistsError) && attempt < attempts) continue;
            if (e.matches(PyExc_OSError)) py::setattr(e.value(), names().filename, state_file);
            throw;
        }
    }
}

void write_all(Borrowed os, Borrowed fd, Borrowed data) {
    const char* next = PyBytes_AS_STRING(data.get());
    Py_ssize_t left = PyBytes_GET_SIZE(data.get());
    while (left > 0) {
        Ref chunk = py::steal_or_throw(PyBytes_FromStringAndSize(next, left));
        Py_ssize_t written = PyLong_AsSsize_t(py::call_method(os, names().write_, fd, chunk).get());
        if (written == -1 && PyErr_Occurred()) py::throw_pending();
        next += written;
        left -= written;
    }
}

// Replaces the state file's content with `text` without ever leaving it
// half-written: the text goes to a temporary file in the same directory,
// is flushed to disk, and the temporary file is then renamed over the state
// file. On any failure the temporary file is removed, the state file keeps
// its previous content and the error propagates.
void replace_state_file(Borrowed state_file, Borrowed text) {
    const Names& n = names();
    Ref data = py::steal_or_throw(PyUnicode_AsUTF8String(text.get()));
    Ref os = module_global(n.os);
    Ref state_path = py::steal_or_throw(PyOS_FSPath(state_file.get()));
    Destination destination = destination_of(os, state_path);
    Ref temporary;
    Ref fd = open_temporary(os, destination.path, state_path, temporary);
    bool open = true;
    try {
        if (destination.exists) py::call_method(os, n.fchmod, fd, integer(destination.mode));
        write_all(os, fd, data);
        py::call_method(os, n.fsync, fd);
        open = false;
        py::call_method(os, py::id<"close">, fd);
        py::call_method(os, n.replace, temporary, destination.path);
    } catch (PyError&) {
        if (open) quietly([&] { py::call_method(os, py::id<"close">, fd); });
        quietly([&] { py::call_method(os, n.unlink, temporary); });
        throw;
    }
}

Ref load_full_state_body(const Args& a) {
    const Names& n = names();
    Ref file = state_file(a[0]);
    if (!py::truth(py::call_method(file, n.exists))) return new_dict();
    try {
        Ref text = py::call_method(file, n.read_text);
        Ref state = py::call_method(module_global(n.json), n.loads, text);
        if (PyDict_Check(state.get())) return state;
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
    }
    return new_dict();
}

Ref save_state_body(const Args& a) {
    const Names& n = names();
    Borrowed self = a[0], key = a[1], value = a[2];
    Ref state = py::call_method(self, n._load_full_state);
    py::check(PyObject_SetItem(state.get(), key.get(), value.get()));
    Ref text = py::call_method_kw(module_global(n.json), n.dumps, {state},
                                  {{n.indent, integer(2)}, {n.default_, reinterpret_cast<PyObject*>(&PyUnicode_Type)}});
    replace_state_file(state_file(self), text);
    return py::none();
}

Ref load_state_body(const Args& a) {
    Ref state = py::call_method(a[0], names()._load_full_state);
    return get_or(state, a[1], a[2]);
}

Ref clear_state_body(const Args& a) {
    const Names& n = names();
    Ref file = state_file(a[0]);
    if (py::truth(py::call_method(file, n.exists))) py::call_method(file, n.unlink);
    return py::none();
}

constexpr Param self_only[] = {py::self_param};
constexpr Param save_params[] = {py::self_param, {"key", Type::str}, {"value"}};
constexpr Param load_params[] = {py::self_param, {"key", Type::str}, {"default", Type::any, py::defaults::none}};

}  // namespace

const py::FunctionDef save_state_def{"save_state",    save_params, msg::save_state_doc, save_state_body, nullptr,
                                     py::Result::any, "None"};
const py::FunctionDef load_state_def{"load_state", load_params, msg::load_state_doc, load_state_body};
const py::FunctionDef load_full_state_def{"_load_full_state",   self_only, msg::load_full_state_doc,
                                          load_full_state_body, nullptr,   py::Result::dict};
const py::FunctionDef clear_state_def{"clear_state",   self_only, msg::clear_state_doc, clear_state_body, nullptr,
                                      py::Result::any, "None"};

}  // namespace zorvik::skills
