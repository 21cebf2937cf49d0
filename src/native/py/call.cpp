#include "call.hpp"

#include <vector>

namespace zorvik::py {

namespace {

Ref vectorcall_kw(PyObject* callable_or_name, Borrowed self, std::initializer_list<Borrowed> args,
                  std::initializer_list<Kw> kwargs) {
    std::vector<PyObject*> stack;
    stack.reserve(args.size() + kwargs.size() + 2);
    stack.push_back(nullptr);
    if (self) stack.push_back(self.get());
    for (Borrowed a : args) stack.push_back(a.get());
    Ref kwnames;
    if (kwargs.size()) {
        kwnames = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
        Py_ssize_t k = 0;
        for (const Kw& kw : kwargs) {
            PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(kw.name));
            stack.push_back(kw.value.get());
        }
    }
    size_t nargs = (self ? 1 : 0) + args.size();
    PyObject* const* base = stack.data() + 1;
    PyObject* r =
        self ? PyObject_VectorcallMethod(callable_or_name, base, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get())
             : PyObject_Vectorcall(callable_or_name, base, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get());
    return steal_or_throw(r);
}

}  // namespace

Ref call_kw(Borrowed callable, std::initializer_list<Borrowed> args, std::initializer_list<Kw> kwargs) {
    return vectorcall_kw(callable.get(), {}, args, kwargs);
}

Ref call_method_kw(Borrowed obj, PyObject* name, std::initializer_list<Borrowed> args,
                   std::initializer_list<Kw> kwargs) {
    return vectorcall_kw(name, obj, args, kwargs);
}

Ref lookup_global(Borrowed namespace_dict, PyObject* name) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(namespace_dict.get(), name, &value);
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    if (found <= 0) throw_pending();
    return steal(value);
}

std::string_view utf8(Borrowed s) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.get(), &size);
    if (!data) throw_pending();
    return {data, static_cast<std::size_t>(size)};
}

}  // namespace zorvik::py
