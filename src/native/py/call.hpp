// Small helpers for the calls native code makes into the interpreter.
#pragma once

#include "error.hpp"

#include <array>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace zorvik::py {

// A keyword argument: an interned name and a value.
struct Kw {
    PyObject* name;
    Borrowed value;
};

inline Ref import(const char* name) { return steal_or_throw(PyImport_ImportModule(name)); }

inline Ref getattr(Borrowed obj, PyObject* name) { return steal_or_throw(PyObject_GetAttr(obj.get(), name)); }
inline Ref getattr(Borrowed obj, const char* name) { return steal_or_throw(PyObject_GetAttrString(obj.get(), name)); }
inline void setattr(Borrowed obj, PyObject* name, Borrowed value) {
    check(PyObject_SetAttr(obj.get(), name, value.get()));
}

template <class... A>
Ref call(Borrowed callable, A&&... args) {
    std::array<PyObject*, sizeof...(A) + 1> stack{nullptr, Borrowed(args).get()...};
    return steal_or_throw(
        PyObject_Vectorcall(callable.get(), stack.data() + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... A>
Ref call_method(Borrowed obj, PyObject* name, A&&... args) {
    std::array<PyObject*, sizeof...(A) + 1> stack{obj.get(), Borrowed(args).get()...};
    return steal_or_throw(
        PyObject_VectorcallMethod(name, stack.data(), (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `name` read from a module namespace as a global is: NameError when unbound.
Ref lookup_global(Borrowed namespace_dict, PyObject* name);

Ref call_kw(Borrowed callable, std::initializer_list<Borrowed> args, std::initializer_list<Kw> kwargs);
Ref call_method_kw(Borrowed obj, PyObject* name, std::initializer_list<Borrowed> args,
                   std::initializer_list<Kw> kwargs);

inline Ref text(const char* s) { return steal_or_throw(PyUnicode_FromString(s)); }
inline Ref text(std::string_view s) {
    return steal_or_throw(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
// The UTF-8 form of a str object, valid as long as the object lives.
std::string_view utf8(Borrowed s);
inline Ref str_of(Borrowed obj) { return steal_or_throw(PyObject_Str(obj.get())); }
inline bool truth(Borrowed obj) {
    int r = PyObject_IsTrue(obj.get());
    if (r < 0) throw_pending();
    return r != 0;
}

}  // namespace zorvik::py
