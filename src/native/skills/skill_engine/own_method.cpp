#include "own_method.hpp"

namespace zorvik::skills {

namespace {

// What the class offers under `name`: the entry of the first class of its
// method resolution order that has one, as the generic attribute look-up
// finds it (no descriptor is asked for anything on the way).
Ref class_entry(PyTypeObject* type, PyObject* name) {
    Ref order = py::borrow(type->tp_mro);
    if (!order || !PyTuple_Check(order.get())) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(order.get(), i);
        if (!PyType_Check(base)) return {};
        Ref namespace_dict = py::steal_or_throw(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(namespace_dict.get(), name, &found) < 0) py::throw_pending();
        if (found) return py::steal(found);
    }
    return {};
}

}  // namespace

bool OwnMethod::class_holds(PyTypeObject* type) {
    const unsigned int version = type->tp_version_tag;
    if (version != 0 && version == verified_version_) return true;
    if (py::function_def(class_entry(type, names().*name_)) != &def_) return false;
    if (version != 0 && type->tp_version_tag == version) verified_version_ = version;
    return true;
}

// The native function has no __set__, so an entry in the instance dict
// would take its place; the generic look-up finds it in the class otherwise.
bool OwnMethod::found_on(Borrowed self) {
    PyTypeObject* type = self.type();
    if (type->tp_getattro != PyObject_GenericGetAttr || !class_holds(type)) return false;
    Ref attributes = py::steal_or_throw(PyObject_GenericGetDict(self.get(), nullptr));
    const int hidden = PyDict_Contains(attributes.get(), names().*name_);
    py::check(hidden);
    return hidden == 0;
}

}  // namespace zorvik::skills
