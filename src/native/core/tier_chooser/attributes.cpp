#include "attributes.hpp"

#include "watch.hpp"

namespace zorvik::core {

Record::Record(std::span<const Field> fields) {
    for (auto field : fields) names_.push_back(names().*field);
}

Ref Record::plain_dict(Borrowed obj) const {
    PyTypeObject* type = Py_TYPE(obj.get());
    const bool known = checked_type_.get() == reinterpret_cast<PyObject*>(type) && checked_version_ != 0 &&
                       type->tp_version_tag == checked_version_;
    if (!known) {
        if (type->tp_getattro != PyObject_GenericGetAttr) return {};
        if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset <= 0) return {};
        for (PyObject* name : names_) {
            PyObject* found = _PyType_Lookup(type, name);
            if (found && Py_TYPE(found)->tp_descr_set) return {};
        }
        if (!PyUnstable_Type_AssignVersionTag(type)) return {};
        checked_type_ = py::borrow(reinterpret_cast<PyObject*>(type));
        checked_version_ = type->tp_version_tag;
    }
    return py::steal_or_throw(PyObject_GenericGetDict(obj.get(), nullptr));
}

Ref Record::get(Borrowed obj, std::size_t i) const {
    if (Ref dict = plain_dict(obj)) {
        if (watch::enabled()) {
            if (dict.get() != last_dict_ || last_generation_ != watch::generation()) remember(dict);
            if (PyObject* value = last_values_[i]) return py::borrow(value);
        } else {
            PyObject* value = nullptr;
            py::check(PyDict_GetItemRef(dict.get(), names_[i], &value));
            if (value) return py::steal(value);
        }
    }
    return py::getattr(obj, names_[i]);
}

void Record::remember(Borrowed dict) const {
    watch::add(dict);
    last_dict_ = dict.get();
    last_values_.assign(names_.size(), nullptr);
    for (std::size_t i = 0; i < names_.size(); ++i) {
        PyObject* value = nullptr;
        py::check(PyDict_GetItemRef(dict.get(), names_[i], &value));
        Ref held = py::steal(value);  // the dict keeps it
        last_values_[i] = value;
    }
    last_generation_ = watch::generation();
}

void Record::get(Borrowed obj, std::size_t first, std::span<Ref> out) const {
    const std::size_t n = out.size();
    std::size_t missing = n;
    if (Ref dict = plain_dict(obj)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        std::size_t expected = 0;
        while (missing && PyDict_Next(dict.get(), &pos, &key, &value)) {
            std::size_t i = expected;
            if (i >= n || key != names_[first + i])
                for (i = 0; i < n && key != names_[first + i]; ++i) {
                }
            if (i == n || out[i]) continue;
            out[i] = py::borrow(value);
            expected = i + 1;
            --missing;
        }
    }
    for (std::size_t i = 0; missing && i < n; ++i) {
        if (out[i]) continue;
        out[i] = py::getattr(obj, names_[first + i]);
        --missing;
    }
}

}  // namespace zorvik::core
