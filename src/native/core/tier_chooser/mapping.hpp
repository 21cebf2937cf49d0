// Membership, lookups and iteration over the objects a host hands in, with
// the semantics of the corresponding Python expressions, and shortcuts for
// the exact built-in types, where no Python code can run.
#pragma once

#include "messages.hpp"
#include "module.hpp"

namespace zorvik::core {

// `key in container`; a list scanned as far as it holds exact texts (which
// compare without running code) answers as `in` would.
inline bool contains(Borrowed container, Borrowed key) {
    if (PyList_CheckExact(container.get()) && PyUnicode_CheckExact(key.get())) {
        PyObject* list = container.get();
        const Py_hash_t hash = PyObject_Hash(key.get());
        const Py_ssize_t size = PyList_GET_SIZE(list);
        Py_ssize_t i = 0;
        for (; i < size; ++i) {
            PyObject* item = PyList_GET_ITEM(list, i);
            if (item == key.get()) return true;
            if (!PyUnicode_CheckExact(item)) break;
            if (PyObject_Hash(item) == hash && PyUnicode_Equal(item, key.get()) == 1) return true;
        }
        if (i == size) return false;
    }
    int r = PySequence_Contains(container.get(), key.get());
    py::check(r);
    return r != 0;
}

// `value == text` for an interned text
inline bool equals(Borrowed value, PyObject* text) {
    if (PyUnicode_CheckExact(value.get())) return value.get() == text || PyUnicode_Equal(value.get(), text) == 1;
    return py::truth(py::steal_or_throw(PyObject_RichCompare(value.get(), text, Py_EQ)));
}

// `a == b`
inline bool equals(Borrowed a, Borrowed b) {
    if (PyUnicode_CheckExact(a.get()) && PyUnicode_CheckExact(b.get())) return PyUnicode_Equal(a.get(), b.get()) == 1;
    return py::truth(py::steal_or_throw(PyObject_RichCompare(a.get(), b.get(), Py_EQ)));
}

// `mapping[key] if key in mapping else None`, as a null reference for None.
inline Ref entry_of(Borrowed mapping, Borrowed key) {
    if (PyDict_CheckExact(mapping.get()) && PyUnicode_CheckExact(key.get())) {
        PyObject* value = nullptr;
        py::check(PyDict_GetItemRef(mapping.get(), key.get(), &value));
        return py::steal(value);
    }
    if (!contains(mapping, key)) return {};
    return py::steal_or_throw(PyObject_GetItem(mapping.get(), key.get()));
}

// `for key, value in mapping.items(): if visit(key, value): break`
template <class Visit>
void for_each_item(Borrowed mapping, Visit&& visit) {
    if (PyDict_CheckExact(mapping.get())) {
        const Py_ssize_t size = PyDict_GET_SIZE(mapping.get());
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping.get(), &pos, &key, &value)) {
            Ref k = py::borrow(key), v = py::borrow(value);
            if (visit(Borrowed(k), Borrowed(v))) return;
            if (PyDict_GET_SIZE(mapping.get()) != size) py::raise(PyExc_RuntimeError, msg::dict_changed_size);
        }
        return;
    }
    Ref items = py::call_method(mapping, names().items);
    Ref iterator = py::steal_or_throw(PyObject_GetIter(items.get()));
    while (Ref pair = py::steal(PyIter_Next(iterator.get()))) {
        Ref unpacked = py::steal_or_throw(PySequence_Tuple(pair.get()));
        const Py_ssize_t n = PyTuple_GET_SIZE(unpacked.get());
        if (n != 2) py::raise_format(PyExc_ValueError, n > 2 ? msg::too_many_values : msg::not_enough_values, n);
        Ref key = py::borrow(PyTuple_GET_ITEM(unpacked.get(), 0));
        Ref value = py::borrow(PyTuple_GET_ITEM(unpacked.get(), 1));
        if (visit(Borrowed(key), Borrowed(value))) return;
    }
    if (PyErr_Occurred()) py::throw_pending();
}

}  // namespace zorvik::core
