// Files and documents: text files and titled documents, rooted in the skill's
// output directory.
#include "context.hpp"
#include "messages.hpp"

#include <memory>

namespace zorvik::skills {

Ref open_text(Borrowed path, const char* mode) {
    return py::call_kw(builtin(id<"open">), {path, py::text(mode)}, {{id<"encoding">, py::text("utf-8")}});
}

// Closing a file after a failure must not hide that failure.
void close_quietly(Borrowed file) {
    py::quietly([&] { py::call_method(file, id<"close">); });
}

Ref read_text(Borrowed path) {
    Ref file = open_text(path, "r");
    Ref text;
    try {
        text = py::call_method(file, id<"read">);
    } catch (py::PyError&) {
        close_quietly(file);
        throw;
    }
    py::call_method(file, id<"close">);
    return text;
}

namespace {

using py::Type;

// Replaces the file's content with `text`. A text that cannot be encoded is
// refused before the file is opened, so an existing file keeps its content.
void replace_text(Borrowed path, Borrowed text) {
    py::utf8(text);
    Ref file = open_text(path, "w");
    try {
        py::call_method(file, id<"write">, text);
    } catch (py::PyError&) {
        close_quietly(file);
        throw;
    }
    py::call_method(file, id<"close">);
}

Ref output_path(Borrowed self, Borrowed name) {
    Ref directory = py::getattr(self, id<"_output_dir">);
    return py::str_of(py::steal_or_throw(PyNumber_TrueDivide(directory.get(), name.get())));
}

// An absolute path stands as it is; any other is taken within the output
// directory, not normalised.
Ref resolve(Borrowed self, Borrowed path) {
    if (py::truth(py::call_method(global_attr(id<"os">, id<"path">), id<"isabs">, path))) return py::borrow(path);
    return output_path(self, path);
}

void make_parent_directory(Borrowed path) {
    Ref parent = py::getattr(py::call(module_global(id<"Path">), path), id<"parent">);
    py::call_method_kw(parent, id<"mkdir">, {}, {{id<"parents">, Py_True}, {id<"exist_ok">, Py_True}});
}

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
    try {
        Ref document = py::call(import_from("docx", id<"Document">));
        py::call_method(document, id<"add_heading">, title, py::steal_or_throw(PyLong_FromLong(0)));
        Ref chunks = py::steal_or_throw(PyUnicode_Split(content.get(), py::text("\n\n").get(), -1));
        for (Py_ssize_t i = 0, count = PyList_GET_SIZE(chunks.get()); i < count; ++i) {
            Ref chunk = py::call_method(PyList_GET_ITEM(chunks.get(), i), id<"strip">);
            if (PyUnicode_GET_LENGTH(chunk.get()) > 0) py::call_method(document, id<"add_paragraph">, chunk);
        }
        py::call_method(document, id<"save">, path);
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
            replace_text(path, plain_layout(title, content));
        }
    } else if (PyUnicode_EqualToUTF8(format.get(), "md")) {
        replace_text(path, markdown_layout(title, content));
    } else {
        replace_text(path, plain_layout(title, content));
    }
    log(self, prefixed(msg::created_document, path));
    return path;
}
constexpr py::FunctionDef document_def{
    .name = "create_document", .body = create_document_body,
    .params = {py::self_param,
               {"title", Type::str},
               {"content", Type::str},
               {"format", Type::str, py::defaults::text("txt")},
               {"filename", Type::str, py::defaults::text("")}},
    .doc = "Create a document file (txt, md, or docx).\n"
           "        \n"
           "        Returns the file path.\n"
           "        ",
    .returns = "str"};

Ref write_file_body(const Args& a) {
    Borrowed self = a[0], content = a[2];
    Ref path = resolve(self, a[1]);
    make_parent_directory(path);
    replace_text(path, content);
    log(self, py::steal_or_throw(PyUnicode_FromFormat("%s%U (%zd chars)", msg::wrote_file, path.get(),
                                                      PyUnicode_GET_LENGTH(content.get()))));
    return path;
}
constexpr py::FunctionDef write_def{
    .name = "write_file", .body = write_file_body,
    .params = {py::self_param, {"path", Type::str}, {"content", Type::str}},
    .doc = "Write content to a file. Creates directories if needed.\n"
           "        \n"
           "        If path is relative, it's relative to the skill's output directory.\n"
           "        Returns the absolute path.\n"
           "        ",
    .returns = "str"};

Ref read_file_body(const Args& a) { return read_text(resolve(a[0], a[1])); }
constexpr py::FunctionDef read_def{
    .name = "read_file", .body = read_file_body, .params = {py::self_param, {"path", Type::str}},
    .doc = "Read a file and return its content.", .returns = "str"};

constexpr const py::FunctionDef* methods[] = {&write_def, &read_def, &document_def};

}  // namespace

const Methods file_methods{methods};

}  // namespace zorvik::skills
