// Files and documents: text files and titled documents, rooted in the skill's
// output directory.
#include "context.hpp"
#include "messages.hpp"

#include <cerrno>
#include <memory>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvik::skills {

namespace {

using py::Param;
using py::Type;

// ------------------------------------------------------------ text file I/O
//
// Done here rather than through the interpreter's open(), with the same
// outcome: UTF-8, the text-mode newline rules, and failures as the
// interpreter's OSError subclasses carrying errno and the file name.

[[noreturn]] void raise_os_error(Borrowed filename, int error) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
    py::throw_pending();
}

// Runs a blocking system call without the GIL; a call interrupted by a
// signal is repeated once the interpreter's handlers have run, as its own
// file objects do.
template <class F>
auto system_call(Borrowed filename, F&& call) {
    for (;;) {
        decltype(call()) r;
        int error;
        Py_BEGIN_ALLOW_THREADS r = call();
        error = errno;
        Py_END_ALLOW_THREADS if (r >= 0) return r;
        if (error != EINTR) raise_os_error(filename, error);
        if (PyErr_CheckSignals() < 0) py::throw_pending();
    }
}

class OpenFile {
public:
    OpenFile(Borrowed path, int flags) : path_(path) {
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(path.get(), &encoded)) py::throw_pending();
        Ref name = py::steal(encoded);
        const char* c_name = PyBytes_AS_STRING(name.get());
        fd_ = system_call(path, [&] { return ::open(c_name, flags | O_CLOEXEC, 0666); });
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() {
        if (fd_ >= 0) ::close(fd_);
    }

    int fd() const noexcept { return fd_; }
    [[noreturn]] void fail(int error) const { raise_os_error(path_, error); }
    void close() {
        int fd = std::exchange(fd_, -1);
        if (::close(fd) < 0 && errno != EINTR) fail(errno);
    }

private:
    Borrowed path_;
    int fd_ = -1;
};

// Replaces the file's content with `text` as UTF-8. The text is encoded
// before the file is opened, so a text that cannot be encoded leaves an
// existing file as it was.
void write_text_file(Borrowed path, Borrowed text) {
    Ref data = py::steal_or_throw(PyUnicode_AsUTF8String(text.get()));
    const char* next = PyBytes_AS_STRING(data.get());
    Py_ssize_t left = PyBytes_GET_SIZE(data.get());
    OpenFile file(path, O_WRONLY | O_CREAT | O_TRUNC);
    while (left > 0) {
        ssize_t written = system_call(path, [&] { return ::write(file.fd(), next, static_cast<size_t>(left)); });
        next += written;
        left -= written;
    }
    file.close();
}

// Universal newlines, as text mode reads: "\r\n" and a lone "\r" become "\n".
Ref translate_newlines(Ref text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    Py_ssize_t found = PyUnicode_FindChar(text.get(), '\r', 0, length, 1);
    if (found == -2) py::throw_pending();
    if (found < 0) return text;
    Ref newline = py::text("\n");
    Ref pairs = py::steal_or_throw(PyUnicode_Replace(text.get(), py::text("\r\n").get(), newline.get(), -1));
    return py::steal_or_throw(PyUnicode_Replace(pairs.get(), py::text("\r").get(), newline.get(), -1));
}

Ref read_text_file(Borrowed path) {
    OpenFile file(path, O_RDONLY);
    struct stat info {};
    system_call(path, [&] { return ::fstat(file.fd(), &info); });
    if (S_ISDIR(info.st_mode)) file.fail(EISDIR);
    std::string data;
    data.resize(info.st_size > 0 ? static_cast<std::size_t>(info.st_size) + 1 : 4096);
    std::size_t used = 0;
    for (;;) {
        if (used == data.size()) data.resize(data.size() * 2);
        ssize_t got = system_call(path, [&] { return ::read(file.fd(), data.data() + used, data.size() - used); });
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    file.close();
    Ref text = py::steal_or_throw(PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(used), "strict"));
    return translate_newlines(std::move(text));
}

// ------------------------------------------------------------ paths

Ref output_path(Borrowed self, Borrowed name) {
    Ref directory = py::getattr(self, names()._output_dir);
    return py::str_of(py::steal_or_throw(PyNumber_TrueDivide(directory.get(), name.get())));
}

// An absolute path (os.path.isabs on this platform: a leading "/") stands
// as it is; any other is taken within the output directory, not normalised.
Ref resolve(Borrowed self, Borrowed path) {
    if (PyUnicode_GET_LENGTH(path.get()) > 0 && PyUnicode_READ_CHAR(path.get(), 0) == '/') return py::borrow(path);
    return output_path(self, path);
}

void make_parent_directory(Borrowed path) {
    const Names& n = names();
    Ref parent = py::getattr(py::call(module_global(n.Path), path), n.parent);
    py::call_method_kw(parent, n.mkdir, {}, {{n.parents, Py_True}, {n.exist_ok, Py_True}});
}

// ------------------------------------------------------------ documents

struct PyMemFree {
    void operator()(Py_UCS4* p) const noexcept { PyMem_Free(p); }
};

// The title with every character that is neither alphanumeric (the
// interpreter's Unicode classes, as str.isalnum) nor one of " -_" replaced
// by "_".
Ref safe_title(Borrowed title) {
    std::unique_ptr<Py_UCS4, PyMemFree> chars(PyUnicode_AsUCS4Copy(title.get()));
    if (!chars) py::throw_pending();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(title.get());
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4& c = chars.get()[i];
        if (!Py_UNICODE_ISALNUM(c) && c != ' ' && c != '-' && c != '_') c = '_';
    }
    return py::steal_or_throw(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.get(), length));
}

// title, "\n", one "=" per character of the title, "\n\n", content.
Ref plain_layout(Borrowed title, Borrowed content) {
    Ref rule = py::steal_or_throw(PySequence_Repeat(py::text("=").get(), PyUnicode_GET_LENGTH(title.get())));
    return py::steal_or_throw(PyUnicode_FromFormat("%U\n%U\n\n%U", title.get(), rule.get(), content.get()));
}

Ref markdown_layout(Borrowed title, Borrowed content) {
    return py::steal_or_throw(PyUnicode_FromFormat("# %U\n\n%U", title.get(), content.get()));
}

// A Word document through python-docx, imported now; false when the library
// cannot be imported (or raises ImportError while building the document).
bool write_word_document(Borrowed title, Borrowed content, Borrowed path) {
    const Names& n = names();
    try {
        Ref docx = py::import("docx");
        PyObject* found = nullptr;
        if (PyObject_GetOptionalAttr(docx.get(), n.Document, &found) < 0) py::throw_pending();
        if (!found) return false;  // `from docx import Document` would raise ImportError
        Ref document = py::call(py::steal(found));
        Ref title_level = py::steal_or_throw(PyLong_FromLong(0));
        py::call_method(document, n.add_heading, title, title_level);
        Ref chunks = py::steal_or_throw(PyUnicode_Split(content.get(), py::text("\n\n").get(), -1));
        for (Py_ssize_t i = 0, count = PyList_GET_SIZE(chunks.get()); i < count; ++i) {
            Ref chunk = py::call_method(PyList_GET_ITEM(chunks.get(), i), n.strip);
            if (PyUnicode_GET_LENGTH(chunk.get()) > 0) py::call_method(document, n.add_paragraph, chunk);
        }
        py::call_method(document, n.save, path);
        return true;
    } catch (py::PyError& e) {
        if (e.matches(PyExc_ImportError)) return false;
        throw;
    }
}

Ref create_document_body(const Args& a) {
    Borrowed self = a[0], title = a[1], content = a[2], format = a[3], filename = a[4];
    Ref name = py::borrow(filename);
    if (PyUnicode_GET_LENGTH(filename.get()) == 0)
        name = py::steal_or_throw(PyUnicode_FromFormat("%U.%U", safe_title(title).get(), format.get()));
    Ref path = output_path(self, name);
    if (PyUnicode_EqualToUTF8(format.get(), "docx")) {
        if (!write_word_document(title, content, path)) {
            path =
                py::steal_or_throw(PyUnicode_Replace(path.get(), py::text(".docx").get(), py::text(".txt").get(), -1));
            write_text_file(path, plain_layout(title, content));
        }
    } else if (PyUnicode_EqualToUTF8(format.get(), "md")) {
        write_text_file(path, markdown_layout(title, content));
    } else {
        write_text_file(path, plain_layout(title, content));
    }
    log(self, py::steal_or_throw(PyUnicode_FromFormat("%s%U", msg::created_document, path.get())));
    return path;
}

Ref write_file_body(const Args& a) {
    Borrowed self = a[0], content = a[2];
    Ref path = resolve(self, a[1]);
    make_parent_directory(path);
    write_text_file(path, content);
    log(self, py::steal_or_throw(PyUnicode_FromFormat("%s%U (%zd chars)", msg::wrote_file, path.get(),
                                                      PyUnicode_GET_LENGTH(content.get()))));
    return path;
}

Ref read_file_body(const Args& a) { return read_text_file(resolve(a[0], a[1])); }

constexpr Param write_params[] = {py::self_param, {"path", Type::str}, {"content", Type::str}};
constexpr Param read_params[] = {py::self_param, {"path", Type::str}};
constexpr Param document_params[] = {
    py::self_param,
    {"title", Type::str},
    {"content", Type::str},
    {"format", Type::str, py::defaults::text("txt")},
    {"filename", Type::str, py::defaults::text("")},
};

}  // namespace

const py::FunctionDef write_file_def{"write_file",    write_params, msg::write_file_doc,
                                     write_file_body, nullptr,      py::Result::str};
const py::FunctionDef read_file_def{"read_file",    read_params, msg::read_file_doc,
                                    read_file_body, nullptr,     py::Result::str};
const py::FunctionDef create_document_def{"create_document",    document_params, msg::create_document_doc,
                                          create_document_body, nullptr,         py::Result::str};

}  // namespace zorvik::skills
