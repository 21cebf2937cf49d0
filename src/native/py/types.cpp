#include "types.hpp"

#include "call.hpp"
#include "names.hpp"

#include <string>
#include <vector>

namespace zorvik::py {

namespace {

int Instance_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return PyObject_VisitManagedDict(self, visit, arg);
}

int Instance_clear(PyObject* self) {
    PyObject_ClearManagedDict(self);
    return 0;
}

void Instance_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    PyObject_ClearManagedDict(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyGetSetDef instance_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

Ref make_class(const char* module, const ClassDef& def) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_traverse, reinterpret_cast<void*>(Instance_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(Instance_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(Instance_dealloc)},
        {Py_tp_getset, instance_getset},
        {Py_tp_doc, const_cast<char*>(def.doc)},
        {0, nullptr},
    };
    std::string qualified = std::string(module) + "." + def.name;
    PyType_Spec spec = {
        qualified.c_str(),
        static_cast<int>(sizeof(PyObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT |
            Py_TPFLAGS_MANAGED_WEAKREF,
        slots,
    };
    Ref type = steal_or_throw(PyType_FromSpec(&spec));
    // Setting __name__ makes tp_name the bare name, so the interpreter's own
    // messages name the class as they name one written in Python
    // ("'ZorvikContext' object has no attribute ..."); __module__ and
    // __qualname__ stay as the spec set them.
    setattr(type, id<"__name__">, text(def.name));
    const FunctionDef* init[] = {&def.init};
    install_methods(type, module, init);
    install_methods(type, module, def.methods);
    return type;
}

void install_methods(Borrowed type, const char* module, std::span<const FunctionDef* const> methods,
                     std::span<const FunctionDef* const> classmethods) {
    Ref qualname = getattr(type, "__qualname__");
    const char* owner = PyUnicode_AsUTF8(qualname.get());
    if (!owner) throw_pending();
    auto* as_type = reinterpret_cast<PyTypeObject*>(type.get());
    for (const FunctionDef* def : methods) {
        Ref f = make_function(*def, module, owner);
        set_function_owner(f, as_type);
        check(PyObject_SetAttrString(type.get(), def->name, f.get()));
    }
    for (const FunctionDef* def : classmethods) {
        Ref f = make_function(*def, module, owner);
        Ref wrapped = steal_or_throw(PyClassMethod_New(f.get()));
        check(PyObject_SetAttrString(type.get(), def->name, wrapped.get()));
    }
}

namespace {

Ref field_default_value(const FieldDefault& d, const char* module, const char* owner) {
    switch (d.kind) {
        case FieldDefault::none:
            return none();
        case FieldDefault::text:
            return text(d.text_value);
        case FieldDefault::real:
            return steal_or_throw(PyFloat_FromDouble(d.real_value));
        case FieldDefault::integer:
            return steal_or_throw(PyLong_FromLongLong(d.int_value));
        case FieldDefault::true_:
            return boolean(true);
        case FieldDefault::false_:
            return boolean(false);
        case FieldDefault::new_list:
            return borrow(reinterpret_cast<PyObject*>(&PyList_Type));
        case FieldDefault::factory:
            return make_function(*d.factory_def, module, owner);
        case FieldDefault::required:
            break;
    }
    return {};
}

}  // namespace

Ref make_dataclass(const char* module, const DataclassDef& def) {
    Ref dataclasses = import("dataclasses");
    Ref field = getattr(dataclasses, "field");
    Ref fields = steal_or_throw(PyList_New(0));
    for (const FieldDef& f : def.fields) {
        Ref name = text(f.name);
        Ref annotation = text(f.annotation);
        Ref item;
        if (f.def.kind == FieldDefault::required) {
            item = steal_or_throw(PyTuple_Pack(2, name.get(), annotation.get()));
        } else {
            Ref value = field_default_value(f.def, module, def.name);
            bool is_factory = f.def.kind == FieldDefault::new_list || f.def.kind == FieldDefault::factory;
            Ref spec = call_kw(field, {}, {{is_factory ? id<"default_factory"> : id<"default">, value}});
            item = steal_or_throw(PyTuple_Pack(3, name.get(), annotation.get(), spec.get()));
        }
        check(PyList_Append(fields.get(), item.get()));
    }
    Ref ns = steal_or_throw(PyDict_New());
    Ref doc = text(def.doc);
    check(PyDict_SetItem(ns.get(), id<"__doc__">, doc.get()));
    Ref make = getattr(dataclasses, "make_dataclass");
    Ref cls = call_kw(make, {text(def.name), fields}, {{id<"namespace">, ns}, {id<"module">, text(module)}});
    install_methods(cls, module, def.methods, def.classmethods);
    return cls;
}

Ref make_str_enum(const char* module, const char* name, std::span<const EnumMember> members) {
    Ref enum_module = import("enum");
    Ref enum_type = getattr(enum_module, "Enum");
    Ref pairs = steal_or_throw(PyList_New(0));
    for (const EnumMember& m : members) {
        Ref pair = steal_or_throw(Py_BuildValue("(ss)", m.name, m.value));
        check(PyList_Append(pairs.get(), pair.get()));
    }
    Ref str_type = borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    return call_kw(enum_type, {text(name), pairs},
                   {{id<"module">, text(module)}, {id<"qualname">, text(name)}, {id<"type">, str_type}});
}

}  // namespace zorvik::py
