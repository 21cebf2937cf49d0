#include "args.hpp"

#include "error.hpp"
#include "messages.hpp"

#include <bit>
#include <stdexcept>

namespace zorvik::py {

namespace {

PyTypeObject* builtin_for(Type t) {
    switch (t) {
        case Type::str:
            return &PyUnicode_Type;
        case Type::dict:
            return &PyDict_Type;
        case Type::int_:
            return &PyLong_Type;
        default:
            return nullptr;
    }
}

Ref default_object(const Default& d) {
    switch (d.kind) {
        case Default::required:
            return {};
        case Default::none:
            return none();
        case Default::text:
            return steal_or_throw(PyUnicode_InternFromString(d.text_value));
        case Default::real:
            return steal_or_throw(PyFloat_FromDouble(d.real_value));
        case Default::integer:
            return steal_or_throw(PyLong_FromLongLong(d.int_value));
    }
    return {};
}

}  // namespace

const char* annotation_text(const Param& p) noexcept {
    if (p.annotation) return p.annotation;
    switch (p.type) {
        case Type::str:
            return p.admits_none() ? "str | None" : "str";
        case Type::dict:
            return "dict";
        case Type::int_:
            return "int";
        case Type::real:
            return "float";
        case Type::any:
        case Type::self:
            break;
    }
    return nullptr;
}

// Types are named by their tp_name, as the interpreter's own messages name
// them: a class written in Python by its bare name, a C type dotted.
void raise_argument_type(const char* name, PyTypeObject* expected, Borrowed value) {
    const char* want = expected->tp_name;
    PyErr_Format(PyExc_TypeError, msg::arg_type, name, want, value.type()->tp_name);
    PyError error = PyError::fetch();
    if (PyObject_TypeCheck(value.get(), expected)) {
        Ref note = steal(PyUnicode_FromFormat(msg::subclass_note, want, want));
        Ref added = note ? steal(PyObject_CallMethod(error.value().get(), "add_note", "O", note.get())) : Ref();
        if (!added) PyErr_Clear();
    }
    throw error;
}

void check_result(Result declared, Borrowed value) {
    PyTypeObject* type = nullptr;
    const char* label = nullptr;
    switch (declared) {
        case Result::any:
            return;
        case Result::str:
            type = &PyUnicode_Type;
            label = "str";
            break;
        case Result::dict:
            type = &PyDict_Type;
            label = "dict";
            break;
        case Result::list:
            type = &PyList_Type;
            label = "list";
            break;
    }
    if (value.type() == type || value.is_none()) return;
    raise_format(PyExc_TypeError, msg::result_type, label, value.type()->tp_name);
}

Signature::Signature(const char* name, std::span<const Param> params) : name_(name), params_(params) {
    if (params.size() > static_cast<std::size_t>(Args::max)) throw std::length_error("too many parameters");
    bool optional_seen = false;
    for (std::size_t i = 0; i < params.size(); ++i) {
        names_[i] = steal_or_throw(PyUnicode_InternFromString(params[i].name));
        defaults_[i] = default_object(params[i].def);
        exact_[i] = builtin_for(params[i].type);
        if (params[i].type != Type::any) typed_ |= 1U << i;
        if (params[i].required()) {
            if (optional_seen) throw std::logic_error("required parameter after an optional one");
            ++min_positional_;
        } else {
            optional_seen = true;
        }
    }
}

void Signature::set_owner(PyTypeObject* owner) noexcept {
    owner_ = owner;
    for (std::size_t i = 0; i < params_.size(); ++i)
        if (params_[i].type == Type::self) exact_[i] = owner;
}

void Signature::raise_arity(Py_ssize_t given) const {
    const auto max = static_cast<Py_ssize_t>(params_.size());
    Py_ssize_t expected = given < min_positional_ ? min_positional_ : max;
    const char* how = min_positional_ == max ? "exactly" : (given < min_positional_ ? "at least" : "at most");
    raise_format(PyExc_TypeError, msg::arity, name_, how, expected, expected == 1 ? "" : "s", given);
}

int Signature::find(PyObject* key) const {
    const int n = static_cast<int>(params_.size());
    for (int i = 0; i < n; ++i)
        if (names_[static_cast<std::size_t>(i)].get() == key) return i;
    for (int i = 0; i < n; ++i)
        if (PyUnicode_Equal(names_[static_cast<std::size_t>(i)].get(), key) == 1) return i;
    return -1;
}

void Signature::place_keyword(PyObject* key, PyObject* value, Args& out) const {
    if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, msg::keywords_not_str, name_);
    int i = find(key);
    if (i < 0) raise_format(PyExc_TypeError, msg::unexpected_keyword, name_, key);
    if (out.obj[static_cast<std::size_t>(i)]) raise_format(PyExc_TypeError, msg::duplicate_keyword, name_, key);
    out.obj[static_cast<std::size_t>(i)] = value;
}

void Signature::check_type(int i, const Param& p, Args& out) const {
    auto& slot = out.obj[static_cast<std::size_t>(i)];
    PyObject* value = slot;
    switch (p.type) {
        case Type::any:
            return;
        case Type::self:
            if (owner_ && !PyObject_TypeCheck(value, owner_)) raise_argument_type(p.name, owner_, value);
            return;
        case Type::real: {
            double d = PyFloat_AsDouble(value);
            if (d == -1.0 && PyErr_Occurred()) throw_pending();
            out.real[static_cast<std::size_t>(i)] = d;
            return;
        }
        case Type::str:
        case Type::dict:
        case Type::int_: {
            PyTypeObject* want = builtin_for(p.type);
            if (Py_TYPE(value) == want) return;
            if (value == Py_None && p.admits_none()) return;
            raise_argument_type(p.name, want, value);
        }
    }
}

void Signature::finish(Py_ssize_t nargs, Args& out) const {
    const int n = static_cast<int>(params_.size());
    for (int i = static_cast<int>(nargs); i < n; ++i) {
        auto& slot = out.obj[static_cast<std::size_t>(i)];
        if (slot) continue;
        if (params_[static_cast<std::size_t>(i)].required()) raise_arity(i);
        slot = defaults_[static_cast<std::size_t>(i)].get();
    }
    for (unsigned typed = typed_; typed; typed &= typed - 1) {
        const auto i = static_cast<std::size_t>(std::countr_zero(typed));
        if (Py_TYPE(out.obj[i]) != exact_[i]) check_type(static_cast<int>(i), params_[i], out);
    }
}

void Signature::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) const {
    if (nargs > static_cast<Py_ssize_t>(params_.size())) raise_arity(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out.obj[static_cast<std::size_t>(i)] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) place_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
    finish(nargs, out);
}

void Signature::parse(PyObject* self, PyObject* tuple, PyObject* kwdict, Args& out) const {
    const Py_ssize_t given = PyTuple_GET_SIZE(tuple);
    const Py_ssize_t offset = self ? 1 : 0;
    const Py_ssize_t nargs = given + offset;
    if (nargs > static_cast<Py_ssize_t>(params_.size())) raise_arity(nargs);
    if (self) out.obj[0] = self;
    for (Py_ssize_t i = 0; i < given; ++i) out.obj[static_cast<std::size_t>(i + offset)] = PyTuple_GET_ITEM(tuple, i);
    if (kwdict) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwdict, &pos, &key, &value)) place_keyword(key, value, out);
    }
    finish(nargs, out);
}

std::string Signature::text_signature(bool skip_instance) const {
    std::string text = "(";
    for (std::size_t i = skip_instance ? 1 : 0; i < params_.size(); ++i) {
        if (text.size() > 1) text += ", ";
        text += params_[i].name;
        if (const Ref& d = defaults_[i]) {
            Ref repr = steal_or_throw(PyObject_Repr(d.get()));
            const char* r = PyUnicode_AsUTF8(repr.get());
            if (!r) throw_pending();
            text += "=";
            text += r;
        }
    }
    return text + ")";
}

}  // namespace zorvik::py
